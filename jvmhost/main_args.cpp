#include "jvmhost/main_args.h"

namespace {

struct ArgumentsBeingRead {
    MainArguments* arguments;  // weak
    size_t room;               // units in `texts` and entries in `starts`
    size_t used;               // units of `texts` taken
};

// Every argument ends a line of the file, so the texts with their terminators
// take at most one unit per byte, and one more; each line holds at least one byte.
bool MakeRoom(const ConfigFile& file, void* into) {
    ArgumentsBeingRead* read = static_cast<ArgumentsBeingRead*>(into);
    MainArguments* arguments = read->arguments;
    arguments->filePresent = true;
    read->room = file.size + 1;
    arguments->texts.Reset(read->room);
    arguments->starts.Reset(read->room);
    return arguments->texts.Get() != nullptr && arguments->starts.Get() != nullptr;
}

bool TakeArgument(ConfigFile* file, void* into, ConfigProblem* problem) {
    ArgumentsBeingRead* read = static_cast<ArgumentsBeingRead*>(into);
    MainArguments* arguments = read->arguments;
    if (read->used + file->lineLength + 1 > read->room) {
        SetFileProblem(problem, file->name, L"there is not enough memory to read the file.");
        return false;
    }
    arguments->starts[arguments->count++] = read->used;
    CopyMemory(arguments->texts.Get() + read->used, file->line.Get(),
               file->lineLength * sizeof(wchar_t));
    read->used += file->lineLength;
    arguments->texts[read->used++] = L'\0';
    return true;
}

// Only '#' begins a comment: an argument may well begin with '!'.
const ConfigLineReader kMainArgsReader = {L"main.args", L"#", MakeRoom, TakeArgument};
const ConfigLineReader kStopArgsReader = {L"stop.args", L"#", MakeRoom, TakeArgument};

bool ReadArguments(const wchar_t* installDir, const ConfigLineReader& reader,
                   MainArguments* arguments, ConfigProblem* problem) {
    ArgumentsBeingRead read = {arguments, 0, 0};
    if (ReadConfigLines(installDir, reader, &read, problem)) {
        return true;
    }
    arguments->count = 0;
    return false;
}

}  // namespace

bool ReadMainArguments(const wchar_t* installDir, MainArguments* arguments,
                       ConfigProblem* problem) {
    return ReadArguments(installDir, kMainArgsReader, arguments, problem);
}

bool ReadStopArguments(const wchar_t* installDir, MainArguments* arguments,
                       ConfigProblem* problem) {
    return ReadArguments(installDir, kStopArgsReader, arguments, problem);
}
