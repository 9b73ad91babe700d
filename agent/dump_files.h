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

// The runtime's crash files of this process in `logsDir` (hs_err_pid<pid>.log,
// and java_pid<pid>.hprof where an older conf\jvm.options sends it) get the
// dumps' security. Any thread; takes no lock.
void RestrictCrashFiles(const wchar_t* logsDir);

// "<logsDir>\outofmemory", where the shipped conf\jvm.options sends the
// runtime's heap dump at OutOfMemoryError: created when missing, before the
// runtime starts, with the dumps' security made to pass to every file created
// in it. The runtime creates that dump with no security of its own, so it
// takes the folder's from its creation on, and no handle opened before it is
// protected can read it. When the folder cannot be made, the runtime's own
// message at the dump says so.
void MakeOutOfMemoryFolder(const wchar_t* logsDir);
