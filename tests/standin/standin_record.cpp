// Install directory, record writer and call accounting of the stand-in Java runtime.
#include "standin_common.h"

#include <string.h>

#include <iterator>

#include "standin_files.h"

namespace standin {
namespace {

constexpr size_t kPathCapacity = 1024;
// Room kept at the end of a line for the truncation marker.
constexpr char kTruncatedMarker[] = " [truncated]";
constexpr size_t kLineUsable = kLineCapacity - sizeof(kTruncatedMarker);

struct ModuleState {
    // Guards seq and writeBuffer, and makes each line one WriteFile in sequence order.
    CRITICAL_SECTION recordLock;
    bool started;
    unsigned long long seq;
    char writeBuffer[kLineCapacity + 48];
    // Written once by StartModule under the loader lock, read-only afterwards.
    wchar_t installDir[kPathCapacity];
    volatile LONG callsInFlight;
    volatile LONG faultsOnly;
};

ModuleState g_module;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

void PutChar(Line* line, char c) {
    if (line->length >= kLineUsable) {
        line->truncated = true;
        return;
    }
    line->text[line->length++] = c;
}

void PutEscaped(Line* line, const char* text, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            PutChar(line, '\\');
            PutChar(line, 'x');
            PutChar(line, kHex[c >> 4]);
            PutChar(line, kHex[c & 0xf]);
        } else {
            PutChar(line, static_cast<char>(c));
        }
    }
}

size_t FormatUnsigned(unsigned long long value, char* out) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

}  // namespace

void LineStart(Line* line, const char* event) {
    line->length = 0;
    line->truncated = false;
    LineAppend(line, event);
}

void LineWord(Line* line, const char* text) {
    PutChar(line, ' ');
    LineAppend(line, text);
}

void LineWordN(Line* line, const char* text, size_t count) {
    PutChar(line, ' ');
    PutEscaped(line, text, count);
}

void LineAppend(Line* line, const char* text) {
    if (text == nullptr) text = "(null)";
    PutEscaped(line, text, strlen(text));
}

void LineSigned(Line* line, long long value) {
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
        PutChar(line, '-');
        magnitude = 0 - magnitude;
    }
    LineUnsigned(line, magnitude);
}

void LineUnsigned(Line* line, unsigned long long value) {
    char digits[24];
    size_t n = FormatUnsigned(value, digits);
    for (size_t i = 0; i < n; ++i) PutChar(line, digits[i]);
}

void LineHex32(Line* line, unsigned long value) {
    static const char kHex[] = "0123456789abcdef";
    PutChar(line, '0');
    PutChar(line, 'x');
    for (int shift = 28; shift >= 0; shift -= 4) PutChar(line, kHex[(value >> shift) & 0xf]);
}

void SetRecordFaultsOnly(bool faultsOnly) {
    InterlockedExchange(&g_module.faultsOnly, faultsOnly ? 1 : 0);
}

void WriteLine(const Line& line) {
    if (!g_module.started || g_module.installDir[0] == L'\0') return;
    if (g_module.faultsOnly != 0 && (line.length < 5 || memcmp(line.text, "FAULT", 5) != 0)) return;
    wchar_t path[kPathCapacity];
    if (!InstallFilePath(kStandinRecordFile, L"", path, std::size(path))) return;

    EnterCriticalSection(&g_module.recordLock);
    char* out = g_module.writeBuffer;
    size_t n = FormatUnsigned(++g_module.seq, out);
    out[n++] = ' ';
    n += FormatUnsigned(GetCurrentThreadId(), out + n);
    out[n++] = ' ';
    memcpy(out + n, line.text, line.length);
    n += line.length;
    if (line.truncated) {
        memcpy(out + n, kTruncatedMarker, sizeof(kTruncatedMarker) - 1);
        n += sizeof(kTruncatedMarker) - 1;
    }
    out[n++] = '\n';
    // Opened per line and append-only, so a test may read, rename or delete the record between
    // events, and two processes sharing an install directory still append whole lines.
    HANDLE file =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, out, static_cast<DWORD>(n), &written, nullptr);
        CloseHandle(file);
    }
    LeaveCriticalSection(&g_module.recordLock);
}

void Record(const char* event, const char* details) {
    Line line;
    LineStart(&line, event);
    if (details != nullptr) LineWord(&line, details);
    WriteLine(line);
}

void RecordFault(const char* text, const char* where) {
    Line line;
    LineStart(&line, "FAULT");
    LineWord(&line, text);
    if (where != nullptr) {
        LineWord(&line, "in");
        LineWord(&line, where);
    }
    WriteLine(line);
}

void StartModule(HMODULE self) {
    InitializeCriticalSection(&g_module.recordLock);
    g_module.seq = 0;
    g_module.callsInFlight = 0;
    g_module.installDir[0] = L'\0';
    g_module.started = true;

    wchar_t path[kPathCapacity];
    DWORD length = GetModuleFileNameW(self, path, static_cast<DWORD>(std::size(path)));
    // A truncated path comes back as the full buffer size; nothing sensible can be derived
    // from it, so the stand-in then runs without scenario and record.
    if (length == 0 || length >= std::size(path)) return;

    size_t cut = length;
    size_t separatorsSeen = 0;
    size_t lastSeparator = length;
    for (size_t i = length; i > 0 && separatorsSeen < 4; --i) {
        if (IsSeparator(path[i - 1])) {
            if (separatorsSeen == 0) lastSeparator = i - 1;
            ++separatorsSeen;
            cut = i - 1;
        }
    }
    // A DLL that sits outside a jre\bin\client layout keeps its files beside itself.
    if (separatorsSeen < 4) cut = lastSeparator;
    if (cut == length) return;
    memcpy(g_module.installDir, path, cut * sizeof(wchar_t));
    g_module.installDir[cut] = L'\0';
}

void StopModule() {
    if (!g_module.started) return;
    g_module.started = false;
    DeleteCriticalSection(&g_module.recordLock);
}

bool InstallFilePath(const wchar_t* name, const wchar_t* suffix, wchar_t* out, size_t capacity) {
    size_t dirLength = wcslen(g_module.installDir);
    size_t nameLength = wcslen(name);
    size_t suffixLength = wcslen(suffix);
    if (dirLength == 0) return false;
    size_t needed = dirLength + 1 + nameLength + suffixLength + 1;
    if (needed > capacity) return false;
    wchar_t* p = out;
    memcpy(p, g_module.installDir, dirLength * sizeof(wchar_t));
    p += dirLength;
    *p++ = L'\\';
    memcpy(p, name, nameLength * sizeof(wchar_t));
    p += nameLength;
    memcpy(p, suffix, suffixLength * sizeof(wchar_t));
    p += suffixLength;
    *p = L'\0';
    return true;
}

void EnterCall() {
    InterlockedIncrement(&g_module.callsInFlight);
}

void LeaveCall() {
    InterlockedDecrement(&g_module.callsInFlight);
}

long CallsInFlight() {
    return InterlockedCompareExchange(&g_module.callsInFlight, 0, 0);
}

}  // namespace standin
