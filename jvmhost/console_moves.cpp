#include "jvmhost/console_moves.h"

#include <strsafe.h>

bool LogFilePath(const wchar_t* logsDir, const wchar_t* name, DWORD back,
                 wchar_t (&path)[kPathUnits]) {
    wchar_t file[24];
    if (back > 0) {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.%lu.log", name, back);
    } else {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.log", name);
    }
    return JoinPath(path, logsDir, file);
}

namespace {

// Every sharing mode: an operator reads and follows the file while the service
// writes it, and may move it away. Never truncated: a file already there could
// not be moved, and holds earlier output.
HANDLE OpenLogFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether the file at `path` can be moved away: a program that holds it open
// without delete sharing (a viewer or follower built on the C runtime's
// fopen) keeps it where it is. No file: true.
bool CanMoveAway(const wchar_t* path) {
    HANDLE probe = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(probe);
    return true;
}

// The lowest number from 1 to `keep` that no file takes; `keep` when every
// one below it is taken. A gap left by a move that failed earlier is filled
// first, so the files above it are not moved (and the oldest not replaced)
// again.
DWORD FirstFreeNumber(const wchar_t* logsDir, const wchar_t* name, DWORD keep) {
    for (DWORD back = 1; back < keep; ++back) {
        wchar_t path[kPathUnits];
        if (LogFilePath(logsDir, name, back, path) &&
            GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
            return back;
        }
    }
    return keep;
}

}  // namespace

bool MakeWayForCurrentFile(const wchar_t* logsDir, const wchar_t* name, DWORD keep,
                           wchar_t (&held)[kPathUnits]) {
    held[0] = L'\0';
    wchar_t current[kPathUnits];
    // The older files move up only when the current one can follow them:
    // otherwise the oldest kept one would be lost for a gap.
    if (LogFilePath(logsDir, name, 0, current) && !CanMoveAway(current)) {
        StringCchCopyW(held, kPathUnits, current);
        return false;
    }
    for (DWORD back = FirstFreeNumber(logsDir, name, keep); back >= 1; --back) {
        wchar_t from[kPathUnits];
        wchar_t to[kPathUnits];
        if (!LogFilePath(logsDir, name, back - 1, from) || !LogFilePath(logsDir, name, back, to)) {
            continue;
        }
        const BOOL moved = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
        const DWORD error = moved ? 0 : GetLastError();
        // No current file yet (the first start) is nothing to move.
        if (!moved && error != ERROR_FILE_NOT_FOUND) {
            // The file to replace may be the one held; otherwise the one to move is.
            StringCchCopyW(held, kPathUnits, CanMoveAway(to) ? from : to);
            return false;
        }
    }
    return true;
}

HANDLE OpenLogFileAtEnd(const wchar_t* path, ULONGLONG* size) {
    HANDLE file = OpenLogFile(path);
    LARGE_INTEGER end = {};
    if (file != INVALID_HANDLE_VALUE) {
        SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END);
    }
    *size = static_cast<ULONGLONG>(end.QuadPart);
    return file;
}

bool IsDeleted(HANDLE file) {
    // A delete leaves the file pending until its last handle closes, or (with
    // POSIX semantics, Windows 10's default, and a delete from the Linux side
    // under Wine) takes its name at once: no link is left.
    FILE_STANDARD_INFO info = {};
    return GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof(info)) &&
           (info.DeletePending || info.NumberOfLinks == 0);
}

namespace {

// The line that marks where a file that could not be moved goes on:
// "----- <why> at <time> UTC: this file could not be moved to <name>.1.log,
// so <what> -----", on a line of its own. Returns the bytes written.
DWORD WriteMarkedLine(HANDLE file, bool breakFirst, const char* why, const wchar_t* name,
                      const char* what) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char marker[224];
    StringCchPrintfA(marker, ARRAYSIZE(marker),
                     "%s----- %s at %04u-%02u-%02u %02u:%02u:%02u UTC: this file could not be "
                     "moved to %ls.1.log, so %s -----\r\n",
                     breakFirst ? "\r\n" : "", why, now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond, name, what);
    DWORD written = 0;
    WriteFile(file, marker, static_cast<DWORD>(lstrlenA(marker)), &written, nullptr);
    return written;
}

