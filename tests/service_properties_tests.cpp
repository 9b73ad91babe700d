// The rules of conf\service.properties, one file per case. How the file is
// read (UTF-8, size, an unreadable file) is the shared reader's, tested with
// conf\jvm.options.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "agent/configuration.h"
#include "agent/health_http.h"
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
                               L"main.class, java.home, java.version, start.ready, start.timeout, "
                               L"main.jar, "
                               L"stop.method, console.max-size, console.keep, watch.deadlock, "
                               L"watch.interval, health.url, health.method, health.interval, "
                               L"health.failures, health.timeout, health.action.")},
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
                               L"start.ready \"when-ready\" is none of at-once, "
                               L"main-returned and health.")},
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
        PropertiesCase{"version_rule", "java.version=21.0.4-ea\n", 0,
                       PROBLEM("1",
                               L"java.version \"21.0.4-ea\" is not a version rule: a version "
                               L"number such as 21 or 21.0.4 (the runtimes whose version begins "
                               L"with it), or one followed by '+' such as 21.0.4+ (that version or "
                               L"a newer one).")},
        PropertiesCase{"home_pattern_inside", "java.home=C:\\Java*\\jdk\n", 0,
                       PROBLEM("1",
                               L"java.home \"C:\\Java*\\jdk\" has '*' or '?' before its last "
                               L"name: only the runtime's own folder may be a pattern, as in "
                               L"C:\\Java\\jdk-21*.")},
        // One health check, a URL the check can ask, and readiness only with a check.
        PropertiesCase{"health_both",
                       "health.method=org.example.App.healthy\nhealth.url=http://localhost/\n", 0,
                       PROBLEM("2",
                               L"health.url cannot be used with health.method (line 1): the "
                               L"service asks one health check. Keep one of the two.")},
        PropertiesCase{
            "health_scheme", "health.url=ftp://localhost/health\n", 0,
            PROBLEM("1",
                    L"health.url \"ftp://localhost/health\" is not a URL the health check "
                    L"can ask: http:// or https://, a host, an optional port "
                    L"from 1 to 65535 and a path, at most 511 characters, for "
                    L"example http://localhost:8080/actuator/health.")},
        PropertiesCase{"health_interval", "health.interval=0\n", 0,
                       PROBLEM("1",
                               L"health.interval must be a whole number of seconds from 1 to "
                               L"86400, not \"0\".")},
        PropertiesCase{"health_failures", "health.failures=101\n", 0,
                       PROBLEM("1",
                               L"health.failures must be a whole number of failures from 1 to "
                               L"100, not \"101\".")},
        PropertiesCase{"health_action", "health.action=kill\n", 0,
                       PROBLEM("1", L"health.action \"kill\" is neither restart nor report.")},
        PropertiesCase{"health_method", "health.method=healthy\n", 0,
                       PROBLEM("1",
                               L"health.method \"healthy\" is not a static method's full name of "
                               L"at most 255 characters: its class with its package, then its "
                               L"name, for example org.example.App.healthy.")},
        PropertiesCase{"ready_no_check", "health.interval=5\nstart.ready=health\n", 0,
                       PROBLEM("2",
                               L"start.ready=health needs a health check: set health.url or "
                               L"health.method.")},
        PropertiesCase{"set_twice", "stop.timeout=5\n# again\nstop.timeout=6\n", 0,
                       PROBLEM("3", L"stop.timeout is set a second time (first on line 1).")}),
    [](const ::testing::TestParamInfo<PropertiesCase>& info) { return info.param.name; });

