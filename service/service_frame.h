// The generic service state and entry points: status record, process entry,
// service main routine and control handler.
#pragma once

#include "service/event_log.h"
#include "service/win32.h"

class AgentService;

// The pace of a stop and the bounds of the service's end.
constexpr DWORD kStopProgressIntervalMs = 1000;  // one stop-pending report per interval
constexpr DWORD kStopWaitHintMs = 2000;          // covers the next report, with room to spare
// The longest wait for another thread that is ending the service.
constexpr DWORD kEndByOtherWaitMs = 5000;

// Everything the SCM can be told is accepted: stop, shutdown and preshutdown (0x105).
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;

class ServiceFrame {
  public:
    ServiceFrame();
    ~ServiceFrame();
    ServiceFrame(const ServiceFrame&) = delete;
    ServiceFrame& operator=(const ServiceFrame&) = delete;

    // Hands the service table to the SCM and blocks until the service has
    // stopped and its last event is written (at most kEndByOtherWaitMs after
    // the dispatcher returned). Returns the service's Win32 exit code, or the
    // dispatcher's error when the process was not started by the SCM (1063).
    DWORD StartDispatcher();

    // Body of the service main routine: start-pending, running, Run, stopped.
    void RunService();
    // Control dispatch: stop, preshutdown and a first shutdown run the stop
    // sequence; a shutdown after an earlier stop request, pause, continue and
    // interrogate do nothing; anything else is logged.
    void HandleControl(DWORD control);
    // An information event (ID 0) under the service name.
    void ReportInfoEvent(const wchar_t* message);

    // Service thread: writes "Service started" and reports running, once,
    // while the service is still start-pending; afterwards, and after a stop
    // request, it does nothing.
    void ReportRunning();
    // Service thread: the service stays start-pending, with progress reports,
    // until ReportRunning. When that has not come `timeoutSeconds` after the
    // start (0: never), an error event says so and the application is ended as
    // a stop ends it; StartDeadlinePassed then tells.
    void WaitForReadiness(DWORD timeoutSeconds);
    bool StartDeadlinePassed();

    // The stop deadline, in whole seconds from the first stop request; 0: none.
    void SetStopTimeout(DWORD seconds);
    // Milliseconds left until the stop deadline (0 once it has passed), or
    // INFINITE while no stop was requested or there is no deadline.
    DWORD StopTimeLeftMs();
    // Ends the service at once: writes `message` (when set) as an event of `eventType`,
    // reports stopped with the exit codes, writes "Service stopped" and ends the
    // process with `win32ExitCode`. For threads of the host and of the runtime,
    // never the control handler. When another thread already ends the service,
    // waits for it and ends the process with the codes that one reported.
    // Waits at most kEndByOtherWaitMs for another thread, and for the
    // dispatcher's lock only as long as the control handler runs, which never
    // waits on the application; takes statusLock briefly.
    [[noreturn]] void EndService(DWORD win32ExitCode, DWORD specificExitCode, WORD eventType,
                                 const wchar_t* message);
    // EndService with the stop deadline's error event and code.
    [[noreturn]] void EndAtStopDeadline();

    // Takes the name the SCM started the service under (argv[0]) as the
    // service's name and event source, then runs the service.
    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD eventType, void* eventData,
                                            void* context);

    // The one service object; set by the constructor.
    static ServiceFrame* instance;

    // "MerivastService" until the service thread takes the name the SCM started
    // it under; written before the handler is registered, read-only afterwards.
    wchar_t name[kEventSourceUnits];
    SERVICE_STATUS_HANDLE statusHandle;  // written by the service thread before any control arrives
    SERVICE_STATUS status;               // guarded by statusLock, see below
    DWORD serviceThreadId;
    HINSTANCE moduleInstance;

    // --- State shared by the service thread, the control handler, the stop
    // watch and whichever thread ends the service ---
    // statusLock guards `status`, `finalReportStarted`, `stopStarted`,
    // `stopStartTick`, `stopTimeoutSeconds`, `startTick`, `startTimeoutSeconds`
    // and `startDeadlinePassed`. Each report sends a copy of the
    // record taken under the lock. The stop-pending reports (of the handler and
    // of the stop watch) are sent with the lock held, so each is either complete
    // before the final report is claimed or is never sent. The final report is
    // sent without it: Wine's SetServiceStatus(SERVICE_STOPPED) takes the
    // dispatcher lock under which the handler runs, so holding statusLock
    // across it could deadlock.
    CRITICAL_SECTION statusLock;
    // Set once, by the thread that owns the final report, before it is sent;
    // whoever finds it set reports nothing more.
    bool finalReportStarted;
    bool stopStarted;           // set by the first stop request
    ULONGLONG stopStartTick;    // GetTickCount64 of the first stop request
    DWORD stopTimeoutSeconds;   // 0: no deadline
    ULONGLONG startTick;        // GetTickCount64 when the service main routine began
    DWORD startTimeoutSeconds;  // 0: no start deadline (and no start watch)
    bool startDeadlinePassed;   // the start watch ended the application
    // The service thread, opened by itself when it starts; the process entry
    // waits for it so that "Service stopped" is written before the process ends.
    HANDLE serviceThread;
    // Set (manual-reset) by the service thread after "Service stopped" of a run
    // that ended by itself; the process entry then returns. Every other end
    // ends the process itself.
    HANDLE serviceEnded;
    // The stop watch: started by the first stop request, on the handler's
    // thread, which is the only writer of the handle. Reports stop-pending once
    // per kStopProgressIntervalMs with a rising check point, and ends the
    // service at the deadline. Takes statusLock around each report; waits at
    // most one interval at a time, on stopWatchQuit.
    HANDLE stopWatch;
    // The start watch: started by WaitForReadiness on the service thread, its
    // only writer. Reports start-pending once per kStopProgressIntervalMs until
    // running; at the start deadline it runs the stop sequence. Takes
    // statusLock around each report; waits at most one interval at a time.
    HANDLE startWatch;
    HANDLE stopWatchQuit;  // manual-reset; set only by the destructor; ends both watches
    // The stopped report; written once, under statusLock, by the thread that
    // claimed the final report, and sent by that thread.
    SERVICE_STATUS finalReport;

  private:
    AgentService& Agent();
    void AdoptServiceName(DWORD argc, LPWSTR* argv);
    SERVICE_STATUS SetState(DWORD state);
    void SendStatus(const SERVICE_STATUS& snapshot);
    bool ReportStopPending();
    bool ReportStopProgress();
    void RunStopSequence();
    void StartStopWatch();
    void WatchStop();
    static DWORD WINAPI StopWatchEntry(void* frame);
    DWORD StartTimeLeftMs();
    bool ReportStartProgress();
    void WatchStart();
    void EndAtStartDeadline();
    static DWORD WINAPI StartWatchEntry(void* frame);
    bool ClaimFinalReport(DWORD win32ExitCode, DWORD specificExitCode);
    void FinishService(DWORD win32ExitCode, DWORD specificExitCode);
    [[noreturn]] void AwaitEndByOther();
    DWORD ReportedExitCode();
    void WaitForServiceEnd();
};
