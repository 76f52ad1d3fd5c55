#include "tunnel/engine_state.h"

// Native tests hand out made-up handles; there is nothing to close.
void closePlatformHandle(void*) {}
