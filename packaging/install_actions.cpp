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
// rundll32 <this DLL>,<entry> <service> [<value>].
#include "base/win32.h"
// After windows.h, which both build on.
#include <msiquery.h>
#include <sddl.h>
#include <strsafe.h>

#include "base/process_heap.h"

namespace {

// Service names are at most 256 characters; the installer's data adds the
// preshutdown time or the install directory.
constexpr DWORD kDataUnits = 600;
constexpr DWORD kNameUnits = 257;
constexpr DWORD kMessageUnits = 1024;

// Restart after 10 s, then after 30 s, then every 60 s: the service manager
// repeats the last action for every further failure, so a service is never
// left down. The failure count resets after a day.
constexpr DWORD kResetPeriodSeconds = 86400;
constexpr DWORD kFirstRestartMs = 10000;
constexpr DWORD kSecondRestartMs = 30000;
constexpr DWORD kLaterRestartMs = 60000;

// The host's default stop deadline and the longest it takes
// (conf\service.properties, stop.timeout).
constexpr DWORD kDefaultStopTimeoutSeconds = 25;
constexpr DWORD kMaxStopTimeoutSeconds = 86400;
// What a stop may take beyond the application's own deadline: the host's
// report, the runtime's tear-down and the end of the process. Also the longest
// a pending service may go without a new report.
constexpr DWORD kStopMarginMs = 30000;
constexpr DWORD kPollMs = 250;
// The host reads at most this much of conf\service.properties.
constexpr DWORD kPropertiesBytes = 64 * 1024;

struct ServiceSettings {
    wchar_t name[kNameUnits] = L"";
    DWORD preshutdownMs = 0;
    // The services it depends on, as a list of names each ended by a null and
    // the list by another (one null alone: none), on the process heap; null
    // where the settings carry none.
    wchar_t* dependencies = nullptr;
    ServiceSettings() = default;
    ServiceSettings(const ServiceSettings&) = delete;
    ServiceSettings& operator=(const ServiceSettings&) = delete;
    ~ServiceSettings() { FreeBytes(dependencies); }
};

void Log(MSIHANDLE install, const wchar_t* text) {
    const MSIHANDLE record = MsiCreateRecord(0);
    if (record == 0) {
        return;
    }
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// Copies the text up to `separator` (or the end) into `out`; `*rest` then
// points past the separator, or at the terminator. False when the part is
// empty or does not fit.
bool TakePart(const wchar_t* text, wchar_t separator, wchar_t* out, size_t outUnits,
              const wchar_t** rest) {
    size_t length = 0;
    while (text[length] != L'\0' && text[length] != separator) {
        if (length + 1 >= outUnits) {
            return false;
        }
        out[length] = text[length];
        ++length;
    }
    out[length] = L'\0';
    *rest = text[length] == separator ? text + length + 1 : text + length;
    return length > 0;
}

// A whole number from 0 to `most`, digits only. False for anything else.
bool ParseNumber(const wchar_t* text, size_t length, DWORD most, DWORD* value) {
    DWORD number = 0;
    if (length == 0) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
        number = number * 10 + static_cast<DWORD>(text[i] - L'0');
        if (number > most) {
            return false;
        }
    }
    *value = number;
    return true;
}

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

enum class DependencyVerdict { kTaken, kBadList, kItself };

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

// The list parsed onto the process heap into `*dependencies` (null when it is
// refused or there is no memory).
DependencyVerdict AllocateDependencies(const wchar_t* list, const wchar_t* self,
                                       wchar_t** dependencies) {
    *dependencies = static_cast<wchar_t*>(AllocateBytes((wcslen(list) + 2) * sizeof(wchar_t)));
    if (*dependencies == nullptr) {
        return DependencyVerdict::kBadList;
    }
    const DependencyVerdict verdict = ParseDependencies(list, self, *dependencies);
    if (verdict != DependencyVerdict::kTaken) {
        FreeBytes(*dependencies);
        *dependencies = nullptr;
    }
    return verdict;
}

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

enum class SecurityOutcome { kSet, kStored, kFailed };

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
SecurityOutcome StoreSecurity(const wchar_t* name, DWORD* error) {
    wchar_t key[kNameUnits + 48];
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (FAILED(StringCchPrintfW(key, ARRAYSIZE(key),
                                L"SYSTEM\\CurrentControlSet\\Services\\%ls\\Security", name)) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(kStoredSecurity, SDDL_REVISION_1,
                                                              &descriptor, &size)) {
        *error = GetLastError();
        return SecurityOutcome::kFailed;
    }
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     &handle, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(handle, L"Security", 0, REG_BINARY,
                                static_cast<const BYTE*>(descriptor), size);
        RegCloseKey(handle);
    }
    LocalFree(descriptor);
    *error = static_cast<DWORD>(status);
    return status == ERROR_SUCCESS ? SecurityOutcome::kStored : SecurityOutcome::kFailed;
}

