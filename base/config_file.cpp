#include "base/config_file.h"

#include <strsafe.h>

#include "base/event_log.h"
#include "base/paths.h"
#include "base/process_heap.h"

namespace {

// "conf\<name>: the file cannot be read: <system text>".
void SetUnreadable(ConfigProblem* problem, const wchar_t* name, DWORD error) {
    wchar_t systemText[kSystemTextUnits];
    SystemErrorText(error, systemText);
    wchar_t what[kSystemTextUnits + 64];
    StringCchPrintfW(what, ARRAYSIZE(what), L"the file cannot be read (error %lu): %ls.", error,
                     systemText);
    SetFileProblem(problem, name, what);
}

bool IsMissingFileError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

enum class TextForm { kUtf8, kUtf8WithMark, kUtf16Le, kUtf16Be };

// UTF-8 unless a byte-order mark says otherwise.
TextForm FormOf(const char* text, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return TextForm::kUtf8WithMark;
    }
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return TextForm::kUtf16Le;
    }
    if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return TextForm::kUtf16Be;
    }
    return TextForm::kUtf8;
}

// Windows editors end lines with CR LF, older Mac ones and some tools with a
// lone CR: each of the three ends a line, so no line swallows the next.
bool IsLineEnd(wchar_t c) {
    return c == L'\n' || c == L'\r';
}
bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// The file's 16-bit units, in the order `bigEndian` gives.
void ReadUnits(const unsigned char* bytes, size_t count, bool bigEndian, wchar_t* wide) {
    for (size_t i = 0; i < count; ++i) {
        const unsigned first = bytes[2 * i];
        const unsigned second = bytes[2 * i + 1];
        wide[i] = static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    }
}

// One line's `length` units as UTF-8 at `out`; a line that is not UTF-16 (a
// lone surrogate, or `cutShort`: a last byte without its pair) becomes one
// byte that no UTF-8 decoder takes. Returns the bytes written.
size_t ConvertLine(const wchar_t* wide, size_t length, bool cutShort, char* out) {
    int converted = 0;
    if (length > 0) {
        converted =
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, static_cast<int>(length), out,
                                static_cast<int>(3 * length), nullptr, nullptr);
    }
    if ((length > 0 && converted <= 0) || cutShort) {
        out[0] = '\xFF';
        return 1;
    }
    return static_cast<size_t>(converted);
}

// A UTF-16 file (as Windows PowerShell 5.1 saves one) becomes the UTF-8 the
// lines are read in, line by line so that every line keeps its number. False
// when memory ran out.
bool ConvertFromUtf16(ConfigFile* file, bool bigEndian) {
    const size_t count = (file->size - 2) / 2;
    const bool oddByte = (file->size - 2) % 2 != 0;
    HeapArray<wchar_t> wide(count + 1);
    // Each unit gives at most three bytes; a bad line gives one.
    HeapArray<char> text(3 * count + 2);
    if (wide.Get() == nullptr || text.Get() == nullptr) {
        return false;
    }
    ReadUnits(reinterpret_cast<const unsigned char*>(file->bytes.Get()) + 2, count, bigEndian,
              wide.Get());
    size_t size = 0;
    for (size_t begin = 0; begin <= count;) {
        size_t end = begin;
        while (end < count && !IsLineEnd(wide[end])) ++end;
        size += ConvertLine(wide.Get() + begin, end - begin, oddByte && end == count,
                            text.Get() + size);
        if (end < count) {
            text[size++] = static_cast<char>(wide[end]);
        }
        begin = end + 1;
    }
    file->bytes = std::move(text);
    file->size = size;
    file->utf16 = true;
    return true;
}

