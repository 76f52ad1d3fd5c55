// A program that does nothing for a while: the bridge test runs a copy of it as "TslGame.exe".
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Sleep(60000);  // the test terminates it long before
    return 0;
}
