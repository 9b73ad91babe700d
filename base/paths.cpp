#include "base/paths.h"

#include <strsafe.h>

bool FindInstallDir(wchar_t (&dir)[MAX_PATH]) {
    ZeroMemory(dir, sizeof(dir));
    // GetModuleFileNameW returns the buffer size when it had to cut the path.
    const DWORD length = GetModuleFileNameW(nullptr, dir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        dir[0] = L'\0';
        return false;
    }
    CutAtLastSeparator(dir);
    return true;
}

bool EnterDirectory(const wchar_t* dir) {
    const bool driveAlone = dir[0] != L'\0' && dir[1] == L':' && dir[2] == L'\0';
    if (driveAlone) {
        const wchar_t root[] = {dir[0], L':', L'\\', L'\0'};
        return SetCurrentDirectoryW(root) != FALSE;
    }
    return SetCurrentDirectoryW(dir) != FALSE;
}

bool JoinPath(wchar_t* out, size_t units, const wchar_t* dir, const wchar_t* name) {
    // Measured first: `out` may be `dir`, and a join that does not fit leaves it empty.
    const size_t dirLength = static_cast<size_t>(lstrlenW(dir));
    const size_t nameLength = static_cast<size_t>(lstrlenW(name));
    // A folder that ends with its separator (a drive's root) gets no second one.
    const size_t nameStart =
        dirLength > 0 && dir[dirLength - 1] == L'\\' ? dirLength : dirLength + 1;
    if (nameStart + nameLength >= units) {
        out[0] = L'\0';
        return false;
    }
    MoveMemory(out, dir, dirLength * sizeof(wchar_t));
    out[nameStart - 1] = L'\\';
    CopyMemory(out + nameStart, name, (nameLength + 1) * sizeof(wchar_t));
    return true;
}

bool CopyPath(wchar_t* out, size_t units, const wchar_t* text) {
    if (FAILED(StringCchCopyW(out, units, text))) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

void CutAtLastSeparator(wchar_t* path) {
    wchar_t* lastSeparator = nullptr;
    for (wchar_t* c = path; *c != L'\0'; ++c) {
        if (*c == L'\\') {
            lastSeparator = c;
        }
    }
    if (lastSeparator != nullptr) {
        *lastSeparator = L'\0';
    }
}

bool IsFile(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsDirectory(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

bool JoinFolders(HostLayout* layout) {
    return JoinPath(layout->libDir, layout->installDir, L"lib") &&
           JoinPath(layout->confDir, layout->installDir, L"conf") &&
           JoinPath(layout->logsDir, layout->installDir, L"logs");
}

}  // namespace

bool FindHostLayout(HostLayout* layout) {
    wchar_t installDir[MAX_PATH];
    return FindInstallDir(installDir) && LayoutBelow(installDir, layout);
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
