// The Windows Installer package's own custom actions, and install.cmd's
// entries through rundll32.
//
// ConfigureService (and install.cmd's Configure): the service's settings that
// the ServiceInstall table cannot carry (recovery actions, the failure-actions
// flag, delayed automatic start, the service SID type, the preshutdown time,
// the services it depends on, its account's password and who may send it
// user-defined controls), set through ChangeServiceConfig2W,
// ChangeServiceConfigW and SetServiceObjectSecurity. That call changes the
// service manager's own record of the service, so each setting holds at once.
// The alternatives do not: the MsiServiceConfig tables apply "the next time
// the system is started" (and Microsoft documents the failure-actions table as
// not working, recommending a custom action instead), and values written to
// the service's registry key are read by the service manager only when it
// starts. Only a service manager that does not know a setting gets it there.
//
// NoteRunningService, StopServiceAndWait, StartServiceAgain: before any file
// of the service is replaced or removed, the service is stopped and waited
// for, as long as its own stop deadline (stop.timeout) allows and a margin;
// Windows Installer's own StopServices waits at most 30 s, and a service still
// running then keeps its executable in use. A service that ran before an
// install, repair or upgrade runs again after it.
//
// PlaceDefaultConf, RemoveUneditedConf: the package never installs into
// conf\. It installs its own version of each file of conf\ into defaults\;
// PlaceDefaultConf copies a default into conf\ where conf\ has no such file,
// RemoveUneditedConf deletes a file of conf\ that is still its default. Each
// is the other's rollback. Nothing is kept anywhere else meanwhile.
//
// Configure, SetPreshutdownTime, SendControl: rundll32 entries.
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
// dependencies or the install directory.
constexpr DWORD kDataUnits = 600;
constexpr DWORD kNameUnits = 257;
constexpr DWORD kMessageUnits = 1024;

// "<service>|<install dir>|…": the separator of the deferred actions' data.
// '|' cannot be part of a Windows path.
constexpr wchar_t kEntrySeparator = L'|';

// Into the installer's log; nothing without an installer (rundll32's entries).
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

// Writes a value into "HKLM\SYSTEM\CurrentControlSet\Services\<service>[\<subkey>]",
// where Windows' service manager keeps what it reads when it starts. The
// registry's status.
LSTATUS StoreServiceValue(const wchar_t* service, const wchar_t* subkey, const wchar_t* value,
                          DWORD type, const void* data, DWORD bytes);

using ServiceHandle = Scoped<SystemTraits<SC_HANDLE, CloseServiceHandle>>;

// The services this one depends on (install_settings.cpp).
enum class DependencyVerdict { kTaken, kBadList, kItself };
// The list "<name>/<name>…" (or "/" for none), as both installers take it,
// parsed into `dependencies` as the service manager
// takes it (each name ended by a null, the list by another); null when it is
// refused or there is no memory.
DependencyVerdict AllocateDependencies(const wchar_t* list, const wchar_t* self,
                                       HeapArray<wchar_t>* dependencies);

// How a setting reached the service.
enum class SettingOutcome { kSet, kStored, kFailed };

// Everything ConfigureService gives the service: the recovery actions, the
// failure-actions flag, delayed automatic start, the service SID type, the
// preshutdown time, `dependencies` and `password` (null: left as they are)
// and the right to send user-defined controls. The worst outcome: kStored
// when a setting the service manager does not know went to the service's key.
// Logs each setting when `install` is an installer's.
SettingOutcome ApplyServiceSettings(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                                    const wchar_t* dependencies, const wchar_t* password);
// The access ApplyServiceSettings needs.
constexpr DWORD kSettingsAccess =
    SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG | SERVICE_START | READ_CONTROL | WRITE_DAC;
// Sets the preshutdown time alone, as ApplyServiceSettings does.
SettingOutcome ApplyPreshutdownTime(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                                    DWORD milliseconds);

// Who may send the service user-defined controls (service_security.cpp): the
// service's DACL with them for Administrators and SYSTEM only, every other
// right as it was; kStored where the service manager keeps no service
// security and the descriptor went to the service's key.
SettingOutcome RestrictUserControls(SC_HANDLE service, const wchar_t* name, DWORD* error);

}  // namespace install_actions
