// Process entry. The executable has no command-line options: it only ever
// runs as the service, connected to the SCM.
#include <new>

#include "agent/agent_service.h"

namespace {
// The one service object, constructed before the process entry runs and
// never destroyed: other threads may still use it while the process ends.
alignas(AgentService) unsigned char serviceStorage[sizeof(AgentService)];
AgentService* const theService = new (serviceStorage) AgentService();
}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*showCommand*/) {
    return static_cast<int>(theService->frame.StartDispatcher());
}
