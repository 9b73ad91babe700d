#include "jvmhost/runtime_version.h"

#include <string.h>

#include <strsafe.h>

#include "base/paths.h"
#include "base/scoped.h"

namespace {

// Java's int: Runtime.Version reads each number with Integer.parseInt.
constexpr DWORD kMostVersionNumber = 0x7FFFFFFF;
// The release file's first lines hold the versions; its list of modules is long.
constexpr DWORD kReleaseReadBytes = 8192;

struct Cursor {
    const char* at;
    const char* end;

    bool Next(char c) const { return at < end && *at == c; }
    bool NextIsDigit() const { return at < end && *at >= '0' && *at <= '9'; }
};

bool ReadDecimal(Cursor* cursor, DWORD* value) {
    if (!cursor->NextIsDigit()) {
        return false;
    }
    DWORD parsed = 0;
    for (; cursor->NextIsDigit(); ++cursor->at) {
        if (parsed > kMostVersionNumber / 10) {
            return false;
        }
        parsed = parsed * 10 + static_cast<DWORD>(*cursor->at - '0');
    }
    *value = parsed;
    return parsed <= kMostVersionNumber;
}

bool IsWordChar(char c, const char* punctuation) {
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alphanumeric || (c != '\0' && strchr(punctuation, c) != nullptr);
}

// A non-empty run of letters, digits and `punctuation` into `word`.
bool ReadWord(Cursor* cursor, const char* punctuation, char (&word)[kVersionTextUnits]) {
    size_t length = 0;
    for (; cursor->at < cursor->end && IsWordChar(*cursor->at, punctuation); ++cursor->at) {
        if (length + 1 == kVersionTextUnits) {
            return false;
        }
        word[length++] = *cursor->at;
    }
    word[length] = '\0';
    return length > 0;
}

// JDK 8 and before: "1.8.0_402" is update 402 of feature 8.
void TakeLegacyForm(Cursor* cursor, RuntimeVersion* version, size_t* given) {
    DWORD update = 0;
    bool hasUpdate = false;
    if (cursor->Next('_')) {
        ++cursor->at;
        hasUpdate = ReadDecimal(cursor, &update);
    }
    version->count = 0;
    for (size_t i = 1; i < *given; ++i) version->numbers[version->count++] = version->numbers[i];
    if (hasUpdate) {
        while (version->count < 2) version->numbers[version->count++] = 0;
        version->numbers[version->count++] = update;
    }
    *given = version->count;
}

// The numbers joined by '.', with `given` set to how many were written;
// `legacy` tells a JDK 8 form, read as its feature's.
bool ReadVersionNumber(Cursor* cursor, RuntimeVersion* version, size_t* given, bool* legacy) {
    version->count = 0;
    for (;;) {
        if (version->count == kVersionNumbers ||
            !ReadDecimal(cursor, &version->numbers[version->count++])) {
            return false;
        }
        if (!cursor->Next('.')) break;
        ++cursor->at;
    }
    *given = version->count;
    *legacy = version->numbers[0] == 1 && version->count >= 2;
    if (*legacy) {
        TakeLegacyForm(cursor, version, given);
    }
    while (version->count > 0 && version->numbers[version->count - 1] == 0) --version->count;
    return version->count > 0;
}

// "<mark><word>" when the text goes on with `mark`; false when its word is
// missing or too long.
bool ReadMarkedWord(Cursor* cursor, char mark, const char* punctuation,
                    char (&word)[kVersionTextUnits]) {
    if (!cursor->Next(mark)) {
        return true;
    }
    ++cursor->at;
    return ReadWord(cursor, punctuation, word);
}

void KeepText(const char* text, size_t length, RuntimeVersion* version) {
    size_t i = 0;
    for (; i < length && i + 1 < kVersionTextUnits; ++i) {
        version->text[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    version->text[i] = L'\0';
}

int Sign(long long difference) {
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

int CompareNumbers(const RuntimeVersion& a, const RuntimeVersion& b) {
    for (size_t i = 0; i < a.count && i < b.count; ++i) {
        if (a.numbers[i] != b.numbers[i]) {
            return a.numbers[i] < b.numbers[i] ? -1 : 1;
        }
    }
    return Sign(static_cast<long long>(a.count) - static_cast<long long>(b.count));
}

bool IsDigits(const char* word) {
    for (; *word != '\0'; ++word) {
        if (*word < '0' || *word > '9') {
            return false;
        }
    }
    return true;
}

// Two words of digits as the numbers they are, however long (Java's BigInteger).
int CompareDigitWords(const char* a, const char* b) {
    while (a[0] == '0' && a[1] != '\0') ++a;
    while (b[0] == '0' && b[1] != '\0') ++b;
    const int byLength =
        Sign(static_cast<long long>(strlen(a)) - static_cast<long long>(strlen(b)));
    return byLength != 0 ? byLength : Sign(strcmp(a, b));
}

int ComparePre(const char* a, const char* b) {
    if (a[0] == '\0' || b[0] == '\0') {
        return (a[0] == '\0') - (b[0] == '\0');
    }
    const bool aDigits = IsDigits(a);
    if (aDigits != IsDigits(b)) {
        return aDigits ? -1 : 1;
    }
    return aDigits ? CompareDigitWords(a, b) : Sign(strcmp(a, b));
}

int CompareBuild(const RuntimeVersion& a, const RuntimeVersion& b) {
    if (a.hasBuild != b.hasBuild) {
        return a.hasBuild ? 1 : -1;
    }
    return a.build == b.build ? 0 : a.build < b.build ? -1 : 1;
}

int CompareOptional(const char* a, const char* b) {
    if (a[0] == '\0' || b[0] == '\0') {
        return (a[0] != '\0') - (b[0] != '\0');
    }
    return Sign(strcmp(a, b));
}

// The value of "<key>=" in the release file's text, without its quotes.
bool FindReleaseValue(const char* text, size_t size, const char* key, Cursor* value) {
    const size_t keyLength = strlen(key);
    for (size_t line = 0; line < size;) {
        size_t end = line;
        while (end < size && text[end] != '\n' && text[end] != '\r') ++end;
        if (end - line > keyLength && memcmp(text + line, key, keyLength) == 0 &&
            text[line + keyLength] == '=') {
            *value = {text + line + keyLength + 1, text + end};
            const bool quoted =
                value->end - value->at >= 2 && *value->at == '"' && value->end[-1] == '"';
            if (quoted) *value = {value->at + 1, value->end - 1};
            return true;
        }
        line = end + 1;
    }
    return false;
}

bool ParseValue(const Cursor& value, RuntimeVersion* version) {
    return ParseRuntimeVersion(value.at, static_cast<size_t>(value.end - value.at), version);
}

}  // namespace

bool ParseRuntimeVersion(const char* text, size_t length, RuntimeVersion* version) {
    *version = {};
    Cursor cursor = {text, text + length};
    size_t given = 0;
    bool legacy = false;
    if (!ReadVersionNumber(&cursor, version, &given, &legacy)) {
        return false;
    }
    KeepText(text, length, version);
    if (legacy) {
        return true;  // what follows ("-b06") is the vendor's
    }
    if (!ReadMarkedWord(&cursor, '-', "", version->pre)) {
        return false;
    }
    if (cursor.Next('+')) {
        ++cursor.at;
        version->hasBuild = cursor.NextIsDigit();
        if (version->hasBuild && !ReadDecimal(&cursor, &version->build)) {
            return false;
        }
    }
    return ReadMarkedWord(&cursor, '-', "-.", version->optional) && cursor.at == cursor.end;
}

int CompareRuntimeVersions(const RuntimeVersion& a, const RuntimeVersion& b) {
    int order = CompareNumbers(a, b);
    if (order == 0) order = ComparePre(a.pre, b.pre);
    if (order == 0) order = CompareBuild(a, b);
    return order != 0 ? order : CompareOptional(a.optional, b.optional);
}

bool ReadReleaseVersion(const wchar_t* jreDir, RuntimeVersion* version) {
    wchar_t path[kPathUnits];
    if (!JoinPath(path, jreDir, L"release")) {
        return false;
    }
    ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char text[kReleaseReadBytes];
    DWORD size = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), text, sizeof(text), &size, nullptr)) {
        return false;
    }
    Cursor value = {};
    if (!FindReleaseValue(text, size, "JAVA_VERSION", &value) || !ParseValue(value, version)) {
        return false;
    }
    RuntimeVersion full;
    if (FindReleaseValue(text, size, "JAVA_RUNTIME_VERSION", &value) && ParseValue(value, &full) &&
        CompareNumbers(full, *version) == 0) {
        *version = full;
    }
    return true;
}

bool ParseVersionRule(const wchar_t* text, size_t length, VersionRule* rule) {
    char narrow[kVersionTextUnits];
    if (length >= kVersionTextUnits) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            if (text[i] != L'.' && text[i] != L'+') return false;
        }
        narrow[i] = static_cast<char>(text[i]);
    }
    VersionRule read = {};
    Cursor cursor = {narrow, narrow + length};
    bool legacy = false;
    if (!ReadVersionNumber(&cursor, &read.least, &read.given, &legacy) ||
        read.least.numbers[0] == 0) {
        return false;
    }
    if (cursor.Next('+')) {
        read.orNewer = true;
        ++cursor.at;
    }
    if (cursor.at != cursor.end) {
        return false;
    }
    KeepText(narrow, length, &read.least);
    *rule = read;
    return true;
}

bool RuleAllows(const VersionRule& rule, const RuntimeVersion& version) {
    if (rule.orNewer) {
        return CompareRuntimeVersions(version, rule.least) >= 0;
    }
    for (size_t i = 0; i < rule.given; ++i) {
        const DWORD wanted = i < rule.least.count ? rule.least.numbers[i] : 0;
        if ((i < version.count ? version.numbers[i] : 0) != wanted) {
            return false;
        }
    }
    return true;
}
