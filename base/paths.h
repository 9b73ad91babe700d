// Paths: the install directory, checked joins, and what a path names.
#pragma once

#include <stddef.h>

#include "base/win32.h"

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

// "<dir>\<name>" into `out` (which may be `dir` itself), or `text` alone:
// false, with `out` empty, when it does not fit `units` units with the
// terminator. Nothing is ever cut.
bool JoinPath(wchar_t* out, size_t units, const wchar_t* dir, const wchar_t* name);
bool CopyPath(wchar_t* out, size_t units, const wchar_t* text);
template <size_t N>
bool JoinPath(wchar_t (&out)[N], const wchar_t* dir, const wchar_t* name) {
    return JoinPath(out, N, dir, name);
}
template <size_t N>
bool CopyPath(wchar_t (&out)[N], const wchar_t* text) {
    return CopyPath(out, N, text);
}

// Ends `path` at its last backslash; a path without one stays whole.
void CutAtLastSeparator(wchar_t* path);

// Whether `path` names an existing file, or an existing directory.
bool IsFile(const wchar_t* path);
bool IsDirectory(const wchar_t* path);
