#include "agent/dump_thread.h"

#include <strsafe.h>

#include "agent/dump_files.h"
#include "base/event_log.h"
#include "base/outcome.h"

DumpThread::DumpThread()
    : host(nullptr),
      layout(nullptr),
      frame(nullptr),
      watch(kWatchOff),
      intervalMs(0),
      nextCheck(0),
      threadsWanted(false),
      heapWanted(false),
      threadsAnnounced(false),
      under(Job::kNone),
      threadDumpsEnded(0),
      lastThreadDump(),
      reported(),
      reportedCount(0),
      threadsDone(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void DumpThread::Open(RuntimeHost* openedHost, const HostLayout* hostLayout,
                      const ServiceProperties& properties, ServiceFrame* serviceFrame) {
    LockGuard guard(lock);
    host = openedHost;
    layout = hostLayout;
    frame = serviceFrame;
    watch = properties.deadlockWatch;
    intervalMs = watch == kWatchOff ? 0 : properties.watchIntervalSeconds * 1000;
    nextCheck = GetTickCount64() + intervalMs;
    // Creating a thread takes no lock of ours.
    thread.Start(DumpTurn, this, 0);
}

bool DumpThread::Request(DWORD control) {
    if (control != kThreadDumpControl && control != kHeapDumpControl) {
        return false;
    }
    const bool threads = control == kThreadDumpControl;
    bool open = false;
    {
        LockGuard guard(lock);
        open = host != nullptr && thread.IsStarted();
        if (open && threads) {
            threadsWanted = threadsWanted || under != Job::kThreads;
            threadsAnnounced = true;
        } else if (open && !threads && under != Job::kHeap) {
            heapWanted = true;
        }
    }
    if (!open) {
        ReportNoDump(threads ? L"thread dump" : L"heap dump",
                     L"the Java application is not running");
        return true;
    }
    thread.Wake();
    return true;
}

void DumpThread::DumpAtDeadline(wchar_t (&file)[kBodyFileUnits], DWORD waitMs) {
    file[0] = L'\0';
    unsigned target = 0;
    {
        LockGuard guard(lock);
        if (host == nullptr || !thread.IsStarted()) {
            return;
        }
        threadsWanted = threadsWanted || under != Job::kThreads;
        target = threadDumpsEnded + 1;
    }
    thread.Wake();
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (!TakeEndedDump(target, file)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return;
        }
        WaitForSingleObject(threadsDone.Get(), static_cast<DWORD>(deadline - now));
    }
}

bool DumpThread::TakeEndedDump(unsigned target, wchar_t (&file)[kBodyFileUnits]) {
    LockGuard guard(lock);
    if (threadDumpsEnded < target) {
        return false;
    }
    StringCchCopyW(file, kBodyFileUnits, lastThreadDump);
    return true;
}

bool DumpThread::Close(DWORD waitMs) {
    {
        LockGuard guard(lock);
        host = nullptr;
    }
    return thread.Stop(waitMs);
}

// The dump thread: one job a turn, as long as there are any; then a pause
// until the deadlock watch's next check, or a request.
DWORD DumpThread::DumpTurn(void* dumper) {
    DumpThread* self = static_cast<DumpThread*>(dumper);
    DWORD pauseMs = INFINITE;
    RuntimeHost* jobHost = nullptr;
    switch (self->TakeJob(&pauseMs, &jobHost)) {
        case Job::kNone:
            return pauseMs;
        case Job::kThreads:
            self->AnswerThreadRequest(*jobHost);
            break;
        case Job::kHeap:
            self->AnswerHeapRequest(*jobHost);
            break;
        case Job::kWatch:
            self->CheckForDeadlock(*jobHost);
            break;
    }
    return 0;
}

// Thread dumps first: a deadline may be waiting for one.
DumpThread::Job DumpThread::TakeJob(DWORD* waitMs, RuntimeHost** jobHost) {
    LockGuard guard(lock);
    if (host == nullptr) {
        return Job::kNone;
    }
    *jobHost = host;
    const ULONGLONG now = GetTickCount64();
    Job job = Job::kNone;
    if (threadsWanted) {
        threadsWanted = false;
        job = Job::kThreads;
    } else if (heapWanted) {
        heapWanted = false;
        job = Job::kHeap;
    } else if (intervalMs != 0 && now >= nextCheck) {
        nextCheck = now + intervalMs;
        job = Job::kWatch;
    } else if (intervalMs != 0) {
        *waitMs = static_cast<DWORD>(nextCheck - now);
    }
    under = job;
    return job;
}

