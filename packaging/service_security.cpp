#include "packaging/install_actions.h"

#include <sddl.h>

namespace install_actions {

namespace {

// --- who may send the service user-defined controls -------------------------

// Windows gives a new service a DACL that lets every local authenticated user
// send it user-defined controls (SERVICE_USER_DEFINED_CONTROL; "Service
// Security and Access Rights"), and this service writes thread and heap
// dumps, which hold the application's secrets, on two of them. Only
// Administrators keep the right, and SYSTEM, the descriptor's owner, which
// could grant it to itself anyway; every other right stays as it was.
// kStoredSecurity: Windows' default descriptor of a new service so changed,
// for a service manager that keeps no service security (Wine's), whose
// service key holds what Windows' service manager reads when it starts.
constexpr wchar_t kStoredSecurity[] =
    L"O:SYG:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)";

bool KeepsUserControls(PSID sid) {
    return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinLocalSystemSid);
}

// Takes the right from every allowing entry of the others, after mapping
// their generic rights (GENERIC_EXECUTE and GENERIC_ALL include it).
void StripUserControls(PACL dacl) {
    GENERIC_MAPPING mapping = {STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                   SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
                               STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
                               STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                                   SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
                               SERVICE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry) ||
            static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (!KeepsUserControls(&allowed->SidStart)) {
            MapGenericMask(&allowed->Mask, &mapping);
            allowed->Mask &= ~static_cast<DWORD>(SERVICE_USER_DEFINED_CONTROL);
        }
    }
}

// kStoredSecurity into "<service key>\Security", value Security.
SettingOutcome StoreSecurity(const wchar_t* name, DWORD* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStoredSecurity, SDDL_REVISION_1,
                                                              &descriptor, &size)) {
        *error = GetLastError();
        return SettingOutcome::kFailed;
    }
    *error = static_cast<DWORD>(
        StoreServiceValue(name, L"Security", L"Security", REG_BINARY, descriptor, size));
    LocalFree(descriptor);
    return *error == ERROR_SUCCESS ? SettingOutcome::kStored : SettingOutcome::kFailed;
}

}  // namespace

// The service's DACL, read and written through the service manager with only
// the right changed. A DACL without entries (which would let nobody but the
// owner in) is what a service manager that keeps no service security returns:
// the descriptor then goes to the service's key.
SettingOutcome RestrictUserControls(SC_HANDLE service, const wchar_t* name, DWORD* error) {
    DWORD needed = 0;
    QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    HeapArray<BYTE> current;
    if (needed != 0) {
        current.Reset(needed);
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    SettingOutcome outcome = SettingOutcome::kFailed;
    if (current.Get() == nullptr ||
        !QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, current.Get(), needed,
                                    &needed) ||
        !GetSecurityDescriptorDacl(current.Get(), &present, &dacl, &defaulted)) {
        *error = current.Get() == nullptr ? ERROR_OUTOFMEMORY : GetLastError();
    } else if (!present || dacl == nullptr || dacl->AceCount == 0) {
        outcome = StoreSecurity(name, error);
    } else {
        StripUserControls(dacl);
        SECURITY_DESCRIPTOR changed;
        InitializeSecurityDescriptor(&changed, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&changed, TRUE, dacl, FALSE);
        const BOOL set = SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &changed);
        *error = set ? ERROR_SUCCESS : GetLastError();
        outcome = set ? SettingOutcome::kSet : SettingOutcome::kFailed;
    }
    return outcome;
}

}  // namespace install_actions
