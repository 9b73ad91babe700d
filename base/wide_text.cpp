#include "base/wide_text.h"

#include "base/process_heap.h"

bool WideText::Append(const wchar_t* text) {
    const size_t added = static_cast<size_t>(lstrlenW(text));
    const size_t needed = length + added + 1;
    if (needed > capacity) {
        size_t grown = capacity < 1024 ? 1024 : capacity;
        while (grown < needed) {
            grown *= 2;
        }
        const size_t bytes = grown * sizeof(wchar_t);
        void* moved = chars.Get() == nullptr ? AllocateBytes(bytes)
                                             : HeapReAlloc(GetProcessHeap(), 0, chars.Get(), bytes);
        if (moved == nullptr) {
            return false;
        }
        chars.Replace(static_cast<wchar_t*>(moved));
        capacity = grown;
    }
    CopyMemory(chars.Get() + length, text, added * sizeof(wchar_t));
    length += added;
    chars[length] = L'\0';
    return true;
}

void WideText::Cut(size_t units) {
    if (units < length) {
        length = units;
        chars[length] = L'\0';
    }
}

bool WideText::BeginsWith(const wchar_t* prefix) const {
    const int units = lstrlenW(prefix);
    return length >= static_cast<size_t>(units) &&
           CompareStringOrdinal(Chars(), units, prefix, units, FALSE) == CSTR_EQUAL;
}
