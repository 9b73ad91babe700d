// The service as an administrator sees it: real services under Wine's SCM,
// judged by the states they report, their exit codes and their events.
#include <gtest/gtest.h>

#include "support/service_life.h"

namespace {

using namespace mvt;

TEST(ServiceLifeTest, NormalLifeWithAStop) {
    ServiceLife life(L"normal");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    ExpectStoppedWith(life.service, 0, 0);

    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    for (const auto& report : trace.reports) {
        // Stop, shutdown and preshutdown, in every report.
        EXPECT_EQ(0x105u, report.accepted);
        const bool stopping = report.state == SERVICE_STOP_PENDING;
        EXPECT_EQ(stopping ? 2000u : 0u, report.waitHint);
        EXPECT_EQ(stopping, report.checkPoint != 0);
        EXPECT_EQ(0u, report.win32ExitCode);
    }
    ASSERT_EQ(2u, trace.events.size());
    ExpectEvent(trace.events[0], EVENTLOG_INFORMATION_TYPE, L"Service started");
    ExpectEvent(trace.events[1], EVENTLOG_INFORMATION_TYPE, L"Service stopped");

    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    const JniCall* create = FindCall(calls, "JNI_CreateJavaVM");
    const JniCall* stop = FindCall(calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, create);
    ASSERT_NE(nullptr, stop);
    EXPECT_NE(create->thread, stop->thread);
    // Loaded without initialising it and asked for serviceMain through reflection; the
    // lookup then initialises the class on this thread, which runs serviceMain.
    const std::vector<std::string> made = CallsOnThread(calls, create->thread);
    const std::vector<std::string> tail = {
        "CLINIT",         "GetStaticMethodID",
        "NewString",      "CallStaticVoidMethod serviceMain arg=" + Narrow(life.layout.dir()),
        "ExceptionCheck", "ExceptionCheck",
        "DestroyJavaVM",  "UNLOAD"};
    ASSERT_GE(made.size(), tail.size());
    EXPECT_EQ(tail,
              std::vector<std::string>(made.end() - static_cast<long>(tail.size()), made.end()));
    EXPECT_EQ((std::vector<std::string>{"AttachCurrentThread", "FindClass", "GetStaticMethodID",
                                        "CallStaticVoidMethod serviceStop", "DetachCurrentThread"}),
              CallsOnThread(calls, stop->thread));
}

TEST(ServiceLifeTest, ApplicationEndingByItselfStopsWithoutARequest) {
    ServiceLife life(L"return");
    life.layout.SetScenario("main=return\n");
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.States());
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
    EXPECT_FALSE(HasCall(life.layout.JniCalls(), "AttachCurrentThread"));
}

TEST(ServiceLifeTest, InterrogateReportsNothingAndUserCodesAreLogged) {
    ServiceLife life(L"controls");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(0u, life.service.Control(128));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), life.service.Query().dwCurrentState);
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    // Between running and stop-pending there is no report for interrogate or 128.
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    EXPECT_EQ(
        (std::vector<std::wstring>{L"Service started", L"Bad service request", L"Service stopped"}),
        trace.Texts());
    ExpectEvent(trace.events[1], EVENTLOG_INFORMATION_TYPE, L"Bad service request");
}

}  // namespace

namespace {

struct FailureCase {
    const wchar_t* tag;
    Runtime runtime;
    bool withJar;
    const char* scenario;
    DWORD specificExitCode;
    std::vector<std::wstring> errors;  // a leading "*": the text contains the rest
    const char* stderrHolds;           // in logs\stderr.log afterwards
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class JavaSideFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(JavaSideFailure, ReportsItsEventsAndAFailureExitCode) {
    const FailureCase& c = GetParam();
    ServiceLife life(c.tag, c.runtime, c.withJar);
    // Without the application's jar, lib\ holds another one: a runtime starts only with a jar.
    if (!c.withJar) life.layout.AddJar(L"other.jar", /*holdsMainClass=*/false);
    life.layout.SetScenario(c.scenario);
    life.StartRunning();
    const ProcessTrace trace = life.Finish();

    EXPECT_EQ(kStartedAndStopped, trace.States()) << "running is reported before the runtime loads";
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, c.specificExitCode);
    ExpectProcessExitCode(life.service, ERROR_SERVICE_SPECIFIC_ERROR);

