// Broken layouts. Each installs one, runs a whole service life, and checks the
// events, the final state and exit code, and that the process never crashed
// (a crash under Wine leaves the service RUNNING, so the process is watched).
// Every case runs with the "MerivastService" event source unregistered, as
// every service test does; a missing jre, a missing export, a missing class,
// a missing serviceStop and a throwing serviceMain are in service_tests.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/service_life.h"

namespace {

using namespace mvt;

// Runs the life to its end; a service that is still running after `runMs`
// (its application blocks) is stopped first.
ProcessTrace RunLife(ServiceLife& life, DWORD runMs = 0) {
    life.StartRunning();
    if (runMs > 0) {
        EXPECT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
        Sleep(runMs);
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    }
    ProcessTrace trace = life.Finish();
    const DWORD code = life.service.ProcessExitCode();
    EXPECT_TRUE(code == 0 || code == ERROR_SERVICE_SPECIFIC_ERROR ||
                code == ScmService::kExitCodeUnknown)
        << "process ended with " << std::hex << code;
    EXPECT_EQ(static_cast<unsigned>(SERVICE_STOPPED),
              trace.reports.empty() ? 0u : trace.reports.back().state);
    EXPECT_FALSE(HasFault(life.layout.JniCalls()));
    return trace;
}

std::string OptionText(const InstallLayout& layout, int index) {
    for (const auto& call : layout.JniCalls()) {
        if (call.event == "option" &&
            call.details.compare(0, 2, std::to_string(index) + " ") == 0) {
            return call.details.substr(2);
        }
    }
    return std::string();
}

TEST(BadLayout, TextFileNamedJvmDll) {
    ServiceLife life(L"textdll", Runtime::kNone);
    life.layout.AddFile(L"jre\\bin\\client\\jvm.dll", "this is not a library\r\n");
    const ProcessTrace trace = RunLife(life);
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 1);
    const auto texts = trace.Texts();
    ASSERT_EQ(6u, texts.size());
    const std::wstring path = life.layout.dir() + L"\\jre\\bin\\client\\jvm.dll";
    EXPECT_NE(std::wstring::npos, texts[1].find(L"\n\nFailed to load jvm dll:\n" + path));
    EXPECT_EQ(0u, texts[2].find(path + L" is not a Windows DLL: ")) << Narrow(texts[2]);
    EXPECT_EQ(L"CreateJavaVM ERROR", texts[3]);
}

TEST(BadLayout, RuntimeOfTheOtherPointerSize) {
    ServiceLife life(L"otherarch", Runtime::kOtherArchitecture);
    const ProcessTrace trace = RunLife(life);
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 1);
    const auto texts = trace.Texts();
    ASSERT_EQ(6u, texts.size());
    EXPECT_NE(std::wstring::npos, texts[1].find(L"\n\nFailed to load jvm dll:\n"));
    EXPECT_NE(std::wstring::npos, texts[2].find(L"-bit Java runtime; this MerivastService.exe is "))
        << Narrow(texts[2]);
    EXPECT_EQ(L"CreateJavaVM ERROR", texts[3]);
}

TEST(BadLayout, OptionTheRuntimeDoesNotKnowRefusesTheVm) {
    ServiceLife life(L"badoption");
    life.layout.SetScenario("unknown_option=-Dlog4j.configuration\n");
    const ProcessTrace trace = RunLife(life);
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 3);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"CreateJavaVM ERROR",
                                         L"The JVM is not initialized.", L"Service stopped"}),
              trace.Texts());
}

TEST(BadLayout, EmptyOrMissingLibMeansNoEntryPoint) {
    for (bool makeLib : {false, true}) {
        ServiceLife life(makeLib ? L"emptylib" : L"nolib", Runtime::kStandin, /*withJar=*/false);
        if (makeLib) life.layout.MakeDir(L"lib");
        // A VM given an empty class path would look in its working directory,
        // the install directory: no runtime is started at all.
        life.layout.AddFile(L"com\\merivast\\agent\\MerivastMain.class", "stray class");
        const ProcessTrace trace = RunLife(life);
        ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 4);
        EXPECT_EQ(
            (std::vector<std::wstring>{
                L"Service started", L"Can not find entry point:\n",
                L"Looked for the class com.merivast.agent.MerivastMain, with its static "
                L"void serviceMain(String), but " +
                    life.layout.dir() + L"\\lib holds no jar: put the application's jar there.",
                L"Service stopped"}),
            trace.Texts());
        EXPECT_FALSE(HasCall(life.layout.JniCalls(), "JNI_CreateJavaVM"));
    }
}

