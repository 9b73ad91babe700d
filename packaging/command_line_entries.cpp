// install.cmd's way to the service's settings, and an operator's way to send
// it a control where sc has none (Wine's): entries for rundll32.
#include "packaging/install_actions.h"

namespace install_actions {

namespace {

// rundll32 passes no result on, and ends with 0 when it cannot load this DLL
// (one of the other architecture, say) or find the entry; so each entry ends
// the process itself, and never with 0.
enum EntryExit : UINT {
    kBadCommandLine = 1,
    kNotOpened = 2,
    kRefused = 4,
    kDone = 10,
    kDoneInServiceKey = 11,  // a setting the service manager does not keep went to its key
};

// The service a rundll32 command line "<service>[ <value>]" names, opened.
struct CommandLineService {
    wchar_t name[kNameUnits] = L"";
    const wchar_t* value = L"";
    ServiceHandle manager;
    ServiceHandle service;
};

// Ends the process with kBadCommandLine for a command line not of that form,
// kNotOpened when the service cannot be opened with `access`.
void OpenCommandLineService(const wchar_t* commandLine, DWORD access, CommandLineService* target) {
    while (commandLine != nullptr && IsBlank(*commandLine)) ++commandLine;
    if (commandLine == nullptr ||
        !TakePart(commandLine, L' ', target->name, kNameUnits, &target->value)) {
        ExitProcess(kBadCommandLine);
    }
    target->manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (target->manager.IsValid()) {
        target->service.Reset(OpenServiceW(target->manager.Get(), target->name, access));
    }
    if (!target->service.IsValid()) {
        ExitProcess(kNotOpened);
    }
}

[[noreturn]] void ExitWith(SettingOutcome outcome) {
    ExitProcess(outcome == SettingOutcome::kSet      ? kDone
                : outcome == SettingOutcome::kStored ? kDoneInServiceKey
                                                     : kRefused);
}

}  // namespace

// rundll32 <this DLL>,<entry> <service> [<value>]. Each ends with 10 when it
// is done, 11 when it is done but a setting the service manager does not
// keep went to the service's key (read when the service manager starts), 1
// for a command line not of that form, 2 when the service cannot be opened,
// 4 when a change is refused.

// Configure <service> [<name>/<name>…]: the settings the MSI's
// ConfigureService makes, and the services it depends on when a list is given
// ('/' alone: none; 1 also for a list install.cmd would have refused).
extern "C" __declspec(dllexport) void CALLBACK
    ConfigureW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, kSettingsAccess, &target);
    HeapArray<wchar_t> dependencies;
    if (*target.value != L'\0' && AllocateDependencies(target.value, target.name, &dependencies) !=
                                      DependencyVerdict::kTaken) {
        ExitProcess(kBadCommandLine);
    }
    ExitWith(
        ApplyServiceSettings(0, target.service.Get(), target.name, dependencies.Get(), nullptr));
}

// SetPreshutdownTime <service> <ms>.
extern "C" __declspec(dllexport) void CALLBACK
    SetPreshutdownTimeW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG, &target);
    DWORD milliseconds = 0;
    if (!ParseNumber(target.value, wcslen(target.value), MAXDWORD / 10, &milliseconds)) {
        ExitProcess(kBadCommandLine);
    }
    ExitWith(ApplyPreshutdownTime(0, target.service.Get(), target.name, milliseconds));
}

// SendControl <service> <128 to 255>: a user-defined control, as
// "sc control" sends it (255 asks MerivastService for a thread dump, 254 for
// a heap dump). 2 also when the caller may not send it (not an
// administrator), 4 when the service does not take it now (not running).
extern "C" __declspec(dllexport) void CALLBACK
    SendControlW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, SERVICE_USER_DEFINED_CONTROL, &target);
    DWORD control = 0;
    if (!ParseNumber(target.value, wcslen(target.value), 255, &control) || control < 128) {
        ExitProcess(kBadCommandLine);
    }
    SERVICE_STATUS status = {};
    ExitProcess(ControlService(target.service.Get(), control, &status) ? kDone : kRefused);
}

}  // namespace install_actions
