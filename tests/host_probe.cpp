// Runs the runtime host outside a service, from its own install directory,
// with a sink that writes every report to probe-sink.txt ("<code>\t<message>",
// line feeds written as \n). Used by the host tests to see exact sink codes.
// As the agent does, it first points standard output and error at logs\;
// at the end it writes the runtime's last words to probe-last-words.txt (UTF-8).
//
//   host_probe main        construct, find and run the application, destroy
//   host_probe main-stop   the same, with the application's stop from a second thread
//   host_probe stop        construct, serviceStop from a second thread, destroy
//   host_probe steps       the start's steps, each timed, into probe-steps.txt (for scripts/bench)
//   host_probe dumps N     with the application running, N thread prints and N deadlock
//                          checks asked of the runtime, each timed, into probe-dumps.txt
//   host_probe nothread    (32-bit) the console files with no room left for a thread's
//                          stack: a line to each standard handle, and into probe-handles.txt
//                          how many more handles the process holds than before
//                          (NtQuerySystemInformation)
#include <cstdio>
#include <iterator>
#include <string>

#include "agent/application_contract.h"
#include "agent/configuration.h"
#include "jvmhost/console_files.h"
#include "jvmhost/console_pipe.h"
#include "jvmhost/runtime_diagnostics.h"
#include "jvmhost/runtime_host.h"
#include "jvmhost/runtime_words.h"

namespace {

HANDLE sinkFile = INVALID_HANDLE_VALUE;

void WriteUtf8(HANDLE file, const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0],
                            static_cast<int>(bytes.size()), nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(length), &written, nullptr);
}

void RecordingSink(int code, const wchar_t* message) {
    std::wstring line = std::to_wstring(code) + L"\t";
    for (const wchar_t* c = message; c != nullptr && *c != L'\0'; ++c) {
        if (*c == L'\n') {
            line += L"\\n";
        } else if (*c == L'\r') {
            line += L"\\r";
        } else {
            line += *c;
        }
    }
    line += L"\n";
    WriteUtf8(sinkFile, line);
}

struct Probe {
    RuntimeHost* host = nullptr;
    const ApplicationContract* contract = nullptr;
    HANDLE found = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the application was looked for
};

// The application's stop, once it is known how to ask for it; a host
// without VM gets the service contract's stop call.
DWORD WINAPI StopThread(void* param) {
    Probe* probe = static_cast<Probe*>(param);
    WaitForSingleObject(probe->found, INFINITE);
    if (probe->contract != nullptr) {
        probe->contract->requestStop(*probe->host);
    } else {
        CallServiceStop(*probe->host);
    }
    return 0;
}

void NotReady(void* /*self*/) {}

ConsoleSettings ConsoleSettingsOf(const Configuration& configuration) {
    return {configuration.properties.consoleMaxMiB, configuration.properties.consoleKeep};
}

// What the service gives its runtime host for the configured class.
HostSettings ProbeSettings(const HostLayout& layout, const Configuration& configuration,
                           ErrorSink errors, ErrorSink warnings) {
    const wchar_t* mainClass = configuration.properties.mainClass;
    return {&layout,
            &configuration.userOptions,
            mainClass,
            &ExpectedEntryOf(mainClass),
            errors,
            warnings,
            RuntimeEndReactions{},
            true,
            nullptr,
            nullptr,
            nullptr};
}

void RunApplication(Probe* probe) {
    RuntimeHost* host = probe->host;
    static Configuration configuration;
    ApplicationRun run = {host, &configuration, {nullptr, NotReady}, {}};
    if (host->CreatingThreadEnv() == nullptr) {
        host->ReportMissingVm();
    } else {
        probe->contract = FindApplication(&run);
    }
    SetEvent(probe->found);
    if (probe->contract != nullptr) {
        probe->contract->run(run);
    }
}

double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void NoStop(RuntimeHost& /*host*/) {}

