// Memory of the process heap: the executable carries no C++ allocation
// runtime, whose failure path would need exceptions.
#pragma once

#include <stddef.h>

#include "base/win32.h"

// Null when the memory ran out.
inline void* AllocateBytes(size_t bytes, DWORD flags = 0) {
    return HeapAlloc(GetProcessHeap(), flags, bytes);
}

// Frees what AllocateBytes gave; null is allowed and frees nothing.
inline void FreeBytes(void* memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}
