// conf\main.args: the arguments of an application run through main(String[]),
// one argument a line, exactly as written; conf\stop.args alike.
#pragma once

#include "base/config_file.h"
#include "base/scoped.h"

// The arguments of main(String[]), UTF-16 texts one after another.
struct MainArguments {
    HeapArray<wchar_t> texts;  // each NUL-terminated
    HeapArray<size_t> starts;  // where each begins in `texts`
    size_t count = 0;
    bool filePresent = false;  // conf\main.args exists

    const wchar_t* Argument(size_t index) const { return texts.Get() + starts[index]; }
};

// Reads conf\main.args below `installDir` into `arguments`. True when there is
// no such file (no arguments) or it can be read; false, with `problem` naming
// the file, the line and what is wrong, when it cannot: then none of it may be
// used.
bool ReadMainArguments(const wchar_t* installDir, MainArguments* arguments, ConfigProblem* problem);
// The same of conf\stop.args: the arguments of the application's own stop
// method (stop.method in conf\service.properties).
bool ReadStopArguments(const wchar_t* installDir, MainArguments* arguments, ConfigProblem* problem);
