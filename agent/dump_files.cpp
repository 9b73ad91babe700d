#include "agent/dump_files.h"

#include <strsafe.h>

#include "base/event_log.h"
#include "base/own_files.h"

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
    wchar_t text[kSystemTextUnits];
    SystemErrorText(error, text);
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
ScopedFile CreateThreadDumpFile(const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ScopedFile file;
    for (unsigned attempt = 1; !file.IsValid() && attempt <= kNameAttempts; ++attempt) {
        if (!DumpPath(logsDir, L"threaddump", now, attempt, L".txt", path)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            break;
        }
        file.Reset(CreateOwnOnlyFile(path));
        if (!file.IsValid() && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return file;
}

}  // namespace

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
    const ScopedFile file = CreateThreadDumpFile(logsDir, path);
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

namespace {

// Makes the folder the runtime writes a heap dump into, below `logsDir`:
// "heapdump-<time>[-n].writing", for the first n whose dump and folder are
// not there yet; `path` gets the dump's name in logsDir. False with why not in
// `why` (a folder the code did not make is never used, nor removed).
bool MakeHeapDumpFolder(const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits],
                        wchar_t (&folder)[kBodyFileUnits], WideText* why) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (unsigned attempt = 1; attempt <= kNameAttempts; ++attempt) {
        if (!DumpPath(logsDir, L"heapdump", now, attempt, L".hprof", path) ||
            !DumpPath(logsDir, L"heapdump", now, attempt, L".writing", folder)) {
            DescribeSystemError(logsDir, ERROR_FILENAME_EXCED_RANGE, why);
            return false;
        }
        if (IsFile(path)) {
            continue;
        }
        if (CreateOwnOnlyFolder(folder)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            DescribeSystemError(folder, error, why);
            return false;
        }
    }
    wchar_t last[kBodyFileUnits];
    DumpPath(L"", L"heapdump", now, 1, L".hprof", folder);
    DumpPath(L"", L"heapdump", now, kNameAttempts, L".hprof", last);
    static const wchar_t kAllTaken[] =
        L" (or their .writing folders), the nine names a heap dump may take in this second";
    const wchar_t* const pieces[] = {logsDir, L" already holds ", folder + 1,
                                     L" to ", last + 1,           kAllTaken};
    why->Cut(0);
    why->Append(pieces);
    return false;
}

}  // namespace

// The runtime writes the heap into a folder only the service's account,
// SYSTEM and the Administrators may open, so that the file is never open to
// others, not even while it is written; then it moves up into logs\, and
// keeps that security as its own.
bool WriteHeapDump(const RuntimeHost& host, const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits],
                   WideText* why) {
    wchar_t folder[kBodyFileUnits];
    if (!MakeHeapDumpFolder(logsDir, path, folder, why)) {
        return false;
    }
    wchar_t staged[kBodyFileUnits + 32];
    StringCchPrintfW(staged, ARRAYSIZE(staged), L"%ls%ls", folder, path + lstrlenW(logsDir));
    const RuntimeAnswer answer = DumpJavaHeap(host, staged, why);
    DWORD error = 0;
    if (answer == RuntimeAnswer::kAnswered) {
        error = MoveFileExW(staged, path, 0) ? RestrictToOwn(path) : GetLastError();
    }
    if (answer == RuntimeAnswer::kNoVm) {
        why->Cut(0);
        why->Append(L"the Java VM is not running");
    } else if (answer == RuntimeAnswer::kAnswered && error != 0) {
        DescribeSystemError(path, error, why);
    }
    DeleteFileW(staged);
    RemoveDirectoryW(folder);
    return answer == RuntimeAnswer::kAnswered && error == 0;
}

void ReportNoDump(const wchar_t* what, const wchar_t* why) {
    WideText message;
    const wchar_t* const pieces[] = {L"No ", what, L" was written: ", why, L"."};
    message.Append(pieces);
    ReportErrorEvent(0, message.Chars());
}

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

void MakeOutOfMemoryFolder(const wchar_t* logsDir) {
    wchar_t folder[kPathUnits];
    if (JoinPath(folder, logsDir, L"outofmemory") && !IsDirectory(folder)) {
        CreateOwnOnlyFolder(folder);
    }
}
