// The service's whole configuration: the files of conf\, read by one function
// that the service and the packaging checker both call, so that both find the
// same first problem.
#pragma once

#include "agent/service_properties.h"
#include "base/config_file.h"
#include "base/paths.h"
#include "jvmhost/environment.h"
#include "jvmhost/main_args.h"
#include "jvmhost/runtime_choice.h"
#include "jvmhost/user_options.h"

struct Configuration {
    ServiceProperties properties;
    UserOptions userOptions;
    MainArguments arguments;
    MainArguments stopArguments;  // conf\stop.args
    EnvironmentVariables environment;
    // The runtime java.home's pattern or java.version chose; not asked for
    // a java.home that names one folder and no java.version.
    RuntimeChoice runtime;
};

// Reads conf\service.properties, conf\jvm.options, conf\main.args,
// conf\stop.args and conf\environment below the layout's install directory,
// in that order, then takes java.home as the layout's runtime folder: the
// folder it names, or the runtime ChooseRuntime chooses when it ends in a
// pattern or java.version is set. False, with `problem` naming the file, the
// line and what is wrong, at the first file that cannot be used: nothing of
// that file is used and the files after it are not read; `properties` keeps
// what a good conf\service.properties set. When every file is good and no
// runtime can be chosen, `runtime.asked` is set and its folder is empty.
bool ReadConfiguration(HostLayout* layout, Configuration* configuration, ConfigProblem* problem);