// A class path entry, resolved to the long name of what it names.
std::wstring Resolved(const std::string& entry) {
    wchar_t full[MAX_PATH] = {};
    return GetLongPathNameW(Widen(entry).c_str(), full, MAX_PATH) > 0 ? full : L"?" + Widen(entry);
}

std::vector<std::string> ClassPathEntries(const InstallLayout& layout) {
    std::string value = OptionText(layout, 0);
    EXPECT_EQ(0u, value.find("-Djava.class.path="));
    value.erase(0, value.find('=') + 1);
    std::vector<std::string> entries;
    size_t at = 0;
    for (size_t end; (end = value.find(';', at)) != std::string::npos; at = end + 1) {
        entries.push_back(value.substr(at, end - at));
    }
    entries.push_back(value.substr(at));
    return entries;
}

TEST(BadLayout, OddJarsStillRunTheApplication) {
    ServiceLife life(L"oddjars", Runtime::kStandin, /*withJar=*/false);
    life.layout.MakeDir(L"lib\\x.jar");
    life.layout.AddJar(L"\x4e2d\x6587.jar", false);  // not in code page 1252
    // Its ';' would split it into "lib\x" and a bare "agent.jar" that a VM
    // resolves against its working directory: the only jar with the class.
    life.layout.AddJar(L"x;agent.jar");
    life.layout.AddFile(L"agent.jar", "a stray jar outside lib");
    RunLife(life, 100);
    ExpectStoppedWith(life.service, 0, 0);
    std::vector<std::wstring> named;
    for (const auto& entry : ClassPathEntries(life.layout)) {
        EXPECT_EQ(std::string::npos, entry.find('?')) << entry;
        named.push_back(Resolved(entry));
    }
    std::sort(named.begin(), named.end());
    const std::wstring lib = life.layout.dir() + L"\\lib\\";
    EXPECT_EQ((std::vector<std::wstring>{lib + L"x.jar", lib + L"x;agent.jar",
                                         lib + L"\x4e2d\x6587.jar"}),
              named);
    EXPECT_TRUE(HasCall(life.layout.JniCalls(), "FindClass",
                        "com/merivast/agent/MerivastMain result=found"));
}

TEST(BadLayout, LookAlikeOfTheInstallDirectoryIsNeverNamed) {
    // Best fit would turn "Merivāst" into "Merivast", a directory that whoever
    // can create it controls; there it holds the only jar with the class.
    const std::wstring parent = TestRoot() + L"\\" + UniqueName(L"lookalike");
    CreateDirectoryW(parent.c_str(), nullptr);
    InstallLayout lookAlike(L"lookalike", ServiceExecutable(), parent + L"\\Merivast");
    lookAlike.AddJar(L"app.jar");
    {
        InstallLayout layout(L"bestfit", ServiceExecutable(), parent + L"\\Meriv\x0101st");
        layout.AddRuntime(Runtime::kStandin);
        layout.AddJar(L"app.jar", false);
        layout.SetScenario("main=return\n");
        ScmService service(UniqueName(L"MvtBestFit"), layout.executable());
        ASSERT_EQ(0u, service.Start());
        ASSERT_TRUE(service.WaitForProcessExit());
        ExpectStoppedWith(service, ERROR_SERVICE_SPECIFIC_ERROR, 4);
        const std::vector<std::string> entries = ClassPathEntries(layout);
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(layout.dir() + L"\\lib\\app.jar", Resolved(entries[0]));
        const std::string log4j = OptionText(layout, 1);
        const std::string prefix = "-Dlog4j.configuration=file:/";
        const std::string suffix = "\\conf\\log4j.properties";
        ASSERT_EQ(0u, log4j.find(prefix));
        ASSERT_GT(log4j.size(), prefix.size() + suffix.size());
        EXPECT_EQ(layout.dir(), Resolved(log4j.substr(
                                    prefix.size(), log4j.size() - prefix.size() - suffix.size())));
    }
    RemoveTree(parent);
}