// Reads all of the file into `file->bytes`; false with `problem` filled.
bool ReadAllBytes(HANDLE handle, ConfigFile* file, ConfigProblem* problem) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(handle, &size)) {
        SetUnreadable(problem, file->name, GetLastError());
        return false;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kConfigMaxBytes)) {
        SetFileProblem(problem, file->name, L"the file is larger than 64 KiB.");
        return false;
    }
    const DWORD total = static_cast<DWORD>(size.QuadPart);
    file->bytes.Reset(total + 1);
    if (file->bytes.Get() == nullptr) {
        SetFileProblem(problem, file->name, L"there is not enough memory to read the file.");
        return false;
    }
    DWORD done = 0;
    while (done < total) {
        DWORD got = 0;
        if (!ReadFile(handle, file->bytes.Get() + done, total - done, &got, nullptr)) {
            SetUnreadable(problem, file->name, GetLastError());
            return false;
        }
        if (got == 0) {
            break;  // the file shrank while it was read; what was there is the file
        }
        done += got;
    }
    file->size = done;
    return true;
}

// Reads the whole file into `file->bytes`, as UTF-8 without a byte-order
// mark; false with `problem` filled.
bool ReadWhole(HANDLE handle, ConfigFile* file, ConfigProblem* problem) {
    if (!ReadAllBytes(handle, file, problem)) {
        return false;
    }
    char* bytes = file->bytes.Get();
    const TextForm form = FormOf(bytes, file->size);
    bool converted = true;
    if (form == TextForm::kUtf8WithMark) {
        MoveMemory(bytes, bytes + 3, file->size - 3);
        file->size -= 3;
    } else if (form == TextForm::kUtf16Le || form == TextForm::kUtf16Be) {
        converted = ConvertFromUtf16(file, form == TextForm::kUtf16Be);
    }
    // A line decodes to at most one UTF-16 unit per byte.
    if (converted) {
        file->line.Reset(file->size + 1);
    }
    if (file->line.Get() == nullptr) {
        SetFileProblem(problem, file->name, L"there is not enough memory to read the file.");
        return false;
    }
    return true;
}

bool IsCommentStart(wchar_t c, const wchar_t* commentStarts) {
    for (const wchar_t* start = commentStarts; *start != L'\0'; ++start) {
        if (*start == c) {
            return true;
        }
    }
    return false;
}

// Decodes `count` bytes into the line buffer and trims it; false when the
// bytes are not UTF-8.
bool DecodeLine(ConfigFile* file, const char* bytes, size_t count) {
    int units = 0;
    if (count > 0) {
        units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(count),
                                    file->line.Get(), static_cast<int>(count));
        if (units <= 0) {
            return false;
        }
    }
    size_t begin = 0;
    size_t end = static_cast<size_t>(units);
    while (begin < end && IsConfigBlank(file->line[begin])) ++begin;
    while (end > begin && IsConfigBlank(file->line[end - 1])) --end;
    MoveMemory(file->line.Get(), file->line.Get() + begin, (end - begin) * sizeof(wchar_t));
    file->lineLength = end - begin;
    file->line[file->lineLength] = L'\0';
    return true;
}

enum ConfigOpenResult { kConfigMissing, kConfigOpened, kConfigRefused };

