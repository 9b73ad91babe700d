#include "base/event_log.h"

#include <strsafe.h>

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
    HANDLE eventSource = RegisterEventSourceW(nullptr, source);
    if (eventSource == nullptr) {
        return;
    }
    LPCWSTR strings[1] = {message};
    const WORD stringCount = message != nullptr ? 1 : 0;
    ReportEventW(eventSource, type, 0, eventId, nullptr, stringCount, 0,
                 message != nullptr ? strings : nullptr, nullptr);
    DeregisterEventSource(eventSource);
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
