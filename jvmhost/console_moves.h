// The console files' names and their moves: at a start, and when a file
// reaches its size while the service runs, each older file moves one number
// up and the current one becomes number 1.
#pragma once

#include "base/event_log.h"
#include "base/paths.h"
#include "base/win32.h"

struct ConsoleSettings {
    // A file that would pass this many MiB makes way for a new one; 0: files
    // begin only at a start, and the runtime writes to them itself.
    DWORD maxMiB;
    DWORD keep;  // older files kept: stdout.1.log … stdout.<keep>.log
};

// Room for a console file's warning or error: two paths and the system's text.
constexpr size_t kNotKeptUnits = 192 + 2 * kPathUnits + 1024;

// "<logsDir>\<name>.log" for the current file, "<logsDir>\<name>.<n>.log" for
// the n-th older one. False when it does not fit.
bool LogFilePath(const wchar_t* logsDir, const wchar_t* name, DWORD back,
                 wchar_t (&path)[kPathUnits]);

// Makes way for a new current file: each older file moves one number up, as
// far as the first number no file takes (or onto `keep`, which replaces, and
// so deletes, the oldest), the oldest first, and the current file (when
// there is one) last becomes number 1. The moves stop at the first that
// fails, so a held file never has others moved onto its neighbours again and
// again: `held` then names the file that stayed where it was (one a program
// holds open, or one the service may not rename). True when the current file
// was moved or there was none.
bool MakeWayForCurrentFile(const wchar_t* logsDir, const wchar_t* name, DWORD keep,
                           wchar_t (&held)[kPathUnits]);

// A current file the service goes on writing: opened with every sharing mode
// (an operator reads and follows it while the service writes it, and may move
// it away), never truncated but written at its end, since a file made there
// meanwhile is not emptied either. `size` gets its size (0 when it could not
// be opened).
HANDLE OpenLogFileAtEnd(const wchar_t* path, ULONGLONG* size);

// Whether the open `file` has been deleted: its name is gone or goes when the
// last handle closes, so what is written to it is lost.
bool IsDeleted(HANDLE file);

// A start's current file `path` of the stream `name` (stdout, stderr): the
// older files make way for it (MakeWayForCurrentFile) and it is opened, new,
// or, when it could not make way, at its end after the line "----- new start
// at … -----", with one warning to `warnings` (when set) that names it and the
// file held. `continued` tells the latter. INVALID_HANDLE_VALUE when it cannot
// be created, after ReportNotKept.
HANDLE OpenStartFile(const wchar_t* logsDir, const wchar_t* name, const wchar_t* path, DWORD keep,
                     ErrorSink errors, ErrorSink warnings, bool* continued);

// The one error event of a process's console files (`sink`, when set): "The
// Java side's console output is not kept: <path> could not be created." with
// the system's text. Any thread; later ones are not reported.
void ReportNotKept(const wchar_t* path, DWORD error, ErrorSink sink);

// Marks where the current file `file` (`path`, ending a line or not) goes on
// once it could not make way at its size, and gives `warnings` (when set) the
// one warning for it, naming it and the file held. Returns the bytes written.
DWORD MarkHeldAtLimit(HANDLE file, bool endsLine, const wchar_t* path, const wchar_t* name,
                      const wchar_t* held, ErrorSink warnings);
