// The service's whole configuration: the files of conf\, read by one function
// that the service and the packaging checker both call, so that both find the
// same first problem.
#pragma once

#include "agent/service_properties.h"
#include "base/config_file.h"
#include "base/paths.h"
#include "jvmhost/environment.h"
#include "jvmhost/main_args.h"
#include "jvmhost/user_options.h"

struct Configuration {
    ServiceProperties properties;
    UserOptions userOptions;
    MainArguments arguments;
    MainArguments stopArguments;  // conf\stop.args
    EnvironmentVariables environment;
};

// Reads conf\service.properties, conf\jvm.options, conf\main.args,
// conf\stop.args and conf\environment below the layout's install directory,
// in that order, and takes java.home as the layout's runtime folder. False,
// with `problem` naming the file, the line and what is wrong, at the first
// file that cannot be used: nothing of that file is used and the files after
// it are not read; `properties` keeps what a good conf\service.properties set.
bool ReadConfiguration(HostLayout* layout, Configuration* configuration, ConfigProblem* problem);
