// Why a Java runtime library did not load, in plain words, for the operator.
#pragma once

#include "base/event_log.h"
#include "base/win32.h"

// Called after the library at `dllPath` ("<jre>\bin\<vm>\jvm.dll") failed to
// load. When it can tell why, it gives `sink` one error event that says what
// is wrong and what to do:
//   - neither "<jre>\bin\client\jvm.dll" nor "<jre>\bin\server\jvm.dll" exists
//     (and whether a folder of "<jre>" holds a runtime, one level too deep);
//   - the file is of the other pointer size (or for another processor);
//   - the file is not a Windows DLL (empty, not an executable, cut short, a program);
//   - DLLs it imports are in none of "<jre>\bin", the VM's folder and the
//     system folder (API-set names, which the system resolves, are skipped).
// Otherwise it reports nothing. The file is read as data only; none of its
// code runs. Nothing is reported when `sink` is null.
void ExplainLoadFailure(const wchar_t* dllPath, ErrorSink sink);
