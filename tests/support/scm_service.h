// Drives one real service of Wine's Service Control Manager, as an
// administrator's tools would: create, start, control, query, delete.
#pragma once

#include <windows.h>

#include <string>

namespace mvt {

class ScmService {
  public:
    // Creates an own-process, demand-start service with a name unique to the test.
    ScmService(const std::wstring& name, const std::wstring& binaryPath);
    ~ScmService();
    ScmService(const ScmService&) = delete;
    ScmService& operator=(const ScmService&) = delete;

    bool created() const { return service_ != nullptr; }
    const std::wstring& name() const { return name_; }
    // StartServiceW; 0 or the error. On success the service's process is opened.
    DWORD Start();
    // ControlService; 0 or the error.
    DWORD Control(DWORD code);
    SERVICE_STATUS_PROCESS Query() const;
    // Polls until the state is reached; false on timeout.
    bool WaitForState(DWORD state, DWORD timeoutMs = 15000) const;
    // Waits for the service process to end (also a crashed one, which Wine
    // leaves RUNNING); false on timeout.
    bool WaitForProcessExit(DWORD timeoutMs = 15000);
    // The process's exit code; STILL_ACTIVE while it runs, kExitCodeUnknown
    // when the process had already ended before it could be opened.
    DWORD ProcessExitCode() const;
    static constexpr DWORD kExitCodeUnknown = 0xFFFFFFFE;
    DWORD pid() const { return pid_; }
    // The trace's end when the last Start began; this life's lines come after it.
    unsigned long long traceStart() const { return traceStart_; }

  private:
    DWORD PidFromTrace() const;

    std::wstring name_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    unsigned long long traceStart_ = 0;
};

// Runs a command line as a child process and returns its exit code, or
// 0xFFFFFFFF when it did not start or did not end within the timeout.
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 30000, DWORD* pid = nullptr);

}  // namespace mvt
