// The service as an administrator sees it: real services under Wine's SCM,
// judged by the states they report, their exit codes and their events.
#include <gtest/gtest.h>

#include "support/service_life.h"

namespace {

using namespace mvt;

const std::vector<unsigned> kStartedAndStopped = {SERVICE_START_PENDING, SERVICE_RUNNING,
                                                  SERVICE_STOPPED};
const std::vector<unsigned> kStoppedOnRequest = {SERVICE_START_PENDING, SERVICE_RUNNING,
                                                 SERVICE_STOP_PENDING, SERVICE_STOPPED};

TEST(ServiceOutsideScm, ExitsWithTheDispatcherErrorAndWritesNothing) {
    InstallLayout layout(L"console", ServiceExecutable());
    DWORD pid = 0;
    // Wine's dispatcher may wait up to its pipe timeout (10 s) before failing.
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT),
              RunProcess(L"\"" + layout.executable() + L"\"", 30000, &pid));
    ASSERT_NE(0u, pid);
    const ProcessTrace trace = ReadProcessTrace(pid);
    EXPECT_TRUE(trace.events.empty());
    EXPECT_TRUE(trace.reports.empty());
}

TEST(ServiceLifeTest, NormalLifeWithAStop) {
    ServiceLife life(L"normal");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    ExpectStoppedWith(life.service, 0, 0);

    EXPECT_EQ(kStoppedOnRequest, trace.States());
    for (const auto& report : trace.reports) {
        EXPECT_EQ(static_cast<unsigned>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), report.accepted);
        EXPECT_EQ(0u, report.checkPoint);
        EXPECT_EQ(0u, report.waitHint);
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
    EXPECT_EQ((std::vector<std::string>{"JNI_CreateJavaVM", "FindClass", "GetStaticMethodID",
                                        "NewString", "CallStaticVoidMethod serviceMain arg=" +
                                                         Narrow(life.layout.dir()),
                                        "ExceptionCheck", "DestroyJavaVM", "UNLOAD"}),
              CallsOnThread(calls, create->thread));
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
    EXPECT_EQ(nullptr, FindCall(life.layout.JniCalls(), "AttachCurrentThread"));
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
    EXPECT_EQ(kStoppedOnRequest, trace.States());
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Bad service request", L"Service stopped"}),
              trace.Texts());
    ExpectEvent(trace.events[1], EVENTLOG_INFORMATION_TYPE, L"Bad service request");
}

}  // namespace
