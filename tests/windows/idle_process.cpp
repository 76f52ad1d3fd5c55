// A program that does nothing for a while: the bridge test runs a copy of it as "TslGame.exe".
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Every test that starts it ends it; a slow machine may keep a case going well past a minute.
    Sleep(600000);
    return 0;
}
