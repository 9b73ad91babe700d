// The runtime host on its own (host_probe.exe in a throw-away install
// directory), judged by the exact reports its sink received and the JNI calls
// the stand-in runtime recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
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
    std::string Log(const wchar_t* name) const {
        return ReadFileBytes(layout.dir() + L"\\logs\\" + name);
    }

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
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(0u, reports[0].find("0\t")) << reports[0];
    EXPECT_TRUE(EndsWith(reports[0], "\\n\\nFailed to load jvm dll:\\n" + run.JvmPath()))
        << reports[0];
    EXPECT_GT(reports[0].size(), run.JvmPath().size() + 30) << "the system's text comes first";
    const std::string jre = Narrow(run.layout.dir()) + "\\jre";
    EXPECT_EQ("0\tNo Java runtime was found: neither " + jre + "\\bin\\client\\jvm.dll nor " + jre +
                  "\\bin\\server\\jvm.dll exists. Copy the contents of a Java runtime folder (a "
                  "JDK works as well as a JRE) into " +
                  jre + ", so that " + jre +
                  "\\bin\\server\\jvm.dll (or bin\\client\\jvm.dll) exists.",
              reports[1]);
    EXPECT_EQ("-1\tCreateJavaVM ERROR", reports[2]);
    EXPECT_EQ("0\tThe JVM is not initialized.", reports[3]);
}

