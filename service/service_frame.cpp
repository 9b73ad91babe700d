#include "service/service_frame.h"

#include <strsafe.h>

#include "service/agent_service.h"
#include "service/event_log.h"

ServiceFrame* ServiceFrame::instance = nullptr;

ServiceFrame::ServiceFrame()
    : name(),
      statusHandle(nullptr),
      status(),
      serviceThreadId(0),
      moduleInstance(nullptr),
      statusLock(),
      finalReportStarted(false),
      serviceThread(nullptr) {
    instance = this;
    StringCchCopyW(name, ARRAYSIZE(name), L"MerivastService");
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    // Shutdown is advertised too: without it the SCM never sends it, and at
    // system shutdown the Java application would be cut off without its stop call.
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    InitializeCriticalSection(&statusLock);
}

ServiceFrame::~ServiceFrame() {
    if (serviceThread != nullptr) {
        CloseHandle(serviceThread);
    }
    DeleteCriticalSection(&statusLock);
    if (instance == this) {
        instance = nullptr;
    }
}

AgentService& ServiceFrame::Agent() {
    return *static_cast<AgentService*>(this);
}

DWORD ServiceFrame::StartDispatcher() {
    SERVICE_TABLE_ENTRYW table[2] = {{name, ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        status.dwWin32ExitCode = error;
        return error;
    }
    WaitForServiceThread();
    return status.dwWin32ExitCode;
}

void ServiceFrame::WaitForServiceThread() {
    // The dispatcher returns as soon as stopped is reported, and returning from
    // the process entry would end the service thread before its last event.
    HANDLE thread =
        static_cast<HANDLE>(InterlockedCompareExchangePointer(&serviceThread, nullptr, nullptr));
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
    }
}

void WINAPI ServiceFrame::ServiceMainEntry(DWORD /*argc*/, LPWSTR* /*argv*/) {
    instance->RunService();
}

void WINAPI ServiceFrame::ControlHandlerEntry(DWORD control) {
    instance->HandleControl(control);
}

SERVICE_STATUS ServiceFrame::SetState(DWORD state) {
    EnterCriticalSection(&statusLock);
    status.dwCurrentState = state;
    const SERVICE_STATUS snapshot = status;
    LeaveCriticalSection(&statusLock);
    return snapshot;
}

void ServiceFrame::SendStatus(const SERVICE_STATUS& snapshot) {
    SERVICE_STATUS copy = snapshot;
    SetServiceStatus(statusHandle, &copy);
}

void ServiceFrame::RunService() {
    HANDLE self = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    InterlockedExchangePointer(&serviceThread, self);

    SetState(SERVICE_START_PENDING);
    statusHandle = RegisterServiceCtrlHandlerW(name, ControlHandlerEntry);
    if (statusHandle == nullptr) {
        ReportInfoEvent(L"Handler not installed");
        return;
    }
    SendStatus(SetState(SERVICE_START_PENDING));

    EnterCriticalSection(&statusLock);
    status.dwWin32ExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    LeaveCriticalSection(&statusLock);

    serviceThreadId = GetCurrentThreadId();
    ReportInfoEvent(L"Service started");
    SendStatus(SetState(SERVICE_RUNNING));
    Agent().Run();

    EnterCriticalSection(&statusLock);
    // A run whose Java side failed must not look like a clean stop to the SCM,
    // or its recovery actions never fire.
    status.dwWin32ExitCode =
        Agent().exitCode == kExitNormal ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = Agent().exitCode;
    LeaveCriticalSection(&statusLock);

    ReportStopped();
    ReportInfoEvent(L"Service stopped");
}

void ServiceFrame::ReportStopped() {
    EnterCriticalSection(&statusLock);
    finalReportStarted = true;
    status.dwCurrentState = SERVICE_STOPPED;
    const SERVICE_STATUS snapshot = status;
    LeaveCriticalSection(&statusLock);
    SendStatus(snapshot);
}

void ServiceFrame::ReportStopPending() {
    EnterCriticalSection(&statusLock);
    if (!finalReportStarted) {
        status.dwCurrentState = SERVICE_STOP_PENDING;
        SendStatus(status);
    }
    LeaveCriticalSection(&statusLock);
}

void ServiceFrame::RunStopSequence() {
    ReportStopPending();
    Agent().OnStop();
}

void ServiceFrame::HandleControl(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            RunStopSequence();
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
            break;
        default:
            ReportInfoEvent(L"Bad service request");
            break;
    }
}

void ServiceFrame::ReportInfoEvent(const wchar_t* message) {
    WriteEvent(name, EVENTLOG_INFORMATION_TYPE, kInfoEventId, message);
}
