// The service itself: the Java application's hosting, run by the service
// frame, which gets it as its body.
#pragma once

#include "agent/configuration.h"
#include "agent/dump_thread.h"
#include "agent/health_watch.h"
#include "agent/stop_caller.h"
#include "base/paths.h"
#include "base/outcome.h"
#include "service/service_frame.h"

struct RuntimeHost;

class AgentService {
  public:
    AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // Service thread: finds the layout, makes the install directory the
    // working directory, reads conf\ (a refused file ends the run with code 7
    // before anything starts) and hosts the Java application until it has
    // ended and the runtime is gone.
    Outcome Run();
    // Control handler: passes a stop request on to the stop caller; returns at once.
    void RequestStop();
    // The service's outcome, given the application's: a start deadline that
    // passed decides it. Any thread; takes the frame's status lock briefly.
    Outcome DecideOutcome(Outcome applicationOutcome);

    ServiceFrame frame;
    // Computed and read once, at the start of Run, by the service thread, and
    // read-only afterwards; they outlive a host left to a stop call that hangs.
    HostLayout layout;
    Configuration configuration;
    // Makes the application's stop calls on a thread of its own.
    StopCaller stopCaller;
    // Writes thread and heap dumps and watches for deadlocks, on a thread of its own.
    DumpThread dumpThread;
    // Asks the application's health check, on threads of its own.
    HealthWatch healthWatch;

  private:
    bool ReadConfigurationAndReport();
    Outcome HostJavaApplication();
    Outcome RunOnHost(RuntimeHost& host);
    void ApplicationReady();
    Outcome RefuseWithServiceContract(const RuntimeHost& host, unsigned line,
                                      const wchar_t* setting, const wchar_t* why);
    Outcome CloseHost(RuntimeHost* host, Outcome outcome);
};
