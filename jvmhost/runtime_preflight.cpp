#include "jvmhost/runtime_preflight.h"

#include <stddef.h>
#include <string.h>
#include <strsafe.h>

#include "base/host_layout.h"
#include "base/paths.h"

namespace {

constexpr size_t kAdviceUnits = 4096;
constexpr size_t kDllNameUnits = MAX_PATH;
constexpr size_t kDllCandidateUnits = kPathUnits + kDllNameUnits;
// A real import table lists a few dozen DLLs; a damaged one ends here.
constexpr DWORD kMaxImports = 1024;

#ifdef _WIN64
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

// Said after "<jre>" (and " again"): what an operator does about a runtime
// that is missing or broken.
const wchar_t kCopyContents[] =
    L"Copy the contents of a Java runtime folder (a JDK works as well as a JRE) into ";
const wchar_t kSoThat[] = L", so that ";
const wchar_t kEitherVm[] = L"\\bin\\server\\jvm.dll (or bin\\client\\jvm.dll) exists";

// The whole file mapped read-only as data: nothing in it runs.
struct FileView {
    explicit FileView(const wchar_t* path)
        : file(CreateFileW(path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER fileSize = {};
        if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &fileSize)) {
            return;
        }
        opened = true;
        size = static_cast<ULONGLONG>(fileSize.QuadPart);
        // An empty file cannot be mapped; it has nothing to read anyway.
        if (size == 0) {
            return;
        }
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping != nullptr) {
            bytes =
                static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        }
    }
    ~FileView() {
        if (bytes != nullptr) {
            UnmapViewOfFile(bytes);
        }
        if (mapping != nullptr) {
            CloseHandle(mapping);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    // Copies sizeof(T) bytes at `offset`; false when the file ends first.
    template <typename T>
    bool Read(ULONGLONG offset, T* out) const {
        if (bytes == nullptr || offset > size || size - offset < sizeof(T)) {
            return false;
        }
        memcpy(out, bytes + offset, sizeof(T));
        return true;
    }

    HANDLE file;
    HANDLE mapping = nullptr;
    const unsigned char* bytes = nullptr;
    ULONGLONG size = 0;
    bool opened = false;
};

enum class PeCheck { kFine, kNotExecutable, kCutShort };

struct PeImage {
    WORD machine;
    WORD characteristics;
    DWORD importRva;
    ULONGLONG sectionsOffset;
    WORD sectionCount;
};

// The headers a loader reads first, taken from the file as it is.
PeCheck ReadPeImage(const FileView& view, PeImage* image) {
    WORD magic = 0;
    if (!view.Read(0, &magic) || magic != IMAGE_DOS_SIGNATURE) {
        return PeCheck::kNotExecutable;
    }
    IMAGE_DOS_HEADER dos;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    if (!view.Read(0, &dos) || dos.e_lfanew < 0 ||
        !view.Read(static_cast<ULONGLONG>(dos.e_lfanew), &signature)) {
        return PeCheck::kCutShort;
    }
    if (signature != IMAGE_NT_SIGNATURE) {
        return PeCheck::kNotExecutable;  // an MS-DOS program, or no program at all
    }
    const ULONGLONG headerOffset = static_cast<ULONGLONG>(dos.e_lfanew) + sizeof(signature);
    const ULONGLONG optionalOffset = headerOffset + sizeof(IMAGE_FILE_HEADER);
    WORD optionalMagic = 0;
    if (!view.Read(headerOffset, &header) || !view.Read(optionalOffset, &optionalMagic)) {
        return PeCheck::kCutShort;
    }
    image->machine = header.Machine;
    image->characteristics = header.Characteristics;
    image->sectionsOffset = optionalOffset + header.SizeOfOptionalHeader;
    image->sectionCount = header.NumberOfSections;
    image->importRva = 0;
    // The import directory's place differs between the 32- and 64-bit layouts.
    ULONGLONG importEntry = 0;
    ULONGLONG countEntry = 0;
    if (optionalMagic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        importEntry = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
                      IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY);
        countEntry = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    } else {
        importEntry = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) +
                      IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY);
        countEntry = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    }
    DWORD directoryCount = 0;
    IMAGE_DATA_DIRECTORY imports = {};
    if (importEntry + sizeof(imports) <= header.SizeOfOptionalHeader) {
        if (!view.Read(optionalOffset + countEntry, &directoryCount) ||
            !view.Read(optionalOffset + importEntry, &imports)) {
            return PeCheck::kCutShort;
        }
        if (directoryCount > IMAGE_DIRECTORY_ENTRY_IMPORT) {
            image->importRva = imports.VirtualAddress;
        }
    }
    IMAGE_SECTION_HEADER last;
    if (image->sectionCount > 0 &&
        !view.Read(
            image->sectionsOffset + (image->sectionCount - 1ULL) * sizeof(IMAGE_SECTION_HEADER),
            &last)) {
        return PeCheck::kCutShort;
    }
    return PeCheck::kFine;
}

