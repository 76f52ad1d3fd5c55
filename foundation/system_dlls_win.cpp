#include "foundation/system_dlls_win.h"

#include <windows.h>
#include <delayimp.h>

bool restrictLibrarySearch() {
    return SetDllDirectoryW(L"") != FALSE && SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

namespace {

// Before the delay-load helper looks for a library by its bare name, it is loaded here from
// System32 alone; a library missing there fails the call (the helper raises its exception) rather
// than being looked for anywhere else.
FARPROC WINAPI loadFromSystem32(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
    return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

// The helper's notification hook: the same name in mingw-w64's and the Windows SDK's helper, whose
// header declares it with C linkage (this definition keeps it). Every executable that links the
// edge library keeps this definition (a linker option names it).
#if defined(_MSC_VER) && _MSC_VER >= 1900
const PfnDliHook __pfnDliNotifyHook2 = loadFromSystem32;
#else
PfnDliHook __pfnDliNotifyHook2 = loadFromSystem32;
#endif
