#include "jvmhost/runtime_format.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "base/win32.h"
#include "jvmhost/runtime_format_args.h"

// Windows' own msvcrt.dll knows no C99 size modifier: it prints "%zu" as "zu"
// and leaves the argument, so every later conversion takes the wrong one (a
// "%s" after it can read an integer as a pointer). This formatter reads the
// format itself and takes each argument with the type its modifiers give it;
// the C runtime only renders one conversion at a time, of a 64-bit integer
// ("I64"), a double, a pointer, a character or a string, which every msvcrt.dll
// reads alike. The runtime is built by Microsoft's compilers, whose long double
// is a double, so "%Lf" takes a double.

namespace {

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

// A field's own text (what the conversion renders without its width) is
// made here before it enters the output, so that the finished text is cut,
// never the field: a number, a pointer or a float with its precision fits.
constexpr size_t kContentBytes = 1024;
// Precisions past these are taken as these: the content then still fits.
// C's longest float before its point has 309 digits.
constexpr size_t kMostIntegerPrecision = kContentBytes - 24;
constexpr size_t kMostFloatPrecision = kContentBytes - 340;
// Widths and precisions are read up to this; the output is cut long before.
constexpr size_t kMostFieldNumber = 0x7FFFFFFF;

// What a conversion asks of its field, read from the format.
struct FieldLayout {
    char flags[8];  // each of "-+ #0" at most once
    size_t width;
    bool hasPrecision;
    size_t precision;
    // "*": the number is the next int argument, taken only by a conversion
    // this formatter knows.
    bool widthFromArgument;
    bool precisionFromArgument;