// The service's DACL, read and written through the service manager with only
// the right changed. A DACL without entries (which would let nobody but the
// owner in) is what a service manager that keeps no service security returns:
// the descriptor then goes to the service's key.
SecurityOutcome RestrictUserControls(SC_HANDLE service, const wchar_t* name, DWORD* error) {
    DWORD needed = 0;
    QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    void* current = needed == 0 ? nullptr : AllocateBytes(needed);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    SecurityOutcome outcome = SecurityOutcome::kFailed;
    if (current == nullptr ||
        !QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, current, needed, &needed) ||
        !GetSecurityDescriptorDacl(current, &present, &dacl, &defaulted)) {
        *error = current == nullptr ? ERROR_OUTOFMEMORY : GetLastError();
    } else if (!present || dacl == nullptr || dacl->AceCount == 0) {
        outcome = StoreSecurity(name, error);
    } else {
        StripUserControls(dacl);
        SECURITY_DESCRIPTOR changed;
        InitializeSecurityDescriptor(&changed, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&changed, TRUE, dacl, FALSE);
        const BOOL set = SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &changed);
        *error = set ? ERROR_SUCCESS : GetLastError();
        outcome = set ? SecurityOutcome::kSet : SecurityOutcome::kFailed;
    }
    FreeBytes(current);
    return outcome;
}

bool ApplySecurity(MSIHANDLE install, SC_HANDLE service, const wchar_t* name) {
    DWORD error = ERROR_SUCCESS;
    const SecurityOutcome outcome = RestrictUserControls(service, name, &error);
    wchar_t message[kMessageUnits];
    if (outcome == SecurityOutcome::kSet) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: user-defined controls for Administrators only, set.", name);
    } else if (outcome == SecurityOutcome::kStored) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service manager keeps no service security; user-defined "
                         L"controls for Administrators only, written to the service's key.",
                         name);
    } else {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service's security could not be set (error %lu).", name,
                         static_cast<unsigned long>(error));
    }
    Log(install, message);
    return outcome != SecurityOutcome::kFailed;
}

bool ApplyDependencies(MSIHANDLE install, SC_HANDLE service, const ServiceSettings& settings) {
    wchar_t message[kMessageUnits];
    if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, settings.dependencies, nullptr, nullptr,
                             nullptr)) {
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

// The whole CustomActionData, on the process heap; null when it cannot be had.
wchar_t* ReadActionData(MSIHANDLE install) {
    DWORD units = 0;
    wchar_t none[1] = {L'\0'};
    if (MsiGetPropertyW(install, L"CustomActionData", none, &units) != ERROR_MORE_DATA) {
        return nullptr;
    }
    ++units;  // the terminator
    auto* data = static_cast<wchar_t*>(AllocateBytes(units * sizeof(wchar_t)));
    if (data != nullptr &&
        MsiGetPropertyW(install, L"CustomActionData", data, &units) != ERROR_SUCCESS) {
        FreeBytes(data);
        data = nullptr;
    }
    return data;
}

// --- stopping and starting the service ---------------------------------------

// Closes a service-manager handle when it goes out of scope.
struct ServiceHandle {
    SC_HANDLE handle = nullptr;
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (handle != nullptr) {
            CloseServiceHandle(handle);
        }
    }
};

// Frees a process-heap block when it goes out of scope.
struct HeapText {
    wchar_t* text = nullptr;
    explicit HeapText(wchar_t* t) : text(t) {}
    HeapText(const HeapText&) = delete;
    HeapText& operator=(const HeapText&) = delete;
    ~HeapText() { FreeBytes(text); }
};

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The text of "<installDir>conf\service.properties" (UTF-8 with or without
// its byte-order mark, or UTF-16 with its mark), at most the part the host
// reads, on the process heap; null when there is no such file or it cannot
// be read.
wchar_t* ReadPropertiesText(const wchar_t* installDir) {
    wchar_t path[MAX_PATH];
    if (FAILED(StringCchCopyW(path, MAX_PATH, installDir)) ||
        FAILED(StringCchCatW(path, MAX_PATH, L"conf\\service.properties"))) {
        return nullptr;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* bytes = static_cast<unsigned char*>(AllocateBytes(kPropertiesBytes));
    HeapText text(static_cast<wchar_t*>(AllocateBytes((kPropertiesBytes + 1) * sizeof(wchar_t))));
    DWORD size = 0;
    const BOOL read = bytes != nullptr && text.text != nullptr &&
                      ReadFile(file, bytes, kPropertiesBytes, &size, nullptr);
    CloseHandle(file);
    int units = 0;
    if (read && size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        units = static_cast<int>((size - 2) / 2);
        CopyMemory(text.text, bytes + 2, static_cast<size_t>(units) * sizeof(wchar_t));
    } else if (read) {
        const DWORD skip = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
        units = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes) + 3 * skip,
                                    static_cast<int>(size - 3 * skip), text.text, kPropertiesBytes);
    }
    FreeBytes(bytes);
    if (!read) {
        return nullptr;
    }
    text.text[units] = L'\0';
    wchar_t* result = text.text;
    text.text = nullptr;
    return result;
}

