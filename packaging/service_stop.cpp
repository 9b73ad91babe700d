// NoteRunningService, StopServiceAndWait, StartServiceAgain: the service is
// stopped and waited for before any of its files change, and started again
// after when it ran before.
#include "packaging/install_actions.h"

#include <strsafe.h>

#include "agent/service_properties.h"

namespace install_actions {

namespace {

// What a stop may take beyond the application's own deadline: the host's
// report, the runtime's tear-down and the end of the process. Also the longest
// a pending service may go without a new report.
constexpr DWORD kStopMarginMs = 30000;
constexpr DWORD kPollMs = 250;

// stop.timeout as the host reads it from "<installDir>conf\service.properties",
// with the host's own reader; the host's default when the file is missing or
// refused (a file the host refuses never lets the service run).
DWORD ReadStopTimeoutSeconds(const wchar_t* installDir) {
    // The host names its install directory without a trailing separator,
    // a drive's root as "C:".
    wchar_t dir[MAX_PATH];
    if (FAILED(StringCchCopyW(dir, MAX_PATH, installDir))) {
        return kDefaultStopTimeoutSeconds;
    }
    size_t length = wcslen(dir);
    while (length > 0 && dir[length - 1] == L'\\') dir[--length] = L'\0';
    ServiceProperties properties;
    ConfigProblem problem;
    return ReadServiceProperties(dir, &properties, &problem) ? properties.stopTimeoutSeconds
                                                             : kDefaultStopTimeoutSeconds;
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
bool OpenForStop(MSIHANDLE install, const ServiceHandle& manager, const wchar_t* name,
                 ServiceHandle* service) {
    if (manager.IsValid()) {
        service->Reset(OpenServiceW(manager.Get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    }
    if (service->IsValid()) {
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
    if (!OpenForStop(install, manager, name, &service)) {
        return false;
    }
    if (!service.IsValid()) {
        return true;
    }
    StopWatch watch;
    watch.stopTimeout = ReadStopTimeoutSeconds(installDir);
    watch.lastReport = GetTickCount64();
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.Get(), &status)) {
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
            !AskToStop(install, service.Get(), name, now, &watch)) {
            return false;
        }
        if (GivesUp(install, name, watch, now)) {
            return false;
        }
        Sleep(kPollMs);
    }
}

}  // namespace

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
    ServiceHandle service(
        manager.IsValid() ? OpenServiceW(manager.Get(), name, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    if (service.IsValid() && QueryServiceStatus(service.Get(), &status) &&
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
    ServiceHandle service(manager.IsValid() ? OpenServiceW(manager.Get(), name, SERVICE_START)
                                            : nullptr);
    const bool started = service.IsValid() && StartServiceW(service.Get(), 0, nullptr);
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (started || error == ERROR_SERVICE_ALREADY_RUNNING) {
        StringCchPrintfW(message, kMessageUnits, L"%ls: %ls.", name,
                         started ? L"started again" : L"running (it was not stopped)");
    } else if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        // A rollback runs this before the service is back, and a failed
        // upgrade that was not rolled back (Wine's installer rolls back no
        // standard action) leaves no service at all.
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls ran before, and is not installed now (error 1060), so it was not "
                         L"started: if the installation failed and the service stays missing, "
                         L"install the package again.",
                         name);
    } else {
        StringCchPrintfW(message, kMessageUnits,
                         L"%ls ran before and could not be started again (error %lu): start it "
                         L"with sc start %ls.",
                         name, static_cast<unsigned long>(error), name);
    }
    Log(install, message);
    return ERROR_SUCCESS;
}

}  // namespace install_actions
