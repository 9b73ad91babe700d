#include "jvmhost/console_files.h"

#include "jvmhost/console_pipe.h"

namespace {

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};
constexpr size_t kStreamCount = ARRAYSIZE(kStreams);

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
    for (size_t i = 0; i < kStreamCount; ++i) {
        const ConsoleStream& stream = kStreams[i];
        wchar_t path[kPathUnits];
        if (!LogFilePath(logsDir, stream.name, 0, path)) {
            continue;
        }
        HANDLE handle = settings.maxMiB == 0 ? INVALID_HANDLE_VALUE
                                             : StartConsoleWriter(i, stream.name, path, logsDir,
                                                                  settings, sink, warnings);
        // Without a size, or without a writer, the runtime writes to the file.
        bool continued = false;
        if (handle == INVALID_HANDLE_VALUE) {
            handle = OpenStartFile(logsDir, stream.name, path, settings.keep, sink, warnings,
                                   &continued);
        }
        if (handle != INVALID_HANDLE_VALUE) {
            SetStdHandle(stream.standardHandle, handle);
        }
    }
}
