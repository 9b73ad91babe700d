// Walks one service through a whole life under the SCM and prints what an
// administrator would see, as a timeline: the states, the events, the Java
// application's own log lines, the exit codes, and the runtime's record of the
// JNI calls.
//
//   demo_driver <install directory> <service name> <record file name>
//               [--until-stopped] [--request <port>] [--app-log <file>]
//
// With --until-stopped it sends no stop: the life is one that ends by itself.
// With --request it asks the application for http://127.0.0.1:<port>/ as soon
// as the service reports running, as a client that takes running for ready
// would, and shows the answer (or, when there is none yet, asks again until
// there is). --app-log names the
// application's log below the install directory (logs\agent.log unless given).
// Each life ends with what the Java side printed, logs\stdout.log and
// logs\stderr.log.
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/install_layout.h"
#include "support/loopback_http.h"
#include "support/paths.h"
#include "support/scm_service.h"
#include "support/wine_trace.h"

namespace {

using namespace mvt;

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        default:
            return "OTHER";
    }
}

std::string Printable(const std::wstring& text) {
    std::string out;
    for (char c : Narrow(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

struct Timeline {
    ScmService& service;
    std::wstring installDir;
    std::wstring appLog;
    ULONGLONG t0 = GetTickCount64();
    DWORD lastState = 0;
    size_t eventsShown = 0;
    size_t logShown = 0;

    void Say(const char* what) { std::printf("%6llu ms  %s\n", GetTickCount64() - t0, what); }

    // Prints whatever changed since the last call: state, new events, new log lines.
    void Catch() {
        const SERVICE_STATUS_PROCESS s = service.Query();
        if (s.dwCurrentState != lastState) {
            lastState = s.dwCurrentState;
            std::printf("%6llu ms  SCM state   %-13s (win32 exit %lu, service exit %lu)\n",
                        GetTickCount64() - t0, StateName(lastState), s.dwWin32ExitCode,
                        s.dwServiceSpecificExitCode);
        }
        if (service.pid() != 0) {
            const ProcessTrace trace = ReadProcessTrace(service.pid(), service.traceStart());
            for (; eventsShown < trace.events.size(); ++eventsShown) {
                const TracedEvent& e = trace.events[eventsShown];
                std::printf("%6llu ms  event log   %s %s ID %u: \"%s\"\n", GetTickCount64() - t0,
                            Narrow(e.source).c_str(),
                            e.type == EVENTLOG_ERROR_TYPE     ? "Error"
                            : e.type == EVENTLOG_WARNING_TYPE ? "Warning"
                                                              : "Information",
                            e.id, e.strings.empty() ? "" : Printable(e.strings[0]).c_str());
            }
        }
        const std::string log = ReadFileBytes(installDir + L"\\" + appLog);
        while (logShown < log.size()) {
            const size_t end = log.find('\n', logShown);
            if (end == std::string::npos) break;
            std::printf("%6llu ms  app log     %s\n", GetTickCount64() - t0,
                        log.substr(logShown, end - logShown).c_str());
            logShown = end + 1;
        }
    }

    bool Stopped() const { return service.Query().dwCurrentState == SERVICE_STOPPED; }

    template <typename Condition>
    bool WatchUntil(Condition done, DWORD timeoutMs) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (GetTickCount64() < deadline) {
            Catch();
            if (done()) return true;
            Sleep(20);
        }
        return false;
    }
};

// Asks the application for its page the moment the service reports running.
void Request(Timeline& timeline, unsigned short port) {
    timeline.WatchUntil([&] { return timeline.Stopped() || timeline.lastState == SERVICE_RUNNING; },
                        60000);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string response;
    if (!LoopbackGet(port, "/", &response, 2000)) {
        // Running came before the application was ready: ask until it is.
        timeline.Say(("HTTP GET " + url + " -> no answer yet").c_str());
        timeline.WatchUntil(
            [&] { return timeline.Stopped() || LoopbackGet(port, "/", &response, 2000); }, 30000);
    }
    if (response.empty()) {
        timeline.Say(("HTTP GET " + url + " -> no answer").c_str());
        return;
    }
    std::string body = Body(response);
    if (!body.empty() && body.back() == '\n') body.pop_back();
    timeline.Say(("HTTP GET " + url + " -> " + StatusLine(response) + ": " + body).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::printf(
            "usage: demo_driver <install directory> <service name> <record file name> "
            "[--until-stopped] [--request <port>] [--app-log <file>]\n");
        return 2;
    }
    bool untilStopped = false;
    unsigned short requestPort = 0;
    std::wstring appLog = L"logs\\agent.log";
    for (int i = 4; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--until-stopped") {
            untilStopped = true;
        } else if (option == L"--request" && i + 1 < argc) {
            requestPort = static_cast<unsigned short>(_wtoi(argv[++i]));
        } else if (option == L"--app-log" && i + 1 < argc) {
            appLog = argv[++i];
        } else {
            std::printf("demo_driver: unknown option %s\n", Narrow(option).c_str());
            return 2;
        }
    }
    const std::wstring installDir = argv[1];
    const std::wstring exe = installDir + L"\\MerivastService.exe";
    ScmService service(argv[2], exe);
    if (!service.created()) {
        std::printf("CreateServiceW failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("== Service %s created for %s\n\n", Narrow(argv[2]).c_str(), Narrow(exe).c_str());
    Timeline timeline{service, installDir, appLog};
    // The application's log of an earlier life stays; only this life's lines are shown.
    timeline.logShown = ReadFileBytes(installDir + L"\\" + appLog).size();
    const DWORD error = service.Start();
    timeline.Say(error == 0 ? "StartServiceW succeeded" : "StartServiceW failed");
    if (error != 0) return 1;

    const std::wstring record = installDir + L"\\" + argv[3];
    if (requestPort != 0) {
        Request(timeline, requestPort);
    }
    if (!untilStopped) {
        // The first such line is the call of the application's entry point.
        timeline.WatchUntil(
            [&] {
                return timeline.Stopped() ||
                       ReadFileBytes(record).find("CallStaticVoidMethod") != std::string::npos;
            },
            60000);
        timeline.WatchUntil([] { return false; }, 1500);  // the application runs
        timeline.Say(service.Control(SERVICE_CONTROL_STOP) == 0 ? "ControlService(STOP) sent"
                                                                : "ControlService failed");
    }
    timeline.WatchUntil([&] { return timeline.Stopped(); }, 60000);
    service.WaitForProcessExit(30000);
    timeline.WatchUntil([] { return false; }, 200);
    std::printf("%6llu ms  service process ended with exit code %lu\n",
                GetTickCount64() - timeline.t0, service.ProcessExitCode());

    const ProcessTrace trace = ReadProcessTrace(service.pid(), service.traceStart());
    std::printf("\n== Status reports the service sent (SetServiceStatus)\n");
    for (const auto& r : trace.reports) {
        std::printf("  %-13s accepted 0x%x, win32 exit %u, service exit %u", StateName(r.state),
                    r.accepted, r.win32ExitCode, r.specificExitCode);
        if (r.state == SERVICE_STOP_PENDING || r.checkPoint != 0) {
            std::printf(", check point %u, wait hint %u ms", r.checkPoint, r.waitHint);
        }
        std::printf("\n");
    }
    for (const wchar_t* console : {L"stdout.log", L"stderr.log"}) {
        const std::string text = ReadFileBytes(installDir + L"\\logs\\" + console);
        std::printf("\n== What the Java side printed: logs\\%s\n%s", Narrow(console).c_str(),
                    text.empty() ? "  (nothing)\n" : text.c_str());
    }
    std::printf("\n== The runtime's record of the JNI calls (%s)\n", Narrow(argv[3]).c_str());
    std::printf("%s", ReadFileBytes(record).c_str());
    return 0;
}
