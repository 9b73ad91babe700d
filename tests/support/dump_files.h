// The dump files a service writes below logs\, their security, and the
// events that name them, read while the service runs.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "paths.h"
#include "scm_service.h"
#include "wine_trace.h"

namespace mvt {

// The first event of the running service whose text begins with `prefix`;
// empty when none came within `timeoutMs`.
inline std::wstring WaitForEventText(const ScmService& service, const std::wstring& prefix,
                                     DWORD timeoutMs = 15000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        for (const TracedEvent& event :
             ReadProcessTrace(service.pid(), service.traceStart()).events) {
            if (!event.strings.empty() && event.strings[0].compare(0, prefix.size(), prefix) == 0) {
                return event.strings[0];
            }
        }
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return std::wstring();
}

// The names of the files of logs\ matching `pattern` ("threaddump-*.txt").
inline std::vector<std::wstring> LogFiles(const std::wstring& dir, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\logs\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// "S-1-…" of a SID.
inline std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "?";
    std::string result = text;
    LocalFree(text);
    return result;
}

inline std::string CurrentUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    return read ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : "?";
}

// A file's DACL as "P" (protected) or "-", then each allowed SID with its mask.
inline std::vector<std::string> FileAcl(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<std::string> acl;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return {"unreadable"};
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    acl.push_back((control & SE_DACL_PROTECTED) != 0 ? "P" : "-");
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
            ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            char mask[16];
            wsprintfA(mask, ":%08lx", ace->Mask);
            acl.push_back(SidText(&ace->SidStart) + mask);
        }
    }
    LocalFree(descriptor);
    return acl;
}

// The SIDs a file's DACL allows anything to that are none of SYSTEM, the
// Administrators and the service's own account (under Wine, the user every
// process runs as). Wine keeps no DACL of its own for a file: it shows one
// made from the Unix permissions, which a DACL given at creation sets.
inline std::vector<std::string> OtherReaders(const std::wstring& path) {
    std::vector<std::string> others;
    const std::vector<std::string> acl = FileAcl(path);
    for (size_t i = 1; i < acl.size(); ++i) {
        const std::string sid = acl[i].substr(0, acl[i].find(':'));
        if (sid != "S-1-5-18" && sid != "S-1-5-32-544" && sid != CurrentUserSid()) {
            others.push_back(acl[i]);
        }
    }
    return acl.size() > 1 ? others : acl;
}

}  // namespace mvt
