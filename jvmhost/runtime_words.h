// What the Java runtime itself prints: the "vfprintf" hook the VM is given,
// which sends the runtime's text to the process's standard error and keeps
// its end, the runtime's last words, for the error events that explain a
// failure.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#include <jni.h>

#include "base/event_log.h"
#include "base/win32.h"

// One call's text is cut at this size; what the runtime prints in one call is
// a line or a few, so only a runaway text is ever cut.
constexpr size_t kRuntimeTextBytes = 4096;
// The runtime's last words: the end of everything it printed through the hook.
constexpr size_t kRuntimeLastWordsBytes = 4096;
// Enough for all of the last words converted to UTF-16, with the terminator.
constexpr size_t kRuntimeLastWordsUnits = kRuntimeLastWordsBytes + 1;

// The hook of the VM option "vfprintf" (its extraInfo). Formats with
// FormatRuntimeText, which reads the C99 size modifiers (%zu, %jd) as well as
// Microsoft's (%I64d, %Iu) on every Windows, into a buffer of
// kRuntimeTextBytes; a longer text is cut and ends in "...". Writes the text
// to the process's standard error (nothing is written when it has none) and
// keeps its end. Returns the bytes formatted.
//
// Any thread may call it, at any time, also before and after the VM exists.
// It takes the print-order lock around keeping the text and writing it, so
// the last words and standard error see the texts in one order, and inside it
// the last-words lock, for a copy of at most kRuntimeTextBytes bytes in
// memory. It never calls into Java or the event log, and formats before it
// takes either lock, so it cannot wait on the VM or on itself; the readers of
// the last words never wait for a write.
jint JNICALL RuntimeVfprintf(FILE* stream, const char* format, va_list args);

// Copies the runtime's last words (the end of what the hook received, at most
// kRuntimeLastWordsBytes, converted from the ANSI code page) into `out`, which
// holds `capacity` units, terminator included. When they do not fit, their end
// is kept. Returns the units copied without the terminator: 0 when the runtime
// printed nothing. Any thread; takes the last-words lock for a copy only.
size_t CopyRuntimeLastWords(wchar_t* out, size_t capacity);

// `intro`, then the runtime's last words without the line breaks that end
// them, in `out`, which holds `capacity` units, terminator included; when the
// words do not fit, their end is kept. Returns the units of the words: 0 when
// the runtime printed nothing, and `out` then holds `intro` alone. Any thread;
// takes the last-words lock for a copy only.
size_t JoinRuntimeLastWords(const wchar_t* intro, wchar_t* out, size_t capacity);

// After "CreateJavaVM ERROR": "The Java runtime reported:\n" and the runtime's
// last words, as one event to `sink` with `code`; nothing when the runtime
// printed nothing. Any thread; takes the last-words lock for a copy only.
void ReportRuntimeWords(int code, ErrorSink sink);
