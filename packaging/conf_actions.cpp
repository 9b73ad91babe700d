// KeepEditedConf, RestoreEditedConf, RemoveUneditedConf with its rollback and
// commit, and KeepExecutable with RestoreMissingExecutable: files of the
// install directory held aside around InstallFiles and RemoveFiles.
#include "packaging/held_files.h"

#include <strsafe.h>

namespace install_actions {

namespace {

constexpr wchar_t kKept[] = L"kept";
constexpr wchar_t kRemoved[] = L"removed";
constexpr wchar_t kExecutable[] = L"executable";

}  // namespace

// Deferred, without impersonation, before InstallFiles at an install, repair
// or upgrade: copies every file of conf\ whose content no version of the
// package gave it (an edited one) aside, for RestoreEditedConf. Fails the
// installation when one cannot be copied.
extern "C" __declspec(dllexport) UINT __stdcall KeepEditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"KeepEditedConf", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!FreshHoldingFolder(data, kKept, folder)) {
        Log(install, L"KeepEditedConf: no temporary folder.");
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (!IsFirstOfItsFile(data, i) || !EntryPath(data, i, path) || !IsFile(path) ||
            IsUnedited(data, i, path)) {
            continue;
        }
        if (!HeldPath(folder, i, held) || !CopyFileW(path, held, FALSE)) {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: edited, but could not be kept aside (error %lu).", path,
                             static_cast<unsigned long>(error));
            Log(install, message);
            return ERROR_INSTALL_FAILURE;
        }
        StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", path);
        Log(install, message);
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, after InstallFiles (and the rollback of
// KeepEditedConf): puts the edited files back.
extern "C" __declspec(dllexport) UINT __stdcall RestoreEditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RestoreEditedConf", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    return PutBack(install, data, kKept) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, without impersonation, before RemoveFiles, at a removal that
// removes the service: moves the files of conf\ whose content is still the
// package's away, so that a rollback can put them back. Whatever happens, the
// removal goes on: a file left behind only keeps its old content.
extern "C" __declspec(dllexport) UINT __stdcall RemoveUneditedConf(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RemoveUneditedConf", &data)) {
        return ERROR_SUCCESS;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!FreshHoldingFolder(data, kRemoved, folder)) {
        Log(install, L"RemoveUneditedConf: no temporary folder; conf\\ is left as it is.");
        return ERROR_SUCCESS;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (!EntryPath(data, i, path) || !IsFile(path)) {
            continue;
        }
        if (!IsUnedited(data, i, path)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: edited, kept.", path);
        } else if (HeldPath(folder, i, held) &&
                   MoveFileExW(path, held, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: as installed, removed.", path);
        } else {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: as installed, but not removed (error %lu).", path,
                             static_cast<unsigned long>(error));
        }
        Log(install, message);
    }
    // conf\ itself goes when nothing is left in it, so that the removal can
    // remove the install directory.
    wchar_t conf[MAX_PATH];
    if (SUCCEEDED(StringCchCopyW(conf, MAX_PATH, data.installDir)) &&
        SUCCEEDED(StringCchCatW(conf, MAX_PATH, L"conf"))) {
        RemoveDirectoryW(conf);
    }
    return ERROR_SUCCESS;
}

// Rollback of RemoveUneditedConf: the files it moved away go back.
extern "C" __declspec(dllexport) UINT __stdcall RestoreRemovedConf(MSIHANDLE install) {
    ConfData data;
    if (LoadConfData(install, L"RestoreRemovedConf", &data)) {
        PutBack(install, data, kRemoved);
    }
    return ERROR_SUCCESS;
}

// Commit of RemoveUneditedConf: the files it moved away are deleted.
extern "C" __declspec(dllexport) UINT __stdcall ForgetRemovedConf(MSIHANDLE install) {
    ConfData data;
    if (LoadConfData(install, L"ForgetRemovedConf", &data)) {
        Discard(data, kRemoved);
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, before RemoveFiles at an install, repair or
// upgrade, with the data "<service>|[INSTALLDIR]|MerivastService.exe*-": keeps
// a copy of the executable. The package has it twice, one copy for each
// service row; a repair that changes which row is installed removes the one
// copy, and Windows Installer decided at costing, while the file was still
// there, that the other need not be copied (REINSTALLMODE "o").
extern "C" __declspec(dllexport) UINT __stdcall KeepExecutable(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"KeepExecutable", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!FreshHoldingFolder(data, kExecutable, folder)) {
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (EntryPath(data, i, path) && IsFile(path) &&
            (!HeldPath(folder, i, held) || !CopyFileW(path, held, FALSE))) {
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}

// Deferred, without impersonation, after InstallFiles (and the rollback of
// KeepExecutable): an executable that is missing gets its copy back; the copy
// is deleted otherwise.
extern "C" __declspec(dllexport) UINT __stdcall RestoreMissingExecutable(MSIHANDLE install) {
    ConfData data;
    if (!LoadConfData(install, L"RestoreMissingExecutable", &data)) {
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!HoldingFolder(data, kExecutable, folder)) {
        return ERROR_INSTALL_FAILURE;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (EntryPath(data, i, path) && !IsFile(path) && HeldPath(folder, i, held) &&
            IsFile(held)) {
            wchar_t message[kMessageUnits];
            StringCchPrintfW(message, kMessageUnits, L"%ls: missing after InstallFiles, put back.",
                             path);
            Log(install, message);
            if (!MoveFileExW(held, path, MOVEFILE_COPY_ALLOWED)) {
                return ERROR_INSTALL_FAILURE;
            }
        }
    }
    Discard(data, kExecutable);
    return ERROR_SUCCESS;
}

}  // namespace install_actions
