#include "jvmhost/console_files.h"

#include <string.h>

#include <strsafe.h>

#include "base/paths.h"

namespace {

constexpr size_t kNotKeptUnits = 64 + kPathUnits + 1024;
constexpr ULONGLONG kBytesPerMiB = 1024ULL * 1024;
// The pipe's buffer: what the application may write ahead of the writer
// before a write of its waits, and so what is in flight at any moment.
constexpr DWORD kPipeBytes = 256 * 1024;
// A file ends at the first line end within this much of its limit; a line that
// runs through all of it is cut at the limit.
constexpr ULONGLONG kLineEndZone = 64ULL * 1024;
// A writer needs few frames: a read, a write, a rename.
constexpr SIZE_T kWriterStackBytes = 64 * 1024;

struct ConsoleStream {
    DWORD standardHandle;
    const wchar_t* name;
};

const ConsoleStream kStreams[] = {{STD_OUTPUT_HANDLE, L"stdout"}, {STD_ERROR_HANDLE, L"stderr"}};
constexpr size_t kStreamCount = ARRAYSIZE(kStreams);

// One stream's writer: the pipe the runtime writes to and the files it fills.
struct ConsoleWriter {
    // Set by KeepConsoleOutput before the writer thread starts; read-only
    // afterwards. A writer without a read end is not used.
    HANDLE readEnd;          // the pipe's, overlapped, so a drain never waits behind a read
    const wchar_t* logsDir;  // weak: the layout's, which outlives the process
    const wchar_t* name;     // "stdout"
    wchar_t path[kPathUnits];
    ULONGLONG maxBytes;
    DWORD keep;
    ErrorSink warnings;
    // --- Guarded by `lock`: held by the writer thread around each copy from
    // the pipe into the file, and by a drain. Its holder waits only for the
    // file system (a write, a rename, a new file), never for the application.
    SRWLOCK lock;
    HANDLE file;
    ULONGLONG size;       // of the current file
    ULONGLONG rotateAt;   // the size at which the current file makes way
    bool endsLine;        // the current file ends with a line end, or is empty
    bool heldWarned;      // the one warning for a file that cannot be moved is given
    ULONGLONG lostBytes;  // not written since writing last worked
    DWORD lostError;
    ULONGLONG lostToReport;  // an ended loss, reported once the lock is released
    DWORD lostToReportError;
    OVERLAPPED readDone;
    char chunk[kPipeBytes];
};

ConsoleWriter writers[kStreamCount];

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

// Every sharing mode: an operator reads and follows the file while the service
// writes it, and may move it away. Never truncated: a file already there could
// not be moved, and holds earlier output.
HANDLE OpenLogFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// --- The writer: from a pipe into files of a bounded size ---

// A file made there meanwhile is not emptied either: the output follows it.
// `size` gets its size (0 when it could not be opened).
HANDLE OpenLogFileAtEnd(const wchar_t* path, ULONGLONG* size) {
    HANDLE file = OpenLogFile(path);
    LARGE_INTEGER end = {};
    if (file != INVALID_HANDLE_VALUE) {
        SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END);
    }
    *size = static_cast<ULONGLONG>(end.QuadPart);
    return file;
}

// "<n> bytes … are lost" with the system's text, as a warning.
void ReportLost(const ConsoleWriter& writer, ULONGLONG bytes, DWORD error) {
    if (bytes == 0 || writer.warnings == nullptr) {
        return;
    }
    wchar_t message[kNotKeptUnits] = {};
    StringCchPrintfW(message, kNotKeptUnits,
                     L"%I64u bytes of the Java side's console output could not be written to %ls "
                     L"and are lost; the service ran on without them.\n",
                     bytes, writer.path);
    const size_t used = static_cast<size_t>(lstrlenW(message));
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   message + used, static_cast<DWORD>(kNotKeptUnits - used), nullptr);
    writer.warnings(0, message);
}

// Under the lock. Writes `count` bytes to the current file. What cannot be
// written (a full disk) is counted, and the count is handed on for its one
// event as soon as a write works again.
void WriteOut(ConsoleWriter* writer, const char* data, size_t count) {
    if (count == 0) {
        return;
    }
    // A new file that could not be made (a full disk) is tried again.
    if (writer->file == INVALID_HANDLE_VALUE) {
        writer->file = OpenLogFileAtEnd(writer->path, &writer->size);
    }
    DWORD written = 0;
    const BOOL ok = writer->file != INVALID_HANDLE_VALUE &&
                    WriteFile(writer->file, data, static_cast<DWORD>(count), &written, nullptr);
    const DWORD error = ok ? 0 : GetLastError();
    writer->size += written;
    if (!ok || written < count) {
        writer->lostError = writer->lostBytes == 0 ? error : writer->lostError;
        writer->lostBytes += count - written;
        return;
    }
    writer->endsLine = data[count - 1] == '\n';
    if (writer->lostBytes != 0) {
        writer->lostToReport += writer->lostBytes;
        writer->lostToReportError = writer->lostError;
        writer->lostBytes = 0;
    }
}

