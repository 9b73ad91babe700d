// The Windows Installer package's own custom actions.
//
// ConfigureService: the service's settings that the ServiceInstall table
// cannot carry (recovery actions, the failure-actions flag, delayed automatic
// start, the service SID type and the preshutdown time), set through
// ChangeServiceConfig2W. That call changes the service manager's own record of
// the service, so each setting holds at once. The alternatives do not: the
// MsiServiceConfig tables apply "the next time the system is started" (and
// Microsoft documents the failure-actions table as not working, recommending
// a custom action instead), and values written to the service's registry key
// are read by the service manager only when it starts.
//
// RemoveUneditedConf: the package's conf\ files are permanent and never
// overwritten, so that the operator's edits survive a repair, an upgrade and
// a removal. At a removal (also the old version's, in an upgrade) this removes
// the ones whose content is still what the package installed, so that a newer
// version installs its own.
#include "base/win32.h"
// After windows.h, which both build on.
#include <msiquery.h>
#include <strsafe.h>

#include "base/process_heap.h"

namespace {

// Service names are at most 256 characters; the installer's data adds the
// preshutdown time.
constexpr DWORD kDataUnits = 300;
constexpr DWORD kNameUnits = 257;
constexpr DWORD kMessageUnits = 512;

// Restart after 10 s, twice, then nothing; the failure count resets after a day.
constexpr DWORD kResetPeriodSeconds = 86400;
constexpr DWORD kRestartDelayMs = 10000;

struct ServiceSettings {
    wchar_t name[kNameUnits];
    DWORD preshutdownMs;
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

// "<service name>;<preshutdown time in ms>", as the package's immediate action
// sets it. False for anything else.
bool ParseSettings(const wchar_t* data, ServiceSettings* settings) {
    DWORD length = 0;
    while (data[length] != L'\0' && data[length] != L';') {
        if (length + 1 >= kNameUnits) {
            return false;
        }
        settings->name[length] = data[length];
        ++length;
    }
    settings->name[length] = L'\0';
    if (length == 0 || data[length] != L';' || data[length + 1] == L'\0') {
        return false;
    }
    DWORD ms = 0;
    for (const wchar_t* digit = data + length + 1; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9' || ms > (MAXDWORD - 9) / 10) {
            return false;
        }
        ms = ms * 10 + static_cast<DWORD>(*digit - L'0');
    }
    settings->preshutdownMs = ms;
    return true;
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

bool ApplySettings(MSIHANDLE install, SC_HANDLE service, const ServiceSettings& settings) {
    SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                           {SC_ACTION_RESTART, kRestartDelayMs},
                           {SC_ACTION_NONE, 0}};
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
                  L"preshutdown time");
}

// The data RemoveUneditedConf gets: "<install dir>|<file>*<MD5>|<file>*<MD5>…",
// <install dir> ending in a backslash, <file> relative to it, <MD5> the
// packaged file's digest in lower-case hex. Neither '|' nor '*' can be part of
// a Windows path.
constexpr wchar_t kEntrySeparator = L'|';
constexpr wchar_t kDigestSeparator = L'*';
constexpr DWORD kDigestBytes = 16;

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

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// True when the file's MD5 is `digest` (32 lower-case hex digits). False when
// it differs, or the file cannot be read, or the digest is malformed.
bool HasDigest(const wchar_t* path, const wchar_t* digest, size_t digestLength) {
    if (digestLength != 2 * kDigestBytes) {
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
        const int high = HexValue(digest[2 * i]);
        const int low = HexValue(digest[2 * i + 1]);
        if (high < 0 || low < 0 || bytes[i] != static_cast<unsigned char>(high * 16 + low)) {
            return false;
        }
    }
    return true;
}

// One "<file>*<MD5>" entry: removes the file when it is unedited.
void RemoveIfUnedited(MSIHANDLE install, const wchar_t* installDir, const wchar_t* entry,
                      size_t length) {
    size_t star = 0;
    while (star < length && entry[star] != kDigestSeparator) ++star;
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (star == length || FAILED(StringCchCopyW(path, MAX_PATH, installDir)) ||
        FAILED(StringCchCatNW(path, MAX_PATH, entry, star))) {
        Log(install, L"RemoveUneditedConf: an entry of the package's data is not usable.");
        return;
    }
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (!HasDigest(path, entry + star + 1, length - star - 1)) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", path);
        Log(install, message);
        return;
    }
    if (DeleteFileW(path)) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: as installed, removed.", path);
    } else {
        const DWORD error = GetLastError();
        StringCchPrintfW(message, kMessageUnits, L"%ls: as installed, but not removed (error %lu).",
                         path, static_cast<unsigned long>(error));
    }
    Log(install, message);
}

}  // namespace

// Deferred, without impersonation, after InstallServices: the service exists.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    wchar_t data[kDataUnits];
    DWORD units = kDataUnits;
    ServiceSettings settings;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &units) != ERROR_SUCCESS ||
        !ParseSettings(data, &settings)) {
        Log(install, L"ConfigureService: the package's data is not \"<service name>;<ms>\".");
        return ERROR_INSTALL_FAILURE;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Log(install, L"ConfigureService: the service manager could not be opened.");
        return ERROR_INSTALL_FAILURE;
    }
    // Restart actions need the right to start the service as well.
    SC_HANDLE service = OpenServiceW(manager, settings.name, SERVICE_CHANGE_CONFIG | SERVICE_START);
    bool applied = false;
    if (service == nullptr) {
        const DWORD error = GetLastError();
        wchar_t message[kMessageUnits];
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service could not be opened (error %lu).", settings.name,
                         static_cast<unsigned long>(error));
        Log(install, message);
    } else {
        applied = ApplySettings(install, service, settings);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return applied ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, without impersonation, before RemoveFiles, at a removal. Whatever
// happens, the removal goes on: a file left behind only keeps its old content.
extern "C" __declspec(dllexport) UINT __stdcall RemoveUneditedConf(MSIHANDLE install) {
    wchar_t* data = ReadActionData(install);
    if (data == nullptr) {
        Log(install, L"RemoveUneditedConf: the package's data could not be read.");
        return ERROR_SUCCESS;
    }
    size_t end = 0;
    while (data[end] != L'\0' && data[end] != kEntrySeparator) ++end;
    const bool hasEntries = data[end] == kEntrySeparator;
    data[end] = L'\0';
    const wchar_t* installDir = data;
    wchar_t* entry = data + end + 1;
    while (hasEntries) {
        size_t length = 0;
        while (entry[length] != L'\0' && entry[length] != kEntrySeparator) ++length;
        RemoveIfUnedited(install, installDir, entry, length);
        if (entry[length] == L'\0') {
            break;
        }
        entry += length + 1;
    }
    // conf\ itself goes when nothing is left in it, so that the removal can
    // remove the install directory.
    wchar_t conf[MAX_PATH];
    if (SUCCEEDED(StringCchCopyW(conf, MAX_PATH, installDir)) &&
        SUCCEEDED(StringCchCatW(conf, MAX_PATH, L"conf"))) {
        RemoveDirectoryW(conf);
    }
    FreeBytes(data);
    return ERROR_SUCCESS;
}
