// Pieces shared by every stand-in DLL: where the install directory is, the record writer and
// the scenario. Test code only.
#ifndef MERIVAST_TESTS_STANDIN_STANDIN_COMMON_H
#define MERIVAST_TESTS_STANDIN_STANDIN_COMMON_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stddef.h>

namespace standin {

// Sized for the host's class path option (16,383 bytes) plus the event name, so a record line
// normally holds its whole option verbatim.
constexpr size_t kLineCapacity = 20000;

// One record line being put together, without the sequence number and thread id.
struct Line {
    char text[kLineCapacity];
    size_t length;
    bool truncated;
};

void LineStart(Line* line, const char* event);
// Appends a space, then the text. Control characters become \xNN so that a line stays a line.
void LineWord(Line* line, const char* text);
void LineWordN(Line* line, const char* text, size_t count);
// Appends the text with no space before it (for "key=value" pieces built in steps).
void LineAppend(Line* line, const char* text);
void LineSigned(Line* line, long long value);
void LineUnsigned(Line* line, unsigned long long value);
void LineHex32(Line* line, unsigned long value);

// Writes "<seq> <tid> <text>\n" with one WriteFile under the record lock. Silently does nothing
// when the install directory is unknown or the record file cannot be opened: the record is
// evidence for tests, and a missing line is what they will then report.
void WriteLine(const Line& line);
// With faults only, every line but FAULT lines is dropped (scenario record=faults): the
// benchmarks time the host, not the record's file writes.
void SetRecordFaultsOnly(bool faultsOnly);
void Record(const char* event, const char* details);
void RecordFault(const char* text, const char* where);

// Called from DllMain. StartModule finds the install directory: the module path less its last
// four components (<installDir>\jre\bin\client\jvm.dll), or the module's directory when the
// path is shorter than that.
void StartModule(HMODULE self);
// Frees what StartModule made; only when no call is in flight.
void StopModule();

// Builds <installDir>\<name><suffix>; false when the install directory is unknown or the
// result would not fit.
bool InstallFilePath(const wchar_t* name, const wchar_t* suffix, wchar_t* out, size_t capacity);

// Counts threads inside any stand-in entry point, so that an unload can tell it pulled the code
// out from under one of them.
void EnterCall();
void LeaveCall();
long CallsInFlight();

struct CallScope {
    CallScope() { EnterCall(); }
    ~CallScope() { LeaveCall(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// kExit and kAbort end the runtime as System.exit and a crash do: on a thread of its own, through
// the host's hook, while the calling Java thread stays stopped for good.
enum class MainMode { kBlock, kReturn, kThrow, kMissing, kExit, kAbort };
// kIgnore returns without releasing serviceMain; kHang never returns; kReleaseHang releases
// serviceMain and then never returns.
enum class StopMode { kPresent, kMissing, kThrow, kIgnore, kHang, kReleaseHang, kExit };
// hook.threads: at most as many threads as one wait can join.
constexpr DWORD kMaxHookThreads = MAXIMUM_WAIT_OBJECTS;
constexpr int kHookLinesPerThread = 100;

// Which entry methods the application's class declares: serviceMain/serviceStop (the service
// contract), main(String[]) (an ordinary program), or both.
enum class EntryKind { kService, kMain, kBoth };
// What the application's shutdown hooks do when System.exit runs them.
enum class ShutdownHookMode { kInstant, kHang };

// What the management beans answer: threads= for the diagnostic command's thread print
// (kBean: the runtime lacks the command, the thread bean answers), heap= for dumpHeap.
enum class ThreadsMode { kPrint, kBean, kFail, kHang };
enum class HeapMode { kWrite, kFail };
// health=: what any static boolean method of the application class taking nothing answers.
enum class HealthMode { kTrue, kFalse, kThrow, kHang };
// deadlock=<names>: at most this many threads, named by at most this many characters each.
constexpr size_t kMaxDeadlocked = 8;
constexpr size_t kThreadNameChars = 32;

enum Step { kStepCreate, kStepMain, kStepStop, kStepDestroy, kStepDump, kStepPrint, kStepCount };

struct Scenario {
    bool refuseCreate;
    // create=abort: as a real VM that cannot start (a heap it cannot reserve), abort through the
    // host's hook on the creating thread, inside JNI_CreateJavaVM.
    bool abortCreate;
    long createResult;
    bool refuseGarbage;
    MainMode main;
    StopMode stop;
    bool newStringFails;
    bool attachFails;
    long attachResult;
    long exitStatus;  // exit_status=<n>: what main=exit and stop=exit pass to System.exit
    DWORD pauseMs[kStepCount];
    bool gate[kStepCount];
    // signal.main=<name>: the named event set when serviceMain is entered, for benchmarks.
    char mainSignal[128];
    bool recordFaultsOnly;  // record=all|faults
    // unknown_option=<prefix>: options starting with it are unknown to this VM.
    char unknownOption[128];
    // What JNI_CreateJavaVM prints, refused or not, before it decides: a line to each standard
    // handle, and through the host's vfprintf hook a line, a fixed line of Microsoft formats, one
    // text of hookLongChars characters, and hookThreads threads' lines at once.
    char stdoutText[256];
    char stderrText[256];
    char hookText[256];
    bool hookFormats;
    DWORD hookLongChars;
    DWORD hookThreads;
    EntryKind entry;
    // linger=<ms>: once main has been entered, a non-daemon thread of the application runs this
    // long (0xFFFFFFFF: until the runtime ends); DestroyJavaVM waits for it.
    DWORD lingerMs;
    ShutdownHookMode shutdownHook;
    DWORD shutdownHookMs;  // shutdown_hook=<ms>: the hooks take this long
    // main.load=<file name>: serviceMain loads <the runtime's bin>\<file name> by its full path
    // with a plain LoadLibraryW, as a real runtime loads its own libraries late.
    char mainLoad[128];
    bool recordCwd;  // record.cwd=1: creation records the working directory
    ThreadsMode threads;
    HeapMode heap;
    HealthMode health;
    // deadlock=<name>,<name>…: the threads findDeadlockedThreads names (ids 1, 2, …).
    char deadlocked[kMaxDeadlocked][kThreadNameChars];
    size_t deadlockedCount;
    // record.thread=1: serviceMain and main record the stack their thread reserved and the
    // process's DLL folder.
    bool recordThread;
    // record.env=<NAME>[,<NAME>…]: creation records each variable of its environment.
    char recordEnv[256];
    // out.lines=<n>, err.lines=<n>: once main (or serviceMain) has been entered, numbered lines
    // of lineBytes bytes each to standard output, then standard error, one WriteFile a line;
    // with printDirect, the same lines first to a file of the runtime's own, both timed.
    DWORD outLines;
    DWORD errLines;
    DWORD lineBytes;
    bool printDirect;
    // launcher=none|17|25[-noargs|-instance|-instance-noargs]: whether the runtime has the JDK's
    // LauncherHelper, and for 25 its isStaticMain and noArgMain and the main the class declares.
    int launcher;
    bool mainStatic;
    bool mainNoArgs;
    DWORD printAt;  // print.at=<n>: the step "print" comes after the n-th standard output line
    // end.lines=<n>: the runtime's end thread first stops every other thread of the process,
    // then writes n lines of kEndLineBytes to standard output and standard error; with
    // end.busy=<k>, k threads then write standard output lines without end.
    DWORD endLines;
    DWORD endBusy;
    // heap.out=1: once main (or serviceMain) has been entered, after its lines, the heap runs
    // out: the dump HotSpot writes at OutOfMemoryError (-XX:+HeapDumpOnOutOfMemoryError).
    bool heapOut;
};
// end.lines' lines: 1,000 of them (100 KB) fit a pipe of 256 KiB that nobody reads.
constexpr DWORD kEndLineBytes = 100;

// Reads <installDir>\standin-scenario.txt; a missing file gives the defaults. A known key with
// a value it cannot take is recorded as a FAULT (a broken test, not a broken host) and keeps
// its default.
void LoadScenario(Scenario* scenario);

// Sleeps pause.<step>, then, if gate.<step> is set, records "GATE <step>" and waits for the
// release file (FAULT after 60 s, then goes on).
void PauseAndGate(const Scenario& scenario, Step step);

// Defined once per DLL variant: the variant that depends on a helper DLL calls it from here, so
// that its import is real.
void CreateHook();

}  // namespace standin

#endif  // MERIVAST_TESTS_STANDIN_STANDIN_COMMON_H
