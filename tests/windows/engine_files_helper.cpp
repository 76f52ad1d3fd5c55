// A stand-in engine for the engine-file tests: it does nothing but wait, at most 60 s, so that
// a test can run it under an engine's name and see whether it gets ended.
#include <windows.h>

int wmain() {
    for (int i = 0; i < 600; ++i) Sleep(100);
    return 0;
}
