#include "tunnel/engine_state.h"

#include <windows.h>

void closePlatformHandle(void* handle) { CloseHandle(static_cast<HANDLE>(handle)); }
