#include "service/agent_service.h"

#include "service/install_dir.h"

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
    MakeInstallDirWorkingDir();
    HostJavaApplication();
}

void AgentService::MakeInstallDirWorkingDir() {
    wchar_t installDir[MAX_PATH];
    if (FindInstallDir(installDir)) {
        SetCurrentDirectoryW(installDir);
    }
}