    ASSERT_EQ(c.errors.size() + 2, trace.events.size());
    ExpectEvent(trace.events.front(), EVENTLOG_INFORMATION_TYPE, L"Service started");
    ExpectEvent(trace.events.back(), EVENTLOG_INFORMATION_TYPE, L"Service stopped");
    for (size_t i = 0; i < c.errors.size(); ++i) {
        const TracedEvent& event = trace.events[i + 1];
        std::wstring expected = c.errors[i];
        if (!expected.empty() && expected[0] == L'*') {
            expected = expected.substr(1);
            ASSERT_EQ(1u, event.strings.size());
            const std::wstring& text = event.strings[0];
            EXPECT_NE(std::wstring::npos, text.find(expected)) << Narrow(text);
            EXPECT_EQ(static_cast<unsigned>(EVENTLOG_ERROR_TYPE), event.type);
        } else {
            ExpectEvent(event, EVENTLOG_ERROR_TYPE, expected);
        }
    }
    EXPECT_FALSE(HasFault(life.layout.JniCalls()));
    EXPECT_NE(std::string::npos,
              ReadFileBytes(life.layout.dir() + L"\\logs\\stderr.log").find(c.stderrHolds));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, JavaSideFailure,
    ::testing::Values(
        FailureCase{L"nojre",
                    Runtime::kNone,
                    true,
                    "",
                    1,
                    {L"*\n\nFailed to load jvm dll:\n", L"*No Java runtime was found: neither ",
                     L"CreateJavaVM ERROR", L"The JVM is not initialized."},
                    ""},
        FailureCase{L"noexport",
                    Runtime::kNoExport,
                    true,
                    "",
                    2,
                    {L"Can not find 'JNI_CreateJavaVM' method in the jvm dll.",
                     L"CreateJavaVM ERROR", L"The JVM is not initialized."},
                    ""},
        FailureCase{
            L"refused",
            Runtime::kStandin,
            true,
            "create=refuse\nhook.text=Unrecognized VM option 'Foo'\n",
            3,
            {L"CreateJavaVM ERROR", L"The Java runtime reported:\nUnrecognized VM option 'Foo'",
             L"The JVM is not initialized."},
            "Unrecognized VM option 'Foo'\n"},
        FailureCase{L"noclass",
                    Runtime::kStandin,
                    false,
                    "",
                    4,
                    {L"Can not find entry point:\n",
                     L"*Looked for the class com.merivast.agent.MerivastMain, with its static void "
                     L"serviceMain(String), in the jars of "},
                    "java.lang.ClassNotFoundException"},
        FailureCase{L"throws",
                    Runtime::kStandin,
                    true,
                    "main=throw\n",
                    5,
                    {L"serviceMain ended with an exception; its stack trace is in "
                     L"logs\\stderr.log."},
                    "Exception in thread \"main\" java.lang.IllegalStateException"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return Narrow(info.param.tag); });

TEST(ServiceLifeTest, LoadErrorNamesTheLibraryTried) {
    // Neither VM: the client library, the first looked for. Only a server VM,
    // of the other pointer size: that one, as every 64-bit runtime ships.
    for (const wchar_t* vm : {L"", L"server"}) {
        ServiceLife life(L"jvmpath", Runtime::kNone);
        if (*vm != L'\0') life.layout.AddRuntime(Runtime::kOtherArchitecture, vm);
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        ASSERT_GE(trace.events.size(), 2u);
        const std::wstring expected = L"\n\nFailed to load jvm dll:\n" + life.layout.dir() +
                                      L"\\jre\\bin\\" + (*vm != L'\0' ? vm : L"client") +
                                      L"\\jvm.dll";
        const std::wstring& text = trace.events[1].strings.at(0);
        ASSERT_GT(text.size(), expected.size()) << "the system's text comes first";
        EXPECT_EQ(expected, text.substr(text.size() - expected.size()));
    }
}

TEST(ServiceLifeTest, RuntimeLibraryLoadedLateFindsItsDependencyInJreBin) {
    // As a runtime loads its imaging or networking library once the
    // application needs it: by full path, with a plain LoadLibraryW.
    ServiceLife life(L"lateload");
    life.layout.AddLateLibrary();
    life.layout.SetScenario("main=return\nmain.load=standin_late.dll\nrecord.thread=1\n");
    life.StartRunning();
    life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_TRUE(HasCall(life.layout.JniCalls(), "LOAD", "standin_late.dll result=ok"))
        << "standin_helper.dll, beside it in jre\\bin, was not found";
    // Found through PATH: no DLL folder is left for the application's children.
    const auto calls = life.layout.JniCalls();
    const JniCall* thread = FindCall(calls, "THREAD");
    ASSERT_NE(nullptr, thread);
    EXPECT_NE(std::string::npos, thread->details.find(" dlldir=")) << thread->details;
    EXPECT_EQ(thread->details.size(), thread->details.find(" dlldir=") + 8) << thread->details;
}

TEST(ServiceLifeTest, MissingServiceStopLeavesServiceMainRunning) {
    ServiceLife life(L"nostop");
    // serviceMain ends by itself after a while; a stop cannot end it sooner.
    life.layout.SetScenario("main=return\npause.main=2000\nstop=missing\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(life.service.WaitForState(SERVICE_STOP_PENDING));
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    ExpectStoppedWith(life.service, 0, 0);
    const auto texts = trace.Texts();
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ(L"Can not find entry point:\n", texts[1]);
    EXPECT_EQ(0u, texts[2].find(L"Looked for the class com.merivast.agent.MerivastMain, with its "
                                L"static void serviceStop(), in the jars of "));
    EXPECT_EQ(L"Service stopped", texts[3]);
    // The stop call found no method, so serviceMain left only after its own pause.
    const auto calls = life.layout.JniCalls();
    EXPECT_EQ(nullptr, FindCall(calls, "CallStaticVoidMethod", "serviceStop"));
    EXPECT_NE(nullptr, FindCall(calls, "DetachCurrentThread"));
}

TEST(ServiceLifeTest, ConsoleFilesCanBeFollowedWhileTheServiceRuns) {
    ServiceLife life(L"console");
    life.layout.SetScenario("stdout.text=to standard output\nstderr.text=to standard error\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    // An operator's viewer opens the files as a reader that lets others write.
    for (const auto& file : {std::make_pair(L"stdout.log", "to standard output\n"),
                             std::make_pair(L"stderr.log", "to standard error\n")}) {
        HANDLE reader =
            CreateFileW((life.layout.dir() + L"\\logs\\" + file.first).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, reader) << GetLastError();
        char bytes[64] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(reader, bytes, sizeof(bytes) - 1, &read, nullptr));
        EXPECT_EQ(file.second, std::string(bytes, read));
        CloseHandle(reader);
    }
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
}

TEST(ServiceLifeTest, UnwritableLogsGivesAnEventAndANormalLife) {
    {
        // A file where the folder should be.
        ServiceLife life(L"logsfile");
        life.layout.AddFile(L"logs", "not a folder");
        life.layout.SetScenario("main=return\nstderr.text=lost\n");
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        ExpectStoppedWith(life.service, 0, 0);
        const auto texts = trace.Texts();
        ASSERT_EQ(3u, texts.size());
        const std::wstring expected = L"The Java side's console output is not kept: " +
                                      life.layout.dir() + L"\\logs could not be created.\n";
        EXPECT_EQ(0u, texts[1].find(expected)) << Narrow(texts[1]);
        EXPECT_GT(texts[1].size(), expected.size()) << "the system's text follows";
        ExpectEvent(trace.events[1], EVENTLOG_ERROR_TYPE, texts[1]);
        EXPECT_FALSE(HasFault(life.layout.JniCalls()));
    }
    {
        // stderr.log held open by someone who shares nothing: stdout.log is still kept.
        ServiceLife life(L"logslocked");
        life.layout.AddFile(L"logs\\stderr.log", "");
        HANDLE holder = CreateFileW((life.layout.dir() + L"\\logs\\stderr.log").c_str(),
                                    GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, holder);
        life.layout.SetScenario("main=return\nstdout.text=kept\n");
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        CloseHandle(holder);
        ExpectStoppedWith(life.service, 0, 0);
        const auto texts = trace.Texts();
        ASSERT_EQ(3u, texts.size());
        EXPECT_EQ(
            0u, texts[1].find(L"The Java side's console output is not kept: " + life.layout.dir() +
                              L"\\logs\\stderr.log could not be created.\n"))
            << Narrow(texts[1]);
        EXPECT_EQ("kept\n", ReadFileBytes(life.layout.dir() + L"\\logs\\stdout.log"));
    }
}

TEST(ServiceLifeTest, ConsoleFileHeldAcrossAStartKeepsTheEarlierOutput) {
    ServiceLife life(L"logsheld");
    const std::wstring logs = life.layout.dir() + L"\\logs\\";
    HANDLE reader = INVALID_HANDLE_VALUE;
    for (int start = 1; start <= 2; ++start) {
        life.layout.SetScenario("main=return\nstdout.text=out " + std::to_string(start) +
                                "\nstderr.text=err " + std::to_string(start) + "\n");
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        ExpectStoppedWith(life.service, 0, 0);
        // Then a follower built on fopen (no delete sharing) holds stderr.log.
        if (start == 1) {
            reader =
                CreateFileW((logs + L"stderr.log").c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, reader) << GetLastError();
            continue;
        }
        CloseHandle(reader);
        ASSERT_EQ(3u, trace.events.size());
        ExpectEvent(trace.events[1], EVENTLOG_WARNING_TYPE,
                    logs +
                        L"stderr.log still holds the output of the start before: it could not be "
                        L"moved to stderr.1.log (a program holds it open, or the service may not "
                        L"rename it). This start's output follows in it, after a line that begins "
                        L"with \"-----\".");
    }
    const std::string text = ReadFileBytes(logs + L"stderr.log");
    const std::string marked =
        " UTC: this file could not be moved to stderr.1.log, so the lines "
        "above are an earlier start's -----\r\n";
    EXPECT_EQ(0u, text.find("err 1\n\r\n----- new start at ")) << text;
    ASSERT_NE(std::string::npos, text.find(marked)) << text;
    EXPECT_EQ("err 2\n", text.substr(text.find(marked) + marked.size()));
    // stderr's earlier files stay as they were; stdout's move on.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((logs + L"stderr.1.log").c_str()));
    EXPECT_EQ("out 1\n", ReadFileBytes(logs + L"stdout.1.log"));
}

// The stand-in's out.lines / err.lines: numbered lines of `bytes` bytes.
std::string NumberedLines(const char* stream, int count, size_t bytes = 100) {
    std::string all;
    for (int i = 1; i <= count; ++i) {
        char number[32];
        std::string line(
            number, static_cast<size_t>(snprintf(number, sizeof(number), "%s %08d ", stream, i)));
        line.resize(bytes - 1, '.');
        all += line + "\n";
    }
    return all;
}

// A stream's files, oldest first, as one text; each at most `most` bytes and
// ending at a line end.
std::string ConsoleText(const std::wstring& logs, const std::wstring& stream, size_t most) {
    std::string all;
    for (int back = 99; back >= 0; --back) {
        const std::wstring path =
            logs + stream + (back == 0 ? std::wstring() : L"." + std::to_wstring(back)) + L".log";
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        const std::string text = ReadFileBytes(path);
        EXPECT_LE(text.size(), most) << Narrow(path);
        EXPECT_TRUE(text.empty() || text.back() == '\n') << Narrow(path);
        all += text;
    }
    return all;
}

// 3.6 MB on standard output and 1.2 MB on standard error while running, with
// console.max-size=1: files of at most 1 MiB holding every line once and in
// order, in both contracts and with start.ready=main-returned.
TEST(ConsoleBound, FilesOfAtMostTheSizeHoldEveryLineOnceInOrder) {
    const struct {
        const wchar_t* tag;
        const char* scenario;
        const char* properties;
    } cases[] = {{L"boundservice", "", ""},
                 {L"boundmain", "entry=main\n", ""},
                 {L"boundready", "entry=main\n", "start.ready=main-returned\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.tag));
        ServiceLife life(c.tag);
        life.layout.SetScenario(std::string("main=return\nout.lines=36000\nerr.lines=12000\n") +
                                c.scenario);
        life.layout.AddFile(L"conf\\service.properties",
                            std::string("console.max-size=1\n") + c.properties);
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        ExpectStoppedWith(life.service, 0, 0);
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}),
                  trace.Texts());
        const std::wstring logs = life.layout.dir() + L"\\logs\\";
        EXPECT_TRUE(NumberedLines("stdout", 36000) == ConsoleText(logs, L"stdout", 1 << 20));
        EXPECT_TRUE(NumberedLines("stderr", 12000) == ConsoleText(logs, L"stderr", 1 << 20));
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((logs + L"stdout.3.log").c_str()));
    }
}

