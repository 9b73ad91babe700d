// The runtime host on its own (host_probe.exe in a throw-away install
// directory), judged by the exact reports its sink received and the JNI calls
// the stand-in runtime recorded.
#include <gtest/gtest.h>

#include <sstream>

#include "support/install_layout.h"
#include "support/paths.h"
#include "support/scm_service.h"
#include "support/service_life.h"

namespace {

using namespace mvt;

struct HostRun {
    explicit HostRun(const std::wstring& tag, Runtime runtime = Runtime::kStandin,
                     bool withJar = true)
        : layout(tag, HostProbeExecutable()) {
        layout.AddRuntime(runtime);
        if (withJar) layout.AddJar(L"app.jar");
    }

    // Runs the probe; the sink's reports, "<code>\t<message>" with \n escaped.
    std::vector<std::string> Run(const std::wstring& mode = L"main") {
        EXPECT_EQ(0u, RunProcess(L"\"" + layout.executable() + L"\" " + mode, 60000));
        std::vector<std::string> lines;
        std::stringstream text(ReadFileBytes(layout.dir() + L"\\probe-sink.txt"));
        std::string line;
        while (std::getline(text, line)) lines.push_back(line);
        calls = layout.JniCalls();
        return lines;
    }

    std::vector<std::string> Events() const {
        std::vector<std::string> names;
        for (const auto& call : calls) {
            if (call.event != "option" && call.event != "ENTER" && call.event != "LEAVE") {
                names.push_back(call.event);
            }
        }
        return names;
    }

    std::string JvmPath() const { return Narrow(layout.dir()) + "\\jre\\bin\\client\\jvm.dll"; }

