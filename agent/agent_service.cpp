// The hosting steps of the service's run, and the stop path into the host.
#include "agent/agent_service.h"

#include <new>

#include <strsafe.h>

#include "agent/application_contract.h"
#include "base/paths.h"
#include "base/process_heap.h"
#include "jvmhost/console_files.h"
#include "jvmhost/console_pipe.h"
#include "jvmhost/runtime_host.h"
#include "jvmhost/runtime_words.h"

namespace {

// The longest the end of the service waits for the console output still in
// a pipe to reach its files: much more than writing a pipe's worth takes,
// and within the last report's wait hint, so only a disk that hangs meets it.
constexpr DWORD kConsoleDrainMs = 1000;

// How long the tear-down waits for a stop call that raced the VM's own end:
// one that got there before the end is over at once; one that got into the
// ended runtime never returns.
constexpr DWORD kStopCallAfterVmEndWaitMs = 500;

const wchar_t kStopDeadlineText[] =
    L"The Java application did not end within %lu s of the stop request; the service ends it.";
const wchar_t kStartDeadlineText[] =
    L"The Java application was not ready within %lu s of the start; the service ends it.";

// The one service of the process, for the runtime's end reactions, which the
// runtime calls without a context; set by the service's constructor.
AgentService* theService = nullptr;  // weak

// Ends the service and the process with `outcome`, from a runtime thread.
[[noreturn]] void EndWith(Outcome outcome, WORD eventType, const wchar_t* message) {
    theService->frame.EndProcessFromAnyThread(SpecificExitCode(outcome), eventType, message);
}

// The reactions to the runtime ending the process. They run on a runtime
// thread with the Java threads stopped, and end the service and the process
// through the frame: its status lock briefly, the dispatcher lock while a
// control handler runs, kEndByOtherWaitMs when another thread is ending it.
void EndAfterSystemExit(int status) {
    // The host's own System.exit(0) at a stop is the stop's end: no event of
    // its own. At the start deadline the watch has said why.
    if (status == 0 && HostAskedToExit()) {
        EndWith(theService->DecideOutcome(Outcome::kNormal), EVENTLOG_INFORMATION_TYPE, nullptr);
    }
    wchar_t message[kMainClassNameUnits + MAX_PATH + 160];
    const wchar_t* checked = MainBeingChecked();
    if (checked != nullptr) {
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The Java runtime refused to run %ls (status %d); it says why in "
                         L"logs\\stderr.log.",
                         checked, status);
        EndWith(Outcome::kEntryPointMissing, EVENTLOG_ERROR_TYPE, message);
    }
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"The Java application ended the process with status %d.", status);
    // Status 0 is the application's own orderly end: reported as one, with the
    // event as information so that the operator still sees how it ended.
    if (status == 0) {
        EndWith(Outcome::kNormal, EVENTLOG_INFORMATION_TYPE, message);
    }
    EndWith(Outcome::kJavaCalledExit, EVENTLOG_ERROR_TYPE, message);
}

void EndAfterRuntimeAbort(bool duringCreation) {
    if (duringCreation) {
        // A runtime that cannot start (a heap it cannot reserve) aborts inside
        // JNI_CreateJavaVM instead of returning an error: to the operator that
        // is a refused VM, reported with the events and the code of one.
        ReportErrorEvent(JNI_ERR, L"CreateJavaVM ERROR");
        ReportRuntimeWords(JNI_ERR, ReportErrorEvent);
        EndWith(Outcome::kVmRefused, EVENTLOG_ERROR_TYPE, nullptr);
    }
    // The runtime's last words, when it printed any, on the lines after the first.
    static const wchar_t kFirstLine[] = L"The Java runtime aborted.\n";
    constexpr size_t kFirstLineUnits = ARRAYSIZE(kFirstLine) - 1;
    wchar_t message[kFirstLineUnits + kRuntimeLastWordsUnits];
    if (JoinRuntimeLastWords(kFirstLine, message, ARRAYSIZE(message)) == 0) {
        message[kFirstLineUnits - 1] = L'\0';
    }
    // The runtime has written its crash file by now.
    RestrictCrashFiles(theService->layout.logsDir);
    EndWith(Outcome::kRuntimeAborted, EVENTLOG_ERROR_TYPE, message);
}

// The logging options configure log4j 1.2 through commons-logging, which the
// default class uses; an application named by main.class or main.jar gets
// them only with a conf\log4j.properties: an application that uses
// commons-logging without log4j would fail at its first log call.
bool PassesLoggingOptions(const HostLayout& layout, const ServiceProperties& properties) {
    wchar_t log4j[kPathUnits];
    return (properties.mainClassLine == 0 && properties.mainJar[0] == L'\0') ||
           (JoinPath(log4j, layout.confDir, L"log4j.properties") && IsFile(log4j));
}

