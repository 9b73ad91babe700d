// The bridge's record, <installDir>\bridge-record.txt: one UTF-8 line per
// event, "<seq> <thread id> <event> <details>", the same shape as the
// stand-in runtime's record so the same readers work on both.
#pragma once

#include <windows.h>

#include <string>

namespace bridge {

// Starts a fresh record at `path`; events before this are dropped.
void OpenRecord(const std::wstring& path);
// Line breaks in `details` are escaped so that an event stays one line.
void Record(const char* event, const std::string& details = std::string());
void CloseRecord();
bool RecordIsOpen();

// Records why, then ends the process with kTrapExitCode: a host that calls
// what the bridge does not offer must not run on as if it had worked.
[[noreturn]] void Trap(const std::string& why);
constexpr UINT kTrapExitCode = 0xB81D6E;

}  // namespace bridge
