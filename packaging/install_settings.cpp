// ConfigureService and CheckDependencies: the service's settings that the
// ServiceInstall table cannot carry, and the check of the services it
// depends on before anything changes.
#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

namespace {

// Restart after 10 s, then after 30 s, then every 60 s: the service manager
// repeats the last action for every further failure, so a service is never
// left down. The failure count resets after a day.
constexpr DWORD kResetPeriodSeconds = 86400;
constexpr DWORD kFirstRestartMs = 10000;
constexpr DWORD kSecondRestartMs = 30000;
constexpr DWORD kLaterRestartMs = 60000;

struct ServiceSettings {
    wchar_t name[kNameUnits] = L"";
    DWORD preshutdownMs = 0;
    // The services it depends on, as a list of names each ended by a null and
    // the list by another (one null alone: none); empty where the settings
    // carry none.
    HeapArray<wchar_t> dependencies;
};

// --- the services this one depends on ---------------------------------------

// The names both installers take (install.cmd checks them in the same words):
// 1 to 256 characters (the service manager's longest name) from the letters,
// digits, '.', '-', '_' and '$' (as in MSSQL$SQLEXPRESS), separated by single
// '/' as sc's depend= takes them; '/' alone for none. The service manager
// refuses '/' and '\' in a name; the rest keeps every name a plain word on
// install.cmd's command line. This service's own name would be a circle,
// which Windows refuses and Wine's service manager stores.
constexpr size_t kMostServiceNameUnits = 256;
constexpr wchar_t kDependencyRule[] =
    L"each name 1 to 256 characters, each a letter, a digit, '.', '-', '_' or '$', the names "
    L"separated by single '/' ('/' alone: none)";

bool IsDependencyCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'.' || c == L'-' || c == L'_' || c == L'$';
}

// One name of the list (`length` units) into `out`, with its null.
DependencyVerdict TakeDependency(const wchar_t* name, size_t length, const wchar_t* self,
                                 wchar_t* out) {
    if (length == 0 || length > kMostServiceNameUnits) {
        return DependencyVerdict::kBadList;
    }
    for (size_t i = 0; i < length; ++i) {
        if (!IsDependencyCharacter(name[i])) {
            return DependencyVerdict::kBadList;
        }
    }
    if (CompareStringOrdinal(name, static_cast<int>(length), self, -1, TRUE) == CSTR_EQUAL) {
        return DependencyVerdict::kItself;
    }
    CopyMemory(out, name, length * sizeof(wchar_t));
    out[length] = L'\0';
    return DependencyVerdict::kTaken;
}

// "<name>/<name>…" (or "/") as the service manager takes it: each name ended by
// a null, the list by another. `out` holds wcslen(list) + 2 units.
DependencyVerdict ParseDependencies(const wchar_t* list, const wchar_t* self, wchar_t* out) {
    size_t written = 0;
    const wchar_t* name = list;
    while (wcscmp(list, L"/") != 0) {
        size_t length = 0;
        while (name[length] != L'\0' && name[length] != L'/') ++length;
        const DependencyVerdict verdict = TakeDependency(name, length, self, out + written);
        if (verdict != DependencyVerdict::kTaken) {
            return verdict;
        }
        written += length + 1;
        if (name[length] == L'\0') {
            break;
        }
        name += length + 1;
    }
    out[written] = L'\0';
    return DependencyVerdict::kTaken;
}

}  // namespace

DependencyVerdict AllocateDependencies(const wchar_t* list, const wchar_t* self,
                                       HeapArray<wchar_t>* dependencies) {
    dependencies->Reset(wcslen(list) + 2);
    if (dependencies->Get() == nullptr) {
        return DependencyVerdict::kBadList;
    }
    const DependencyVerdict verdict = ParseDependencies(list, self, dependencies->Get());
    if (verdict != DependencyVerdict::kTaken) {
        dependencies->Clear();
    }
    return verdict;
}

namespace {

// Why the list is refused, in the installer's words.
void DescribeRefusal(const wchar_t* list, const wchar_t* self, DependencyVerdict verdict,
                     wchar_t* message, size_t units) {
    if (verdict == DependencyVerdict::kItself) {
        StringCchPrintfW(message, units,
                         L"SERVICEDEPENDENCIES \"%ls\" names %ls itself: a service cannot depend "
                         L"on itself.",
                         list, self);
    } else {
        StringCchPrintfW(message, units,
                         L"SERVICEDEPENDENCIES \"%ls\" is not a list of services the installer "
                         L"takes: %ls.",
                         list, kDependencyRule);
    }
}

// "<service name>;<preshutdown time in ms>;<dependencies>", as the package's
// immediate action sets it. False for anything else.
bool ParseConfigureData(const wchar_t* data, ServiceSettings* settings) {
    const wchar_t* rest = nullptr;
    wchar_t number[12];
    if (!TakePart(data, L';', settings->name, kNameUnits, &rest) || rest[-1] != L';' ||
        !TakePart(rest, L';', number, ARRAYSIZE(number), &rest) || rest[-1] != L';' ||
        !ParseNumber(number, wcslen(number), MAXDWORD / 10, &settings->preshutdownMs)) {
        return false;
    }
    return AllocateDependencies(rest, settings->name, &settings->dependencies) ==
           DependencyVerdict::kTaken;
}

// One ChangeServiceConfig2W call. A level the service manager does not know
// (Wine's knows only a few) is logged and passed over: the package also writes
// the value the service manager reads when it starts. False for any other
// failure.
bool Change(MSIHANDLE install, SC_HANDLE service, const wchar_t* serviceName, DWORD level,
            void* info, const wchar_t* what) {
    wchar_t message[kMessageUnits];
    if (ChangeServiceConfig2W(service, level, info)) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: %ls set.", serviceName, what);
        Log(install, message);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_LEVEL) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service manager does not know the setting \"%ls\"; it "
                         L"reads the value the package wrote when it starts.",
                         serviceName, what);
        Log(install, message);
        return true;
    }
    StringCchPrintfW(message, kMessageUnits, L"%ls: %ls could not be set (error %lu).", serviceName,
                     what, static_cast<unsigned long>(error));
    Log(install, message);
    return false;
}

