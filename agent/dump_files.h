// The files of the dump thread: thread and heap dumps in logs\, readable only
// by SYSTEM, the Administrators and the service's account, and the event that
// says a dump was not written.
#pragma once

#include "base/paths.h"
#include "base/wide_text.h"
#include "jvmhost/runtime_diagnostics.h"
#include "service/service_frame.h"

// Asks the runtime for its threads and writes them to a new file
// "<logsDir>\threaddump-<yyyymmdd-hhmmss>.txt"; its path in `path`, or false
// with why not in `why`.
bool WriteThreadDump(const RuntimeHost& host, const wchar_t* logsDir,
                     wchar_t (&path)[kBodyFileUnits], WideText* why);
// Asks the runtime for its live objects in
// "<logsDir>\heapdump-<yyyymmdd-hhmmss>.hprof"; its path in `path`, or false
// with why not in `why`.
bool WriteHeapDump(const RuntimeHost& host, const wchar_t* logsDir, wchar_t (&path)[kBodyFileUnits],
                   WideText* why);
// "No <what> was written: <why>." as an error event.
void ReportNoDump(const wchar_t* what, const wchar_t* why);

// The runtime's crash files of this process in `logsDir` (where the shipped
// conf\jvm.options sends them: hs_err_pid<pid>.log, java_pid<pid>.hprof) get
// the dumps' security. Any thread; takes no lock.
void RestrictCrashFiles(const wchar_t* logsDir);
