#include "jvmhost/console_moves.h"

#include <strsafe.h>

bool LogFilePath(const wchar_t* logsDir, const wchar_t* name, DWORD back,
                 wchar_t (&path)[kPathUnits]) {
    wchar_t file[24];
    if (back > 0) {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.%lu.log", name, back);
    } else {
        StringCchPrintfW(file, ARRAYSIZE(file), L"%ls.log", name);
    }
    return JoinPath(path, logsDir, file);
}

namespace {

// Whether the file at `path` can be moved away: a program that holds it open
// without delete sharing (a viewer or follower built on the C runtime's
// fopen) keeps it where it is. No file: true.
bool CanMoveAway(const wchar_t* path) {
    HANDLE probe = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(probe);
    return true;
}

// The lowest number from 1 to `keep` that no file takes; `keep` when every
// one below it is taken. A gap left by a move that failed earlier is filled
// first, so the files above it are not moved (and the oldest not replaced)
// again.
DWORD FirstFreeNumber(const wchar_t* logsDir, const wchar_t* name, DWORD keep) {
    for (DWORD back = 1; back < keep; ++back) {
        wchar_t path[kPathUnits];
        if (LogFilePath(logsDir, name, back, path) &&
            GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
            return back;
        }
    }
    return keep;
}

}  // namespace

bool MakeWayForCurrentFile(const wchar_t* logsDir, const wchar_t* name, DWORD keep,
                           wchar_t (&held)[kPathUnits]) {
    held[0] = L'\0';
    wchar_t current[kPathUnits];
    // The older files move up only when the current one can follow them:
    // otherwise the oldest kept one would be lost for a gap.
    if (LogFilePath(logsDir, name, 0, current) && !CanMoveAway(current)) {
        StringCchCopyW(held, kPathUnits, current);
        return false;
    }
    for (DWORD back = FirstFreeNumber(logsDir, name, keep); back >= 1; --back) {
        wchar_t from[kPathUnits];
        wchar_t to[kPathUnits];
        if (!LogFilePath(logsDir, name, back - 1, from) || !LogFilePath(logsDir, name, back, to)) {
            continue;
        }
        const BOOL moved = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
        const DWORD error = moved ? 0 : GetLastError();
        // No current file yet (the first start) is nothing to move.
        if (!moved && error != ERROR_FILE_NOT_FOUND) {
            // The file to replace may be the one held; otherwise the one to move is.
            StringCchCopyW(held, kPathUnits, CanMoveAway(to) ? from : to);
            return false;
        }
    }
    return true;
}

HANDLE OpenLogFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsDeleted(HANDLE file) {
    // A delete leaves the file pending until its last handle closes, or (with
    // POSIX semantics, Windows 10's default, and a delete from the Linux side
    // under Wine) takes its name at once: no link is left.
    FILE_STANDARD_INFO info = {};
    return GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof(info)) &&
           (info.DeletePending || info.NumberOfLinks == 0);
}

DWORD WriteMarkedLine(HANDLE file, bool breakFirst, const char* why, const wchar_t* name,
                      const char* what) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char marker[224];
    StringCchPrintfA(marker, ARRAYSIZE(marker),
                     "%s----- %s at %04u-%02u-%02u %02u:%02u:%02u UTC: this file could not be "
                     "moved to %ls.1.log, so %s -----\r\n",
                     breakFirst ? "\r\n" : "", why, now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond, name, what);
    DWORD written = 0;
    WriteFile(file, marker, static_cast<DWORD>(lstrlenA(marker)), &written, nullptr);
    return written;
}

void DescribeHeld(const wchar_t* path, const wchar_t* name, const wchar_t* held, wchar_t* text,
                  size_t units) {
    StringCchPrintfW(text, units, L"could not be moved to %ls.1.log", name);
    if (held[0] != L'\0' && lstrcmpiW(held, path) != 0) {
        StringCchCatW(text, units, L", because the older file ");
        StringCchCatW(text, units, held);
        StringCchCatW(text, units, L" could not make way");
    }
    StringCchCatW(text, units, L" (a program holds it open, or the service may not rename it)");
}
