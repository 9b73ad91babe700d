// The hosting steps of the service's run, and the stop path into the host.
#include <new>

#include "agent/application_contract.h"
#include "jvmhost/console_files.h"
#include "jvmhost/main_args.h"
#include "jvmhost/runtime_host.h"
#include "jvmhost/runtime_words.h"
#include "service/agent_service.h"
#include "service/install_dir.h"
#include "service/process_heap.h"

#include <strsafe.h>

namespace {

// How long the tear-down waits for a stop call that raced the VM's own end:
// one that got there before the end is over at once; one that got into the
// ended runtime never returns.
constexpr DWORD kStopCallAfterVmEndWaitMs = 500;

// Every way a host fails is the service-specific code of the same value.
constexpr bool Same(HostFailure failure, ServiceExitCode code) {
    return static_cast<DWORD>(failure) == static_cast<DWORD>(code);
}
static_assert(Same(kHostNoFailure, kExitNormal) &&
                  Same(kHostRuntimeNotLoaded, kExitRuntimeNotLoaded) &&
                  Same(kHostCreateExportMissing, kExitCreateExportMissing) &&
                  Same(kHostVmRefused, kExitVmRefused) &&
                  Same(kHostEntryPointMissing, kExitEntryPointMissing) &&
                  Same(kHostJavaException, kExitJavaException) &&
                  Same(kHostApplicationNotStarted, kExitApplicationNotStarted) &&
                  Same(kHostConfigurationInvalid, kExitConfigurationInvalid),
              "a host failure is the exit code of the same value");

ServiceExitCode ExitCodeFor(HostFailure failure) {
    return static_cast<ServiceExitCode>(failure);
}

// The reactions to the runtime ending the process. They run on a runtime
// thread with the Java threads stopped, and end the service and the process
// through EndService: statusLock briefly, the dispatcher lock while a control
// handler runs, kEndByOtherWaitMs when another thread is ending the service.
void EndAfterSystemExit(int status) {
    // The host's own System.exit(0) at a stop is the stop's end: no event of
    // its own. At the start deadline the start watch has said why.
    if (status == 0 && HostAskedToExit()) {
        if (ServiceFrame::instance->StartDeadlinePassed()) {
            ServiceFrame::instance->EndService(ERROR_SERVICE_SPECIFIC_ERROR, kExitNotReadyInTime,
                                               EVENTLOG_ERROR_TYPE, nullptr);
        }
        ServiceFrame::instance->EndService(NO_ERROR, kExitNormal, EVENTLOG_INFORMATION_TYPE,
                                           nullptr);
    }
    wchar_t message[96];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"The Java application ended the process with status %d.", status);
    // Status 0 is the application's own orderly end: reported as one, with the
    // event as information so that the operator still sees how it ended.
    if (status == 0) {
        ServiceFrame::instance->EndService(NO_ERROR, kExitNormal, EVENTLOG_INFORMATION_TYPE,
                                           message);
    }
    ServiceFrame::instance->EndService(ERROR_SERVICE_SPECIFIC_ERROR, kExitJavaCalledExit,
                                       EVENTLOG_ERROR_TYPE, message);
}

// A runtime that cannot start (a heap it cannot reserve) aborts inside
// JNI_CreateJavaVM instead of returning an error: to the operator that is a
// refused VM, reported with the events and the code of one.
[[noreturn]] void EndAfterAbortedCreation() {
    ReportErrorEvent(JNI_ERR, L"CreateJavaVM ERROR");
    ReportRuntimeWords(JNI_ERR, ReportErrorEvent);
    ServiceFrame::instance->EndService(ERROR_SERVICE_SPECIFIC_ERROR, kExitVmRefused,
                                       EVENTLOG_ERROR_TYPE, nullptr);
}

void EndAfterRuntimeAbort(bool duringCreation) {
    if (duringCreation) {
        EndAfterAbortedCreation();
    }
    // The runtime's last words, when it printed any, on the lines after the first.
    static const wchar_t kFirstLine[] = L"The Java runtime aborted.\n";
    constexpr size_t kFirstLineUnits = ARRAYSIZE(kFirstLine) - 1;
    wchar_t message[kFirstLineUnits + kRuntimeLastWordsUnits];
    if (JoinRuntimeLastWords(kFirstLine, message, ARRAYSIZE(message)) == 0) {
        message[kFirstLineUnits - 1] = L'\0';
    }
    ServiceFrame::instance->EndService(ERROR_SERVICE_SPECIFIC_ERROR, kExitRuntimeAborted,
                                       EVENTLOG_ERROR_TYPE, message);
}

