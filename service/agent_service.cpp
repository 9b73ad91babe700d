#include "service/agent_service.h"

AgentService::AgentService() : exitCode(kExitNormal), properties(), runtimeHost(nullptr) {}

AgentService::~AgentService() = default;
