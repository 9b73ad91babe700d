// Paths of built artifacts, as the Windows side sees them.
#pragma once

#include <string>

namespace mvt {

// "/a/b" -> "Z:\a\b": Wine maps the Linux root to drive Z.
std::wstring LinuxToWindowsPath(const std::string& linuxPath);
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);  // UTF-8
// `text` as the bytes of a UTF-16 file with its byte-order mark, as Windows
// PowerShell 5.1 saves one (little-endian).
std::string Utf16File(const std::wstring& text, bool bigEndian = false);

// The directory tests create their install directories in (C:\mvt).
std::wstring TestRoot();
// A name unique in this prefix for this run: "<prefix>-<pid>-<counter>".
std::wstring UniqueName(const std::wstring& prefix);

// Reads a whole file; empty when it does not exist.
std::string ReadFileBytes(const std::wstring& path, unsigned long long fromOffset = 0);
// The file's size; 0 when it does not exist.
unsigned long long FileSize(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Deletes a directory tree; used for clean-up only.
void RemoveTree(const std::wstring& path);
// Deletes a file from the Linux side, as Windows' own delete with POSIX semantics does (its
// default since Windows 10): the name goes at once, while a handle open on it stays writable.
// Wine's DeleteFileW waits for the last handle instead. False when the file is still there.
bool DeleteNameNow(const std::wstring& path);

}  // namespace mvt
