#include "jvmhost/launch_options.h"

#include <strsafe.h>

#include "base/paths.h"
#include "base/wide_text.h"
#include "jvmhost/main_args.h"

namespace {

constexpr wchar_t kNotInCodePage[] = L"the ANSI code page cannot hold its name";
constexpr wchar_t kHoldsSeparator[] = L"its name holds ';', which separates class path entries";
constexpr size_t kLeftOutUnits = kPathUnits + MAX_PATH + 160;

const wchar_t* WhyUnsafe(const wchar_t* text) {
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (*c == L';') {
            return kHoldsSeparator;
        }
    }
    bool lossy = false;
    const size_t length = static_cast<size_t>(lstrlenW(text));
    if (length > 0 && (ConvertToAnsi(text, length, nullptr, 0, &lossy) <= 0 || lossy)) {
        return kNotInCodePage;
    }
    return nullptr;
}

void ReportLeftOut(ErrorSink sink, const wchar_t* libDir, const wchar_t* name, const wchar_t* why) {
    if (sink == nullptr) {
        return;
    }
    wchar_t message[kLeftOutUnits];
    StringCchPrintfW(
        message, ARRAYSIZE(message),
        L"The jar %ls\\%ls is left out of the class path: %ls, and the volume gives it "
        L"no short name. Rename the jar.",
        libDir, name, why);
    sink(0, message);
}

// Appends the "*.jar" matches of `libDir` that can enter the class path, in
// the order the file system returns them, and counts them in `entries`: for
// the class path each as a full path by the name it enters under, joined by
// ";", the others reported to `leftOutSink`; else each by its own name,
// joined by ", ". A lib folder whose pattern does not fit lists nothing,
// never the working directory. False when memory ran out.
bool AppendJars(const wchar_t* libDir, bool forClassPath, ErrorSink leftOutSink, WideText* text,
                size_t* entries) {
    wchar_t pattern[kPathUnits];
    WIN32_FIND_DATAW match;
    const ScopedSearch search(JoinPath(pattern, libDir, L"*.jar") ? FindFirstFileW(pattern, &match)
                                                                  : INVALID_HANDLE_VALUE);
    for (bool more = search.IsValid(); more; more = FindNextFileW(search.Get(), &match) != FALSE) {
        const wchar_t* why = nullptr;
        const wchar_t* name = JarNameForClassPath(match, &why);
        if (name == nullptr) {
            if (forClassPath) ReportLeftOut(leftOutSink, libDir, match.cFileName, why);
            continue;
        }
        const wchar_t* const entry[] = {libDir, L"\\", name};
        const bool appended = (*entries == 0 || text->Append(forClassPath ? L";" : L", ")) &&
                              (forClassPath ? text->Append(entry) : text->Append(match.cFileName));
        if (!appended) {
            return false;
        }
        ++*entries;
    }
    return true;
}

// Without best fit, a character the code page lacks becomes the default
// character instead of a look-alike: "Merivāst" must never reach the VM as
// "Merivast", a directory somebody else may own. UTF-8 holds every character,
// and takes no best-fit flag; it fails only on a broken surrogate pair.
DWORD AnsiFlags(UINT codePage) {
    return codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
}

}  // namespace

bool NarrowOption::AssignConverted(const wchar_t* text, size_t length) {
    chars.Clear();
    if (length > 0x3FFFFFFF) {
        return false;
    }
    // Asking with no buffer returns the size the converted text needs.
    bool lossy = false;
    const int needed = ConvertToAnsi(text, length, nullptr, 0, &lossy);
    if (needed <= 0 && length > 0) {
        return false;
    }
    const size_t bytes = static_cast<size_t>(needed) + 1;
    chars.Reset(bytes);
    if (chars.Get() == nullptr) {
        return false;
    }
    ConvertOption(text, length, chars.Get(), bytes);
    return true;
}

int ConvertToAnsi(const wchar_t* text, size_t length, char* out, size_t outBytes, bool* lossy) {
    *lossy = false;
    if (length == 0 || length > 0x3FFFFFFF || outBytes > 0x7FFFFFFF) {
        return 0;
    }
    const UINT codePage = GetACP();
    BOOL usedDefault = FALSE;
    const int result = WideCharToMultiByte(
        codePage, AnsiFlags(codePage), text, static_cast<int>(length), out,
        static_cast<int>(outBytes), nullptr, codePage == CP_UTF8 ? nullptr : &usedDefault);
    if (result <= 0 && codePage == CP_UTF8 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
        *lossy = true;
    }
    *lossy = *lossy || usedDefault != FALSE;
    return result;
}