// What the application wrote just before the runtime ended the process (more
// than a pipe holds) is in the files.
TEST(ConsoleBound, LinesWrittenJustBeforeTheRuntimeEndsAreKept) {
    const struct {
        const wchar_t* tag;
        const char* scenario;
        DWORD code;
    } cases[] = {{L"abortlines", "main=abort\n", 9},
                 {L"exitlines", "entry=main\nmain=exit\nexit_status=3\n", 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.tag));
        ServiceLife life(c.tag);
        life.layout.SetScenario(std::string("out.lines=3000\nerr.lines=3000\n") + c.scenario);
        life.StartRunning();
        life.Finish();
        ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, c.code);
        const std::wstring logs = life.layout.dir() + L"\\logs\\";
        EXPECT_TRUE(NumberedLines("stdout", 3000) == ReadFileBytes(logs + L"stdout.log"));
        EXPECT_TRUE(NumberedLines("stderr", 3000) == ReadFileBytes(logs + L"stderr.log"));
    }
}

// A file held open at its size limit is never emptied: the output goes on in
// it after a marked line, with one warning.
TEST(ConsoleBound, FileHeldAtItsLimitGoesOn) {
    ServiceLife life(L"heldatlimit");
    const std::wstring logs = life.layout.dir() + L"\\logs\\";
    life.layout.SetScenario("main=return\ngate.main=1\nout.lines=15000\n");
    life.layout.AddFile(L"conf\\service.properties", "console.max-size=1\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "main"));
    HANDLE reader =
        CreateFileW((logs + L"stdout.log").c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    life.layout.Release("main");
    const ProcessTrace trace = life.Finish();
    CloseHandle(reader);
    ASSERT_EQ(3u, trace.events.size());
    ExpectEvent(trace.events[1], EVENTLOG_WARNING_TYPE,
                logs +
                    L"stdout.log has reached its size limit (console.max-size) but could not "
                    L"be moved to stdout.1.log (a program holds it open, or the service may "
                    L"not rename it). The output goes on in it, after a line that begins with "
                    L"\"-----\", until it can be moved.");
    const std::string text = ReadFileBytes(logs + L"stdout.log");
    const size_t marker = text.find("\r\n", text.find("----- size limit reached at "));
    ASSERT_NE(std::string::npos, marker);
    const std::string end =
        " UTC: this file could not be moved to stdout.1.log, so the output goes on in it -----";
    EXPECT_EQ(end, text.substr(marker - end.size(), end.size()));
    EXPECT_TRUE(NumberedLines("stdout", 15000) ==
                text.substr(0, text.find("-----")) + text.substr(marker + 2));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((logs + L"stdout.1.log").c_str()));
}

// A file held at its size is tried again each 64 KiB, not at each line: let go
// between two tries (the first two at about 1 MiB - 64 KiB and 1 MiB, line
// 10,500 between them), it makes way about 64 KiB later, not at the next line.
TEST(ConsoleBound, HeldFileIsTriedAgainEach64KiB) {
    ServiceLife life(L"heldtries");
    const std::wstring logs = life.layout.dir() + L"\\logs\\";
    life.layout.SetScenario(
        "main=return\ngate.main=1\nout.lines=12000\nprint.at=10500\ngate.print=1\n");
    life.layout.AddFile(L"conf\\service.properties", "console.max-size=1\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "main"));
    HANDLE reader =
        CreateFileW((logs + L"stdout.log").c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    life.layout.Release("main");
    ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "print"));
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (FileSize(logs + L"stdout.log") < 10500 * 100 && GetTickCount64() < deadline) Sleep(10);
    CloseHandle(reader);
    life.layout.Release("print");
    life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    std::string held = ReadFileBytes(logs + L"stdout.1.log");
    const size_t marker = held.find("----- size limit reached at ");
    ASSERT_NE(std::string::npos, marker);
    held.erase(marker, held.find("-----\r\n", marker + 5) + 7 - marker);
    EXPECT_GT(held.size(), 11100u * 100) << "made way at line " << held.size() / 100;
    EXPECT_TRUE(NumberedLines("stdout", 12000) == held + ReadFileBytes(logs + L"stdout.log"));
}

// An older file held (stdout.1.log, followed by a viewer): the files above it
// are moved once and then left alone (not folded into one), the move is tried
// again each 64 KiB rather than at each line (which left the writer behind and
// the last lines in no file), and the warning names the file that is held.
TEST(ConsoleBound, OlderFileHeldKeepsTheHistoryAndEveryLine) {
    ServiceLife life(L"heldolder");
    const std::wstring logs = life.layout.dir() + L"\\logs\\";
    for (int back = 1; back <= 3; ++back) {
        life.layout.AddFile(L"logs\\stdout." + std::to_wstring(back) + L".log",
                            "older " + std::to_string(back) + "\n");
    }
    HANDLE holder =
        CreateFileW((logs + L"stdout.1.log").c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    // Short lines: what is in the pipe at the end is many lines.
    life.layout.SetScenario("main=return\nline.bytes=20\nout.lines=60000\n");
    life.layout.AddFile(L"conf\\service.properties", "console.max-size=1\nconsole.keep=4\n");
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    CloseHandle(holder);
    ExpectStoppedWith(life.service, 0, 0);
    ASSERT_EQ(3u, trace.events.size());
    // Wine's trace shows about an event's first 300 characters.
    const std::wstring warning =
        logs +
        L"stdout.log has reached its size limit (console.max-size) but could not be moved "
        L"to stdout.1.log, because the older file " +
        logs +
        L"stdout.1.log could not make way (a program holds it open, or the service may not "
        L"rename it). The output goes on in it, after a line that begins with \"-----\", "
        L"until it can be moved.";
    const std::wstring& shown = trace.events[1].strings[0];
    EXPECT_EQ(static_cast<unsigned>(EVENTLOG_WARNING_TYPE), trace.events[1].type);
    EXPECT_NE(std::wstring::npos, shown.find(L"stdout.1.log could not make way"));
    EXPECT_EQ(warning.substr(0, shown.size()), shown);
    std::string history;
    for (int back = 4; back >= 1; --back) {
        history += ReadFileBytes(logs + L"stdout." + std::to_wstring(back) + L".log");
    }
    EXPECT_EQ("older 3\nolder 2\nolder 1\n", history);
    const std::string text = ReadFileBytes(logs + L"stdout.log");
    const size_t marker = text.find("----- size limit reached at ");
    ASSERT_NE(std::string::npos, marker);
    const size_t after = text.find("-----\r\n", marker + 5) + 7;
    EXPECT_TRUE(NumberedLines("stdout", 60000, 20) == text.substr(0, marker) + text.substr(after))
        << text.size() << " bytes";
}

// A console file deleted while the service runs (here as Windows 10 deletes,
// the name gone at once) is noticed at the next write: a new file takes its
// place, and no warning blames a holder.
TEST(ConsoleBound, FileDeletedWhileRunningBeginsAgain) {
    ServiceLife life(L"deleted");
    life.layout.SetScenario("main=return\ngate.main=1\nout.lines=1000\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "main"));
    const std::wstring file = life.layout.dir() + L"\\logs\\stdout.log";
    ASSERT_TRUE(DeleteNameNow(file));
    life.layout.Release("main");
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
    EXPECT_TRUE(NumberedLines("stdout", 1000) == ReadFileBytes(file));
}

// What is still in the pipes when the runtime ends the process (its end
// comes while the host's writer threads get no time) is written by the host
// before it reports stopped; a standard output that keeps arriving does not
// keep standard error's last lines in their pipe.
TEST(ConsoleBound, OutputStillInThePipesAtTheEndIsWritten) {
    const struct {
        const wchar_t* tag;
        const char* scenario;
        DWORD code;
    } cases[] = {{L"drainexit", "entry=main\nmain=exit\nexit_status=3\n", 8},
                 {L"drainabort", "main=abort\n", 9},
                 {L"drainbusy", "entry=main\nmain=exit\nexit_status=3\nend.busy=4\n", 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.tag));
        ServiceLife life(c.tag);
        life.layout.SetScenario(std::string("end.lines=1000\n") + c.scenario);
        life.StartRunning();
        life.Finish();
        ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, c.code);
        const std::wstring logs = life.layout.dir() + L"\\logs\\";
        const std::string out = NumberedLines("stdout", 1000);
        EXPECT_TRUE(out == ReadFileBytes(logs + L"stdout.log").substr(0, out.size()));
        EXPECT_TRUE(NumberedLines("stderr", 1000) == ReadFileBytes(logs + L"stderr.log"));
    }
}

// conf\environment reaches the VM's environment (non-ASCII, %SystemRoot%
// expanded, emptied variables removed), and files of CR-only line ends are
// read line by line.
TEST(Configuration, EnvironmentAndCrOnlyFilesReachTheVm) {
    ServiceLife life(L"envcr");
    life.layout.SetScenario(
        "entry=main\nmain=return\n"
        "record.env=MVT_PLAIN,MVT_WIDE,MVT_ROOT,MVT_PATH,MVT_TWICE,windir\n");
    life.layout.AddFile(L"conf\\service.properties",
                        "start.ready=main-returned\rstop.timeout=30\r");
    life.layout.AddFile(L"conf\\jvm.options", "-Dapp.mode=fast\r-Xmx1g\r");
    life.layout.AddFile(L"conf\\main.args", "first\rsecond\r");
    life.layout.AddFile(
        L"conf\\environment",
        Utf16File(L"# for the VM\r MVT_PLAIN = plain value \r"
                  L"MVT_WIDE=\u017dlu\u0165ou\u010dk\u00fd k\u016f\u0148 \u2615\r"
                  L"MVT_ROOT=%SystemRoot%\\system32\rMVT_PATH=C:\\app\\native;%PATH%\r"
                  L"MVT_TWICE=first\rMVT_TWICE=\rwindir=\r"));
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    const auto calls = life.layout.JniCalls();
    auto env = [&](const char* name) {
        const JniCall* call = FindCall(calls, "ENV", name);
        return call != nullptr ? call->details : std::string("(none)");
    };
    wchar_t root[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    EXPECT_EQ("MVT_PLAIN=plain value", env("MVT_PLAIN"));
    EXPECT_EQ("MVT_WIDE=\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 \xE2\x98\x95",
              env("MVT_WIDE"));
    EXPECT_EQ("MVT_ROOT=" + Narrow(root) + "\\system32", env("MVT_ROOT"));
    EXPECT_EQ(0u, env("MVT_PATH").find("MVT_PATH=C:\\app\\native;"));
    EXPECT_EQ(std::string::npos, env("MVT_PATH").find("%PATH%"));
    EXPECT_EQ("MVT_TWICE unset", env("MVT_TWICE"));
    EXPECT_EQ("windir unset", env("windir"));
    EXPECT_NE(nullptr, FindCall(calls, "option", "3 -Dapp.mode=fast"));
    EXPECT_NE(nullptr, FindCall(calls, "option", "4 -Xmx1g"));
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "0 first"));
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "1 second"));
    EXPECT_EQ(kStartedAndStopped, trace.StateChanges()) << "start.ready on the first line was read";
}

