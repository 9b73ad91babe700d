// The control dispatch, driven directly: Wine's SCM never sends shutdown.
#include <gtest/gtest.h>

#include "service/agent_service.h"

namespace {

class ControlDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        // No registered handler: every status report fails harmlessly.
        service.statusHandle = nullptr;
        service.status.dwCurrentState = SERVICE_RUNNING;
    }
    AgentService service;
};

TEST_F(ControlDispatch, DefaultsAdvertiseStopShutdownAndPreshutdown) {
    AgentService fresh;
    EXPECT_EQ(&fresh, ServiceFrame::instance);
    EXPECT_STREQ(L"MerivastService", fresh.name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), fresh.status.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), fresh.status.dwCurrentState);
    EXPECT_EQ(0x105u, fresh.status.dwControlsAccepted);
    EXPECT_EQ(0u, fresh.status.dwWin32ExitCode);
    EXPECT_EQ(nullptr, fresh.runtimeHost);
}

TEST_F(ControlDispatch, ShutdownAndPreshutdownTakeTheStopPath) {
    for (DWORD control :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN),
          static_cast<DWORD>(SERVICE_CONTROL_PRESHUTDOWN)}) {
        AgentService fresh;
        fresh.statusHandle = nullptr;
        fresh.status.dwCurrentState = SERVICE_RUNNING;
        fresh.HandleControl(control);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), fresh.status.dwCurrentState) << control;
        EXPECT_EQ(1u, fresh.status.dwCheckPoint) << control;
        EXPECT_EQ(kStopWaitHintMs, fresh.status.dwWaitHint) << control;
        EXPECT_TRUE(fresh.stopCaller.Requested())
            << "the request reached the agent, control " << control;
        EXPECT_NE(nullptr, fresh.stopWatch) << "progress starts with the first request";
    }
}

// Windows sends preshutdown first, then shutdown to a service still stopping.
TEST_F(ControlDispatch, ShutdownAfterPreshutdownAddsNothing) {
    service.HandleControl(SERVICE_CONTROL_PRESHUTDOWN);
    ASSERT_NE(nullptr, service.stopWatch);
    // The watch's own reports would move the check point too; it is stopped first.
    SetEvent(service.stopWatchQuit);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.stopWatch, 5000));
    const DWORD checkPoint = service.status.dwCheckPoint;
    service.HandleControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(checkPoint, service.status.dwCheckPoint) << "no second stop-pending report";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), service.status.dwCurrentState);
}

TEST_F(ControlDispatch, PauseContinueInterrogateAndUnknownCodesChangeNothing) {
    for (DWORD control : {2u, 3u, 4u, 0u, 6u, 128u, 255u}) {
        service.HandleControl(control);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.status.dwCurrentState) << control;
        EXPECT_FALSE(service.stopCaller.Requested()) << control;
    }
}

TEST_F(ControlDispatch, StopAfterTheFinalReportLeavesStopped) {
    service.finalReportStarted = true;
    service.status.dwCurrentState = SERVICE_STOPPED;
    service.HandleControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.status.dwCurrentState);
}

}  // namespace
