// The service itself: the frame plus the Java application's run and stop.
#pragma once

#include "service/service_frame.h"

struct RuntimeHost;

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
    kExitStopDeadlinePassed = 10     // the application did not end within stop.timeout
};

class AgentService : public ServiceFrame {
  public:
    AgentService();
    ~AgentService();

    // Service thread: makes the install directory the working directory, reads
    // conf\service.properties (a refused file ends the run with code 7 before
    // anything starts) and hosts the Java application until it has ended and
    // the runtime is gone.
    void Run();
    // Control handler: passes a stop request to the Java application.
    void OnStop();

    // The outcome of Run, as a service-specific exit code.
    DWORD exitCode;

    // --- State shared by the service thread and the control handler ---
    // hostLock guards the four fields below it. The service thread writes
    // runtimeHost (publish after VM creation, clear after deletion) and
    // hostClosing (before tear-down); the handler sets stopRequested and
    // counts its calls into the host in stopCallsInFlight. Tear-down waits on
    // stopCallsDone, so no host is destroyed and no runtime library unloaded
    // while a stop call may still be inside it; that wait ends at the stop
    // deadline, and the service is then ended with the host left as it is.
    // The lock is never held across a status report or a call into Java.
    CRITICAL_SECTION hostLock;
    RuntimeHost* runtimeHost;  // owned; null before publication and after deletion
    bool stopRequested;        // a stop arrived; delivered once a host with a VM is published
    bool hostClosing;          // tear-down has begun; stop requests no longer reach the host
    LONG stopCallsInFlight;
    HANDLE stopCallsDone;  // manual-reset; set while stopCallsInFlight is 0

  private:
    static DWORD WINAPI DeliverPendingStop(void* param);
    bool ApplyServiceProperties(const wchar_t* installDir);
    // `installDir` is null when the executable's path does not fit MAX_PATH.
    void HostJavaApplication(const wchar_t* installDir);
    void PublishHost(RuntimeHost* host, bool* deliverStop);
    void DeliverStopFromOtherThread();
    RuntimeHost* BeginStopCall();
    void EndStopCall();
    void CloseHost(RuntimeHost* host);
};
