#include "service/service_frame.h"

#include <strsafe.h>

#include "service/agent_service.h"
#include "service/event_log.h"
#include "service/service_properties.h"

ServiceFrame* ServiceFrame::instance = nullptr;

namespace {

// The dispatcher's table names the service by this; an own-process service
// may be installed under any name, and takes the one the SCM gives it.
wchar_t defaultServiceName[] = L"MerivastService";

DWORD EventIdFor(WORD eventType) {
    switch (eventType) {
        case EVENTLOG_ERROR_TYPE:
            return kErrorEventId;
        case EVENTLOG_WARNING_TYPE:
            return kWarningEventId;
        default:
            return kInfoEventId;
    }
}

// Ends the process now, with `exitCode`. Not ExitProcess: that would run the
// runtime library's detach code while its threads stand wherever they were
// stopped, possibly holding the loader lock.
// Milliseconds from now until `seconds` after `from` (0 once that has passed);
// INFINITE for 0 seconds, no deadline.
DWORD TimeLeftMs(ULONGLONG from, DWORD seconds) {
    if (seconds == 0) {
        return INFINITE;
    }
    const ULONGLONG deadline = from + seconds * 1000ULL;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The wait before the next progress report: an interval, or less when the
// deadline comes first.
DWORD PauseBeforeNextReport(DWORD timeLeftMs) {
    return timeLeftMs < kStopProgressIntervalMs ? timeLeftMs : kStopProgressIntervalMs;
}

[[noreturn]] void EndProcess(DWORD exitCode) {
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}

}  // namespace

ServiceFrame::ServiceFrame()
    : name(),
      statusHandle(nullptr),
      status(),
      serviceThreadId(0),
      moduleInstance(nullptr),
      statusLock(),
      finalReportStarted(false),
      stopStarted(false),
      stopStartTick(0),
      stopTimeoutSeconds(kDefaultStopTimeoutSeconds),
      startTick(0),
      startTimeoutSeconds(0),
      startDeadlinePassed(false),
      serviceThread(nullptr),
      serviceEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stopWatch(nullptr),
      startWatch(nullptr),
      stopWatchQuit(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      finalReport() {
    instance = this;
    StringCchCopyW(name, ARRAYSIZE(name), defaultServiceName);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    // Shutdown and preshutdown are advertised too: without them the SCM never
    // sends them, and at system shutdown the Java application would be cut off
    // without its stop call. Preshutdown comes first, with the service's own
    // preshutdown time rather than the few seconds shutdown leaves.
    status.dwControlsAccepted = kControlsAccepted;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    InitializeCriticalSection(&statusLock);
}

ServiceFrame::~ServiceFrame() {
    // Only tests destroy a frame; the process's one object lives until the end.
    SetEvent(stopWatchQuit);
    const HANDLE watches[] = {stopWatch, startWatch};
    for (HANDLE watch : watches) {
        if (watch != nullptr) {
            WaitForSingleObject(watch, kEndByOtherWaitMs);
            CloseHandle(watch);
        }
    }
    const HANDLE owned[] = {serviceThread, serviceEnded, stopWatchQuit};
    for (HANDLE handle : owned) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
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
    HANDLE waits[2] = {serviceEnded, thread};
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
        WriteEvent(name, EVENTLOG_WARNING_TYPE, kWarningEventId, message);
        return;
    }
    StringCchCopyW(name, ARRAYSIZE(name), argv[0]);
    SetEventSource(name);
}

DWORD WINAPI ServiceFrame::ControlHandlerEntry(DWORD control, DWORD /*eventType*/,
                                               void* /*eventData*/, void* context) {
    static_cast<ServiceFrame*>(context)->HandleControl(control);
    // Every control is handled, the unknown ones by their event.
    return NO_ERROR;
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
    statusHandle = RegisterServiceCtrlHandlerExW(name, ControlHandlerEntry, this);
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
    EnterCriticalSection(&statusLock);
    startTick = GetTickCount64();
    LeaveCriticalSection(&statusLock);
    // Run reports running, with "Service started": at once, or when the
    // application says it is ready.
    Agent().Run();

    // A run whose Java side failed must not look like a clean stop to the SCM,
    // or its recovery actions never fire.
    const DWORD specific = Agent().exitCode;
    FinishService(specific == kExitNormal ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, specific);
}

bool ServiceFrame::ClaimFinalReport(DWORD win32ExitCode, DWORD specificExitCode) {
    EnterCriticalSection(&statusLock);
    const bool claimed = !finalReportStarted;
    if (claimed) {
        finalReportStarted = true;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWin32ExitCode = win32ExitCode;
        status.dwServiceSpecificExitCode = specificExitCode;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
        finalReport = status;
    }
    LeaveCriticalSection(&statusLock);
    return claimed;
}

void ServiceFrame::FinishService(DWORD win32ExitCode, DWORD specificExitCode) {
    if (!ClaimFinalReport(win32ExitCode, specificExitCode)) {
        AwaitEndByOther();
    }
    SendStatus(finalReport);
    ReportInfoEvent(L"Service stopped");
    SetEvent(serviceEnded);
}

void ServiceFrame::EndService(DWORD win32ExitCode, DWORD specificExitCode, WORD eventType,
                              const wchar_t* message) {
    if (!ClaimFinalReport(win32ExitCode, specificExitCode)) {
        AwaitEndByOther();
    }
    if (message != nullptr) {
        WriteEvent(name, eventType, EventIdFor(eventType), message);
    }
    // Sent from this thread: Wine's SetServiceStatus(SERVICE_STOPPED) waits for
    // the dispatcher's lock, which the control handler holds only while it
    // reports and signals, never while the application stops.
    SendStatus(finalReport);
    ReportInfoEvent(L"Service stopped");
    EndProcess(win32ExitCode);
}

void ServiceFrame::AwaitEndByOther() {
    // The owner of the final report ends the process when it is done; if it
    // takes too long, this thread ends it with the codes the owner reported.
    Sleep(kEndByOtherWaitMs);
    EndProcess(ReportedExitCode());
}

DWORD ServiceFrame::ReportedExitCode() {
    EnterCriticalSection(&statusLock);
    const DWORD code = status.dwWin32ExitCode;
    LeaveCriticalSection(&statusLock);
    return code;
}

void ServiceFrame::SetStopTimeout(DWORD seconds) {
    EnterCriticalSection(&statusLock);
    stopTimeoutSeconds = seconds;
    LeaveCriticalSection(&statusLock);
}

DWORD ServiceFrame::StopTimeLeftMs() {
    EnterCriticalSection(&statusLock);
    const DWORD left = stopStarted ? TimeLeftMs(stopStartTick, stopTimeoutSeconds) : INFINITE;
    LeaveCriticalSection(&statusLock);
    return left;
}

void ServiceFrame::EndAtStopDeadline() {
    EnterCriticalSection(&statusLock);
    const DWORD seconds = stopTimeoutSeconds;
    LeaveCriticalSection(&statusLock);
    wchar_t message[128];
    StringCchPrintfW(
        message, ARRAYSIZE(message),
        L"The Java application did not end within %lu s of the stop request; the service ends it.",
        static_cast<unsigned long>(seconds));
    EndService(ERROR_SERVICE_SPECIFIC_ERROR, kExitStopDeadlinePassed, EVENTLOG_ERROR_TYPE, message);
}

bool ServiceFrame::ReportStopPending() {
    EnterCriticalSection(&statusLock);
    bool first = false;
    if (!finalReportStarted) {
        first = !stopStarted;
        if (first) {
            stopStarted = true;
            stopStartTick = GetTickCount64();
        }
        status.dwCurrentState = SERVICE_STOP_PENDING;
        status.dwControlsAccepted = kControlsAccepted;
        ++status.dwCheckPoint;
        status.dwWaitHint = kStopWaitHintMs;
        SendStatus(status);
    }
    LeaveCriticalSection(&statusLock);
    return first;
}

void ServiceFrame::ReportRunning() {
    EnterCriticalSection(&statusLock);
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
    LeaveCriticalSection(&statusLock);
}

void ServiceFrame::WaitForReadiness(DWORD timeoutSeconds) {
    EnterCriticalSection(&statusLock);
    startTimeoutSeconds = timeoutSeconds;
    LeaveCriticalSection(&statusLock);
    // Without the watch there is no progress and no deadline; the start itself goes on.
    startWatch = CreateThread(nullptr, 0, StartWatchEntry, this, 0, nullptr);
}

bool ServiceFrame::StartDeadlinePassed() {
    EnterCriticalSection(&statusLock);
    const bool passed = startDeadlinePassed;
    LeaveCriticalSection(&statusLock);
    return passed;
}

DWORD ServiceFrame::StartTimeLeftMs() {
    EnterCriticalSection(&statusLock);
    const DWORD left = TimeLeftMs(startTick, startTimeoutSeconds);
    LeaveCriticalSection(&statusLock);
    return left;
}

bool ServiceFrame::ReportStartProgress() {
    EnterCriticalSection(&statusLock);
    const bool starting = !finalReportStarted && status.dwCurrentState == SERVICE_START_PENDING;
    if (starting) {
        // Windows delivers no control to a starting service; none is advertised.
        status.dwControlsAccepted = 0;
        ++status.dwCheckPoint;
        status.dwWaitHint = kStopWaitHintMs;
        SendStatus(status);
    }
    LeaveCriticalSection(&statusLock);
    return starting;
}

DWORD WINAPI ServiceFrame::StartWatchEntry(void* frame) {
    static_cast<ServiceFrame*>(frame)->WatchStart();
    return 0;
}

// The start watch: reports start-pending once per kStopProgressIntervalMs with a
// rising check point until running (or anything else) is reported, and at the
// start deadline ends the application as a stop does. Takes statusLock around
// each report; waits at most one interval at a time, on stopWatchQuit.
void ServiceFrame::WatchStart() {
    for (;;) {
        if (!ReportStartProgress()) {
            return;
        }
        if (WaitForSingleObject(stopWatchQuit, PauseBeforeNextReport(StartTimeLeftMs())) ==
            WAIT_OBJECT_0) {
            return;
        }
        if (StartTimeLeftMs() == 0) {
            EndAtStartDeadline();
            return;
        }
    }
}

void ServiceFrame::EndAtStartDeadline() {
    EnterCriticalSection(&statusLock);
    const bool starting = !finalReportStarted && status.dwCurrentState == SERVICE_START_PENDING;
    startDeadlinePassed = starting;
    const DWORD seconds = startTimeoutSeconds;
    LeaveCriticalSection(&statusLock);
    if (!starting) {
        return;
    }
    wchar_t message[128];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"The Java application was not ready within %lu s of the start; the service "
                     L"ends it.",
                     static_cast<unsigned long>(seconds));
    WriteEvent(name, EVENTLOG_ERROR_TYPE, kErrorEventId, message);
    // As a stop: the application's own end (System.exit and its hooks), with
    // stop-pending progress and the stop deadline.
    RunStopSequence();
}

