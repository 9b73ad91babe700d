#include "base/own_files.h"

#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>

#include "base/paths.h"
#include "base/scoped.h"

namespace {

// "S-1-5-…" of the process's user; false with the error when it cannot be read.
bool ProcessUserSid(wchar_t (&text)[192], DWORD* error) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        *error = GetLastError();
        return false;
    }
    const ScopedHandle token(opened);
    // TOKEN_USER and the SID it points at: a SID has at most 68 bytes.
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const BOOL read = GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size);
    *error = read ? 0 : GetLastError();
    wchar_t* sid = nullptr;
    if (read && !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        *error = GetLastError();
    }
    if (sid == nullptr) {
        return false;
    }
    const bool copied = SUCCEEDED(StringCchCopyW(text, ARRAYSIZE(text), sid));
    LocalFree(sid);
    return copied;
}

}  // namespace

OwnOnlySecurity::OwnOnlySecurity(bool forFolder) : error(0), descriptor(nullptr), attributes() {
    wchar_t user[192];
    if (!ProcessUserSid(user, &error)) {
        return;
    }
    // P: protected, nothing inherited. FA: full access. OICI: inherited by the
    // files and folders created below a folder.
    const wchar_t* inherit = forFolder ? L"OICI" : L"";
    wchar_t sddl[384];
    StringCchPrintfW(sddl, ARRAYSIZE(sddl), L"D:P(A;%ls;FA;;;SY)(A;%ls;FA;;;BA)(A;%ls;FA;;;%ls)",
                     inherit, inherit, inherit, user);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        error = GetLastError();
        descriptor = nullptr;
        return;
    }
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
}

OwnOnlySecurity::~OwnOnlySecurity() {
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
}

PACL OwnOnlySecurity::Dacl() const {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (descriptor == nullptr ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
        return nullptr;
    }
    return dacl;
}

HANDLE CreateOwnOnlyFile(const wchar_t* path) {
    OwnOnlySecurity security(false);
    if (!security.IsValid()) {
        SetLastError(security.error);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, security.Attributes(), CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CreateOwnOnlyFolder(const wchar_t* path) {
    OwnOnlySecurity security(true);
    if (!security.IsValid()) {
        SetLastError(security.error);
        return false;
    }
    return CreateDirectoryW(path, security.Attributes()) != FALSE;
}

DWORD RestrictToOwn(const wchar_t* path) {
    OwnOnlySecurity security(false);
    PACL dacl = security.Dacl();
    if (dacl == nullptr) {
        return security.error != 0 ? security.error : ERROR_INVALID_SECURITY_DESCR;
    }
    wchar_t object[kFilePathUnits];
    if (FAILED(StringCchCopyW(object, ARRAYSIZE(object), path))) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return SetNamedSecurityInfoW(object, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr);
}
