// The generic service: status record, process entry, service main routine,
// control handler (control_handler.cpp), and the one watch of the pending
// phases (pending_phases.cpp). The service's own work, its body, is handed in
// as plain functions.
#pragma once

#include "base/event_log.h"
#include "base/paths.h"
#include "base/scoped.h"
#include "base/win32.h"
#include "base/worker_thread.h"

constexpr DWORD kProgressIntervalMs = 1000;  // one pending report per interval
constexpr DWORD kPendingWaitHintMs = 2000;   // covers the next report, with room to spare
constexpr DWORD kEndByOtherWaitMs = 5000;    // the longest wait for another thread's end
// The longest a deadline waits for the body's thread dump before it ends the
// service: the deadline still holds within a few seconds.
constexpr DWORD kDeadlineDumpWaitMs = 3000;
// A path the body names in an event: a file in a folder of the layout.
constexpr size_t kBodyFileUnits = kFilePathUnits;
// A deadline's event: its text with the seconds, and the dump's file.
constexpr size_t kDeadlineEventUnits = 224 + kBodyFileUnits;

// Everything the SCM can be told is accepted: stop, shutdown and preshutdown (0x105).
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;

// The service's own work, which the frame runs.
struct ServiceBody {
    void* self;                // weak
    DWORD (*run)(void* self);  // service thread: the whole run; its service-specific exit code
    void (*requestStop)(void* self);  // control handler: a stop was requested; returns at once
    // Control handler: a user-defined control (128 to 255). True when the body
    // takes it, which it only records and signals, returning at once; false
    // gives "Bad service request". May be null: none is taken.
    bool (*userControl)(void* self, DWORD control);
    // The watch or the service thread, before a deadline ends the service:
    // writes what the application's threads are doing, waiting at most
    // `waitMs`, and names the file in `file` (empty when none was written in
    // time). Takes none of the frame's locks. May be null.
    void (*dumpAtDeadline)(void* self, wchar_t (&file)[kBodyFileUnits], DWORD waitMs);
};

// A start or a stop under way: what it reports, and how its deadline ends it.
struct PendingPhase {
    DWORD state;                  // SERVICE_START_PENDING or SERVICE_STOP_PENDING
    DWORD acceptedControls;       // what its reports advertise
    ULONGLONG since;              // GetTickCount64 when it began
    DWORD timeoutSeconds;         // 0: no deadline
    DWORD outcomeAtDeadline;      // the service-specific exit code the deadline gives
    const wchar_t* deadlineText;  // the deadline's event, with the seconds as %lu; weak
};

class ServiceFrame {
  public:
    explicit ServiceFrame(const ServiceBody& body);
    // Only tests destroy a frame; the process's one frame lives until the end.
    ~ServiceFrame();
    ServiceFrame(const ServiceFrame&) = delete;
    ServiceFrame& operator=(const ServiceFrame&) = delete;

    // Hands the service table to the SCM and blocks until the service has
    // stopped and its last event is written. Returns the service's Win32 exit
    // code, or the dispatcher's error outside the SCM (1063).
    DWORD StartDispatcher();

    // Body of the service main routine: start-pending, the body's run, stopped.
    void RunService();
    // Control dispatch: stop, preshutdown and a first shutdown run the stop
    // sequence; a shutdown after an earlier stop request, pause, continue and
    // interrogate do nothing; a user-defined control the body takes goes to
    // it; anything else is logged.
    void HandleControl(DWORD control);
    void ReportInfoEvent(const wchar_t* message);

    // Service thread: writes "Service started" and reports running, once,
    // while the service is still start-pending; afterwards, and after a stop
    // request, it does nothing.
    void ReportRunning();
    // Service thread: the service stays start-pending, with progress reports,
    // until ReportRunning. When that has not come `timeoutSeconds` after the
    // start (0: never), the deadline's event is written and the stop sequence
    // runs; PassedStartDeadline then gives `outcomeAtDeadline`.
    void WaitForReadiness(DWORD timeoutSeconds, DWORD outcomeAtDeadline, const wchar_t* text);
    // The outcome of a start deadline that passed; 0 when none did.
    DWORD PassedStartDeadline();