// conf\jvm.options: the operator's options follow the host's three in the
// file's order, before the runtime's hooks; the shipped file's active lines
// (crash report to logs\, heap dumps to logs\outofmemory) reach the VM, which
// takes them.
TEST(OperatorOptions, FollowTheHostsOwnInTheFilesOrder) {
    const struct {
        const wchar_t* tag;
        std::string file;                  // empty: no conf\jvm.options
        std::vector<std::string> options;  // what the VM gets after the host's three
    } cases[] = {
        {L"nooptions", "", {}},
        {L"useroptions",
         "# heap\r\n-Xmx96m\r\n\r\n--add-opens java.base/java.lang=ALL-UNNAMED\r\n"
         "  -Dlog4j.configuration=file:/C:\\other.properties  \r\n",
         {"-Xmx96m", "--add-opens=java.base/java.lang=ALL-UNNAMED",
          "-Dlog4j.configuration=file:/C:\\other.properties"}},
        {L"shippedoptions",
         ReadFileBytes(LinuxToWindowsPath(MVT_SHIPPED_JVM_OPTIONS)),
         {"-XX:ErrorFile=logs\\hs_err_pid%p.log", "-XX:+HeapDumpOnOutOfMemoryError",
          "-XX:HeapDumpPath=logs\\outofmemory"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.tag));
        ServiceLife life(c.tag);
        if (!c.file.empty()) life.layout.AddFile(L"conf\\jvm.options", c.file);
        RunLife(life, 50);
        ExpectStoppedWith(life.service, 0, 0);
        const auto calls = life.layout.JniCalls();
        const JniCall* create = FindCall(calls, "JNI_CreateJavaVM");
        ASSERT_NE(nullptr, create);
        const int n = static_cast<int>(c.options.size());
        EXPECT_NE(std::string::npos, create->details.find("nOptions=" + std::to_string(6 + n)));
        EXPECT_EQ(0u, OptionText(life.layout, 2).find("-Dorg.apache.commons.logging.Log="));
        for (int i = 0; i < n; ++i) EXPECT_EQ(c.options[i], OptionText(life.layout, 3 + i));
        // The runtime's hooks come last, after the operator's: exit, abort, vfprintf.
        EXPECT_EQ("exit", OptionText(life.layout, 3 + n));
        EXPECT_EQ("abort", OptionText(life.layout, 4 + n));
        EXPECT_EQ("vfprintf", OptionText(life.layout, 5 + n));
    }
}

// A refused file of conf\\: its one event, code 7, and no runtime loaded.
struct RefusedFileCase {
    const wchar_t* tag;
    const wchar_t* file;
    std::string content;
    std::wstring event;
};

