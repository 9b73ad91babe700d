// The frame's pending phases: the start that waits for the application to be
// ready, the stop, and the one watch that reports their progress and keeps
// their deadlines.
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
// phase; creating its thread takes no lock of ours.
void ServiceFrame::StartWatchLocked() {
    if (!watch.Start(WatchTurn, this, 0)) {
        watch.Wake();
    }
}

// One turn of the watch: a deadline that has passed ends its phase (a start
// deadline begins the stop, which the same watch then serves), and the phase
// under way is reported. Its pause lasts until the next report or deadline,
// and while no phase is under way until the next phase wakes it.
DWORD ServiceFrame::WatchTurn(void* frame) {
    ServiceFrame* self = static_cast<ServiceFrame*>(frame);
    self->PassDeadlineIfDue();
    return self->ReportProgress();
}

DWORD ServiceFrame::ReportProgress() {
    LockGuard guard(statusLock);
    const PendingPhase* phase = CurrentPhase(status, startPhase, stopPhase);
    if (watch.IsStopping() || finalReportStarted || phase == nullptr) {
        return INFINITE;
    }
    if (progressReportDue) {
        status.dwControlsAccepted = phase->acceptedControls;
        ++status.dwCheckPoint;
        status.dwWaitHint = kPendingWaitHintMs;
        SendStatus(status);
    }
    progressReportDue = true;
    return PauseBeforeNextReport(TimeLeftMs(*phase));
}

void ServiceFrame::PassDeadlineIfDue() {
    PendingPhase passed;
    {
        LockGuard guard(statusLock);
        const PendingPhase* phase = CurrentPhase(status, startPhase, stopPhase);
        if (watch.IsStopping() || finalReportStarted || phase == nullptr ||
            TimeLeftMs(*phase) != 0) {
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