// Under the lock. A file that cannot be moved at its limit is never emptied:
// the output goes on in it after a marked line, with one warning while it is
// held, and the move is tried again each time the file has grown by the zone.
void GoOnInHeldFile(ConsoleWriter* writer) {
    writer->rotateAt = writer->size + kLineEndZone;
    if (writer->heldWarned) {
        return;
    }
    writer->heldWarned = true;
    writer->size += WriteMarkedLine(writer->file, !writer->endsLine, "size limit reached",
                                    writer->name, "the output goes on in it");
    writer->endsLine = true;
    if (writer->warnings == nullptr) {
        return;
    }
    wchar_t message[kNotKeptUnits];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"%ls has reached its size limit (console.max-size) but could not be moved "
                     L"to %ls.1.log (a program holds it open, or the service may not rename it). "
                     L"The output goes on in it, after a line that begins with \"-----\", until "
                     L"it can be moved.",
                     writer->path, writer->name);
    writer->warnings(0, message);
}

// Under the lock. The current file has reached its limit: it becomes number
// 1, the older ones move up, the oldest goes, and a new file begins.
void MakeWayForNewFile(ConsoleWriter* writer) {
    if (!CanMoveAway(writer->path) ||
        !MoveOlderFilesUp(writer->logsDir, writer->name, writer->keep)) {
        GoOnInHeldFile(writer);
        return;
    }
    CloseHandle(writer->file);
    writer->file = OpenLogFileAtEnd(writer->path, &writer->size);
    writer->rotateAt = writer->size + writer->maxBytes;
    writer->endsLine = true;
    writer->heldWarned = false;
}

// How much of `data` the current file takes: through the first line end within
// the zone below its limit, or up to the limit when no line ends there (then
// `full`); all of it when it fits and ends no line in the zone.
size_t TakeForFile(const ConsoleWriter& writer, const char* data, size_t count, bool* full) {
    const ULONGLONG room = writer.rotateAt > writer.size ? writer.rotateAt - writer.size : 0;
    const ULONGLONG zoneStart = writer.rotateAt - kLineEndZone;
    const size_t searchEnd = room < count ? static_cast<size_t>(room) : count;
    const size_t skip = zoneStart > writer.size ? static_cast<size_t>(zoneStart - writer.size) : 0;
    if (skip < searchEnd) {
        const void* lineEnd = memchr(data + skip, '\n', searchEnd - skip);
        if (lineEnd != nullptr) {
            *full = true;
            return static_cast<size_t>(static_cast<const char*>(lineEnd) - data) + 1;
        }
    }
    *full = count >= room;
    return searchEnd;
}

// Under the lock.
void WriteBounded(ConsoleWriter* writer, const char* data, size_t count) {
    while (count > 0) {
        bool full = false;
        const size_t taken = TakeForFile(*writer, data, count, &full);
        WriteOut(writer, data, taken);
        data += taken;
        count -= taken;
        if (full) {
            MakeWayForNewFile(writer);
        }
    }
}

// Under the lock. Copies what the pipe holds into the files, at most a few
// buffers' worth so that a drain waits little for the lock; false when the
// pipe held nothing (or is gone).
bool CopyFromPipe(ConsoleWriter* writer) {
    constexpr int kReadsPerCopy = 4;
    bool copied = false;
    for (int i = 0; i < kReadsPerCopy; ++i) {
        DWORD available = 0;
        if (!PeekNamedPipe(writer->readEnd, nullptr, 0, nullptr, &available, nullptr) ||
            available == 0) {
            return copied;
        }
        DWORD got = 0;
        const DWORD wanted = available < kPipeBytes ? available : kPipeBytes;
        if ((!ReadFile(writer->readEnd, writer->chunk, wanted, nullptr, &writer->readDone) &&
             GetLastError() != ERROR_IO_PENDING) ||
            !GetOverlappedResult(writer->readEnd, &writer->readDone, &got, TRUE)) {
            return copied;
        }
        WriteBounded(writer, writer->chunk, got);
        copied = true;
    }
    return copied;
}

// Takes the loss to report, under the lock; reported after it is released.
void TakeLostToReport(ConsoleWriter* writer, ULONGLONG* bytes, DWORD* error) {
    *bytes = writer->lostToReport;
    *error = writer->lostToReportError;
    writer->lostToReport = 0;
}