// The host lives on the process heap, built in place. As the java launcher,
// it names a class or jar the operator gave to monitoring tools.
RuntimeHost* CreateHost(const HostLayout& layout, const Configuration& configuration) {
    const ServiceProperties& properties = configuration.properties;
    const wchar_t* mainClass = properties.mainClass;
    const wchar_t* jar = properties.mainJar[0] != L'\0' ? properties.mainJar : nullptr;
    const wchar_t* named = jar != nullptr                  ? jar
                           : properties.mainClassLine != 0 ? mainClass
                                                           : nullptr;
    const HostSettings settings = {&layout,
                                   &configuration.userOptions,
                                   mainClass,
                                   &ExpectedEntryOf(mainClass),
                                   ReportErrorEvent,
                                   ReportWarningEvent,
                                   {EndAfterSystemExit, EndAfterRuntimeAbort},
                                   PassesLoggingOptions(layout, properties),
                                   jar,
                                   named,
                                   &configuration.arguments};
    void* memory = AllocateBytes(sizeof(RuntimeHost));
    return memory != nullptr ? new (memory) RuntimeHost(settings) : nullptr;
}

void DeleteHost(RuntimeHost* host) {
    host->~RuntimeHost();
    FreeBytes(host);
}

}  // namespace

AgentService::AgentService()
    : frame(ServiceBody{
          this,
          [](void* self) { return SpecificExitCode(static_cast<AgentService*>(self)->Run()); },
          [](void* self) { static_cast<AgentService*>(self)->RequestStop(); },
          [](void* self, DWORD control) {
              return static_cast<AgentService*>(self)->dumpThread.Request(control);
          },
          [](void* self, wchar_t (&file)[kBodyFileUnits], DWORD waitMs) {
              static_cast<AgentService*>(self)->dumpThread.DumpAtDeadline(file, waitMs);
          }}),
      layout(),
      configuration() {
    theService = this;
    frame.flushOutput = [] { DrainConsoleOutput(kConsoleDrainMs); };
    frame.SetStopDeadline(kDefaultStopTimeoutSeconds,
                          SpecificExitCode(Outcome::kStopDeadlinePassed), kStopDeadlineText);
}

Outcome AgentService::Run() {
    if (!FindHostLayout(&layout)) {
        frame.ReportRunning();
        // A cut path could name another folder, and load a runtime from it.
        ReportErrorEvent(0,
                         L"The path of the service's executable is longer than 259 characters, "
                         L"the most the host can use. Install the service in a folder with a "
                         L"shorter path.");
        return Outcome::kConfigurationInvalid;
    }
    EnterDirectory(layout.installDir);
    if (!ReadConfigurationAndReport()) {
        return Outcome::kConfigurationInvalid;
    }
    return HostJavaApplication();
}

// The start is reported as soon as conf\service.properties says how: running
// at once, or start-pending until the application is ready. Nothing of a
// refused file is used, and nothing starts.
bool AgentService::ReadConfigurationAndReport() {
    ConfigProblem problem;
    const bool read = ReadConfiguration(&layout, &configuration, &problem);
    const ServiceProperties& properties = configuration.properties;
    if (properties.startReady != kReadyAtOnce) {
        frame.WaitForReadiness(properties.startTimeoutSeconds,
                               SpecificExitCode(Outcome::kNotReadyInTime), kStartDeadlineText);
    } else {
        frame.ReportRunning();
    }
    if (!read) {
        ReportErrorEvent(0, problem.text);
        return false;
    }
    frame.SetStopDeadline(properties.stopTimeoutSeconds,
                          SpecificExitCode(Outcome::kStopDeadlinePassed), kStopDeadlineText);
    // At each start: after a JDK update, the operator sees which runtime runs.
    if (configuration.runtime.asked) {
        wchar_t text[kChoiceTextUnits];
        DescribeRuntimeChoice(configuration.runtime, properties.javaHome, properties.javaVersion,
                              text);
        ReportInformationEvent(0, text);
    }
    return true;
}

Outcome AgentService::HostJavaApplication() {
    // Before the runtime loads: the VM copies the environment as it starts.
    ConfigProblem problem;
    if (!ApplyEnvironment(configuration.environment, &problem)) {
        ReportErrorEvent(0, problem.text);
        return Outcome::kConfigurationInvalid;
    }
    // The Java side's console output goes to logs\stdout.log and logs\stderr.log;
    // this must happen before the runtime library loads, whose C runtime takes
    // the standard handles as it loads.
    const ConsoleSettings console = {configuration.properties.consoleMaxMiB,
                                     configuration.properties.consoleKeep};
    KeepConsoleOutput(layout.logsDir, console, ReportErrorEvent, ReportWarningEvent);
    MakeOutOfMemoryFolder(layout.logsDir);
    RuntimeHost* host = CreateHost(layout, configuration);
    if (host == nullptr) {
        ReportErrorEvent(0, L"The JVM is not initialized.");
        return Outcome::kApplicationNotStarted;
    }
    return CloseHost(host, RunOnHost(*host));
}