void PrintTo(const RefusedFileCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class RefusedConfiguration : public ::testing::TestWithParam<RefusedFileCase> {};

TEST_P(RefusedConfiguration, GivesItsEventAndCodeSevenWithNoRuntime) {
    const RefusedFileCase& c = GetParam();
    ServiceLife life(c.tag);
    life.layout.AddFile(c.file, c.content);
    const ProcessTrace trace = RunLife(life);
    EXPECT_EQ(kStartedAndStopped, trace.States());
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 7);
    ExpectProcessExitCode(life.service, ERROR_SERVICE_SPECIFIC_ERROR);
    ASSERT_EQ(3u, trace.events.size());
    if (c.event[0] == L'*') {
        // The beginning; the rest names the test's own folder.
        EXPECT_EQ(0u, trace.events[1].strings[0].find(c.event.substr(1)))
            << Narrow(trace.events[1].strings[0]);
    } else {
        ExpectEvent(trace.events[1], EVENTLOG_ERROR_TYPE, c.event);
    }
    EXPECT_TRUE(life.layout.JniCalls().empty()) << "the runtime library was loaded";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedConfiguration,
    ::testing::Values(
        RefusedFileCase{L"badoptions", L"conf\\jvm.options", "# heap\n-Xms64m\nXmx512m\n",
                        L"conf\\jvm.options line 3: \"Xmx512m\" is not a JVM option; JVM "
                        L"options begin with '-'."},
        RefusedFileCase{L"badprops", L"conf\\service.properties", "# deadline\nstop.timeout=soon\n",
                        L"conf\\service.properties line 2: stop.timeout must be a whole number "
                        L"of seconds from 0 to 86400, not \"soon\"."},
        // Saved by Windows PowerShell 5.1: read as UTF-16, line numbers kept.
        RefusedFileCase{L"utf16props", L"conf\\service.properties",
                        Utf16File(L"# deadline\r\nstop.timeout=soon\r\n"),
                        L"conf\\service.properties line 2: stop.timeout must be a whole number "
                        L"of seconds from 0 to 86400, not \"soon\"."},
        RefusedFileCase{L"classslash", L"conf\\service.properties", "main.class=org/example/App\n",
                        L"conf\\service.properties line 1: main.class \"org/example/App\" is not "
                        L"a Java class name: write it as in Java source, with its package, for "
                        L"example org.example.App (a nested class as org.example.App$Main)."},
        RefusedFileCase{L"classempty", L"conf\\service.properties", "main.class=\n",
                        L"conf\\service.properties line 1: main.class \"\" is not a Java class "
                        L"name: write it as in Java source, with its package, for example "
                        L"org.example.App (a nested class as org.example.App$Main)."},
        RefusedFileCase{L"argsnotutf8", L"conf\\main.args", "8080\n\xC3(\n",
                        L"conf\\main.args line 2: the line is not valid UTF-8."},
        RefusedFileCase{L"jarandclass", L"conf\\service.properties",
                        "main.class=org.example.App\nmain.jar=lib/merivast-agent.jar\n",
                        L"conf\\service.properties line 2: main.jar cannot be used with "
                        L"main.class (line 1): a jar names its own main class, in its manifest's "
                        L"Main-Class. Keep one of the two."},
        RefusedFileCase{L"nojar", L"conf\\service.properties", "main.jar=app.jar\n",
                        L"*conf\\service.properties line 1: main.jar \"app.jar\" names no jar: "
                        L"C:\\mvt\\nojar-"},
        RefusedFileCase{L"stopnotmethod", L"conf\\service.properties", "stop.method=stop\n",
                        L"conf\\service.properties line 1: stop.method \"stop\" is not a static "
                        L"method's full name of at most 255 characters: its class with its "
                        L"package, then its name, for example org.example.App.stop."},
        RefusedFileCase{L"healthnocheck", L"conf\\service.properties", "start.ready=health\n",
                        L"conf\\service.properties line 1: start.ready=health needs a health "
                        L"check: set health.url or health.method."},
        RefusedFileCase{L"stopargsnotutf8", L"conf\\stop.args", "now\n\xC3(\n",
                        L"conf\\stop.args line 2: the line is not valid UTF-8."},
        RefusedFileCase{L"envnoequals", L"conf\\environment", "# mine\rA=1\rAPP HOME\r",
                        L"conf\\environment line 3: \"APP HOME\" is not a NAME=value line."},
        RefusedFileCase{L"envnoname", L"conf\\environment", "A=1\n  = x\n",
                        L"conf\\environment line 2: \"= x\" has no name before '='."},
        RefusedFileCase{L"envblank", L"conf\\environment", "APP HOME=C:\\app\n",
                        L"conf\\environment line 1: \"APP HOME=C:\\app\" has a blank in the "
                        L"name before '='."},
        // Windows keeps 32,766 characters; Wine's expansion would cut the rest silently.
        RefusedFileCase{L"envlong", L"conf\\environment", "A=1\nBIG=" + std::string(32767, 'x'),
                        L"conf\\environment line 2: the value of \"BIG\" is longer than 32766 "
                        L"characters once expanded, the most Windows keeps."},
        RefusedFileCase{L"homenone", L"conf\\service.properties", "java.home=jdk-25*\n",
                        L"*conf\\service.properties: java.home C:\\mvt\\homenone-"}),
    [](const ::testing::TestParamInfo<RefusedFileCase>& info) { return Narrow(info.param.tag); });

TEST(BadLayout, TwoThousandJarsAreAllOnTheClassPath) {
    ServiceLife life(L"manyjars", Runtime::kStandin, /*withJar=*/false);
    for (int i = 0; i < 2000; ++i) {
        life.layout.AddJar(
            L"library-with-a-rather-long-name-" + std::to_wstring(10000 + i) + L".jar", i == 1999);
    }
    // Only the last of them holds the class: the runtime finds it only if it
    // received the whole class path.
    RunLife(life, 100);
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_TRUE(HasCall(life.layout.JniCalls(), "FindClass",
                        "com/merivast/agent/MerivastMain result=found"));
}

