// A growable UTF-16 text, for texts without a fixed maximum: the class path,
// the runtime's words.
#pragma once

#include <stddef.h>

#include "base/scoped.h"
#include "base/win32.h"

struct WideText {
    // Appends `text`; false when memory ran out, leaving the text as it was.
    bool Append(const wchar_t* text);
    // Appends each of `pieces`; false when memory ran out.
    template <size_t N>
    bool Append(const wchar_t* const (&pieces)[N]) {
        bool appended = true;
        for (size_t i = 0; appended && i < N; ++i) appended = Append(pieces[i]);
        return appended;
    }
    // Whether the text begins with `prefix`, unit for unit.
    bool BeginsWith(const wchar_t* prefix) const;
    // Ends the text after its first `units` units; a shorter text stays whole.
    void Cut(size_t units);
    const wchar_t* Chars() const { return chars.Get() != nullptr ? chars.Get() : L""; }

    HeapArray<wchar_t> chars;
    size_t length = 0;
    size_t capacity = 0;  // in units, terminator included
};