// The value of stop.timeout on one line (`length` units, without its line
// feed), into `seconds`; the line may be any other line, which leaves it.
void TakeStopTimeout(const wchar_t* line, size_t length, DWORD* seconds) {
    size_t begin = 0;
    while (begin < length && IsBlank(line[begin])) ++begin;
    size_t equals = begin;
    while (equals < length && line[equals] != L'=') ++equals;
    size_t keyEnd = equals;
    while (keyEnd > begin && IsBlank(line[keyEnd - 1])) --keyEnd;
    constexpr wchar_t kKey[] = L"stop.timeout";
    if (equals == length || keyEnd - begin != ARRAYSIZE(kKey) - 1 ||
        wcsncmp(line + begin, kKey, keyEnd - begin) != 0) {
        return;
    }
    size_t valueBegin = equals + 1;
    size_t valueEnd = length;
    while (valueBegin < valueEnd && IsBlank(line[valueBegin])) ++valueBegin;
    while (valueEnd > valueBegin && (IsBlank(line[valueEnd - 1]) || line[valueEnd - 1] == L'\r')) {
        --valueEnd;
    }
    if (!ParseNumber(line + valueBegin, valueEnd - valueBegin, kMaxStopTimeoutSeconds, seconds)) {
        *seconds = kDefaultStopTimeoutSeconds;
    }
}

// stop.timeout from "<installDir>conf\service.properties", as the host reads
// it; the host's default when the file or the key is missing or unusable (a
// file the host refuses never lets the service run).
DWORD ReadStopTimeoutSeconds(const wchar_t* installDir) {
    const HeapText text(ReadPropertiesText(installDir));
    DWORD seconds = kDefaultStopTimeoutSeconds;
    const wchar_t* line = text.text;
    while (line != nullptr && *line != L'\0') {
        size_t length = 0;
        while (line[length] != L'\0' && line[length] != L'\n') ++length;
        TakeStopTimeout(line, length, &seconds);
        line = line[length] == L'\n' ? line + length + 1 : line + length;
    }
    return seconds;
}

// What StopAndWait has seen of the service so far.
struct StopWatch {
    DWORD stopTimeout = kDefaultStopTimeoutSeconds;
    bool stopAsked = false;
    ULONGLONG deadline = 0;  // 0: none
    ULONGLONG lastReport = 0;
    DWORD lastState = 0;
    DWORD lastCheckPoint = 0;
};

void LogError(MSIHANDLE install, const wchar_t* name, const wchar_t* what, DWORD error) {
    wchar_t message[kMessageUnits];
    StringCchPrintfW(message, kMessageUnits, L"%ls: %ls (error %lu).", name, what,
                     static_cast<unsigned long>(error));
    Log(install, message);
}

// Sends the stop request to a running service and starts the deadline. False
// when the request fails otherwise than for a service that has stopped or
// cannot take it yet.
bool AskToStop(MSIHANDLE install, SC_HANDLE service, const wchar_t* name, ULONGLONG now,
               StopWatch* watch) {
    SERVICE_STATUS ignored = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            LogError(install, name, L"the stop request failed", error);
            return false;
        }
    }
    watch->stopAsked = true;
    watch->lastReport = now;
    if (watch->stopTimeout != 0) {
        watch->deadline = now + watch->stopTimeout * 1000ULL + kStopMarginMs;
    }
    wchar_t message[kMessageUnits];
    StringCchPrintfW(message, kMessageUnits,
                     L"%ls: asked to stop; waiting for it (stop.timeout %lu s).", name,
                     static_cast<unsigned long>(watch->stopTimeout));
    Log(install, message);
    return true;
}

// True, after logging why, when the wait is over without a stop: past the
// deadline, or no new report for the margin.
bool GivesUp(MSIHANDLE install, const wchar_t* name, const StopWatch& watch, ULONGLONG now) {
    wchar_t message[kMessageUnits];
    if (watch.deadline != 0 && now >= watch.deadline) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls did not stop within %lu s (its stop.timeout and %lu s more); "
                         L"nothing was changed. Stop the service, then run the installer again.",
                         name, static_cast<unsigned long>(watch.stopTimeout + kStopMarginMs / 1000),
                         static_cast<unsigned long>(kStopMarginMs / 1000));
    } else if (now - watch.lastReport >= kStopMarginMs) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls stayed in state %lu without a report for %lu s; nothing was "
                         L"changed. Stop the service, then run the installer again.",
                         name, static_cast<unsigned long>(watch.lastState),
                         static_cast<unsigned long>(kStopMarginMs / 1000));
    } else {
        return false;
    }
    Log(install, message);
    return true;
}

