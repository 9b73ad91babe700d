#include "agent/dump_thread.h"

#include <strsafe.h>

#include "base/event_log.h"
#include "base/own_files.h"
#include "base/outcome.h"

namespace {

// What a thread dump's file says first: which of the runtime's answers it holds.
const char kCommandHeader[] =
    "Thread dump by the Java runtime's diagnostic command Thread.print -l (what jcmd <pid> "
    "Thread.print -l and jstack -l print).\n\n";
const char kThreadBeanHeader[] =
    "Thread dump by java.lang.management.ThreadMXBean.dumpAllThreads: this Java runtime has no "
    "diagnostic command Thread.print, so each thread shows at most 8 of its frames.\n\n";

// Two dumps within one second get "-2", "-3", … after the time.
constexpr unsigned kNameAttempts = 9;

// "<logs>\<prefix>-yyyymmdd-hhmmss[-n]<suffix>", local time; false when it
// does not fit.
bool DumpPath(const wchar_t* logsDir, const wchar_t* prefix, const SYSTEMTIME& time,
              unsigned attempt, const wchar_t* suffix, wchar_t (&path)[kBodyFileUnits]) {
    wchar_t number[8] = L"";
    if (attempt > 1) {
        StringCchPrintfW(number, ARRAYSIZE(number), L"-%u", attempt);
    }
    return SUCCEEDED(StringCchPrintfW(path, ARRAYSIZE(path),
                                      L"%ls\\%ls-%04u%02u%02u-%02u%02u%02u%ls%ls", logsDir, prefix,
                                      time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                                      time.wSecond, number, suffix));
}

// "<what>: the system's text (error N)" as the reason no dump was written.
void DescribeSystemError(const wchar_t* what, DWORD error, WideText* why) {
    wchar_t text[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, ARRAYSIZE(text), nullptr);
    size_t end = static_cast<size_t>(lstrlenW(text));
    while (end > 0 && (text[end - 1] == L'\r' || text[end - 1] == L'\n' || text[end - 1] == L'.')) {
        text[--end] = L'\0';
    }
    wchar_t error_number[32];
    StringCchPrintfW(error_number, ARRAYSIZE(error_number), L" (error %lu)",
                     static_cast<unsigned long>(error));
    const wchar_t* const pieces[] = {what, L" could not be written: ", text, error_number};
    why->Cut(0);
    why->Append(pieces);
}

// Writes `text` as UTF-8 after `header`; false with the last error set.
bool WriteUtf8(HANDLE file, const char* header, const WideText& text) {
    DWORD written = 0;
    if (!WriteFile(file, header, static_cast<DWORD>(lstrlenA(header)), &written, nullptr)) {
        return false;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.Chars(), static_cast<int>(text.length),
                                          nullptr, 0, nullptr, nullptr);
    HeapArray<char> utf8(static_cast<size_t>(bytes) + 1);
    if (utf8.Get() == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    WideCharToMultiByte(CP_UTF8, 0, text.Chars(), static_cast<int>(text.length), utf8.Get(), bytes,
                        nullptr, nullptr);
    return WriteFile(file, utf8.Get(), static_cast<DWORD>(bytes), &written, nullptr) != FALSE;
}

// Creates a new own-only thread dump file below `logsDir`; its path in `path`.
void CreateThreadDumpFile(const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits],
                          ScopedFile* file) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (unsigned attempt = 1; !file->IsValid() && attempt <= kNameAttempts; ++attempt) {
        if (!DumpPath(logsDir, L"threaddump", now, attempt, L".txt", path)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            break;
        }
        file->Reset(CreateOwnOnlyFile(path));
        if (!file->IsValid() && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
}

// Asks the runtime for its threads and writes them to a new file; its path in
// `path`, or false with why not in `why`.
bool WriteThreadDump(const RuntimeHost& host, const wchar_t* logsDir,
                     wchar_t (&path)[kBodyFileUnits], WideText* why) {
    path[0] = L'\0';
    WideText text;
    ThreadDumpSource source = ThreadDumpSource::kDiagnosticCommand;
    const RuntimeAnswer answer = PrintJavaThreads(host, &text, &source);
    if (answer != RuntimeAnswer::kAnswered) {
        why->Cut(0);
        why->Append(answer == RuntimeAnswer::kNoVm ? L"the Java VM is not running" : text.Chars());
        return false;
    }
    ScopedFile file;
    CreateThreadDumpFile(logsDir, path, &file);
    const char* header =
        source == ThreadDumpSource::kDiagnosticCommand ? kCommandHeader : kThreadBeanHeader;
    if (!file.IsValid() || !WriteUtf8(file.Get(), header, text)) {
        const DWORD error = GetLastError();
        DescribeSystemError(path[0] != L'\0' ? path : logsDir, error, why);
        path[0] = L'\0';
        return false;
    }
    return true;
}

// The runtime writes the heap into a folder only the service's account,
// SYSTEM and the Administrators may open, so that the file is never open to
// others, not even while it is written; then it moves up into logs\, and
// keeps that security as its own.
bool WriteHeapDump(const RuntimeHost& host, const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits],
                   WideText* why) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t folder[kBodyFileUnits];
    wchar_t staged[kBodyFileUnits + 32];
    unsigned attempt = 1;
    for (; attempt <= kNameAttempts; ++attempt) {
        if (!DumpPath(logsDir, L"heapdump", now, attempt, L".hprof", path) ||
            !DumpPath(logsDir, L"heapdump", now, attempt, L".writing", folder)) {
            DescribeSystemError(logsDir, ERROR_FILENAME_EXCED_RANGE, why);
            return false;
        }
        if (!IsFile(path) && CreateOwnOnlyFolder(folder)) {
            break;
        }
    }
    StringCchPrintfW(staged, ARRAYSIZE(staged), L"%ls%ls", folder, path + lstrlenW(logsDir));
    const RuntimeAnswer answer =
        attempt <= kNameAttempts ? DumpJavaHeap(host, staged, why) : RuntimeAnswer::kFailed;
    bool written = answer == RuntimeAnswer::kAnswered && MoveFileExW(staged, path, 0) &&
                   RestrictToOwn(path) == 0;
    if (answer == RuntimeAnswer::kNoVm) {
        why->Cut(0);
        why->Append(L"the Java VM is not running");
    } else if (answer == RuntimeAnswer::kAnswered && !written) {
        DescribeSystemError(path, GetLastError(), why);
    }
    DeleteFileW(staged);
    RemoveDirectoryW(folder);
    return written;
}

