#include "shell/shell_state.h"

ShellState& shellState() {
    static ShellState s;
    return s;
}
