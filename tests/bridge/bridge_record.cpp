#include "bridge_record.h"

#include <stdio.h>

namespace bridge {

namespace {

SRWLOCK g_recordLock = SRWLOCK_INIT;
HANDLE g_record = INVALID_HANDLE_VALUE;
unsigned g_sequence = 0;

}  // namespace

void OpenRecord(const std::wstring& path) {
    AcquireSRWLockExclusive(&g_recordLock);
    if (g_record != INVALID_HANDLE_VALUE) {
        CloseHandle(g_record);
    }
    // Readers poll the record while the service runs, and may delete it.
    g_record = CreateFileW(path.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    g_sequence = 0;
    ReleaseSRWLockExclusive(&g_recordLock);
}

void Record(const char* event, const std::string& details) {
    char prefix[64];
    AcquireSRWLockExclusive(&g_recordLock);
    if (g_record != INVALID_HANDLE_VALUE) {
        snprintf(prefix, sizeof(prefix), "%u %lu ", ++g_sequence, GetCurrentThreadId());
        std::string line = prefix;
        line += event;
        if (!details.empty()) {
            line.push_back(' ');
            for (char c : details) {
                if (c == '\n') {
                    line += "\\n";
                } else if (c == '\r') {
                    line += "\\r";
                } else {
                    line.push_back(c);
                }
            }
        }
        line.push_back('\n');
        // One write per line, so a reader never sees half of a line from two threads.
        DWORD written = 0;
        WriteFile(g_record, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    ReleaseSRWLockExclusive(&g_recordLock);
}

void CloseRecord() {
    AcquireSRWLockExclusive(&g_recordLock);
    if (g_record != INVALID_HANDLE_VALUE) {
        CloseHandle(g_record);
    }
    g_record = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&g_recordLock);
}

bool RecordIsOpen() {
    AcquireSRWLockShared(&g_recordLock);
    const bool open = g_record != INVALID_HANDLE_VALUE;
    ReleaseSRWLockShared(&g_recordLock);
    return open;
}

void Trap(const std::string& why) {
    Record("TRAP", why);
    ExitProcess(kTrapExitCode);
}

}  // namespace bridge