void ConvertOption(const wchar_t* text, size_t length, char* out, size_t outBytes) {
    // WideCharToMultiByte returns 0 when the text does not fit; a text that
    // fills the buffer exactly leaves no room for the terminator, so it does
    // not fit either.
    bool lossy = false;
    const int written = ConvertToAnsi(text, length, out, outBytes, &lossy);
    if (written <= 0 || static_cast<size_t>(written) >= outBytes) {
        out[0] = '\0';
        return;
    }
    out[written] = '\0';
}

size_t BuildClassPathOption(const wchar_t* libDir, NarrowOption* out, ErrorSink leftOutSink) {
    WideText text;
    size_t entries = 0;
    if (!text.Append(L"-Djava.class.path=") ||
        !AppendJars(libDir, true, leftOutSink, &text, &entries)) {
        out->AssignConverted(L"", 0);
        return entries;
    }
    out->AssignConverted(text.Chars(), text.length);
    return entries;
}

bool AppendJarNames(const wchar_t* libDir, WideText* text) {
    size_t entries = 0;
    return AppendJars(libDir, false, nullptr, text, &entries);
}

bool IsSafeInOptions(const wchar_t* text) {
    return WhyUnsafe(text) == nullptr;
}

const wchar_t* JarNameForClassPath(const WIN32_FIND_DATAW& match, const wchar_t** why) {
    *why = WhyUnsafe(match.cFileName);
    if (*why == nullptr) {
        return match.cFileName;
    }
    // The search gives the short name beside the long one; it is empty when
    // the volume makes no short names.
    if (match.cAlternateFileName[0] != L'\0' && IsSafeInOptions(match.cAlternateFileName)) {
        return match.cAlternateFileName;
    }
    return nullptr;
}

bool InstallDirForOptions(const wchar_t* installDir, wchar_t (&out)[MAX_PATH],
                          const wchar_t** why) {
    StringCchCopyW(out, MAX_PATH, installDir);
    *why = WhyUnsafe(installDir);
    if (*why == nullptr) {
        return true;
    }
    // GetShortPathNameW returns the needed size when the buffer is too small,
    // and keeps every component that has no short name as it is.
    wchar_t shortName[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(installDir, shortName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !IsSafeInOptions(shortName)) {
        return false;
    }
    StringCchCopyW(out, MAX_PATH, shortName);
    return true;
}

bool BuildJarClassPathOption(const wchar_t* jarPath, NarrowOption* out, const wchar_t** why) {
    wchar_t named[MAX_PATH];
    WideText text;
    return InstallDirForOptions(jarPath, named, why) && text.Append(L"-Djava.class.path=") &&
           text.Append(named) && out->AssignConverted(text.Chars(), text.length);
}

bool BuildJavaCommandOption(const wchar_t* application, const MainArguments& arguments,
                            NarrowOption* out) {
    WideText text;
    bool built = text.Append(L"-Dsun.java.command=") && text.Append(application);
    for (size_t i = 0; built && i < arguments.count; ++i) {
        built = text.Append(L" ") && text.Append(arguments.Argument(i));
    }
    return built && out->AssignConverted(text.Chars(), text.length);
}

void BuildLog4jOption(const wchar_t* installDir, char (&out)[kLog4jOptionBytes]) {
    wchar_t text[kLog4jTextUnits];
    if (FAILED(StringCchPrintfW(text, kLog4jTextUnits,
                                L"-Dlog4j.configuration=file:/%ls\\conf\\log4j.properties",
                                installDir))) {
        out[0] = '\0';
        return;
    }
    ConvertOption(text, static_cast<size_t>(lstrlenW(text)), out, kLog4jOptionBytes);
}

void BuildLoggingImplOption(char (&out)[kLoggingOptionBytes]) {
    static const wchar_t kText[] =
        L"-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger";
    ConvertOption(kText, ARRAYSIZE(kText) - 1, out, kLoggingOptionBytes);
}