// Opens the service to stop it: true with the handle, or with null when there
// is no such service; false, after logging why, when it cannot be opened.
bool OpenForStop(MSIHANDLE install, SC_HANDLE manager, const wchar_t* name, SC_HANDLE* service) {
    *service = manager == nullptr
                   ? nullptr
                   : OpenServiceW(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (*service != nullptr) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        return true;
    }
    LogError(install, name, L"the service could not be opened", error);
    return false;
}

// Asks the service to stop and waits until it has stopped: at most stop.timeout
// plus the margin from the accepted stop request (stop.timeout 0, no deadline:
// as long as the service keeps reporting), and never longer than the margin
// without a new report from a pending service. A service starting up (which
// takes no control) is waited for first. True when it is stopped, or not there.
bool StopAndWait(MSIHANDLE install, const wchar_t* name, const wchar_t* installDir) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service;
    if (!OpenForStop(install, manager.handle, name, &service.handle)) {
        return false;
    }
    if (service.handle == nullptr) {
        return true;
    }
    StopWatch watch;
    watch.stopTimeout = ReadStopTimeoutSeconds(installDir);
    watch.lastReport = GetTickCount64();
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.handle, &status)) {
            LogError(install, name, L"its state could not be read", GetLastError());
            return false;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (status.dwCurrentState != watch.lastState ||
            status.dwCheckPoint != watch.lastCheckPoint) {
            watch.lastState = status.dwCurrentState;
            watch.lastCheckPoint = status.dwCheckPoint;
            watch.lastReport = now;
        }
        if (!watch.stopAsked && status.dwCurrentState == SERVICE_RUNNING &&
            !AskToStop(install, service.handle, name, now, &watch)) {
            return false;
        }
        if (GivesUp(install, name, watch, now)) {
            return false;
        }
        Sleep(kPollMs);
    }
}

// --- conf\ files ------------------------------------------------------------

// The data the conf\ actions get: "<service>|<install dir>|<file>*<MD5>|…",
// <install dir> ending in a backslash, <file> relative to it, <MD5> the
// packaged file's digest in lower-case hex. An install's data also holds the
// entries of the version installed before, so a file may come twice, with
// each version's digest; empty entries are passed over. Neither '|' nor '*'
// can be part of a Windows path.
constexpr wchar_t kEntrySeparator = L'|';
constexpr wchar_t kDigestSeparator = L'*';
constexpr DWORD kDigestBytes = 16;

struct ConfEntry {
    const wchar_t* file;  // weak: into ConfData::text, not terminated
    size_t fileLength;
    const wchar_t* digest;  // weak, likewise
    size_t digestLength;
};

struct ConfData {
    wchar_t name[kNameUnits] = L"";
    wchar_t installDir[MAX_PATH] = L"";
    wchar_t* text = nullptr;       // the action's data, on the process heap
    ConfEntry* entries = nullptr;  // on the process heap
    size_t count = 0;
    ConfData() = default;
    ConfData(const ConfData&) = delete;
    ConfData& operator=(const ConfData&) = delete;
    ~ConfData() {
        FreeBytes(entries);
        FreeBytes(text);
    }
};

// False when the data is not in the form above.
bool ParseConfData(const wchar_t* text, ConfData* data) {
    const wchar_t* rest = nullptr;
    if (!TakePart(text, kEntrySeparator, data->name, kNameUnits, &rest) ||
        !TakePart(rest, kEntrySeparator, data->installDir, MAX_PATH, &rest)) {
        return false;
    }
    size_t most = 1;
    for (const wchar_t* c = rest; *c != L'\0'; ++c) {
        most += *c == kEntrySeparator;
    }
    data->entries = static_cast<ConfEntry*>(AllocateBytes(most * sizeof(ConfEntry)));
    if (data->entries == nullptr) {
        return false;
    }
    while (*rest != L'\0') {
        size_t length = 0;
        while (rest[length] != L'\0' && rest[length] != kEntrySeparator) ++length;
        size_t star = 0;
        while (star < length && rest[star] != kDigestSeparator) ++star;
        if (length > 0) {
            if (star == 0 || star == length) {
                return false;
            }
            data->entries[data->count++] = {rest, star, rest + star + 1, length - star - 1};
        }
        rest += rest[length] == kEntrySeparator ? length + 1 : length;
    }
    return true;
}

// "<install dir><file>" of entry i. False when it does not fit.
bool EntryPath(const ConfData& data, size_t i, wchar_t* path) {
    return SUCCEEDED(StringCchCopyW(path, MAX_PATH, data.installDir)) &&
           SUCCEEDED(
               StringCchCatNW(path, MAX_PATH, data.entries[i].file, data.entries[i].fileLength));
}

