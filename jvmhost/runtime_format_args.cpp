#include "jvmhost/runtime_format_args.h"

#include <stdint.h>
#include <string.h>

namespace {

// The size modifiers, longest first where one begins another. "L" sets no
// size: the runtime's compilers make long double a double.
struct SizeModifier {
    const char* text;
    ArgSize size;
};
const SizeModifier kSizeModifiers[] = {
    {"hh", ArgSize::kChar},      {"h", ArgSize::kShort},    {"ll", ArgSize::kLongLong},
    {"l", ArgSize::kLong},       {"j", ArgSize::kLongLong}, {"z", ArgSize::kPointer},
    {"t", ArgSize::kPointer},    {"L", ArgSize::kDefault},  {"w", ArgSize::kWide},
    {"I64", ArgSize::kLongLong}, {"I32", ArgSize::k32},     {"I", ArgSize::kPointer}};

// The argument at the size its modifier gives, widened to `Wide`; a
// pointer-sized argument is an int of a 32-bit runtime.
template <typename Wide, typename Char, typename Short, typename Int, typename Long,
          typename Pointer>
Wide Argument(ArgSize size, va_list* args) {
    switch (size) {
        case ArgSize::kPointer:
            return va_arg(*args, Pointer);
        case ArgSize::kChar:
            return static_cast<Char>(va_arg(*args, Int));
        case ArgSize::kShort:
            return static_cast<Short>(va_arg(*args, Int));
        // The branches differ in their types, which a 32-bit target makes alike.
        case ArgSize::kLong:  // NOLINT(bugprone-branch-clone)
            return va_arg(*args, Long);
        case ArgSize::kLongLong:
            return va_arg(*args, Wide);
        default:
            return va_arg(*args, Int);
    }
}

}  // namespace

ArgSize ReadSize(const char** at) {
    for (const SizeModifier& modifier : kSizeModifiers) {
        const size_t length = strlen(modifier.text);
        if (strncmp(*at, modifier.text, length) == 0) {
            *at += length;
            return modifier.size;
        }
    }
    return ArgSize::kDefault;
}

long long SignedArgument(ArgSize size, va_list* args) {
    return Argument<long long, signed char, short, int, long, intptr_t>(size, args);
}

unsigned long long UnsignedArgument(ArgSize size, va_list* args) {
    return Argument<unsigned long long, unsigned char, unsigned short, unsigned, unsigned long,
                    uintptr_t>(size, args);
}
