// The arguments of one printf conversion: the size modifiers a Java runtime
// writes (C99's and Microsoft's), and each integer argument taken at the
// size its modifier gives it.
#pragma once

#include <stdarg.h>

enum class ArgSize { kDefault, kChar, kShort, kLong, kLongLong, kPointer, k32, kWide };

// The size modifier at `*at`, which it passes; kDefault, `*at` unchanged, for none.
ArgSize ReadSize(const char** at);

// The next argument at `size`, widened; a pointer-sized one is an int of a
// 32-bit runtime.
long long SignedArgument(ArgSize size, va_list* args);
unsigned long long UnsignedArgument(ArgSize size, va_list* args);
