// The formatter of the runtime's own text, in process: each conversion takes
// exactly its own argument, whatever its size modifier. The hook's whole line
// under a runtime is in host_tests.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "jvmhost/runtime_format.h"

namespace {

std::string Format(size_t capacity, bool* cut, const char* format, ...) {
    std::string out(capacity, '\x7f');
    va_list args;
    va_start(args, format);
    const size_t length = FormatRuntimeText(&out[0], capacity, format, args, cut);
    va_end(args);
    EXPECT_EQ('\0', out[length]);
    return out.substr(0, length);
}

TEST(RuntimeFormat, EachConversionTakesItsOwnArgument) {
    bool cut = true;
    EXPECT_EQ("   ab|ab |abc|",
              Format(64, &cut, "%5.2s|%-*.*s|%.*s|", "abcdef", 3, 2, "ab", -1, "abc"));
    EXPECT_FALSE(cut);
    EXPECT_EQ("1 4464 -1 1234567890 3    |",
              Format(64, &cut, "%hhu %hd %I32d %I64x %--5d|", 257, 70000, -1, 0x1234567890LL, 3));
    EXPECT_EQ("xyz ok", Format(64, &cut, "%lc%ls %n%s", L'x', L"yz", nullptr, "ok"));
    // An unknown conversion stands as it is and takes nothing; so does a last "%".
    EXPECT_EQ("%q7 100%", Format(64, &cut, "%q%d 100%", 7));
}

TEST(RuntimeFormat, TextThatDoesNotFitIsCutAtTheBuffer) {
    bool cut = false;
    EXPECT_EQ("0123456", Format(8, &cut, "%s", "0123456789"));
    EXPECT_TRUE(cut);
    EXPECT_EQ("ab12345", Format(8, &cut, "ab%d%s", 12345, "never read"));
    EXPECT_TRUE(cut);
    EXPECT_EQ("0123456", Format(8, &cut, "0123456"));
    EXPECT_FALSE(cut) << "exactly full is not cut";
}

// The field is laid out whole and the finished text cut, as C99's snprintf
// does: a field wider than the buffer keeps its padding, and a character's
// field that does not fit is cut and marked like any other text.
TEST(RuntimeFormat, TheFinishedTextIsCutNotTheField) {
    struct Case {
        size_t capacity;
        const char* expected;
        std::string text;
    };
    bool cut = false;
    const Case cases[] = {
        {16, "           1234", Format(16, &cut, "%20d", 123456789)},
        {16, "123456789      ", Format(16, &cut, "%-20d|", 123456789)},
        {16, "-00000000000000", Format(16, &cut, "%020d", -42)},
        {8, "ab     ", Format(8, &cut, "ab%9c", 'x')},
        {8, "x      ", Format(8, &cut, "%-9c|", 'x')},
        {8, "       ", Format(8, &cut, "%30s", "abc")},
        {8, "0000000", Format(8, &cut, "%.40d", 5)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, c.text) << c.capacity;
    }
    EXPECT_TRUE(cut);
    // Within the buffer, the layout is C's.
    EXPECT_EQ("[0xff   ] [+0042] [0x00ff] [  abc] [abc  ] [   -1.50] [   7]",
              Format(128, &cut, "[%#-7x] [%+05d] [%#06x] [%5.3s] [%-5s] [%8.2f] [%04.1d]", 255, 42,
                     255, "abcdef", "abc", -1.5, 7));
    EXPECT_FALSE(cut);
    EXPECT_EQ("[  -00001.50]", Format(64, &cut, "[%*.*s%09.2f]", 2, 0, "x", -1.5));
}

// Infinity and NaN as C writes them (msvcrt.dll writes "1.#INF00", which a
// precision rounds to "1.$"), padded with spaces whatever the zero flag says; an
// unknown conversion takes no argument, not even for its "*": the argument
// is left to the conversion after it.
TEST(RuntimeFormat, NonFiniteFloatsAndUnknownStarsAsC) {
    bool cut = false;
    const std::string cases[][2] = {
        {"[  inf]", Format(64, &cut, "[%05f]", HUGE_VAL)},
        {"[ -inf]", Format(64, &cut, "[%05.1e]", -HUGE_VAL)},
        {"[ +inf]", Format(64, &cut, "[%+05g]", HUGE_VAL)},
        {"[inf  ]", Format(64, &cut, "[%-05f]", HUGE_VAL)},
        {"[  NAN]", Format(64, &cut, "[%05F]", std::nan(""))},
        {"[-001.5]", Format(64, &cut, "[%06.1f]", -1.5)},
        {"[%*q  7]", Format(64, &cut, "[%*q%3d]", 7)},
        {"[%-*.*k  9|x]", Format(64, &cut, "[%-*.*k%3d|%s]", 9, "x")},
    };
    for (const auto& c : cases) EXPECT_EQ(c[0], c[1]);
}

}  // namespace