Outcome AgentService::RunOnHost(RuntimeHost& host) {
    if (host.CreatingThreadEnv() == nullptr) {
        host.ReportMissingVm();
        return host.StartOutcome();
    }
    ApplicationRun run = {
        &host,
        &configuration,
        {this, [](void* self) { static_cast<AgentService*>(self)->ApplicationReady(); }},
        {}};
    const ApplicationContract* contract = FindApplication(&run);
    if (contract == nullptr) {
        return Outcome::kEntryPointMissing;
    }
    const ServiceProperties& properties = configuration.properties;
    if (properties.startReady == kReadyWhenMainReturned && !contract->tellsReady) {
        return RefuseWithServiceContract(host, properties.startReadyLine,
                                         L"start.ready=main-returned",
                                         L"which returns only when the service ends");
    }
    if (properties.stopMethodLine != 0 && !contract->tellsReady) {
        return RefuseWithServiceContract(host, properties.stopMethodLine, L"stop.method",
                                         L"which serviceStop() ends");
    }
    // A stop that came while the VM was being created is passed on now, so
    // the application starts with its stop requested.
    stopCaller.Open(&host, contract->requestStop);
    dumpThread.Open(&host, &layout, configuration.properties, &frame);
    healthWatch.Open(&host, properties, &frame, &dumpThread);
    if (properties.startReady != kReadyWhenMainReturned) {
        healthWatch.Start(properties.startReady == kReadyWhenHealthy);
    }
    return contract->run(run);
}

// main has returned: ready, and the health checks begin, unless the health
// check itself says when the application is ready.
void AgentService::ApplicationReady() {
    if (configuration.properties.startReady != kReadyWhenHealthy) {
        frame.ReportRunning();
        healthWatch.Start(false);
    }
}

// A setting of main(String[]) programs with a class run through the service contract.
Outcome AgentService::RefuseWithServiceContract(const RuntimeHost& host, unsigned line,
                                                const wchar_t* setting, const wchar_t* why) {
    wchar_t message[kMainClassNameUnits + 320];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"conf\\service.properties line %u: %ls needs a class run through its "
                     L"main(String[]); %ls is run through its serviceMain(String), %ls.",
                     line, setting, host.MainClassName(), why);
    ReportErrorEvent(0, message);
    return Outcome::kConfigurationInvalid;
}

void AgentService::RequestStop() {
    // First: what the application answers while it stops is no failure.
    healthWatch.Halt();
    stopCaller.Request();
}

Outcome AgentService::DecideOutcome(Outcome applicationOutcome) {
    const DWORD passed = frame.PassedStartDeadline();
    return passed != 0 ? static_cast<Outcome>(passed) : applicationOutcome;
}

// No new stop call can start now; the ones inside the host finish first, or
// the stop deadline ends the service with the host as it is. Once the VM has
// ended by itself, a stop call that raced that end and reached the runtime is
// held there for good: the service ends with the application's own result,
// the host (and the runtime library) left as they are.
Outcome AgentService::CloseHost(RuntimeHost* host, Outcome outcome) {
    const bool vmEnded = host->VmEnded();
    if (!stopCaller.Close(vmEnded ? kStopCallAfterVmEndWaitMs : frame.StopTimeLeftMs())) {
        if (!vmEnded) {
            // With a thread dump: the dump thread is still open for the deadline.
            frame.EndAtStopDeadline();
        }
        dumpThread.Close(0);
        healthWatch.Close(0);
        return DecideOutcome(outcome);
    }
    if (host->EndCreatingThreadUse() && outcome == Outcome::kNormal) {
        outcome = Outcome::kJavaException;
    }
    // The checks end before the VM. The dump thread and a health method that
    // hangs ask as daemon threads, which the VM's end does not wait for; a
    // dump of the stop deadline can still be made meanwhile. One that the
    // VM's end caught stays inside the runtime for good.
    const bool checksEnded = healthWatch.Close(kStopCallAfterVmEndWaitMs);
    host->DestroyVm();
    if (!dumpThread.Close(kStopCallAfterVmEndWaitMs) || !checksEnded) {
        return DecideOutcome(outcome);
    }
    DeleteHost(host);
    return DecideOutcome(outcome);
}
