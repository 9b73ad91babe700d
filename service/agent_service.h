// The service itself: the frame plus the Java application's run and stop.
#pragma once

#include "agent/stop_caller.h"
#include "service/service_frame.h"
#include "service/service_properties.h"

struct RuntimeHost;
struct MainArguments;

// Service-specific exit codes of a run that ended in failure. The stopped
// report then carries ERROR_SERVICE_SPECIFIC_ERROR (1066) with one of these.
enum ServiceExitCode : DWORD {
    kExitNormal = 0,
    kExitRuntimeNotLoaded = 1,       // jvm.dll did not load
    kExitCreateExportMissing = 2,    // jvm.dll has no JNI_CreateJavaVM
    kExitVmRefused = 3,              // JNI_CreateJavaVM failed
    kExitEntryPointMissing = 4,      // class or serviceMain not found
    kExitJavaException = 5,          // serviceMain ended with an exception pending
    kExitApplicationNotStarted = 6,  // out of memory before serviceMain could be called
    kExitConfigurationInvalid = 7,   // the layout or a file in conf\ cannot be used
    kExitJavaCalledExit = 8,         // the application ended the process with a non-zero status
    kExitRuntimeAborted = 9,         // the Java runtime aborted
    kExitStopDeadlinePassed = 10,    // the application did not end within stop.timeout
    kExitNotReadyInTime = 11         // main(String[]) did not return within start.timeout
};

class AgentService : public ServiceFrame {
  public:
    AgentService();
    ~AgentService();

    // Service thread: makes the install directory the working directory, reads
    // conf\service.properties and conf\main.args (a refused file ends the run
    // with code 7 before anything starts) and hosts the Java application until
    // it has ended and the runtime is gone.
    void Run();
    // Control handler: passes a stop request on to the stop caller; returns at once.
    void OnStop();

    // The outcome of Run, as a service-specific exit code.
    DWORD exitCode;
    // conf\service.properties as read at the start of Run.
    ServiceProperties properties;
    // Makes the application's stop calls on a thread of its own.
    StopCaller stopCaller;
    // The host, from its creation until its deletion; written by the service
    // thread only, never read by another.
    RuntimeHost* runtimeHost;

  private:
    // Reads conf\service.properties and reports running, or starts waiting for
    // the application to be ready; then reads conf\main.args.
    bool ReadConfiguration(const wchar_t* installDir, MainArguments* arguments);
    // `installDir` is null when the executable's path does not fit MAX_PATH.
    void HostJavaApplication(const wchar_t* installDir, const MainArguments& arguments);
    // start.ready=main-returned with a class run through the service contract.
    void RefuseReadiness(RuntimeHost* host);
    void CloseHost(RuntimeHost* host);
};
