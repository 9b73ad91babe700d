#include "jvmhost/main_args.h"

namespace {

const wchar_t kFileName[] = L"main.args";
// Only '#' begins a comment: an argument may well begin with '!'.
const wchar_t kCommentStarts[] = L"#";

// Copies every line of `file` into `arguments`, whose room holds `units`;
// false with `problem` filled, and no argument kept, at a bad line.
bool ReadLines(ConfigFile* file, MainArguments* arguments, size_t units, ConfigProblem* problem) {
    size_t used = 0;
    for (;;) {
        const ConfigLineResult result = NextConfigLine(file, kCommentStarts, problem);
        if (result == kConfigEnd) {
            return true;
        }
        if (result == kConfigBadLine || used + file->lineLength + 1 > units) {
            if (result != kConfigBadLine) {
                SetFileProblem(problem, kFileName, L"there is not enough memory to read the file.");
            }
            arguments->count = 0;
            return false;
        }
        arguments->starts[arguments->count++] = used;
        CopyMemory(arguments->texts.Get() + used, file->line.Get(),
                   file->lineLength * sizeof(wchar_t));
        used += file->lineLength;
        arguments->texts[used++] = L'\0';
    }
}

}  // namespace

bool ReadMainArguments(const wchar_t* installDir, MainArguments* arguments,
                       ConfigProblem* problem) {
    ConfigFile file;
    const ConfigOpenResult opened = OpenConfigFile(installDir, kFileName, &file, problem);
    if (opened == kConfigMissing) {
        return true;
    }
    if (opened == kConfigRefused) {
        return false;
    }
    arguments->filePresent = true;
    // Every argument ends a line of the file, so the texts with their
    // terminators take at most one unit per byte, and one more; each line
    // holds at least one byte.
    const size_t units = file.size + 1;
    arguments->texts.Reset(units);
    arguments->starts.Reset(units);
    if (arguments->texts.Get() == nullptr || arguments->starts.Get() == nullptr) {
        SetFileProblem(problem, kFileName, L"there is not enough memory to read the file.");
        return false;
    }
    return ReadLines(&file, arguments, units, problem);
}