// Where in the file the loader would find the byte at `rva`; false when no
// section holds it.
bool FileOffsetOf(const FileView& view, const PeImage& image, DWORD rva, ULONGLONG* offset) {
    for (WORD i = 0; i < image.sectionCount; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!view.Read(image.sectionsOffset + ULONGLONG{i} * sizeof(IMAGE_SECTION_HEADER),
                       &section)) {
            return false;
        }
        const DWORD extent = section.Misc.VirtualSize > section.SizeOfRawData
                                 ? section.Misc.VirtualSize
                                 : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
            *offset =
                static_cast<ULONGLONG>(section.PointerToRawData) + rva - section.VirtualAddress;
            return true;
        }
    }
    return false;
}

// The NUL-terminated ASCII name at `rva`, widened; false when it is not all there.
bool ReadDllName(const FileView& view, const PeImage& image, DWORD rva,
                 wchar_t (&name)[kDllNameUnits]) {
    ULONGLONG offset = 0;
    if (!FileOffsetOf(view, image, rva, &offset)) {
        return false;
    }
    for (size_t i = 0; i < kDllNameUnits; ++i) {
        char c = 0;
        if (!view.Read(offset + i, &c)) {
            return false;
        }
        name[i] = static_cast<wchar_t>(static_cast<unsigned char>(c));
        if (c == '\0') {
            return i > 0;
        }
    }
    return false;
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    const int length = lstrlenW(prefix);
    return lstrlenW(text) >= length &&
           CompareStringOrdinal(text, length, prefix, length, TRUE) == CSTR_EQUAL;
}

// The places the runtime's load searches for the DLLs it imports.
struct SearchPlaces {
    wchar_t jreDir[kPathUnits];
    wchar_t binDir[kPathUnits];
    wchar_t vmDir[kPathUnits];
    wchar_t systemDir[MAX_PATH];
};

void FindSearchPlaces(const wchar_t* dllPath, SearchPlaces* places) {
    StringCchCopyW(places->vmDir, kPathUnits, dllPath);
    CutAtLastSeparator(places->vmDir);
    StringCchCopyW(places->binDir, kPathUnits, places->vmDir);
    CutAtLastSeparator(places->binDir);
    StringCchCopyW(places->jreDir, kPathUnits, places->binDir);
    CutAtLastSeparator(places->jreDir);
    const UINT length = GetSystemDirectoryW(places->systemDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        places->systemDir[0] = L'\0';
    }
}

bool IsInDir(const wchar_t* dir, const wchar_t* name) {
    if (dir[0] == L'\0') {
        return false;
    }
    wchar_t candidate[kDllCandidateUnits];
    return SUCCEEDED(StringCchCopyW(candidate, kDllCandidateUnits, dir)) &&
           SUCCEEDED(StringCchCatW(candidate, kDllCandidateUnits, L"\\")) &&
           SUCCEEDED(StringCchCatW(candidate, kDllCandidateUnits, name)) && IsFile(candidate);
}