// The folder this service's conf\ files are kept in meanwhile (`kind`:
// "kept" or "removed"), below the temporary folder of the installer's account,
// outside the install directory so that a removal can remove that; and entry
// i's name in it. False when it does not fit.
bool HoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder) {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    return length > 0 && length < MAX_PATH &&
           SUCCEEDED(StringCchPrintfW(folder, MAX_PATH, L"%lsMerivast-%ls-conf-%ls", temp,
                                      data.name, kind));
}
bool HeldPath(const wchar_t* folder, size_t i, wchar_t* path) {
    return SUCCEEDED(
        StringCchPrintfW(path, MAX_PATH, L"%ls\\%lu", folder, static_cast<unsigned long>(i)));
}

bool SameFile(const ConfEntry& a, const ConfEntry& b) {
    return a.fileLength == b.fileLength &&
           CompareStringOrdinal(a.file, static_cast<int>(a.fileLength), b.file,
                                static_cast<int>(b.fileLength), TRUE) == CSTR_EQUAL;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// True when the file's MD5 is the entry's digest. False when it differs, or
// the file cannot be read, or the digest is malformed.
bool HasDigest(const wchar_t* path, const ConfEntry& entry) {
    if (entry.digestLength != 2 * kDigestBytes) {
        return false;
    }
    MSIFILEHASHINFO hash = {};
    hash.dwFileHashInfoSize = sizeof(hash);
    if (MsiGetFileHashW(path, 0, &hash) != ERROR_SUCCESS) {
        return false;
    }
    // The four ULONGs hold the digest's bytes in order on a little-endian machine.
    const auto* bytes = reinterpret_cast<const unsigned char*>(hash.dwData);
    for (DWORD i = 0; i < kDigestBytes; ++i) {
        const int high = HexValue(entry.digest[2 * i]);
        const int low = HexValue(entry.digest[2 * i + 1]);
        if (high < 0 || low < 0 || bytes[i] != static_cast<unsigned char>(high * 16 + low)) {
            return false;
        }
    }
    return true;
}

// True when the file has the content some version of the package gave it:
// the digest of an entry of the same file.
bool IsUnedited(const ConfData& data, size_t i, const wchar_t* path) {
    for (size_t j = 0; j < data.count; ++j) {
        if (SameFile(data.entries[i], data.entries[j]) && HasDigest(path, data.entries[j])) {
            return true;
        }
    }
    return false;
}

bool IsFirstOfItsFile(const ConfData& data, size_t i) {
    for (size_t j = 0; j < i; ++j) {
        if (SameFile(data.entries[i], data.entries[j])) {
            return false;
        }
    }
    return true;
}

bool Exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Creates the folders above `path` that are missing.
void CreateParents(const wchar_t* path) {
    wchar_t folder[MAX_PATH];
    if (FAILED(StringCchCopyW(folder, MAX_PATH, path)) || wcslen(folder) < 3) {
        return;
    }
    // Past "C:\" (or the "\\" of a share), each backslash ends a folder.
    for (size_t i = 3; folder[i] != L'\0'; ++i) {
        if (folder[i] == L'\\') {
            folder[i] = L'\0';
            CreateDirectoryW(folder, nullptr);
            folder[i] = L'\\';
        }
    }
}

// Reads and parses the action's data; logs and gives false when it cannot.
bool LoadConfData(MSIHANDLE install, const wchar_t* action, ConfData* data) {
    data->text = ReadActionData(install);
    wchar_t message[kMessageUnits];
    if (data->text != nullptr && ParseConfData(data->text, data)) {
        return true;
    }
    StringCchPrintfW(message, kMessageUnits, L"%ls: the package's data is not usable.", action);
    Log(install, message);
    return false;
}

// Moves every file held in `kind`'s folder back to its place in conf\; true
// when none is left behind.
bool PutBack(MSIHANDLE install, const ConfData& data, const wchar_t* kind) {
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!HoldingFolder(data, kind, folder)) {
        return false;
    }
    bool all = true;
    for (size_t i = 0; i < data.count; ++i) {
        if (!HeldPath(folder, i, held) || !Exists(held) || !EntryPath(data, i, path)) {
            continue;
        }
        CreateParents(path);
        if (MoveFileExW(held, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: put back.", path);
        } else {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: could not be put back from %ls (error %lu).", path, held,
                             static_cast<unsigned long>(error));
            all = false;
        }
        Log(install, message);
    }
    RemoveDirectoryW(folder);
    return all;
}

// Empties `kind`'s folder (what an interrupted earlier run left, or what a
// committed removal no longer needs) and removes it.
void Discard(const ConfData& data, const wchar_t* kind) {
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    if (!HoldingFolder(data, kind, folder)) {
        return;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (HeldPath(folder, i, held)) {
            DeleteFileW(held);
        }
    }
    RemoveDirectoryW(folder);
}

