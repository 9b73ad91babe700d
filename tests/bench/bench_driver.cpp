// Benchmarks, printed as a table (nothing here is asserted):
// - StartServiceW to serviceMain entered, and the stop control to stopped,
//   medians over N runs of the host (with the stand-in runtime), of a minimal
//   host (the same runtime loaded, the VM created and serviceMain called,
//   nothing else) and of a bare service, interleaved so all see the same
//   machine load;
// - the host's start split into its steps (host_probe steps);
// - class-path building for 10, 100, 1,000 and 10,000 jars;
// - the executable's size and its imports;
// - with the bridge runtime (32-bit builds): from `sc control 255` to the thread
//   dump's file written, for an application of 200 threads on the real JVM,
//   and one thread print and one deadlock check asked of it (host_probe dumps).
//
// - with --console only: the application's console output through the host
//   against the same writes to a file handle directly, and the process's memory.
// - with --health <port> <control port> only: the health check's GET of the health test
//   application (scripts/bench starts it on the Linux side), asked in this process as the
//   host's checker asks it, and the CPU a service with the stand-in runtime spends per check
//   against one without a check, over the same seconds.
//
//   bench_driver [--runs N] [--other <another build's MerivastService.exe>] [--console]
//                [--health <port> <control port>]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/health_http.h"
#include "jvmhost/launch_options.h"
#include "jvmhost/user_options.h"
#include "support/install_layout.h"
#include "support/loopback_http.h"
#include "support/paths.h"
#include "support/scm_service.h"

namespace {

using namespace mvt;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Timings {
    std::vector<double> start;
    std::vector<double> stop;
};

// One life: StartServiceW until the "entered" event, then STOP until stopped.
bool TimeLife(ScmService& service, HANDLE entered, Timings* timings) {
    ResetEvent(entered);
    const double t0 = Now();
    if (service.Start() != 0) return false;
    if (WaitForSingleObject(entered, 10000) != WAIT_OBJECT_0) return false;
    const double t1 = Now();
    // From the request on: a handler that made the stop call itself would
    // hide it inside ControlService.
    const double t2 = Now();
    if (service.Control(SERVICE_CONTROL_STOP) != 0) return false;
    while (service.Query().dwCurrentState != SERVICE_STOPPED) {
        if (Now() - t2 > 10000) return false;
    }
    const double t3 = Now();
    service.WaitForProcessExit(10000);
    timings->start.push_back(t1 - t0);
    timings->stop.push_back(t3 - t2);
    return true;
}

// An operator's conf\jvm.options, read at every start: the shipped comments and two options.
const char kOperatorOptions[] =
    "# Heap size:\r\n#-Xms64m\r\n-Xmx512m\r\n#\r\n# Fatal error report:\r\n"
    "-XX:ErrorFile=logs\\hs_err_pid%p.log\r\n#-XX:+HeapDumpOnOutOfMemoryError\r\n"
    "#--add-opens java.base/java.lang=ALL-UNNAMED\r\n";

void PrintRow(const char* what, double host, double bare) {
    std::printf("%-50s %10.2f %10.2f %8.2f\n", what, host, bare, host / bare);
}

// The host against the minimal host: the ratio, and the host's own share in ms.
void PrintOwnShare(const char* what, double host, double minimal) {
    std::printf("%-50s %10.2f %10.2f %8.2f %10.2f\n", what, host, minimal, host / minimal,
                host - minimal);
}

// `other`, when given, is another build's MerivastService.exe, timed in the
// same runs as this build's for a before-and-after comparison.
void BenchServices(int runs, const std::wstring& other) {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, L"MerivastBenchEntered");
    InstallLayout host(L"benchhost", ServiceExecutable());
    InstallLayout before(L"benchother", other.empty() ? ServiceExecutable() : other);
    for (InstallLayout* layout : {&host, &before}) {
        layout->AddRuntime(Runtime::kStandin);
        layout->AddJar(L"app.jar");
        layout->SetScenario("signal.main=MerivastBenchEntered\nrecord=faults\n");
        layout->AddFile(L"conf\\jvm.options", kOperatorOptions);
    }
    // An ordinary program: main(String[]) with two arguments, stopped through
    // System.exit and an instant shutdown hook.
    InstallLayout program(L"benchmain", ServiceExecutable());
    program.AddRuntime(Runtime::kStandin);
    program.AddJar(L"app.jar", true, "org/example/App.class");
    program.SetScenario("entry=main\nsignal.main=MerivastBenchEntered\nrecord=faults\n");
    program.AddFile(L"conf\\jvm.options", kOperatorOptions);
    program.AddFile(L"conf\\service.properties", "main.class=org.example.App\r\n");
    program.AddFile(L"conf\\main.args", "8080\r\n--verbose\r\n");
    InstallLayout bare(L"benchbare", LinuxToWindowsPath(MVT_BARE_SERVICE));
    // The floor of a runtime host: the same runtime and application, nothing of the host's own.
    InstallLayout minimal(L"benchminimal", LinuxToWindowsPath(MVT_MINIMAL_HOST));
    minimal.AddRuntime(Runtime::kStandin);
    minimal.AddJar(L"app.jar");
    minimal.SetScenario("signal.main=MerivastBenchEntered\nrecord=faults\n");
    ScmService minimalService(UniqueName(L"MvtBenchMinimal"), minimal.executable());
    ScmService hostService(UniqueName(L"MvtBenchHost"), host.executable());
    ScmService programService(UniqueName(L"MvtBenchMain"), program.executable());
    ScmService bareService(UniqueName(L"MvtBenchBare"), bare.executable());
    ScmService otherService(UniqueName(L"MvtBenchOther"), before.executable());

