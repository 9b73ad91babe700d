#include "jvmhost/runtime_format.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

// Windows' own msvcrt.dll knows no C99 size modifier: it prints "%zu" as "zu"
// and leaves the argument, so every later conversion takes the wrong one (a
// "%s" after it can read an integer as a pointer). This formatter reads the
// format itself and takes each argument with the type its modifiers give it;
// the C runtime only renders one conversion at a time, of a 64-bit integer
// ("I64"), a double, a pointer, a character or a string, which every msvcrt.dll
// reads alike. The runtime is built by Microsoft's compilers, whose long double
// is a double, so "%Lf" takes a double.

namespace {

enum class ArgSize { kDefault, kChar, kShort, kLong, kLongLong, kPointer, k32, kWide };

struct Output {
    char* text;
    size_t capacity;
    size_t length;
    bool cut;

    size_t Room() const { return capacity - 1 - length; }
};

void Append(Output* out, const char* text, size_t count) {
    if (count > out->Room()) {
        count = out->Room();
        out->cut = true;
    }
    memcpy(out->text + out->length, text, count);
    out->length += count;
}

// One conversion as the C runtime is to render it: "%", flags, width,
// precision, size and type. Its longest form takes 5 flags, "-", two numbers
// of up to 20 digits, ".", "I64" and the type.
struct Conversion {
    char text[64];
    size_t length;

    void Add(char c) {
        if (length + 1 < sizeof(text)) {
            text[length++] = c;
            text[length] = '\0';
        }
    }
    void Add(const char* piece) {
        for (; *piece != '\0'; ++piece) Add(*piece);
    }
    void AddNumber(size_t value) {
        char digits[24];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) Add(digits[--count]);
    }
};

template <typename T>
void Render(Output* out, const Conversion& wanted, T value) {
    const size_t room = out->Room();
    // _snprintf fills the room and returns a negative count when the text does
    // not fit, and also stops with a negative count at a wide character the
    // code page cannot hold; the zeroed room tells how far it got.
    memset(out->text + out->length, 0, room + 1);
    const int written = _snprintf(out->text + out->length, room, wanted.text, value);
    if (written >= 0 && static_cast<size_t>(written) <= room) {
        out->length += static_cast<size_t>(written);
        return;
    }
    const size_t got = strnlen(out->text + out->length, room);
    out->length += got;
    out->cut = out->cut || got == room;
}

// A width or precision that reaches past the buffer is cut to its size: the
// text is cut there either way.
size_t ReadNumber(const char** at, size_t most) {
    size_t value = 0;
    for (; **at >= '0' && **at <= '9'; ++*at) {
        value = value * 10 + static_cast<size_t>(**at - '0');
        if (value > most) value = most;
    }
    return value;
}

// The size modifiers, longest first where one begins another. "L" takes a
// double, see above.
struct SizeModifier {
    const char* text;
    ArgSize size;
};
const SizeModifier kSizeModifiers[] = {
    {"hh", ArgSize::kChar},      {"h", ArgSize::kShort},    {"ll", ArgSize::kLongLong},
    {"l", ArgSize::kLong},       {"j", ArgSize::kLongLong}, {"z", ArgSize::kPointer},
    {"t", ArgSize::kPointer},    {"L", ArgSize::kDefault},  {"w", ArgSize::kWide},
    {"I64", ArgSize::kLongLong}, {"I32", ArgSize::k32},     {"I", ArgSize::kPointer}};

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

long long SignedArgument(ArgSize size, va_list* args) {
    return Argument<long long, signed char, short, int, long, intptr_t>(size, args);
}

unsigned long long UnsignedArgument(ArgSize size, va_list* args) {
    return Argument<unsigned long long, unsigned char, unsigned short, unsigned, unsigned long,
                    uintptr_t>(size, args);
}

bool IsOneOf(char type, const char* types) {
    return type != '\0' && strchr(types, type) != nullptr;
}

