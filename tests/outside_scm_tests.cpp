// Started other than by the SCM. Wine's dispatcher waits up to its pipe
// timeout (10 s) before it fails, and meanwhile stalls service starts, so this
// runs alone.
#include <gtest/gtest.h>

#include "support/service_life.h"

namespace {

using namespace mvt;

TEST(ServiceOutsideScm, ExitsWithTheDispatcherErrorAndWritesNothing) {
    InstallLayout layout(L"console", ServiceExecutable());
    DWORD pid = 0;
    const unsigned long long traceStart = TraceEnd();
    // Wine's dispatcher may wait up to its pipe timeout (10 s) before failing.
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT),
              RunProcess(L"\"" + layout.executable() + L"\"", 30000, &pid));
    ASSERT_NE(0u, pid);
    const ProcessTrace trace = ReadProcessTrace(pid, traceStart);
    EXPECT_TRUE(trace.events.empty());
    EXPECT_TRUE(trace.reports.empty());
}

}  // namespace