// Reads "<installDir>\conf\<name>" whole; kConfigRefused with `problem` filled.
ConfigOpenResult OpenConfigFile(const wchar_t* installDir, const wchar_t* name, ConfigFile* file,
                                ConfigProblem* problem) {
    file->name = name;
    wchar_t path[kPathUnits];
    if (FAILED(StringCchPrintfW(path, ARRAYSIZE(path), L"%ls\\conf\\%ls", installDir, name))) {
        SetUnreadable(problem, name, ERROR_FILENAME_EXCED_RANGE);
        return kConfigRefused;
    }
    // Shared for reading and writing, so an operator's editor may hold it open.
    ScopedFile source(CreateFileW(path, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source.IsValid()) {
        const DWORD error = GetLastError();
        if (IsMissingFileError(error)) {
            return kConfigMissing;
        }
        SetUnreadable(problem, name, error);
        return kConfigRefused;
    }
    return ReadWhole(source.Get(), file, problem) ? kConfigOpened : kConfigRefused;
}

enum ConfigLineResult { kConfigLine, kConfigEnd, kConfigBadLine };

// Moves to the next line that is neither blank nor a comment.
ConfigLineResult NextConfigLine(ConfigFile* file, const wchar_t* commentStarts,
                                ConfigProblem* problem) {
    while (file->next < file->size) {
        const char* begin = file->bytes.Get() + file->next;
        size_t count = 0;
        while (file->next + count < file->size && !IsLineEnd(begin[count])) ++count;
        file->next += count + 1;
        // CR LF is one line end.
        if (file->next < file->size && begin[count] == '\r' && begin[count + 1] == '\n') {
            ++file->next;
        }
        ++file->lineNumber;
        for (size_t i = 0; i < count; ++i) {
            if (begin[i] == '\0') {
                SetLineProblem(problem, *file, L"the line holds a NUL character.");
                return kConfigBadLine;
            }
        }
        if (!DecodeLine(file, begin, count)) {
            SetLineProblem(
                problem, *file,
                file->utf16 ? L"the line is not valid UTF-16." : L"the line is not valid UTF-8.");
            return kConfigBadLine;
        }
        if (file->lineLength > 0 && !IsCommentStart(file->line[0], commentStarts)) {
            return kConfigLine;
        }
    }
    return kConfigEnd;
}

}  // namespace

bool IsConfigBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f';
}

bool ParseNumber(const wchar_t* text, size_t length, DWORD most, DWORD* number) {
    DWORD parsed = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
        const DWORD digit = static_cast<DWORD>(text[i] - L'0');
        // Checked before it grows, so that no number wraps round below `most`.
        if (digit > most || parsed > (most - digit) / 10) {
            return false;
        }
        parsed = parsed * 10 + digit;
    }
    if (length == 0) {
        return false;
    }
    *number = parsed;
    return true;
}

bool ReadConfigLines(const wchar_t* installDir, const ConfigLineReader& reader, void* into,
                     ConfigProblem* problem) {
    ConfigFile file;
    switch (OpenConfigFile(installDir, reader.name, &file, problem)) {
        case kConfigMissing:
            return true;
        case kConfigRefused:
            return false;
        case kConfigOpened:
            break;
    }
    if (reader.begin != nullptr && !reader.begin(file, into)) {
        SetFileProblem(problem, reader.name, L"there is not enough memory to read the file.");
        return false;
    }
    for (;;) {
        switch (NextConfigLine(&file, reader.commentStarts, problem)) {
            case kConfigEnd:
                return true;
            case kConfigBadLine:
                return false;
            case kConfigLine:
                break;
        }
        if (!reader.take(&file, into, problem)) {
            return false;
        }
    }
}

void SetFileProblem(ConfigProblem* problem, const wchar_t* name, const wchar_t* what) {
    StringCchPrintfW(problem->text, kConfigProblemUnits, L"conf\\%ls: %ls", name, what);
}

void SetLineProblem(ConfigProblem* problem, const ConfigFile& file, const wchar_t* what) {
    StringCchPrintfW(problem->text, kConfigProblemUnits, L"conf\\%ls line %u: %ls", file.name,
                     file.lineNumber, what);
}

void QuoteForProblem(const wchar_t* text, size_t length, wchar_t (&quoted)[kConfigQuotedUnits]) {
    const bool cut = length > kConfigQuoteUnits;
    StringCchPrintfW(quoted, kConfigQuotedUnits, L"\"%.*ls%ls\"",
                     static_cast<int>(cut ? kConfigQuoteUnits : length), text, cut ? L"..." : L"");
}

void SetQuotedLineProblem(ConfigProblem* problem, const ConfigFile& file, const wchar_t* after) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(file.line.Get(), file.lineLength, quoted);
    StringCchPrintfW(problem->text, kConfigProblemUnits, L"conf\\%ls line %u: %ls%ls", file.name,
                     file.lineNumber, quoted, after);
}
