// One thread that repeats a piece of work: after a pause the work itself
// chooses, or at once when woken ("do the work now"), until it is stopped.
// The house's background threads (the pending-phase watch, the stop caller,
// the dump watch, the health checks) are each one of these and their own state.
#pragma once

#include "base/scoped.h"
#include "base/win32.h"

// The work, called on the worker's thread with the context given to Start.
// Returns the pause before the next call in milliseconds; INFINITE waits
// for a Wake. It may check IsStopping to cut a long piece of work short.
using WorkFunction = DWORD (*)(void* context);

class WorkerThread {
  public:
    WorkerThread();
    // Stops the thread, waiting at most kWorkerQuitWaitMs.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread, which first calls `work` after `firstPauseMs` (or at
    // a Wake). False when the thread could not be made, or one was started
    // before, or Stop came first; nothing runs then. Threads that may start
    // it at once hold a lock of their own around it.
    bool Start(WorkFunction work, void* context, DWORD firstPauseMs);
    // Any thread: the work runs as soon as the call under way (if any) ends.
    // Wakes that come during one call are one wake.
    void Wake();
    // Any thread: no call starts from now on; waits at most `boundMs` for the
    // call under way. False when the thread is still inside its work (it ends
    // once the work returns; the worker must then outlive it, so only workers
    // that live to the end of the process may be left so).
    bool Stop(DWORD boundMs);
    // The worker's thread, inside the work: true once Stop was called.
    bool IsStopping() const;
    bool IsStarted() const { return thread.IsValid(); }

  private:
    static DWORD WINAPI ThreadEntry(void* worker);
    void Serve();

    // --- Written before the thread starts, read-only after ---
    WorkFunction work;
    void* context;  // weak
    DWORD firstPauseMs;
    // --- Shared with any thread; events need no lock ---
    ScopedHandle wake;      // auto-reset: one Wake, or the stop
    ScopedHandle stopping;  // manual-reset: set once by Stop
    ScopedHandle thread;    // set by Start on the starting thread only
};

constexpr DWORD kWorkerQuitWaitMs = 5000;
