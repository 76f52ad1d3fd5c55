// A console program that waits: with "ignore" it ignores Ctrl+C itself, else Ctrl+C ends it.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "ignore") == 0) SetConsoleCtrlHandler(nullptr, TRUE);
    Sleep(30000);  // the test stops it long before
    return 0;
}
