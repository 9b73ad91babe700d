// The settings both installers give the service through the service manager,
// defined here once: the MSI's ConfigureService and install.cmd's Configure
// apply them with ApplyServiceSettings.
#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

namespace {

// Restart after 10 s, then after 30 s, then every 60 s: the service manager
// repeats the last action for every further failure, so a service is never
// left down. The failure count resets after a day.
constexpr DWORD kResetPeriodSeconds = 86400;
constexpr DWORD kRestartDelaysMs[] = {10000, 30000, 60000};
constexpr DWORD kRestartCount = ARRAYSIZE(kRestartDelaysMs);
// The longest Windows waits at shutdown for the service to stop: the 25 s the
// service gives its application (stop.timeout) plus 5 s.
constexpr DWORD kPreshutdownMs = 30000;

// The recovery actions as the service manager keeps them in the service's key
// (FailureActions): SERVICE_FAILURE_ACTIONS with its pointers as zeros, then
// the actions, the same on 32-bit and 64-bit Windows.
struct StoredFailureActions {
    DWORD resetPeriod;
    DWORD rebootMessage;
    DWORD command;
    DWORD count;
    DWORD actions;
    SC_ACTION restarts[kRestartCount];
};

// One setting through the service manager, and the value of the service's key
// that holds the same for a service manager that does not know the setting.
struct Setting {
    DWORD level;
    void* info;
    const wchar_t* what;
    const wchar_t* value;
    DWORD type;
    const void* data;
    DWORD bytes;
};

SettingOutcome Worse(SettingOutcome a, SettingOutcome b) {
    return a > b ? a : b;
}

// Whether the service manager gives a setting of this level back: Wine's takes
// recovery actions without keeping them, and answers ERROR_INVALID_LEVEL.
bool GivesBack(SC_HANDLE service, DWORD level) {
    DWORD buffer[128];
    DWORD needed = 0;
    return QueryServiceConfig2W(service, level, reinterpret_cast<BYTE*>(buffer), sizeof(buffer),
                                &needed) ||
           GetLastError() != ERROR_INVALID_LEVEL;
}

// What happened to a setting, in the installer's log.
void Report(MSIHANDLE install, const wchar_t* name, const wchar_t* what, SettingOutcome outcome,
            DWORD error) {
    wchar_t message[kMessageUnits];
    if (outcome == SettingOutcome::kSet) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: %ls set.", name, what);
    } else if (outcome == SettingOutcome::kStored) {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls: the service manager does not keep the setting \"%ls\"; written to "
                         L"the service's key, which it reads when it starts.",
                         name, what);
    } else {
        StringCchPrintfW(message, kMessageUnits, L"%ls: %ls could not be set (error %lu).", name,
                         what, static_cast<unsigned long>(error));
    }
    Log(install, message);
}

// Through the service manager, which applies it at once; a service manager
// that does not know it, or does not keep it, gets it in the service's key.
SettingOutcome Apply(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                     const Setting& setting) {
    SettingOutcome outcome = SettingOutcome::kSet;
    DWORD error = ERROR_SUCCESS;
    if (!ChangeServiceConfig2W(service, setting.level, setting.info)) {
        error = GetLastError();
        outcome = error == ERROR_INVALID_LEVEL ? SettingOutcome::kStored : SettingOutcome::kFailed;
    } else if (!GivesBack(service, setting.level)) {
        outcome = SettingOutcome::kStored;
    }
    if (outcome == SettingOutcome::kStored) {
        error = static_cast<DWORD>(
            StoreServiceValue(name, L"", setting.value, setting.type, setting.data, setting.bytes));
        outcome = error == ERROR_SUCCESS ? SettingOutcome::kStored : SettingOutcome::kFailed;
    }
    Report(install, name, setting.what, outcome, error);
    return outcome;
}

