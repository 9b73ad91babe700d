// Scenario file, pauses and gates of the stand-in Java runtime.
#include <stdlib.h>
#include <string.h>

#include <iterator>

#include "standin_common.h"
#include "standin_files.h"

namespace standin {
namespace {

constexpr size_t kScenarioCapacity = 64 * 1024;
constexpr DWORD kGatePollMs = 5;
constexpr ULONGLONG kGateGiveUpMs = 60 * 1000;
// Anything longer is a typo, and would outlast every test timeout anyway.
constexpr unsigned long kMaxPauseMs = 10 * 60 * 1000;
constexpr DWORD kMaxHookLongChars = 1024 * 1024;
constexpr DWORD kMaxPrintedLines = 100 * 1000 * 1000;
constexpr DWORD kMaxLineBytes = 1024 * 1024;
// What one stream's pipe takes with nobody reading it: end.lines' writes never wait.
constexpr DWORD kMaxEndLines = 2000;

const char* const kStepNames[kStepCount] = {"create", "main", "stop", "destroy", "dump", "print"};
const wchar_t* const kStepNamesW[kStepCount] = {L"create",  L"main", L"stop",
                                                L"destroy", L"dump", L"print"};

void SetDefaults(Scenario* s) {
    s->refuseCreate = false;
    s->abortCreate = false;
    s->createResult = -1;
    s->refuseGarbage = false;
    s->main = MainMode::kBlock;
    s->stop = StopMode::kPresent;
    s->newStringFails = false;
    s->attachFails = false;
    s->attachResult = -1;
    s->exitStatus = 0;
    for (int i = 0; i < kStepCount; ++i) {
        s->pauseMs[i] = 0;
        s->gate[i] = false;
    }
    s->mainSignal[0] = '\0';
    s->recordFaultsOnly = false;
    s->unknownOption[0] = '\0';
    s->stdoutText[0] = '\0';
    s->stderrText[0] = '\0';
    s->hookText[0] = '\0';
    s->hookFormats = false;
    s->hookLongChars = 0;
    s->hookThreads = 0;
    s->entry = EntryKind::kService;
    s->launcher = 0;
    s->mainStatic = true;
    s->mainNoArgs = false;
    s->lingerMs = 0;
    s->shutdownHook = ShutdownHookMode::kInstant;
    s->shutdownHookMs = 0;
    s->mainLoad[0] = '\0';
    s->recordCwd = false;
    s->threads = ThreadsMode::kPrint;
    s->heap = HeapMode::kWrite;
    s->health = HealthMode::kTrue;
    s->deadlockedCount = 0;
    s->recordThread = false;
    s->recordEnv[0] = '\0';
    s->outLines = 0;
    s->errLines = 0;
    s->lineBytes = 100;
    s->printDirect = false;
    s->printAt = kMaxPrintedLines;
    s->endLines = 0;
    s->endBusy = 0;
    s->heapOut = false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool Equals(const char* text, size_t length, const char* word) {
    return strlen(word) == length && memcmp(text, word, length) == 0;
}

bool ParseLong(const char* text, size_t length, long* value) {
    char digits[32];
    if (length == 0 || length >= std::size(digits)) return false;
    memcpy(digits, text, length);
    digits[length] = '\0';
    char* end = nullptr;
    long parsed = strtol(digits, &end, 0);
    if (end != digits + length) return false;
    *value = parsed;
    return true;
}

template <size_t N>
bool ParseText(const char* text, size_t length, char (&value)[N]) {
    if (length == 0 || length >= N) return false;
    memcpy(value, text, length);
    value[length] = '\0';
    return true;
}

bool ParseCount(const char* text, size_t length, DWORD most, DWORD* value) {
    long parsed = 0;
    if (!ParseLong(text, length, &parsed) || parsed < 0 ||
        static_cast<unsigned long>(parsed) > most)
        return false;
    *value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseFlag(const char* text, size_t length, bool* value) {
    if (Equals(text, length, "1")) {
        *value = true;
        return true;
    }
    if (Equals(text, length, "0")) {
        *value = false;
        return true;
    }
    return false;
}

// Returns false for a known key whose value it cannot take; unknown keys are accepted and
// ignored, so that scenario files can carry notes for other tools.
// "a,b,c": each name up to kThreadNameChars - 1 characters.
bool ParseNames(const char* text, size_t length, Scenario* s) {
    s->deadlockedCount = 0;
    size_t at = 0;
    while (at < length && s->deadlockedCount < kMaxDeadlocked) {
        size_t end = at;
        while (end < length && text[end] != ',') ++end;
        if (end == at || end - at >= kThreadNameChars) return false;
        memcpy(s->deadlocked[s->deadlockedCount], text + at, end - at);
        s->deadlocked[s->deadlockedCount++][end - at] = '\0';
        at = end + 1;
    }
    return at >= length;
}

// The management beans' keys: threads=, heap=, deadlock=.
bool ApplyManagementSetting(Scenario* s, const char* key, size_t keyLength, const char* value,
                            size_t valueLength, bool* known) {
    *known = true;
    if (Equals(key, keyLength, "health")) {
        const char* const answers[] = {"true", "false", "throw", "hang"};
        for (size_t i = 0; i < std::size(answers); ++i) {
            if (Equals(value, valueLength, answers[i])) {
                s->health = static_cast<HealthMode>(i);
                return true;
            }
        }
        return false;
    }
    if (Equals(key, keyLength, "threads")) {
        const char* const names[] = {"print", "bean", "fail", "hang"};
        for (size_t i = 0; i < std::size(names); ++i) {
            if (Equals(value, valueLength, names[i])) {
                s->threads = static_cast<ThreadsMode>(i);
                return true;
            }
        }
        return false;
    }
    if (Equals(key, keyLength, "heap")) {
        if (Equals(value, valueLength, "write")) {
            s->heap = HeapMode::kWrite;
            s->health = HealthMode::kTrue;
        } else if (Equals(value, valueLength, "fail")) {
            s->heap = HeapMode::kFail;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "deadlock")) return ParseNames(value, valueLength, s);
    *known = false;
    return true;
}

bool ApplySetting(Scenario* s, const char* key, size_t keyLength, const char* value,
                  size_t valueLength) {
    bool known = false;
    const bool applied = ApplyManagementSetting(s, key, keyLength, value, valueLength, &known);
    if (known) return applied;
    if (Equals(key, keyLength, "record")) {
        if (Equals(value, valueLength, "all")) {
            s->recordFaultsOnly = false;
            return true;
        }
        if (Equals(value, valueLength, "faults")) {
            s->recordFaultsOnly = true;
            return true;
        }
        return false;
    }
    if (Equals(key, keyLength, "unknown_option"))
        return ParseText(value, valueLength, s->unknownOption);
    if (Equals(key, keyLength, "signal.main")) return ParseText(value, valueLength, s->mainSignal);
    if (Equals(key, keyLength, "stdout.text")) return ParseText(value, valueLength, s->stdoutText);
    if (Equals(key, keyLength, "stderr.text")) return ParseText(value, valueLength, s->stderrText);
    if (Equals(key, keyLength, "hook.text")) return ParseText(value, valueLength, s->hookText);
    if (Equals(key, keyLength, "hook.formats"))
        return ParseFlag(value, valueLength, &s->hookFormats);
    if (Equals(key, keyLength, "hook.long"))
        return ParseCount(value, valueLength, kMaxHookLongChars, &s->hookLongChars);
    if (Equals(key, keyLength, "main.load")) return ParseText(value, valueLength, s->mainLoad);
    if (Equals(key, keyLength, "record.cwd")) return ParseFlag(value, valueLength, &s->recordCwd);
    if (Equals(key, keyLength, "record.thread"))
        return ParseFlag(value, valueLength, &s->recordThread);
    if (Equals(key, keyLength, "record.env")) return ParseText(value, valueLength, s->recordEnv);
    if (Equals(key, keyLength, "out.lines"))
        return ParseCount(value, valueLength, kMaxPrintedLines, &s->outLines);
    if (Equals(key, keyLength, "err.lines"))
        return ParseCount(value, valueLength, kMaxPrintedLines, &s->errLines);
    if (Equals(key, keyLength, "line.bytes"))
        return ParseCount(value, valueLength, kMaxLineBytes, &s->lineBytes) && s->lineBytes >= 16;
    if (Equals(key, keyLength, "print.direct"))
        return ParseFlag(value, valueLength, &s->printDirect);
    if (Equals(key, keyLength, "heap.out")) return ParseFlag(value, valueLength, &s->heapOut);
    if (Equals(key, keyLength, "print.at"))
        return ParseCount(value, valueLength, kMaxPrintedLines, &s->printAt);
    if (Equals(key, keyLength, "end.lines"))
        return ParseCount(value, valueLength, kMaxEndLines, &s->endLines);
    if (Equals(key, keyLength, "end.busy"))
        return ParseCount(value, valueLength, kMaxHookThreads, &s->endBusy);
    if (Equals(key, keyLength, "hook.threads"))
        return ParseCount(value, valueLength, kMaxHookThreads, &s->hookThreads);
    if (Equals(key, keyLength, "launcher")) {
        static const struct {
            const char* name;
            int launcher;
            bool mainStatic;
            bool mainNoArgs;
        } kLaunchers[] = {
            {"none", 0, true, false},          {"17", 17, true, false},
            {"25", 25, true, false},           {"25-noargs", 25, true, true},
            {"25-instance", 25, false, false}, {"25-instance-noargs", 25, false, true}};
        for (const auto& known : kLaunchers) {
            if (Equals(value, valueLength, known.name)) {
                s->launcher = known.launcher;
                s->mainStatic = known.mainStatic;
                s->mainNoArgs = known.mainNoArgs;
                return true;
            }
        }
        return false;
    }
    if (Equals(key, keyLength, "entry")) {
        if (Equals(value, valueLength, "service")) {
            s->entry = EntryKind::kService;
            s->mainStatic = true;
        } else if (Equals(value, valueLength, "main")) {
            s->entry = EntryKind::kMain;
        } else if (Equals(value, valueLength, "both")) {
            s->entry = EntryKind::kBoth;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "linger")) {
        if (Equals(value, valueLength, "forever")) {
            s->lingerMs = INFINITE;
            return true;
        }
        return ParseCount(value, valueLength, kMaxPauseMs, &s->lingerMs);
    }
    if (Equals(key, keyLength, "shutdown_hook")) {
        if (Equals(value, valueLength, "hang")) {
            s->shutdownHook = ShutdownHookMode::kHang;
            return true;
        }
        s->shutdownHook = ShutdownHookMode::kInstant;
        return ParseCount(value, valueLength, kMaxPauseMs, &s->shutdownHookMs);
    }
    if (Equals(key, keyLength, "create")) {
        if (Equals(value, valueLength, "ok")) {
            s->refuseCreate = false;
        } else if (Equals(value, valueLength, "refuse")) {
            s->refuseCreate = true;
        } else if (Equals(value, valueLength, "abort")) {
            s->abortCreate = true;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "create_result"))
        return ParseLong(value, valueLength, &s->createResult);
    if (Equals(key, keyLength, "refuse_garbage"))
        return ParseFlag(value, valueLength, &s->refuseGarbage);
    if (Equals(key, keyLength, "main")) {
        if (Equals(value, valueLength, "block")) {
            s->main = MainMode::kBlock;
        } else if (Equals(value, valueLength, "return")) {
            s->main = MainMode::kReturn;
        } else if (Equals(value, valueLength, "throw")) {
            s->main = MainMode::kThrow;
        } else if (Equals(value, valueLength, "missing")) {
            s->main = MainMode::kMissing;
        } else if (Equals(value, valueLength, "exit")) {
            s->main = MainMode::kExit;
        } else if (Equals(value, valueLength, "abort")) {
            s->main = MainMode::kAbort;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "stop")) {
        if (Equals(value, valueLength, "present")) {
            s->stop = StopMode::kPresent;
        } else if (Equals(value, valueLength, "missing")) {
            s->stop = StopMode::kMissing;
        } else if (Equals(value, valueLength, "throw")) {
            s->stop = StopMode::kThrow;
        } else if (Equals(value, valueLength, "ignore")) {
            s->stop = StopMode::kIgnore;
        } else if (Equals(value, valueLength, "hang")) {
            s->stop = StopMode::kHang;
        } else if (Equals(value, valueLength, "release_hang")) {
            s->stop = StopMode::kReleaseHang;
        } else if (Equals(value, valueLength, "exit")) {
            s->stop = StopMode::kExit;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "newstring")) {
        if (Equals(value, valueLength, "ok")) {
            s->newStringFails = false;
        } else if (Equals(value, valueLength, "fail")) {
            s->newStringFails = true;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "attach")) {
        if (Equals(value, valueLength, "ok")) {
            s->attachFails = false;
        } else if (Equals(value, valueLength, "fail")) {
            s->attachFails = true;
        } else {
            return false;
        }
        return true;
    }
    if (Equals(key, keyLength, "attach_result"))
        return ParseLong(value, valueLength, &s->attachResult);
    if (Equals(key, keyLength, "exit_status")) return ParseLong(value, valueLength, &s->exitStatus);
    for (int step = 0; step < kStepCount; ++step) {
        size_t nameLength = strlen(kStepNames[step]);
        if (keyLength == 6 + nameLength && memcmp(key, "pause.", 6) == 0 &&
            memcmp(key + 6, kStepNames[step], nameLength) == 0) {
            long ms = 0;
            if (!ParseLong(value, valueLength, &ms) || ms < 0 ||
                static_cast<unsigned long>(ms) > kMaxPauseMs) {
                return false;
            }
            s->pauseMs[step] = static_cast<DWORD>(ms);
            return true;
        }
        if (keyLength == 5 + nameLength && memcmp(key, "gate.", 5) == 0 &&
            memcmp(key + 5, kStepNames[step], nameLength) == 0) {
            return ParseFlag(value, valueLength, &s->gate[step]);
        }
    }
    return true;
}

void ApplyLine(Scenario* s, const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    if (begin == end || *begin == '#') return;
    const char* equals =
        static_cast<const char*>(memchr(begin, '=', static_cast<size_t>(end - begin)));
    bool ok = false;
    if (equals != nullptr) {
        const char* keyEnd = equals;
        while (keyEnd > begin && IsBlank(keyEnd[-1])) --keyEnd;
        const char* value = equals + 1;
        while (value < end && IsBlank(*value)) ++value;
        ok = ApplySetting(s, begin, static_cast<size_t>(keyEnd - begin), value,
                          static_cast<size_t>(end - value));
    }
    if (!ok) {
        Line line;
        LineStart(&line, "FAULT");
        LineWord(&line, "bad scenario line:");
        LineWordN(&line, begin, static_cast<size_t>(end - begin));
        WriteLine(line);
    }
}

}  // namespace

void LoadScenario(Scenario* scenario) {
    SetDefaults(scenario);
    wchar_t path[1024];
    if (!InstallFilePath(kStandinScenarioFile, L"", path, std::size(path))) return;
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    // Scenario files are a few lines; a longer one is read up to the capacity.
    char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kScenarioCapacity));
    if (buffer == nullptr) {
        CloseHandle(file);
        RecordFault("scenario file could not be read", nullptr);
        return;
    }
    DWORD total = 0;
    for (;;) {
        DWORD got = 0;
        if (total == kScenarioCapacity) break;
        if (!ReadFile(file, buffer + total, static_cast<DWORD>(kScenarioCapacity) - total, &got,
                      nullptr) ||
            got == 0) {
            break;
        }
        total += got;
    }
    CloseHandle(file);