    bool Has(char flag) const { return strchr(flags, flag) != nullptr; }
};

void AppendRepeated(Output* out, char c, size_t count) {
    if (count > out->Room()) {
        count = out->Room();
        out->cut = true;
    }
    memset(out->text + out->length, c, count);
    out->length += count;
}

// The field: `content` padded to the width, as C lays it out. Zeros go after
// the sign and the "0x" of a number, spaces before it or, with "-", after it.
void AppendField(Output* out, const FieldLayout& field, const char* content, size_t length,
                 bool zeroPads) {
    const size_t padding = field.width > length ? field.width - length : 0;
    if (field.Has('-')) {
        Append(out, content, length);
        AppendRepeated(out, ' ', padding);
        return;
    }
    if (!zeroPads || !field.Has('0')) {
        AppendRepeated(out, ' ', padding);
        Append(out, content, length);
        return;
    }
    size_t prefix = length > 0 && strchr("+- ", content[0]) != nullptr ? 1 : 0;
    if (length >= prefix + 2 && content[prefix] == '0' &&
        (content[prefix + 1] == 'x' || content[prefix + 1] == 'X')) {
        prefix += 2;
    }
    Append(out, content, prefix);
    AppendRepeated(out, '0', padding);
    Append(out, content + prefix, length - prefix);
}

// A number, pointer or float: the C runtime renders the content, without the
// width, into `content`; its length, or what it got to when it failed.
template <typename T>
size_t RenderContent(char (&content)[kContentBytes], const Conversion& wanted, T value) {
    // _snprintf fills the room and returns a negative count when the text does
    // not fit, and on some platforms 0; the zeroed room tells how far it got.
    memset(content, 0, sizeof(content));
    const int written = _snprintf(content, sizeof(content) - 1, wanted.text, value);
    if (written >= 0 && static_cast<size_t>(written) < sizeof(content)) {
        return static_cast<size_t>(written);
    }
    return strnlen(content, sizeof(content) - 1);
}

template <typename T>
void Render(Output* out, const FieldLayout& field, const Conversion& wanted, T value,
            bool zeroPads) {
    char content[kContentBytes];
    const size_t length = RenderContent(content, wanted, value);
    AppendField(out, field, content, length, zeroPads);
}

bool IsOneOf(char type, const char* types) {
    return type != '\0' && strchr(types, type) != nullptr;
}

// A narrow string's field: its first `precision` bytes at most, padded.
void RenderNarrow(Output* out, const FieldLayout& field, const char* text) {
    if (text == nullptr) text = "(null)";
    const size_t length = strnlen(text, field.hasPrecision ? field.precision : kMostFieldNumber);
    AppendField(out, field, text, length, false);
}

// A wide string's field, converted to the ANSI code page a piece at a time,
// a character the code page lacks as its default character; the width and
// the precision count bytes, as C says.
void RenderWide(Output* out, const FieldLayout& field, const wchar_t* text, size_t units) {
    if (text == nullptr) text = L"(null)";
    char bytes[kContentBytes];
    size_t length = 0;
    for (size_t at = 0; at < units; at += 256) {
        const size_t piece = units - at < 256 ? units - at : 256;
        length += static_cast<size_t>(WideCharToMultiByte(
            CP_ACP, 0, text + at, static_cast<int>(piece), nullptr, 0, nullptr, nullptr));
    }
    if (field.hasPrecision && length > field.precision) length = field.precision;
    const size_t padding = field.width > length ? field.width - length : 0;
    if (!field.Has('-')) AppendRepeated(out, ' ', padding);
    size_t left = length;
    for (size_t at = 0; at < units && left > 0 && !out->cut; at += 256) {
        const size_t piece = units - at < 256 ? units - at : 256;
        const int got = WideCharToMultiByte(CP_ACP, 0, text + at, static_cast<int>(piece), bytes,
                                            sizeof(bytes), nullptr, nullptr);
        const size_t take = static_cast<size_t>(got) < left ? static_cast<size_t>(got) : left;
        Append(out, bytes, take);
        left -= take;
    }
    if (field.Has('-')) AppendRepeated(out, ' ', padding);
}

// Microsoft's "h" and "w" (and C's "l") choose a narrow or a wide character
// or string whatever the type's case says.
void RenderText(Output* out, const FieldLayout& field, ArgSize size, char type, va_list* args) {
    const bool wide = size == ArgSize::kLong || size == ArgSize::kWide ||
                      (size != ArgSize::kShort && (type == 'C' || type == 'S'));
    if (type == 'c' || type == 'C') {
        const int value = va_arg(*args, int);
        const char narrow = static_cast<char>(value);
        const wchar_t unit = static_cast<wchar_t>(value);
        FieldLayout single = field;
        single.hasPrecision = false;
        if (wide) {
            RenderWide(out, single, &unit, 1);
        } else {
            AppendField(out, single, &narrow, 1, false);
        }
    } else if (wide) {
        const wchar_t* text = va_arg(*args, const wchar_t*);
        const size_t most = field.hasPrecision ? field.precision : kMostFieldNumber;
        RenderWide(out, field, text, text != nullptr ? wcsnlen(text, most) : 6);
    } else {
        RenderNarrow(out, field, va_arg(*args, const char*));
    }
}

// The conversion's flags (but the ones this formatter lays out itself) and
// precision, for the C runtime.
void AddContentFields(Conversion* wanted, const FieldLayout& field, size_t mostPrecision) {
    for (const char* flag = field.flags; *flag != '\0'; ++flag) {
        if (*flag != '-' && *flag != '0') wanted->Add(*flag);
    }
    if (field.hasPrecision) {
        wanted->Add('.');
        wanted->AddNumber(field.precision < mostPrecision ? field.precision : mostPrecision);
    }
}

// Infinity and NaN as C writes them ("inf", "-nan", "INF" for an upper-case
// type), padded with spaces whatever the zero flag says: msvcrt.dll writes
// "1.#INF00", which a precision rounds to "1.$", and pads it with zeros.
void RenderFloat(Output* out, const FieldLayout& field, const Conversion& wanted, char type,
                 double value) {
    if (isfinite(value)) {
        Render(out, field, wanted, value, true);
        return;
    }
    const char* sign = signbit(value) ? "-" : field.Has('+') ? "+" : field.Has(' ') ? " " : "";
    const char* words[] = {"inf", "INF", "nan", "NAN"};
    char content[8];
    const int length = _snprintf(content, sizeof(content), "%s%s", sign,
                                 words[(isnan(value) ? 2 : 0) + (type >= 'A' && type <= 'Z')]);
    AppendField(out, field, content, static_cast<size_t>(length), false);
}

// The conversions this formatter renders; any other is copied as it stands.
const char kKnownTypes[] = "diouxXcCsSpeEfFgGaAn";

// Renders the known conversion `type` with its argument.
void RenderConversion(Output* out, const FieldLayout& field, ArgSize size, char type,
                      va_list* args) {
    Conversion wanted = {"%", 1};
    if (IsOneOf(type, "diouxX")) {
        AddContentFields(&wanted, field, kMostIntegerPrecision);
        wanted.Add("I64");
        wanted.Add(type);
        // C: a precision turns the zero flag of an integer off.
        if (IsOneOf(type, "di")) {
            Render(out, field, wanted, SignedArgument(size, args), !field.hasPrecision);
        } else {
            Render(out, field, wanted, UnsignedArgument(size, args), !field.hasPrecision);
        }
    } else if (IsOneOf(type, "cCsS")) {
        RenderText(out, field, size, type, args);
    } else if (type == 'p') {
        wanted.Add(type);
        Render(out, field, wanted, va_arg(*args, const void*), false);
    } else if (IsOneOf(type, "eEfFgGaA")) {
        AddContentFields(&wanted, field, kMostFloatPrecision);
        // Older msvcrt.dll copies know no "F"; it differs from "f" only in
        // the case of "inf" and "nan".
        wanted.Add(type == 'F' ? 'f' : type);
        RenderFloat(out, field, wanted, type, va_arg(*args, double));
    } else {
        static_cast<void>(va_arg(*args, void*));  // "%n" stores nothing
    }
}

size_t ReadNumber(const char** at) {
    size_t value = 0;
    for (; **at >= '0' && **at <= '9'; ++*at) {
        value = value * 10 + static_cast<size_t>(**at - '0');
        if (value > kMostFieldNumber) value = kMostFieldNumber;
    }
    return value;
}

// The flags, width and precision of the conversion at `at` (past its "%"):
// the digits of each, or "*", whose argument TakeFieldArguments takes.
FieldLayout ReadFieldLayout(const char** at) {
    FieldLayout field = {};
    size_t flagCount = 0;
    for (; **at != '\0' && strchr("-+ #0", **at) != nullptr; ++*at) {
        if (!field.Has(**at)) field.flags[flagCount++] = **at;
    }
    field.widthFromArgument = **at == '*';
    field.width = field.widthFromArgument ? 0 : ReadNumber(at);
    if (field.widthFromArgument) ++*at;
    field.hasPrecision = **at == '.';
    if (field.hasPrecision) {
        field.precisionFromArgument = *++*at == '*';
        field.precision = field.precisionFromArgument ? 0 : ReadNumber(at);
        if (field.precisionFromArgument) ++*at;
    }
    return field;
}

// The int argument of a "*": its magnitude, and whether it is below 0.
size_t TakeStarArgument(va_list* args, bool* negative) {
    const int value = va_arg(*args, int);
    *negative = value < 0;
    const size_t magnitude =
        value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    return magnitude < kMostFieldNumber ? magnitude : kMostFieldNumber;
}

// The arguments of the "*" width and precision, in the format's order. As C
// says, a negative width is the "-" flag, a negative precision none at all.
void TakeFieldArguments(FieldLayout* field, va_list* args) {
    bool negative = false;
    if (field->widthFromArgument) field->width = TakeStarArgument(args, &negative);
    if (negative && !field->Has('-')) field->flags[strlen(field->flags)] = '-';
    if (field->precisionFromArgument) {
        field->precision = TakeStarArgument(args, &negative);
        field->hasPrecision = !negative;
    }
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
        FieldLayout field = ReadFieldLayout(&at);
        const ArgSize size = ReadSize(&at);
        const char type = *at;
        if (type != '\0') ++at;
        if (!IsOneOf(type, kKnownTypes)) {
            Append(&output, conversion, static_cast<size_t>(at - conversion));
            continue;
        }
        TakeFieldArguments(&field, &args);
        RenderConversion(&output, field, size, type, &args);
    }
    out[output.length] = '\0';
    *cut = output.cut;
    return output.length;
}