// Waits until the pipe holds something, without taking it: a read of no bytes
// completes when data arrives. False when the pipe is gone.
bool WaitForOutput(HANDLE readEnd, OVERLAPPED* arrival) {
    char none = 0;
    DWORD got = 0;
    if (!ReadFile(readEnd, &none, 0, nullptr, arrival) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(readEnd, arrival, &got, TRUE) != FALSE;
}

// The writer thread: copies each arrival into the files under the writer's
// lock (see ConsoleWriter), and reports an ended loss outside it. It waits
// only for the pipe and the file system; it runs until the process ends.
DWORD WINAPI RunWriter(void* param) {
    ConsoleWriter* writer = static_cast<ConsoleWriter*>(param);
    OVERLAPPED arrival = {};
    arrival.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (arrival.hEvent != nullptr && WaitForOutput(writer->readEnd, &arrival)) {
        ULONGLONG lost = 0;
        DWORD error = 0;
        AcquireSRWLockExclusive(&writer->lock);
        const bool copied = CopyFromPipe(writer);
        TakeLostToReport(writer, &lost, &error);
        ReleaseSRWLockExclusive(&writer->lock);
        ReportLost(*writer, lost, error);
        // A drain took it first; a system whose empty reads do not wait
        // would otherwise spin here.
        if (!copied) {
            Sleep(10);
        }
    }
    return 0;
}

// A pipe whose read end is overlapped, so that a drain can look into it while
// the writer waits on it (a synchronous handle serialises every call on it),
// and whose write end is the ordinary synchronous handle a C runtime takes.
// One instance, local clients only, made by this process before any other can
// connect. False when either end cannot be made.
bool CreateConsolePipe(const wchar_t* name, HANDLE* readEnd, HANDLE* writeEnd) {
    wchar_t pipeName[96];
    StringCchPrintfW(pipeName, ARRAYSIZE(pipeName), L"\\\\.\\pipe\\MerivastService.%lu.%ls",
                     GetCurrentProcessId(), name);
    *readEnd = CreateNamedPipeW(
        pipeName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kPipeBytes, 0, nullptr);
    if (*readEnd == INVALID_HANDLE_VALUE) {
        return false;
    }
    *writeEnd = CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*writeEnd == INVALID_HANDLE_VALUE) {
        CloseHandle(*readEnd);
        return false;
    }
    return true;
}

// The handle the stream's standard handle becomes: the write end of a pipe
// whose writer thread fills `file`, or `file` itself when no pipe or thread
// can be made.
HANDLE PassThroughWriter(size_t index, HANDLE file, const wchar_t* logsDir,
                         const ConsoleSettings& settings, ErrorSink warnings) {
    ConsoleWriter& writer = writers[index];
    HANDLE writeEnd = INVALID_HANDLE_VALUE;
    if (!CreateConsolePipe(kStreams[index].name, &writer.readEnd, &writeEnd)) {
        writer.readEnd = nullptr;
        return file;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    writer.logsDir = logsDir;
    writer.name = kStreams[index].name;
    writer.maxBytes = settings.maxMiB * kBytesPerMiB;
    writer.keep = settings.keep;
    writer.warnings = warnings;
    InitializeSRWLock(&writer.lock);
    writer.file = file;
    writer.size = static_cast<ULONGLONG>(size.QuadPart);
    writer.rotateAt = writer.maxBytes;
    writer.endsLine = true;
    writer.readDone.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, kWriterStackBytes, RunWriter, &writer,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (writer.readDone.hEvent == nullptr || thread == nullptr) {
        CloseHandle(writeEnd);
        CloseHandle(writer.readEnd);
        writer.readEnd = nullptr;
        return file;
    }
    CloseHandle(thread);
    return writeEnd;
}

// Tries the lock until `deadline` (GetTickCount64).
bool AcquireBefore(SRWLOCK* lock, ULONGLONG deadline) {
    while (!TryAcquireSRWLockExclusive(lock)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
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
        wchar_t(&path)[kPathUnits] = writers[i].path;
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
        writers[i].heldWarned = held;
        SetStdHandle(
            stream.standardHandle,
            settings.maxMiB == 0 ? file : PassThroughWriter(i, file, logsDir, settings, warnings));
    }
}

void DrainConsoleOutput(DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (ConsoleWriter& writer : writers) {
        if (writer.readEnd == nullptr || !AcquireBefore(&writer.lock, deadline)) {
            continue;
        }
        bool more = true;
        while (more && GetTickCount64() < deadline) {
            more = CopyFromPipe(&writer);
        }
        ULONGLONG lost = 0;
        DWORD error = 0;
        TakeLostToReport(&writer, &lost, &error);
        // The service ends: a loss still under way ends with it.
        lost += writer.lostBytes;
        error = writer.lostBytes != 0 ? writer.lostError : error;
        writer.lostBytes = 0;
        ReleaseSRWLockExclusive(&writer.lock);
        ReportLost(writer, lost, error);
    }
}
