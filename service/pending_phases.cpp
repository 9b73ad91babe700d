// The frame's pending phases: the start that waits for the application to be
// ready, the stop, the one watch that reports their progress and keeps their
// deadlines, and the control handler that begins the stop.
#include "service/service_frame.h"

#include <strsafe.h>

namespace {

DWORD TimeLeftMs(const PendingPhase& phase) {
    if (phase.timeoutSeconds == 0) {
        return INFINITE;
    }
    const ULONGLONG deadline = phase.since + phase.timeoutSeconds * 1000ULL;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The wait before the next progress report: an interval, or less when the
// deadline comes first.
DWORD PauseBeforeNextReport(DWORD timeLeftMs) {
    return timeLeftMs < kProgressIntervalMs ? timeLeftMs : kProgressIntervalMs;
}

// The phase whose state the record shows; null when none is under way.
const PendingPhase* CurrentPhase(const SERVICE_STATUS& status, const PendingPhase& start,
                                 const PendingPhase& stop) {
    if (start.state != 0 && status.dwCurrentState == start.state) {
        return &start;
    }
    if (stop.state != 0 && status.dwCurrentState == stop.state) {
        return &stop;
    }
    return nullptr;
}

}  // namespace

// The deadline's event: the phase's text with its seconds, then the file
// that shows where the application's threads stood, when the body wrote one
// in time.
void ServiceFrame::FormatDeadlineEvent(const PendingPhase& phase,
                                       wchar_t (&message)[kDeadlineEventUnits]) {
    StringCchPrintfW(message, ARRAYSIZE(message), phase.deadlineText,
                     static_cast<unsigned long>(phase.timeoutSeconds));
    wchar_t file[kBodyFileUnits] = L"";
    if (body.dumpAtDeadline != nullptr) {
        body.dumpAtDeadline(body.self, file, kDeadlineDumpWaitMs);
    }
    if (file[0] != L'\0') {
        const size_t length = static_cast<size_t>(lstrlenW(message));
        StringCchPrintfW(message + length, ARRAYSIZE(message) - length,
                         L" Its threads at the deadline are in %ls.", file);
    }
}

void ServiceFrame::WaitForReadiness(DWORD timeoutSeconds, DWORD outcomeAtDeadline,
                                    const wchar_t* text) {
    LockGuard guard(statusLock);
    // Windows delivers no control to a starting service; none is advertised.
    startPhase = {SERVICE_START_PENDING, 0,   startPhase.since, timeoutSeconds,
                  outcomeAtDeadline,     text};
    progressReportDue = true;
    // Without the watch there is no progress and no deadline; the start itself goes on.
    StartWatchLocked();
}

DWORD ServiceFrame::PassedStartDeadline() {
    LockGuard guard(statusLock);
    return passedStartDeadline;
}

void ServiceFrame::SetStopDeadline(DWORD seconds, DWORD outcomeAtDeadline, const wchar_t* text) {
    LockGuard guard(statusLock);
    stopPhase.timeoutSeconds = seconds;
    stopPhase.outcomeAtDeadline = outcomeAtDeadline;
    stopPhase.deadlineText = text;
}

DWORD ServiceFrame::StopTimeLeftMs() {
    LockGuard guard(statusLock);
    return stopPhase.state != 0 ? TimeLeftMs(stopPhase) : INFINITE;
}

void ServiceFrame::EndAtStopDeadline() {
    PendingPhase stop;
    {
        LockGuard guard(statusLock);
        stop = stopPhase;
    }
    EndAtDeadline(stop);
}

void ServiceFrame::EndAtDeadline(const PendingPhase& phase) {
    wchar_t message[kDeadlineEventUnits];
    FormatDeadlineEvent(phase, message);
    EndProcessFromAnyThread(phase.outcomeAtDeadline, EVENTLOG_ERROR_TYPE, message);
}

// Under statusLock. A watch that is running is woken to take up the new
// phase; creating a thread takes no lock of ours.
void ServiceFrame::StartWatchLocked() {
    if (watchRunning) {
        SetEvent(watchWake.Get());
        return;
    }
    ResetEvent(watchWake.Get());
    watchThread.Reset(CreateThread(nullptr, 0, WatchEntry, this, 0, nullptr));
    watchRunning = watchThread.IsValid();
}

DWORD WINAPI ServiceFrame::WatchEntry(void* frame) {
    static_cast<ServiceFrame*>(frame)->Watch();
    return 0;
}

// The watch: reports the phase under way once per kProgressIntervalMs and
// keeps its deadline, until no phase is under way or the final report is
// claimed. A start deadline begins the stop, which the same watch then serves.
void ServiceFrame::Watch() {
    DWORD pauseMs = 0;
    while (ReportProgress(&pauseMs)) {
        WaitForSingleObject(watchWake.Get(), pauseMs);
        PassDeadlineIfDue();
    }
}

bool ServiceFrame::ReportProgress(DWORD* pauseMs) {
    LockGuard guard(statusLock);
    const PendingPhase* phase = CurrentPhase(status, startPhase, stopPhase);
    if (watchQuit || finalReportStarted || phase == nullptr) {
        watchRunning = false;
        return false;
    }
    if (progressReportDue) {
        status.dwControlsAccepted = phase->acceptedControls;
        ++status.dwCheckPoint;
        status.dwWaitHint = kPendingWaitHintMs;
        SendStatus(status);
    }
    progressReportDue = true;
    *pauseMs = PauseBeforeNextReport(TimeLeftMs(*phase));
    return true;
}

void ServiceFrame::PassDeadlineIfDue() {
    PendingPhase passed;
    {
        LockGuard guard(statusLock);
        const PendingPhase* phase = CurrentPhase(status, startPhase, stopPhase);
        if (watchQuit || finalReportStarted || phase == nullptr || TimeLeftMs(*phase) != 0) {
            return;
        }
        passed = *phase;
        if (passed.state == SERVICE_START_PENDING) {
            passedStartDeadline = passed.outcomeAtDeadline;
        }
    }
    if (passed.state == SERVICE_STOP_PENDING) {
        EndAtDeadline(passed);
    }
    wchar_t message[kDeadlineEventUnits];
    FormatDeadlineEvent(passed, message);
    WriteEvent(name, EVENTLOG_ERROR_TYPE, message);
    // As a stop: the application's own end, with stop-pending progress and
    // the stop deadline.
    RunStopSequence();
}

// The first request begins the stop phase and its watch; every request is
// reported, unless the final report is already claimed.
void ServiceFrame::ReportStopPending() {
    LockGuard guard(statusLock);
    if (finalReportStarted) {
        return;
    }
    const bool first = stopPhase.state == 0;
    status.dwCurrentState = SERVICE_STOP_PENDING;
    status.dwControlsAccepted = kControlsAccepted;
    ++status.dwCheckPoint;
    status.dwWaitHint = kPendingWaitHintMs;
    SendStatus(status);
    if (first) {
        stopPhase.state = SERVICE_STOP_PENDING;
        stopPhase.since = GetTickCount64();
        progressReportDue = false;
        StartWatchLocked();
    }
}

void ServiceFrame::RunStopSequence() {
    // The handler only reports and signals: the body stops the application on
    // a thread of its own, and the watch reports progress and keeps the
    // deadline however long that takes.
    ReportStopPending();
    body.requestStop(body.self);
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
            bool stopping = false;
            {
                LockGuard guard(statusLock);
                stopping = stopPhase.state != 0;
            }
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
            // The body's user-defined controls only signal a thread of its own:
            // the handler returns at once, and never delays a stop.
            if (body.userControl == nullptr || !body.userControl(body.self, control)) {
                ReportInfoEvent(L"Bad service request");
            }
            break;
    }
}
