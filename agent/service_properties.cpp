#include "agent/service_properties.h"

#include "agent/property_keys.h"

#include <strsafe.h>

#include "base/paths.h"

namespace {

const wchar_t kFileName[] = L"service.properties";

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

// Splits "key = value" at its first '='; false when there is none.
bool SplitKeyValue(const ConfigFile& file, Piece* key, Piece* value) {
    const wchar_t* line = file.line.Get();
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

// "<key> must be a whole number of <unit> from <least> to <most>, not "<value>"."
bool RefuseNumber(const PropertyKey& key, const KeyLine& line, DWORD least) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(line.value.text, line.value.length, quoted);
    wchar_t what[kConfigQuotedUnits + 128];
    StringCchPrintfW(what, ARRAYSIZE(what),
                     L"%ls must be a whole number of %ls from %lu to %lu, not %ls.", key.name,
                     key.unit, static_cast<unsigned long>(least),
                     static_cast<unsigned long>(key.most), quoted);
    SetLineProblem(line.problem, line.file, what);
    return false;
}

bool ApplyNumber(const PropertyKey& key, const KeyLine& line) {
    return ParseNumber(line.value.text, line.value.length, key.most, &(line.read->*key.number)) ||
           RefuseNumber(key, line, 0);
}

// A count of which none would make no sense (a file kept): from 1 on.
bool ApplyCount(const PropertyKey& key, const KeyLine& line) {
    DWORD count = 0;
    if (!ParseNumber(line.value.text, line.value.length, key.most, &count) || count == 0) {
        return RefuseNumber(key, line, 1);
    }
    line.read->*key.number = count;
    return true;
}

bool ApplyStartReady(const PropertyKey& key, const KeyLine& line) {
    if (Equals(line.value, L"at-once")) {
        line.read->startReady = kReadyAtOnce;
    } else if (Equals(line.value, L"main-returned")) {
        line.read->startReady = kReadyWhenMainReturned;
    } else {
        return RefuseValue(line, key.name, L"is neither at-once nor main-returned.");
    }
    line.read->startReadyLine = line.file.lineNumber;
    return true;
}

bool ApplyDeadlockWatch(const PropertyKey& key, const KeyLine& line) {
    if (Equals(line.value, L"report")) {
        line.read->deadlockWatch = kWatchReport;
    } else if (Equals(line.value, L"restart")) {
        line.read->deadlockWatch = kWatchRestart;
    } else if (Equals(line.value, L"off")) {
        line.read->deadlockWatch = kWatchOff;
    } else {
        return RefuseValue(line, key.name, L"is none of report, restart and off.");
    }
    return true;
}

bool ApplyMainClass(const PropertyKey& key, const KeyLine& line) {
    if (line.read->mainJarLine != 0) {
        return RefuseBesideOther(line, key.name, L"main.jar", line.read->mainJarLine);
    }
    if (line.value.length >= kMainClassUnits) {
        return RefuseValue(
            line, key.name,
            L"is longer than 255 characters, the longest class name the host takes.");
    }
    if (!IsJavaBinaryName(line.value.text, line.value.length)) {
        return RefuseValue(line, key.name,
                           L"is not a Java class name: write it as in Java source, with its "
                           L"package, for example org.example.App (a nested class as "
                           L"org.example.App$Main).");
    }
    StringCchCopyNW(line.read->mainClass, kMainClassUnits, line.value.text, line.value.length);
    line.read->mainClassLine = line.file.lineNumber;
    return true;
}

// "org.example.App.stop": the class, then the method, split at the last '.'.
bool ApplyStopMethod(const PropertyKey& key, const KeyLine& line) {
    const Piece& value = line.value;
    size_t dot = value.length;
    while (dot > 0 && value.text[dot - 1] != L'.') --dot;
    if (value.length >= kMainClassUnits || dot < 2 || !IsJavaBinaryName(value.text, value.length)) {
        return RefuseValue(line, key.name,
                           L"is not a static method's full name of at most 255 characters: its "
                           L"class with its package, then its name, for example "
                           L"org.example.App.stop.");
    }
    StringCchCopyNW(line.read->stopClass, kMainClassUnits, value.text, dot - 1);
    StringCchCopyNW(line.read->stopMethod, kMainClassUnits, value.text + dot, value.length - dot);
    line.read->stopMethodLine = line.file.lineNumber;
    return true;
}

const PropertyKey kKeys[] = {
    {L"stop.timeout", ApplyNumber, &ServiceProperties::stopTimeoutSeconds, L"seconds",
     kMaxStopTimeoutSeconds},
    {L"main.class", ApplyMainClass, nullptr, nullptr, 0},
    {L"java.home", ApplyJavaHome, nullptr, nullptr, 0},
    {L"start.ready", ApplyStartReady, nullptr, nullptr, 0},
    {L"start.timeout", ApplyNumber, &ServiceProperties::startTimeoutSeconds, L"seconds",
     kMaxStartTimeoutSeconds},
    {L"main.jar", ApplyMainJar, nullptr, nullptr, 0},
    {L"stop.method", ApplyStopMethod, nullptr, nullptr, 0},
    {L"console.max-size", ApplyNumber, &ServiceProperties::consoleMaxMiB, L"MiB",
     kMaxConsoleMaxMiB},
    {L"console.keep", ApplyCount, &ServiceProperties::consoleKeep, L"files", kMaxConsoleKeep},
    {L"watch.deadlock", ApplyDeadlockWatch, nullptr, nullptr, 0},
    {L"watch.interval", ApplyNumber, &ServiceProperties::watchIntervalSeconds, L"seconds",
     kMaxWatchIntervalSeconds},
};

const PropertyKey* FindKey(const Piece& key) {
    size_t i = 0;
    while (i < ARRAYSIZE(kKeys) && !Equals(key, kKeys[i].name)) ++i;
    return i < ARRAYSIZE(kKeys) ? &kKeys[i] : nullptr;
}

void SetUnknownKey(ConfigProblem* problem, const ConfigFile& file, const Piece& key) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(key.text, key.length, quoted);
    // Room for the quoted key and every key's name.
    wchar_t what[kConfigQuotedUnits + 512];
    StringCchPrintfW(what, ARRAYSIZE(what), L"unknown key %ls; the keys are", quoted);
    for (size_t i = 0; i < ARRAYSIZE(kKeys); ++i) {
        StringCchCatW(what, ARRAYSIZE(what), i == 0 ? L" " : L", ");
        StringCchCatW(what, ARRAYSIZE(what), kKeys[i].name);
    }
    StringCchCatW(what, ARRAYSIZE(what), L".");
    SetLineProblem(problem, file, what);
}