// `kind`'s folder in `folder`, emptied of what an interrupted earlier run
// left there; false when its path cannot be made.
bool FreshHoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder) {
    if (!HoldingFolder(data, kind, folder)) {
        return false;
    }
    Discard(data, kind);
    CreateDirectoryW(folder, nullptr);
    return true;
}

constexpr wchar_t kKept[] = L"kept";
constexpr wchar_t kRemoved[] = L"removed";
constexpr wchar_t kExecutable[] = L"executable";

}  // namespace

// Deferred, without impersonation, after InstallServices: the service exists.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    const HeapText data(ReadActionData(install));
    ServiceSettings settings;
    if (data.text == nullptr || !ParseConfigureData(data.text, &settings)) {
        Log(install,
            L"ConfigureService: the package's data is not \"<service name>;<ms>;<services>\".");
        return ERROR_INSTALL_FAILURE;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) {
        Log(install, L"ConfigureService: the service manager could not be opened.");
        return ERROR_INSTALL_FAILURE;
    }
    // Restart actions need the right to start the service as well.
    ServiceHandle service(
        OpenServiceW(manager.handle, settings.name,
                     SERVICE_CHANGE_CONFIG | SERVICE_START | READ_CONTROL | WRITE_DAC));
    if (service.handle == nullptr) {
        const DWORD error = GetLastError();
        wchar_t message[kMessageUnits];
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service could not be opened (error %lu).", settings.name,
                         static_cast<unsigned long>(error));
        Log(install, message);
        return ERROR_INSTALL_FAILURE;
    }
    return ApplySettings(install, service.handle, settings) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
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
    wchar_t* dependencies = nullptr;
    if (MsiGetPropertyW(install, L"MERIVASTSERVICE", name, &units) != ERROR_SUCCESS) {
        return ERROR_INSTALL_FAILURE;
    }
    const UINT read = MsiGetPropertyW(install, L"SERVICEDEPENDENCIES", list, &listUnits);
    const DependencyVerdict verdict = read == ERROR_SUCCESS
                                          ? AllocateDependencies(list, name, &dependencies)
                                          : DependencyVerdict::kBadList;
    FreeBytes(dependencies);
    if (verdict != DependencyVerdict::kTaken) {
        wchar_t message[kMessageUnits];
        DescribeRefusal(read == ERROR_SUCCESS ? list : L"(too long)", name, verdict, message,
                        kMessageUnits);
        MsiSetPropertyW(install, L"DEPENDENCIESREFUSED", message);
    }
    return ERROR_SUCCESS;
}

