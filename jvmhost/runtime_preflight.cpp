#include "jvmhost/runtime_preflight.h"

#include <strsafe.h>

#include "base/paths.h"
#include "base/scoped.h"
#include "jvmhost/pe_file.h"

namespace {

constexpr size_t kAdviceUnits = 4096;
constexpr size_t kDllCandidateUnits = kPathUnits + kDllNameUnits;

// Said after "<jre>" (and " again"): what an operator does about a runtime
// that is missing or broken.
const wchar_t kCopyContents[] =
    L"Copy the contents of a Java runtime folder (a JDK works as well as a JRE) into ";
const wchar_t kSoThat[] = L", so that ";
const wchar_t kEitherVm[] = L"\\bin\\server\\jvm.dll (or bin\\client\\jvm.dll) exists";

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
    CopyPath(places->vmDir, dllPath);
    CutAtLastSeparator(places->vmDir);
    CopyPath(places->binDir, places->vmDir);
    CutAtLastSeparator(places->binDir);
    CopyPath(places->jreDir, places->binDir);
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
    return JoinPath(candidate, dir, name) && IsFile(candidate);
}

// The imported DLLs that none of the places holds, ", "-separated.
struct MissingImports {
    const SearchPlaces* places;  // weak
    wchar_t (*list)[kAdviceUnits];
    int count;
};

void NoteIfMissing(const wchar_t* name, void* context) {
    MissingImports* missing = static_cast<MissingImports*>(context);
    const SearchPlaces& places = *missing->places;
    // API sets name no file: the system maps them to its own DLLs.
    if (StartsWithNoCase(name, L"api-ms-") || StartsWithNoCase(name, L"ext-ms-") ||
        IsInDir(places.binDir, name) || IsInDir(places.vmDir, name) ||
        IsInDir(places.systemDir, name)) {
        return;
    }
    if (missing->count++ > 0) {
        StringCchCatW(*missing->list, kAdviceUnits, L", ");
    }
    StringCchCatW(*missing->list, kAdviceUnits, name);
}

// Appends the names of the imported DLLs that none of the places holds;
// returns how many there were, or -1 when the table is cut short.
int AppendMissingImports(const FileView& view, const PeImage& image, const SearchPlaces& places,
                         wchar_t (&list)[kAdviceUnits]) {
    MissingImports missing = {&places, &list, 0};
    return VisitImports(view, image, NoteIfMissing, &missing) ? missing.count : -1;
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
    JoinPath(client, places.binDir, L"client\\jvm.dll");
    JoinPath(server, places.binDir, L"server\\jvm.dll");
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
    const ScopedSearch search(FindFirstFileW(pattern, &entry));
    if (!search.IsValid()) {
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
    } while (!seen && FindNextFileW(search.Get(), &entry));
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

// No file at all: no runtime, or one a folder too deep.
void AdviseOnMissingFile(const SearchPlaces& places, wchar_t (&advice)[kAdviceUnits]) {
    wchar_t found[kDllCandidateUnits];
    wchar_t folder[kDllCandidateUnits];
    if (FindRuntimeOneLevelDown(places.jreDir, found, folder)) {
        AdviseOneLevelTooDeep(places, found, folder, advice);
    } else {
        AdviseNoRuntime(places, advice);
    }
}

// What the image's headers and imports show; false when they show nothing wrong.
bool AdviseOnImage(const wchar_t* dllPath, const FileView& view, const SearchPlaces& places,
                   wchar_t (&advice)[kAdviceUnits]) {
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
    } else if (count > 0) {
        AdviseMissingImports(dllPath, places, missing, advice);
    }
    return count != 0;
}

// Fills `advice` when the file shows why it did not load; false otherwise.
bool AdviseOnRuntimeFile(const wchar_t* dllPath, const SearchPlaces& places,
                         wchar_t (&advice)[kAdviceUnits]) {
    if (!IsFile(dllPath)) {
        AdviseOnMissingFile(places, advice);
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
    return AdviseOnImage(dllPath, view, places, advice);
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