void SetSetTwice(ConfigProblem* problem, const ConfigFile& file, const wchar_t* key,
                 unsigned firstLine) {
    wchar_t what[128];
    StringCchPrintfW(what, ARRAYSIZE(what), L"%ls is set a second time (first on line %u).", key,
                     firstLine);
    SetLineProblem(problem, file, what);
}

struct PropertiesBeingRead {
    const wchar_t* installDir;             // weak
    ServiceProperties* read;               // weak
    unsigned lineOfKey[ARRAYSIZE(kKeys)];  // where each key was set; 0: not yet
};

bool TakeProperty(ConfigFile* file, void* into, ConfigProblem* problem) {
    PropertiesBeingRead* reading = static_cast<PropertiesBeingRead*>(into);
    Piece key = {};
    Piece value = {};
    if (!SplitKeyValue(*file, &key, &value)) {
        SetQuotedLineProblem(problem, *file, L" is not a key=value line.");
        return false;
    }
    const PropertyKey* known = FindKey(key);
    if (known == nullptr) {
        SetUnknownKey(problem, *file, key);
        return false;
    }
    // A key given twice is refused rather than one of them silently winning:
    // an operator who edits one line may not have seen the other.
    unsigned& firstLine = reading->lineOfKey[known - kKeys];
    if (firstLine != 0) {
        SetSetTwice(problem, *file, known->name, firstLine);
        return false;
    }
    firstLine = file->lineNumber;
    return known->apply(*known, KeyLine{value, reading->installDir, reading->read, *file, problem});
}

// '#' and '!' begin a comment, as in Java's properties files.
const ConfigLineReader kPropertiesReader = {kFileName, L"#!", nullptr, TakeProperty};

// Java takes the letters of every script in its names. Outside ASCII only the
// blanks are refused here: asking the system's character tables would load
// them into every start, and the VM names an odd class itself.
bool IsUnicodeBlank(wchar_t c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

bool IsIdentifierPart(wchar_t c, bool first) {
    if (c == L'_' || c == L'$' || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')) {
        return true;
    }
    if (c >= L'0' && c <= L'9') {
        return !first;
    }
    return c >= 0x80 && !IsUnicodeBlank(c);
}

}  // namespace

// "<key> "<value>" <after>" as the line's problem.
bool RefuseValue(const KeyLine& line, const wchar_t* key, const wchar_t* after) {
    wchar_t quoted[kConfigQuotedUnits];
    QuoteForProblem(line.value.text, line.value.length, quoted);
    wchar_t what[kConfigQuotedUnits + 256];
    StringCchPrintfW(what, ARRAYSIZE(what), L"%ls %ls %ls", key, quoted, after);
    SetLineProblem(line.problem, line.file, what);
    return false;
}

// main.class and main.jar name the application each on its own.
bool RefuseBesideOther(const KeyLine& line, const wchar_t* key, const wchar_t* other,
                       unsigned otherLine) {
    wchar_t what[256];
    StringCchPrintfW(what, ARRAYSIZE(what),
                     L"%ls cannot be used with %ls (line %u): a jar names its own main class, in "
                     L"its manifest's Main-Class. Keep one of the two.",
                     key, other, otherLine);
    SetLineProblem(line.problem, line.file, what);
    return false;
}

ServiceProperties::ServiceProperties() {
    StringCchCopyW(mainClass, kMainClassUnits, kDefaultMainClass);
}

bool ReadServiceProperties(const wchar_t* installDir, ServiceProperties* properties,
                           ConfigProblem* problem) {
    if (properties->javaHome[0] == L'\0' &&
        !ResolveJavaHome(installDir, kDefaultJavaHome, ARRAYSIZE(kDefaultJavaHome) - 1,
                         properties->javaHome)) {
        SetFileProblem(problem, kFileName,
                       L"the install directory's path is too long for the host.");
        return false;
    }
    // Applied only when the whole file is good: a half-read file is never used.
    ServiceProperties read = *properties;
    PropertiesBeingRead reading = {installDir, &read, {}};
    if (!ReadConfigLines(installDir, kPropertiesReader, &reading, problem)) {
        return false;
    }
    *properties = read;
    return true;
}

bool IsJavaBinaryName(const wchar_t* name, size_t length) {
    bool atIdentifierStart = true;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == L'.') {
            if (atIdentifierStart) {
                return false;
            }
            atIdentifierStart = true;
            continue;
        }
        if (!IsIdentifierPart(name[i], atIdentifierStart)) {
            return false;
        }
        atIdentifierStart = false;
    }
    return length > 0 && !atIdentifierStart;
}