TEST(BadLayout, LongestInstallDirectoryThatFits) {
    // The executable's full path takes 259 units, the most MAX_PATH allows.
    const std::wstring root = TestRoot() + L"\\" + UniqueName(L"long");
    const size_t exeName = std::wstring(L"\\MerivastService.exe").size();
    std::wstring dir = root + L"\\";
    while (dir.size() + exeName < MAX_PATH - 1) dir += L'd';
    ASSERT_EQ(static_cast<size_t>(MAX_PATH - 1), dir.size() + exeName);

    InstallLayout layout(L"long", ServiceExecutable(), dir);
    layout.AddRuntime(Runtime::kStandin);
    layout.AddJar(L"app.jar");
    layout.SetScenario("main=return\n");
    ScmService service(UniqueName(L"MvtLong"), layout.executable());
    ASSERT_EQ(0u, service.Start());
    ASSERT_TRUE(service.WaitForProcessExit());
    const ProcessTrace trace = ReadProcessTrace(service.pid(), service.traceStart());
    ASSERT_FALSE(trace.events.empty());
    EXPECT_EQ(L"Service started", trace.Texts().front());
    EXPECT_EQ(L"Service stopped", trace.Texts().back());
    const SERVICE_STATUS_PROCESS status = service.Query();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    if (status.dwWin32ExitCode != 0) {
        // The runtime's path is longer than MAX_PATH: a load error that names it whole.
        EXPECT_EQ(1u, status.dwServiceSpecificExitCode);
        EXPECT_NE(std::wstring::npos, trace.Texts()[1].find(dir + L"\\jre\\bin\\client\\jvm.dll"));
    } else {
        EXPECT_NE(std::string::npos,
                  OptionText(layout, 1).find(Narrow(dir) + "\\conf\\log4j.properties"));
    }
    RemoveTree(root);
}

// Installed in a drive's root, the install directory is the drive alone
// ("C:"). R: is a drive of its own (set up by the test script), C: the system
// drive, where "C:" as a working directory would be the service's current one
// there, the system folder.
class InstallInADriveRoot : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(InstallInADriveRoot, WorksThereAndStandsInTheRoot) {
    const std::wstring root = GetParam();
    const std::string name = Narrow(root);
    InstallLayout layout(L"driveroot", ServiceExecutable(), root);
    layout.AddRuntime(Runtime::kStandin);
    layout.AddJar(L"app.jar");
    layout.SetScenario("main=return\nrecord.cwd=1\n");
    ScmService service(UniqueName(L"MvtRoot"), layout.executable());
    ASSERT_EQ(0u, service.Start());
    ASSERT_TRUE(service.WaitForProcessExit());
    const SERVICE_STATUS_PROCESS status = service.Query();
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ("-Djava.class.path=" + name + "\\lib\\app.jar", OptionText(layout, 0));
    EXPECT_EQ("-Dlog4j.configuration=file:/" + name + "\\conf\\log4j.properties",
              OptionText(layout, 1));
    const auto calls = layout.JniCalls();
    EXPECT_NE(nullptr, FindCall(calls, "CallStaticVoidMethod", "serviceMain arg=" + name));
    const JniCall* cwd = FindCall(calls, "CWD");
    ASSERT_NE(nullptr, cwd);
    EXPECT_EQ(name + "\\", cwd->details) << "the VM's working directory";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((root + L"\\logs\\stderr.log").c_str()));
    for (const wchar_t* file :
         {L"MerivastService.exe", L"standin-record.txt", L"standin-scenario.txt"}) {
        DeleteFileW((root + L"\\" + file).c_str());
    }
    for (const wchar_t* folder : {L"jre", L"lib", L"logs"}) RemoveTree(root + L"\\" + folder);
}

INSTANTIATE_TEST_SUITE_P(Roots, InstallInADriveRoot, ::testing::Values(L"R:", L"C:"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                             return Narrow(std::wstring(info.param, 1));
                         });

}  // namespace
