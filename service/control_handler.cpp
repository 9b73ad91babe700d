// The control handler: what each control the SCM sends does. It only reports
// and signals, and returns at once.
#include "service/service_frame.h"

DWORD WINAPI ServiceFrame::ControlHandlerEntry(DWORD control, DWORD /*eventType*/,
                                               void* /*eventData*/, void* context) {
    static_cast<ServiceFrame*>(context)->HandleControl(control);
    // Every control is handled, the unknown ones by their event.
    return NO_ERROR;
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
