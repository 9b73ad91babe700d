#include "jvmhost/environment.h"

#include <strsafe.h>

namespace {

const wchar_t kEnvironmentFile[] = L"environment";
// The longest value Windows keeps in an environment, with its terminator.
constexpr DWORD kMaxValueUnits = 32767;

struct VariablesBeingRead {
    EnvironmentVariables* variables;  // weak
    size_t room;                      // units of `texts`
    size_t used;
};

// A line becomes its name and its value, each with a terminator in place of
// the '=' and the line's end: at most one unit more than the line, whose
// units each came from at least one byte of the file; every line holds at
// least one byte and its line end.
bool MakeRoom(const ConfigFile& file, void* into) {
    VariablesBeingRead* read = static_cast<VariablesBeingRead*>(into);
    EnvironmentVariables* variables = read->variables;
    read->room = 2 * file.size + 2;
    variables->texts.Reset(read->room);
    variables->names.Reset(file.size + 1);
    variables->lines.Reset(file.size + 1);
    return variables->texts.Get() != nullptr && variables->names.Get() != nullptr &&
           variables->lines.Get() != nullptr;
}

// The name's problem, or null when it can be set.
const wchar_t* CheckName(const wchar_t* name, size_t length) {
    if (length == 0) {
        return L" has no name before '='.";
    }
    for (size_t i = 0; i < length; ++i) {
        if (IsConfigBlank(name[i])) {
            return L" has a blank in the name before '='.";
        }
    }
    return nullptr;
}

void Append(VariablesBeingRead* read, const wchar_t* text, size_t length) {
    wchar_t* out = read->variables->texts.Get() + read->used;
    CopyMemory(out, text, length * sizeof(wchar_t));
    out[length] = L'\0';
    read->used += length + 1;
}

bool TakeVariable(ConfigFile* file, void* into, ConfigProblem* problem) {
    VariablesBeingRead* read = static_cast<VariablesBeingRead*>(into);
    const wchar_t* line = file->line.Get();
    size_t equals = 0;
    while (equals < file->lineLength && line[equals] != L'=') ++equals;
    if (equals == file->lineLength) {
        SetQuotedLineProblem(problem, *file, L" is not a NAME=value line.");
        return false;
    }
    size_t nameEnd = equals;
    while (nameEnd > 0 && IsConfigBlank(line[nameEnd - 1])) --nameEnd;
    const wchar_t* refusal = CheckName(line, nameEnd);
    if (refusal != nullptr) {
        SetQuotedLineProblem(problem, *file, refusal);
        return false;
    }
    size_t value = equals + 1;
    while (value < file->lineLength && IsConfigBlank(line[value])) ++value;
    EnvironmentVariables* variables = read->variables;
    variables->names[variables->count] = read->used;
    variables->lines[variables->count++] = file->lineNumber;
    Append(read, line, nameEnd);
    Append(read, line + value, file->lineLength - value);
    return true;
}

const ConfigLineReader kEnvironmentReader = {kEnvironmentFile, L"#", MakeRoom, TakeVariable};

void SetTooLong(ConfigProblem* problem, const EnvironmentVariables& variables, size_t index) {
    wchar_t what[kConfigQuotedUnits + 160];
    wchar_t quoted[kConfigQuotedUnits];
    const wchar_t* name = variables.Name(index);
    QuoteForProblem(name, static_cast<size_t>(lstrlenW(name)), quoted);
    StringCchPrintfW(what, ARRAYSIZE(what),
                     L"the value of %ls is longer than 32766 characters once expanded, the most "
                     L"Windows keeps.",
                     quoted);
    StringCchPrintfW(problem->text, kConfigProblemUnits, L"conf\\%ls line %u: %ls",
                     kEnvironmentFile, variables.lines[index], what);
}

}  // namespace

bool ReadEnvironment(const wchar_t* installDir, EnvironmentVariables* variables,
                     ConfigProblem* problem) {
    VariablesBeingRead read = {variables, 0, 0};
    if (ReadConfigLines(installDir, kEnvironmentReader, &read, problem)) {
        return true;
    }
    variables->count = 0;
    return false;
}

bool ApplyEnvironment(const EnvironmentVariables& variables, ConfigProblem* problem) {
    HeapArray<wchar_t> expanded(kMaxValueUnits);
    if (variables.count > 0 && expanded.Get() == nullptr) {
        SetFileProblem(problem, kEnvironmentFile, L"there is not enough memory to read the file.");
        return false;
    }
    for (size_t i = 0; i < variables.count; ++i) {
        const wchar_t* value = variables.Value(i);
        if (value[0] == L'\0') {
            SetEnvironmentVariableW(variables.Name(i), nullptr);
            continue;
        }
        // Checked before expanding: Wine cuts a longer source to the buffer
        // and reports no overflow. The count includes the terminator; past
        // the buffer it is the size needed.
        const bool fits = static_cast<size_t>(lstrlenW(value)) < kMaxValueUnits;
        const DWORD units =
            fits ? ExpandEnvironmentStringsW(value, expanded.Get(), kMaxValueUnits) : 0;
        if (units == 0 || units > kMaxValueUnits ||
            !SetEnvironmentVariableW(variables.Name(i), expanded.Get())) {
            SetTooLong(problem, variables, i);
            return false;
        }
    }
    return true;
}
