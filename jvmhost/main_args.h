// conf\main.args: the arguments of an application run through main(String[]),
// one argument a line, exactly as written.
#pragma once

#include "jvmhost/runtime_host.h"
#include "service/config_file.h"

// Reads conf\main.args below `installDir` into `arguments`. True when there is
// no such file (no arguments) or it can be read; false, with `problem` naming
// the file, the line and what is wrong, when it cannot: then none of it may be
// used.
bool ReadMainArguments(const wchar_t* installDir, MainArguments* arguments, ConfigProblem* problem);
