#include "shell/shell_state_win.h"

#include "shell/webview2_win.h"

ShellState& shellState() {
    static ShellState s;
    return s;
}