    Timings hostTimes, programTimes, bareTimes, otherTimes, minimalTimes;
    // One warm-up life each, then interleaved runs.
    TimeLife(hostService, entered, &hostTimes);
    TimeLife(programService, entered, &programTimes);
    TimeLife(bareService, entered, &bareTimes);
    TimeLife(minimalService, entered, &minimalTimes);
    hostTimes = programTimes = bareTimes = minimalTimes = Timings();
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        failures += !TimeLife(hostService, entered, &hostTimes);
        failures += !TimeLife(minimalService, entered, &minimalTimes);
        failures += !TimeLife(programService, entered, &programTimes);
        failures += !TimeLife(bareService, entered, &bareTimes);
        if (!other.empty()) failures += !TimeLife(otherService, entered, &otherTimes);
    }
    const double bareStart = Median(bareTimes.start), bareStop = Median(bareTimes.stop);
    std::printf("%-50s %10s %10s %8s\n", "service life (median of runs, ms)", "host", "bare",
                "ratio");
    PrintRow("StartServiceW -> serviceMain entered", Median(hostTimes.start), bareStart);
    PrintRow("stop control -> stopped", Median(hostTimes.stop), bareStop);
    PrintRow("StartServiceW -> main(String[]) entered", Median(programTimes.start), bareStart);
    PrintRow("stop control -> stopped, through System.exit", Median(programTimes.stop), bareStop);
    if (!other.empty()) {
        PrintRow("other build: StartServiceW -> serviceMain entered", Median(otherTimes.start),
                 bareStart);
        PrintRow("other build: stop control -> stopped", Median(otherTimes.stop), bareStop);
    }
    std::printf("\n%-50s %10s %10s %8s %10s\n", "against the minimal host (median, ms)", "host",
                "minimal", "ratio", "host's own");
    PrintOwnShare("StartServiceW -> serviceMain entered", Median(hostTimes.start),
                  Median(minimalTimes.start));
    PrintOwnShare("stop control -> stopped", Median(hostTimes.stop), Median(minimalTimes.stop));
    PrintRow("minimal host: StartServiceW -> serviceMain entered", Median(minimalTimes.start),
             bareStart);
    PrintRow("minimal host: stop control -> stopped", Median(minimalTimes.stop), bareStop);
    std::printf(
        "runs: %d each (%zu host, %zu minimal, %zu main, %zu bare completed, %d failed)\n\n", runs,
        hostTimes.start.size(), minimalTimes.start.size(), programTimes.start.size(),
        bareTimes.start.size(), failures);
    CloseHandle(entered);
}

