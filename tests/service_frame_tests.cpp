// The frame driven directly, with a body of the test's own: the control
// dispatch (Wine's SCM never sends shutdown) and the watch of the pending
// phases. No handler is registered, so every status report fails harmlessly.
#include <gtest/gtest.h>

#include "service/service_frame.h"

namespace {

// Counts the stop requests the frame passes on.
struct FakeBody {
    static DWORD Run(void* /*self*/) { return 0; }
    static void RequestStop(void* self) {
        FakeBody* body = static_cast<FakeBody*>(self);
        InterlockedIncrement(&body->stopRequests);
        SetEvent(body->stopRequested);
    }
    // Takes 255 only, as the service does with its dump controls.
    static bool UserControl(void* self, DWORD control) {
        static_cast<FakeBody*>(self)->userControls += control == 255 ? 1 : 0;
        return control == 255;
    }
    static void DumpAtDeadline(void* self, wchar_t (&file)[kBodyFileUnits], DWORD waitMs) {
        static_cast<FakeBody*>(self)->dumpWaitMs = waitMs;
        lstrcpyW(file, L"C:\\x\\logs\\threaddump.txt");
    }
    ServiceBody Handed() {
        return ServiceBody{this, Run, RequestStop, UserControl, DumpAtDeadline};
    }
    ~FakeBody() { CloseHandle(stopRequested); }

    volatile LONG stopRequests = 0;
    int userControls = 0;
    DWORD dumpWaitMs = 0;
    HANDLE stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// A frame as the SCM would have it once running.
struct RunningFrame {
    RunningFrame() : frame(body.Handed()) { frame.status.dwCurrentState = SERVICE_RUNNING; }
    // The watch's own reports would move the check point too.
    void QuitWatch() { ASSERT_TRUE(frame.watch.Stop(5000)); }
    FakeBody body;
    ServiceFrame frame;
};

TEST(ControlDispatch, DefaultsAdvertiseStopShutdownAndPreshutdown) {
    FakeBody body;
    ServiceFrame fresh(body.Handed());
    EXPECT_EQ(&fresh, ServiceFrame::instance);
    EXPECT_STREQ(L"MerivastService", fresh.name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), fresh.status.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), fresh.status.dwCurrentState);
    EXPECT_EQ(0x105u, fresh.status.dwControlsAccepted);
    EXPECT_EQ(0u, fresh.status.dwWin32ExitCode);
    EXPECT_FALSE(fresh.watch.IsStarted());
}

TEST(ControlDispatch, ShutdownAndPreshutdownTakeTheStopPath) {
    for (DWORD control :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN),
          static_cast<DWORD>(SERVICE_CONTROL_PRESHUTDOWN)}) {
        RunningFrame running;
        running.frame.HandleControl(control);
        const SERVICE_STATUS& status = running.frame.status;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState) << control;
        EXPECT_EQ(1u, status.dwCheckPoint) << control;
        EXPECT_EQ(kPendingWaitHintMs, status.dwWaitHint) << control;
        EXPECT_EQ(1, running.body.stopRequests) << "the request reached the body, " << control;
        EXPECT_TRUE(running.frame.watch.IsStarted()) << "progress starts with the first request";
    }
}

// Windows sends preshutdown first, then shutdown to a service still stopping.
TEST(ControlDispatch, ShutdownAfterPreshutdownAddsNothing) {
    RunningFrame running;
    running.frame.HandleControl(SERVICE_CONTROL_PRESHUTDOWN);
    running.QuitWatch();
    const DWORD checkPoint = running.frame.status.dwCheckPoint;
    running.frame.HandleControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(checkPoint, running.frame.status.dwCheckPoint) << "no second stop-pending report";
    EXPECT_EQ(1, running.body.stopRequests);
}

TEST(ControlDispatch, PauseContinueInterrogateAndUnknownCodesChangeNothing) {
    RunningFrame running;
    for (DWORD control : {2u, 3u, 4u, 0u, 6u, 128u, 255u}) {
        running.frame.HandleControl(control);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.frame.status.dwCurrentState)
            << control;
    }
    EXPECT_EQ(0, running.body.stopRequests);
    EXPECT_EQ(1, running.body.userControls) << "255 reached the body, 128 did not";
}

TEST(ControlDispatch, StopAfterTheFinalReportLeavesStopped) {
    RunningFrame running;
    running.frame.finalReportStarted = true;
    running.frame.status.dwCurrentState = SERVICE_STOPPED;
    running.frame.HandleControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), running.frame.status.dwCurrentState);
}

// The one watch: start-pending progress without controls, and at the start
// deadline the stop sequence, whose progress the same watch then reports.
TEST(PendingPhases, StartDeadlineBeginsTheStopAndKeepsItsOutcome) {
    RunningFrame running;
    ServiceFrame& frame = running.frame;
    frame.status.dwCurrentState = SERVICE_START_PENDING;
    frame.startPhase.since = GetTickCount64();
    frame.WaitForReadiness(1, 11, L"not ready within %lu s");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running.body.stopRequested, 5000));
    LockGuard guard(frame.statusLock);
    EXPECT_EQ(11u, frame.passedStartDeadline);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), frame.status.dwCurrentState);
    EXPECT_EQ(kControlsAccepted, frame.status.dwControlsAccepted);
    EXPECT_GE(frame.status.dwCheckPoint, 2u) << "start progress, then the stop's report";
    EXPECT_TRUE(frame.watch.IsStarted()) << "the watch goes on with the stop";
    EXPECT_EQ(kDeadlineDumpWaitMs, running.body.dumpWaitMs) << "a bounded dump came first";
}

TEST(PendingPhases, RunningEndsTheStartWatchWithoutADeadline) {
    RunningFrame running;
    ServiceFrame& frame = running.frame;
    frame.status.dwCurrentState = SERVICE_START_PENDING;
    frame.WaitForReadiness(0, 11, L"not ready within %lu s");
    frame.ReportRunning();
    ASSERT_TRUE(frame.watch.Stop(5000));
    EXPECT_EQ(0u, frame.PassedStartDeadline());
    EXPECT_EQ(INFINITE, frame.StopTimeLeftMs()) << "no stop was requested";
}

}  // namespace
