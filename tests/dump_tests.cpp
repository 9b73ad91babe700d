// Thread and heap dumps, the deadlock watch and the dump at a deadline, under
// Wine's SCM with the stand-in runtime: what the service writes, the events
// that name it, the files' security, and that a dump never holds up a stop.
#include <gtest/gtest.h>

#include "support/dump_files.h"
#include "base/own_files.h"
#include "service/service_frame.h"
#include "support/service_life.h"

namespace {

using namespace mvt;

const std::wstring kThreadDumpWritten = L"A thread dump of the Java application was written to ";

// The file an event names after `prefix`, without the closing period.
std::wstring NamedFile(const std::wstring& text, const std::wstring& prefix) {
    return text.size() > prefix.size() + 1
               ? text.substr(prefix.size(), text.size() - prefix.size() - 1)
               : std::wstring();
}

struct RunningLife {
    RunningLife(const std::wstring& tag, const std::string& scenario,
                const std::string& properties = std::string())
        : life(tag) {
        life.layout.SetScenario(scenario);
        if (!properties.empty()) life.layout.AddFile(L"conf\\service.properties", properties);
        life.StartRunning();
        EXPECT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    }
    std::wstring Logs() const { return life.layout.dir() + L"\\logs\\"; }
    ServiceLife life;
};

// 255 gives the runtime's thread print (or, without the diagnostic command,
// the thread bean's), in a file only the service's account may read; 128 and
// 200 stay what they were.
TEST(DumpOnRequest, ThreadDumpHoldsTheRuntimesTextAndOtherUserCodesStayBad) {
    const struct {
        const char* scenario;
        const char* header;
        const char* text;
    } cases[] = {
        {"threads=print\n", "Thread dump by the Java runtime's diagnostic command Thread.print -l",
         "\t- locked <0x00000001> (a java.lang.Object)\n"},
        {"threads=bean\n", "Thread dump by java.lang.management.ThreadMXBean.dumpAllThreads",
         "\"main\" Id=1 WAITING\n"},
    };
    for (const auto& c : cases) {
        RunningLife run(L"dump255", c.scenario);
        EXPECT_EQ(0u, run.life.service.Control(255));
        const std::wstring event = WaitForEventText(run.life.service, kThreadDumpWritten);
        const std::wstring file = NamedFile(event, kThreadDumpWritten);
        ASSERT_EQ(0u, file.find(run.Logs() + L"threaddump-")) << Narrow(event);
        const std::string text = ReadFileBytes(file);
        EXPECT_EQ(0u, text.find(c.header)) << text;
        EXPECT_NE(std::string::npos, text.find(c.text)) << text;
        EXPECT_EQ(std::vector<std::string>{}, OtherReaders(file));
        EXPECT_EQ(0u, run.life.service.Control(128));
        EXPECT_EQ(0u, run.life.service.Control(200));
        EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        const ProcessTrace trace = run.life.Finish();
        ExpectStoppedWith(run.life.service, 0, 0);
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", event, L"Bad service request",
                                             L"Bad service request", L"Service stopped"}),
                  trace.Texts());
        EXPECT_FALSE(HasFault(run.life.layout.JniCalls()));
    }
}

// The SCM delivers no control to a stop-pending service (1061), so a dump
// meets a stop when it is under way as the stop comes: held inside the
// runtime here, it does not hold up the stop, whose VM end does not wait for
// the dump thread's daemon attachment.
TEST(DumpOnRequest, ADumpUnderWayDoesNotHoldUpAStop) {
    RunningLife run(L"dumpstop", "gate.dump=1\n");
    EXPECT_EQ(0u, run.life.service.Control(255));
    ASSERT_TRUE(run.life.layout.WaitForJniCall("GATE", "dump"));
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
}

// A dump held inside the runtime takes the requests that come meanwhile: one file.
TEST(DumpOnRequest, RequestsWhileADumpIsWrittenJoinIt) {
    RunningLife run(L"dumpjoin", "gate.dump=1\n");
    EXPECT_EQ(0u, run.life.service.Control(255));
    ASSERT_TRUE(run.life.layout.WaitForJniCall("GATE", "dump"));
    EXPECT_EQ(0u, run.life.service.Control(255));
    EXPECT_EQ(0u, run.life.service.Control(255));
    run.life.layout.Release("dump");
    EXPECT_NE(L"", WaitForEventText(run.life.service, kThreadDumpWritten));
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(1u, LogFiles(run.life.layout.dir(), L"threaddump-*.txt").size());
    EXPECT_EQ(3u, trace.Texts().size()) << "started, one dump, stopped";
}

