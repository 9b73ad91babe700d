#pragma once

#include "service/win32.h"

// Fills `dir` with the directory of the executable, without a trailing
// separator (the drive alone, "C:", for an executable in a drive's root).
// Returns false and leaves `dir` empty when the executable's path does not
// fit MAX_PATH: a cut path could name some other directory.
bool FindInstallDir(wchar_t (&dir)[MAX_PATH]);

// Makes `dir` the process's working directory; a drive alone ("C:", an
// install directory in a drive's root) as its root ("C:\"), since "C:" would
// mean the drive's current directory, the system folder for a service.
// Returns SetCurrentDirectoryW's result.
bool EnterDirectory(const wchar_t* dir);

// Ends `path` at its last backslash; a path without one stays whole.
void CutAtLastSeparator(wchar_t* path);

// Whether `path` names an existing file, or an existing directory.
bool IsFile(const wchar_t* path);
bool IsDirectory(const wchar_t* path);
