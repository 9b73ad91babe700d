// Event-log reporting: every message is one insertion string of one event.
#pragma once

#include <stddef.h>

#include "base/win32.h"

// Receives the runtime host's failure messages. The code is accepted and not recorded.
using ErrorSink = void (*)(int code, const wchar_t* message);

// Writes one event of `type` under `source`, with the ID of its type
// (information 0, error 1, warning 2), which the executable's message table
// renders as its one insertion string. A source that cannot be opened loses
// the event silently; the caller's flow never changes.
void WriteEvent(const wchar_t* source, WORD type, const wchar_t* message);

// The source every event of the process is written under: "MerivastService"
// until the service thread names the service (SetEventSource), before its
// first event and before any other thread of the host writes one.
constexpr size_t kEventSourceUnits = 256;
void SetEventSource(const wchar_t* name);

// The error sink of every runtime host: an error event (ID 1) under EventSource().
void ReportErrorEvent(int code, const wchar_t* message);
// An information event (ID 0) under EventSource(), of the ErrorSink type.
void ReportInformationEvent(int code, const wchar_t* message);
// A warning event (ID 2) under EventSource(): something was left out, and
// the service runs on without it. Of the ErrorSink type, so a host can hold it.
void ReportWarningEvent(int code, const wchar_t* message);

// The system's text for `error`, as a sentence inside an event: without the
// line break, blanks and full stop it ends with, so the caller punctuates.
// Returns its length; 0, with `text` empty, when the system has none.
constexpr size_t kSystemTextUnits = 512;
size_t SystemErrorText(DWORD error, wchar_t (&text)[kSystemTextUnits]);