bool DumpThread::EndJob(Job job, const wchar_t* file) {
    bool announce = false;
    {
        LockGuard guard(lock);
        if (job == Job::kThreads) {
            ++threadDumpsEnded;
            StringCchCopyW(lastThreadDump, ARRAYSIZE(lastThreadDump), file);
            announce = threadsAnnounced;
            threadsAnnounced = false;
        }
        under = Job::kNone;
    }
    if (job == Job::kThreads) {
        SetEvent(threadsDone.Get());
    }
    return announce;
}

// layout and frame are read without the lock: Open wrote them before it
// started this thread. A job uses the host it was taken with; Close waits
// for it before the host is torn down.
void DumpThread::AnswerThreadRequest(const RuntimeHost& jobHost) {
    wchar_t path[kBodyFileUnits];
    WideText why;
    const bool written = WriteThreadDump(jobHost, layout->logsDir, path, &why);
    // A deadline's dump is named in the deadline's event.
    if (!EndJob(Job::kThreads, path)) {
        return;
    }
    if (!written) {
        ReportNoDump(L"thread dump", why.Chars());
        return;
    }
    wchar_t message[kBodyFileUnits + 64];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"A thread dump of the Java application was written to %ls.", path);
    frame->ReportInfoEvent(message);
}

void DumpThread::AnswerHeapRequest(const RuntimeHost& jobHost) {
    wchar_t path[kBodyFileUnits];
    WideText why;
    const bool written = WriteHeapDump(jobHost, layout->logsDir, path, &why);
    EndJob(Job::kHeap, L"");
    if (!written) {
        ReportNoDump(L"heap dump", why.Chars());
        return;
    }
    wchar_t message[kBodyFileUnits + 96];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"A heap dump of the Java application's live objects was written to %ls.",
                     path);
    frame->ReportInfoEvent(message);
}

bool DumpThread::IsNewDeadlock(const jlong* ids, size_t count) {
    bool added = false;
    for (size_t i = 0; i < count; ++i) {
        size_t known = 0;
        while (known < reportedCount && reported[known] != ids[i]) ++known;
        if (known == reportedCount && reportedCount < kReportedThreadsMost) {
            reported[reportedCount++] = ids[i];
            added = true;
        }
    }
    return added;
}

// One deadlock gives one event: the threads already reported stay
// deadlocked for good, and only a thread not yet named makes a new one.
void DumpThread::CheckForDeadlock(const RuntimeHost& jobHost) {
    RestrictCrashFiles(layout->logsDir);
    jlong ids[kReportedThreadsMost];
    WideText names;
    const size_t found = FindDeadlockedJavaThreads(jobHost, ids, ARRAYSIZE(ids), &names);
    const size_t listed = found < ARRAYSIZE(ids) ? found : ARRAYSIZE(ids);
    if (found == 0 || !IsNewDeadlock(ids, listed)) {
        EndJob(Job::kWatch, L"");
        return;
    }
    wchar_t path[kBodyFileUnits];
    WideText why;
    const bool written = WriteThreadDump(jobHost, layout->logsDir, path, &why);
    EndJob(Job::kWatch, L"");
    WideText message;
    const wchar_t* const head[] = {L"Java threads are deadlocked: ", names.Chars(), L". "};
    const wchar_t* const dumped[] = {L"Their stacks are in ", path, L"."};
    const wchar_t* const notDumped[] = {L"No thread dump was written: ", why.Chars(), L"."};
    message.Append(head);
    written ? message.Append(dumped) : message.Append(notDumped);
    if (watch != kWatchRestart) {
        ReportErrorEvent(0, message.Chars());
        return;
    }
    message.Append(L" The service ends, so that its recovery actions restart it.");
    frame->EndProcessFromAnyThread(SpecificExitCode(Outcome::kThreadsDeadlocked),
                                   EVENTLOG_ERROR_TYPE, message.Chars());
}