    InstallLayout layout;
    std::vector<JniCall> calls;
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(HostFailures, MissingRuntimeLibrary) {
    HostRun run(L"nojre", Runtime::kNone);
    const auto reports = run.Run();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(0u, reports[0].find("0\t")) << reports[0];
    EXPECT_TRUE(EndsWith(reports[0], "\\n\\nFailed to load jvm dll:\\n" + run.JvmPath()))
        << reports[0];
    EXPECT_GT(reports[0].size(), run.JvmPath().size() + 30) << "the system's text comes first";
    EXPECT_EQ("-1\tCreateJavaVM ERROR", reports[1]);
    EXPECT_EQ("0\tThe JVM is not initialized.", reports[2]);
}

TEST(HostFailures, RuntimeLibraryWithoutCreateExport) {
    HostRun run(L"noexport", Runtime::kNoExport);
    EXPECT_EQ(
        (std::vector<std::string>{"0\tCan not find 'JNI_CreateJavaVM' method in the jvm dll.",
                                  "-1\tCreateJavaVM ERROR", "0\tThe JVM is not initialized."}),
        run.Run());
}

TEST(HostFailures, RefusedCreationLeavesAHostWithoutVm) {
    HostRun run(L"refused");
    // The runtime leaves garbage in the out-parameters; the host must not use it.
    run.layout.SetScenario("create=refuse\ncreate_result=-6\nrefuse_garbage=1\n");
    EXPECT_EQ(
        (std::vector<std::string>{"-6\tCreateJavaVM ERROR", "0\tThe JVM is not initialized."}),
        run.Run());
    // No ExceptionCheck, no DestroyJavaVM: only the unload.
    EXPECT_EQ((std::vector<std::string>{"JNI_CreateJavaVM", "UNLOAD"}), run.Events());
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostFailures, MissingClassOrMethod) {
    {
        HostRun run(L"noclass", Runtime::kStandin, /*withJar=*/false);
        run.layout.AddJar(L"other.jar", /*holdsMainClass=*/false);
        EXPECT_EQ((std::vector<std::string>{"0\tCan not find entry point:\\n"}), run.Run());
        EXPECT_EQ((std::vector<std::string>{"JNI_CreateJavaVM", "FindClass", "ExceptionCheck",
                                            "ExceptionClear", "DestroyJavaVM", "UNLOAD"}),
                  run.Events());
    }
    {
        // No jar at all: the class path would be the working directory, so no runtime starts.
        HostRun run(L"nojar", Runtime::kStandin, /*withJar=*/false);
        EXPECT_EQ((std::vector<std::string>{"0\tCan not find entry point:\\n"}), run.Run());
        EXPECT_TRUE(run.Events().empty());
    }
    {
        HostRun run(L"nomain");
        run.layout.SetScenario("main=missing\n");
        EXPECT_EQ((std::vector<std::string>{"0\tCan not find entry point:\\n"}), run.Run());
        EXPECT_EQ(nullptr, FindCall(run.calls, "CallStaticVoidMethod"));
    }
}

TEST(HostEntryCalls, ServiceMainGetsTheInstallDirectoryAndTheOptions) {
    HostRun run(L"options");
    run.layout.SetScenario("main=return\n");
    EXPECT_TRUE(run.Run().empty());
    const std::string dir = Narrow(run.layout.dir());
    const JniCall* create = FindCall(run.calls, "JNI_CreateJavaVM");
    ASSERT_NE(nullptr, create);
    EXPECT_EQ(0u, create->details.find("version=0x00010006 nOptions=3 ignoreUnrecognized=0"))
        << create->details;
    EXPECT_NE(nullptr,
              FindCall(run.calls, "option", "0 -Djava.class.path=" + dir + "\\lib\\app.jar"));
    EXPECT_NE(nullptr,
              FindCall(run.calls, "option",
                       "1 -Dlog4j.configuration=file:/" + dir + "\\conf\\log4j.properties"));
    EXPECT_NE(
        nullptr,
        FindCall(run.calls, "option",
                 "2 -Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger"));
    EXPECT_NE(nullptr, FindCall(run.calls, "FindClass", "com/merivast/agent/MerivastMain"));
    EXPECT_NE(nullptr,
              FindCall(run.calls, "GetStaticMethodID", "serviceMain (Ljava/lang/String;)V"));
    EXPECT_NE(nullptr, FindCall(run.calls, "NewString",
                                dir + " len=" + std::to_string(run.layout.dir().size())));
    EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticVoidMethod", "serviceMain arg=" + dir));
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostEntryCalls, StopFromAnotherThreadAttachesAndDetaches) {
    HostRun run(L"stopcall");
    EXPECT_TRUE(run.Run(L"main-stop").empty());
    EXPECT_FALSE(HasFault(run.calls));
    const JniCall* create = FindCall(run.calls, "JNI_CreateJavaVM");
    const JniCall* attach = FindCall(run.calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, create);
    ASSERT_NE(nullptr, attach);
    EXPECT_EQ((std::vector<std::string>{"AttachCurrentThread", "FindClass", "GetStaticMethodID",
                                        "CallStaticVoidMethod serviceStop", "DetachCurrentThread"}),
              CallsOnThread(run.calls, attach->thread));
    // Tear-down on the creating thread, in the destructor's order.
    const auto own = CallsOnThread(run.calls, create->thread);
    ASSERT_GE(own.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{"ExceptionCheck", "DestroyJavaVM", "UNLOAD"}),
              std::vector<std::string>(own.end() - 3, own.end()));
}

TEST(HostEntryCalls, StopWithoutVmNeitherAttachesNorDetaches) {
    HostRun run(L"stopnovm", Runtime::kNone);
    const auto reports = run.Run(L"stop");
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ("0\tThe JVM is not initialized.", reports[2]);
}

TEST(HostEntryCalls, MissingServiceStopIsReportedAndDetaches) {
    HostRun run(L"nostop");
    run.layout.SetScenario("main=return\nstop=missing\n");
    EXPECT_EQ((std::vector<std::string>{"0\tCan not find entry point:\\n"}), run.Run(L"main-stop"));
    const JniCall* attach = FindCall(run.calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, attach);
    const auto stopThread = CallsOnThread(run.calls, attach->thread);
    EXPECT_EQ("DetachCurrentThread", stopThread.back());
}

TEST(HostEntryCalls, ThrowingServiceMainLeavesAnExceptionThatTearDownClears) {
    HostRun run(L"throw");
    run.layout.SetScenario("main=throw\n");
    EXPECT_TRUE(run.Run().empty());
    EXPECT_NE(nullptr, FindCall(run.calls, "ExceptionCheck", "result=1"));
    EXPECT_NE(nullptr, FindCall(run.calls, "ExceptionClear"));
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostEntryCalls, FailedNewStringNeverCallsJavaWithTheExceptionPending) {
    HostRun run(L"newstring");
    run.layout.SetScenario("newstring=fail\n");
    EXPECT_TRUE(run.Run().empty());
    EXPECT_EQ(nullptr, FindCall(run.calls, "CallStaticVoidMethod"));
    EXPECT_NE(nullptr, FindCall(run.calls, "ExceptionClear"));
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostLoading, RuntimeDependencyIsFoundInJreBin) {
    HostRun run(L"depdll", Runtime::kWithHelperDll);
    run.layout.SetScenario("main=return\n");
    EXPECT_TRUE(run.Run().empty()) << "no load error";
    EXPECT_NE(nullptr, FindCall(run.calls, "JNI_CreateJavaVM"));
    EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticVoidMethod", "serviceMain"));
}

// The system's own text for `error`, as the host formats it (insertion points kept),
// with line ends escaped as the probe's sink writes them.
std::string EscapedSystemText(DWORD error) {
    wchar_t text[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, 1024, nullptr);
    std::string escaped;
    for (char c : Narrow(text)) {
        if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else
            escaped += c;
    }
    return escaped;
}

TEST(HostLoading, RuntimeOfTheOtherPointerSizeGivesBadFormat) {
    HostRun run(L"otherarch", Runtime::kOtherArchitecture);
    const auto reports = run.Run();
    ASSERT_EQ(3u, reports.size());
    const std::string systemText = EscapedSystemText(ERROR_BAD_EXE_FORMAT);
    ASSERT_FALSE(systemText.empty());
    EXPECT_EQ("0\t" + systemText + "\\n\\nFailed to load jvm dll:\\n" + run.JvmPath(), reports[0]);
    EXPECT_EQ("-1\tCreateJavaVM ERROR", reports[1]);
}

TEST(HostLoading, ServerVmIsUsedOnlyWhenThereIsNoClientVm) {
    {
        HostRun run(L"serveronly", Runtime::kNone);
        run.layout.AddRuntime(Runtime::kStandin, L"server");
        run.layout.SetScenario("main=return\n");
        EXPECT_TRUE(run.Run().empty());
        EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticVoidMethod", "serviceMain"));
    }
    {
        // A server VM that does not load is reported under the client path,
        // the library the error events always name.
        HostRun run(L"badserver", Runtime::kNone);
        run.layout.AddFile(L"jre\\bin\\server\\jvm.dll", "not a library");
        const auto reports = run.Run();
        ASSERT_EQ(3u, reports.size());
        EXPECT_TRUE(EndsWith(reports[0], "\\n\\nFailed to load jvm dll:\\n" + run.JvmPath()))
            << reports[0];
        EXPECT_EQ(0u, reports[0].find("0\t" + EscapedSystemText(ERROR_BAD_EXE_FORMAT)))
            << reports[0];
    }
    {
        // A client VM that is there wins, even when it is broken.
        HostRun run(L"clientwins", Runtime::kNoExport);
        run.layout.AddRuntime(Runtime::kStandin, L"server");
        const auto reports = run.Run();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ("0\tCan not find 'JNI_CreateJavaVM' method in the jvm dll.", reports[0]);
        EXPECT_EQ(nullptr, FindCall(run.calls, "JNI_CreateJavaVM"));
    }
}

}  // namespace