TEST(DumpOnRequest, HeapDumpIsMovedUpFromItsOwnFolderOrGivesTheRuntimesWords) {
    const std::wstring written =
        L"A heap dump of the Java application's live objects was written to ";
    {
        RunningLife run(L"heap254", "");
        EXPECT_EQ(0u, run.life.service.Control(254));
        const std::wstring file = NamedFile(WaitForEventText(run.life.service, written), written);
        ASSERT_EQ(0u, file.find(run.Logs() + L"heapdump-")) << Narrow(file);
        EXPECT_EQ(std::string("JAVA PROFILE 1.0.2", 19), ReadFileBytes(file));
        // Wine neither inherits a folder's DACL nor keeps one set later, so
        // the file moved up shows Wine's default; see OwnFiles below.
        EXPECT_TRUE(LogFiles(run.life.layout.dir(), L"*.writing").empty()) << "the folder is gone";
        EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        run.life.Finish();
    }
    RunningLife run(L"heapfail", "heap=fail\n");
    EXPECT_EQ(0u, run.life.service.Control(254));
    EXPECT_EQ(L"No heap dump was written: java.io.IOException: stand-in exception.",
              WaitForEventText(run.life.service, L"No heap dump"));
    EXPECT_TRUE(LogFiles(run.life.layout.dir(), L"heapdump-*").empty());
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    run.life.Finish();
}

// When the nine names a heap dump may take in its second are all there (here
// for every second the dump may fall in: eight dumps and a folder being
// written), the event says so and names the folder, and a folder the service
// did not make stays where it is.
TEST(DumpOnRequest, HeapDumpWithEveryNameTakenSaysSoAndLeavesOthersFolders) {
    RunningLife run(L"heapnames", "");
    std::vector<std::wstring> othersFolders;
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME start;
    SystemTimeToFileTime(&now, &start);
    for (int second = -2; second <= 20; ++second) {
        ULARGE_INTEGER at = {{start.dwLowDateTime, start.dwHighDateTime}};
        at.QuadPart += static_cast<ULONGLONG>(second) * 10000000;
        const FILETIME moment = {at.LowPart, at.HighPart};
        SYSTEMTIME t;
        FileTimeToSystemTime(&moment, &t);
        wchar_t name[64];
        swprintf(name, 64, L"heapdump-%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay,
                 t.wHour, t.wMinute, t.wSecond);
        for (int n = 1; n <= 8; ++n) {
            const std::wstring suffix = n == 1 ? L"" : L"-" + std::to_wstring(n);
            WriteFileBytes(run.Logs() + name + suffix + L".hprof", "taken");
        }
        othersFolders.push_back(run.Logs() + name + L"-9.writing");
        CreateDirectoryW(othersFolders.back().c_str(), nullptr);
    }
    EXPECT_EQ(0u, run.life.service.Control(254));
    const std::wstring text = WaitForEventText(run.life.service, L"No heap dump");
    const std::wstring begins = L"No heap dump was written: " + run.Logs();
    EXPECT_EQ(begins.substr(0, begins.size() - 1) + L" already holds heapdump-",
              text.substr(0, begins.size() + 23));
    const std::wstring ends =
        L".hprof (or their .writing folders), the nine names a heap dump may take in this "
        L"second.";
    EXPECT_EQ(ends, text.substr(text.size() < ends.size() ? 0 : text.size() - ends.size()));
    for (const std::wstring& folder : othersFolders) {
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str())) << Narrow(folder);
    }
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    run.life.Finish();
}

// The shipped conf\jvm.options sends the heap dump at OutOfMemoryError to
// logs\outofmemory, which the service makes at its start for SYSTEM, the
// Administrators and its own account only. The runtime creates the dump with
// no security of its own, so it is shut to others from its creation on: on
// Windows it takes the folder's entries, and under Wine, which passes none
// on, the folder's own keeps others out.
TEST(OutOfMemoryDump, GoesWhereOnlyTheServiceMayOpenItFromItsCreation) {
    ServiceLife life(L"oomdump");
    life.layout.AddFile(L"conf\\jvm.options",
                        ReadFileBytes(LinuxToWindowsPath(MVT_SHIPPED_JVM_OPTIONS)));
    life.layout.SetScenario("main=return\nheap.out=1\n");
    life.StartRunning();
    life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    const std::vector<JniCall> calls = life.layout.JniCalls();
    const JniCall* dump = FindCall(calls, "OOMDUMP");
    ASSERT_NE(nullptr, dump);
    const std::string path = dump->details.substr(0, dump->details.rfind(" result=ok"));
    EXPECT_EQ("logs\\outofmemory\\java_pid" + std::to_string(life.service.pid()) + ".hprof", path);
    // The folder the dump was created in, wherever the options sent it.
    const std::string folder = path.substr(0, path.rfind('\\'));
    EXPECT_EQ(std::vector<std::string>{}, OtherReaders(life.layout.dir() + L"\\" + Widen(folder)));
}

