// The rules of conf\service.properties, one file per case. How the file is
// read (UTF-8, size, an unreadable file) is the shared reader's, tested with
// conf\jvm.options.
#include <gtest/gtest.h>

#include "agent/configuration.h"
#include "agent/service_properties.h"
#include "support/install_layout.h"
#include "support/paths.h"

namespace {

using namespace mvt;

struct PropertiesCase {
    const char* name;
    const char* bytes;       // null: no file
    DWORD seconds;           // what is read when the file is good
    const wchar_t* problem;  // null: the file is good
    const wchar_t* mainClass = L"com.merivast.agent.MerivastMain";  // read when good
    const wchar_t* javaHome = nullptr;                              // read when good, if set
};

void PrintTo(const PropertiesCase& c, std::ostream* out) {
    *out << c.name;
}

class ServicePropertiesFile : public ::testing::TestWithParam<PropertiesCase> {};

TEST_P(ServicePropertiesFile, ReadsOrNamesTheProblem) {
    const PropertiesCase& c = GetParam();
    InstallLayout layout(L"props", ServiceExecutable());
    if (c.bytes != nullptr) layout.AddFile(L"conf\\service.properties", c.bytes);
    ServiceProperties properties;
    properties.stopTimeoutSeconds = 12345;  // shows whether anything was written
    ConfigProblem problem = {};
    const bool good = ReadServiceProperties(layout.dir().c_str(), &properties, &problem);
    if (c.problem == nullptr) {
        EXPECT_TRUE(good) << Narrow(problem.text);
        EXPECT_EQ(c.seconds, properties.stopTimeoutSeconds);
        EXPECT_STREQ(c.mainClass, properties.mainClass);
        if (c.javaHome != nullptr) {
            EXPECT_STREQ(c.javaHome, properties.javaHome);
        }
    } else {
        EXPECT_FALSE(good);
        EXPECT_EQ(std::wstring(c.problem), problem.text);
        EXPECT_EQ(12345u, properties.stopTimeoutSeconds) << "nothing of a bad file is used";
    }
}

#define PROBLEM(line, text) L"conf\\service.properties line " line L": " text
#define J50 "jjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjj"
#define WJ50 L"jjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjjj"

INSTANTIATE_TEST_SUITE_P(
    Rules, ServicePropertiesFile,
    ::testing::Values(
        PropertiesCase{"nofile", nullptr, 12345, nullptr},
        PropertiesCase{"comments_blanks_crlf",
                       "# stop\r\n! also a comment\r\n\r\n  stop.timeout \t=  45  \r\n", 45,
                       nullptr},
        PropertiesCase{"bom_zero", "\xEF\xBB\xBFstop.timeout=0\n", 0, nullptr},
        PropertiesCase{"leading_zeros_max", "stop.timeout=086400\n", 86400, nullptr},
        // 2^32 + 1: a parser that overflows would read 1.
        PropertiesCase{"too_large", "stop.timeout=4294967297\n", 0,
                       PROBLEM("1",
                               L"stop.timeout must be a whole number of seconds from 0 to "
                               L"86400, not \"4294967297\".")},
        PropertiesCase{"unit", "stop.timeout=30s\n", 0,
                       PROBLEM("1",
                               L"stop.timeout must be a whole number of seconds from 0 to "
                               L"86400, not \"30s\".")},
        PropertiesCase{"unknown_key", "stop.timeout=5\nstop.timeuot=5\n", 0,
                       PROBLEM("2",
                               L"unknown key \"stop.timeuot\"; the keys are stop.timeout, "
                               L"main.class, java.home, start.ready, start.timeout, main.jar, "
                               L"stop.method, console.max-size, console.keep, watch.deadlock, "
                               L"watch.interval.")},
        PropertiesCase{"no_equals", "stop.timeout 5\n", 0,
                       PROBLEM("1", L"\"stop.timeout 5\" is not a key=value line.")},
        // A path the host's buffers cannot hold is refused, never cut short.
        PropertiesCase{
            "home_too_long", "java.home=" J50 J50 J50 J50 J50 "\n", 0,
            PROBLEM("1", L"java.home \"" WJ50 WJ50 WJ50
                             WJ50 L"...\" makes a path too long for the host: the runtime's "
                         L"folder may have at most 263 characters, with the install "
                         L"directory's path when it is relative.")},
        PropertiesCase{"nested_class", "main.class=org.example.App$Main\n", 12345, nullptr,
                       L"org.example.App$Main"},
        PropertiesCase{"unicode_class", "main.class = org.ex\xC3\xA4mple.\xC3\x84pp \n", 12345,
                       nullptr, L"org.ex\u00e4mple.\u00c4pp"},
        // A drive's root or a share, with or without its separator: no doubled one before bin.
        PropertiesCase{"home_root", "java.home=D:\\\n", 12345, nullptr,
                       L"com.merivast.agent.MerivastMain", L"D:"},
        PropertiesCase{"home_share", "java.home=//server/share/jdk/\n", 12345, nullptr,
                       L"com.merivast.agent.MerivastMain", L"\\\\server\\share\\jdk"},
        PropertiesCase{"digit_first", "main.class=org.example.1App\n", 0,
                       PROBLEM("1",
                               L"main.class \"org.example.1App\" is not a Java class name: "
                               L"write it as in Java source, with its package, for example "
                               L"org.example.App (a nested class as org.example.App$Main).")},
        PropertiesCase{"ready_word", "start.ready=when-ready\n", 0,
                       PROBLEM("1",
                               L"start.ready \"when-ready\" is neither at-once nor "
                               L"main-returned.")},
        PropertiesCase{"watch_keys", "watch.deadlock=restart\nwatch.interval=0\n", 12345, nullptr},
        PropertiesCase{
            "watch_word", "watch.deadlock=kill\n", 0,
            PROBLEM("1", L"watch.deadlock \"kill\" is none of report, restart and off.")},
        // Line ends as Windows editors write them: a lone CR ends a line too.
        PropertiesCase{"cr_only", "java.home=D:\\jdk\rstop.timeout=45\r\r\nmain.class=a.B\r", 45,
                       nullptr, L"a.B", L"D:\\jdk"},
        PropertiesCase{"console_size", "console.keep=99\nconsole.max-size=4097\n", 0,
                       PROBLEM("2",
                               L"console.max-size must be a whole number of MiB from 0 to "
                               L"4096, not \"4097\".")},
        PropertiesCase{"console_keep", "console.max-size=0\r\nconsole.keep=0\r\n", 0,
                       PROBLEM("2",
                               L"console.keep must be a whole number of files from 1 to 99, "
                               L"not \"0\".")},
        PropertiesCase{"set_twice", "stop.timeout=5\n# again\nstop.timeout=6\n", 0,
                       PROBLEM("3", L"stop.timeout is set a second time (first on line 1).")}),
    [](const ::testing::TestParamInfo<PropertiesCase>& info) { return info.param.name; });

// The layout refuses what does not fit instead of cutting it: a cut path could
// name another folder, and load a runtime from it.
TEST(HostLayout, RefusesWhatDoesNotFit) {
    wchar_t out[8];
    EXPECT_TRUE(JoinPath(out, L"C:\\a", L"bc"));
    EXPECT_STREQ(L"C:\\a\\bc", out) << "seven units and the terminator fit exactly";
    EXPECT_FALSE(JoinPath(out, L"C:\\a", L"bcd"));
    EXPECT_STREQ(L"", out) << "nothing of a join that does not fit is kept";
    wchar_t same[8] = L"C:\\a";
    EXPECT_TRUE(JoinPath(same, same, L"b")) << "the folder may be the result";
    EXPECT_STREQ(L"C:\\a\\b", same);
    EXPECT_TRUE(JoinPath(out, L"C:\\", L"lib"));
    EXPECT_STREQ(L"C:\\lib", out) << "a folder's own separator is not doubled";

    const std::wstring tooLong(MAX_PATH, L'd');
    HostLayout layout;
    EXPECT_FALSE(LayoutBelow(tooLong.c_str(), &layout));
    ASSERT_TRUE(LayoutBelow(L"C:\\svc", &layout));
    EXPECT_STREQ(L"C:\\svc\\conf", layout.confDir);
    EXPECT_STREQ(L"C:\\svc\\logs", layout.logsDir);
    EXPECT_FALSE(SetRuntimeFolder(&layout, std::wstring(kPathUnits - 16, L'd').c_str()))
        << "no room for bin\\client\\jvm.dll below it";
    ASSERT_TRUE(SetRuntimeFolder(&layout, L"D:"));
    wchar_t library[kPathUnits];
    ASSERT_TRUE(RuntimeLibraryPath(layout, L"server", library));
    EXPECT_STREQ(L"D:\\bin\\server\\jvm.dll", library) << "a drive's root, no doubled separator";
}

// The service and the packaging checker read conf\ through one function: the
// first problem is the same for both, and no file after it is read.
TEST(HostLayout, ConfigurationStopsAtTheFirstRefusedFile) {
    InstallLayout files(L"confall", ServiceExecutable());
    files.AddFile(L"conf\\service.properties", "start.ready=main-returned\n");
    files.AddFile(L"conf\\jvm.options", "Xmx1g\n");
    files.AddFile(L"conf\\main.args", "\xC3(\n");
    HostLayout layout;
    ASSERT_TRUE(LayoutBelow(files.dir().c_str(), &layout));
    Configuration configuration;
    ConfigProblem problem = {};
    EXPECT_FALSE(ReadConfiguration(&layout, &configuration, &problem));
    EXPECT_EQ(0, wcsncmp(L"conf\\jvm.options line 1:", problem.text, 24)) << Narrow(problem.text);
    EXPECT_EQ(kReadyWhenMainReturned, configuration.properties.startReady)
        << "the good file before it is kept, for the start's report";
    EXPECT_FALSE(configuration.arguments.filePresent) << "the file after it is not read";
    EXPECT_EQ(std::wstring(files.dir()) + L"\\jre", layout.jreDir);
}

}  // namespace
