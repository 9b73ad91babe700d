#include "jvmhost/runtime_choice.h"

#include <wchar.h>

#include <strsafe.h>

#include "base/scoped.h"
#include "jvmhost/pe_file.h"

namespace {

#ifdef _WIN64
const wchar_t kOwnPointerSize[] = L"64-bit";
#else
const wchar_t kOwnPointerSize[] = L"32-bit";
#endif

// What a folder is to the choice.
enum class Verdict { kUsable, kTooLong, kNoLibrary, kNotLoadable, kNoVersion, kNotAllowed };

// The folders looked at so far, and the best runtime among them.
struct Search {
    const VersionRule* rule;  // weak
    RuntimeChoice* choice;    // weak
    unsigned folders;
    wchar_t looked[kConfigProblemUnits];  // "<name> (<why not>); ..."
};

// The library the host would load from `folder`, as the runtime host picks it.
Verdict FindLibrary(const wchar_t* folder, wchar_t (&library)[kPathUnits]) {
    HostLayout layout = {};
    if (!SetRuntimeFolder(&layout, folder)) {
        return Verdict::kTooLong;
    }
    if ((RuntimeLibraryPath(layout, L"client", library) && IsFile(library)) ||
        (RuntimeLibraryPath(layout, L"server", library) && IsFile(library))) {
        return Verdict::kUsable;
    }
    return Verdict::kNoLibrary;
}

Verdict Examine(const wchar_t* folder, const VersionRule& rule, RuntimeVersion* version) {
    wchar_t library[kPathUnits];
    const Verdict found = FindLibrary(folder, library);
    if (found != Verdict::kUsable) {
        return found;
    }
    // Read as data: a runtime of the other pointer size would be chosen, then fail to load.
    const FileView view(library);
    PeImage image = {};
    if (ReadPeImage(view, &image) != PeCheck::kFine || image.machine != kOwnMachine ||
        (image.characteristics & IMAGE_FILE_DLL) == 0) {
        return Verdict::kNotLoadable;
    }
    if (!ReadReleaseVersion(folder, version)) {
        return Verdict::kNoVersion;
    }
    return rule.given == 0 || RuleAllows(rule, *version) ? Verdict::kUsable : Verdict::kNotAllowed;
}

void NoteLooked(Search* search, const wchar_t* name, Verdict verdict,
                const RuntimeVersion& version) {
    wchar_t why[kVersionTextUnits + 64];
    switch (verdict) {
        case Verdict::kTooLong:
            StringCchCopyW(why, ARRAYSIZE(why), L"its path is too long for the host");
            break;
        case Verdict::kNoLibrary:
            StringCchCopyW(why, ARRAYSIZE(why), L"no bin\\client\\jvm.dll or bin\\server\\jvm.dll");
            break;
        case Verdict::kNotLoadable:
            StringCchPrintfW(why, ARRAYSIZE(why), L"its jvm.dll is no %ls Windows DLL",
                             kOwnPointerSize);
            break;
        case Verdict::kNoVersion:
            StringCchCopyW(why, ARRAYSIZE(why), L"no release file with a JAVA_VERSION");
            break;
        default:
            StringCchPrintfW(why, ARRAYSIZE(why), L"version %ls, not allowed", version.text);
            break;
    }
    const size_t used = static_cast<size_t>(lstrlenW(search->looked));
    StringCchPrintfW(search->looked + used, ARRAYSIZE(search->looked) - used, L"%ls%ls (%ls)",
                     used > 0 ? L"; " : L"", name, why);
}

void Consider(Search* search, const wchar_t* folder, const wchar_t* name) {
    ++search->folders;
    RuntimeVersion version = {};
    const Verdict verdict = Examine(folder, *search->rule, &version);
    if (verdict != Verdict::kUsable) {
        NoteLooked(search, name, verdict, version);
        return;
    }
    RuntimeChoice* choice = search->choice;
    ++choice->usable;
    const int order =
        choice->folder[0] == L'\0' ? 1 : CompareRuntimeVersions(version, choice->version);
    if (order > 0 || (order == 0 && CompareStringOrdinal(folder, -1, choice->folder, -1, TRUE) ==
                                        CSTR_GREATER_THAN)) {
        CopyPath(choice->folder, folder);
        choice->version = version;
    }
}

// Each folder in `parent` that `javaHome`'s last name matches.
void ConsiderMatches(Search* search, const wchar_t* javaHome, const wchar_t* parent) {
    WIN32_FIND_DATAW entry;
    ScopedSearch matches(FindFirstFileW(javaHome, &entry));
    if (!matches.IsValid()) {
        return;
    }
    do {
        const bool dots =
            lstrcmpW(entry.cFileName, L".") == 0 || lstrcmpW(entry.cFileName, L"..") == 0;
        if (dots || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            continue;
        }
        wchar_t folder[kPathUnits];
        if (JoinPath(folder, parent, entry.cFileName)) {
            Consider(search, folder, entry.cFileName);
        } else {
            ++search->folders;
            NoteLooked(search, entry.cFileName, Verdict::kTooLong, RuntimeVersion{});
        }
    } while (FindNextFileW(matches.Get(), &entry));
}

void RefuseChoice(const Search& search, const wchar_t* javaHome, const wchar_t* parent,
                  const wchar_t* name, ConfigProblem* problem) {
    wchar_t allowed[kVersionTextUnits + 32] = L"";
    if (search.rule->given > 0) {
        StringCchPrintfW(allowed, ARRAYSIZE(allowed), L" that java.version %ls allows",
                         search.rule->least.text);
    }
    wchar_t what[kConfigProblemUnits];
    if (search.folders == 0) {
        StringCchPrintfW(what, ARRAYSIZE(what),
                         L"java.home %ls names no Java runtime: no folder in %ls matches %ls.",
                         javaHome, parent, name);
    } else {
        StringCchPrintfW(what, ARRAYSIZE(what),
                         L"java.home %ls names no Java runtime%ls. Looked in %ls at: %ls.",
                         javaHome, allowed, parent, search.looked);
    }
    SetFileProblem(problem, L"service.properties", what);
}

}  // namespace

