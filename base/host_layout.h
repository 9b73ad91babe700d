// The install directory and the folders the host uses below it, computed once
// at the start with checked joins and passed by reference from then on.
#pragma once

#include <stddef.h>

#include "base/win32.h"

// Every path of the layout: the install directory has at most MAX_PATH - 1
// units, the runtime's folder at most MAX_PATH + 3, and the longest name
// joined to either ("\bin\client\jvm.dll") fits the rest.
constexpr size_t kPathUnits = MAX_PATH + 32;

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