// Immediate, before InstallInitialize: SERVICEWASRUNNING is 1 when the service
// named by MERIVASTSERVICE is there and not stopped, so that StartServiceAgain
// starts it after the files are in place. Reading a service's state needs no
// elevation.
extern "C" __declspec(dllexport) UINT __stdcall NoteRunningService(MSIHANDLE install) {
    wchar_t name[kNameUnits];
    DWORD units = kNameUnits;
    if (MsiGetPropertyW(install, L"MERIVASTSERVICE", name, &units) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.handle == nullptr
                              ? nullptr
                              : OpenServiceW(manager.handle, name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (service.handle != nullptr && QueryServiceStatus(service.handle, &status) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        MsiSetPropertyW(install, L"SERVICEWASRUNNING", L"1");
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, before StopServices: "<service>|<install
// dir>". Fails the installation, before anything changed, when the service
// does not stop in time.
extern "C" __declspec(dllexport) UINT __stdcall StopServiceAndWait(MSIHANDLE install) {
    wchar_t data[kDataUnits];
    DWORD units = kDataUnits;
    wchar_t name[kNameUnits];
    wchar_t installDir[MAX_PATH];
    const wchar_t* rest = nullptr;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &units) != ERROR_SUCCESS ||
        !TakePart(data, kEntrySeparator, name, kNameUnits, &rest) ||
        !TakePart(rest, kEntrySeparator, installDir, MAX_PATH, &rest)) {
        Log(install, L"StopServiceAndWait: the package's data is not \"<service>|<folder>\".");
        return ERROR_INSTALL_FAILURE;
    }
    return StopAndWait(install, name, installDir) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, without impersonation, after ConfigureService, when the service ran
// before: "<service>". A start that fails is logged; the installation stands.
extern "C" __declspec(dllexport) UINT __stdcall StartServiceAgain(MSIHANDLE install) {
    wchar_t name[kNameUnits];
    DWORD units = kNameUnits;
    wchar_t message[kMessageUnits];
    if (MsiGetPropertyW(install, L"CustomActionData", name, &units) != ERROR_SUCCESS ||
        name[0] == L'\0') {
        Log(install, L"StartServiceAgain: the package's data is not \"<service>\".");
        return ERROR_SUCCESS;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(
        manager.handle == nullptr ? nullptr : OpenServiceW(manager.handle, name, SERVICE_START));
    if (service.handle != nullptr && StartServiceW(service.handle, 0, nullptr)) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: started again.", name);
    } else {
        const DWORD error = GetLastError();
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls ran before and could not be started again (error %lu): start it "
                         L"with sc start %ls.",
                         name, static_cast<unsigned long>(error), name);
    }
    Log(install, message);
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, before InstallFiles at an install, repair
// or upgrade: copies every file of conf\ whose content no version of the
// package gave it (an edited one) aside, for RestoreEditedConf. Fails the
// installation when one cannot be copied.
extern "C" __declspec(dllexport) UINT __stdcall KeepEditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"KeepEditedConf", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!FreshHoldingFolder(data, kKept, folder)) {
        Log(install, L"KeepEditedConf: no temporary folder.");
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (!IsFirstOfItsFile(data, i) || !EntryPath(data, i, path) || !Exists(path) ||
            IsUnedited(data, i, path)) {
            continue;
        }
        if (!HeldPath(folder, i, held) || !CopyFileW(path, held, FALSE)) {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: edited, but could not be kept aside (error %lu).", path,
                             static_cast<unsigned long>(error));
            Log(install, message);
            return ERROR_INSTALL_FAILURE;
        }
        StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", path);
        Log(install, message);
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, after InstallFiles (and the rollback of
// KeepEditedConf): puts the edited files back.
extern "C" __declspec(dllexport) UINT __stdcall RestoreEditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RestoreEditedConf", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    return PutBack(install, data, kKept) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, without impersonation, before RemoveFiles, at a removal that
// removes the service: moves the files of conf\ whose content is still the
// package's away, so that a rollback can put them back. Whatever happens, the
// removal goes on: a file left behind only keeps its old content.
extern "C" __declspec(dllexport) UINT __stdcall RemoveUneditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RemoveUneditedConf", &data)) {
        return ERROR_SUCCESS;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!FreshHoldingFolder(data, kRemoved, folder)) {
        Log(install, L"RemoveUneditedConf: no temporary folder; conf\\ is left as it is.");
        return ERROR_SUCCESS;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (!EntryPath(data, i, path) || !Exists(path)) {
            continue;
        }
        if (!IsUnedited(data, i, path)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", path);
        } else if (HeldPath(folder, i, held) &&
                   MoveFileExW(path, held, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: as installed, removed.", path);
        } else {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: as installed, but not removed (error %lu).", path,
                             static_cast<unsigned long>(error));
        }
        Log(install, message);
    }
    // conf\ itself goes when nothing is left in it, so that the removal can
    // remove the install directory.
    wchar_t conf[MAX_PATH];
    if (SUCCEEDED(StringCchCopyW(conf, MAX_PATH, data.installDir)) &&
        SUCCEEDED(StringCchCatW(conf, MAX_PATH, L"conf"))) {
        RemoveDirectoryW(conf);
    }
    return ERROR_SUCCESS;
}

// Rollback of RemoveUneditedConf: the files it moved away go back.
extern "C" __declspec(dllexport) UINT __stdcall RestoreRemovedConf(MSIHANDLE install) {
    ConfData data;
    if (LoadConfData(install, L"RestoreRemovedConf", &data)) {
        PutBack(install, data, kRemoved);
    }
    return ERROR_SUCCESS;
}

// Commit of RemoveUneditedConf: the files it moved away are deleted.
extern "C" __declspec(dllexport) UINT __stdcall ForgetRemovedConf(MSIHANDLE install) {
    ConfData data;
    if (LoadConfData(install, L"ForgetRemovedConf", &data)) {
        Discard(data, kRemoved);
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, before RemoveFiles at an install, repair or
// upgrade, with the data "<service>|[INSTALLDIR]|MerivastService.exe*-": keeps
// a copy of the executable. The package has it twice, one copy for each
// service row; a repair that changes which row is installed removes the one
// copy, and Windows Installer decided at costing, while the file was still
// there, that the other need not be copied (REINSTALLMODE "o").
extern "C" __declspec(dllexport) UINT __stdcall KeepExecutable(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"KeepExecutable", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!FreshHoldingFolder(data, kExecutable, folder)) {
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (EntryPath(data, i, path) && Exists(path) &&
            (!HeldPath(folder, i, held) || !CopyFileW(path, held, FALSE))) {
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, after InstallFiles (and the rollback of
// KeepExecutable): an executable that is missing gets its copy back; the copy
// is deleted otherwise.
extern "C" __declspec(dllexport) UINT __stdcall RestoreMissingExecutable(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RestoreMissingExecutable", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!HoldingFolder(data, kExecutable, folder)) {
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (EntryPath(data, i, path) && !Exists(path) && HeldPath(folder, i, held) &&
            Exists(held)) {
            wchar_t message[kMessageUnits];
            StringCchPrintfW(message, kMessageUnits, L"%ls: missing after InstallFiles, put back.",
                             path);
            Log(install, message);
            if (!MoveFileExW(held, path, MOVEFILE_COPY_ALLOWED)) {
                return ERROR_INSTALL_FAILURE;
            }
        }
    }
    Discard(data, kExecutable);
    return ERROR_SUCCESS;
}

namespace {

// A GUID "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as the installer's registry
// keys write it: the first three groups reversed, then each byte's two digits
// swapped. False for anything else.
bool PackGuid(const wchar_t* guid, wchar_t* packed) {
    // Where each of the 32 digits of the packed form comes from in the GUID.
    constexpr int kFrom[32] = {8,  7,  6,  5,  4,  3,  2,  1,  13, 12, 11, 10, 18, 17, 16, 15,
                               21, 20, 23, 22, 26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35};
    if (wcslen(guid) != 38 || guid[0] != L'{' || guid[37] != L'}') {
        return false;
    }
    for (int i = 0; i < 32; ++i) {
        const wchar_t c = guid[kFrom[i]];
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) {
            return false;
        }
        packed[i] = c;
    }
    packed[32] = L'\0';
    return true;
}

// Writes "<root>\UpgradeCodes\<upgrade code>" "<product code>" in the
// 64-bit view of HKLM when it is missing.
void RegisterUpgradeCode(MSIHANDLE install, const wchar_t* root, const wchar_t* packedUpgrade,
                         const wchar_t* packedProduct) {
    wchar_t key[160];
    HKEY handle = nullptr;
    if (FAILED(StringCchPrintfW(key, ARRAYSIZE(key), L"%ls\\UpgradeCodes\\%ls", root,
                                packedUpgrade)) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (RegQueryValueExW(handle, packedProduct, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
        RegSetValueExW(handle, packedProduct, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                       sizeof(wchar_t));
        wchar_t message[kMessageUnits];
        StringCchPrintfW(message, kMessageUnits,
                         L"KeepUpgradeCode: this product is registered under its upgrade code "
                         L"again (HKLM\\%ls).",
                         key);
        Log(install, message);
    }
    RegCloseKey(handle);
}

}  // namespace

// Immediate, after RemoveExistingProducts, at an upgrade: this product stays
// registered under its upgrade code. The new version is installed before the
// old one is removed; Wine's msi removes the whole upgrade-code key with the
// old product, so that no later version would find this one (to upgrade it,
// or to refuse a downgrade). Windows Installer removes only the old product's
// entry; there the entry is found and nothing is written.
extern "C" __declspec(dllexport) UINT __stdcall KeepUpgradeCode(MSIHANDLE install) {
    wchar_t upgradeCode[40];
    wchar_t productCode[40];
    DWORD units = ARRAYSIZE(upgradeCode);
    wchar_t packedUpgrade[33];
    wchar_t packedProduct[33];
    if (MsiGetPropertyW(install, L"UpgradeCode", upgradeCode, &units) != ERROR_SUCCESS ||
        !PackGuid(upgradeCode, packedUpgrade)) {
        return ERROR_SUCCESS;
    }
    units = ARRAYSIZE(productCode);
    if (MsiGetPropertyW(install, L"ProductCode", productCode, &units) != ERROR_SUCCESS ||
        !PackGuid(productCode, packedProduct)) {
        return ERROR_SUCCESS;
    }
    // Both places the installer keeps it: its own and the one of Classes.
    RegisterUpgradeCode(install, L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer",
                        packedUpgrade, packedProduct);
    RegisterUpgradeCode(install, L"Software\\Classes\\Installer", packedUpgrade, packedProduct);
    return ERROR_SUCCESS;
}

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
    target->manager.handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    target->service.handle = target->manager.handle == nullptr
                                 ? nullptr
                                 : OpenServiceW(target->manager.handle, target->name, access);
    if (target->service.handle == nullptr) {
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
    if (ChangeServiceConfig2W(target.service.handle, SERVICE_CONFIG_PRESHUTDOWN_INFO,
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
    wchar_t* dependencies = nullptr;
    if (AllocateDependencies(target.value, target.name, &dependencies) !=
        DependencyVerdict::kTaken) {
        ExitProcess(1);
    }
    const BOOL set = ChangeServiceConfigW(target.service.handle, SERVICE_NO_CHANGE,
                                          SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                          nullptr, dependencies, nullptr, nullptr, nullptr);
    FreeBytes(dependencies);
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
    switch (RestrictUserControls(target.service.handle, target.name, &error)) {
        case SecurityOutcome::kSet:
            ExitProcess(0);
        case SecurityOutcome::kStored:
            ExitProcess(3);
        default:
            ExitProcess(4);
    }
}
