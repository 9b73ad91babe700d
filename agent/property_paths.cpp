// The keys of conf\service.properties whose values are paths: java.home and
// main.jar, relative to the install directory unless absolute, '/' taken as '\'.
#include "agent/property_keys.h"

#include <wchar.h>

#include <strsafe.h>

#include "base/paths.h"

namespace {

bool IsAbsolutePath(const wchar_t* path, size_t length) {
    const bool drive = length >= 3 && path[1] == L':' && path[2] == L'\\';
    const bool unc = length >= 2 && path[0] == L'\\' && path[1] == L'\\';
    return drive || unc;
}

// "C:jre" (drive C's current directory) and "\jre" (the current drive's root)
// name different folders depending on where the service happens to stand.
bool IsPartlyRelative(const wchar_t* path, size_t length) {
    return (length >= 2 && path[1] == L':' && !IsAbsolutePath(path, length)) ||
           (length >= 1 && path[0] == L'\\' && !IsAbsolutePath(path, length));
}

// `value` as a full path, relative to the install directory unless absolute;
// false when it does not fit `units`.
bool ResolvePath(const wchar_t* installDir, const wchar_t* value, size_t length, wchar_t* out,
                 size_t units) {
    out[0] = L'\0';
    if (!IsAbsolutePath(value, length) && (FAILED(StringCchCopyW(out, units, installDir)) ||
                                           FAILED(StringCchCatW(out, units, L"\\")))) {
        return false;
    }
    return SUCCEEDED(StringCchCatNW(out, units, value, length));
}

// What a path-valued key says when its value cannot be used.
struct PathRefusals {
    const wchar_t* empty;
    const wchar_t* relative;  // it depends on the current directory
    const wchar_t* tooLong;   // the full path does not fit
};

// The line's value as a full path in `out` (`units`, at most kPathUnits, with the terminator),
// Java's forward slashes taken as Windows' separators; false with the line's
// problem when it cannot be used.
bool ReadPathValue(const PropertyKey& key, const KeyLine& line, const PathRefusals& refusals,
                   wchar_t* out, size_t units) {
    const Piece& value = line.value;
    if (value.length == 0 || value.length >= units) {
        return RefuseValue(
            line, key.name,
            value.length == 0 ? refusals.empty : L"is too long for a path the host can use.");
    }
    wchar_t path[kPathUnits];
    for (size_t i = 0; i < value.length; ++i) {
        path[i] = value.text[i] == L'/' ? L'\\' : value.text[i];
    }
    path[value.length] = L'\0';
    if (IsPartlyRelative(path, value.length)) {
        return RefuseValue(line, key.name, refusals.relative);
    }
    if (!ResolvePath(line.installDir, path, value.length, out, units)) {
        return RefuseValue(line, key.name, refusals.tooLong);
    }
    return true;
}

// Trailing separators would double before "bin".
void TrimTrailingSeparators(wchar_t* path) {
    size_t end = static_cast<size_t>(lstrlenW(path));
    while (end > 2 && path[end - 1] == L'\\') path[--end] = L'\0';
}

}  // namespace

bool ResolveJavaHome(const wchar_t* installDir, const wchar_t* value, size_t length,
                     wchar_t (&out)[kJavaHomeUnits]) {
    if (!ResolvePath(installDir, value, length, out, kJavaHomeUnits)) {
        return false;
    }
    TrimTrailingSeparators(out);
    return true;
}

bool ApplyJavaHome(const PropertyKey& key, const KeyLine& line) {
    static const PathRefusals kRefusals = {
        L"is empty: name the Java runtime's folder.",
        L"depends on the current directory: give a full path such as C:\\Java\\jdk-21, or a path "
        L"relative to the install directory.",
        L"makes a path too long for the host: the runtime's folder may have at most 263 "
        L"characters, with the install directory's path when it is relative."};
    if (!ReadPathValue(key, line, kRefusals, line.read->javaHome, kJavaHomeUnits)) {
        return false;
    }
    TrimTrailingSeparators(line.read->javaHome);
    // Only the last name is matched against the folders there.
    const wchar_t* lastName = wcsrchr(line.read->javaHome, L'\\');
    const wchar_t* pattern = wcspbrk(line.read->javaHome, L"*?");
    if (pattern != nullptr && pattern < lastName) {
        return RefuseValue(line, key.name,
                           L"has '*' or '?' before its last name: only the runtime's own folder "
                           L"may be a pattern, as in C:\\Java\\jdk-21*.");
    }
    return true;
}

bool ApplyMainJar(const PropertyKey& key, const KeyLine& line) {
    static const PathRefusals kRefusals = {
        L"is empty: name the application's jar.",
        L"depends on the current directory: give a path relative to the install directory, or a "
        L"full path.",
        L"makes a path too long for the host: the jar's full path may have at most 259 "
        L"characters."};
    if (line.read->mainClassLine != 0) {
        return RefuseBesideOther(line, key.name, L"main.class", line.read->mainClassLine);
    }
    wchar_t jar[MAX_PATH];
    if (!ReadPathValue(key, line, kRefusals, jar, MAX_PATH)) {
        return false;
    }
    if (!IsFile(jar)) {
        wchar_t after[MAX_PATH + 64];
        StringCchPrintfW(after, ARRAYSIZE(after), L"names no jar: %ls is not a file.", jar);
        return RefuseValue(line, key.name, after);
    }
    CopyPath(line.read->mainJar, jar);
    line.read->mainJarLine = line.file.lineNumber;
    return true;
}
