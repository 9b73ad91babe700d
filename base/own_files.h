// Files that only SYSTEM, the Administrators and the process's own account
// may open: thread and heap dumps and the runtime's crash files hold the
// application's secrets (passwords and tokens in its heap), whatever the
// folder they are written to allows.
#pragma once

#include "base/win32.h"

// A security descriptor whose DACL is protected (nothing is inherited from
// the folder above) and grants full control to SYSTEM, the Administrators and
// the user of the process's token: the service's own account (its virtual
// account NT SERVICE\<name>, LocalSystem, or the user it runs as). A
// folder's entries are inherited by what is created in it.
class OwnOnlySecurity {
  public:
    explicit OwnOnlySecurity(bool forFolder);
    ~OwnOnlySecurity();
    OwnOnlySecurity(const OwnOnlySecurity&) = delete;
    OwnOnlySecurity& operator=(const OwnOnlySecurity&) = delete;

    // False when it could not be built; `error` then says why.
    bool IsValid() const { return descriptor != nullptr; }
    SECURITY_ATTRIBUTES* Attributes() { return &attributes; }
    PACL Dacl() const;

    DWORD error;

  private:
    PSECURITY_DESCRIPTOR descriptor;  // LocalAlloc'ed by the SDDL conversion
    SECURITY_ATTRIBUTES attributes;
};

// Creates the new file `path` for writing, readable by those three only.
// INVALID_HANDLE_VALUE, with the last error set, when it exists or cannot be
// created; a file is never left open to everyone instead.
HANDLE CreateOwnOnlyFile(const wchar_t* path);
// Creates the folder `path` with that security; false with the last error set.
bool CreateOwnOnlyFolder(const wchar_t* path);
// Gives the existing file `path` that security instead of what it inherited.
// 0, or the error.
DWORD RestrictToOwn(const wchar_t* path);
