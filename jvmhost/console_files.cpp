#include "jvmhost/console_files.h"

#include <strsafe.h>

#include "base/paths.h"
#include "jvmhost/console_pipe.h"

namespace {

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};
constexpr size_t kStreamCount = ARRAYSIZE(kStreams);

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

// The file still holds an earlier start's output, maybe that of the start
// that failed: this start's output follows it after a marked line, and
// `warnings` gets one event naming the file and the one `held`, which stayed
// where it was.
void ContinueHeldFile(HANDLE file, const wchar_t* path, const wchar_t* name, const wchar_t* held,
                      ErrorSink warnings) {
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
    WriteMarkedLine(file, size.QuadPart > 0, "new start", name,
                    "the lines above are an earlier start's");
    if (warnings == nullptr) {
        return;
    }
    wchar_t why[kNotKeptUnits];
    DescribeHeld(path, name, held, why, ARRAYSIZE(why));
    wchar_t message[kNotKeptUnits];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"%ls still holds the output of the start before: it %ls. This start's output "
                     L"follows in it, after a line that begins with \"-----\".",
                     path, why);
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
        wchar_t held[kPathUnits];
        MakeWayForCurrentFile(logsDir, stream.name, settings.keep, held);
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
        // A file still there could not make way.
        const bool continued = error == ERROR_ALREADY_EXISTS;
        if (continued) {
            ContinueHeldFile(file, path, stream.name, held, warnings);
        }
        const ConsoleFile current = {file, path, stream.name, continued};
        SetStdHandle(stream.standardHandle,
                     settings.maxMiB == 0
                         ? file
                         : PassThroughWriter(i, current, logsDir, settings, warnings));
    }
}