TEST(HostFailures, RuntimeOneFolderTooDeep) {
    // The runtime's folder copied into jre\ whole, beside a file of its own.
    HostRun run(L"toodeep", Runtime::kNone);
    run.layout.AddFile(L"jre\\release.txt", "not a folder");
    run.layout.AddRuntime(Runtime::kStandin, L"server", L"jre\\jdk-21");
    const auto reports = run.Run();
    ASSERT_EQ(4u, reports.size());
    const std::string jre = Narrow(run.layout.dir()) + "\\jre";
    EXPECT_EQ("0\tNo Java runtime was found in " + jre + ", but one lies a folder too deep: " +
                  jre + "\\jdk-21\\bin\\server\\jvm.dll exists. Move the contents of " + jre +
                  "\\jdk-21 up into " + jre + ", so that " + jre +
                  "\\bin\\server\\jvm.dll (or bin\\client\\jvm.dll) exists.",
              reports[1]);
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

TEST(HostFailures, RefusedCreationPassesOnWhatTheRuntimePrinted) {
    HostRun run(L"refusedwords");
    run.layout.SetScenario(
        "create=refuse\ncreate_result=-6\nhook.text=Invalid maximum heap size: -Xmx100000g\n");
    EXPECT_EQ((std::vector<std::string>{
                  "-6\tCreateJavaVM ERROR",
                  "-6\tThe Java runtime reported:\\nInvalid maximum heap size: -Xmx100000g",
                  "0\tThe JVM is not initialized."}),
              run.Run());
    EXPECT_EQ("Invalid maximum heap size: -Xmx100000g\n", run.Log(L"stderr.log"));
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostFailures, MissingClassOrMethod) {
    {
        HostRun run(L"noclass", Runtime::kStandin, /*withJar=*/false);
        run.layout.AddJar(L"other.jar", /*holdsMainClass=*/false);
        const std::string dir = Narrow(run.layout.dir());
        EXPECT_EQ((std::vector<std::string>{
                      "0\tCan not find entry point:\\n",
                      "0\tLooked for the class com.merivast.agent.MerivastMain, with its static "
                      "void serviceMain(String), in the jars of " +
                          dir +
                          "\\lib: other.jar. The class is in none of them: put the application's "
                          "jar in lib. The runtime's description is in logs\\stderr.log."}),
                  run.Run());
        // Loaded without initialising it; the failure described while pending, so the
        // tear-down finds nothing left to clear.
        const std::vector<std::string> events = run.Events();
        EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticObjectMethodA", "forName result=thrown"));
        EXPECT_EQ(nullptr, FindCall(run.calls, "CLINIT"));
        EXPECT_NE(events.end(), std::find(events.begin(), events.end(), "ExceptionDescribe"));
        EXPECT_EQ((std::vector<std::string>{"ExceptionCheck", "DestroyJavaVM", "UNLOAD"}),
                  std::vector<std::string>(events.end() - 3, events.end()));
        EXPECT_NE(std::string::npos, run.Log(L"stderr.log")
                                         .find("Exception in thread \"main\" "
                                               "java.lang.ClassNotFoundException"));
    }
    {
        // No jar at all: the class path would be the working directory, so no runtime starts.
        HostRun run(L"nojar", Runtime::kStandin, /*withJar=*/false);
        EXPECT_EQ((std::vector<std::string>{
                      "0\tCan not find entry point:\\n",
                      "0\tLooked for the class com.merivast.agent.MerivastMain, with its static "
                      "void serviceMain(String), but " +
                          Narrow(run.layout.dir()) +
                          "\\lib holds no jar: put the application's jar there."}),
                  run.Run());
        EXPECT_TRUE(run.Events().empty());
    }
    {
        HostRun run(L"nomain");
        run.layout.AddJar(L"more.jar", false);
        run.layout.SetScenario("main=missing\n");
        const std::string dir = Narrow(run.layout.dir());
        EXPECT_EQ((std::vector<std::string>{
                      "0\tCan not find entry point:\\n",
                      "0\tLooked for the class com.merivast.agent.MerivastMain, with its static "
                      "void serviceMain(String) or static void main(String[]), in the jars of " +
                          dir +
                          "\\lib: app.jar, more.jar. The class is there without either method: "
                          "declare one of them public. The runtime's description is in "
                          "logs\\stderr.log."}),
                  run.Run());
        EXPECT_EQ(nullptr, FindCall(run.calls, "CallStaticVoidMethod"));
        EXPECT_NE(std::string::npos, run.Log(L"stderr.log").find("java.lang.NoSuchMethodError"));
    }
}

TEST(HostEntryCalls, ServiceMainGetsTheInstallDirectoryAndTheOptions) {
    HostRun run(L"options");
    run.layout.SetScenario("main=return\n");
    EXPECT_TRUE(run.Run().empty());
    const std::string dir = Narrow(run.layout.dir());
    const JniCall* create = FindCall(run.calls, "JNI_CreateJavaVM");
    ASSERT_NE(nullptr, create);
    EXPECT_EQ(0u, create->details.find("version=0x00010006 nOptions=6 ignoreUnrecognized=0"))
        << create->details;
    EXPECT_NE(nullptr, FindCall(run.calls, "option", "5 vfprintf"));
    EXPECT_NE(nullptr,
              FindCall(run.calls, "option", "0 -Djava.class.path=" + dir + "\\lib\\app.jar"));
    EXPECT_NE(nullptr,
              FindCall(run.calls, "option",
                       "1 -Dlog4j.configuration=file:/" + dir + "\\conf\\log4j.properties"));
    EXPECT_NE(
        nullptr,
        FindCall(run.calls, "option",
                 "2 -Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger"));
    // The runtime's end hooks come last.
    EXPECT_NE(nullptr, FindCall(run.calls, "option", "3 exit"));
    EXPECT_NE(nullptr, FindCall(run.calls, "option", "4 abort"));
    EXPECT_NE(nullptr, FindCall(run.calls, "NewString", "com.merivast.agent.MerivastMain"));
    EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticObjectMethodA", "forName result=object"));
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
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ("0\tThe JVM is not initialized.", reports[3]);
}

TEST(HostEntryCalls, MissingServiceStopIsReportedAndDetaches) {
    HostRun run(L"nostop");
    run.layout.SetScenario("main=return\nstop=missing\n");
    EXPECT_EQ((std::vector<std::string>{
                  "0\tCan not find entry point:\\n",
                  "0\tLooked for the class com.merivast.agent.MerivastMain, with its static void "
                  "serviceStop(), in the jars of " +
                      Narrow(run.layout.dir()) +
                      "\\lib: app.jar. The class is there without that method: declare it "
                      "public static void serviceStop(). The runtime's description is in "
                      "logs\\stderr.log."}),
              run.Run(L"main-stop"));
    const JniCall* attach = FindCall(run.calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, attach);
    const auto stopThread = CallsOnThread(run.calls, attach->thread);
    ASSERT_GE(stopThread.size(), 2u);
    EXPECT_EQ("ExceptionDescribe", stopThread[stopThread.size() - 2]) << "before the detach";
    EXPECT_EQ("DetachCurrentThread", stopThread.back());
    EXPECT_NE(std::string::npos, run.Log(L"stderr.log").find("java.lang.NoSuchMethodError"));
}

TEST(HostEntryCalls, ThrowingServiceMainIsDescribedBeforeTheTearDown) {
    HostRun run(L"throw");
    run.layout.SetScenario("main=throw\n");
    EXPECT_EQ((std::vector<std::string>{"0\tserviceMain ended with an exception; its stack trace "
                                        "is in logs\\stderr.log."}),
              run.Run());
    const JniCall* create = FindCall(run.calls, "JNI_CreateJavaVM");
    ASSERT_NE(nullptr, create);
    const auto own = CallsOnThread(run.calls, create->thread);
    ASSERT_GE(own.size(), 5u);
    // The exception is described and gone before the VM is destroyed.
    EXPECT_EQ((std::vector<std::string>{"ExceptionCheck", "ExceptionDescribe", "ExceptionCheck",
                                        "DestroyJavaVM", "UNLOAD"}),
              std::vector<std::string>(own.end() - 5, own.end()));
    EXPECT_EQ(
        "Exception in thread \"main\" java.lang.IllegalStateException: stand-in "
        "exception\n\tat stand-in frame\n",
        run.Log(L"stderr.log"));
    EXPECT_FALSE(HasFault(run.calls));
}

TEST(HostEntryCalls, FailedNewStringNeverCallsJavaWithTheExceptionPending) {
    HostRun run(L"newstring");
    run.layout.SetScenario("newstring=fail\n");
    EXPECT_EQ((std::vector<std::string>{"0\tThe class com.merivast.agent.MerivastMain could not be "
                                        "loaded: java.lang.OutOfMemoryError: stand-in exception"}),
              run.Run());
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

// The system's own text for `error`, as the host formats it (insertion points kept,
// the line break at its end dropped), with line ends escaped as the probe's sink writes them.
std::string EscapedSystemText(DWORD error) {
    wchar_t text[1024] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 1024, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
        text[--length] = L'\0';
    }
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
    ASSERT_EQ(4u, reports.size());
    const std::string systemText = EscapedSystemText(ERROR_BAD_EXE_FORMAT);
    ASSERT_FALSE(systemText.empty());
    EXPECT_EQ("0\t" + systemText + "\\n\\nFailed to load jvm dll:\\n" + run.JvmPath(), reports[0]);
    EXPECT_EQ("-1\tCreateJavaVM ERROR", reports[2]);
}

// What the event after the load error says, for each kind of broken runtime.
struct PreflightCase {
    const wchar_t* tag;
    Runtime runtime;
    const char* bytes;     // when set, written as jre\bin\client\jvm.dll
    bool dropHelper;       // the helper DLL that jvm.dll imports is removed from jre\bin
    std::string expected;  // after "<install dir>\jre\bin\client\jvm.dll"
};

void PrintTo(const PreflightCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class Preflight : public ::testing::TestWithParam<PreflightCase> {};

TEST_P(Preflight, SaysWhatIsWrongAndWhatToDo) {
    const PreflightCase& c = GetParam();
    HostRun run(c.tag, c.runtime);
    if (c.bytes != nullptr) run.layout.AddFile(L"jre\\bin\\client\\jvm.dll", c.bytes);
    if (c.dropHelper) DeleteFileW((run.layout.dir() + L"\\jre\\bin\\standin_helper.dll").c_str());
    const auto reports = run.Run();
    ASSERT_EQ(4u, reports.size());
    std::string expected = c.expected;
    wchar_t systemDir[MAX_PATH];
    GetSystemDirectoryW(systemDir, MAX_PATH);
    for (size_t at; (at = expected.find("<jre>")) != std::string::npos;) {
        expected.replace(at, 5, Narrow(run.layout.dir()) + "\\jre");
    }
    for (size_t at; (at = expected.find("<sys>")) != std::string::npos;) {
        expected.replace(at, 5, Narrow(systemDir));
    }
    EXPECT_EQ("0\t" + run.JvmPath() + expected, reports[1]);
    EXPECT_EQ("-1\tCreateJavaVM ERROR", reports[2]);
}

#ifdef _WIN64
const char kOtherArchitectureText[] =
    " is a 32-bit Java runtime; this MerivastService.exe is 64-bit. Use the 32-bit "
    "MerivastService.exe, or a 64-bit Java runtime.";
#else
const char kOtherArchitectureText[] =
    " is a 64-bit Java runtime; this MerivastService.exe is 32-bit. Use the 64-bit "
    "MerivastService.exe, or a 32-bit Java runtime.";
#endif
const char kCopyAgain[] =
    ". Copy the contents of a Java runtime folder (a JDK works as well as a JRE) into <jre> again, "
    "so that <jre>\\bin\\server\\jvm.dll (or bin\\client\\jvm.dll) exists.";

INSTANTIATE_TEST_SUITE_P(
    Causes, Preflight,
    ::testing::Values(
        PreflightCase{L"pfother", Runtime::kOtherArchitecture, nullptr, false,
                      kOtherArchitectureText},
        PreflightCase{L"pftext", Runtime::kNone, "this is not a library\r\n", false,
                      std::string(" is not a Windows DLL: it does not begin with the headers of a "
                                  "Windows executable") +
                          kCopyAgain},
        PreflightCase{L"pfempty", Runtime::kNone, "", false,
                      std::string(" is not a Windows DLL: the file is empty") + kCopyAgain},
        PreflightCase{L"pfcut", Runtime::kNone, "MZ\x90", false,
                      std::string(" is not a Windows DLL: the file ends inside its own headers, "
                                  "it was cut short") +
                          kCopyAgain},
        PreflightCase{L"pfhelper", Runtime::kWithHelperDll, nullptr, true,
                      " needs DLLs that are in none of <jre>\\bin, <jre>\\bin\\client and <sys>"
                      ": standin_helper.dll. Copy the contents of a Java runtime folder (a JDK "
                      "works as well as a JRE) into <jre>, so that <jre>\\bin\\server\\jvm.dll (or "
                      "bin\\client\\jvm.dll) exists; or install the Visual C++ runtime it was "
                      "built with."}),
    [](const ::testing::TestParamInfo<PreflightCase>& info) { return Narrow(info.param.tag); });

TEST(HostLoading, ServerVmIsUsedOnlyWhenThereIsNoClientVm) {
    {
        HostRun run(L"serveronly", Runtime::kNone);
        run.layout.AddRuntime(Runtime::kStandin, L"server");
        run.layout.SetScenario("main=return\n");
        EXPECT_TRUE(run.Run().empty());
        EXPECT_NE(nullptr, FindCall(run.calls, "CallStaticVoidMethod", "serviceMain"));
    }
    {
        // A server VM that does not load: both events name it, the file tried.
        HostRun run(L"badserver", Runtime::kNone);
        run.layout.AddFile(L"jre\\bin\\server\\jvm.dll", "not a library");
        const auto reports = run.Run();
        ASSERT_EQ(4u, reports.size());
        const std::string server = Narrow(run.layout.dir()) + "\\jre\\bin\\server\\jvm.dll";
        EXPECT_EQ(0u, reports[1].find("0\t" + server + " is not a Windows DLL")) << reports[1];
        EXPECT_TRUE(EndsWith(reports[0], "\\n\\nFailed to load jvm dll:\\n" + server))
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

// The runtime's own text and the application's console output, in logs\.
TEST(RuntimeText, HookFormatsCutsAndKeepsWholeLinesFromManyThreads) {
    HostRun run(L"hook");
    run.layout.SetScenario("main=return\nhook.formats=1\nhook.long=10000\nhook.threads=8\n");
    EXPECT_TRUE(run.Run().empty());
    EXPECT_FALSE(HasFault(run.calls));
    const std::string text = run.Log(L"stderr.log");
    // The C99 sizes take their arguments whole: a formatter that does not know
    // them reads every later argument wrongly, the last string too.
    const std::string formats =
        "s=text d=-42 I64d=-1234567890123 Iu=4000000000 zu=" + std::to_string(SIZE_MAX) +
        " zd=" + std::to_string(PTRDIFF_MIN) +
        " ju=12345678901234 td=-9 hhd=44 *d=[42    ] %=% .2f=3.14 "
        "s=after\n";
    ASSERT_EQ(0u, text.find(formats)) << text.substr(0, 200);
    // The long text is cut to the hook's buffer, its end marked.
    const std::string cut = std::string(4091, 'x') + "...\n";
    ASSERT_EQ(formats.size(), text.find(cut));
    std::stringstream rest(text.substr(formats.size() + cut.size()));
    std::set<std::string> lines;
    size_t count = 0;
    for (std::string line; std::getline(rest, line); ++count) lines.insert(line);
    EXPECT_EQ(800u, count);
    for (int thread = 0; thread < 8; ++thread) {
        for (int line = 0; line < 100; ++line) {
            const std::string expected =
                "thread " + std::to_string(thread) + " line " + std::to_string(line);
            EXPECT_EQ(1u, lines.count(expected)) << expected << " whole and once";
        }
    }
    // The last words are the end of all of it.
    EXPECT_EQ(text.substr(text.size() - 4096),
              ReadFileBytes(run.layout.dir() + L"\\probe-last-words.txt"));
}

TEST(ConsoleFiles, HoldBothStandardHandlesAndTheHook) {
    HostRun run(L"console");
    run.layout.SetScenario(
        "main=return\nstdout.text=to standard output\nstderr.text=to standard error\n"
        "hook.text=through the hook\n");
    EXPECT_TRUE(run.Run().empty());
    EXPECT_EQ("to standard output\n", run.Log(L"stdout.log"));
    EXPECT_EQ("to standard error\nthrough the hook\n", run.Log(L"stderr.log"));
}

TEST(ConsoleFiles, EachStartKeepsTheFourBeforeIt) {
    HostRun run(L"rotate");
    for (int start = 1; start <= 7; ++start) {
        run.layout.SetScenario("main=return\nstdout.text=out " + std::to_string(start) +
                               "\nstderr.text=err " + std::to_string(start) + "\n");
        run.Run();
    }
    for (int back = 0; back < 5; ++back) {
        const std::wstring suffix = back == 0 ? L".log" : L"." + std::to_wstring(back) + L".log";
        EXPECT_EQ("out " + std::to_string(7 - back) + "\n", run.Log((L"stdout" + suffix).c_str()));
        EXPECT_EQ("err " + std::to_string(7 - back) + "\n", run.Log((L"stderr" + suffix).c_str()));
    }
    for (const wchar_t* gone : {L"stdout.5.log", L"stderr.5.log", L"stdout.6.log"}) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
                  GetFileAttributesW((run.layout.dir() + L"\\logs\\" + gone).c_str()))
            << Narrow(gone);
    }
}

// Everything a writer thread needs is made before it: when the thread cannot
// be made, the stream writes to its file and nothing of the pipe is left open
// (only the two files, which are the standard handles now).
TEST(ConsoleFiles, WithoutWriterThreadsEachStreamWritesToItsFile) {
    // A 64-bit process's address space is too large to use up.
    if (sizeof(void*) == 8) GTEST_SKIP() << "a 32-bit process's address space only";
    HostRun run(L"nothread");
    run.Run(L"nothread");
    EXPECT_EQ("to the file\n", run.Log(L"stdout.log"));
    EXPECT_EQ("to the file\n", run.Log(L"stderr.log"));
    EXPECT_EQ("2", ReadFileBytes(run.layout.dir() + L"\\probe-handles.txt"));
}

}  // namespace
