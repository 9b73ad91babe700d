// Owners of the system's handles and of heap blocks, one template for every
// family, each family with the value that means "nothing"; and a lock with
// its guard. Steps that must happen on every path out belong here, not to a
// copy before each return.
#pragma once

#include <utility>

#include "base/process_heap.h"
#include "base/win32.h"

template <typename Traits>
class Scoped {
  public:
    using Type = typename Traits::Type;
    Scoped() : value(Traits::Invalid()) {}
    explicit Scoped(Type owned) : value(owned) {}
    ~Scoped() { Reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    // Takes what `other` held, which is left holding nothing.
    Scoped(Scoped&& other) noexcept : value(other.Release()) {}
    Scoped& operator=(Scoped&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Type Get() const { return value; }
    bool IsValid() const { return value != Traits::Invalid(); }
    // Closes what it held and takes `owned`.
    void Reset(Type owned = Traits::Invalid()) {
        if (IsValid()) {
            Traits::Close(value);
        }
        value = owned;
    }
    // Gives up ownership without closing.
    Type Release() {
        const Type released = value;
        value = Traits::Invalid();
        return released;
    }

  private:
    Type value;
};

// A family of the system's handles: how one is closed, and whether "none" is
// null or INVALID_HANDLE_VALUE (files, searches).
template <typename T, BOOL(WINAPI* close)(T), bool noneIsMinusOne = false>
struct SystemTraits {
    using Type = T;
    static T Invalid() { return noneIsMinusOne ? static_cast<T>(INVALID_HANDLE_VALUE) : nullptr; }
    static void Close(T handle) { close(handle); }
};
struct HeapTraits {
    using Type = void*;
    static void* Invalid() { return nullptr; }
    static void Close(void* memory) { FreeBytes(memory); }
};

using ScopedHandle = Scoped<SystemTraits<HANDLE, CloseHandle>>;  // events, threads, mappings
using ScopedFile = Scoped<SystemTraits<HANDLE, CloseHandle, true>>;
using ScopedSearch = Scoped<SystemTraits<HANDLE, FindClose, true>>;
using ScopedView = Scoped<SystemTraits<LPCVOID, UnmapViewOfFile>>;
using ScopedModule = Scoped<SystemTraits<HMODULE, FreeLibrary>>;
using ScopedEventSource = Scoped<SystemTraits<HANDLE, DeregisterEventSource>>;

// A heap block of `T`s; null when the memory ran out.
template <typename T>
class HeapArray {
  public:
    HeapArray() = default;
    explicit HeapArray(size_t count, DWORD flags = 0)
        : block(AllocateBytes(count * sizeof(T), flags)) {}
    T* Get() const { return static_cast<T*>(block.Get()); }
    T& operator[](size_t index) const { return Get()[index]; }
    // A new block of `count`; the old one is freed.
    void Reset(size_t count, DWORD flags = 0) {
        block.Reset(AllocateBytes(count * sizeof(T), flags));
    }
    void Clear() { block.Reset(); }
    // HeapReAlloc's result, which replaces the block without freeing it.
    void Replace(T* moved) {
        block.Release();
        block.Reset(moved);
    }

  private:
    Scoped<HeapTraits> block;
};

// A critical section for the life of its owner.
class Lock {
  public:
    Lock() { InitializeCriticalSection(&section); }
    ~Lock() { DeleteCriticalSection(&section); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    friend class LockGuard;
    CRITICAL_SECTION section;
};

// Holds `lock` from its construction to the end of its scope.
class LockGuard {
  public:
    explicit LockGuard(Lock& held) : lock(held) { EnterCriticalSection(&lock.section); }
    ~LockGuard() { LeaveCriticalSection(&lock.section); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Lock& lock;
};