// The host lives on the process heap, built in place.
RuntimeHost* CreateHost(const HostSettings& settings) {
    void* memory = AllocateBytes(sizeof(RuntimeHost));
    const RuntimeEndReactions reactions = {EndAfterSystemExit, EndAfterRuntimeAbort};
    return memory != nullptr
               ? new (memory) RuntimeHost(ReportErrorEvent, ReportWarningEvent, reactions, settings)
               : nullptr;
}

void DeleteHost(RuntimeHost* host) {
    host->~RuntimeHost();
    FreeBytes(host);
}

}  // namespace

void AgentService::Run() {
    wchar_t installDir[MAX_PATH];
    if (!FindInstallDir(installDir)) {
        ReportRunning();
        // A cut path could name another folder, and load a runtime from it.
        ReportErrorEvent(0,
                         L"The path of the service's executable is longer than 259 characters, "
                         L"the most the host can use. Install the service in a folder with a "
                         L"shorter path.");
        exitCode = kExitConfigurationInvalid;
        return;
    }
    EnterDirectory(installDir);
    MainArguments arguments;
    if (!ReadConfiguration(installDir, &arguments)) {
        exitCode = kExitConfigurationInvalid;
        return;
    }
    HostJavaApplication(installDir, arguments);
}

// Nothing of a refused file is used, and nothing starts.
bool AgentService::ReadConfiguration(const wchar_t* installDir, MainArguments* arguments) {
    ConfigProblem problem;
    const bool propertiesRead = ReadServiceProperties(installDir, &properties, &problem);
    if (propertiesRead && properties.startReady == kReadyWhenMainReturned) {
        WaitForReadiness(properties.startTimeoutSeconds);
    } else {
        ReportRunning();
    }
    if (!propertiesRead || !ReadMainArguments(installDir, arguments, &problem)) {
        ReportErrorEvent(0, problem.text);
        return false;
    }
    SetStopTimeout(properties.stopTimeoutSeconds);
    return true;
}

void AgentService::HostJavaApplication(const wchar_t* installDir, const MainArguments& arguments) {
    // The Java side's console output goes to logs\stdout.log and logs\stderr.log;
    // this must happen before the runtime library loads, whose C runtime takes
    // the standard handles as it loads.
    KeepConsoleOutput(installDir, ReportErrorEvent, ReportWarningEvent);
    const HostSettings settings = {properties.mainClass, properties.javaHome,
                                   &ExpectedEntryOf(properties.mainClass)};
    RuntimeHost* host = CreateHost(settings);
    if (host == nullptr) {
        ReportErrorEvent(0, L"The JVM is not initialized.");
        exitCode = kExitApplicationNotStarted;
        return;
    }
    runtimeHost = host;
    if (host->jniEnv == nullptr) {
        host->ReportMissingVm();
    } else {
        JavaEntry entry = {};
        const ApplicationContract* contract = FindApplication(*host, arguments, &entry);
        if (contract != nullptr && properties.startReady == kReadyWhenMainReturned &&
            !contract->tellsReady) {
            RefuseReadiness(host);
        } else if (contract != nullptr) {
            // A stop that came while the VM was being created is passed on now,
            // so the application starts with its stop requested.
            stopCaller.Open(host, contract->requestStop);
            contract->run(*host, entry, arguments);
        }
    }
    CloseHost(host);
}

void AgentService::RefuseReadiness(RuntimeHost* host) {
    wchar_t message[kMainClassNameUnits + 320];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"conf\\service.properties line %u: start.ready=main-returned needs a class "
                     L"run through its main(String[]); %ls is run through its "
                     L"serviceMain(String), which returns only when the service ends.",
                     properties.startReadyLine, host->MainClassName());
    ReportErrorEvent(0, message);
    host->failure = kHostConfigurationInvalid;
}

void AgentService::OnStop() {
    stopCaller.Request();
}

void AgentService::CloseHost(RuntimeHost* host) {
    // No new stop call can start now; the ones inside the host finish first,
    // or the stop deadline ends the service with the host as it is. Once the
    // VM has ended by itself, a stop call that raced that end and reached the
    // runtime is held there for good: the service ends with the application's
    // own result, the host (and the runtime library) left as they are.
    const bool vmEnded = host->vmDestroyed;
    if (!stopCaller.Close(vmEnded ? kStopCallAfterVmEndWaitMs : StopTimeLeftMs())) {
        if (!vmEnded) {
            EndAtStopDeadline();
        }
        exitCode = ExitCodeFor(host->failure);
        return;
    }
    host->DropPendingException();
    exitCode = StartDeadlinePassed() ? kExitNotReadyInTime : ExitCodeFor(host->failure);
    DeleteHost(host);
    runtimeHost = nullptr;
}
