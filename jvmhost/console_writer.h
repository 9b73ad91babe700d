// The console files' writer threads, and what they share with the start's
// moves of the files (console_files.cpp). Only the console files' own sources
// include this.
#pragma once

#include "jvmhost/console_files.h"

// Room for a console file's warning or error: a path and the system's text.
constexpr size_t kNotKeptUnits = 64 + kPathUnits + 1024;

// --- console_files.cpp ---

// "<logsDir>\<name>.log" for the current file, "<logsDir>\<name>.<n>.log" for
// the n-th older one.
// False when it does not fit.
bool LogFilePath(const wchar_t* logsDir, const wchar_t* name, DWORD back,
                 wchar_t (&path)[kPathUnits]);
// Each older file moves one number up, the oldest first, so that the move
// onto the number `keep` replaces (deletes) the file no longer kept, and last
// the current file becomes number 1. A move that fails leaves that file where
// it is. True when the current file was moved (or there was none).
bool MoveOlderFilesUp(const wchar_t* logsDir, const wchar_t* name, DWORD keep);
// Whether the file at `path` can be moved away: a program that holds it open
// without delete sharing (a viewer or follower built on the C runtime's
// fopen) keeps it where it is. No file: true.
bool CanMoveAway(const wchar_t* path);
// The line that marks where a file that could not be moved goes on:
// "----- <why> at <time> UTC: this file could not be moved to <name>.1.log,
// so <what> -----", on a line of its own. Returns the bytes written.
DWORD WriteMarkedLine(HANDLE file, bool breakFirst, const char* why, const wchar_t* name,
                      const char* what);
// Every sharing mode: an operator reads and follows the file while the service
// writes it, and may move it away. Never truncated: a file already there could
// not be moved, and holds earlier output.
HANDLE OpenLogFile(const wchar_t* path);

// --- console_writer.cpp ---

// A stream's current file, as the start left it.
struct ConsoleFile {
    HANDLE file;
    const wchar_t* path;  // weak
    const wchar_t* name;  // weak: "stdout" or "stderr"
    bool held;            // it could not be moved at the start, and was warned of
};

// The handle stream `index` (0 stdout, 1 stderr) becomes: the write end of a
// pipe whose writer thread fills the files, or `current.file` itself when no
// pipe or thread can be made.
HANDLE PassThroughWriter(size_t index, const ConsoleFile& current, const wchar_t* logsDir,
                         const ConsoleSettings& settings, ErrorSink warnings);