// Why the current file `path` could not make way: "could not be moved to
// <name>.1.log", when another file was `held` ", because the older file
// <held> could not make way", then " (a program holds it open, or the service
// may not rename it)".
void DescribeHeld(const wchar_t* path, const wchar_t* name, const wchar_t* held,
                  wchar_t (&text)[kNotKeptUnits]) {
    StringCchPrintfW(text, kNotKeptUnits, L"could not be moved to %ls.1.log", name);
    if (held[0] != L'\0' && lstrcmpiW(held, path) != 0) {
        StringCchCatW(text, kNotKeptUnits, L", because the older file ");
        StringCchCatW(text, kNotKeptUnits, held);
        StringCchCatW(text, kNotKeptUnits, L" could not make way");
    }
    StringCchCatW(text, kNotKeptUnits,
                  L" (a program holds it open, or the service may not rename it)");
}

// Warns that `path` could not make way for `name`'s older files, with why:
// `format` takes the path first, then the reason.
void WarnHeld(const wchar_t* path, const wchar_t* name, const wchar_t* held, const wchar_t* format,
              ErrorSink warnings) {
    if (warnings == nullptr) {
        return;
    }
    wchar_t why[kNotKeptUnits];
    DescribeHeld(path, name, held, why);
    wchar_t message[kNotKeptUnits];
    StringCchPrintfW(message, ARRAYSIZE(message), format, path, why);
    warnings(0, message);
}

// The file still holds an earlier start's output, maybe that of the start
// that failed: this start's output follows it after a marked line, and
// `warnings` gets one event naming the file and the one `held`.
void ContinueHeldFile(HANDLE file, const wchar_t* path, const wchar_t* name, const wchar_t* held,
                      ErrorSink warnings) {
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
    WriteMarkedLine(file, size.QuadPart > 0, "new start", name,
                    "the lines above are an earlier start's");
    WarnHeld(path, name, held,
             L"%ls still holds the output of the start before: it %ls. This start's output "
             L"follows in it, after a line that begins with \"-----\".",
             warnings);
}

// Whether the process's one "not kept" event has been given.
LONG notKeptReported = 0;

}  // namespace

HANDLE OpenStartFile(const wchar_t* logsDir, const wchar_t* name, const wchar_t* path, DWORD keep,
                     ErrorSink errors, ErrorSink warnings, bool* continued) {
    wchar_t held[kPathUnits];
    MakeWayForCurrentFile(logsDir, name, keep, held);
    HANDLE file = OpenLogFile(path);
    const DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) {
        ReportNotKept(path, error, errors);
    }
    // A file still there could not make way.
    *continued = file != INVALID_HANDLE_VALUE && error == ERROR_ALREADY_EXISTS;
    if (*continued) {
        ContinueHeldFile(file, path, name, held, warnings);
    }
    return file;
}

void ReportNotKept(const wchar_t* path, DWORD error, ErrorSink sink) {
    if (sink == nullptr || InterlockedExchange(&notKeptReported, 1) != 0) {
        return;
    }
    wchar_t message[kNotKeptUnits] = {};
    StringCchCopyW(message, kNotKeptUnits, L"The Java side's console output is not kept: ");
    StringCchCatW(message, kNotKeptUnits, path);
    StringCchCatW(message, kNotKeptUnits, L" could not be created.\n");
    // Without an argument list, insertion points are kept as they are rather
    // than read from arguments that do not exist.
    const size_t used = static_cast<size_t>(lstrlenW(message));
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   message + used, static_cast<DWORD>(kNotKeptUnits - used), nullptr);
    sink(0, message);
}

DWORD MarkHeldAtLimit(HANDLE file, bool endsLine, const wchar_t* path, const wchar_t* name,
                      const wchar_t* held, ErrorSink warnings) {
    const DWORD written =
        WriteMarkedLine(file, !endsLine, "size limit reached", name, "the output goes on in it");
    WarnHeld(path, name, held,
             L"%ls has reached its size limit (console.max-size) but %ls. The output goes on in "
             L"it, after a line that begins with \"-----\", until it can be moved.",
             warnings);
    return written;
}
