#include "jvmhost/launch_options.h"

#include <strsafe.h>

#include "jvmhost/wide_text.h"

namespace {

// Closes a FindFirstFileW search on every path out of the listing.
struct FileSearch {
    explicit FileSearch(HANDLE h) : handle(h) {}
    ~FileSearch() {
        if (handle != INVALID_HANDLE_VALUE) {
            FindClose(handle);
        }
    }
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;
    HANDLE handle;
};

void MakeLibDir(const wchar_t* installDir, wchar_t (&libDir)[kLibDirUnits]) {
    StringCchCopyW(libDir, kLibDirUnits, installDir);
    const int length = lstrlenW(libDir);
    if (length == 0 || libDir[length - 1] != L'\\') {
        StringCchCatW(libDir, kLibDirUnits, L"\\");
    }
    StringCchCatW(libDir, kLibDirUnits, L"lib\\");
}

// Appends every "*.jar" match of libDir, in the order the file system returns
// them; false when memory ran out.
bool AppendJars(const wchar_t* libDir, WideText* text) {
    wchar_t pattern[kJarPatternUnits];
    StringCchCopyW(pattern, kJarPatternUnits, libDir);
    StringCchCatW(pattern, kJarPatternUnits, L"*.jar");

    WIN32_FIND_DATAW match;
    FileSearch search(FindFirstFileW(pattern, &match));
    if (search.handle == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool first = true;
    do {
        if (!first && !text->Append(L";")) {
            return false;
        }
        if (!text->Append(libDir) || !text->Append(match.cFileName)) {
            return false;
        }
        first = false;
    } while (FindNextFileW(search.handle, &match));
    return true;
}

}  // namespace

NarrowOption::~NarrowOption() {
    if (chars != nullptr) {
        HeapFree(GetProcessHeap(), 0, chars);
    }
}

bool NarrowOption::AssignConverted(const wchar_t* text, size_t length) {
    if (chars != nullptr) {
        HeapFree(GetProcessHeap(), 0, chars);
        chars = nullptr;
    }
    if (length > 0x3FFFFFFF) {
        return false;
    }
    // Asking with no buffer returns the size the converted text needs.
    const int needed = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    if (needed <= 0 && length > 0) {
        return false;
    }
    const size_t bytes = static_cast<size_t>(needed) + 1;
    chars = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (chars == nullptr) {
        return false;
    }
    ConvertOption(text, length, chars, bytes);
    return true;
}

void ConvertOption(const wchar_t* text, size_t length, char* out, size_t outBytes) {
    // WideCharToMultiByte returns 0 when the text does not fit; a text that
    // fills the buffer exactly leaves no room for the terminator, so it does
    // not fit either.
    const int written = length == 0
                            ? 0
                            : WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out,
                                                  static_cast<int>(outBytes), nullptr, nullptr);
    if (written <= 0 || static_cast<size_t>(written) >= outBytes) {
        out[0] = '\0';
        return;
    }
    out[written] = '\0';
}

void BuildClassPathOption(const wchar_t* installDir, NarrowOption* out) {
    wchar_t libDir[kLibDirUnits];
    MakeLibDir(installDir, libDir);
    WideText text;
    if (!text.Append(L"-Djava.class.path=") || !AppendJars(libDir, &text)) {
        out->AssignConverted(L"", 0);
        return;
    }
    out->AssignConverted(text.Chars(), text.length);
}

void BuildLog4jOption(const wchar_t* installDir, char (&out)[kLog4jOptionBytes]) {
    wchar_t text[kLog4jTextUnits];
    StringCchCopyW(text, kLog4jTextUnits, L"-Dlog4j.configuration=file:/");
    StringCchCatW(text, kLog4jTextUnits, installDir);
    StringCchCatW(text, kLog4jTextUnits, L"\\conf\\log4j.properties");
    ConvertOption(text, static_cast<size_t>(lstrlenW(text)), out, kLog4jOptionBytes);
}

void BuildLoggingImplOption(char (&out)[kLoggingOptionBytes]) {
    static const wchar_t kText[] =
        L"-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger";
    ConvertOption(kText, ARRAYSIZE(kText) - 1, out, kLoggingOptionBytes);
}
