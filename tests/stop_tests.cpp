// How a service ends when the stop is slow, when the application does not end,
// and when the runtime ends the process itself: real services under Wine's
// SCM with the stand-in runtime, judged by their reports, events and exit codes.
#include <gtest/gtest.h>

#include "support/service_life.h"

namespace {

using namespace mvt;

const DWORD kStopPendingHintMs = 2000;

// Every report accepts stop, shutdown and preshutdown; stop-pending reports
// carry rising check points and a wait hint that covers the gap to the next
// report; nothing follows stopped.
void ExpectProgressThenStopped(const ProcessTrace& trace) {
    ASSERT_FALSE(trace.reports.empty());
    unsigned lastCheckPoint = 0;
    for (size_t i = 0; i < trace.reports.size(); ++i) {
        const TracedStatus& report = trace.reports[i];
        EXPECT_EQ(0x105u, report.accepted);
        if (report.state != SERVICE_STOP_PENDING) continue;
        EXPECT_GT(report.checkPoint, lastCheckPoint) << "report " << i;
        lastCheckPoint = report.checkPoint;
        EXPECT_EQ(kStopPendingHintMs, report.waitHint);
        ASSERT_LT(i + 1, trace.reports.size()) << "stop-pending was the last report";
        EXPECT_LT(trace.reports[i + 1].timeMs - report.timeMs, report.waitHint)
            << "the next report came after the wait hint, report " << i;
    }
    const TracedStatus& last = trace.reports.back();
    EXPECT_EQ(static_cast<unsigned>(SERVICE_STOPPED), last.state);
    EXPECT_EQ(0u, last.checkPoint);
    EXPECT_EQ(0u, last.waitHint);
    for (size_t i = 0; i + 1 < trace.reports.size(); ++i) {
        EXPECT_NE(static_cast<unsigned>(SERVICE_STOPPED), trace.reports[i].state)
            << "a report after stopped";
    }
}

size_t StopPendingReports(const ProcessTrace& trace) {
    size_t count = 0;
    for (const auto& report : trace.reports) count += report.state == SERVICE_STOP_PENDING;
    return count;
}

TEST(StopProgress, SlowStopReportsProgressUntilStopped) {
    ServiceLife life(L"slowstop");
    life.layout.SetScenario("pause.stop=3500\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    EXPECT_GE(StopPendingReports(trace), 3u) << "about one a second for 3.5 s";
    ExpectProgressThenStopped(trace);
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
}

// The application does not end within stop.timeout after the stop request.
struct DeadlineCase {
    const wchar_t* tag;
    const char* scenario;
};

void PrintTo(const DeadlineCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class StopDeadline : public ::testing::TestWithParam<DeadlineCase> {};

TEST_P(StopDeadline, EndsTheServiceWithCode10) {
    const DeadlineCase& c = GetParam();
    ServiceLife life(c.tag);
    life.layout.AddFile(L"conf\\service.properties", "stop.timeout=2\r\n");
    life.layout.SetScenario(c.scenario);
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod"));
    const ULONGLONG stopAt = GetTickCount64();
    // A stop call that never returns keeps this call waiting until the process is gone.
    life.service.Control(SERVICE_CONTROL_STOP);
    const ProcessTrace trace = life.Finish();
    const ULONGLONG ended = GetTickCount64() - stopAt;
    EXPECT_GE(ended, 1900u) << "ended before the deadline";
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 10);
    ExpectProcessExitCode(life.service, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    ExpectProgressThenStopped(trace);
    ASSERT_EQ(3u, trace.events.size()) << Narrow(trace.Texts().back());
    TracedEvent deadline = trace.events[1];
    deadline.strings[0] = WithoutDeadlineDump(deadline.strings[0], life.layout.dir());
    ExpectEvent(deadline, EVENTLOG_ERROR_TYPE,
                L"The Java application did not end within 2 s of the stop request; the service "
                L"ends it.");
    ExpectEvent(trace.events[2], EVENTLOG_INFORMATION_TYPE, L"Service stopped");
    EXPECT_FALSE(HasFault(life.layout.JniCalls()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopDeadline,
    ::testing::Values(
        // serviceStop returns, serviceMain goes on.
        DeadlineCase{L"ignorestop", "stop=ignore\n"},
        // serviceStop never returns, before or after it let serviceMain return.
        DeadlineCase{L"hangstop", "stop=hang\n"},
        DeadlineCase{L"releasehang", "stop=release_hang\n"},
        // serviceMain returns, and the VM's destruction does not end.
        DeadlineCase{L"hangdestroy", "gate.destroy=1\n"},
        // An ordinary program's shutdown hook never ends.
        DeadlineCase{L"hanghook", "entry=main\nshutdown_hook=hang\n"}),
    [](const ::testing::TestParamInfo<DeadlineCase>& info) { return Narrow(info.param.tag); });

TEST(StopProgress, ZeroStopTimeoutWaitsForTheApplication) {
    ServiceLife life(L"nodeadline");
    life.layout.AddFile(L"conf\\service.properties", "# no deadline\nstop.timeout = 0\n");
    // The stop is ignored; serviceMain ends by itself 3 s after it began.
    life.layout.SetScenario("stop=ignore\nmain=return\npause.main=3000\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    EXPECT_GE(StopPendingReports(trace), 2u);
    ExpectProgressThenStopped(trace);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
}

// The runtime ends the process: System.exit, from serviceMain or from inside
// serviceStop, and an abort. Each runs through the host's hook on a runtime
// thread of its own while the Java thread that asked stays stopped.
struct RuntimeEndCase {
    const wchar_t* tag;
    const char* scenario;
    bool stop;  // a stop request starts it
    DWORD win32ExitCode;
    DWORD specificExitCode;
    unsigned eventType;
    const wchar_t* event;
    const char* record;  // the stand-in's line for the end
};

void PrintTo(const RuntimeEndCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class RuntimeEnd : public ::testing::TestWithParam<RuntimeEndCase> {};

TEST_P(RuntimeEnd, ReportsStoppedWithItsCodesAndEndsTheProcess) {
    const RuntimeEndCase& c = GetParam();
    ServiceLife life(c.tag);
    life.layout.SetScenario(c.scenario);
    life.StartRunning();
    if (c.stop) {
        ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
        life.service.Control(SERVICE_CONTROL_STOP);
    }
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(c.stop ? kStoppedOnRequest : kStartedAndStopped, trace.StateChanges());
    ExpectStoppedWith(life.service, c.win32ExitCode, c.specificExitCode);
    ExpectProcessExitCode(life.service, c.win32ExitCode);
    ASSERT_EQ(3u, trace.events.size());
    ExpectEvent(trace.events[0], EVENTLOG_INFORMATION_TYPE, L"Service started");
    ExpectEvent(trace.events[1], c.eventType, c.event);
    ExpectEvent(trace.events[2], EVENTLOG_INFORMATION_TYPE, L"Service stopped");
    const auto calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    const std::string record = c.record;
    const JniCall* end = FindCall(calls, record.substr(0, record.find(' ')));
    ASSERT_NE(nullptr, end);
    EXPECT_EQ(record.substr(record.find(' ') + 1), end->details);
    EXPECT_EQ(nullptr, FindCall(calls, "DestroyJavaVM")) << "the runtime ended instead";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RuntimeEnd,
    ::testing::Values(
        RuntimeEndCase{L"exit0", "main=exit\n", false, 0, 0, EVENTLOG_INFORMATION_TYPE,
                       L"The Java application ended the process with status 0.",
                       "EXIT status=0 hook=1"},
        RuntimeEndCase{L"exit3", "main=exit\nexit_status=3\n", false, ERROR_SERVICE_SPECIFIC_ERROR,
                       8, EVENTLOG_ERROR_TYPE,
                       L"The Java application ended the process with status 3.",
                       "EXIT status=3 hook=1"},
        // The control handler is inside serviceStop when the runtime ends.
        RuntimeEndCase{L"exitinstop", "stop=exit\n", true, 0, 0, EVENTLOG_INFORMATION_TYPE,
                       L"The Java application ended the process with status 0.",
                       "EXIT status=0 hook=1"},
        RuntimeEndCase{L"abort", "main=abort\n", false, ERROR_SERVICE_SPECIFIC_ERROR, 9,
                       EVENTLOG_ERROR_TYPE, L"The Java runtime aborted.", "ABORT hook=1"},
        // What the runtime printed last through its vfprintf hook follows.
        RuntimeEndCase{L"abortwords", "hook.text=# A fatal error has been detected\nmain=abort\n",
                       false, ERROR_SERVICE_SPECIFIC_ERROR, 9, EVENTLOG_ERROR_TYPE,
                       L"The Java runtime aborted.\n# A fatal error has been detected",
                       "ABORT hook=1"}),
    [](const ::testing::TestParamInfo<RuntimeEndCase>& info) { return Narrow(info.param.tag); });

// A real VM that cannot reserve its heap aborts inside JNI_CreateJavaVM rather
// than returning an error: the operator sees a refused VM, with its words.
TEST(RuntimeEndDuringCreation, IsReportedAsARefusedVm) {
    ServiceLife life(L"abortcreate");
    life.layout.SetScenario(
        "hook.text=Could not reserve enough space for object heap\ncreate=abort\n");
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.StateChanges());
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 3);
    ExpectProcessExitCode(life.service, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Service started", L"CreateJavaVM ERROR",
                  L"The Java runtime reported:\nCould not reserve enough space for object heap",
                  L"Service stopped"}),
              trace.Texts());
    EXPECT_TRUE(HasCall(life.layout.JniCalls(), "ABORT", "hook=1"));
}

// A health method that hangs holds up neither the stop nor the VM's end: the
// runtime, with the check's daemon thread still inside it, is left loaded.
TEST(HealthCheck, HangingMethodHoldsUpNeitherTheStopNorTheVmsEnd) {
    ServiceLife life(L"healthhang");
    life.layout.SetScenario("health=hang\n");
    life.layout.AddFile(L"conf\\service.properties",
                        "health.method=com.merivast.agent.MerivastMain.healthy\n"
                        "health.interval=1\nhealth.timeout=60\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticBooleanMethodA", "hangs"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    EXPECT_TRUE(HasCall(calls, "AttachCurrentThreadAsDaemon",
                        "result=0 existing=0 "
                        "name=merivast-health-check"));
    EXPECT_TRUE(HasCall(calls, "DestroyJavaVM", "result=0"));
    EXPECT_FALSE(HasCall(calls, "UNLOAD")) << "unloaded with a thread inside";
}

}  // namespace
