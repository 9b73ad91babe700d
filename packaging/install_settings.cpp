// ConfigureService and CheckDependencies: the service's settings that the
// ServiceInstall table cannot carry, and the check of the services it
// depends on before anything changes; the list of those services as both
// installers take it.
#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

namespace {

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

// ConfigureService's data, "<service name>;<dependencies>;<password>", as the
// package's immediate action sets it; the password (the rest, which may hold
// ';') is empty unless SERVICEPASSWORD was given.
struct ConfigureData {
    HeapArray<wchar_t> text;
    wchar_t name[kNameUnits] = L"";
    HeapArray<wchar_t> dependencies;
    const wchar_t* password = nullptr;  // weak: into text; null when none was given

    ~ConfigureData() {
        if (text.Get() != nullptr) {
            SecureZeroMemory(text.Get(), wcslen(text.Get()) * sizeof(wchar_t));
        }
    }
};

// False for data not of that form.
bool ParseConfigureData(MSIHANDLE install, ConfigureData* data) {
    const wchar_t* rest = nullptr;
    wchar_t list[kDataUnits];
    if (!ReadActionData(install, &data->text) ||
        !TakePart(data->text.Get(), L';', data->name, kNameUnits, &rest) || rest[-1] != L';' ||
        !TakePart(rest, L';', list, kDataUnits, &rest) ||
        AllocateDependencies(list, data->name, &data->dependencies) != DependencyVerdict::kTaken) {
        return false;
    }
    data->password = *rest != L'\0' ? rest : nullptr;
    return true;
}

}  // namespace

// Deferred, without impersonation, after InstallServices: the service exists.
// Fails the installation when a setting cannot be made; a setting the service
// manager does not know, written to the service's key instead, does not.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    ConfigureData data;
    if (!ParseConfigureData(install, &data)) {
        Log(install,
            L"ConfigureService: the package's data is not \"<service "
            L"name>;<services>;<password>\".");
        return ERROR_INSTALL_FAILURE;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(
        manager.IsValid() ? OpenServiceW(manager.Get(), data.name, kSettingsAccess) : nullptr);
    if (!service.IsValid()) {
        LogError(install, data.name, L"the service could not be opened", GetLastError());
        return ERROR_INSTALL_FAILURE;
    }
    const SettingOutcome outcome = ApplyServiceSettings(install, service.Get(), data.name,
                                                        data.dependencies.Get(), data.password);
    return outcome == SettingOutcome::kFailed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
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
