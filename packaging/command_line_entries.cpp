#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

namespace {

// The service a rundll32 command line "<service>[ <value>]" names, opened.
struct CommandLineService {
    wchar_t name[kNameUnits] = L"";
    const wchar_t* value = L"";
    ServiceHandle manager;
    ServiceHandle service;
};

// Ends the process with 1 for a command line not of that form, 2 when the
// service cannot be opened with `access`.
void OpenCommandLineService(const wchar_t* commandLine, DWORD access, CommandLineService* target) {
    while (commandLine != nullptr && IsBlank(*commandLine)) ++commandLine;
    if (commandLine == nullptr ||
        !TakePart(commandLine, L' ', target->name, kNameUnits, &target->value)) {
        ExitProcess(1);
    }
    target->manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (target->manager.IsValid()) {
        target->service.Reset(OpenServiceW(target->manager.Get(), target->name, access));
    }
    if (!target->service.IsValid()) {
        ExitProcess(2);
    }
}

}  // namespace

// rundll32 <this DLL>,<entry> <service> [<value>]: install.cmd's way to the
// settings below through the service manager, which applies them at once.
// rundll32 itself passes no result on, so each ends the process with 0 when
// the setting is made, 1 for a command line not of that form, 2 when the
// service cannot be opened, 4 when the change fails otherwise, and 3 as each
// says.

// SetPreshutdownTime <service> <ms>. 3: the service manager does not know the
// setting (ERROR_INVALID_LEVEL: the caller may store the value for its next
// start instead).
extern "C" __declspec(dllexport) void CALLBACK
    SetPreshutdownTimeW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, SERVICE_CHANGE_CONFIG, &target);
    SERVICE_PRESHUTDOWN_INFO preshutdown = {0};
    if (!ParseNumber(target.value, wcslen(target.value), MAXDWORD / 10,
                     &preshutdown.dwPreshutdownTimeout)) {
        ExitProcess(1);
    }
    if (ChangeServiceConfig2W(target.service.Get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                              &preshutdown)) {
        ExitProcess(0);
    }
    const DWORD error = GetLastError();
    ExitProcess(error == ERROR_INVALID_LEVEL ? 3 : 4);
}

// SetDependencies <service> <name>/<name>…: the services this one depends on
// ('/' alone: none), which install.cmd has checked; 1 also for a list it
// would have refused.
extern "C" __declspec(dllexport) void CALLBACK
    SetDependenciesW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, SERVICE_CHANGE_CONFIG, &target);
    HeapArray<wchar_t> dependencies;
    if (AllocateDependencies(target.value, target.name, &dependencies) !=
        DependencyVerdict::kTaken) {
        ExitProcess(1);
    }
    const BOOL set = ChangeServiceConfigW(target.service.Get(), SERVICE_NO_CHANGE,
                                          SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                          nullptr, dependencies.Get(), nullptr, nullptr, nullptr);
    ExitProcess(set ? 0 : 4);
}

// RestrictUserControls <service>: user-defined controls for Administrators
// (and SYSTEM) only, every other right as it was. 3: the service manager
// keeps no service security; the descriptor went to the service's key.
extern "C" __declspec(dllexport) void CALLBACK
    RestrictUserControlsW(HWND, HINSTANCE, wchar_t* commandLine, int) {
    CommandLineService target;
    OpenCommandLineService(commandLine, READ_CONTROL | WRITE_DAC, &target);
    if (*target.value != L'\0') {
        ExitProcess(1);
    }
    DWORD error = ERROR_SUCCESS;
    switch (RestrictUserControls(target.service.Get(), target.name, &error)) {
        case SecurityOutcome::kSet:
            ExitProcess(0);
        case SecurityOutcome::kStored:
            ExitProcess(3);
        default:
            ExitProcess(4);
    }
}

}  // namespace install_actions
