// The files the conf\ and executable actions hold aside while the installer
// changes the install directory, and the action data that names them.
#pragma once

#include "base/paths.h"
#include "packaging/install_actions.h"

namespace install_actions {

// The data the conf\ actions get: "<service>|<install dir>|<file>*<MD5>|…",
// <install dir> ending in a backslash, <file> relative to it, <MD5> the
// packaged file's digest in lower-case hex. An install's data also holds the
// entries of the version installed before, so a file may come twice, with
// each version's digest; empty entries are passed over. Neither '|' nor '*'
// can be part of a Windows path.

struct ConfEntry {
    const wchar_t* file;  // weak: into ConfData::text, not terminated
    size_t fileLength;
    const wchar_t* digest;  // weak, likewise
    size_t digestLength;
};

struct ConfData {
    wchar_t name[kNameUnits] = L"";
    wchar_t installDir[MAX_PATH] = L"";
    HeapArray<wchar_t> text;  // the action's data
    HeapArray<ConfEntry> entries;
    size_t count = 0;
};

// Reads and parses the action's data; logs and gives false when it cannot.
bool LoadConfData(MSIHANDLE install, const wchar_t* action, ConfData* data);
// "<install dir><file>" of entry i. False when it does not fit.
bool EntryPath(const ConfData& data, size_t i, wchar_t* path);
// The folder this service's files of `kind` ("kept", "removed",
// "executable") are held in meanwhile, below the temporary folder of the
// installer's account, outside the install directory so that a removal can
// remove that; and entry i's name in it. False when it does not fit.
bool HoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder);
bool HeldPath(const wchar_t* folder, size_t i, wchar_t* path);
// True when the file has the content some version of the package gave it.
bool IsUnedited(const ConfData& data, size_t i, const wchar_t* path);
// False for an entry whose file an earlier entry names too.
bool IsFirstOfItsFile(const ConfData& data, size_t i);
// Moves every file held in `kind`'s folder back to its place; true when none
// is left behind.
bool PutBack(MSIHANDLE install, const ConfData& data, const wchar_t* kind);
// Empties `kind`'s folder (what an interrupted earlier run left, or what a
// committed removal no longer needs) and removes it.
void Discard(const ConfData& data, const wchar_t* kind);
// `kind`'s folder in `folder`, emptied of what an interrupted earlier run
// left there; false when its path cannot be made.
bool FreshHoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder);

}  // namespace install_actions
