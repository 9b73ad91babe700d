#include "agent/stop_caller.h"

StopCaller::StopCaller() : host(nullptr), stop(nullptr), requests(0) {}

// The stop thread is started under the lock, so that no second one starts
// (creating a thread takes no lock of ours); a closed caller starts none.
void StopCaller::Request() {
    {
        LockGuard guard(lock);
        ++requests;
        thread.Start(CallTurn, this, INFINITE);
    }
    thread.Wake();
}

void StopCaller::Open(RuntimeHost* openedHost, StopFunction openedStop) {
    {
        LockGuard guard(lock);
        host = openedHost;
        stop = openedStop;
        // Started now, so that a stop does not wait for a thread to be made.
        thread.Start(CallTurn, this, INFINITE);
    }
    thread.Wake();
}

bool StopCaller::Close(DWORD waitMs) {
    {
        LockGuard guard(lock);
        host = nullptr;
    }
    return thread.Stop(waitMs);
}

// The stop thread: one request passed on a turn, as long as there are any.
DWORD StopCaller::CallTurn(void* caller) {
    StopCaller* self = static_cast<StopCaller*>(caller);
    RuntimeHost* callHost = nullptr;
    StopFunction callStop = nullptr;
    {
        LockGuard guard(self->lock);
        if (self->host == nullptr || self->requests == 0) {
            return INFINITE;
        }
        --self->requests;
        callHost = self->host;
        callStop = self->stop;
    }
    callStop(*callHost);
    return 0;
}
