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

TEST_F(ControlDispatch, DefaultsAdvertiseStopAndShutdown) {
    AgentService fresh;
    EXPECT_EQ(&fresh, ServiceFrame::instance);
    EXPECT_STREQ(L"MerivastService", fresh.name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), fresh.status.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), fresh.status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              fresh.status.dwControlsAccepted);
    EXPECT_EQ(0u, fresh.status.dwWin32ExitCode);
    EXPECT_EQ(nullptr, fresh.runtimeHost);
}

TEST_F(ControlDispatch, ShutdownTakesTheStopPath) {
    for (DWORD control :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)}) {
        AgentService fresh;
        fresh.statusHandle = nullptr;
        fresh.status.dwCurrentState = SERVICE_RUNNING;
        fresh.HandleControl(control);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), fresh.status.dwCurrentState) << control;
        EXPECT_TRUE(fresh.stopRequested) << "the request reached the agent, control " << control;
    }
}

TEST_F(ControlDispatch, PauseContinueInterrogateAndUnknownCodesChangeNothing) {
    for (DWORD control : {2u, 3u, 4u, 0u, 6u, 128u, 255u}) {
        service.HandleControl(control);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.status.dwCurrentState) << control;
        EXPECT_FALSE(service.stopRequested) << control;
    }
}

TEST_F(ControlDispatch, StopAfterTheFinalReportLeavesStopped) {
    service.finalReportStarted = true;
    service.status.dwCurrentState = SERVICE_STOPPED;
    service.HandleControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.status.dwCurrentState);
}

}  // namespace
