// The Java side's console output, kept in files below the install directory:
// logs\stdout.log and logs\stderr.log, with older files as stdout.1.log …
// stdout.<keep>.log (stderr alike). Each start begins new files; with a size
// limit, so does a file that would pass it.
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

// Creates `logsDir` when it is missing, moves each older file one number up
// (the one numbered `keep` is replaced, and so deleted), and points the
// process's standard output and error at new stdout.log and stderr.log. Call
// it before the runtime library loads: the runtime's C runtime takes the
// standard handles when it loads. Others may read, follow, rename or delete
// the files while the process writes them.
//
// With a size limit the standard handles are pipes instead, each emptied into
// its file by a writer thread of the host's own, which starts a new file at a
// line end near the limit; what the disk cannot take is counted, and said once
// in a warning event to `warnings` when writing works again or at the end.
// When a pipe cannot be made, that stream's file is the standard handle, as
// without a limit.
//
// When the folder or a file cannot be created, `sink` (when set) gets one
// error event that names it, with the system's text; a standard handle whose
// file could not be created stays as it was (a service has none), and the
// process goes on. A file that cannot be moved (a program holds it open) is
// never emptied: the output follows it, after a line "----- ... -----", and
// `warnings` (when set) gets one event that names it; the older files then
// stay as they are. The handles stay open until the process ends.
void KeepConsoleOutput(const wchar_t* logsDir, const ConsoleSettings& settings, ErrorSink sink,
                       ErrorSink warnings);

// Writes what the application has written to the standard handles and is
// still in a pipe into the files, before the process ends; nothing without a
// size limit. Any thread. It takes each writer's lock (polling it until
// `waitMs` have passed, while the writer finishes one write to its file) and
// copies what the pipe holds; it gives up at `waitMs`, so a disk that hangs
// cannot hold up the end. Reports output that could not be written (the
// warning event) after it releases the lock.
void DrainConsoleOutput(DWORD waitMs);
