#include "base/host_layout.h"

#include "base/paths.h"

namespace {

bool JoinFolders(HostLayout* layout) {
    return JoinPath(layout->libDir, layout->installDir, L"lib") &&
           JoinPath(layout->confDir, layout->installDir, L"conf") &&
           JoinPath(layout->logsDir, layout->installDir, L"logs");
}

}  // namespace

bool FindHostLayout(HostLayout* layout) {
    ZeroMemory(layout, sizeof(*layout));
    return FindInstallDir(layout->installDir) && JoinFolders(layout);
}

bool LayoutBelow(const wchar_t* installDir, HostLayout* layout) {
    ZeroMemory(layout, sizeof(*layout));
    return CopyPath(layout->installDir, installDir) && JoinFolders(layout);
}

bool SetRuntimeFolder(HostLayout* layout, const wchar_t* jreDir) {
    wchar_t longest[kPathUnits];
    return CopyPath(layout->jreDir, jreDir) && JoinPath(layout->binDir, jreDir, L"bin") &&
           RuntimeLibraryPath(*layout, L"client", longest);
}

bool RuntimeLibraryPath(const HostLayout& layout, const wchar_t* vm, wchar_t (&path)[kPathUnits]) {
    return JoinPath(path, layout.binDir, vm) && JoinPath(path, path, L"jvm.dll");
}
