#include "agent/configuration.h"

bool ReadConfiguration(HostLayout* layout, Configuration* configuration, ConfigProblem* problem) {
    const wchar_t* installDir = layout->installDir;
    if (!ReadServiceProperties(installDir, &configuration->properties, problem)) {
        return false;
    }
    if (!SetRuntimeFolder(layout, configuration->properties.javaHome)) {
        SetFileProblem(problem, L"service.properties",
                       L"the install directory's path is too long for the host.");
        return false;
    }
    return ReadUserOptions(installDir, &configuration->userOptions, problem) &&
           ReadMainArguments(installDir, &configuration->arguments, problem) &&
           ReadStopArguments(installDir, &configuration->stopArguments, problem) &&
           ReadEnvironment(installDir, &configuration->environment, problem);
}
