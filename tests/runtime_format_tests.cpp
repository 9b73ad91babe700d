// The formatter of the runtime's own text, in process: each conversion takes
// exactly its own argument, whatever its size modifier. The hook's whole line
// under a runtime is in host_tests.
#include <gtest/gtest.h>

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

}  // namespace
