// The generic service state and entry points: status record, process entry,
// service main routine and control handler.
#pragma once

#include "service/win32.h"

class AgentService;

class ServiceFrame {
  public:
    ServiceFrame();
    ~ServiceFrame();
    ServiceFrame(const ServiceFrame&) = delete;
    ServiceFrame& operator=(const ServiceFrame&) = delete;

    // Hands the service table to the SCM and blocks until the service has
    // stopped and its service thread has written its last event. Returns the
    // service's Win32 exit code, or the dispatcher's error when the process was
    // not started by the SCM (1063).
    DWORD StartDispatcher();

    // Body of the service main routine: start-pending, running, Run, stopped.
    void RunService();
    // Control dispatch: stop and shutdown run the stop sequence; pause,
    // continue and interrogate do nothing; anything else is logged.
    void HandleControl(DWORD control);
    // An information event (ID 0) under the service name.
    void ReportInfoEvent(const wchar_t* message);

    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static void WINAPI ControlHandlerEntry(DWORD control);

    // The one service object; set by the constructor.
    static ServiceFrame* instance;

    wchar_t name[256];
    SERVICE_STATUS_HANDLE statusHandle;  // written by the service thread before any control arrives
    SERVICE_STATUS status;               // guarded by statusLock, see below
    DWORD serviceThreadId;
    HINSTANCE moduleInstance;

    // --- State shared by the service thread and the control handler ---
    // statusLock guards `status` and `finalReportStarted`. Each report sends a
    // copy of the record taken under the lock. The control handler holds the
    // lock across its stop-pending report, so that report is either complete
    // before the service thread marks the final report or is never sent. The
    // service thread only ever holds the lock for in-memory updates: Wine's
    // SetServiceStatus(SERVICE_STOPPED) takes the dispatcher lock under which
    // the handler runs, so holding statusLock across it could deadlock.
    CRITICAL_SECTION statusLock;
    bool finalReportStarted;  // set once, by the service thread, before stopped is sent
    // The service thread, opened by itself when it starts; the process entry
    // waits for it so that "Service stopped" is written before the process ends.
    HANDLE serviceThread;

  private:
    AgentService& Agent();
    SERVICE_STATUS SetState(DWORD state);
    void SendStatus(const SERVICE_STATUS& snapshot);
    void ReportStopPending();
    void ReportStopped();
    void RunStopSequence();
    void WaitForServiceThread();
};
