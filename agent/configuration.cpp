#include "agent/configuration.h"

namespace {

// java.home's folder, or the runtime chosen among the folders it names.
bool TakeRuntimeFolder(HostLayout* layout, Configuration* configuration, ConfigProblem* problem) {
    const ServiceProperties& properties = configuration->properties;
    const wchar_t* folder = properties.javaHome;
    if (IsFolderPattern(folder) || properties.javaVersion.given > 0) {
        if (!ChooseRuntime(folder, properties.javaVersion, &configuration->runtime, problem)) {
            return false;
        }
        folder = configuration->runtime.folder;
    }
    if (!SetRuntimeFolder(layout, folder)) {
        SetFileProblem(problem, L"service.properties",
                       L"the install directory's path is too long for the host.");
        return false;
    }
    return true;
}

}  // namespace

bool ReadConfiguration(HostLayout* layout, Configuration* configuration, ConfigProblem* problem) {
    const wchar_t* installDir = layout->installDir;
    return ReadServiceProperties(installDir, &configuration->properties, problem) &&
           ReadUserOptions(installDir, &configuration->userOptions, problem) &&
           ReadMainArguments(installDir, &configuration->arguments, problem) &&
           ReadStopArguments(installDir, &configuration->stopArguments, problem) &&
           ReadEnvironment(installDir, &configuration->environment, problem) &&
           TakeRuntimeFolder(layout, configuration, problem);
}
