// Process entry. The executable has no command-line options: it only ever
// runs as the service, connected to the SCM.
//
// The entry is the host's own, without the C runtime's start-up: the host
// keeps no state of the C runtime's (no stdio, no arguments, no constructors
// that must run first), and msvcrt.dll sets itself up when it is loaded.
#include <new>

#include "agent/agent_service.h"

namespace {
// The one service object, never destroyed: other threads may still use it
// while the process ends.
alignas(AgentService) unsigned char serviceStorage[sizeof(AgentService)];
}  // namespace

extern "C" void WINAPI MerivastEntry() {
    AgentService* const service = new (serviceStorage) AgentService();
    ExitProcess(service->frame.StartDispatcher());
}
