#include "base/worker_thread.h"

WorkerThread::WorkerThread()
    : work(nullptr),
      context(nullptr),
      firstPauseMs(INFINITE),
      wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stopping(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

WorkerThread::~WorkerThread() {
    Stop(kWorkerQuitWaitMs);
}

bool WorkerThread::Start(WorkFunction startedWork, void* startedContext, DWORD pauseMs) {
    if (thread.IsValid() || !wake.IsValid() || !stopping.IsValid() || IsStopping()) {
        return false;
    }
    work = startedWork;
    context = startedContext;
    firstPauseMs = pauseMs;
    thread.Reset(CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr));
    return thread.IsValid();
}

void WorkerThread::Wake() {
    if (wake.IsValid()) {
        SetEvent(wake.Get());
    }
}

bool WorkerThread::Stop(DWORD boundMs) {
    if (stopping.IsValid()) {
        SetEvent(stopping.Get());
    }
    return !thread.IsValid() || WaitForSingleObject(thread.Get(), boundMs) == WAIT_OBJECT_0;
}

bool WorkerThread::IsStopping() const {
    return stopping.IsValid() && WaitForSingleObject(stopping.Get(), 0) == WAIT_OBJECT_0;
}

DWORD WINAPI WorkerThread::ThreadEntry(void* worker) {
    static_cast<WorkerThread*>(worker)->Serve();
    return 0;
}

// The worker's thread: takes no lock of its own, waits only for a wake, the
// stop or the pause the work asked for, and stays in the work as long as it
// takes (whoever needs a bound keeps it with Stop's).
void WorkerThread::Serve() {
    const HANDLE waits[] = {stopping.Get(), wake.Get()};
    DWORD pauseMs = firstPauseMs;
    for (;;) {
        // The stop is first in the list, so that it wins over a wake that
        // came with it; a failed wait ends the thread rather than spin.
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, pauseMs);
        if (woken != WAIT_TIMEOUT && woken != WAIT_OBJECT_0 + 1) {
            return;
        }
        pauseMs = work(context);
    }
}
