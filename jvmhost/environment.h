// conf\environment: the variables the Java application's process is given,
// "NAME=value" a line, set before the runtime loads so that the VM, its
// System.getenv and the processes the application starts all see them.
#pragma once

#include <stddef.h>

#include "base/config_file.h"
#include "base/scoped.h"

struct EnvironmentVariables {
    // "NAME\0value\0" for each line, one after another, as written.
    HeapArray<wchar_t> texts;
    HeapArray<size_t> names;    // where each name begins in `texts`
    HeapArray<unsigned> lines;  // the line of the file that set each
    size_t count = 0;

    const wchar_t* Name(size_t index) const { return texts.Get() + names[index]; }
    const wchar_t* Value(size_t index) const { return Name(index) + lstrlenW(Name(index)) + 1; }
};

// Reads conf\environment below `installDir`. True when there is no such file
// or every line is "NAME=value" (blanks around the name and the value are
// ignored); false, with `problem` naming the file, the line and what is
// wrong, for a line without '=', an empty name or a name with a blank in it:
// then none of it may be used.
bool ReadEnvironment(const wchar_t* installDir, EnvironmentVariables* variables,
                     ConfigProblem* problem);

// Sets each variable in the process's environment, in the file's order: its
// %NAME% references expanded from the environment as it stands (so a line
// may use the service's own PATH, or a variable a line before it set), and an
// empty value removes the variable. False, with `problem` naming the line,
// when a value has more than 32,766 characters, as written or once expanded,
// more than Windows holds; the lines before it stay set, and the caller
// starts nothing.
bool ApplyEnvironment(const EnvironmentVariables& variables, ConfigProblem* problem);
