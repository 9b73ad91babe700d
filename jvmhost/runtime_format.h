// The printf formats a Java runtime prints its own text with, read the same
// way on every Windows: the C99 size modifiers (%zu, %jd, %td, %hhd) as well
// as Microsoft's (%I64d, %I32d, %Iu).
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Formats `format` with `args` into `out`, which holds `capacity` bytes
// (at least 1), and terminates it. Returns the bytes written without the
// terminator; `cut` is set when the whole text did not fit, and `out` then
// holds its beginning, capacity - 1 bytes: each field is laid out whole, at
// any width, and the finished text cut, never the field. A precision past
// 1,000 digits (an integer's) or 684 (a float's) is taken as that. Wide
// strings and characters are converted to the ANSI code page, a character it
// lacks as its default character. Infinity and NaN are written as C writes
// them ("inf", "-nan", "INF"), padded with spaces also with the zero flag. "%n" takes its argument
// and stores nothing. A conversion this formatter does not know is copied as it stands and takes no
// argument, not even for a "*" width or precision.
//
// Takes no lock and allocates nothing: any thread may call it at any time.
size_t FormatRuntimeText(char* out, size_t capacity, const char* format, va_list args, bool* cut);
