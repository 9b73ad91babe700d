#include "jvmhost/console_files.h"

#include <strsafe.h>

#include "base/paths.h"

namespace {

// This start's files and those of the four starts before it.
constexpr int kKeptStarts = 5;
constexpr size_t kNotKeptUnits = 64 + kPathUnits + 1024;

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};

// "<logsDir>\<name>.log" for this start, "<logsDir>\<name>.<n>.log" for the
// start n starts back.
// False when it does not fit.
bool LogFilePath(const wchar_t* logsDir, const wchar_t* name, int startsBack,
                 wchar_t (&path)[kPathUnits]) {
    wchar_t file[16];
    if (startsBack > 0) {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.%d.log", name, startsBack);
    } else {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.log", name);
    }
    return JoinPath(path, logsDir, file);
}

// Each earlier start's file moves one number up, the oldest first, so that
// the move onto the oldest kept number replaces (deletes) the file of the
// start that is no longer kept. A move that fails leaves that file where it
// is; this start's file then follows the earlier output in it.
void MoveEarlierStartsUp(const wchar_t* logsDir, const wchar_t* name) {
    for (int startsBack = kKeptStarts - 1; startsBack >= 1; --startsBack) {
        wchar_t from[kPathUnits];
        wchar_t to[kPathUnits];
        if (LogFilePath(logsDir, name, startsBack - 1, from) &&
            LogFilePath(logsDir, name, startsBack, to)) {
            MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
        }
    }
}

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

// Whether the file the start before left at `path` can be moved away: a
// program that holds it open without delete sharing (a viewer or follower
// built on the C runtime's fopen) keeps it where it is. No file: true.
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

// The file still holds an earlier start's output, maybe that of the start
// that failed: this start's output follows it after a marked line, and
// `warnings` gets one event naming the file.
void ContinueHeldFile(HANDLE file, const wchar_t* path, const wchar_t* name, ErrorSink warnings) {
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
    SYSTEMTIME now;
    GetSystemTime(&now);
    char marker[192];
    StringCchPrintfA(marker, ARRAYSIZE(marker),
                     "%s----- new start at %04u-%02u-%02u %02u:%02u:%02u UTC: this file could not "
                     "be moved to %ls.1.log, so the lines above are an earlier start's -----\r\n",
                     size.QuadPart > 0 ? "\r\n" : "", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond, name);
    DWORD written = 0;
    WriteFile(file, marker, static_cast<DWORD>(lstrlenA(marker)), &written, nullptr);
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

void KeepConsoleOutput(const wchar_t* logsDir, ErrorSink sink, ErrorSink warnings) {
    const DWORD dirError = MakeLogsDir(logsDir);
    if (dirError != 0) {
        ReportNotKept(logsDir, dirError, sink);
        return;
    }
    bool reported = false;
    for (const ConsoleStream& stream : kStreams) {
        wchar_t path[kPathUnits];
        if (!LogFilePath(logsDir, stream.name, 0, path)) {
            continue;
        }
        // The earlier starts move up only when the last one can follow them:
        // otherwise the oldest kept start would be lost for a gap.
        if (CanMoveAway(path)) {
            MoveEarlierStartsUp(logsDir, stream.name);
        }
        // Every sharing mode: an operator reads and follows the file while the
        // service writes it, and may move it away. Never truncated: a file
        // still here could not be moved, and holds an earlier start's output.
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (file == INVALID_HANDLE_VALUE) {
            // One event is enough to say the output is not (all) kept.
            if (!reported) {
                ReportNotKept(path, error, sink);
                reported = true;
            }
            continue;
        }
        if (error == ERROR_ALREADY_EXISTS) {
            ContinueHeldFile(file, path, stream.name, warnings);
        }
        SetStdHandle(stream.standardHandle, file);
    }
}