// A JDK update installs itself beside the old runtime: java.home's pattern
// takes the newest by the release files (21.0.10, not 21.0.9 whose name sorts
// last; only it can run), the event names it at each start, and a rule that
// no folder meets is refused with code 7, naming each folder looked at.
TEST(Configuration, RuntimeFoundByVersion) {
    ServiceLife life(L"upd", Runtime::kNone);
    life.layout.SetScenario("main=return\n");
    for (const char* version : {"21.0.8", "21.0.9", "21.0.10"}) {
        const std::wstring home = L"jdk-" + Widen(version);
        life.layout.AddRuntime(version[5] == '1' ? Runtime::kStandin : Runtime::kNoExport,
                               L"server", home);
        life.layout.AddFile(home + L"\\release", "JAVA_VERSION=\"" + std::string(version) + "\"\n");
    }
    const std::wstring dir = life.layout.dir();
    life.layout.AddFile(L"conf\\service.properties", "java.home=jdk-21*\n");
    life.StartRunning();
    ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started",
                                         L"The Java runtime is " + dir +
                                             L"\\jdk-21.0.10, version 21.0.10: the newest of the "
                                             L"runtimes that java.home " +
                                             dir + L"\\jdk-21* names (3 found).",
                                         L"Service stopped"}),
              trace.Texts());

    life.layout.AddFile(L"conf\\service.properties", "java.home=jdk-21*\njava.version=21.0.11+\n");
    life.StartRunning();
    trace = life.Finish();
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 7);
    const std::wstring notAllowed = L", not allowed)";
    ASSERT_EQ(3u, trace.events.size());
    ExpectEvent(trace.events[1], EVENTLOG_ERROR_TYPE,
                L"conf\\service.properties: java.home " + dir +
                    L"\\jdk-21* names no Java runtime that java.version 21.0.11+ allows. Looked "
                    L"in " +
                    dir + L" at: jdk-21.0.10 (version 21.0.10" + notAllowed +
                    L"; jdk-21.0.8 (version 21.0.8" + notAllowed + L"; jdk-21.0.9 (version 21.0.9" +
                    notAllowed + L".");
}