// The security every dump file is created with (a thread dump), or inherits
// from its folder and then keeps as its own (a heap dump), as Windows gets it.
TEST(OwnFiles, SecurityGrantsSystemAdministratorsAndTheAccountOnly) {
    for (bool folder : {false, true}) {
        OwnOnlySecurity security(folder);
        ASSERT_TRUE(security.IsValid()) << security.error;
        wchar_t* sddl = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
            security.Attributes()->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            &sddl, nullptr));
        const std::string inherit = folder ? "OICI" : "";
        EXPECT_EQ("D:P(A;" + inherit + ";FA;;;SY)(A;" + inherit + ";FA;;;BA)(A;" + inherit +
                      ";FA;;;" + CurrentUserSid() + ")",
                  Narrow(sddl));
        LocalFree(sddl);
    }
}

// One deadlock, one event, however many checks find it; with restart, code 12.
TEST(DeadlockWatch, ReportsADeadlockOnceAndRestartEndsWithCode12) {
    const std::wstring found = L"Java threads are deadlocked: \"worker-1\", \"worker-2\". ";
    {
        RunningLife run(L"deadlock", "deadlock=worker-1,worker-2\n", "watch.interval=1\n");
        const std::wstring event = WaitForEventText(run.life.service, found);
        ASSERT_EQ(0u, event.find(found + L"Their stacks are in " + run.Logs() + L"threaddump-"))
            << Narrow(event);
        Sleep(2500);  // two more checks
        EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        const ProcessTrace trace = run.life.Finish();
        ExpectStoppedWith(run.life.service, 0, 0);
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", event, L"Service stopped"}),
                  trace.Texts());
    }
    RunningLife run(L"deadrestart", "deadlock=worker-1,worker-2\n",
                    "watch.deadlock=restart\nwatch.interval=1\n");
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 12);
    ASSERT_EQ(3u, trace.events.size());
    const std::wstring& text = trace.events[1].strings[0];
    EXPECT_EQ(0u, text.find(found)) << Narrow(text);
    const std::wstring ends = L" The service ends, so that its recovery actions restart it.";
    EXPECT_EQ(text.size() - ends.size(), text.rfind(ends)) << Narrow(text);
    EXPECT_EQ(static_cast<unsigned>(EVENTLOG_ERROR_TYPE), trace.events[1].type);
}

TEST(DeadlockWatch, OffAsksNothing) {
    RunningLife run(L"deadoff", "deadlock=worker-1,worker-2\n",
                    "watch.deadlock=off\nwatch.interval=1\n");
    Sleep(2500);
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(2u, trace.events.size());
    EXPECT_FALSE(HasCall(run.life.layout.JniCalls(), "GetMethodID", "findDeadlockedThreads"));
}

// The stop deadline's event names the dump made just before it; a runtime
// that does not answer costs the deadline at most a few seconds.
TEST(DumpAtDeadline, StopDeadlineNamesTheDumpOrComesWithinSecondsWithoutOne) {
    const std::wstring deadline =
        L"The Java application did not end within 2 s of the stop request; the service ends it.";
    for (const char* threads : {"print", "hang"}) {
        RunningLife run(L"deadline", std::string("stop=hang\nthreads=") + threads + "\n",
                        "stop.timeout=2\n");
        const ULONGLONG stopAt = GetTickCount64();
        EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        const ProcessTrace trace = run.life.Finish();
        const ULONGLONG tookMs = GetTickCount64() - stopAt;
        ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 10);
        ASSERT_EQ(3u, trace.events.size());
        const std::wstring& text = trace.events[1].strings[0];
        if (std::string(threads) == "print") {
            const std::wstring named = deadline + L" Its threads at the deadline are in ";
            ASSERT_EQ(0u, text.find(named + run.Logs() + L"threaddump-")) << Narrow(text);
            EXPECT_NE(std::string::npos,
                      ReadFileBytes(NamedFile(text, named)).find("Full thread dump stand-in"));
        } else {
            EXPECT_EQ(deadline, text);
            EXPECT_LT(tookMs, 2000u + kDeadlineDumpWaitMs + 3000u) << "the dump's wait is bounded";
        }
    }
}

}  // namespace