// Microsoft's "h" and "w" (and C's "l") choose a narrow or a wide character
// or string whatever the type's case says.
void RenderText(Output* out, Conversion* wanted, ArgSize size, char type, va_list* args) {
    if (size == ArgSize::kLong || size == ArgSize::kWide) {
        wanted->Add('l');
    } else if (size == ArgSize::kShort) {
        wanted->Add('h');
    }
    wanted->Add(type);
    if (type == 'c' || type == 'C') {
        Render(out, *wanted, va_arg(*args, int));
    } else {
        Render(out, *wanted, va_arg(*args, const void*));
    }
}

// Renders the conversion `type` with its argument; false for a type this
// formatter does not know, which takes no argument.
bool RenderConversion(Output* out, Conversion* wanted, ArgSize size, char type, va_list* args) {
    if (IsOneOf(type, "di")) {
        wanted->Add("I64");
        wanted->Add(type);
        Render(out, *wanted, SignedArgument(size, args));
    } else if (IsOneOf(type, "ouxX")) {
        wanted->Add("I64");
        wanted->Add(type);
        Render(out, *wanted, UnsignedArgument(size, args));
    } else if (IsOneOf(type, "cCsS")) {
        RenderText(out, wanted, size, type, args);
    } else if (type == 'p') {
        wanted->Add(type);
        Render(out, *wanted, va_arg(*args, const void*));
    } else if (IsOneOf(type, "eEfFgGaA")) {
        // Older msvcrt.dll copies know no "F"; it differs from "f" only in
        // the case of "inf" and "nan".
        wanted->Add(type == 'F' ? 'f' : type);
        Render(out, *wanted, va_arg(*args, double));
    } else if (type == 'n') {
        static_cast<void>(va_arg(*args, void*));
    } else {
        return false;
    }
    return true;
}

// The flags, width and precision of the conversion at `at` (past its "%"),
// into `wanted`; a width or precision of "*" takes its int argument.
void ReadFieldsInto(Conversion* wanted, const char** at, size_t most, va_list* args) {
    // Each flag once, so a run of them cannot crowd the type out of the wanted.
    for (; **at != '\0' && strchr("-+ #0", **at) != nullptr; ++*at) {
        if (strchr(wanted->text, **at) == nullptr) wanted->Add(**at);
    }
    if (**at == '*') {
        ++*at;
        const int width = va_arg(*args, int);
        if (width < 0 && strchr(wanted->text, '-') == nullptr) {
            wanted->Add('-');  // as C says of a negative width
        }
        const size_t magnitude =
            width < 0 ? 0U - static_cast<unsigned>(width) : static_cast<unsigned>(width);
        wanted->AddNumber(magnitude < most ? magnitude : most);
    } else if (**at >= '1' && **at <= '9') {
        wanted->AddNumber(ReadNumber(at, most));
    }
    if (**at != '.') return;
    ++*at;
    if (**at == '*') {
        ++*at;
        const int precision = va_arg(*args, int);
        // A negative precision is taken as if it were left out.
        if (precision >= 0) {
            wanted->Add('.');
            const size_t value = static_cast<size_t>(precision);
            wanted->AddNumber(value < most ? value : most);
        }
        return;
    }
    wanted->Add('.');
    wanted->AddNumber(ReadNumber(at, most));
}

}  // namespace

size_t FormatRuntimeText(char* out, size_t capacity, const char* format, va_list args, bool* cut) {
    Output output = {out, capacity, 0, false};
    const char* at = format;
    while (*at != '\0' && !output.cut) {
        if (*at != '%') {
            const char* literal = at;
            while (*at != '\0' && *at != '%') ++at;
            Append(&output, literal, static_cast<size_t>(at - literal));
            continue;
        }
        const char* conversion = at++;
        if (*at == '%') {
            Append(&output, at++, 1);
            continue;
        }
        Conversion wanted = {"%", 1};
        ReadFieldsInto(&wanted, &at, capacity, &args);
        const ArgSize size = ReadSize(&at);
        const char type = *at;
        if (type != '\0') ++at;
        if (type == '\0' || !RenderConversion(&output, &wanted, size, type, &args)) {
            Append(&output, conversion, static_cast<size_t>(at - conversion));
        }
    }
    out[output.length] = '\0';
    *cut = output.cut;
    return output.length;
}
