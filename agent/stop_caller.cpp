#include "agent/stop_caller.h"

StopCaller::StopCaller()
    : lock(),
      host(nullptr),
      stop(nullptr),
      requests(0),
      requested(false),
      closed(false),
      callsUnderWay(0),
      callsDone(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stopThread(nullptr) {
    InitializeCriticalSection(&lock);
}

StopCaller::~StopCaller() {
    EnterCriticalSection(&lock);
    closed = true;
    LeaveCriticalSection(&lock);
    if (stopThread != nullptr) {
        SetEvent(wake);
        WaitForSingleObject(stopThread, kStopThreadQuitWaitMs);
        CloseHandle(stopThread);
    }
    CloseHandle(callsDone);
    CloseHandle(wake);
    DeleteCriticalSection(&lock);
}

void StopCaller::StartThreadLocked() {
    // Under the lock, so that no second one starts; creating a thread takes no
    // lock of ours.
    if (stopThread == nullptr && !closed) {
        stopThread = CreateThread(nullptr, 0, StopThreadEntry, this, 0, nullptr);
    }
}

void StopCaller::Request() {
    EnterCriticalSection(&lock);
    requested = true;
    ++requests;
    StartThreadLocked();
    LeaveCriticalSection(&lock);
    SetEvent(wake);
}

void StopCaller::Open(RuntimeHost* openedHost, StopFunction openedStop) {
    EnterCriticalSection(&lock);
    host = openedHost;
    stop = openedStop;
    // Started now, so that a stop does not wait for a thread to be made.
    StartThreadLocked();
    LeaveCriticalSection(&lock);
    SetEvent(wake);
}

bool StopCaller::Close(DWORD waitMs) {
    EnterCriticalSection(&lock);
    closed = true;
    host = nullptr;
    LeaveCriticalSection(&lock);
    SetEvent(wake);
    return WaitForSingleObject(callsDone, waitMs) == WAIT_OBJECT_0;
}

bool StopCaller::Requested() {
    EnterCriticalSection(&lock);
    const bool any = requested;
    LeaveCriticalSection(&lock);
    return any;
}

DWORD WINAPI StopCaller::StopThreadEntry(void* caller) {
    static_cast<StopCaller*>(caller)->ServeRequests();
    return 0;
}

// The stop thread: takes no lock but `lock`, waits without bound only for a
// request, and stays inside the application's stop for as long as it takes
// (the stop watch bounds the service's end, not this thread).
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
        WaitForSingleObject(wake, INFINITE);
    }
}

bool StopCaller::TakeRequest(RuntimeHost** callHost, StopFunction* callStop, bool* quit) {
    EnterCriticalSection(&lock);
    *quit = closed;
    const bool take = !closed && host != nullptr && requests > 0;
    if (take) {
        --requests;
        *callHost = host;
        *callStop = stop;
        if (callsUnderWay++ == 0) {
            ResetEvent(callsDone);
        }
    }
    LeaveCriticalSection(&lock);
    return take;
}

void StopCaller::EndCall() {
    EnterCriticalSection(&lock);
    if (--callsUnderWay == 0) {
        SetEvent(callsDone);
    }
    LeaveCriticalSection(&lock);
}
