#include "jvmhost/runtime_words.h"

#include <string.h>

#include "jvmhost/runtime_format.h"

namespace {

// --- State shared by every thread the runtime prints from ---
// printOrderLock makes the runtime's texts reach the last words and standard
// error in one order, so the last words are the end of what the log shows. A
// hook call holds it around keeping its text and writing it, and waits for
// it at most as long as another thread's write to standard error takes (the
// wait the C runtime's own stream lock would give). Only the hook takes it;
// it is taken before lastWordsLock, never after.
SRWLOCK printOrderLock = SRWLOCK_INIT;
// lastWordsLock guards the two fields below it. It is held only while bytes
// are copied in or out, never across a write, a call into Java or an event,
// so no holder ever waits for anything.
SRWLOCK lastWordsLock = SRWLOCK_INIT;
char lastWords[kRuntimeLastWordsBytes];
size_t lastWordsLength = 0;

const char kCutMark[] = "...\n";

void KeepLastWords(const char* text, size_t length) {
    if (length > kRuntimeLastWordsBytes) {
        text += length - kRuntimeLastWordsBytes;
        length = kRuntimeLastWordsBytes;
    }
    AcquireSRWLockExclusive(&lastWordsLock);
    const size_t room = kRuntimeLastWordsBytes - lastWordsLength;
    if (length > room) {
        const size_t dropped = length - room;
        memmove(lastWords, lastWords + dropped, lastWordsLength - dropped);
        lastWordsLength -= dropped;
    }
    memcpy(lastWords + lastWordsLength, text, length);
    lastWordsLength += length;
    ReleaseSRWLockExclusive(&lastWordsLock);
}

// The handle is looked up at each write: it is whatever the process's standard
// error is by then (logs\stderr.log, or none when that could not be created).
void WriteToStandardError(const char* text, size_t length) {
    HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(standardError, text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

jint JNICALL RuntimeVfprintf(FILE* /*stream*/, const char* format, va_list args) {
    if (format == nullptr) {
        return 0;
    }
    char text[kRuntimeTextBytes];
    bool cut = false;
    size_t length = FormatRuntimeText(text, kRuntimeTextBytes, format, args, &cut);
    if (cut) {
        length = kRuntimeTextBytes - 1;
        memcpy(text + length - (sizeof(kCutMark) - 1), kCutMark, sizeof(kCutMark) - 1);
        text[length] = '\0';
    }
    AcquireSRWLockExclusive(&printOrderLock);
    KeepLastWords(text, length);
    WriteToStandardError(text, length);
    ReleaseSRWLockExclusive(&printOrderLock);
    return static_cast<jint>(length);
}

size_t CopyRuntimeLastWords(wchar_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) {
        return 0;
    }
    out[0] = L'\0';
    char words[kRuntimeLastWordsBytes];
    AcquireSRWLockShared(&lastWordsLock);
    const size_t length = lastWordsLength;
    memcpy(words, lastWords, length);
    ReleaseSRWLockShared(&lastWordsLock);
    if (length == 0) {
        return 0;
    }
    // No ANSI code page turns one byte into more than one UTF-16 unit.
    wchar_t wide[kRuntimeLastWordsUnits];
    const int units = MultiByteToWideChar(CP_ACP, 0, words, static_cast<int>(length), wide,
                                          static_cast<int>(kRuntimeLastWordsBytes));
    if (units <= 0) {
        return 0;
    }
    const size_t kept =
        static_cast<size_t>(units) < capacity - 1 ? static_cast<size_t>(units) : capacity - 1;
    memcpy(out, wide + (static_cast<size_t>(units) - kept), kept * sizeof(wchar_t));
    out[kept] = L'\0';
    return kept;
}

void ReportRuntimeWords(int code, ErrorSink sink) {
    static const wchar_t kIntro[] = L"The Java runtime reported:\n";
    wchar_t message[ARRAYSIZE(kIntro) - 1 + kRuntimeLastWordsUnits];
    if (JoinRuntimeLastWords(kIntro, message, ARRAYSIZE(message)) > 0 && sink != nullptr) {
        sink(code, message);
    }
}

size_t JoinRuntimeLastWords(const wchar_t* intro, wchar_t* out, size_t capacity) {
    const size_t introUnits = static_cast<size_t>(lstrlenW(intro));
    if (out == nullptr || introUnits >= capacity) {
        return 0;
    }
    memcpy(out, intro, introUnits * sizeof(wchar_t));
    out[introUnits] = L'\0';
    wchar_t* words = out + introUnits;
    size_t length = CopyRuntimeLastWords(words, capacity - introUnits);
    // Their last line break ends the text, not the event.
    while (length > 0 && (words[length - 1] == L'\n' || words[length - 1] == L'\r')) {
        words[--length] = L'\0';
    }
    return length;
}
