#include "packaging/held_files.h"

#include <strsafe.h>

namespace install_actions {

namespace {

constexpr wchar_t kDigestSeparator = L'*';
constexpr DWORD kDigestBytes = 16;

// False when the data is not in the form above.
bool ParseConfData(const wchar_t* text, ConfData* data) {
    const wchar_t* rest = nullptr;
    if (!TakePart(text, kEntrySeparator, data->name, kNameUnits, &rest) ||
        !TakePart(rest, kEntrySeparator, data->installDir, MAX_PATH, &rest)) {
        return false;
    }
    size_t most = 1;
    for (const wchar_t* c = rest; *c != L'\0'; ++c) {
        most += *c == kEntrySeparator;
    }
    data->entries.Reset(most);
    if (data->entries.Get() == nullptr) {
        return false;
    }
    while (*rest != L'\0') {
        size_t length = 0;
        while (rest[length] != L'\0' && rest[length] != kEntrySeparator) ++length;
        size_t star = 0;
        while (star < length && rest[star] != kDigestSeparator) ++star;
        if (length > 0) {
            if (star == 0 || star == length) {
                return false;
            }
            data->entries[data->count++] = {rest, star, rest + star + 1, length - star - 1};
        }
        rest += rest[length] == kEntrySeparator ? length + 1 : length;
    }
    return true;
}

}  // namespace

// "<install dir><file>" of entry i. False when it does not fit.
bool EntryPath(const ConfData& data, size_t i, wchar_t* path) {
    return SUCCEEDED(StringCchCopyW(path, MAX_PATH, data.installDir)) &&
           SUCCEEDED(
               StringCchCatNW(path, MAX_PATH, data.entries[i].file, data.entries[i].fileLength));
}

// The folder this service's conf\ files are kept in meanwhile (`kind`:
// "kept" or "removed"), below the temporary folder of the installer's account,
// outside the install directory so that a removal can remove that; and entry
// i's name in it. False when it does not fit.
bool HoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder) {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    return length > 0 && length < MAX_PATH &&
           SUCCEEDED(StringCchPrintfW(folder, MAX_PATH, L"%lsMerivast-%ls-conf-%ls", temp,
                                      data.name, kind));
}
bool HeldPath(const wchar_t* folder, size_t i, wchar_t* path) {
    return SUCCEEDED(
        StringCchPrintfW(path, MAX_PATH, L"%ls\\%lu", folder, static_cast<unsigned long>(i)));
}

namespace {

bool SameFile(const ConfEntry& a, const ConfEntry& b) {
    return a.fileLength == b.fileLength &&
           CompareStringOrdinal(a.file, static_cast<int>(a.fileLength), b.file,
                                static_cast<int>(b.fileLength), TRUE) == CSTR_EQUAL;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// True when the file's MD5 is the entry's digest. False when it differs, or
// the file cannot be read, or the digest is malformed.
bool HasDigest(const wchar_t* path, const ConfEntry& entry) {
    if (entry.digestLength != 2 * kDigestBytes) {
        return false;
    }
    MSIFILEHASHINFO hash = {};
    hash.dwFileHashInfoSize = sizeof(hash);
    if (MsiGetFileHashW(path, 0, &hash) != ERROR_SUCCESS) {
        return false;
    }
    // The four ULONGs hold the digest's bytes in order on a little-endian machine.
    const auto* bytes = reinterpret_cast<const unsigned char*>(hash.dwData);
    for (DWORD i = 0; i < kDigestBytes; ++i) {
        const int high = HexValue(entry.digest[2 * i]);
        const int low = HexValue(entry.digest[2 * i + 1]);
        if (high < 0 || low < 0 || bytes[i] != static_cast<unsigned char>(high * 16 + low)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// True when the file has the content some version of the package gave it:
// the digest of an entry of the same file.
bool IsUnedited(const ConfData& data, size_t i, const wchar_t* path) {
    for (size_t j = 0; j < data.count; ++j) {
        if (SameFile(data.entries[i], data.entries[j]) && HasDigest(path, data.entries[j])) {
            return true;
        }
    }
    return false;
}

bool IsFirstOfItsFile(const ConfData& data, size_t i) {
    for (size_t j = 0; j < i; ++j) {
        if (SameFile(data.entries[i], data.entries[j])) {
            return false;
        }
    }
    return true;
}

namespace {

// Creates the folders above `path` that are missing.
void CreateParents(const wchar_t* path) {
    wchar_t folder[MAX_PATH];
    if (FAILED(StringCchCopyW(folder, MAX_PATH, path)) || wcslen(folder) < 3) {
        return;
    }
    // Past "C:\" (or the "\\" of a share), each backslash ends a folder.
    for (size_t i = 3; folder[i] != L'\0'; ++i) {
        if (folder[i] == L'\\') {
            folder[i] = L'\0';
            CreateDirectoryW(folder, nullptr);
            folder[i] = L'\\';
        }
    }
}

}  // namespace

// Reads and parses the action's data; logs and gives false when it cannot.
bool LoadConfData(MSIHANDLE install, const wchar_t* action, ConfData* data) {
    wchar_t message[kMessageUnits];
    if (ReadActionData(install, &data->text) && ParseConfData(data->text.Get(), data)) {
        return true;
    }
    StringCchPrintfW(message, kMessageUnits, L"%ls: the package's data is not usable.", action);
    Log(install, message);
    return false;
}

// Moves every file held in `kind`'s folder back to its place in conf\; true
// when none is left behind.
bool PutBack(MSIHANDLE install, const ConfData& data, const wchar_t* kind) {
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    wchar_t path[MAX_PATH];
    wchar_t message[kMessageUnits];
    if (!HoldingFolder(data, kind, folder)) {
        return false;
    }
    bool all = true;
    for (size_t i = 0; i < data.count; ++i) {
        if (!HeldPath(folder, i, held) || !IsFile(held) || !EntryPath(data, i, path)) {
            continue;
        }
        CreateParents(path);
        if (MoveFileExW(held, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            StringCchPrintfW(message, kMessageUnits, L"%ls: put back.", path);
        } else {
            const DWORD error = GetLastError();
            StringCchPrintfW(message, kMessageUnits,
                             L"%ls: could not be put back from %ls (error %lu).", path, held,
                             static_cast<unsigned long>(error));
            all = false;
        }
        Log(install, message);
    }
    RemoveDirectoryW(folder);
    return all;
}

// Empties `kind`'s folder (what an interrupted earlier run left, or what a
// committed removal no longer needs) and removes it.
void Discard(const ConfData& data, const wchar_t* kind) {
    wchar_t folder[MAX_PATH];
    wchar_t held[MAX_PATH];
    if (!HoldingFolder(data, kind, folder)) {
        return;
    }
    for (size_t i = 0; i < data.count; ++i) {
        if (HeldPath(folder, i, held)) {
            DeleteFileW(held);
        }
    }
    RemoveDirectoryW(folder);
}

// `kind`'s folder in `folder`, emptied of what an interrupted earlier run
// left there; false when its path cannot be made.
bool FreshHoldingFolder(const ConfData& data, const wchar_t* kind, wchar_t* folder) {
    if (!HoldingFolder(data, kind, folder)) {
        return false;
    }
    Discard(data, kind);
    CreateDirectoryW(folder, nullptr);
    return true;
}

}  // namespace install_actions
