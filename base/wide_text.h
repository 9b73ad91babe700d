// A growable UTF-16 text for the one text without a fixed maximum: the class path.
#pragma once

#include <stddef.h>

#include "base/scoped.h"
#include "base/win32.h"

struct WideText {
    // Appends `text`; false when memory ran out, leaving the text as it was.
    bool Append(const wchar_t* text);
    // Ends the text after its first `units` units; a shorter text stays whole.
    void Cut(size_t units);
    const wchar_t* Chars() const { return chars.Get() != nullptr ? chars.Get() : L""; }

    HeapArray<wchar_t> chars;
    size_t length = 0;
    size_t capacity = 0;  // in units, terminator included
};