bool ServiceFrame::ReportStopProgress() {
    EnterCriticalSection(&statusLock);
    const bool stopping = !finalReportStarted;
    if (stopping) {
        ++status.dwCheckPoint;
        SendStatus(status);
    }
    LeaveCriticalSection(&statusLock);
    return stopping;
}

DWORD WINAPI ServiceFrame::StopWatchEntry(void* frame) {
    static_cast<ServiceFrame*>(frame)->WatchStop();
    return 0;
}

void ServiceFrame::WatchStop() {
    for (;;) {
        if (WaitForSingleObject(stopWatchQuit, PauseBeforeNextReport(StopTimeLeftMs())) ==
            WAIT_OBJECT_0) {
            return;
        }
        if (StopTimeLeftMs() == 0) {
            EndAtStopDeadline();
        }
        if (!ReportStopProgress()) {
            return;
        }
    }
}

void ServiceFrame::StartStopWatch() {
    // Without the watch there is no progress and the deadline holds only in the
    // tear-down; the stop itself goes on.
    stopWatch = CreateThread(nullptr, 0, StopWatchEntry, this, 0, nullptr);
}

void ServiceFrame::RunStopSequence() {
    // The handler only reports and signals: the stop call runs on the stop
    // caller's thread, and the watch reports progress and keeps the deadline
    // however long that call takes.
    if (ReportStopPending()) {
        StartStopWatch();
    }
    Agent().OnStop();
}

void ServiceFrame::HandleControl(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
            RunStopSequence();
            break;
        case SERVICE_CONTROL_SHUTDOWN: {
            // After preshutdown (or a stop) the application has had its stop
            // call and the stop is under way; shutdown adds nothing to it.
            EnterCriticalSection(&statusLock);
            const bool stopping = stopStarted;
            LeaveCriticalSection(&statusLock);
            if (!stopping) {
                RunStopSequence();
            }
            break;
        }
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