// Appends ", "-separated names of the imported DLLs that none of the places
// holds; returns how many there were, or -1 when the table is cut short.
int AppendMissingImports(const FileView& view, const PeImage& image, const SearchPlaces& places,
                         wchar_t (&list)[kAdviceUnits]) {
    ULONGLONG tableOffset = 0;
    if (image.importRva == 0) {
        return 0;
    }
    if (!FileOffsetOf(view, image, image.importRva, &tableOffset)) {
        return -1;
    }
    int missing = 0;
    for (DWORD i = 0; i < kMaxImports; ++i) {
        IMAGE_IMPORT_DESCRIPTOR entry;
        if (!view.Read(tableOffset + ULONGLONG{i} * sizeof(entry), &entry)) {
            return -1;
        }
        if (entry.Name == 0 && entry.FirstThunk == 0) {
            break;
        }
        wchar_t name[kDllNameUnits];
        if (!ReadDllName(view, image, entry.Name, name)) {
            return -1;
        }
        // API sets name no file: the system maps them to its own DLLs.
        if (StartsWithNoCase(name, L"api-ms-") || StartsWithNoCase(name, L"ext-ms-") ||
            IsInDir(places.binDir, name) || IsInDir(places.vmDir, name) ||
            IsInDir(places.systemDir, name)) {
            continue;
        }
        if (missing++ > 0) {
            StringCchCatW(list, kAdviceUnits, L", ");
        }
        StringCchCatW(list, kAdviceUnits, name);
    }
    return missing;
}

const wchar_t* PointerSizeOf(WORD machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_I386:
            return L"32-bit";
        case IMAGE_FILE_MACHINE_AMD64:
            return L"64-bit";
        default:
            return nullptr;
    }
}

// Joins the pieces into `advice`; a text too long for it is cut, never overrun.
void Compose(wchar_t (&advice)[kAdviceUnits], const wchar_t* const* pieces, size_t count) {
    advice[0] = L'\0';
    for (size_t i = 0; i < count; ++i) {
        StringCchCatW(advice, kAdviceUnits, pieces[i]);
    }
}

template <size_t N>
void Compose(wchar_t (&advice)[kAdviceUnits], const wchar_t* const (&pieces)[N]) {
    Compose(advice, pieces, N);
}

void AdviseNoRuntime(const SearchPlaces& places, wchar_t (&advice)[kAdviceUnits]) {
    wchar_t client[kPathUnits];
    wchar_t server[kPathUnits];
    StringCchCopyW(client, kPathUnits, places.binDir);
    StringCchCatW(client, kPathUnits, L"\\client\\jvm.dll");
    StringCchCopyW(server, kPathUnits, places.binDir);
    StringCchCatW(server, kPathUnits, L"\\server\\jvm.dll");
    Compose(advice, {L"No Java runtime was found: neither ", client, L" nor ", server, L" exists. ",
                     kCopyContents, places.jreDir, kSoThat, places.jreDir, kEitherVm, L"."});
}

