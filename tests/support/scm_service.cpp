#include "scm_service.h"

#include <cstdlib>

#include "paths.h"
#include "wine_trace.h"

namespace mvt {

ScmService::ScmService(const std::wstring& name, const std::wstring& binaryPath) : name_(name) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return;
    std::wstring quoted = L"\"" + binaryPath + L"\"";
    service_ = CreateServiceW(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
}

ScmService::~ScmService() {
    if (service_ != nullptr) {
        SERVICE_STATUS_PROCESS status = Query();
        if (status.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS ignored;
            ControlService(service_, SERVICE_CONTROL_STOP, &ignored);
            WaitForState(SERVICE_STOPPED, 5000);
        }
        if (process_ != nullptr && WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 1);
        }
        DeleteService(service_);
        CloseServiceHandle(service_);
    }
    if (process_ != nullptr) CloseHandle(process_);
    if (manager_ != nullptr) CloseServiceHandle(manager_);
}

DWORD ScmService::Start() {
    traceStart_ = TraceEnd();
    if (process_ != nullptr) {
        CloseHandle(process_);
        process_ = nullptr;
    }
    if (!StartServiceW(service_, 0, nullptr)) {
        const DWORD error = GetLastError();
        // Wine's SCM can answer 1053 to a start whose service already ran to
        // stopped within milliseconds; its dispatcher's trace shows it ran.
        if (error != ERROR_SERVICE_REQUEST_TIMEOUT || (pid_ = PidFromTrace()) == 0 ||
            ReadProcessTrace(pid_, traceStart_).reports.empty()) {
            return error;
        }
        process_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid_);
        return 0;
    }
    SERVICE_STATUS_PROCESS status = Query();
    pid_ = status.dwProcessId;
    if (pid_ == 0) {
        // A service that stops at once reads pid 0 already; its process is
        // the one whose dispatcher took the start request for this name.
        pid_ = PidFromTrace();
    }
    if (pid_ != 0) {
        process_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid_);
    }
    return 0;
}

DWORD ScmService::PidFromTrace() const {
    // The dispatcher of the service's process opens its own service by the
    // installed name ("...:trace:service:OpenServiceW <handle> L"<name>" 0x8000").
    const std::string needle = "L\"" + Narrow(name_) + "\" 0x8000";
    const ULONGLONG deadline = GetTickCount64() + 5000;
    do {
        const std::string text = ReadFileBytes(TraceFilePath(), traceStart_);
        auto onOpenServiceLine = [&](size_t at) {
            const size_t call = text.rfind(":trace:service:OpenServiceW ", at);
            const size_t lineStart = text.rfind('\n', at);
            return call != std::string::npos &&
                   (lineStart == std::string::npos || call > lineStart);
        };
        size_t at = text.find(needle);
        while (at != std::string::npos && !onOpenServiceLine(at)) {
            at = text.find(needle, at + 1);
        }
        if (at != std::string::npos) {
            // "ts:pid:tid:trace:service:..." at the start of that line
            const size_t lineStart = text.rfind('\n', at);
            const std::string line =
                text.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
            const size_t first = line.find(':');
            return static_cast<DWORD>(strtoul(line.c_str() + first + 1, nullptr, 16));
        }
        Sleep(2);
    } while (GetTickCount64() < deadline);
    return 0;
}

DWORD ScmService::Control(DWORD code) {
    SERVICE_STATUS status;
    return ControlService(service_, code, &status) ? 0 : GetLastError();
}

SERVICE_STATUS_PROCESS ScmService::Query() const {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof(status), &needed);
    return status;
}

bool ScmService::WaitForState(DWORD state, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (Query().dwCurrentState == state) return true;
        Sleep(2);
    } while (GetTickCount64() < deadline);
    return false;
}

bool ScmService::WaitForProcessExit(DWORD timeoutMs) {
    if (process_ != nullptr) return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
    // Never opened: it had ended already, or its pid is unknown.
    return pid_ != 0;
}

DWORD ScmService::ProcessExitCode() const {
    DWORD code = kExitCodeUnknown;
    if (process_ != nullptr) GetExitCodeProcess(process_, &code);
    return code;
}

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD* pid) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return 0xFFFFFFFF;
    }
    if (pid != nullptr) *pid = info.dwProcessId;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(info.hProcess, &code);
    } else {
        TerminateProcess(info.hProcess, 1);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

}  // namespace mvt