void ReportNoDump(const wchar_t* what, const wchar_t* why) {
    WideText message;
    const wchar_t* const pieces[] = {L"No ", what, L" was written: ", why, L"."};
    message.Append(pieces);
    ReportErrorEvent(0, message.Chars());
}

}  // namespace

// A heap dump at OutOfMemoryError is written while the application runs on,
// so the watch looks for it at each check.
void RestrictCrashFiles(const wchar_t* logsDir) {
    const unsigned long pid = GetCurrentProcessId();
    const wchar_t* const patterns[] = {L"%ls\\hs_err_pid%lu.log", L"%ls\\java_pid%lu.hprof"};
    for (const wchar_t* pattern : patterns) {
        wchar_t path[kBodyFileUnits];
        if (SUCCEEDED(StringCchPrintfW(path, ARRAYSIZE(path), pattern, logsDir, pid)) &&
            IsFile(path)) {
            RestrictToOwn(path);
        }
    }
}

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
      closed(false),
      threadDumpsEnded(0),
      lastThreadDump(),
      reported(),
      reportedCount(0),
      wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      threadsDone(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      outside(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

DumpThread::~DumpThread() {
    {
        LockGuard guard(lock);
        closed = true;
    }
    SetEvent(wake.Get());
    if (thread.IsValid()) {
        WaitForSingleObject(thread.Get(), kEndByOtherWaitMs);
    }
}

void DumpThread::Open(RuntimeHost* openedHost, const HostLayout* hostLayout,
                      const ServiceProperties& properties, ServiceFrame* serviceFrame) {
    {
        LockGuard guard(lock);
        host = openedHost;
        layout = hostLayout;
        frame = serviceFrame;
        watch = properties.deadlockWatch;
        intervalMs = watch == kWatchOff ? 0 : properties.watchIntervalSeconds * 1000;
        nextCheck = GetTickCount64() + intervalMs;
        // Creating a thread takes no lock of ours.
        if (!thread.IsValid() && !closed) {
            thread.Reset(CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr));
        }
    }
    SetEvent(wake.Get());
}

bool DumpThread::Request(DWORD control) {
    if (control != kThreadDumpControl && control != kHeapDumpControl) {
        return false;
    }
    const bool threads = control == kThreadDumpControl;
    bool open = false;
    {
        LockGuard guard(lock);
        open = host != nullptr && !closed && thread.IsValid();
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
    SetEvent(wake.Get());
    return true;
}

void DumpThread::DumpAtDeadline(wchar_t (&file)[kBodyFileUnits], DWORD waitMs) {
    file[0] = L'\0';
    unsigned target = 0;
    {
        LockGuard guard(lock);
        if (host == nullptr || closed || !thread.IsValid()) {
            return;
        }
        threadsWanted = threadsWanted || under != Job::kThreads;
        target = threadDumpsEnded + 1;
    }
    SetEvent(wake.Get());
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
        closed = true;
        host = nullptr;
    }
    SetEvent(wake.Get());
    return WaitForSingleObject(outside.Get(), waitMs) == WAIT_OBJECT_0;
}

DWORD WINAPI DumpThread::ThreadEntry(void* dumper) {
    static_cast<DumpThread*>(dumper)->Serve();
    return 0;
}

void DumpThread::Serve() {
    for (;;) {
        DWORD waitMs = INFINITE;
        RuntimeHost* jobHost = nullptr;
        switch (TakeJob(&waitMs, &jobHost)) {
            case Job::kQuit:
                return;
            case Job::kNone:
                WaitForSingleObject(wake.Get(), waitMs);
                break;
            case Job::kThreads:
                AnswerThreadRequest(*jobHost);
                break;
            case Job::kHeap:
                AnswerHeapRequest(*jobHost);
                break;
            case Job::kWatch:
                CheckForDeadlock(*jobHost);
                break;
        }
    }
}

// Thread dumps first: a deadline may be waiting for one.
DumpThread::Job DumpThread::TakeJob(DWORD* waitMs, RuntimeHost** jobHost) {
    LockGuard guard(lock);
    if (closed || host == nullptr) {
        return Job::kQuit;
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
    if (job != Job::kNone) {
        under = job;
        ResetEvent(outside.Get());
    }
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
        SetEvent(outside.Get());
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
