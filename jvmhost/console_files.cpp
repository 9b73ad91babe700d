#include "jvmhost/console_files.h"

#include <strsafe.h>

#include "service/install_dir.h"

namespace {

// This start's files and those of the four starts before it.
constexpr int kKeptStarts = 5;
constexpr size_t kNotKeptUnits = 64 + kLogFileUnits + 1024;

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};

// "<logsDir>\<name>.log" for this start, "<logsDir>\<name>.<n>.log" for the
// start n starts back.
void LogFilePath(const wchar_t* logsDir, const wchar_t* name, int startsBack,
                 wchar_t (&path)[kLogFileUnits]) {
    StringCchCopyW(path, kLogFileUnits, logsDir);
    StringCchCatW(path, kLogFileUnits, L"\\");
    StringCchCatW(path, kLogFileUnits, name);
    if (startsBack > 0) {
        const wchar_t number[] = {L'.', static_cast<wchar_t>(L'0' + startsBack), L'\0'};
        StringCchCatW(path, kLogFileUnits, number);
    }
    StringCchCatW(path, kLogFileUnits, L".log");
}

// Each earlier start's file moves one number up, the oldest first, so that
// the move onto the oldest kept number replaces (deletes) the file of the
// start that is no longer kept. A move that fails leaves that file where it
// is; creating this start's file then replaces or fails on it.
void MoveEarlierStartsUp(const wchar_t* logsDir, const wchar_t* name) {
    for (int startsBack = kKeptStarts - 1; startsBack >= 1; --startsBack) {
        wchar_t from[kLogFileUnits];
        wchar_t to[kLogFileUnits];
        LogFilePath(logsDir, name, startsBack - 1, from);
        LogFilePath(logsDir, name, startsBack, to);
        MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
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

// Creates "<installDir>\logs" when missing; the error that stopped it, or 0.
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

void KeepConsoleOutput(const wchar_t* installDir, ErrorSink sink) {
    wchar_t logsDir[kLogsDirUnits];
    if (FAILED(StringCchCopyW(logsDir, kLogsDirUnits, installDir)) ||
        FAILED(StringCchCatW(logsDir, kLogsDirUnits, L"\\logs"))) {
        return;
    }
    const DWORD dirError = MakeLogsDir(logsDir);
    if (dirError != 0) {
        ReportNotKept(logsDir, dirError, sink);
        return;
    }
    bool reported = false;
    for (const ConsoleStream& stream : kStreams) {
        MoveEarlierStartsUp(logsDir, stream.name);
        wchar_t path[kLogFileUnits];
        LogFilePath(logsDir, stream.name, 0, path);
        // Every sharing mode: an operator reads and follows the file while the
        // service writes it, and may move it away.
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // One event is enough to say the output is not (all) kept.
            if (!reported) {
                ReportNotKept(path, error, sink);
                reported = true;
            }
            continue;
        }
        SetStdHandle(stream.standardHandle, file);
    }
}
