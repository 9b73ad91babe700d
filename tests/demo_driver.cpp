// Walks one service through a whole life under the SCM and prints what an
// administrator would see: the states, the exit codes, the events, and the
// JNI calls the stand-in runtime recorded.
//
//   demo_driver <install directory> <service name>
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/install_layout.h"
#include "support/paths.h"
#include "support/scm_service.h"
#include "support/wine_trace.h"

namespace {

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

const char* TypeName(unsigned type) {
    return type == EVENTLOG_ERROR_TYPE         ? "Error"
           : type == EVENTLOG_INFORMATION_TYPE ? "Information"
                                               : "Other";
}

std::string Printable(const std::wstring& text) {
    std::string out;
    for (char c : mvt::Narrow(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::printf("usage: demo_driver <install directory> <service name>\n");
        return 2;
    }
    const std::wstring installDir = argv[1];
    const std::wstring exe = installDir + L"\\MerivastService.exe";
    mvt::InstallLayout layout(L"demo", exe, installDir);
    layout.Keep();

    mvt::ScmService service(argv[2], exe);
    if (!service.created()) {
        std::printf("CreateServiceW failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("== Service %s installed: %s\n", mvt::Narrow(argv[2]).c_str(),
                mvt::Narrow(exe).c_str());
    const ULONGLONG t0 = GetTickCount64();
    DWORD error = service.Start();
    std::printf("%6llu ms  StartServiceW -> %lu\n", GetTickCount64() - t0, error);
    if (error != 0) return 1;

    DWORD last = 0;
    auto poll = [&](ULONGLONG untilMs, DWORD stopAt) {
        while (GetTickCount64() - t0 < untilMs) {
            SERVICE_STATUS_PROCESS s = service.Query();
            if (s.dwCurrentState != last) {
                last = s.dwCurrentState;
                std::printf("%6llu ms  state %-13s win32 exit %lu, service exit %lu\n",
                            GetTickCount64() - t0, StateName(last), s.dwWin32ExitCode,
                            s.dwServiceSpecificExitCode);
            }
            if (last == stopAt) return;
            Sleep(2);
        }
    };
    poll(5000, SERVICE_RUNNING);
    if (layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain", 10000)) {
        std::printf("%6llu ms  the runtime entered serviceMain\n", GetTickCount64() - t0);
        Sleep(1500);  // the application runs
        error = service.Control(SERVICE_CONTROL_STOP);
        std::printf("%6llu ms  ControlService(STOP) -> %lu\n", GetTickCount64() - t0, error);
    }
    poll(GetTickCount64() - t0 + 20000, SERVICE_STOPPED);
    service.WaitForProcessExit(10000);
    std::printf("%6llu ms  service process ended, exit code %lu\n", GetTickCount64() - t0,
                service.ProcessExitCode());

    const mvt::ProcessTrace trace = mvt::ReadProcessTrace(service.pid(), service.traceStart());
    std::printf("\n== Status reports the service sent (SetServiceStatus)\n");
    for (const auto& r : trace.reports) {
        std::printf("  %-13s accepted 0x%x, win32 exit %u, service exit %u\n", StateName(r.state),
                    r.accepted, r.win32ExitCode, r.specificExitCode);
    }
    std::printf("\n== Event log (source, type, event ID, text)\n");
    for (const auto& e : trace.events) {
        std::printf("  %s  %-11s  ID %u  \"%s\"\n", mvt::Narrow(e.source).c_str(), TypeName(e.type),
                    e.id, e.strings.empty() ? "" : Printable(e.strings[0]).c_str());
    }
    std::printf("\n== JNI calls recorded by the runtime (seq, thread, call)\n");
    for (const auto& call : layout.JniCalls()) {
        std::printf("  %3u  %5lu  %s %s\n", call.seq, call.thread, call.event.c_str(),
                    call.details.c_str());
    }
    return 0;
}