// "<jre>\<a folder>\bin\client\jvm.dll" (or server) in `found`, and the
// folder in `folder`: a runtime's folder copied into jre\ whole. False when
// no folder of jre\ holds one.
bool FindRuntimeOneLevelDown(const wchar_t* jreDir, wchar_t (&found)[kDllCandidateUnits],
                             wchar_t (&folder)[kDllCandidateUnits]) {
    wchar_t pattern[kDllCandidateUnits];
    if (FAILED(StringCchPrintfW(pattern, kDllCandidateUnits, L"%ls\\*", jreDir))) {
        return false;
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool seen = false;
    do {
        const bool dots =
            lstrcmpW(entry.cFileName, L".") == 0 || lstrcmpW(entry.cFileName, L"..") == 0;
        if (dots || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            continue;
        }
        static const wchar_t* const kVms[] = {L"client", L"server"};
        for (const wchar_t* vm : kVms) {
            seen = SUCCEEDED(StringCchPrintfW(folder, kDllCandidateUnits, L"%ls\\%ls", jreDir,
                                              entry.cFileName)) &&
                   SUCCEEDED(StringCchPrintfW(found, kDllCandidateUnits, L"%ls\\bin\\%ls\\jvm.dll",
                                              folder, vm)) &&
                   IsFile(found);
            if (seen) {
                break;
            }
        }
    } while (!seen && FindNextFileW(search, &entry));
    FindClose(search);
    return seen;
}

void AdviseOneLevelTooDeep(const SearchPlaces& places, const wchar_t* found, const wchar_t* folder,
                           wchar_t (&advice)[kAdviceUnits]) {
    Compose(advice,
            {L"No Java runtime was found in ", places.jreDir, L", but one lies a folder too deep: ",
             found, L" exists. Move the contents of ", folder, L" up into ", places.jreDir, kSoThat,
             places.jreDir, kEitherVm, L"."});
}

void AdviseNotDll(const wchar_t* dllPath, const wchar_t* why, const SearchPlaces& places,
                  wchar_t (&advice)[kAdviceUnits]) {
    Compose(advice, {dllPath, L" is not a Windows DLL: ", why, L". ", kCopyContents, places.jreDir,
                     L" again", kSoThat, places.jreDir, kEitherVm, L"."});
}

void AdviseOtherMachine(const wchar_t* dllPath, WORD machine, wchar_t (&advice)[kAdviceUnits]) {
    const wchar_t* own = PointerSizeOf(kOwnMachine);
    const wchar_t* theirs = PointerSizeOf(machine);
    if (theirs == nullptr) {
        Compose(advice, {dllPath,
                         L" is a Java runtime for another kind of processor; this "
                         L"MerivastService.exe is ",
                         own, L". Use a ", own, L" Java runtime."});
        return;
    }
    Compose(advice,
            {dllPath, L" is a ", theirs, L" Java runtime; this MerivastService.exe is ", own,
             L". Use the ", theirs, L" MerivastService.exe, or a ", own, L" Java runtime."});
}

void AdviseMissingImports(const wchar_t* dllPath, const SearchPlaces& places,
                          const wchar_t* missing, wchar_t (&advice)[kAdviceUnits]) {
    Compose(advice, {dllPath, L" needs DLLs that are in none of ", places.binDir, L", ",
                     places.vmDir, L" and ", places.systemDir, L": ", missing, L". ", kCopyContents,
                     places.jreDir, kSoThat, places.jreDir, kEitherVm,
                     L"; or install the Visual C++ runtime it was built with."});
}

// Fills `advice` when the file shows why it did not load; false otherwise.
bool AdviseOnRuntimeFile(const wchar_t* dllPath, const SearchPlaces& places,
                         wchar_t (&advice)[kAdviceUnits]) {
    if (!IsFile(dllPath)) {
        wchar_t found[kDllCandidateUnits];
        wchar_t folder[kDllCandidateUnits];
        if (FindRuntimeOneLevelDown(places.jreDir, found, folder)) {
            AdviseOneLevelTooDeep(places, found, folder, advice);
        } else {
            AdviseNoRuntime(places, advice);
        }
        return true;
    }
    const FileView view(dllPath);
    if (!view.opened) {
        return false;
    }
    if (view.size == 0) {
        AdviseNotDll(dllPath, L"the file is empty", places, advice);
        return true;
    }
    PeImage image = {};
    switch (ReadPeImage(view, &image)) {
        case PeCheck::kNotExecutable:
            AdviseNotDll(dllPath, L"it does not begin with the headers of a Windows executable",
                         places, advice);
            return true;
        case PeCheck::kCutShort:
            AdviseNotDll(dllPath, L"the file ends inside its own headers, it was cut short", places,
                         advice);
            return true;
        case PeCheck::kFine:
            break;
    }
    if (image.machine != kOwnMachine) {
        AdviseOtherMachine(dllPath, image.machine, advice);
        return true;
    }
    if ((image.characteristics & IMAGE_FILE_DLL) == 0) {
        AdviseNotDll(dllPath, L"it is a Windows program, not a library", places, advice);
        return true;
    }
    wchar_t missing[kAdviceUnits] = {};
    const int count = AppendMissingImports(view, image, places, missing);
    if (count < 0) {
        AdviseNotDll(dllPath, L"its import table is cut short", places, advice);
        return true;
    }
    if (count > 0) {
        AdviseMissingImports(dllPath, places, missing, advice);
        return true;
    }
    return false;
}

}  // namespace

void ExplainLoadFailure(const wchar_t* dllPath, ErrorSink sink) {
    if (sink == nullptr) {
        return;
    }
    SearchPlaces places;
    FindSearchPlaces(dllPath, &places);
    wchar_t advice[kAdviceUnits];
    if (AdviseOnRuntimeFile(dllPath, places, advice)) {
        sink(0, advice);
    }
}