// The host's start, step by step (host_probe steps, a new process each run):
// where the host's time over the bare service goes.
void BenchStartSteps(int runs) {
    InstallLayout probe(L"benchsteps", HostProbeExecutable());
    probe.AddRuntime(Runtime::kStandin);
    probe.AddJar(L"app.jar");
    probe.SetScenario("record=faults\n");
    probe.AddFile(L"conf\\jvm.options", kOperatorOptions);
    const char* const names[] = {"conf",   "event", "console",   "load",
                                 "create", "find",  "stopthread"};
    const char* const what[] = {"layout and conf\\ read",
                                "\"Service started\" event",
                                "console files (logs\\ moved up)",
                                "runtime library loaded",
                                "VM created",
                                "class and entry found",
                                "stop thread started"};
    std::vector<double> times[7];
    for (int i = 0; i < runs; ++i) {
        if (RunProcess(L"\"" + probe.executable() + L"\" steps", 30000) != 0) continue;
        std::string text = ReadFileBytes(probe.dir() + L"\\probe-steps.txt");
        for (int step = 0; step < 7; ++step) {
            const size_t at = text.find(std::string(names[step]) + " ");
            if (at != std::string::npos) {
                times[step].push_back(std::atof(text.c_str() + at + strlen(names[step]) + 1));
            }
        }
    }
    std::printf("%-50s %10s\n", "the host's start, step by step (median, ms)", "ms");
    double total = 0;
    for (int step = 0; step < 7; ++step) {
        total += Median(times[step]);
        std::printf("%-50s %10.2f\n", what[step], Median(times[step]));
    }
    std::printf("%-50s %10.2f\n\n", "all steps", total);
}

void BenchClassPath() {
    std::printf("%-32s %10s %12s %16s\n", "class path building (median)", "ms", "us per jar",
                "listing alone ms");
    for (int jars : {10, 100, 1000, 10000}) {
        const std::wstring dir = TestRoot() + L"\\" + UniqueName(L"benchcp");
        CreateDirectoryW(dir.c_str(), nullptr);
        CreateDirectoryW((dir + L"\\lib").c_str(), nullptr);
        for (int i = 0; i < jars; ++i) {
            WriteFileBytes(dir + L"\\lib\\library-" + std::to_wstring(100000 + i) + L".jar", "");
        }
        std::vector<double> times, listing;
        const int repeats = jars >= 10000 ? 9 : 21;
        const std::wstring pattern = dir + L"\\lib\\*.jar";
        for (int r = 0; r < repeats; ++r) {
            NarrowOption option;
            const double t0 = Now();
            BuildClassPathOption((dir + L"\\lib").c_str(), &option);
            times.push_back(Now() - t0);
            // The platform's part: the same search with nothing done per match.
            const double t1 = Now();
            WIN32_FIND_DATAW match;
            HANDLE search = FindFirstFileW(pattern.c_str(), &match);
            while (search != INVALID_HANDLE_VALUE && FindNextFileW(search, &match)) {
            }
            if (search != INVALID_HANDLE_VALUE) FindClose(search);
            listing.push_back(Now() - t1);
        }
        const double median = Median(times);
        std::printf("%-32s %10.2f %12.2f %16.2f\n", (std::to_string(jars) + " jars").c_str(),
                    median, 1000 * median / jars, Median(listing));
        RemoveTree(dir);
    }
    std::printf("\n");
}