// The service's start, step by step as the service takes them, each timed:
// the layout and conf\, the "Service started" event, the console files,
// loading the runtime library, the VM's creation (the library already
// loaded), finding the application's class and entry, the stop thread.
int TimeStartSteps() {
    double marks[8];
    marks[0] = NowMs();
    static HostLayout layout;
    static Configuration configuration;
    ConfigProblem problem;
    const bool read =
        FindHostLayout(&layout) && ReadConfiguration(&layout, &configuration, &problem);
    marks[1] = NowMs();
    WriteEvent(L"MerivastBenchProbe", EVENTLOG_INFORMATION_TYPE, L"Service started");
    marks[2] = NowMs();
    KeepConsoleOutput(layout.logsDir, ConsoleSettingsOf(configuration), nullptr, nullptr);
    marks[3] = NowMs();
    wchar_t library[kPathUnits];
    RuntimeLibraryPath(layout, L"client", library);
    // As the host loads it: jre\bin the DLL folder for this load only.
    SetDllDirectoryW(layout.binDir);
    const HMODULE runtime = LoadLibraryW(library);
    SetDllDirectoryW(nullptr);
    marks[4] = NowMs();
    const HostSettings settings = ProbeSettings(layout, configuration, nullptr, nullptr);
    RuntimeHost* host = new RuntimeHost(settings);
    marks[5] = NowMs();
    ApplicationRun run = {host, &configuration, {nullptr, NotReady}, {}};
    const bool found = host->CreatingThreadEnv() != nullptr && FindApplication(&run) != nullptr;
    marks[6] = NowMs();
    static StopCaller stopCaller;
    stopCaller.Open(host, NoStop);
    marks[7] = NowMs();
    FILE* out = _wfopen((std::wstring(layout.installDir) + L"\\probe-steps.txt").c_str(), L"w");
    if (out == nullptr || !read || runtime == nullptr || !found) {
        return 1;
    }
    const char* const names[] = {"conf",   "event", "console",   "load",
                                 "create", "find",  "stopthread"};
    for (int i = 0; i < 7; ++i) std::fprintf(out, "%s %.3f\n", names[i], marks[i + 1] - marks[i]);
    std::fclose(out);
    // The VM is left as it is: the process ends here.
    return 0;
}

HostSettings dumpsSettings;

// The VM is created on the thread that runs the application, which keeps its env.
DWORD WINAPI RunApplicationThread(void* param) {
    Probe* probe = static_cast<Probe*>(param);
    probe->host = new RuntimeHost(dumpsSettings);
    RunApplication(probe);
    return 0;
}

// The questions the dump thread asks, as the dump thread asks them (a
// daemon attachment each), while the application runs: "print <ms>" and
// "watch <ms>" lines, one a question.
int TimeDumps(int count) {
    static HostLayout layout;
    static Configuration configuration;
    ConfigProblem problem;
    if (!FindHostLayout(&layout) || !ReadConfiguration(&layout, &configuration, &problem)) return 1;
    KeepConsoleOutput(layout.logsDir, ConsoleSettingsOf(configuration), nullptr, nullptr);
    dumpsSettings = ProbeSettings(layout, configuration, nullptr, nullptr);
    static Probe probe;
    CreateThread(nullptr, 0, RunApplicationThread, &probe, 0, nullptr);
    WaitForSingleObject(probe.found, INFINITE);
    Sleep(3000);  // the application's threads start
    FILE* out = _wfopen((std::wstring(layout.installDir) + L"\\probe-dumps.txt").c_str(), L"w");
    for (int i = 0; out != nullptr && i < count; ++i) {
        WideText text;
        ThreadDumpSource source;
        jlong ids[64];
        double start = NowMs();
        PrintJavaThreads(*probe.host, &text, &source);
        std::fprintf(out, "print %.3f %u\n", NowMs() - start, static_cast<unsigned>(text.length));
        start = NowMs();
        WideText names;
        FindDeadlockedJavaThreads(*probe.host, ids, 64, &names);
        std::fprintf(out, "watch %.3f\n", NowMs() - start);
    }
    return out != nullptr && std::fclose(out) == 0 ? 0 : 1;
}

