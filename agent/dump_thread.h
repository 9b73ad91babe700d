// The dump thread: what the application's threads and heap look like, on
// request (user-defined controls 255 and 254), before a deadline ends the
// service, and when the deadlock watch finds deadlocked Java threads. The
// control handler and the deadlines only signal it; it asks the runtime on a
// thread of its own, so that neither the handler nor a stop waits for a dump.
#pragma once

#include "agent/dump_files.h"
#include "agent/service_properties.h"
#include "base/paths.h"
#include "base/scoped.h"
#include "base/win32.h"
#include "base/worker_thread.h"
#include "jvmhost/runtime_diagnostics.h"
#include "service/service_frame.h"

// The user-defined controls the service takes (sc control <name> 255).
constexpr DWORD kThreadDumpControl = 255;
constexpr DWORD kHeapDumpControl = 254;

// The most deadlocked threads the watch remembers as reported.
constexpr size_t kReportedThreadsMost = 64;

class DumpThread {
  public:
    DumpThread();
    DumpThread(const DumpThread&) = delete;
    DumpThread& operator=(const DumpThread&) = delete;

    // Service thread, once the application can be asked: the runtime to ask,
    // the logs folder, the watch, and the frame that ends the service at a
    // deadlock under watch.deadlock=restart. Starts the thread.
    void Open(RuntimeHost* host, const HostLayout* layout, const ServiceProperties& properties,
              ServiceFrame* frame);
    // Control handler: records a request for a thread dump (255) or a heap
    // dump (254) and wakes the thread; one of that kind already asked for or
    // being written takes it. False for any other control. Takes `lock`
    // briefly; before Open and after Close, writes the event that says no
    // dump can be made.
    bool Request(DWORD control);
    // The frame's watch or the service thread, at a deadline: a thread dump
    // (one under way takes the request), waiting at most `waitMs`; its file
    // in `file`, empty when none was written in that time.
    void DumpAtDeadline(wchar_t (&file)[kBodyFileUnits], DWORD waitMs);
    // Service thread, before the host is torn down: no question to the runtime
    // starts from now on. Waits at most `waitMs` for the one under way; false
    // when it is still inside the host (which must then be left as it is).
    bool Close(DWORD waitMs);

  private:
    enum class Job { kNone, kThreads, kHeap, kWatch };
    static DWORD DumpTurn(void* dumper);
    // The file of the thread dump numbered `target` once it has ended.
    bool TakeEndedDump(unsigned target, wchar_t (&file)[kBodyFileUnits]);
    Job TakeJob(DWORD* waitMs, RuntimeHost** jobHost);
    // True when a control asked for the thread dump that ended, which its
    // event then names.
    bool EndJob(Job job, const wchar_t* file);
    void AnswerThreadRequest(const RuntimeHost& jobHost);
    void AnswerHeapRequest(const RuntimeHost& jobHost);
    void CheckForDeadlock(const RuntimeHost& jobHost);
    bool IsNewDeadlock(const jlong* ids, size_t count);

    // --- Shared by the control handler, the frame's watch, the service
    // thread and the dump thread ---
    // `lock` guards every field below it up to `thread`; it is never held
    // across a call into Java, a file write, an event or a wait.
    Lock lock;
    RuntimeHost* host;                       // weak; set by Open, cleared by Close
    const HostLayout* layout;                // weak
    ServiceFrame* frame;                     // weak
    DeadlockWatch watch;                     // read-only after Open
    DWORD intervalMs;                        // read-only after Open; 0: no watch
    ULONGLONG nextCheck;                     // GetTickCount64 of the watch's next question
    bool threadsWanted;                      // a thread dump asked for and not yet begun
    bool heapWanted;                         // a heap dump asked for and not yet begun
    bool threadsAnnounced;                   // a control asked for the next thread dump to end
    Job under;                               // the job under way
    unsigned threadDumpsEnded;               // thread dumps ended, written or not
    wchar_t lastThreadDump[kBodyFileUnits];  // the last one's file; empty when it failed
    // The deadlocked threads already reported, so that one deadlock gives one
    // event; the dump thread's own, outside the lock.
    jlong reported[kReportedThreadsMost];
    size_t reportedCount;
    ScopedHandle threadsDone;  // auto-reset: a thread dump ended
    // Started by Open. The dump thread takes no other lock of the host's but
    // the frame's status lock, briefly, when the watch ends the service; it
    // waits without bound only for a request or the next check, and stays
    // inside the runtime for as long as a question takes. Only tests destroy
    // it, waiting at most kWorkerQuitWaitMs.
    WorkerThread thread;
};
