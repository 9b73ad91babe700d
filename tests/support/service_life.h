// One test's service: an install directory and a real SCM service on it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_layout.h"
#include "paths.h"
#include "scm_service.h"
#include "wine_trace.h"

namespace mvt {

// The status sequences of a life that ends by itself and of one that is stopped.
const std::vector<unsigned> kStartedAndStopped = {SERVICE_START_PENDING, SERVICE_RUNNING,
                                                  SERVICE_STOPPED};
const std::vector<unsigned> kStoppedOnRequest = {SERVICE_START_PENDING, SERVICE_RUNNING,
                                                 SERVICE_STOP_PENDING, SERVICE_STOPPED};

struct ServiceLife {
    explicit ServiceLife(const std::wstring& tag, Runtime runtime = Runtime::kStandin,
                         bool withJar = true)
        : layout(tag, ServiceExecutable()), service(UniqueName(L"Mvt" + tag), layout.executable()) {
        layout.AddRuntime(runtime);
        if (withJar) layout.AddJar(L"app.jar");
    }

    // Starts the service and waits until it reports running (or has already stopped).
    void StartRunning() {
        ASSERT_TRUE(service.created());
        ASSERT_EQ(0u, service.Start());
        // A run that fails fast may pass running between two polls.
        const ULONGLONG deadline = GetTickCount64() + 15000;
        DWORD state = service.Query().dwCurrentState;
        while (state != SERVICE_RUNNING && state != SERVICE_STOPPED &&
               GetTickCount64() < deadline) {
            Sleep(2);
            state = service.Query().dwCurrentState;
        }
        ASSERT_TRUE(state == SERVICE_RUNNING || state == SERVICE_STOPPED) << state;
    }

    // Waits for the process to end and returns what it told the platform.
    // Every event is written under the name the service was started under.
    ProcessTrace Finish() {
        EXPECT_TRUE(service.WaitForProcessExit()) << "the service process did not end";
        ProcessTrace trace = ReadProcessTrace(service.pid(), service.traceStart());
        for (const TracedEvent& event : trace.events) {
            EXPECT_EQ(service.name(), event.source) << event.strings.size();
        }
        return trace;
    }

    InstallLayout layout;
    ScmService service;
};

// The last status report's exit codes, as the SCM recorded them.
inline void ExpectStoppedWith(const ScmService& service, DWORD win32, DWORD specific) {
    const SERVICE_STATUS_PROCESS status = service.Query();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(win32, status.dwWin32ExitCode);
    EXPECT_EQ(specific, status.dwServiceSpecificExitCode);
}

// The process's own exit code, when the process could be opened before it
// ended (a service that fails at once may be gone before that).
inline void ExpectProcessExitCode(const ScmService& service, DWORD expected) {
    const DWORD code = service.ProcessExitCode();
    if (code != ScmService::kExitCodeUnknown) {
        EXPECT_EQ(expected, code);
    }
}

inline void ExpectEvent(const TracedEvent& event, unsigned type, const std::wstring& text) {
    EXPECT_EQ(type, event.type);
    EXPECT_EQ(0u, event.category);
    EXPECT_EQ(type == EVENTLOG_ERROR_TYPE ? 1u : type == EVENTLOG_WARNING_TYPE ? 2u : 0u, event.id);
    EXPECT_EQ(1u, event.stringCount);
    ASSERT_EQ(1u, event.strings.size());
    EXPECT_EQ(text, event.strings[0]);
}

// The JNI events recorded on one thread, in order.
inline std::vector<std::string> CallsOnThread(const std::vector<JniCall>& calls, DWORD thread) {
    std::vector<std::string> names;
    for (const auto& call : calls) {
        if (call.thread == thread && call.event != "option" && call.event != "GATE" &&
            call.event != "ENTER" && call.event != "LEAVE") {
            names.push_back(call.event == "CallStaticVoidMethod" ? call.event + " " + call.details
                                                                 : call.event);
        }
    }
    return names;
}

inline const JniCall* FindCall(const std::vector<JniCall>& calls, const std::string& event,
                               const std::string& detailsPrefix = "") {
    for (const auto& call : calls) {
        if (call.event == event &&
            call.details.compare(0, detailsPrefix.size(), detailsPrefix) == 0) {
            return &call;
        }
    }
    return nullptr;
}

// The call found points into `calls`: a temporary list would leave it dangling.
const JniCall* FindCall(std::vector<JniCall>&& calls, const std::string& event,
                        const std::string& detailsPrefix = "") = delete;

inline bool HasCall(const std::vector<JniCall>& calls, const std::string& event,
                    const std::string& detailsPrefix = "") {
    return FindCall(calls, event, detailsPrefix) != nullptr;
}

// A deadline's event names the thread dump made just before it: `text` less
// " Its threads at the deadline are in <dir>\logs\threaddump-….txt.", which
// must be there.
inline std::wstring WithoutDeadlineDump(const std::wstring& text, const std::wstring& dir) {
    const std::wstring named =
        L" Its threads at the deadline are in " + dir + L"\\logs\\threaddump-";
    const size_t at = text.find(named);
    EXPECT_NE(std::wstring::npos, at) << "no dump named: " << Narrow(text);
    return at == std::wstring::npos ? text : text.substr(0, at);
}

}  // namespace mvt
