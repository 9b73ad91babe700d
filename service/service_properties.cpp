#include "service/service_properties.h"

#include <strsafe.h>

namespace {

const wchar_t kFileName[] = L"service.properties";
// '#' and '!' begin a comment, as in Java's properties files.
const wchar_t kCommentStarts[] = L"#!";
const wchar_t kStopTimeoutKey[] = L"stop.timeout";

// A part of the current line.
struct Piece {
    const wchar_t* text;  // weak: inside the file's line buffer
    size_t length;
};

// Keys are case-sensitive, as in Java's properties files.
bool Equals(const Piece& piece, const wchar_t* word) {
    size_t i = 0;
    for (; i < piece.length; ++i) {
        if (word[i] == L'\0' || word[i] != piece.text[i]) {
            return false;
        }
    }
    return word[i] == L'\0';
}

// Whole seconds from 0 to kMaxStopTimeoutSeconds, digits only.
bool ParseSeconds(const Piece& value, DWORD* seconds) {
    if (value.length == 0) {
        return false;
    }
    DWORD parsed = 0;
    for (size_t i = 0; i < value.length; ++i) {
        const wchar_t c = value.text[i];
        if (c < L'0' || c > L'9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<DWORD>(c - L'0');
        if (parsed > kMaxStopTimeoutSeconds) {
            return false;
        }
    }
    *seconds = parsed;
    return true;
}

// Splits "key = value" at its first '='; false when there is none.
bool SplitKeyValue(const ConfigFile& file, Piece* key, Piece* value) {
    const wchar_t* line = file.line;
    size_t equals = 0;
    while (equals < file.lineLength && line[equals] != L'=') ++equals;
    if (equals == file.lineLength) {
        return false;
    }
    size_t keyEnd = equals;
    while (keyEnd > 0 && IsConfigBlank(line[keyEnd - 1])) --keyEnd;
    size_t valueStart = equals + 1;
    while (valueStart < file.lineLength && IsConfigBlank(line[valueStart])) ++valueStart;
    *key = {line, keyEnd};
    *value = {line + valueStart, file.lineLength - valueStart};
    return true;
}

void SetUnknownKey(ConfigProblem* problem, const ConfigFile& file, const Piece& key) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(key.text, key.length, quoted);
    wchar_t what[kConfigQuotedUnits + 64];
    StringCchPrintfW(what, ARRAYSIZE(what), L"unknown key %ls; the only key is %ls.", quoted,
                     kStopTimeoutKey);
    SetLineProblem(problem, file, what);
}

void SetBadSeconds(ConfigProblem* problem, const ConfigFile& file, const Piece& value) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(value.text, value.length, quoted);
    wchar_t what[kConfigQuotedUnits + 128];
    StringCchPrintfW(what, ARRAYSIZE(what),
                     L"%ls must be a whole number of seconds from 0 to %lu, not %ls.",
                     kStopTimeoutKey, static_cast<unsigned long>(kMaxStopTimeoutSeconds), quoted);
    SetLineProblem(problem, file, what);
}

void SetSetTwice(ConfigProblem* problem, const ConfigFile& file, unsigned firstLine) {
    wchar_t what[128];
    StringCchPrintfW(what, ARRAYSIZE(what), L"%ls is set a second time (first on line %u).",
                     kStopTimeoutKey, firstLine);
    SetLineProblem(problem, file, what);
}

// Reads every line into `read`; false with `problem` filled at the first bad one.
bool ReadLines(ConfigFile* file, ServiceProperties* read, ConfigProblem* problem) {
    unsigned stopTimeoutLine = 0;
    for (;;) {
        const ConfigLineResult result = NextConfigLine(file, kCommentStarts, problem);
        if (result == kConfigEnd) {
            return true;
        }
        if (result == kConfigBadLine) {
            return false;
        }
        Piece key = {};
        Piece value = {};
        if (!SplitKeyValue(*file, &key, &value)) {
            SetQuotedLineProblem(problem, *file, L" is not a key=value line.");
            return false;
        }
        if (!Equals(key, kStopTimeoutKey)) {
            SetUnknownKey(problem, *file, key);
            return false;
        }
        // A key given twice is refused rather than one of them silently winning:
        // an operator who edits one line may not have seen the other.
        if (stopTimeoutLine != 0) {
            SetSetTwice(problem, *file, stopTimeoutLine);
            return false;
        }
        if (!ParseSeconds(value, &read->stopTimeoutSeconds)) {
            SetBadSeconds(problem, *file, value);
            return false;
        }
        stopTimeoutLine = file->lineNumber;
    }
}

}  // namespace

bool ReadServiceProperties(const wchar_t* installDir, ServiceProperties* properties,
                           ConfigProblem* problem) {
    ConfigFile file;
    const ConfigOpenResult opened = OpenConfigFile(installDir, kFileName, &file, problem);
    if (opened == kConfigMissing) {
        return true;
    }
    if (opened == kConfigRefused) {
        return false;
    }
    // Applied only when the whole file is good: a half-read file is never used.
    ServiceProperties read;
    if (!ReadLines(&file, &read, problem)) {
        return false;
    }
    *properties = read;
    return true;
}