bool ApplyDependencies(MSIHANDLE install, SC_HANDLE service, const ServiceSettings& settings) {
    wchar_t message[kMessageUnits];
    if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, settings.dependencies.Get(), nullptr,
                             nullptr, nullptr)) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: the services it depends on set.",
                         settings.name);
        Log(install, message);
        return true;
    }
    const DWORD error = GetLastError();
    StringCchPrintfW(message, kMessageUnits,
                     L"%ls: the services it depends on could not be set (error %lu).",
                     settings.name, static_cast<unsigned long>(error));
    Log(install, message);
    return false;
}

bool ApplySettings(MSIHANDLE install, SC_HANDLE service, const ServiceSettings& settings) {
    SC_ACTION actions[] = {{SC_ACTION_RESTART, kFirstRestartMs},
                           {SC_ACTION_RESTART, kSecondRestartMs},
                           {SC_ACTION_RESTART, kLaterRestartMs}};
    SERVICE_FAILURE_ACTIONSW failureActions = {kResetPeriodSeconds, nullptr, nullptr,
                                               ARRAYSIZE(actions), actions};
    // Also when the service stops with a non-zero exit code: that is how the
    // host reports a failed Java side (1066).
    SERVICE_FAILURE_ACTIONS_FLAG failureFlag = {TRUE};
    SERVICE_DELAYED_AUTO_START_INFO delayedStart = {TRUE};
    // The process carries the service SID under any account, so the grant on
    // logs\ holds also for an account the operator chose.
    SERVICE_SID_INFO sidType = {SERVICE_SID_TYPE_UNRESTRICTED};
    SERVICE_PRESHUTDOWN_INFO preshutdown = {settings.preshutdownMs};
    const wchar_t* name = settings.name;
    return Change(install, service, name, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions,
                  L"recovery actions") &&
           Change(install, service, name, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &failureFlag,
                  L"recovery for stops with a non-zero exit code") &&
           Change(install, service, name, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayedStart,
                  L"delayed automatic start") &&
           Change(install, service, name, SERVICE_CONFIG_SERVICE_SID_INFO, &sidType,
                  L"service SID type") &&
           Change(install, service, name, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown,
                  L"preshutdown time") &&
           ApplyDependencies(install, service, settings) && ApplySecurity(install, service, name);
}

}  // namespace

// Deferred, without impersonation, after InstallServices: the service exists.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    HeapArray<wchar_t> data;
    ServiceSettings settings;
    if (!ReadActionData(install, &data) || !ParseConfigureData(data.Get(), &settings)) {
        Log(install,
            L"ConfigureService: the package's data is not \"<service name>;<ms>;<services>\".");
        return ERROR_INSTALL_FAILURE;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.IsValid()) {
        Log(install, L"ConfigureService: the service manager could not be opened.");
        return ERROR_INSTALL_FAILURE;
    }
    // Restart actions need the right to start the service as well.
    ServiceHandle service(
        OpenServiceW(manager.Get(), settings.name,
                     SERVICE_CHANGE_CONFIG | SERVICE_START | READ_CONTROL | WRITE_DAC));
    if (!service.IsValid()) {
        const DWORD error = GetLastError();
        wchar_t message[kMessageUnits];
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service could not be opened (error %lu).", settings.name,
                         static_cast<unsigned long>(error));
        Log(install, message);
        return ERROR_INSTALL_FAILURE;
    }
    return ApplySettings(install, service.Get(), settings) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Immediate, before LaunchConditions at an install, repair or upgrade:
// DEPENDENCIESREFUSED says why when SERVICEDEPENDENCIES (by then the command
// line's, the remembered or "/") is not a list the installer takes, so that
// the launch condition refuses the installation before anything changed.
extern "C" __declspec(dllexport) UINT __stdcall CheckDependencies(MSIHANDLE install) {
    wchar_t name[kNameUnits];
    DWORD units = kNameUnits;
    wchar_t list[kDataUnits];
    DWORD listUnits = kDataUnits;
    HeapArray<wchar_t> dependencies;
    if (MsiGetPropertyW(install, L"MERIVASTSERVICE", name, &units) != ERROR_SUCCESS) {
        return ERROR_INSTALL_FAILURE;
    }
    const UINT read = MsiGetPropertyW(install, L"SERVICEDEPENDENCIES", list, &listUnits);
    const DependencyVerdict verdict = read == ERROR_SUCCESS
                                          ? AllocateDependencies(list, name, &dependencies)
                                          : DependencyVerdict::kBadList;
    if (verdict != DependencyVerdict::kTaken) {
        wchar_t message[kMessageUnits];
        DescribeRefusal(read == ERROR_SUCCESS ? list : L"(too long)", name, verdict, message,
                        kMessageUnits);
        MsiSetPropertyW(install, L"DEPENDENCIESREFUSED", message);
    }
    return ERROR_SUCCESS;
}

}  // namespace install_actions