// The services it depends on, or the account's password, when given.
SettingOutcome ChangeConfig(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                            const wchar_t* dependencies, const wchar_t* password,
                            const wchar_t* what) {
    if (dependencies == nullptr && password == nullptr) {
        return SettingOutcome::kSet;
    }
    const BOOL changed =
        ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, dependencies, nullptr, password, nullptr);
    const SettingOutcome outcome = changed ? SettingOutcome::kSet : SettingOutcome::kFailed;
    Report(install, name, what, outcome, changed ? ERROR_SUCCESS : GetLastError());
    return outcome;
}

// Recovery actions, recovery also for stops with a non-zero exit code (how
// the host reports a failed Java side, 1066), delayed automatic start, and
// the service SID under any account (so the grant on logs\ holds also for an
// account the operator chose).
SettingOutcome ApplyStartAndRecovery(MSIHANDLE install, SC_HANDLE service, const wchar_t* name) {
    SC_ACTION restarts[kRestartCount];
    StoredFailureActions stored = {kResetPeriodSeconds, 0, 0, kRestartCount, 0, {}};
    for (DWORD i = 0; i < kRestartCount; ++i) {
        restarts[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
        stored.restarts[i] = restarts[i];
    }
    SERVICE_FAILURE_ACTIONSW failureActions = {kResetPeriodSeconds, nullptr, nullptr, kRestartCount,
                                               restarts};
    SERVICE_FAILURE_ACTIONS_FLAG failureFlag = {TRUE};
    SERVICE_DELAYED_AUTO_START_INFO delayedStart = {TRUE};
    SERVICE_SID_INFO sidType = {SERVICE_SID_TYPE_UNRESTRICTED};
    const DWORD one = 1;
    const Setting settings[] = {
        {SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions, L"recovery actions", L"FailureActions",
         REG_BINARY, &stored, sizeof(stored)},
        {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &failureFlag,
         L"recovery for stops with a non-zero exit code", L"FailureActionsOnNonCrashFailures",
         REG_DWORD, &one, sizeof(one)},
        {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayedStart, L"delayed automatic start",
         L"DelayedAutostart", REG_DWORD, &one, sizeof(one)},
        {SERVICE_CONFIG_SERVICE_SID_INFO, &sidType, L"service SID type", L"ServiceSidType",
         REG_DWORD, &one, sizeof(one)}};
    SettingOutcome worst = SettingOutcome::kSet;
    for (const Setting& setting : settings) {
        const SettingOutcome outcome = Apply(install, service, name, setting);
        if (outcome > worst) {
            worst = outcome;
        }
    }
    return worst;
}

}  // namespace

SettingOutcome ApplyPreshutdownTime(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                                    DWORD milliseconds) {
    SERVICE_PRESHUTDOWN_INFO preshutdown = {milliseconds};
    const Setting setting = {SERVICE_CONFIG_PRESHUTDOWN_INFO,
                             &preshutdown,
                             L"preshutdown time",
                             L"PreshutdownTimeout",
                             REG_DWORD,
                             &milliseconds,
                             sizeof(milliseconds)};
    return Apply(install, service, name, setting);
}

// The calls that make a service manager which writes its whole entry on a
// change (Wine's) write it come first; the values stored in the service's key
// after them, so that no such write undoes them.
SettingOutcome ApplyServiceSettings(MSIHANDLE install, SC_HANDLE service, const wchar_t* name,
                                    const wchar_t* dependencies, const wchar_t* password) {
    SettingOutcome worst = ApplyPreshutdownTime(install, service, name, kPreshutdownMs);
    worst = Worse(worst, ChangeConfig(install, service, name, dependencies, nullptr,
                                      L"the services it depends on"));
    worst = Worse(
        worst, ChangeConfig(install, service, name, nullptr, password, L"the account's password"));
    worst = Worse(worst, ApplyStartAndRecovery(install, service, name));
    DWORD error = ERROR_SUCCESS;
    const SettingOutcome security = RestrictUserControls(service, name, &error);
    Report(install, name, L"user-defined controls for Administrators only", security, error);
    return Worse(worst, security);
}

}  // namespace install_actions
