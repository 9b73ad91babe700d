// The operator's own VM options: conf\jvm.options, one option a line, passed
// after the host's own options in the file's order.
#pragma once

#include <stddef.h>

#include "base/config_file.h"
#include "base/scoped.h"
#include "base/win32.h"

constexpr wchar_t kUserOptionsFile[] = L"jvm.options";
constexpr size_t kMaxUserOptions = 1024;

struct UserOptions {
    // Every option converted to the ANSI code page, each NUL-terminated, one
    // after the other.
    HeapArray<char> texts;
    size_t used = 0;
    size_t capacity = 0;
    // Where each option begins in `texts`; kMaxUserOptions entries.
    HeapArray<size_t> starts;
    size_t count = 0;

    const char* Option(size_t index) const { return texts.Get() + starts[index]; }
};

// Reads conf\jvm.options below `installDir`. True when there is no such file
// or every line of it is an option the host can pass; false, with `problem`
// naming the file, the line and what is wrong, when any part of it is refused:
// then none of it may be used.
bool ReadUserOptions(const wchar_t* installDir, UserOptions* options, ConfigProblem* problem);

// The stack the java launcher gives the thread that runs main: the last
// "-Xss<size>" ("k", "m", "g" or "t" after the digits) or
// "-XX:ThreadStackSize=<KiB>" among `options`, in bytes, at least 64 KiB;
// 0 when none sets it (the executable's default, which HotSpot on Windows
// also asks for: its ThreadStackSize is 0 there).
size_t ThreadStackBytes(const UserOptions& options);

// Checks one line of the file (without the white space around it) and brings
// it into the form the Invocation API takes: an option the launcher takes with
// its value as the next word becomes "name=value", in place. Null when the
// line can be passed; otherwise the end of the sentence that quotes the line,
// which is then left as it was.
const wchar_t* NormaliseUserOption(wchar_t* line, size_t* length);
