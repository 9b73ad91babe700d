#pragma once

#include "service/win32.h"

// Fills `dir` with the directory of the executable, without a trailing
// separator (the drive alone, "C:", for an executable in a drive's root).
// Returns false and leaves `dir` empty when the executable's path does not
// fit MAX_PATH: a cut path could name some other directory.
bool FindInstallDir(wchar_t (&dir)[MAX_PATH]);

// Ends `path` at its last backslash; a path without one stays whole.
void CutAtLastSeparator(wchar_t* path);

// Whether `path` names an existing file, or an existing directory.
bool IsFile(const wchar_t* path);
bool IsDirectory(const wchar_t* path);