bool IsFolderPattern(const wchar_t* path) {
    const wchar_t* separator = wcsrchr(path, L'\\');
    return wcspbrk(separator != nullptr ? separator : path, L"*?") != nullptr;
}

bool ChooseRuntime(const wchar_t* javaHome, const VersionRule& rule, RuntimeChoice* choice,
                   ConfigProblem* problem) {
    *choice = {};
    choice->asked = true;
    Search search = {&rule, choice, 0, {}};
    const wchar_t* separator = wcsrchr(javaHome, L'\\');
    wchar_t parent[kPathUnits];
    CopyPath(parent, javaHome);
    CutAtLastSeparator(parent);
    // A drive's root ("D:") is no match of a search: it is looked at itself.
    if (separator == nullptr) {
        Consider(&search, javaHome, javaHome);
    } else {
        ConsiderMatches(&search, javaHome, parent);
    }
    if (choice->folder[0] != L'\0') {
        return true;
    }
    RefuseChoice(search, javaHome, parent, separator != nullptr ? separator + 1 : javaHome,
                 problem);
    return false;
}

void DescribeRuntimeChoice(const RuntimeChoice& choice, const wchar_t* javaHome,
                           const VersionRule& rule, wchar_t (&text)[kChoiceTextUnits]) {
    wchar_t allowed[kVersionTextUnits + 32] = L"";
    if (rule.given > 0) {
        StringCchPrintfW(allowed, ARRAYSIZE(allowed), L" and java.version %ls allows",
                         rule.least.text);
    }
    StringCchPrintfW(text, kChoiceTextUnits,
                     L"The Java runtime is %ls, version %ls: the newest of the runtimes that "
                     L"java.home %ls names%ls (%u found).",
                     choice.folder, choice.version.text, javaHome, allowed, choice.usable);
}
