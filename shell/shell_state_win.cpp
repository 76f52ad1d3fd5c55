#include "shell/shell_state_win.h"

ShellState& shellState() {
    static ShellState s;
    return s;
}
