// The Java side's console output, kept in files below the install directory:
// logs\stdout.log and logs\stderr.log, with the files of the four starts
// before this one as stdout.1.log … stdout.4.log (stderr alike).
#pragma once

#include "base/event_log.h"
#include "base/paths.h"
#include "base/win32.h"

// Creates `logsDir` when it is missing, moves each earlier start's
// files one number up (the fifth-oldest start's are replaced, and so deleted),
// and points the process's standard output and error at new stdout.log and
// stderr.log. Call it before the runtime library loads: the runtime's C
// runtime takes the standard handles when it loads. Others may read, follow,
// rename or delete the files while the process writes them.
//
// When the folder or a file cannot be created, `sink` (when set) gets one
// error event that names it, with the system's text; a standard handle whose
// file could not be created stays as it was (a service has none), and the
// process goes on. A file the start before left that cannot be moved (a
// program holds it open) is never emptied: this start's output follows it,
// after a line "----- new start at ... -----", and `warnings` (when set) gets
// one event that names it; the earlier starts' files then stay as they are.
// The handles stay open until the process ends.
void KeepConsoleOutput(const wchar_t* logsDir, ErrorSink sink, ErrorSink warnings);
