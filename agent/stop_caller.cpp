#include "agent/stop_caller.h"

StopCaller::StopCaller()
    : host(nullptr),
      stop(nullptr),
      requests(0),
      closed(false),
      callsUnderWay(0),
      callsDone(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

StopCaller::~StopCaller() {
    {
        LockGuard guard(lock);
        closed = true;
    }
    if (stopThread.IsValid()) {
        SetEvent(wake.Get());
        WaitForSingleObject(stopThread.Get(), kStopThreadQuitWaitMs);
    }
}

void StopCaller::StartThreadLocked() {
    // Under the lock, so that no second one starts; creating a thread takes no
    // lock of ours.
    if (!stopThread.IsValid() && !closed) {
        stopThread.Reset(CreateThread(nullptr, 0, StopThreadEntry, this, 0, nullptr));
    }
}

void StopCaller::Request() {
    {
        LockGuard guard(lock);
        ++requests;
        StartThreadLocked();
    }
    SetEvent(wake.Get());
}

void StopCaller::Open(RuntimeHost* openedHost, StopFunction openedStop) {
    {
        LockGuard guard(lock);
        host = openedHost;
        stop = openedStop;
        // Started now, so that a stop does not wait for a thread to be made.
        StartThreadLocked();
    }
    SetEvent(wake.Get());
}

bool StopCaller::Close(DWORD waitMs) {
    {
        LockGuard guard(lock);
        closed = true;
        host = nullptr;
    }
    SetEvent(wake.Get());
    return WaitForSingleObject(callsDone.Get(), waitMs) == WAIT_OBJECT_0;
}

DWORD WINAPI StopCaller::StopThreadEntry(void* caller) {
    static_cast<StopCaller*>(caller)->ServeRequests();
    return 0;
}

// The stop thread: takes no lock but `lock`, waits without bound only for a
// request, and stays inside the application's stop for as long as it takes
// (the frame's watch bounds the service's end, not this thread).
void StopCaller::ServeRequests() {
    for (;;) {
        RuntimeHost* callHost = nullptr;
        StopFunction callStop = nullptr;
        bool quit = false;
        if (TakeRequest(&callHost, &callStop, &quit)) {
            callStop(*callHost);
            EndCall();
            continue;
        }
        if (quit) {
            return;
        }
        WaitForSingleObject(wake.Get(), INFINITE);
    }
}

bool StopCaller::TakeRequest(RuntimeHost** callHost, StopFunction* callStop, bool* quit) {
    LockGuard guard(lock);
    *quit = closed;
    const bool take = !closed && host != nullptr && requests > 0;
    if (take) {
        --requests;
        *callHost = host;
        *callStop = stop;
        if (callsUnderWay++ == 0) {
            ResetEvent(callsDone.Get());
        }
    }
    return take;
}

void StopCaller::EndCall() {
    LockGuard guard(lock);
    if (--callsUnderWay == 0) {
        SetEvent(callsDone.Get());
    }
}
