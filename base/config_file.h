// The optional files of "conf\": read whole (UTF-8, or UTF-16 with its
// byte-order mark), checked line by line, and handed out one meaningful line
// at a time, with what is wrong said in words an operator can act on
// ("conf\<name> line <n>: ...").
#pragma once

#include <stddef.h>

#include "base/scoped.h"
#include "base/win32.h"

// Larger files are refused: an operator's configuration is a few lines, and a
// bound keeps every buffer below small and fixed.
constexpr size_t kConfigMaxBytes = 64 * 1024;
// What is wrong, with the file's name and the line number in front.
constexpr size_t kConfigProblemUnits = 1024;
// How much of an offending line a problem quotes.
constexpr size_t kConfigQuoteUnits = 200;
// A quoted text: its beginning, the quotes, "..." and the terminator.
constexpr size_t kConfigQuotedUnits = kConfigQuoteUnits + 8;

struct ConfigProblem {
    wchar_t text[kConfigProblemUnits];
};

struct ConfigFile {
    const wchar_t* name = nullptr;  // weak: "jvm.options", "service.properties"
    // The file as UTF-8 without its byte-order mark (a UTF-16 file converted
    // line by line).
    HeapArray<char> bytes;
    size_t size = 0;
    bool utf16 = false;  // the file was UTF-16, with its byte-order mark
    size_t next = 0;     // where the next unread line begins
    unsigned lineNumber = 0;
    // The current line, decoded and without the white space around it; room
    // for the longest line the file can hold.
    HeapArray<wchar_t> line;
    size_t lineLength = 0;
};

// How one file of conf\ is read, a meaningful line at a time.
struct ConfigLineReader {
    const wchar_t* name;           // "jvm.options"
    const wchar_t* commentStarts;  // a line whose first non-blank is one of these is a comment
    // Once the whole file is read, before its first line (may be null): makes
    // room for what the lines hold; false when memory ran out.
    bool (*begin)(const ConfigFile& file, void* into);
    // Takes the current line into `into`; false, with `problem` filled, when
    // it cannot be used.
    bool (*take)(ConfigFile* file, void* into, ConfigProblem* problem);
};

// Reads "<installDir>\conf\<name>" whole and hands each line that is neither
// blank nor a comment to `take`. True when there is no such file (nothing is
// configured, and `begin` is not called) or every line was taken. False, with
// `problem` filled, when the file cannot be read, is too large, memory ran
// out, a line is not UTF-8 (UTF-16 in such a file) or holds a NUL character,
// or `take` refused a line: then none of the file may be used.
bool ReadConfigLines(const wchar_t* installDir, const ConfigLineReader& reader, void* into,
                     ConfigProblem* problem);

// "conf\<name> line <n>: " followed by `what`.
void SetLineProblem(ConfigProblem* problem, const ConfigFile& file, const wchar_t* what);
// "conf\<name> line <n>: "<the line>"" followed by `after`; a long line is
// quoted by its beginning and "...".
void SetQuotedLineProblem(ConfigProblem* problem, const ConfigFile& file, const wchar_t* after);
// "\"<text>\"" in `quoted`; a long text is quoted by its beginning and "...".
void QuoteForProblem(const wchar_t* text, size_t length, wchar_t (&quoted)[kConfigQuotedUnits]);
// "conf\<name>: " followed by `what`.
void SetFileProblem(ConfigProblem* problem, const wchar_t* name, const wchar_t* what);

// True for the blanks that may stand around a line, a key or a value.
bool IsConfigBlank(wchar_t c);

// The `length` units of `text` as a whole number from 0 to `most`: digits
// only, at least one. False, leaving `number` as it was, for anything else.
bool ParseNumber(const wchar_t* text, size_t length, DWORD most, DWORD* number);
