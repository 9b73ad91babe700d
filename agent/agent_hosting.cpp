// The hosting steps of the service's run, and the stop path into the host.
#include <new>

#include "jvmhost/console_files.h"
#include "jvmhost/runtime_host.h"
#include "jvmhost/runtime_words.h"
#include "service/agent_service.h"
#include "service/process_heap.h"

#include <strsafe.h>

namespace {

ServiceExitCode ExitCodeFor(HostFailure failure) {
    switch (failure) {
        case kHostNoFailure:
            return kExitNormal;
        case kHostRuntimeNotLoaded:
            return kExitRuntimeNotLoaded;
        case kHostCreateExportMissing:
            return kExitCreateExportMissing;
        case kHostVmRefused:
            return kExitVmRefused;
        case kHostEntryPointMissing:
            return kExitEntryPointMissing;
        case kHostJavaException:
            return kExitJavaException;
        case kHostApplicationNotStarted:
            return kExitApplicationNotStarted;
        case kHostConfigurationInvalid:
            return kExitConfigurationInvalid;
    }
    return kExitApplicationNotStarted;
}

// The reactions to the runtime ending the process. They run on a runtime
// thread with the Java threads stopped, and end the service and the process
// through EndService: statusLock briefly, at most kFinalReportWaitMs for the
// stopped report, kEndByOtherWaitMs when another thread is ending the service.
void EndAfterSystemExit(int status) {
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
RuntimeHost* CreateHost() {
    void* memory = AllocateBytes(sizeof(RuntimeHost));
    const RuntimeEndReactions reactions = {EndAfterSystemExit, EndAfterRuntimeAbort};
    return memory != nullptr ? new (memory)
                                   RuntimeHost(ReportErrorEvent, ReportWarningEvent, reactions)
                             : nullptr;
}

void DeleteHost(RuntimeHost* host) {
    host->~RuntimeHost();
    FreeBytes(host);
}

}  // namespace

void AgentService::HostJavaApplication(const wchar_t* installDir) {
    // The Java side's console output goes to logs\stdout.log and logs\stderr.log;
    // this must happen before the runtime library loads, whose C runtime takes
    // the standard handles as it loads.
    if (installDir != nullptr) {
        KeepConsoleOutput(installDir, ReportErrorEvent);
    }
    RuntimeHost* host = CreateHost();
    if (host == nullptr) {
        ReportErrorEvent(0, L"The JVM is not initialized.");
        exitCode = kExitApplicationNotStarted;
        return;
    }
    bool deliverStop = false;
    PublishHost(host, &deliverStop);
    if (deliverStop) {
        DeliverStopFromOtherThread();
    }
    host->CallServiceMain();
    CloseHost(host);
}

void AgentService::PublishHost(RuntimeHost* host, bool* deliverStop) {
    EnterCriticalSection(&hostLock);
    runtimeHost = host;
    // A stop that arrived while the VM was being created found no host; it is
    // passed on now, so the application starts with its stop requested.
    *deliverStop = stopRequested && host->javaVm != nullptr;
    if (*deliverStop && stopCallsInFlight++ == 0) {
        ResetEvent(stopCallsDone);
    }
    LeaveCriticalSection(&hostLock);
}

DWORD WINAPI AgentService::DeliverPendingStop(void* param) {
    AgentService* service = static_cast<AgentService*>(param);
    EnterCriticalSection(&service->hostLock);
    RuntimeHost* host = service->runtimeHost;
    LeaveCriticalSection(&service->hostLock);
    host->CallServiceStop();
    service->EndStopCall();
    return 0;
}

void AgentService::DeliverStopFromOtherThread() {
    // The stop call attaches and detaches its thread; on this thread, which
    // created the VM, the detach would cut it off from its own environment.
    HANDLE thread = CreateThread(nullptr, 0, DeliverPendingStop, this, 0, nullptr);
    if (thread == nullptr) {
        EndStopCall();
        return;
    }
    CloseHandle(thread);
}

RuntimeHost* AgentService::BeginStopCall() {
    EnterCriticalSection(&hostLock);
    stopRequested = true;
    RuntimeHost* host = hostClosing ? nullptr : runtimeHost;
    if (host != nullptr && stopCallsInFlight++ == 0) {
        ResetEvent(stopCallsDone);
    }
    LeaveCriticalSection(&hostLock);
    return host;
}

void AgentService::EndStopCall() {
    EnterCriticalSection(&hostLock);
    if (--stopCallsInFlight == 0) {
        SetEvent(stopCallsDone);
    }
    LeaveCriticalSection(&hostLock);
}

void AgentService::OnStop() {
    RuntimeHost* host = BeginStopCall();
    if (host == nullptr) {
        return;
    }
    host->CallServiceStop();
    EndStopCall();
}

void AgentService::CloseHost(RuntimeHost* host) {
    EnterCriticalSection(&hostLock);
    hostClosing = true;
    LeaveCriticalSection(&hostLock);
    // No new stop call can start now; the ones inside the host finish first,
    // or the stop deadline ends the service with the host as it is.
    if (WaitForSingleObject(stopCallsDone, StopTimeLeftMs()) != WAIT_OBJECT_0) {
        EndAtStopDeadline();
    }

    host->DropPendingException();
    exitCode = ExitCodeFor(host->failure);
    DeleteHost(host);

    EnterCriticalSection(&hostLock);
    runtimeHost = nullptr;
    LeaveCriticalSection(&hostLock);
}
