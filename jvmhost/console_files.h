// The Java side's console output, kept in files below the install directory:
// logs\stdout.log and logs\stderr.log, with older files as stdout.1.log …
// stdout.<keep>.log (stderr alike). Each start begins new files; with a size
// limit, so does a file that would pass it.
#pragma once

#include "base/event_log.h"
#include "jvmhost/console_moves.h"

// Creates `logsDir` when it is missing, moves each older file one number up
// (the one numbered `keep` is replaced, and so deleted), and points the
// process's standard output and error at new stdout.log and stderr.log. Call
// it before the runtime library loads: the runtime's C runtime takes the
// standard handles when it loads. Others may read, follow, rename or delete
// the files while the process writes them.
//
// With a size limit the standard handles are pipes instead (console_pipe.h),
// and each pipe's writer thread makes its stream's moves and file, so the
// start does not wait for them. When a pipe or its writer thread cannot be
// made, that stream's file is the standard handle, as without a limit.
//
// When the folder or a file cannot be created, `sink` (when set) gets one
// error event that names it, with the system's text; what the runtime writes
// to that stream goes nowhere (a service has no standard handles), and the
// process goes on. A file that cannot be moved (a program holds it open) is
// never emptied: the output follows it, after a line "----- ... -----", and
// `warnings` (when set) gets one event that names it (and the older file that
// could not make way, when one held it back). The handles stay open until
// the process ends.
void KeepConsoleOutput(const wchar_t* logsDir, const ConsoleSettings& settings, ErrorSink sink,
                       ErrorSink warnings);
