#include "service/service_frame.h"

#include <strsafe.h>

ServiceFrame* ServiceFrame::instance = nullptr;

namespace {

// The dispatcher's table names the service by this; an own-process service
// may be installed under any name, and takes the one the SCM gives it.
wchar_t defaultServiceName[] = L"MerivastService";

// Ends the process now, with `exitCode`. Not ExitProcess: that would run the
// runtime library's detach code while its threads stand wherever they were
// stopped, possibly holding the loader lock.
[[noreturn]] void EndProcess(DWORD exitCode) {
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}

}  // namespace

ServiceFrame::ServiceFrame(const ServiceBody& serviceBody)
    : name(),
      statusHandle(nullptr),
      status(),
      finalReportStarted(false),
      startPhase(),
      stopPhase(),
      progressReportDue(true),
      passedStartDeadline(0),
      finalReport(),
      serviceThread(nullptr),
      serviceEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      body(serviceBody) {
    instance = this;
    StringCchCopyW(name, ARRAYSIZE(name), defaultServiceName);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    // Shutdown and preshutdown are advertised too: without them the SCM never
    // sends them, and at system shutdown the Java application would be cut off
    // without its stop call. Preshutdown comes first, with the service's own
    // preshutdown time rather than the few seconds shutdown leaves.
    status.dwControlsAccepted = kControlsAccepted;
    stopPhase.acceptedControls = kControlsAccepted;
}

ServiceFrame::~ServiceFrame() {
    watch.Stop(kEndByOtherWaitMs);
    if (serviceThread != nullptr) {
        CloseHandle(serviceThread);
    }
    if (instance == this) {
        instance = nullptr;
    }
}

DWORD ServiceFrame::StartDispatcher() {
    SERVICE_TABLE_ENTRYW table[2] = {{defaultServiceName, ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        status.dwWin32ExitCode = error;
        return error;
    }
    WaitForServiceEnd();
    return ReportedExitCode();
}

void ServiceFrame::WaitForServiceEnd() {
    // The dispatcher returns as soon as stopped is reported, and returning from
    // the process entry would end the process before the last event. A thread
    // that ends the service in any other way ends the process itself, so the
    // wait is bounded.
    HANDLE thread =
        static_cast<HANDLE>(InterlockedCompareExchangePointer(&serviceThread, nullptr, nullptr));
    HANDLE waits[2] = {serviceEnded.Get(), thread};
    WaitForMultipleObjects(thread != nullptr ? 2 : 1, waits, FALSE, kEndByOtherWaitMs);
}

void WINAPI ServiceFrame::ServiceMainEntry(DWORD argc, LPWSTR* argv) {
    instance->AdoptServiceName(argc, argv);
    instance->RunService();
}

// Several services may run this executable, each from its own folder: each
// writes its events under its own name. The SCM allows 256 characters, an
// event source (a registry key's name) 255; such a name keeps the default.
void ServiceFrame::AdoptServiceName(DWORD argc, LPWSTR* argv) {
    if (argc == 0 || argv == nullptr || argv[0] == nullptr || argv[0][0] == L'\0') {
        return;
    }
    size_t length = 0;
    if (FAILED(StringCchLengthW(argv[0], ARRAYSIZE(name), &length))) {
        wchar_t message[160];
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The service name is longer than %u characters, the most an event "
                         L"source can have; its events are written under %ls.",
                         static_cast<unsigned>(ARRAYSIZE(name) - 1), name);
        WriteEvent(name, EVENTLOG_WARNING_TYPE, message);
        return;
    }
    StringCchCopyW(name, ARRAYSIZE(name), argv[0]);
    SetEventSource(name);
}

SERVICE_STATUS ServiceFrame::SetState(DWORD state) {
    LockGuard guard(statusLock);
    status.dwCurrentState = state;
    return status;
}

void ServiceFrame::SendStatus(const SERVICE_STATUS& snapshot) {
    SERVICE_STATUS copy = snapshot;
    SetServiceStatus(statusHandle, &copy);
}

void ServiceFrame::RunService() {
    HANDLE self = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    InterlockedExchangePointer(&serviceThread, self);

    SetState(SERVICE_START_PENDING);
    statusHandle = RegisterServiceCtrlHandlerExW(name, ControlHandlerEntry, this);
    if (statusHandle == nullptr) {
        ReportInfoEvent(L"Handler not installed");
        return;
    }
    SendStatus(SetState(SERVICE_START_PENDING));
    {
        LockGuard guard(statusLock);
        status.dwWin32ExitCode = 0;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
        startPhase.since = GetTickCount64();
    }
    // The body reports running, with "Service started": at once, or when the
    // application says it is ready.
    ReportStoppedOnServiceThread(body.run(body.self));
}

bool ServiceFrame::ClaimFinalReport(DWORD specificExitCode) {
    LockGuard guard(statusLock);
    if (finalReportStarted) {
        return false;
    }
    // A run that failed must not look like a clean stop to the SCM, or its
    // recovery actions never fire.
    finalReportStarted = true;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = specificExitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    finalReport = status;
    return true;
}

void ServiceFrame::ReportStoppedOnServiceThread(DWORD specificExitCode) {
    if (!ClaimFinalReport(specificExitCode)) {
        AwaitEndByOther();
    }
    FlushOutput();
    SendStatus(finalReport);
    ReportInfoEvent(L"Service stopped");
    SetEvent(serviceEnded.Get());
}

void ServiceFrame::EndProcessFromAnyThread(DWORD specificExitCode, WORD eventType,
                                           const wchar_t* message) {
    if (!ClaimFinalReport(specificExitCode)) {
        AwaitEndByOther();
    }
    FlushOutput();
    if (message != nullptr) {
        WriteEvent(name, eventType, message);
    }
    // Sent from this thread: Wine's SetServiceStatus(SERVICE_STOPPED) waits for
    // the dispatcher's lock, which the control handler holds only while it
    // reports and signals, never while the application stops.
    SendStatus(finalReport);
    ReportInfoEvent(L"Service stopped");
    EndProcess(finalReport.dwWin32ExitCode);
}

void ServiceFrame::FlushOutput() const {
    if (flushOutput != nullptr) {
        flushOutput();
    }
}

void ServiceFrame::AwaitEndByOther() {
    // The owner of the final report ends the process when it is done; if it
    // takes too long, this thread ends it with the codes the owner reported.
    Sleep(kEndByOtherWaitMs);
    EndProcess(ReportedExitCode());
}

DWORD ServiceFrame::ReportedExitCode() {
    LockGuard guard(statusLock);
    return status.dwWin32ExitCode;
}

void ServiceFrame::ReportRunning() {
    LockGuard guard(statusLock);
    if (!finalReportStarted && status.dwCurrentState == SERVICE_START_PENDING) {
        // Under the lock, so that nothing is reported between the event and
        // the report it announces.
        ReportInfoEvent(L"Service started");
        status.dwCurrentState = SERVICE_RUNNING;
        status.dwControlsAccepted = kControlsAccepted;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
        SendStatus(status);
    }
}

void ServiceFrame::ReportInfoEvent(const wchar_t* message) {
    WriteEvent(name, EVENTLOG_INFORMATION_TYPE, message);
}