    const char* p = buffer;
    const char* end = buffer + total;
    while (p < end) {
        const char* newline =
            static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* lineEnd = newline != nullptr ? newline : end;
        ApplyLine(scenario, p, lineEnd);
        p = newline != nullptr ? newline + 1 : end;
    }
    HeapFree(GetProcessHeap(), 0, buffer);
}

namespace {

void RecordGateFault(Step step, const char* text) {
    Line line;
    LineStart(&line, "FAULT");
    LineWord(&line, "gate");
    LineWord(&line, kStepNames[step]);
    LineWord(&line, text);
    WriteLine(line);
}

}  // namespace

void PauseAndGate(const Scenario& scenario, Step step) {
    if (scenario.pauseMs[step] != 0) Sleep(scenario.pauseMs[step]);
    if (!scenario.gate[step]) return;

    Record("GATE", kStepNames[step]);
    wchar_t path[1024];
    if (!InstallFilePath(kStandinReleasePrefix, kStepNamesW[step], path, std::size(path))) {
        RecordGateFault(step, "release path does not fit");
        return;
    }
    ULONGLONG start = GetTickCount64();
    while (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() - start > kGateGiveUpMs) {
            RecordGateFault(step, "not released after 60 s");
            return;
        }
        Sleep(kGatePollMs);
    }
}

}  // namespace standin
