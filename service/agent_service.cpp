#include "service/agent_service.h"

AgentService::AgentService()
    : exitCode(kExitNormal), properties(), stopCaller(), runtimeHost(nullptr) {}

AgentService::~AgentService() = default;
