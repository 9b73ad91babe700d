// The console files with a size limit: the standard handles are pipes, each
// emptied into its file by a writer thread of the host's own, which starts a
// new file at a line end near the limit; and the drain at the end of the
// process.
#pragma once

#include "base/event_log.h"
#include "jvmhost/console_moves.h"

// With a size limit, the handle the standard stream `index` (0 stdout, 1
// stderr) becomes: the write end of a pipe whose writer thread fills the
// files, from `path` (<logsDir>\<name>.log) on. The writer makes the start's
// moves and opens the current file itself (OpenStartFile, its events to
// `errors` and `warnings`), off the start's way: what the runtime writes
// meanwhile waits in the pipe, and a drain that comes first does it. What the
// disk cannot take later is counted, and said once in a warning event to
// `warnings` when writing works again or at the end. INVALID_HANDLE_VALUE
// when the pipe, its events or its thread cannot be made, none of them then
// left open.
HANDLE StartConsoleWriter(size_t index, const wchar_t* name, const wchar_t* path,
                          const wchar_t* logsDir, const ConsoleSettings& settings, ErrorSink errors,
                          ErrorSink warnings);

// Writes what the application has written to the standard handles and is
// still in a pipe into the files, before the process ends; nothing without a
// size limit. Any thread. For each pipe in turn it takes the writer's lock
// (polling it while the writer finishes one write to its file) and copies
// what the pipe holds until it is empty; each pipe gets its own `waitMs`, so
// a disk that hangs cannot hold up the end, and a stream that keeps arriving
// cannot keep the other's last words in its pipe. Reports output that could
// not be written (the warning event) after it releases the lock.
void DrainConsoleOutput(DWORD waitMs);
