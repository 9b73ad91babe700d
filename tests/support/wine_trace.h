// What a service process told the platform, read back from the Wine debug
// trace of the test session: Wine's event log keeps nothing, so the trace of
// RegisterEventSourceW/ReportEventW and SetServiceStatus is the evidence.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace mvt {

struct TracedEvent {
    std::wstring source;
    unsigned type = 0;
    unsigned category = 0;
    unsigned id = 0;
    unsigned stringCount = 0;
    std::vector<std::wstring> strings;
    DWORD thread = 0;
};

struct TracedStatus {
    unsigned state = 0;
    unsigned accepted = 0;
    unsigned win32ExitCode = 0;
    unsigned specificExitCode = 0;
    unsigned checkPoint = 0;
    unsigned waitHint = 0;
    unsigned long long timeMs = 0;  // the trace's timestamp, in milliseconds
};

struct ProcessTrace {
    std::vector<TracedEvent> events;
    std::vector<TracedStatus> reports;  // every SetServiceStatus, in order
    std::vector<unsigned> controls;     // every control the dispatcher passed on
    // The events' texts, one string each (empty text for an event without one).
    std::vector<std::wstring> Texts() const;
    std::vector<unsigned> States() const;
    // The states with repeated reports of one state counted once: a slow stop
    // reports stop-pending once a second.
    std::vector<unsigned> StateChanges() const;
};

// The Linux path of the session's trace, from MERIVAST_EVENT_TRACE; empty when unset.
std::wstring TraceFilePath();
// Where the trace ends now: lines written later belong to processes started later.
unsigned long long TraceEnd();
// Everything the trace holds for process `pid` from `fromOffset` on. Wine
// reuses process ids, so pass the trace's end from before the process started.
ProcessTrace ReadProcessTrace(DWORD pid, unsigned long long fromOffset = 0);
// The same for every process, from one read of the trace.
std::map<DWORD, ProcessTrace> ReadAllProcessTraces(unsigned long long fromOffset = 0);
// Decodes a Wine debugstr_w literal body (between the quotes).
std::wstring DecodeWineString(const std::string& body);

}  // namespace mvt
