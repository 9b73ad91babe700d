#include "jvmhost/console_files.h"

#include <strsafe.h>

#include "base/paths.h"
#include "jvmhost/console_writer.h"

namespace {

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};
constexpr size_t kStreamCount = ARRAYSIZE(kStreams);

}  // namespace

// "<logsDir>\<name>.log" for the current file, "<logsDir>\<name>.<n>.log" for
// the n-th older one.
// False when it does not fit.
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

// Each older file moves one number up, the oldest first, so that the move
// onto the number `keep` replaces (deletes) the file no longer kept, and last
// the current file becomes number 1. A move that fails leaves that file where
// it is. True when the current file was moved (or there was none).
bool MoveOlderFilesUp(const wchar_t* logsDir, const wchar_t* name, DWORD keep) {
    bool currentMoved = true;
    for (DWORD back = keep; back >= 1; --back) {
        wchar_t from[kPathUnits];
        wchar_t to[kPathUnits];
        if (LogFilePath(logsDir, name, back - 1, from) && LogFilePath(logsDir, name, back, to)) {
            const bool moved = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
            currentMoved = moved || GetLastError() == ERROR_FILE_NOT_FOUND;
        }
    }
    return currentMoved;
}

namespace {

void ReportNotKept(const wchar_t* path, DWORD error, ErrorSink sink) {
    if (sink == nullptr) {
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

}  // namespace

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

namespace {

// The file still holds an earlier start's output, maybe that of the start
// that failed: this start's output follows it after a marked line, and
// `warnings` gets one event naming the file.
void ContinueHeldFile(HANDLE file, const wchar_t* path, const wchar_t* name, ErrorSink warnings) {
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
    WriteMarkedLine(file, size.QuadPart > 0, "new start", name,
                    "the lines above are an earlier start's");
    if (warnings == nullptr) {
        return;
    }
    wchar_t message[kNotKeptUnits];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"%ls still holds the output of the start before: it could not be moved "
                     L"to %ls.1.log (a program holds it open, or the service may not rename it). "
                     L"This start's output follows in it, after a line that begins with "
                     L"\"-----\".",
                     path, name);
    warnings(0, message);
}

// Creates the logs folder when missing; the error that stopped it, or 0.
DWORD MakeLogsDir(const wchar_t* logsDir) {
    if (CreateDirectoryW(logsDir, nullptr)) {
        return 0;
    }
    const DWORD error = GetLastError();
    // A file of that name also gives "already exists".
    if (error == ERROR_ALREADY_EXISTS && IsDirectory(logsDir)) {
        return 0;
    }
    return error;
}

}  // namespace

// Every sharing mode: an operator reads and follows the file while the service
// writes it, and may move it away. Never truncated: a file already there could
// not be moved, and holds earlier output.
HANDLE OpenLogFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void KeepConsoleOutput(const wchar_t* logsDir, const ConsoleSettings& settings, ErrorSink sink,
                       ErrorSink warnings) {
    const DWORD dirError = MakeLogsDir(logsDir);
    if (dirError != 0) {
        ReportNotKept(logsDir, dirError, sink);
        return;
    }
    bool reported = false;
    for (size_t i = 0; i < kStreamCount; ++i) {
        const ConsoleStream& stream = kStreams[i];
        wchar_t path[kPathUnits];
        if (!LogFilePath(logsDir, stream.name, 0, path)) {
            continue;
        }
        // The older files move up only when the current one can follow them:
        // otherwise the oldest kept one would be lost for a gap.
        if (CanMoveAway(path)) {
            MoveOlderFilesUp(logsDir, stream.name, settings.keep);
        }
        HANDLE file = OpenLogFile(path);
        const DWORD error = GetLastError();
        if (file == INVALID_HANDLE_VALUE) {
            // One event is enough to say the output is not (all) kept.
            if (!reported) {
                ReportNotKept(path, error, sink);
                reported = true;
            }
            continue;
        }
        const bool held = error == ERROR_ALREADY_EXISTS;
        if (held) {
            ContinueHeldFile(file, path, stream.name, warnings);
        }
        const ConsoleFile current = {file, path, stream.name, held};
        SetStdHandle(stream.standardHandle,
                     settings.maxMiB == 0
                         ? file
                         : PassThroughWriter(i, current, logsDir, settings, warnings));
    }
}
