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
    ASSERT_EQ(5u, texts.size());
    EXPECT_NE(std::wstring::npos,
              texts[1].find(L"\n\nFailed to load jvm dll:\n" + life.layout.dir() +
                            L"\\jre\\bin\\client\\jvm.dll"));
    EXPECT_EQ(L"CreateJavaVM ERROR", texts[2]);
}

TEST(BadLayout, RuntimeOfTheOtherPointerSize) {
    ServiceLife life(L"otherarch", Runtime::kOtherArchitecture);
    const ProcessTrace trace = RunLife(life);
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 1);
    const auto texts = trace.Texts();
    ASSERT_EQ(5u, texts.size());
    EXPECT_NE(std::wstring::npos, texts[1].find(L"\n\nFailed to load jvm dll:\n"));
    EXPECT_EQ(L"CreateJavaVM ERROR", texts[2]);
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
        const ProcessTrace trace = RunLife(life);
        ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 4);
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Can not find entry point:\n",
                                             L"Service stopped"}),
                  trace.Texts());
        EXPECT_EQ("-Djava.class.path=", OptionText(life.layout, 0));
    }
}

TEST(BadLayout, OddJarsStillRunTheApplication) {
    ServiceLife life(L"oddjars");
    life.layout.MakeDir(L"lib\\x.jar");
    life.layout.AddJar(L"\x4e2d\x6587.jar", false);  // not in code page 1252
    const ProcessTrace trace = RunLife(life, 100);
    ExpectStoppedWith(life.service, 0, 0);
    const std::string lib = Narrow(life.layout.dir()) + "\\lib\\";
    const std::string option = OptionText(life.layout, 0);
    EXPECT_EQ(0u, option.find("-Djava.class.path=" + lib));
    for (const char* jar : {"??.jar", "app.jar", "x.jar"}) {
        EXPECT_NE(std::string::npos, option.find(lib + jar)) << jar << " in " << option;
    }
    EXPECT_EQ(2, std::count(option.begin(), option.end(), ';'));
}

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
    EXPECT_NE(nullptr, FindCall(life.layout.JniCalls(), "FindClass",
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

TEST(BadLayout, InstallInADriveRoot) {
    // R: is a drive of its own (set up by the test script).
    InstallLayout layout(L"driveroot", ServiceExecutable(), L"R:");
    layout.AddRuntime(Runtime::kStandin);
    layout.AddJar(L"app.jar");
    layout.SetScenario("main=return\n");
    ScmService service(UniqueName(L"MvtRoot"), layout.executable());
    ASSERT_EQ(0u, service.Start());
    ASSERT_TRUE(service.WaitForProcessExit());
    const SERVICE_STATUS_PROCESS status = service.Query();
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ("-Djava.class.path=R:\\lib\\app.jar", OptionText(layout, 0));
    EXPECT_EQ("-Dlog4j.configuration=file:/R:\\conf\\log4j.properties", OptionText(layout, 1));
    EXPECT_NE(nullptr, FindCall(layout.JniCalls(), "CallStaticVoidMethod", "serviceMain arg=R:"));
    for (const wchar_t* name :
         {L"R:\\MerivastService.exe", L"R:\\standin-record.txt", L"R:\\standin-scenario.txt"}) {
        DeleteFileW(name);
    }
    RemoveTree(L"R:\\jre");
    RemoveTree(L"R:\\lib");
}

}  // namespace