// The handles this process holds, as the system lists them (SystemHandleInformation: a
// count, then 16-byte entries on 32-bit, 24 on 64-bit, each beginning with the owner's id).
size_t HandlesHeld() {
    using Query = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQuerySystemInformation")));
    static ULONG_PTR table[1 << 18];
    ULONG size = 0;
    if (query == nullptr || query(16, table, sizeof(table), &size) != 0) return 0;
    const size_t entryWords = sizeof(void*) == 4 ? 4 : 3;
    size_t held = 0;
    for (size_t i = 0; i < static_cast<ULONG>(table[0]); ++i) {
        held += static_cast<ULONG>(table[1 + i * entryWords]) == GetCurrentProcessId();
    }
    return held;
}

// No address range left for a new thread's stack, so the console's writer threads cannot
// be made: each stream writes to its file, and nothing made for a writer stays open.
int KeepWithoutThreads() {
    static HostLayout layout;
    static Configuration configuration;
    ConfigProblem problem;
    if (!FindHostLayout(&layout) || !ReadConfiguration(&layout, &configuration, &problem)) return 1;
    FILE* out = _wfopen((std::wstring(layout.installDir) + L"\\probe-handles.txt").c_str(), L"wb");
    const size_t before = HandlesHeld();
    // Counting needs memory of its own: the ranges are given back before the count after.
    static void* reserved[4096];
    size_t count = 0;
    for (SIZE_T size = SIZE_T{1} << 30; size >= 65536; size /= 2) {
        while (count < std::size(reserved) &&
               (reserved[count] = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS))) {
            ++count;
        }
    }
    KeepConsoleOutput(layout.logsDir, ConsoleSettingsOf(configuration), nullptr, nullptr);
    while (count > 0) VirtualFree(reserved[--count], 0, MEM_RELEASE);
    const size_t after = HandlesHeld();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "to the file\n", 12, &written, nullptr);
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "to the file\n", 12, &written, nullptr);
    std::fprintf(out, "%d", static_cast<int>(after - before));
    return out != nullptr && std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"main";
    if (mode == L"steps") {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(TimeStartSteps()));
    }
    if (mode == L"nothread") {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(KeepWithoutThreads()));
    }
    if (mode == L"dumps") {
        TerminateProcess(GetCurrentProcess(),
                         static_cast<UINT>(TimeDumps(argc > 2 ? _wtoi(argv[2]) : 20)));
    }
    static HostLayout layout;
    static Configuration configuration;
    FindHostLayout(&layout);
    const wchar_t* installDir = layout.installDir;
    sinkFile = CreateFileW((std::wstring(installDir) + L"\\probe-sink.txt").c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);

    ConfigProblem problem;
    const bool read = ReadConfiguration(&layout, &configuration, &problem);
    KeepConsoleOutput(layout.logsDir, ConsoleSettingsOf(configuration), RecordingSink,
                      RecordingSink);
    if (!read) {
        RecordingSink(0, problem.text);
        return 1;
    }
    const HostSettings settings =
        ProbeSettings(layout, configuration, RecordingSink, ReportWarningEvent);
    RuntimeHost* host = new RuntimeHost(settings);
    Probe probe;
    probe.host = host;
    HANDLE stopper = nullptr;
    if (mode == L"main-stop" || mode == L"stop") {
        stopper = CreateThread(nullptr, 0, StopThread, &probe, 0, nullptr);
    }
    if (mode != L"stop") {
        RunApplication(&probe);
    } else {
        SetEvent(probe.found);
    }
    if (stopper != nullptr) {
        WaitForSingleObject(stopper, INFINITE);
        CloseHandle(stopper);
    }
    delete host;
    DrainConsoleOutput(5000);
    CloseHandle(sinkFile);
    wchar_t lastWords[kRuntimeLastWordsUnits];
    const size_t length = CopyRuntimeLastWords(lastWords, kRuntimeLastWordsUnits);
    HANDLE wordsFile =
        CreateFileW((std::wstring(installDir) + L"\\probe-last-words.txt").c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    WriteUtf8(wordsFile, std::wstring(lastWords, length));
    CloseHandle(wordsFile);
    return 0;
}
