// The Windows members of the owner family (foundation/handle.h): kernel handles (processes,
// threads, jobs, files, pipes, mutexes, Toolhelp snapshots) and the hand-over of a kernel handle
// to portable code as a PlatformHandle.
#pragma once

#include <windows.h>

#include "foundation/handle.h"

using UniqueHandle = Unique<HANDLE, &CloseHandle>;

inline void closeKernelHandle(void* h) { CloseHandle(static_cast<HANDLE>(h)); }

// The kernel handle as the portable core holds it; empty stays empty.
inline PlatformHandle platformHandle(UniqueHandle owned) {
    HANDLE h = owned.release();
    return h ? PlatformHandle(h, closeKernelHandle) : PlatformHandle();
}

inline HANDLE kernelHandle(const PlatformHandle& h) { return static_cast<HANDLE>(h.get()); }