// What the health keys give, in any order; a URL's forms the check takes.
TEST(ServicePropertiesHealth, ReadsEveryKey) {
    InstallLayout layout(L"propshealth", ServiceExecutable());
    layout.AddFile(L"conf\\service.properties",
                   "health.action=report\nhealth.failures=1\nhealth.timeout=7\n"
                   "health.method=org.example.App$Probe.healthy\nstart.ready=health\n"
                   "health.interval=86400\n");
    ServiceProperties properties;
    ConfigProblem problem = {};
    ASSERT_TRUE(ReadServiceProperties(layout.dir().c_str(), &properties, &problem))
        << Narrow(problem.text);
    EXPECT_EQ(kReadyWhenHealthy, properties.startReady);
    EXPECT_STREQ(L"org.example.App$Probe", properties.healthClass);
    EXPECT_STREQ(L"healthy", properties.healthMethod);
    EXPECT_EQ(86400u, properties.healthIntervalSeconds);
    EXPECT_EQ(1u, properties.healthFailures);
    EXPECT_EQ(7u, properties.healthTimeoutSeconds);
    EXPECT_EQ(kHealthReport, properties.healthAction);

    // What the check asks of a URL: "<secure> <port> <host> <path>"; "-" when refused.
    auto asked = [](const wchar_t* url) {
        HealthUrl parsed = {};
        return !ParseHealthUrl(url, wcslen(url), &parsed)
                   ? std::wstring(L"-")
                   : std::to_wstring(parsed.secure) + L" " + std::to_wstring(parsed.port) + L" " +
                         parsed.host + L" " + parsed.path;
    };
    EXPECT_EQ(L"0 80 Localhost /", asked(L"HTTP://Localhost"));
    EXPECT_EQ(L"1 8443 ::1 /q/health?full=1", asked(L"https://[::1]:8443/q/health?full=1"));
    EXPECT_EQ(L"1 443 app.example.org /health", asked(L"https://app.example.org/health"));
    for (const wchar_t* bad :
         {L"http://", L"http://:80/", L"http://[::1/", L"http://h:/", L"http://h:0/",
          L"http://h:65536/", L"http:/h/", L"http://h\x7f/", L"http://me@h/", L"http://h/a b"}) {
        EXPECT_EQ(L"-", asked(bad)) << Narrow(bad);
    }
}

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
    EXPECT_STREQ(L"", layout.jreDir) << "the runtime is taken once every file is good";
}

// conf\environment's values up to the most Windows keeps, 32,766 characters,
// are set whole; a longer one is refused before its expansion, which Wine
// would cut short without a word.
TEST(Environment, LongestValueSetAndLongerRefused) {
    InstallLayout files(L"envlong", ServiceExecutable());
    const std::wstring problems[] = {L"",
                                     L"conf\\environment line 1: the value of \"MVT_LONG\" is "
                                     L"longer than 32766 characters once expanded, the most "
                                     L"Windows keeps."};
    for (size_t length : {32766, 32767}) {
        files.AddFile(L"conf\\environment", "MVT_LONG=" + std::string(length, 'x') + "\n");
        EnvironmentVariables variables;
        ConfigProblem problem = {};
        SetEnvironmentVariableW(L"MVT_LONG", nullptr);
        ASSERT_TRUE(ReadEnvironment(files.dir().c_str(), &variables, &problem));
        EXPECT_EQ(length == 32766, ApplyEnvironment(variables, &problem));
        EXPECT_EQ(problems[length - 32766], length == 32766 ? L"" : problem.text);
        EXPECT_EQ(length == 32766 ? 32767u : 0u, GetEnvironmentVariableW(L"MVT_LONG", nullptr, 0));
    }
}

// Each version is older than every one after it, as Runtime.Version orders them.
TEST(RuntimeVersion, OrdersAsRuntimeVersionAndMatchesTheRule) {
    const char* const ascending[] = {"1.8.0_402-b06", "9",       "17.0.15+6-Debian-1deb12u1",
                                     "21-9",          "21-10",   "21-ea",
                                     "21-ea+3",       "21",      "21+35",
                                     "21+35-LTS",     "21+35-b", "21.0.9",
                                     "21.0.10-ea",    "21.0.10", "21.0.10+7",
                                     "21.0.10.1",     "25"};
    std::vector<RuntimeVersion> versions(std::size(ascending));
    for (size_t i = 0; i < versions.size(); ++i) {
        ASSERT_TRUE(ParseRuntimeVersion(ascending[i], strlen(ascending[i]), &versions[i]));
    }
    for (size_t i = 0; i < versions.size(); ++i) {
        for (size_t j = 0; j < versions.size(); ++j) {
            const int order = CompareRuntimeVersions(versions[i], versions[j]);
            EXPECT_EQ(i < j, order < 0) << ascending[i] << " " << ascending[j];
            EXPECT_EQ(i == j, order == 0) << ascending[i] << " " << ascending[j];
        }
    }
    RuntimeVersion version;
    for (const char* bad :
         {"", "21.", ".21", "21-", "21+x", "x21", "21 ", "2147483648", "21-e a"}) {
        EXPECT_FALSE(ParseRuntimeVersion(bad, strlen(bad), &version)) << bad;
    }
    struct RuleCase {
        const wchar_t* rule;
        const char* version;
        bool allowed;
    };
    const RuleCase rules[] = {{L"21", "21.0.10", true},
                              {L"21", "210", false},
                              {L"21.0", "21", true},
                              {L"21.0.4", "21.0.40", false},
                              {L"21.0.4", "21.0.4.1", true},
                              {L"1.8", "1.8.0_402", true},
                              {L"21.0.4+", "21.0.4-ea", false},
                              {L"21.0.4+", "21.0.4+7", true},
                              {L"21.0.4+", "22", true},
                              {L"21.0.4+", "21.0.3", false}};
    for (const RuleCase& c : rules) {
        VersionRule rule = {};
        ASSERT_TRUE(ParseVersionRule(c.rule, wcslen(c.rule), &rule)) << Narrow(c.rule);
        ASSERT_TRUE(ParseRuntimeVersion(c.version, strlen(c.version), &version));
        EXPECT_EQ(c.allowed, RuleAllows(rule, version)) << Narrow(c.rule) << " " << c.version;
    }
    for (const wchar_t* bad :
         {L"", L"0", L"21.", L"+", L"21++", L"21 +", L"21.0.4+7", L"\u0662\u0661"}) {
        VersionRule rule = {};
        EXPECT_FALSE(ParseVersionRule(bad, wcslen(bad), &rule)) << Narrow(bad);
    }
}

