#include "jvmhost/console_pipe.h"

#include <string.h>

#include <strsafe.h>

#include "base/paths.h"

namespace {

constexpr ULONGLONG kBytesPerMiB = 1024ULL * 1024;
// The pipe's buffer: what the application may write ahead of the writer
// before a write of its waits, and so what is in flight at any moment.
constexpr DWORD kPipeBytes = 256 * 1024;
// A file ends at the first line end within this much of its limit; a line that
// runs through all of it is cut at the limit.
constexpr ULONGLONG kLineEndZone = 64ULL * 1024;
// A writer needs few frames: a read, a write, a rename.
constexpr SIZE_T kWriterStackBytes = 64 * 1024;
// How often a writer asks whether its file has been deleted, before a write.
constexpr ULONGLONG kDeletedCheckMs = 1000;

// One stream's writer: the pipe the runtime writes to and the files it fills.
struct ConsoleWriter {
    // Set by StartConsoleWriter before the writer thread starts; read-only
    // afterwards. A writer without a read end is not used (its thread could
    // not be made).
    ULONGLONG maxBytes;
    HANDLE readEnd;          // the pipe's, overlapped, so a drain never waits behind a read
    const wchar_t* logsDir;  // weak: the layout's, which outlives the process
    const wchar_t* name;     // "stdout"
    DWORD keep;
    ErrorSink errors;
    ErrorSink warnings;
    wchar_t path[kPathUnits];
    // --- Guarded by `lock`: held by the writer thread around each copy from
    // the pipe into the file, and by a drain. Its holder waits only for the
    // file system (a write, a rename, a new file), never for the application.
    ULONGLONG size;            // of the current file
    ULONGLONG rotateAt;        // the size at which the current file makes way
    ULONGLONG deletedCheckAt;  // GetTickCount64 of the next look for a deleted file
    ULONGLONG lostBytes;       // not written since writing last worked
    ULONGLONG lostToReport;    // an ended loss, reported once the lock is released
    SRWLOCK lock;
    HANDLE file;
    DWORD lostError;
    DWORD lostToReportError;
    OVERLAPPED readDone;  // the copies' reads, by the writer thread or a drain
    OVERLAPPED arrival;   // the writer thread's wait for output, its own
    bool prepared;        // the start's moves are made and the current file opened
    bool startFailed;     // that file could not be created: what arrives is dropped
    bool endsLine;        // the current file ends with a line end, or is empty
    bool heldWarned;      // the one warning for a file that cannot be moved is given
    char chunk[kPipeBytes];
};

// One writer a stream: stdout, stderr.
ConsoleWriter writers[2];

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

// Under the lock. The current file makes way for a new one of its name.
void BeginNewFile(ConsoleWriter* writer) {
    if (writer->file != INVALID_HANDLE_VALUE) {
        CloseHandle(writer->file);
    }
    writer->file = OpenLogFileAtEnd(writer->path, &writer->size);
    writer->rotateAt = writer->size + writer->maxBytes;
    writer->endsLine = true;
    writer->heldWarned = false;
}

// Under the lock. A file deleted while the service runs (by an operator, or
// a program that clears logs\) would take all that follows with it: a new
// file takes its place. Asked at most once a second, before a write.
void ReplaceDeletedFile(ConsoleWriter* writer) {
    const ULONGLONG now = GetTickCount64();
    if (now < writer->deletedCheckAt) {
        return;
    }
    writer->deletedCheckAt = now + kDeletedCheckMs;
    if (IsDeleted(writer->file)) {
        BeginNewFile(writer);
    }
}

// Under the lock. Writes `count` bytes to the current file. What cannot be
// written (a full disk) is counted, and the count is handed on for its one
// event as soon as a write works again. Without a file from the start (its
// error is given), the output goes nowhere, as without a standard handle.
void WriteOut(ConsoleWriter* writer, const char* data, size_t count) {
    if (count == 0 || writer->startFailed) {
        return;
    }
    // A new file that could not be made (a full disk) is tried again.
    if (writer->file == INVALID_HANDLE_VALUE) {
        writer->file = OpenLogFileAtEnd(writer->path, &writer->size);
    } else {
        ReplaceDeletedFile(writer);
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

// Under the lock. A file that cannot make way at its limit is never emptied:
// the output goes on in it after a marked line, with one warning (naming
// `held`, the file that stayed where it was) while it is held. The move is
// tried again at the first line end once the file has grown by the zone, so
// a held file costs one try each 64 KiB, not one each line.
void GoOnInHeldFile(ConsoleWriter* writer, const wchar_t* held) {
    writer->rotateAt = writer->size + 2 * kLineEndZone;
    if (writer->heldWarned) {
        return;
    }
    writer->heldWarned = true;
    writer->size += MarkHeldAtLimit(writer->file, writer->endsLine, writer->path, writer->name,
                                    held, writer->warnings);
    writer->endsLine = true;
}

// Under the lock. The current file has reached its limit: it becomes number
// 1, the older ones move up, the oldest goes, and a new file begins. A file
// deleted meanwhile makes way without a move.
void MakeWayForNewFile(ConsoleWriter* writer) {
    wchar_t held[kPathUnits];
    if (!IsDeleted(writer->file) &&
        !MakeWayForCurrentFile(writer->logsDir, writer->name, writer->keep, held)) {
        GoOnInHeldFile(writer, held);
        return;
    }
    BeginNewFile(writer);
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

// Under the lock, once, by the writer thread as it starts or by a drain that
// comes first: the start's moves and its current file.
void PrepareStartFile(ConsoleWriter* writer) {
    if (writer->prepared) {
        return;
    }
    writer->prepared = true;
    bool continued = false;
    writer->file = OpenStartFile(writer->logsDir, writer->name, writer->path, writer->keep,
                                 writer->errors, writer->warnings, &continued);
    writer->startFailed = writer->file == INVALID_HANDLE_VALUE;
    LARGE_INTEGER size = {};
    GetFileSizeEx(writer->file, &size);
    writer->size = static_cast<ULONGLONG>(size.QuadPart);
    writer->heldWarned = continued;
    writer->rotateAt = writer->maxBytes;
    writer->endsLine = true;
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
    AcquireSRWLockExclusive(&writer->lock);
    PrepareStartFile(writer);
    ReleaseSRWLockExclusive(&writer->lock);
    while (WaitForOutput(writer->readEnd, &writer->arrival)) {
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
// connect. False, with neither end open, when either cannot be made.
bool CreateConsolePipe(const wchar_t* name, HANDLE* readEnd, HANDLE* writeEnd) {
    wchar_t pipeName[96];
    StringCchPrintfW(pipeName, ARRAYSIZE(pipeName), L"\\\\.\\pipe\\MerivastService.%lu.%ls",
                     GetCurrentProcessId(), name);
    HANDLE read = CreateNamedPipeW(
        pipeName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kPipeBytes, 0, nullptr);
    if (read == INVALID_HANDLE_VALUE) {
        return false;
    }
    *writeEnd = CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*writeEnd == INVALID_HANDLE_VALUE) {
        CloseHandle(read);
        return false;
    }
    *readEnd = read;
    return true;
}

// Everything the writer thread needs, made before it starts: the pipe and the
// events of its two overlapped reads. False, with none of them left open,
// when one cannot be made.
bool MakeWriterHandles(ConsoleWriter* writer, const wchar_t* name, HANDLE* writeEnd) {
    writer->readDone.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writer->arrival.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (writer->readDone.hEvent != nullptr && writer->arrival.hEvent != nullptr &&
        CreateConsolePipe(name, &writer->readEnd, writeEnd)) {
        return true;
    }
    const HANDLE events[] = {writer->readDone.hEvent, writer->arrival.hEvent};
    for (HANDLE event : events) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    writer->readDone.hEvent = nullptr;
    writer->arrival.hEvent = nullptr;
    return false;
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

HANDLE StartConsoleWriter(size_t index, const wchar_t* name, const wchar_t* path,
                          const wchar_t* logsDir, const ConsoleSettings& settings, ErrorSink errors,
                          ErrorSink warnings) {
    HANDLE writeEnd = INVALID_HANDLE_VALUE;
    if (index >= ARRAYSIZE(writers) ||
        FAILED(StringCchCopyW(writers[index].path, kPathUnits, path)) ||
        !MakeWriterHandles(&writers[index], name, &writeEnd)) {
        return INVALID_HANDLE_VALUE;
    }
    ConsoleWriter& writer = writers[index];
    writer.logsDir = logsDir;
    writer.name = name;
    writer.maxBytes = settings.maxMiB * kBytesPerMiB;
    writer.keep = settings.keep;
    writer.errors = errors;
    writer.warnings = warnings;
    InitializeSRWLock(&writer.lock);
    HANDLE thread = CreateThread(nullptr, kWriterStackBytes, RunWriter, &writer,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        // No thread ever saw them: the stream writes to its file itself.
        const HANDLE unused[] = {writeEnd, writer.readEnd, writer.readDone.hEvent,
                                 writer.arrival.hEvent};
        for (HANDLE handle : unused) {
            CloseHandle(handle);
        }
        writer.readEnd = nullptr;
        return INVALID_HANDLE_VALUE;
    }
    CloseHandle(thread);
    return writeEnd;
}

void DrainConsoleOutput(DWORD waitMs) {
    for (ConsoleWriter& writer : writers) {
        // Each pipe its own time: a stream that keeps arriving must not keep
        // the other's last words in its pipe.
        const ULONGLONG deadline = GetTickCount64() + waitMs;
        if (writer.readEnd == nullptr || !AcquireBefore(&writer.lock, deadline)) {
            continue;
        }
        PrepareStartFile(&writer);
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
