// Repeats whole service lives under the SCM and counts how they ended.
//
//   stress_driver [--cycles N] [--per-phase M] [--bursts B]
//
// Phases: N plain start/stop cycles; M stops placed at random moments of VM
// creation, of serviceMain and of the tear-down; B bursts of 20 mixed stop,
// interrogate and user-defined controls. Prints a table; exits 1 unless every
// life ended stopped with the expected exit codes, with no stop-pending after
// stopped, every stop-pending with a rising check point, no crash and no
// fault recorded by the stand-in runtime.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/install_layout.h"
#include "support/paths.h"
#include "support/scm_service.h"
#include "support/wine_trace.h"

namespace {

using namespace mvt;

struct PhaseResult {
    const char* name = "";
    int lives = 0;
    int stoppedClean = 0;  // stopped, with 0/0
    int badExit = 0;
    int crashed = 0;  // the process died or never ended
    std::vector<DWORD> pids;
};

struct Driver {
    InstallLayout layout{L"stress", ServiceExecutable()};
    ScmService service{UniqueName(L"MvtStress"), layout.executable()};

    Driver() {
        layout.AddRuntime(Runtime::kStandin);
        layout.AddJar(L"app.jar");
    }

    // One life: start, `act` while it runs, then wait for the end.
    template <typename Act>
    void Life(PhaseResult* result, const std::string& scenario, Act act) {
        layout.SetScenario(scenario);
        ++result->lives;
        if (service.Start() != 0) {
            ++result->crashed;
            return;
        }
        result->pids.push_back(service.pid());
        act();
        if (!service.WaitForProcessExit(20000)) {
            ++result->crashed;
            return;
        }
        const DWORD code = service.ProcessExitCode();
        const SERVICE_STATUS_PROCESS status = service.Query();
        if (code != 0 && code != ERROR_SERVICE_SPECIFIC_ERROR &&
            code != ScmService::kExitCodeUnknown) {
            ++result->crashed;
        } else if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode == 0 &&
                   status.dwServiceSpecificExitCode == 0) {
            ++result->stoppedClean;
        } else {
            ++result->badExit;
        }
    }

    void WaitRunning() { service.WaitForState(SERVICE_RUNNING, 10000); }
    void Stop() { service.Control(SERVICE_CONTROL_STOP); }
};

int Random(int below) {
    return below > 0 ? rand() % below : 0;
}

struct ReportFaults {
    int pendingAfterStopped = 0;
    int progressNotRising = 0;  // a stop-pending report whose check point did not rise
};

// Per life, split at each start-pending: stop-pending after stopped, and
// stop-pending reports (repeated once a second while a stop takes its time,
// and once per stop control) whose check point does not rise.
ReportFaults CountReportFaults(const std::vector<PhaseResult>& phases) {
    std::map<DWORD, ProcessTrace> traces = ReadAllProcessTraces();
    ReportFaults faults;
    std::map<DWORD, bool> seen;
    for (const auto& phase : phases) {
        for (DWORD pid : phase.pids) {
            if (seen[pid]) continue;
            seen[pid] = true;
            bool stopped = false;
            unsigned checkPoint = 0;
            for (const auto& report : traces[pid].reports) {
                if (report.state == SERVICE_START_PENDING) {
                    stopped = false;
                    checkPoint = 0;
                } else if (stopped) {
                    ++faults.pendingAfterStopped;
                } else if (report.state == SERVICE_STOPPED) {
                    stopped = true;
                } else if (report.state == SERVICE_STOP_PENDING) {
                    if (report.checkPoint <= checkPoint) ++faults.progressNotRising;
                    checkPoint = report.checkPoint;
                }
            }
        }
    }
    return faults;
}

int CountFaults(const InstallLayout& layout) {
    int faults = 0;
    for (const auto& call : layout.JniCalls()) {
        if (call.event == "FAULT") {
            if (faults < 5) std::printf("  fault: %s\n", call.details.c_str());
            ++faults;
        }
    }
    return faults;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int cycles = 1000, perPhase = 100, bursts = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        const int value = _wtoi(argv[i + 1]);
        if (option == L"--cycles")
            cycles = value;
        else if (option == L"--per-phase")
            perPhase = value;
        else if (option == L"--bursts")
            bursts = value;
    }
    srand(GetTickCount());
    Driver driver;
    if (!driver.service.created()) {
        std::printf("stress: could not create the service (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<PhaseResult> phases(5);
    const ULONGLONG t0 = GetTickCount64();

    phases[0].name = "start/stop cycles";
    for (int i = 0; i < cycles; ++i) {
        driver.Life(&phases[0], "", [&] {
            driver.WaitRunning();
            driver.Stop();
        });
    }
    phases[1].name = "stop in VM creation";
    for (int i = 0; i < perPhase; ++i) {
        driver.Life(&phases[1], "pause.create=40\n", [&] {
            driver.WaitRunning();
            Sleep(static_cast<DWORD>(Random(40)));
            driver.Stop();
        });
    }
    phases[2].name = "stop in serviceMain";
    for (int i = 0; i < perPhase; ++i) {
        driver.Life(&phases[2], "main=return\npause.main=40\n", [&] {
            driver.WaitRunning();
            Sleep(static_cast<DWORD>(Random(50)));
            driver.Stop();
        });
    }
    phases[3].name = "stop in tear-down";
    for (int i = 0; i < perPhase; ++i) {
        driver.Life(&phases[3], "main=return\npause.destroy=40\n", [&] {
            driver.WaitRunning();
            Sleep(static_cast<DWORD>(Random(50)));
            driver.Stop();
        });
    }
    phases[4].name = "bursts of 20 controls";
    for (int i = 0; i < bursts; ++i) {
        driver.Life(&phases[4], "", [&] {
            driver.WaitRunning();
            for (int c = 0; c < 20; ++c) {
                const int pick = Random(3);
                driver.service.Control(pick == 0   ? SERVICE_CONTROL_STOP
                                       : pick == 1 ? SERVICE_CONTROL_INTERROGATE
                                                   : static_cast<DWORD>(128 + Random(128)));
            }
            driver.Stop();
        });
    }

    const ReportFaults reportFaults = CountReportFaults(phases);
    const int faults = CountFaults(driver.layout);
    std::printf("\n%-24s %7s %14s %9s %8s\n", "phase", "lives", "stopped 0/0", "bad exit",
                "crashes");
    int lives = 0, clean = 0;
    for (const auto& phase : phases) {
        std::printf("%-24s %7d %14d %9d %8d\n", phase.name, phase.lives, phase.stoppedClean,
                    phase.badExit, phase.crashed);
        lives += phase.lives;
        clean += phase.stoppedClean;
    }
    std::printf("%-24s %7d %14d\n", "total", lives, clean);
    std::printf("stop-pending after stopped: %d\n", reportFaults.pendingAfterStopped);
    std::printf("stop-pending without a rising check point: %d\n", reportFaults.progressNotRising);
    std::printf("runtime faults (destroyed VM, detached env, unload in use): %d\n", faults);
    std::printf("took %.1f s\n", (GetTickCount64() - t0) / 1000.0);
    const bool ok = clean == lives && reportFaults.pendingAfterStopped == 0 &&
                    reportFaults.progressNotRising == 0 && faults == 0;
    std::printf("%s\n", ok ? "stress: all lives clean" : "stress: FAILED");
    return ok ? 0 : 1;
}