// A stop request at a chosen moment of the service's life. Whatever the moment,
// the service ends stopped with 0/0, stop-pending never follows stopped, and
// the runtime records no use of a destroyed VM or a detached environment.
void ExpectCleanStop(ServiceLife& life, const ProcessTrace& trace) {
    ASSERT_FALSE(trace.reports.empty());
    EXPECT_EQ(static_cast<unsigned>(SERVICE_STOPPED), trace.reports.back().state);
    for (size_t i = 0; i + 1 < trace.reports.size(); ++i) {
        EXPECT_NE(static_cast<unsigned>(SERVICE_STOPPED), trace.reports[i].state)
            << "a report after stopped";
    }
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    const auto calls = life.layout.JniCalls();
    for (const auto& call : calls) {
        EXPECT_NE("FAULT", call.event) << call.details;
    }
}

TEST(StopRace, StopDuringVmCreationIsDeliveredOnceTheHostIsPublished) {
    for (int round = 0; round < 3; ++round) {
        ServiceLife life(L"racecreate");
        life.layout.SetScenario("gate.create=1\n");
        life.StartRunning();
        ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "create"));
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
        ASSERT_TRUE(life.service.WaitForState(SERVICE_STOP_PENDING));
        life.layout.Release("create");
        const ProcessTrace trace = life.Finish();
        ExpectCleanStop(life, trace);
        EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
        const auto calls = life.layout.JniCalls();
        const JniCall* create = FindCall(calls, "JNI_CreateJavaVM");
        const JniCall* stop = FindCall(calls, "CallStaticVoidMethod", "serviceStop");
        ASSERT_NE(nullptr, create);
        ASSERT_NE(nullptr, stop) << "the remembered stop reached the application";
        EXPECT_NE(create->thread, stop->thread) << "the creating thread must stay attached";
    }
}

