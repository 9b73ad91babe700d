// Paths: the install directory and the folders the host uses below it,
// computed once at the start with checked joins, and what a path names.
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

// "<dir>\<name>" (or `text`) into `out`, which may be `dir` itself; a `dir`
// that ends with '\' keeps its one. False, with `out` empty, when it does not
// fit `units` units with the terminator. Nothing is ever cut.
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

// The sizes of the paths the host builds, in units with the terminator, all
// from the install directory's MAX_PATH: the runtime's folder (java.home) has
// a few units more; the layout's folders and the names joined to them (the
// longest, "\bin\client\jvm.dll" below the runtime's folder) fit kPathUnits;
// a file the host names in one of those folders fits kFilePathUnits.
constexpr size_t kRuntimeFolderUnits = MAX_PATH + 4;
constexpr size_t kPathUnits = MAX_PATH + 32;
constexpr size_t kFilePathUnits = kPathUnits + 32;

struct HostLayout {
    // The executable's folder without a trailing separator ("C:" for a drive's root).
    wchar_t installDir[MAX_PATH];
    wchar_t libDir[kPathUnits];   // "<installDir>\lib"
    wchar_t confDir[kPathUnits];  // "<installDir>\conf"
    wchar_t logsDir[kPathUnits];  // "<installDir>\logs"
    // The Java runtime's folder and its "bin", set by SetRuntimeFolder.
    wchar_t jreDir[kPathUnits];
    wchar_t binDir[kPathUnits];
};

// Fills the install directory and the folders below it. False, leaving
// nothing usable, when the executable's path does not fit MAX_PATH: a cut
// path could name some other folder, and load a runtime from it.
bool FindHostLayout(HostLayout* layout);
// The same below `installDir` (at most MAX_PATH - 1 units), for a folder that
// is not the executable's; false when it does not fit.
bool LayoutBelow(const wchar_t* installDir, HostLayout* layout);

// Takes `jreDir`, a full path, as the runtime's folder. False when it, or a
// runtime library below it, would not fit the layout's paths.
bool SetRuntimeFolder(HostLayout* layout, const wchar_t* jreDir);

// "<binDir>\<vm>\jvm.dll"; false when it does not fit.
bool RuntimeLibraryPath(const HostLayout& layout, const wchar_t* vm, wchar_t (&path)[kPathUnits]);
