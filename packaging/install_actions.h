// The Windows Installer package's own custom actions, and one entry for
// install.cmd through rundll32.
//
// ConfigureService: the service's settings that the ServiceInstall table
// cannot carry (recovery actions, the failure-actions flag, delayed automatic
// start, the service SID type, the preshutdown time, the services it depends
// on and who may send it user-defined controls), set through
// ChangeServiceConfig2W, ChangeServiceConfigW and SetServiceObjectSecurity. That call changes the
// service manager's own record of the service, so each setting holds at once. The alternatives do
// not: the MsiServiceConfig tables apply "the next time the system is started" (and Microsoft
// documents the failure-actions table as not working, recommending a custom action instead), and
// values written to the service's registry key are read by the service manager only when it starts.
//
// NoteRunningService, StopServiceAndWait, StartServiceAgain: before any file
// of the service is replaced or removed, the service is stopped and waited
// for, as long as its own stop deadline (stop.timeout) allows and a margin;
// Windows Installer's own StopServices waits at most 30 s, and a service still
// running then keeps its executable in use. A service that ran before an
// install, repair or upgrade runs again after it.
//
// KeepEditedConf, RestoreEditedConf, RemoveUneditedConf and its rollback and
// commit: the package's conf\ files are permanent, so that the operator's
// edits survive a repair, an upgrade and a removal. An install, repair or
// upgrade copies each edited file aside before InstallFiles and puts it back
// after, so that only unedited files get the package's content. A removal
// moves the unedited ones away; a rollback moves them back, the commit
// deletes them.
//
// SetPreshutdownTime, SetDependencies, RestrictUserControls: install.cmd's
// way to the same settings through the service manager, where sc has no verb
// (the preshutdown time), or one that Wine's sc gets wrong (depend=, which
// it stores unterminated), or one that would take a whole security
// descriptor (sdset) where only one right changes:
//
// What the actions' files share: the sizes of names and messages, the
// installer's log, the parsing of action data, scoped handles.
#pragma once

#include "base/win32.h"
// After windows.h, which both build on.
#include <msiquery.h>

#include "base/config_file.h"
#include "base/scoped.h"

namespace install_actions {

// Service names are at most 256 characters; the installer's data adds the
// preshutdown time or the install directory.
constexpr DWORD kDataUnits = 600;
constexpr DWORD kNameUnits = 257;
constexpr DWORD kMessageUnits = 1024;

// "<service>|<install dir>|…": the separator of the deferred actions' data.
// '|' cannot be part of a Windows path.
constexpr wchar_t kEntrySeparator = L'|';

void Log(MSIHANDLE install, const wchar_t* text);
// "<name>: <what> (error <n>)." into the installer's log.
void LogError(MSIHANDLE install, const wchar_t* name, const wchar_t* what, DWORD error);

// Copies the text up to `separator` (or the end) into `out`; `*rest` then
// points past the separator, or at the terminator. False when the part is
// empty or does not fit.
bool TakePart(const wchar_t* text, wchar_t separator, wchar_t* out, size_t outUnits,
              const wchar_t** rest);

// The whole CustomActionData into `data`; false when it cannot be had.
bool ReadActionData(MSIHANDLE install, HeapArray<wchar_t>* data);

inline bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

using ServiceHandle = Scoped<SystemTraits<SC_HANDLE, CloseServiceHandle>>;

// The services this one depends on (install_settings.cpp).
enum class DependencyVerdict { kTaken, kBadList, kItself };
// The list "<name>/<name>…" (or "/" for none), as both installers take it,
// parsed into `dependencies` as the service manager
// takes it (each name ended by a null, the list by another); null when it is
// refused or there is no memory.
DependencyVerdict AllocateDependencies(const wchar_t* list, const wchar_t* self,
                                       HeapArray<wchar_t>* dependencies);

// Who may send the service user-defined controls (service_security.cpp).
enum class SecurityOutcome { kSet, kStored, kFailed };
// The service's DACL with user-defined controls for Administrators and SYSTEM
// only, every other right as it was; kStored where the service manager keeps
// no service security and the descriptor went to the service's key.
SecurityOutcome RestrictUserControls(SC_HANDLE service, const wchar_t* name, DWORD* error);
// RestrictUserControls, with what it did in the installer's log.
bool ApplySecurity(MSIHANDLE install, SC_HANDLE service, const wchar_t* name);

}  // namespace install_actions
