// A stand-in engine for the engine-file tests: it does nothing but wait, at most 60 s, so that
// a test can run it under an engine's name and see whether it gets ended. A window-subsystem
// program, so that Wine starts no console host for it (one that would outlive the test).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    for (int i = 0; i < 600; ++i) Sleep(100);
    return 0;
}