    // The stop deadline, in whole seconds from the first stop request (0:
    // none), the code it ends the service with and its event's text.
    void SetStopDeadline(DWORD seconds, DWORD outcomeAtDeadline, const wchar_t* text);
    // Milliseconds left until the stop deadline (0 once it has passed), or
    // INFINITE while no stop was requested or there is no deadline.
    DWORD StopTimeLeftMs();
    // Ends the process from any thread: `message` (when set) as an event of
    // `eventType`, stopped with `specificExitCode` (and 1066 unless it is 0),
    // "Service stopped". When another thread already ends the service, waits
    // for it at most kEndByOtherWaitMs; takes statusLock briefly. Its stopped
    // report waits for the dispatcher's lock while a control is handled on
    // another thread (the handler never waits on the application); on the
    // handler's own thread that lock is already its own.
    [[noreturn]] void EndProcessFromAnyThread(DWORD specificExitCode, WORD eventType,
                                              const wchar_t* message);
    // EndProcessFromAnyThread with the stop deadline's event and code.
    [[noreturn]] void EndAtStopDeadline();

    // The process's frame, for the SCM's service main routine, which takes no context.
    static ServiceFrame* instance;

    // Called once, on the thread that owns the final report, before stopped
    // is reported at every end of the service: what the body wrote and is
    // still on its way reaches its files first. It must bound its own waits
    // and take no lock of the frame's. Set before the dispatcher starts; null:
    // nothing to do.
    void (*flushOutput)() = nullptr;

    // "MerivastService" until the service thread takes the name the SCM started
    // it under; written before the handler is registered, read-only afterwards.
    wchar_t name[kEventSourceUnits];
    SERVICE_STATUS_HANDLE statusHandle;  // written by the service thread before any control arrives

    // --- State shared by the service thread, the control handler, the watch
    // and whichever thread ends the service ---
    // statusLock guards every field from `status` to `passedStartDeadline`.
    // Each report sends a copy of the record taken under the lock. The pending
    // reports (of the handler and of the watch) are sent with the lock held,
    // so each is either complete before the final report is claimed or is
    // never sent. The final report is sent without it: Wine's
    // SetServiceStatus(SERVICE_STOPPED) takes the dispatcher lock under which
    // the handler runs, so holding statusLock across it could deadlock.
    Lock statusLock;
    SERVICE_STATUS status;
    // Set once, by the thread that owns the final report, before it is sent;
    // whoever finds it set reports nothing more.
    bool finalReportStarted;
    PendingPhase startPhase;  // state 0 until WaitForReadiness
    PendingPhase stopPhase;   // state 0 until the first stop request
    // False right after the handler's own stop-pending report, which takes
    // the place of the watch's next one.
    bool progressReportDue;
    DWORD passedStartDeadline;
    // Started under statusLock by the thread that begins the first phase, and
    // woken by each later one: reports the phase under way once per
    // kProgressIntervalMs and keeps its deadline. It takes statusLock around
    // each report and waits at most one interval at a time, without bound
    // only while no phase is under way.
    WorkerThread watch;

    // The stopped report; written once, under statusLock, by the thread that
    // claimed the final report, and sent by that thread.
    SERVICE_STATUS finalReport;
    // The service thread, opened by itself when it starts; the process entry
    // waits for it so that "Service stopped" is written before the process ends.
    HANDLE serviceThread;
    // Set (manual-reset) by the service thread after "Service stopped" of a run
    // that ended by itself; the process entry then returns. Every other end
    // ends the process itself.
    ScopedHandle serviceEnded;

  private:
    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD eventType, void* eventData,
                                            void* context);
    static DWORD WatchTurn(void* frame);
    void AdoptServiceName(DWORD argc, LPWSTR* argv);
    SERVICE_STATUS SetState(DWORD state);
    void SendStatus(const SERVICE_STATUS& snapshot);
    void ReportStopPending();
    void RunStopSequence();
    void StartWatchLocked();
    DWORD ReportProgress();
    void PassDeadlineIfDue();
    [[noreturn]] void EndAtDeadline(const PendingPhase& phase);
    void FormatDeadlineEvent(const PendingPhase& phase, wchar_t (&message)[kDeadlineEventUnits]);
    bool ClaimFinalReport(DWORD specificExitCode);
    void ReportStoppedOnServiceThread(DWORD specificExitCode);
    [[noreturn]] void AwaitEndByOther();
    void FlushOutput() const;
    DWORD ReportedExitCode();
    void WaitForServiceEnd();

    ServiceBody body;
};