// java.home's pattern and java.version choose among folders by their release
// files, never by name, and only a runtime this executable can load; a
// refusal names each folder looked at and why it was not taken.
TEST(HostLayout, RuntimeChosenByItsReleaseFile) {
    InstallLayout files(L"choice", ServiceExecutable());
    struct Folder {
        const wchar_t* name;
        Runtime runtime;
        const char* release;
    };
    const Folder folders[] = {
        {L"jdk-21.0.9", Runtime::kStandin, "JAVA_VERSION=\"21.0.9\"\n"},
        {L"jdk-21.0.10", Runtime::kStandin,
         "IMPLEMENTOR=\"x\"\r\nJAVA_RUNTIME_VERSION=\"21.0.10+7-LTS\"\r\nJAVA_VERSION=\"21.0."
         "10\"\r\n"},
        {L"jdk-21.0.11", Runtime::kNone, "JAVA_VERSION=\"21.0.11\"\n"},
        {L"jdk-21.0.12", Runtime::kOtherArchitecture, "JAVA_VERSION=\"21.0.12\"\n"},
        {L"jdk-21.0.13", Runtime::kStandin, nullptr},
        {L"jdk-25", Runtime::kStandin, "JAVA_RUNTIME_VERSION=\"25-ea+20\"\nJAVA_VERSION=\"25\"\n"}};
    for (const Folder& folder : folders) {
        files.AddRuntime(folder.runtime, L"server", folder.name);
        if (folder.release != nullptr) {
            files.AddFile(std::wstring(folder.name) + L"\\release", folder.release);
        }
    }
    const std::wstring dir = files.dir();
    const std::wstring refused = L"conf\\service.properties: java.home " + dir;
    struct Case {
        std::string properties;
        std::wstring chosen;   // empty: refused
        std::wstring problem;  // after "java.home <dir>"
    };
    const Case cases[] = {
        {"java.home=jdk-21*\n", L"jdk-21.0.10", L""},
        {"java.home=jdk-*\njava.version=21.0.9\n", L"jdk-21.0.9", L""},
        {"java.home=JDK-21.0.10\njava.version=21\n", L"jdk-21.0.10", L""},
        {"java.home=" + Narrow(dir) + "\\*\njava.version=22+\n", L"jdk-25", L""},
        {"java.home=jdk-21.0.1?\njava.version=21.0.11+\n", L"",
         L"\\jdk-21.0.1? names no Java runtime that java.version 21.0.11+ allows. Looked in " +
             dir +
             L" at: jdk-21.0.10 (version 21.0.10+7-LTS, not allowed); "
             L"jdk-21.0.11 (no bin\\client\\jvm.dll or bin\\server\\jvm.dll); jdk-21.0.12 (its "
             L"jvm.dll is no " +
             std::wstring(sizeof(void*) == 8 ? L"64" : L"32") +
             L"-bit Windows DLL); jdk-21.0.13 (no release file with a JAVA_VERSION)."},
        {"java.home=jdk-17*\n", L"",
         L"\\jdk-17* names no Java runtime: no folder in " + dir + L" matches jdk-17*."}};
    for (const Case& c : cases) {
        files.AddFile(L"conf\\service.properties", c.properties);
        HostLayout layout;
        ASSERT_TRUE(LayoutBelow(dir.c_str(), &layout));
        Configuration configuration;
        ConfigProblem problem = {};
        const bool read = ReadConfiguration(&layout, &configuration, &problem);
        EXPECT_TRUE(configuration.runtime.asked);
        if (c.chosen.empty()) {
            EXPECT_FALSE(read);
            EXPECT_EQ(refused + c.problem, problem.text);
        } else {
            EXPECT_TRUE(read) << Narrow(problem.text);
            EXPECT_EQ(dir + L"\\" + c.chosen, layout.jreDir) << c.properties;
        }
    }
}

}  // namespace