TEST(StopRace, StopDuringTearDownNeverTouchesTheHost) {
    for (int round = 0; round < 3; ++round) {
        ServiceLife life(L"racedestroy");
        life.layout.SetScenario("main=return\ngate.destroy=1\n");
        life.StartRunning();
        ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "destroy"));
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
        ASSERT_TRUE(life.service.WaitForState(SERVICE_STOP_PENDING));
        life.layout.Release("destroy");
        const ProcessTrace trace = life.Finish();
        ExpectCleanStop(life, trace);
        EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
        EXPECT_FALSE(HasCall(life.layout.JniCalls(), "AttachCurrentThread"));
    }
}

TEST(StopRace, StopAtRandomMomentsAlwaysEndsStopped) {
    // Each round places the stop somewhere in VM creation, in serviceMain's
    // own end, or in the tear-down, by pausing those steps for random times;
    // every other round an ordinary program, whose stop (System.exit) races
    // its own end after main and a short-lived thread.
    srand(GetCurrentProcessId());
    for (int round = 0; round < 16; ++round) {
        ServiceLife life(L"racerandom");
        const int create = rand() % 40, main = rand() % 40, destroy = rand() % 40;
        const std::string program =
            round % 2 ? "entry=main\nlinger=" + std::to_string(rand() % 60) + "\n" : "";
        life.layout.SetScenario(program + "main=return\npause.create=" + std::to_string(create) +
                                "\npause.main=" + std::to_string(main) +
                                "\npause.destroy=" + std::to_string(destroy) + "\n");
        life.StartRunning();
        Sleep(static_cast<DWORD>(rand() % 100));
        const DWORD error = life.service.Control(SERVICE_CONTROL_STOP);
        // A stop that meets the service's own end: Wine's SCM answers 109 when
        // the process's dispatcher has just returned.
        EXPECT_TRUE(error == 0 || error == ERROR_SERVICE_NOT_ACTIVE ||
                    error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_BROKEN_PIPE)
            << error;
        const ProcessTrace trace = life.Finish();
        ExpectCleanStop(life, trace);
    }
}

}  // namespace
