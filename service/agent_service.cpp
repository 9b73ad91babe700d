#include "service/agent_service.h"

#include "service/event_log.h"
#include "service/install_dir.h"
#include "service/service_properties.h"

AgentService::AgentService()
    : exitCode(kExitNormal),
      hostLock(),
      runtimeHost(nullptr),
      stopRequested(false),
      hostClosing(false),
      stopCallsInFlight(0),
      stopCallsDone(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
    InitializeCriticalSection(&hostLock);
}

AgentService::~AgentService() {
    if (stopCallsDone != nullptr) {
        CloseHandle(stopCallsDone);
    }
    DeleteCriticalSection(&hostLock);
}

void AgentService::Run() {
    wchar_t installDir[MAX_PATH];
    const bool found = FindInstallDir(installDir);
    if (found) {
        SetCurrentDirectoryW(installDir);
        if (!ApplyServiceProperties(installDir)) {
            exitCode = kExitConfigurationInvalid;
            return;
        }
    }
    // An install directory whose path does not fit is reported by the host.
    HostJavaApplication(found ? installDir : nullptr);
}

bool AgentService::ApplyServiceProperties(const wchar_t* installDir) {
    ServiceProperties properties;
    ConfigProblem problem;
    if (!ReadServiceProperties(installDir, &properties, &problem)) {
        ReportErrorEvent(0, problem.text);
        return false;
    }
    SetStopTimeout(properties.stopTimeoutSeconds);
    return true;
}
