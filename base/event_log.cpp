#include "base/event_log.h"

#include <strsafe.h>

#include "base/scoped.h"

namespace {
// Written once by the service thread before any event; read-only afterwards.
wchar_t eventSource[kEventSourceUnits] = L"MerivastService";
}  // namespace

void SetEventSource(const wchar_t* name) {
    StringCchCopyW(eventSource, ARRAYSIZE(eventSource), name);
}

void WriteEvent(const wchar_t* source, WORD type, const wchar_t* message) {
    const DWORD eventId = type == EVENTLOG_ERROR_TYPE ? 1 : type == EVENTLOG_WARNING_TYPE ? 2 : 0;
    // No handle is kept between events: each writer call stands alone and
    // works from either thread without shared state.
    ScopedEventSource handle(RegisterEventSourceW(nullptr, source));
    if (!handle.IsValid()) {
        return;
    }
    LPCWSTR strings[1] = {message};
    const WORD stringCount = message != nullptr ? 1 : 0;
    ReportEventW(handle.Get(), type, 0, eventId, nullptr, stringCount, 0,
                 message != nullptr ? strings : nullptr, nullptr);
}

void ReportErrorEvent(int /*code*/, const wchar_t* message) {
    WriteEvent(eventSource, EVENTLOG_ERROR_TYPE, message);
}

void ReportInformationEvent(int /*code*/, const wchar_t* message) {
    WriteEvent(eventSource, EVENTLOG_INFORMATION_TYPE, message);
}

void ReportWarningEvent(int /*code*/, const wchar_t* message) {
    WriteEvent(eventSource, EVENTLOG_WARNING_TYPE, message);
}

size_t SystemErrorText(DWORD error, wchar_t (&text)[kSystemTextUnits]) {
    // Without an argument list, insertion points are kept as they are rather
    // than read from arguments that do not exist. A failure writes nothing.
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, kSystemTextUnits, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.')) {
        --length;
    }
    text[length] = L'\0';
    return length;
}