// What conf\jvm.options adds to a start: reading the shipped file (comments) with two options,
// and a file of 1,024 options, the most the host takes.
void BenchOptionsFile() {
    std::printf("%-32s %10s\n", "conf\\jvm.options reading (median)", "ms");
    std::string many;
    for (int i = 0; i < 1024; ++i) many += "-Dproperty.number." + std::to_string(i) + "=value\r\n";
    const struct {
        const char* what;
        std::string text;
    } files[] = {
        {"none", ""},
        {"shipped, two options", ReadFileBytes(LinuxToWindowsPath(MVT_SHIPPED_JVM_OPTIONS)) +
                                     "-Xmx512m\r\n--add-opens java.base/java.lang=ALL-UNNAMED\r\n"},
        {"1,024 options", many}};
    for (const auto& file : files) {
        const std::wstring dir = TestRoot() + L"\\" + UniqueName(L"benchopts");
        CreateDirectoryW(dir.c_str(), nullptr);
        CreateDirectoryW((dir + L"\\conf").c_str(), nullptr);
        if (!file.text.empty()) WriteFileBytes(dir + L"\\conf\\jvm.options", file.text);
        std::vector<double> times;
        for (int r = 0; r < 101; ++r) {
            UserOptions options;
            ConfigProblem problem;
            const double t0 = Now();
            ReadUserOptions(dir.c_str(), &options, &problem);
            times.push_back(Now() - t0);
        }
        std::printf("%-32s %10.3f\n", file.what, Median(times));
        RemoveTree(dir);
    }
    std::printf("\n");
}

#ifdef MVT_BRIDGE_JVM
// An install directory whose runtime is the bridge, running the dump tests'
// application with 200 idle threads besides its own.
void AddBridgeApplication(InstallLayout* layout) {
    layout->MakeDir(L"jre\\bin\\client");
    layout->MakeDir(L"lib");
    CopyFileW(LinuxToWindowsPath(MVT_BRIDGE_JVM).c_str(),
              (layout->dir() + L"\\jre\\bin\\client\\jvm.dll").c_str(), FALSE);
    CopyFileW(LinuxToWindowsPath(MVT_BRIDGE_JAR).c_str(),
              (layout->dir() + L"\\jre\\bin\\client\\merivast-bridge.jar").c_str(), FALSE);
    CopyFileW(LinuxToWindowsPath(MVT_DUMPS_JAR).c_str(),
              (layout->dir() + L"\\lib\\dumps.jar").c_str(), FALSE);
    layout->AddFile(L"jre\\bin\\client\\bridge.properties",
                    std::string("java=") + MVT_JAVA + "\njavaopts=-Dmerivast.test.threads=200\n");
    layout->AddFile(L"conf\\service.properties", "main.class=com.merivast.dumps.ServiceApp\n");
}

