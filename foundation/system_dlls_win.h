// Libraries come from System32 only. A program started from a folder the user can write to (the
// Downloads folder, say) would otherwise load a planted library of a system name from there, as
// administrator once it runs elevated. The executables import statically only libraries the system
// always maps from System32 (its known libraries); every other system library is delay-loaded,
// and the hook here loads it from System32 by name (cmake/delay_imports.cmake builds the import
// libraries, scripts/check-imports checks the result).
#pragma once

// The first call of wWinMain and wmain: the library search is limited to System32 for the rest of
// the process (SetDllDirectoryW(L"") drops the current folder, SetDefaultDllDirectories the
// program's own). False when the system refused: the caller ends, as nothing after it is safe.
bool restrictLibrarySearch();
