// PlaceDefaultConf and RemoveUneditedConf: the files of conf\ are the
// operator's. The package installs its own version of each into the folder
// defaults (replaced at an upgrade, removed with the package, like every other file of
// it), and these actions only ever copy a default into conf\ where conf\ has
// no such file, or delete a file of conf\ whose content is still its
// default's. Nothing is moved aside, so nothing needs a place outside the
// install directory, and an edited file is never touched.
#include "packaging/install_actions.h"

#include <strsafe.h>

#include "base/paths.h"

namespace install_actions {

namespace {

// The data of both: "<install dir>|<file>|<file>…", <install dir> ending in a
// backslash, each <file> relative to conf\ (and to defaults\).
struct ConfData {
    HeapArray<wchar_t> text;
    wchar_t installDir[MAX_PATH] = L"";
    const wchar_t* files = L"";  // weak: into text
};

bool LoadConfData(MSIHANDLE install, const wchar_t* action, ConfData* data) {
    if (ReadActionData(install, &data->text) &&
        TakePart(data->text.Get(), kEntrySeparator, data->installDir, MAX_PATH, &data->files)) {
        return true;
    }
    wchar_t message[kMessageUnits];
    StringCchPrintfW(message, kMessageUnits, L"%ls: the package's data is not usable.", action);
    Log(install, message);
    return false;
}

// "<install dir><folder>\<file>" of the next entry; false at the end, or for
// an entry that does not fit (which is skipped).
bool NextPaths(const wchar_t** files, const ConfData& data, wchar_t (&conf)[MAX_PATH],
               wchar_t (&fallback)[MAX_PATH]) {
    while (**files != L'\0') {
        wchar_t file[MAX_PATH];
        const bool taken = TakePart(*files, kEntrySeparator, file, MAX_PATH, files);
        if (taken &&
            SUCCEEDED(StringCchPrintfW(conf, MAX_PATH, L"%lsconf\\%ls", data.installDir, file)) &&
            SUCCEEDED(
                StringCchPrintfW(fallback, MAX_PATH, L"%lsdefaults\\%ls", data.installDir, file))) {
            return true;
        }
    }
    return false;
}

// True when both files can be read and hold the same bytes.
bool SameContent(const wchar_t* a, const wchar_t* b) {
    MSIFILEHASHINFO first = {sizeof(MSIFILEHASHINFO), {}};
    MSIFILEHASHINFO second = {sizeof(MSIFILEHASHINFO), {}};
    return MsiGetFileHashW(a, 0, &first) == ERROR_SUCCESS &&
           MsiGetFileHashW(b, 0, &second) == ERROR_SUCCESS &&
           memcmp(first.dwData, second.dwData, sizeof(first.dwData)) == 0;
}

// Creates the folders above `path` that are missing, below the install
// directory.
void CreateParents(const ConfData& data, const wchar_t* path) {
    wchar_t folder[MAX_PATH];
    if (FAILED(StringCchCopyW(folder, MAX_PATH, path))) {
        return;
    }
    for (size_t i = wcslen(data.installDir); folder[i] != L'\0'; ++i) {
        if (folder[i] == L'\\') {
            folder[i] = L'\0';
            CreateDirectoryW(folder, nullptr);
            folder[i] = L'\\';
        }
    }
}

// Removes the folders above `path` up to conf\ itself, those that are empty,
// so that a removal can remove the install directory.
void RemoveEmptyParents(const ConfData& data, const wchar_t* path) {
    wchar_t folder[MAX_PATH];
    const size_t installDirUnits = wcslen(data.installDir);
    if (FAILED(StringCchCopyW(folder, MAX_PATH, path))) {
        return;
    }
    CutAtLastSeparator(folder);
    while (wcslen(folder) > installDirUnits && RemoveDirectoryW(folder)) {
        CutAtLastSeparator(folder);
    }
}

}  // namespace

// Deferred, without impersonation, after InstallFiles at an install, repair or
// upgrade, and at the rollback of anything that removed files of conf\: each
// default whose file conf\ lacks is copied there. Fails when one cannot be.
extern "C" __declspec(dllexport) UINT __stdcall PlaceDefaultConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"PlaceDefaultConf", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t conf[MAX_PATH];
    wchar_t fallback[MAX_PATH];
    wchar_t message[kMessageUnits];
    UINT result = ERROR_SUCCESS;
    for (const wchar_t* files = data.files; NextPaths(&files, data, conf, fallback);) {
        if (!IsFile(fallback)) {
            continue;
        }
        CreateParents(data, conf);
        // Only where there is no such file: one that is there stays as it is.
        if (CopyFileW(fallback, conf, TRUE)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: the package's default, placed.", conf);
            Log(install, message);
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            LogError(install, conf, L"the package's default could not be placed", error);
            result = ERROR_INSTALL_FAILURE;
        }
    }
    return result;
}

// Deferred, without impersonation, before RemoveFiles at a removal, and at
// the rollback of PlaceDefaultConf: each file of conf\ that holds its default's
// bytes is deleted; an edited one stays. Never fails: a file left behind only
// keeps its content.
extern "C" __declspec(dllexport) UINT __stdcall RemoveUneditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RemoveUneditedConf", &data)) {
        return ERROR_SUCCESS;
    }
    wchar_t conf[MAX_PATH];
    wchar_t fallback[MAX_PATH];
    wchar_t message[kMessageUnits];
    for (const wchar_t* files = data.files; NextPaths(&files, data, conf, fallback);) {
        if (!IsFile(conf)) {
            continue;
        }
        if (!SameContent(conf, fallback)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", conf);
        } else if (DeleteFileW(conf)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: as installed, removed.", conf);
            RemoveEmptyParents(data, conf);
        } else {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: as installed, but not removed (error %lu).", conf,
                             static_cast<unsigned long>(error));
        }
        Log(install, message);
    }
    return ERROR_SUCCESS;
}

}  // namespace install_actions
