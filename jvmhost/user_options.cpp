#include "jvmhost/user_options.h"

#include <stdint.h>
#include <string.h>
#include <strsafe.h>

#include "jvmhost/launch_options.h"

namespace {

// Options that the Java launcher also takes with their value as a separate
// word; the Invocation API takes only "name=value".
const wchar_t* const kOptionsWithValue[] = {L"--add-opens",
                                            L"--add-exports",
                                            L"--add-reads",
                                            L"--add-modules",
                                            L"--patch-module",
                                            L"--limit-modules",
                                            L"--enable-native-access",
                                            L"--upgrade-module-path",
                                            L"--module-path"};

// The host makes the class path itself (lib\'s jars, or main.jar's jar):
// these set another.
const wchar_t* const kClassPathOptions[] = {L"-cp", L"-classpath", L"--class-path"};
const wchar_t kClassPathProperty[] = L"-Djava.class.path";

const wchar_t kNotAnOption[] = L" is not a JVM option; JVM options begin with '-'.";
const wchar_t kSetsClassPath[] =
    L" sets the class path, which the host makes itself: the jars in lib\\, or the jar of "
    L"main.jar; put the jar in lib\\ instead.";
const wchar_t kJarOption[] =
    L" cannot be used: name the jar with main.jar in conf\\service.properties instead.";
const wchar_t kNeedsValue[] = L" needs a value, after a blank or after '='.";
const wchar_t kNotInCodePage[] =
    L" holds characters that the ANSI code page cannot hold, so the VM would read another option.";

// The option's name: the line up to its first blank or '='.
size_t NameLength(const wchar_t* line, size_t length) {
    size_t n = 0;
    while (n < length && line[n] != L'=' && !IsConfigBlank(line[n])) ++n;
    return n;
}

bool NameIs(const wchar_t* line, size_t nameLength, const wchar_t* name) {
    return static_cast<size_t>(lstrlenW(name)) == nameLength &&
           CompareStringOrdinal(line, static_cast<int>(nameLength), name,
                                static_cast<int>(nameLength), FALSE) == CSTR_EQUAL;
}

bool NameIsOneOf(const wchar_t* line, size_t nameLength, const wchar_t* const* names,
                 size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (NameIs(line, nameLength, names[i])) {
            return true;
        }
    }
    return false;
}

// "--add-opens  a=b" becomes "--add-opens=a=b"; the value keeps its own blanks.
void JoinNameAndValue(wchar_t* line, size_t* length, size_t nameLength) {
    size_t value = nameLength;
    while (value < *length && IsConfigBlank(line[value])) ++value;
    line[nameLength] = L'=';
    MoveMemory(line + nameLength + 1, line + value, (*length - value) * sizeof(wchar_t));
    *length = nameLength + 1 + (*length - value);
    line[*length] = L'\0';
}

bool Reserve(const ConfigFile& file, void* into) {
    UserOptions* options = static_cast<UserOptions*>(into);
    // A UTF-16 unit of a line came from at least one byte of the file, and
    // becomes at most three bytes in any ANSI code page; each option adds its NUL.
    options->capacity = 4 * file.size + 1;
    options->texts.Reset(options->capacity);
    options->starts.Reset(kMaxUserOptions);
    return options->texts.Get() != nullptr && options->starts.Get() != nullptr;
}

// Appends the line as the next option; false when the code page cannot hold it.
bool AppendConverted(UserOptions* options, const wchar_t* line, size_t length) {
    bool lossy = false;
    char* out = options->texts.Get() + options->used;
    const size_t room = options->capacity - options->used;
    const int written = ConvertToAnsi(line, length, out, room, &lossy);
    if (written <= 0 || lossy || static_cast<size_t>(written) >= room) {
        return false;
    }
    out[written] = '\0';
    options->starts[options->count++] = options->used;
    options->used += static_cast<size_t>(written) + 1;
    return true;
}

bool TakeOption(ConfigFile* file, void* into, ConfigProblem* problem) {
    UserOptions* options = static_cast<UserOptions*>(into);
    if (options->count == kMaxUserOptions) {
        SetLineProblem(problem, *file,
                       L"the file holds more than 1024 options, the most the host passes.");
        return false;
    }
    // A refused line is left as the operator wrote it, so the problem quotes it.
    const wchar_t* refusal = NormaliseUserOption(file->line.Get(), &file->lineLength);
    if (refusal == nullptr && !AppendConverted(options, file->line.Get(), file->lineLength)) {
        refusal = kNotInCodePage;
    }
    if (refusal != nullptr) {
        SetQuotedLineProblem(problem, *file, refusal);
        return false;
    }
    return true;
}

const ConfigLineReader kUserOptionsReader = {kUserOptionsFile, L"#", Reserve, TakeOption};

}  // namespace

const wchar_t* NormaliseUserOption(wchar_t* line, size_t* length) {
    if (*length == 0 || line[0] != L'-') {
        return kNotAnOption;
    }
    const size_t nameLength = NameLength(line, *length);
    if (NameIsOneOf(line, nameLength, kClassPathOptions, ARRAYSIZE(kClassPathOptions)) ||
        NameIs(line, nameLength, kClassPathProperty)) {
        return kSetsClassPath;
    }
    if (NameIs(line, nameLength, L"-jar")) {
        return kJarOption;
    }
    bool lossy = false;
    if (ConvertToAnsi(line, *length, nullptr, 0, &lossy) <= 0 || lossy) {
        return kNotInCodePage;
    }
    if (NameIsOneOf(line, nameLength, kOptionsWithValue, ARRAYSIZE(kOptionsWithValue))) {
        const bool joined = nameLength < *length && line[nameLength] == L'=';
        if (nameLength == *length || (joined && nameLength + 1 == *length)) {
            return kNeedsValue;
        }
        if (!joined) {
            JoinNameAndValue(line, length, nameLength);
        }
    }
    return nullptr;
}

bool ReadUserOptions(const wchar_t* installDir, UserOptions* options, ConfigProblem* problem) {
    return ReadConfigLines(installDir, kUserOptionsReader, options, problem);
}

namespace {

// The launcher's minimum: a smaller stack would overflow before the VM could say so.
constexpr unsigned long long kLeastStackBytes = 64ULL * 1024;

// "<digits>[kKmMgGtT]" scaled to bytes; 0 for anything else or too large.
unsigned long long ParseSize(const char* text, unsigned long long unit) {
    unsigned long long value = 0;
    const char* at = text;
    for (; *at >= '0' && *at <= '9' && value < (1ULL << 50); ++at) {
        value = value * 10 + static_cast<unsigned>(*at - '0');
    }
    static const char kScales[] = "kmgt";
    for (int shift = 0; shift < 4 && at != text && *at != '\0'; ++shift) {
        if ((*at | 0x20) == kScales[shift]) {
            unit = 1ULL << (10 * (shift + 1));
            ++at;
        }
    }
    return at == text || *at != '\0' || value > (1ULL << 40) / unit ? 0 : value * unit;
}

}  // namespace

size_t ThreadStackBytes(const UserOptions& options) {
    unsigned long long bytes = 0;
    for (size_t i = 0; i < options.count; ++i) {
        const char* option = options.Option(i);
        if (strncmp(option, "-Xss", 4) == 0) {
            bytes = ParseSize(option + 4, 1);
        } else if (strncmp(option, "-XX:ThreadStackSize=", 20) == 0) {
            bytes = ParseSize(option + 20, 1024);
        }
    }
    if (bytes > 0 && bytes < kLeastStackBytes) bytes = kLeastStackBytes;
    return bytes > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(bytes);
}
