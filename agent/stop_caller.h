// The stop caller: takes stop requests from the control handler and makes the
// application's stop call on a thread of its own, so that the handler returns
// at once. Windows delivers every service's controls one at a time and waits
// for each handler; a handler inside the application's stop would hold them
// all up, and System.exit never returns.
#pragma once

#include "base/scoped.h"
#include "base/win32.h"
#include "base/worker_thread.h"

struct RuntimeHost;

// Asks the application in `host` to end; on the stop thread, which is attached
// to nothing. May never return.
using StopFunction = void (*)(RuntimeHost& host);

class StopCaller {
  public:
    StopCaller();
    StopCaller(const StopCaller&) = delete;
    StopCaller& operator=(const StopCaller&) = delete;

    // Control handler: records one stop request and wakes the stop thread
    // (started here when Open has not started it). Takes `lock` briefly; never
    // waits on Java.
    void Request();
    // Service thread: the application in `host` can now be asked to end, with
    // `stop`, and the stop thread is started. Requests that came earlier are
    // passed on at once.
    void Open(RuntimeHost* host, StopFunction stop);
    // Service thread, before the host is torn down: no stop call starts from
    // now on. Waits at most `waitMs` for the call under way; false when it is
    // still inside the host (the host must then be left as it is).
    bool Close(DWORD waitMs);

  private:
    static DWORD CallTurn(void* caller);

    // --- Shared by the control handler, the service thread and the stop thread ---
    // `lock` guards every field below it; it is never held across a call into
    // Java, a status report or a wait.
    Lock lock;
    RuntimeHost* host;  // weak; set by Open, while the host may take stop calls
    StopFunction stop;  // set by Open
    unsigned requests;  // requests not yet passed on
    // The stop thread: takes no lock but `lock`, waits without bound only for
    // a request, and stays inside the application's stop for as long as it
    // takes (the frame's watch bounds the service's end, not this thread).
    // Only tests destroy it, waiting at most kWorkerQuitWaitMs.
    WorkerThread thread;
};
