// The console files' names and their moves: at a start, and when a file
// reaches its size while the service runs, each older file moves one number
// up and the current one becomes number 1.
#pragma once

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

// Every sharing mode: an operator reads and follows the file while the service
// writes it, and may move it away. Never truncated: a file already there could
// not be moved, and holds earlier output.
HANDLE OpenLogFile(const wchar_t* path);

// Whether the open `file` has been deleted: its name is gone or goes when the
// last handle closes, so what is written to it is lost.
bool IsDeleted(HANDLE file);

// The line that marks where a file that could not be moved goes on:
// "----- <why> at <time> UTC: this file could not be moved to <name>.1.log,
// so <what> -----", on a line of its own. Returns the bytes written.
DWORD WriteMarkedLine(HANDLE file, bool breakFirst, const char* why, const wchar_t* name,
                      const char* what);

// Why the current file `path` could not make way, for a warning: "could not
// be moved to <name>.1.log", and when another file was `held`, ", because the
// older file <held> could not make way", then " (a program holds it open, or
// the service may not rename it)". Cut when it does not fit.
void DescribeHeld(const wchar_t* path, const wchar_t* name, const wchar_t* held, wchar_t* text,
                  size_t units);