// The newest thread dump once the runtime's text is in it whole (it ends with
// the JNI reference counts); empty until then.
std::string WrittenDump(const std::wstring& dir, size_t before) {
    WIN32_FIND_DATAW found;
    std::vector<std::wstring> names;
    HANDLE search = FindFirstFileW((dir + L"\\logs\\threaddump-*.txt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::string();
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (names.size() <= before) return std::string();
    std::sort(names.begin(), names.end());
    const std::string text = ReadFileBytes(dir + L"\\logs\\" + names.back());
    return text.find("JNI global refs") != std::string::npos ? text : std::string();
}

void BenchDumpControl(int runs) {
    InstallLayout layout(L"benchdump", ServiceExecutable());
    AddBridgeApplication(&layout);
    ScmService service(L"MvtBenchDump" + std::to_wstring(GetCurrentProcessId()),
                       layout.executable());
    if (service.Start() != 0) return;
    const double begun = Now();
    while (ReadFileBytes(layout.dir() + L"\\logs\\stdout.log").find("Scene: started") ==
               std::string::npos &&
           Now() - begun < 60000) {
        Sleep(50);
    }
    std::vector<double> times;
    size_t bytes = 0;
    for (int i = 0; i < runs; ++i) {
        // A second apart: dump files are named by the second.
        Sleep(1000);
        const size_t before = times.size();
        const double t0 = Now();
        if (service.Control(255) != 0) break;
        std::string text;
        while ((text = WrittenDump(layout.dir(), before)).empty() && Now() - t0 < 30000) Sleep(1);
        if (text.empty()) break;
        times.push_back(Now() - t0);
        bytes = text.size();
    }
    service.Control(SERVICE_CONTROL_STOP);
    service.WaitForProcessExit(30000);
    std::printf("%-50s %10s\n", "thread dump, 200 threads, real JVM (median, ms)", "ms");
    std::printf("%-50s %10.1f\n", "sc control 255 to the file written", Median(times));
    std::printf("%-50s %10zu\n", "the file's size, bytes", bytes);
}

// host_probe dumps: the questions alone, through the bridge's JNI.
void BenchDumpQuestions(int runs) {
    InstallLayout probe(L"benchquestions", HostProbeExecutable());
    AddBridgeApplication(&probe);
    if (RunProcess(L"\"" + probe.executable() + L"\" dumps " + std::to_wstring(runs), 120000) !=
        0) {
        return;
    }
    std::vector<double> print;
    std::vector<double> watch;
    const std::string text = ReadFileBytes(probe.dir() + L"\\probe-dumps.txt");
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        (line.compare(0, 6, "print ") == 0 ? print : watch)
            .push_back(std::atof(line.c_str() + line.find(' ') + 1));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    std::printf("%-50s %10.1f\n", "one thread print asked of the runtime", Median(print));
    std::printf("%-50s %10.1f\n\n", "one deadlock check (the watch's cost per check)",
                Median(watch));
}
#endif

// A number after `key` in the stand-in's record line of `event` (and `where`).
double RecordedNumber(const std::vector<JniCall>& calls, const std::string& event,
                      const std::string& where, const std::string& key) {
    for (const JniCall& call : calls) {
        const size_t at = call.details.find(key);
        if (call.event == event && call.details.compare(0, where.size(), where) == 0 &&
            at != std::string::npos) {
            return std::atof(call.details.c_str() + at + key.size());
        }
    }
    return 0;
}

struct ConsoleRun {
    double hostMs;      // the application's writes to its standard output
    double directMs;    // the same writes to a file handle of its own, in the same run
    double peakMiB;     // the process's peak working set
    double privateMiB;  // its private bytes once the writes are done
};

// One service life that writes `bytes` to its standard output in writes of
// `lineBytes`, first to a file handle of its own, then to standard output.
ConsoleRun TimeConsoleOutput(unsigned long long bytes, unsigned lineBytes, const char* properties) {
    InstallLayout layout(L"benchconsole", ServiceExecutable());
    layout.AddRuntime(Runtime::kStandin);
    layout.AddJar(L"app.jar");
    layout.AddFile(L"conf\\service.properties", properties);
    layout.SetScenario("main=return\nprint.direct=1\nline.bytes=" + std::to_string(lineBytes) +
                       "\nout.lines=" + std::to_string(bytes / lineBytes) + "\n");
    ScmService service(UniqueName(L"MvtBenchConsole"), layout.executable());
    if (service.Start() != 0 || !service.WaitForProcessExit(30 * 60 * 1000)) return {};
    const std::vector<JniCall> calls = layout.JniCalls();
    constexpr double kMiB = 1024.0 * 1024.0;
    return {RecordedNumber(calls, "PRINT", "stdout", "us=") / 1000,
            RecordedNumber(calls, "PRINT", "direct", "us=") / 1000,
            RecordedNumber(calls, "MEMORY", "", "peak_working_set=") / kMiB,
            RecordedNumber(calls, "MEMORY", "", "private=") / kMiB};
}

// The application's console output through the host (the default size limit:
// a pipe and the host's writer thread) and with console.max-size=0 (the file
// itself), each against the same writes to a file handle directly.
void BenchConsoleOutput(int runs) {
    std::printf("%-44s %9s %9s %6s %9s %9s\n", "console output (median of runs)", "stdout ms",
                "file ms", "ratio", "peak MiB", "priv MiB");
    const struct {
        const char* what;
        unsigned long long bytes;
        unsigned lineBytes;
        const char* properties;
    } cases[] = {
        {"1 GiB, 64 KiB writes, through the host", 1ull << 30, 65536, ""},
        {"1 GiB, 64 KiB writes, console.max-size=0", 1ull << 30, 65536, "console.max-size=0\n"},
        {"64 MiB, 8 KiB writes, through the host", 64ull << 20, 8192, ""},
        {"64 MiB, 8 KiB writes, console.max-size=0", 64ull << 20, 8192, "console.max-size=0\n"},
        {"8 MiB, 100-byte lines, through the host", 8ull << 20, 100, ""},
        {"8 MiB, 100-byte lines, console.max-size=0", 8ull << 20, 100, "console.max-size=0\n"},
    };
    for (const auto& c : cases) {
        std::vector<double> host, direct, ratio, peak, priv;
        for (int i = 0; i < runs; ++i) {
            const ConsoleRun run = TimeConsoleOutput(c.bytes, c.lineBytes, c.properties);
            if (run.directMs <= 0) continue;
            host.push_back(run.hostMs);
            direct.push_back(run.directMs);
            ratio.push_back(run.hostMs / run.directMs);
            peak.push_back(run.peakMiB);
            priv.push_back(run.privateMiB);
        }
        std::printf("%-44s %9.1f %9.1f %6.2f %9.1f %9.1f\n", c.what, Median(host), Median(direct),
                    Median(ratio), Median(peak), Median(priv));
    }
    std::printf("\n");
}

// The user and kernel time of a Linux process, from its /proc folder through
// drive Z:, in ms (10 ms ticks); -1 when it could not be read. Wine's
// GetProcessTimes gives nothing for another process, and ticks too coarse
// to trust for its own.
double CpuMsOf(const std::wstring& procDir) {
    // After the name in parentheses: state, then 10 fields, then utime and stime in ticks.
    const std::string stat = ReadFileBytes(procDir + L"\\stat");
    const char* at = std::strrchr(stat.c_str(), ')');
    for (int field = 0; at != nullptr && field < 12; ++field) at = std::strchr(at + 1, ' ');
    if (at == nullptr) return -1;
    char* end = nullptr;
    const double user = std::strtod(at + 1, &end);
    return (user + std::strtod(end, nullptr)) * 1000.0 / 100;
}

// The same for the Linux process that runs `executable` (its command line,
// as ps shows it, begins with the path).
double LinuxCpuMs(const std::wstring& executable) {
    const std::string wanted = Narrow(executable);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    double ms = -1;
    do {
        const std::wstring dir = std::wstring(L"Z:\\proc\\") + found.cFileName;
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9' ||
            ReadFileBytes(dir + L"\\cmdline").compare(0, wanted.size(), wanted) != 0) {
            continue;
        }
        ms = CpuMsOf(dir);
    } while (ms < 0 && FindNextFileW(search, &found));
    FindClose(search);
    return ms;
}

// How often the application was asked for /health so far; -1 when it did not say.
long AskedSoFar(unsigned short control) {
    std::string response;
    return LoopbackGet(control, "/count", &response) ? std::atol(Body(response).c_str()) : -1;
}

void BenchHealthInProcess(int runs, const std::wstring& url) {
    HealthUrl parsed = {};
    if (!ParseHealthUrl(url.c_str(), url.size(), &parsed)) return;
    HttpClient client;
    const double t0 = Now();
    const HttpAnswer first = client.Get(parsed, 5000);
    const double firstMs = Now() - t0;
    std::vector<double> walls;
    int passed = 0;
    const double cpu0 = CpuMsOf(L"Z:\\proc\\self");
    for (int i = 0; i < runs; ++i) {
        const double t = Now();
        passed += client.Get(parsed, 5000).status == 200;
        walls.push_back(Now() - t);
    }
    const double cpu = (CpuMsOf(L"Z:\\proc\\self") - cpu0) / runs;
    std::printf("%-56s %10s\n", "health check: GET of the health test application", "ms");
    std::printf("%-56s %10.2f\n", "first check (winhttp.dll loaded, session opened)", firstMs);
    std::printf("%-56s %10.2f\n", "one check, median (wall)", Median(walls));
    std::printf("%-56s %10.2f\n", "one check, CPU of the asking process (mean)", cpu);
    std::printf("checks: %d, %d answered 200 (first: HTTP %lu)\n\n", runs, passed,
                static_cast<unsigned long>(first.status));
}

// Two services with the stand-in runtime side by side over the same seconds,
// one checking every second, one without a check: the CPU the first spends
// more, per check the application saw.
void BenchHealthThroughHost(int seconds, const std::wstring& url, unsigned short control) {
    InstallLayout checking(L"benchhealth", ServiceExecutable());
    InstallLayout plain(L"benchnohealth", ServiceExecutable());
    for (InstallLayout* layout : {&checking, &plain}) {
        layout->AddRuntime(Runtime::kStandin);
        layout->AddJar(L"app.jar");
        layout->SetScenario("record=faults\n");
    }
    checking.AddFile(L"conf\\service.properties",
                     "health.interval=1\r\nhealth.url=" + Narrow(url) + "\r\n");
    ScmService checkingService(UniqueName(L"MvtBenchHealth"), checking.executable());
    ScmService plainService(UniqueName(L"MvtBenchNoHealth"), plain.executable());
    if (checkingService.Start() != 0 || plainService.Start() != 0) return;
    // The first checks and the starts' own work out of the window.
    Sleep(3000);
    const long asked0 = AskedSoFar(control);
    const double checkerCpu0 = LinuxCpuMs(checking.executable());
    const double idleCpu0 = LinuxCpuMs(plain.executable());
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double checkerCpu = LinuxCpuMs(checking.executable()) - checkerCpu0;
    const double idleCpu = LinuxCpuMs(plain.executable()) - idleCpu0;
    const long asked = AskedSoFar(control) - asked0;
    checkingService.Control(SERVICE_CONTROL_STOP);
    plainService.Control(SERVICE_CONTROL_STOP);
    checkingService.WaitForProcessExit(30000);
    plainService.WaitForProcessExit(30000);
    std::printf("%-56s %10s\n", "health check through the host, health.interval=1", "ms");
    std::printf("%-56s %10.1f\n", "service with the check: CPU over the window", checkerCpu);
    std::printf("%-56s %10.1f\n", "service without: CPU over the same window", idleCpu);
    std::printf("%-56s %10.2f\n", "the host's CPU per check",
                asked > 0 ? (checkerCpu - idleCpu) / asked : 0.0);
    std::printf("window: %d s, %ld checks (CPU in 10 ms ticks of the Linux processes)\n\n", seconds,
                asked);
}

void ShowExecutable() {
    const std::wstring path = ServiceExecutable();
    const std::string bytes = ReadFileBytes(path);
    std::printf("executable: %zu bytes (%.1f KiB)\n", bytes.size(), bytes.size() / 1024.0);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto offset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return 0;
    };
    const auto& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::printf("imports:");
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
             bytes.data() + offset(entry.VirtualAddress));
         import->Name != 0; ++import) {
        std::printf(" %s", bytes.data() + offset(import->Name));
    }
    std::printf("\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int runs = 50;
    std::wstring other;
    bool console = false;
    std::wstring healthPort, controlPort;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--console") console = true;
        if (option == L"--health" && i + 2 < argc) {
            healthPort = argv[++i];
            controlPort = argv[++i];
        }
        if (option == L"--runs" && i + 1 < argc) runs = _wtoi(argv[++i]);
        if (option == L"--other" && i + 1 < argc) other = argv[++i];
    }
    if (console) {
        BenchConsoleOutput(runs);
        return 0;
    }
    if (!healthPort.empty()) {
        const std::wstring url = L"http://127.0.0.1:" + healthPort + L"/health";
        BenchHealthInProcess(runs < 500 ? 500 : runs, url);
        BenchHealthThroughHost(runs < 30 ? 30 : runs, url,
                               static_cast<unsigned short>(_wtoi(controlPort.c_str())));
        return 0;
    }
    BenchServices(runs, other);
    BenchStartSteps(runs);
    BenchClassPath();
    BenchOptionsFile();
#ifdef MVT_BRIDGE_JVM
    BenchDumpControl(runs < 20 ? runs : 20);
    BenchDumpQuestions(runs < 50 ? runs : 50);
#endif
    ShowExecutable();
    return 0;
}
