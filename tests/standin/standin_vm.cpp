// The stand-in Java VM: the JNI Invocation API exports, the JavaVM and JNIEnv function tables,
// and the scripted application behind com/merivast/agent/MerivastMain. It keeps the rules of a
// real VM that the host depends on, and records every call and every broken rule.
#define _JNI_IMPLEMENTATION_
#include "standin_common.h"
#include <psapi.h>
#include <tlhelp32.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <jni.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <iterator>
#include <utility>

#include "standin_files.h"

namespace standin {
namespace {

// jni.h of JDK 17 stops at JNI_VERSION_10.
constexpr jint kJniVersion19 = 0x00130000;
constexpr jint kJniVersion20 = 0x00140000;
constexpr jint kJniVersion21 = 0x00150000;
constexpr jint kSupportedVersions[] = {
    JNI_VERSION_1_1, JNI_VERSION_1_2, JNI_VERSION_1_4, JNI_VERSION_1_6, JNI_VERSION_1_8,
    JNI_VERSION_9,   JNI_VERSION_10,  kJniVersion19,   kJniVersion20,   kJniVersion21};

// Env slots are never reused, so an env kept after its detach still reads as detached.
constexpr size_t kMaxEnvs = 1024;
constexpr size_t kMaxStrings = 256;
constexpr ULONGLONG kDestroyWarnMs = 60 * 1000;
constexpr uintptr_t kGarbagePointer = 1;

const char kClassPathOption[] = "-Djava.class.path=";
const char kStringClassName[] = "java/lang/String";
const char kSystemClassName[] = "java/lang/System";
// An application class name, with ".class" for its jar entry.
constexpr size_t kClassNameBytes = 512;
constexpr size_t kMaxArrays = 64;
constexpr size_t kMaxArrayLength = 64;

struct Throwable {
    _jthrowable object;  // the jthrowable handed out points here
    const char* className;
};

Throwable g_noClassDefFound = {{}, "java/lang/NoClassDefFoundError"};
Throwable g_noSuchMethod = {{}, "java/lang/NoSuchMethodError"};
Throwable g_outOfMemory = {{}, "java/lang/OutOfMemoryError"};
Throwable g_illegalState = {{}, "java/lang/IllegalStateException"};
Throwable g_instanceNotFound = {{}, "javax/management/InstanceNotFoundException"};
Throwable g_ioException = {{}, "java/io/IOException"};
Throwable g_classNotFound = {{}, "java/lang/ClassNotFoundException"};
Throwable g_noSuchMethodException = {{}, "java/lang/NoSuchMethodException"};
Throwable g_noSuchField = {{}, "java/lang/NoSuchFieldError"};
Throwable* const kThrowables[] = {
    &g_noClassDefFound, &g_instanceNotFound, &g_ioException,
    &g_noSuchMethod,    &g_outOfMemory,      &g_illegalState,
    &g_classNotFound,   &g_noSuchField,      &g_noSuchMethodException};

struct Env {
    JNIEnv jni;  // first member: the JNIEnv* handed out is this struct's address
    DWORD threadId;
    bool attached;
    bool daemon;
    Throwable* pending;
};

struct StringRef {
    _jstring object;  // the jstring handed out points here
    char* utf8;       // owned; freed at unload
    jsize length;
    bool live;
};

struct ArrayRef {
    _jobjectArray object;  // the jobjectArray handed out points here
    jsize length;
    StringRef* items[kMaxArrayLength];
    bool live;
};

enum class VmState { kNone, kCreating, kLive, kDestroyed };

// The host's "exit" and "abort" hooks, as the Invocation API hands them over.
using ExitHook = void(JNICALL*)(jint status);
using AbortHook = void(JNICALL*)();
// What abort() leaves as the exit code of a process.
constexpr UINT kAbortExitCode = 3;

struct VmGlobals {
    // Guards every field below. The record lock may be taken while holding it, never the
    // other way round.
    CRITICAL_SECTION lock;
    // Woken at each detach, so that DestroyJavaVM can count again.
    CONDITION_VARIABLE detached;
    VmState state;
    // Written by the creating thread while kCreating; read-only once kLive.
    Scenario scenario;
    char* classPath;       // owned; value of the last -Djava.class.path= option
    ExitHook exitHook;     // the last "exit" option's, or null
    AbortHook abortHook;   // the last "abort" option's, or null
    HANDLE stopRequested;  // manual-reset: serviceMain may start after serviceStop
    // The application's class once loaded (FindClass of a class a jar holds); it stays loaded.
    char loadedClass[kClassNameBytes];
    bool classLoaded;
    // Once a lookup has initialised it (FindClass, GetStaticMethodID, GetMethodID), as in HotSpot;
    // Class.forName(name, false, loader) and reflection leave it as it is.
    bool classInitialised;
    // When the application's lingering non-daemon thread ends (linger=); 0: none runs.
    ULONGLONG lingerUntil;
    long exitStatus;  // what the runtime's end thread passes to the exit hook
    // -XX:[+-]HeapDumpOnOutOfMemoryError and -XX:HeapDumpPath=, the last of each (heap.out).
    bool heapDumpOnOutOfMemory;
    char heapDumpPath[MAX_PATH];
    ArrayRef arrays[kMaxArrays];
    size_t arrayCount;
    Env envs[kMaxEnvs];
    size_t envCount;
    StringRef strings[kMaxStrings];
    size_t stringCount;
};

VmGlobals g_vm;
JNINativeInterface_ g_envTable;
JNIInvokeInterface_ g_vmTable;
JavaVM g_javaVm;
_jclass g_mainClass;
_jclass g_stringClass;
_jclass g_systemClass;
// Only their addresses matter: they are the method ids.
char g_serviceMainId;
char g_serviceStopId;
char g_mainId;
char g_mainNoArgsId;
char g_constructorId;
char g_exitId;
// LauncherHelper's isStaticMain and noArgMain (launcher=25).
char g_isStaticMainId;
char g_noArgMainId;

jmethodID MainId() {
    return reinterpret_cast<jmethodID>(&g_mainId);
}
jmethodID MainNoArgsId() {
    return reinterpret_cast<jmethodID>(&g_mainNoArgsId);
}
jmethodID ConstructorId() {
    return reinterpret_cast<jmethodID>(&g_constructorId);
}
jmethodID ExitId() {
    return reinterpret_cast<jmethodID>(&g_exitId);
}

jmethodID ServiceMainId() {
    return reinterpret_cast<jmethodID>(&g_serviceMainId);
}
jmethodID ServiceStopId() {
    return reinterpret_cast<jmethodID>(&g_serviceStopId);
}
// Any static boolean method of the application class taking nothing: a health check.
char g_healthId;
jmethodID HealthId() {
    return reinterpret_cast<jmethodID>(&g_healthId);
}

// ---- traps for every slot that is not implemented ----

[[noreturn]] void Unimplemented(const char* table, size_t slot) {
    Line line;
    LineStart(&line, "FAULT");
    LineWord(&line, "unimplemented");
    LineWord(&line, table);
    LineWord(&line, "slot");
    LineAppend(&line, " ");
    LineUnsigned(&line, slot);
    WriteLine(line);
    // A host that gets here would have used a function the real VM has but this one fakes
    // nothing for; the test must not pass, so the process ends with a code nobody else uses.
    TerminateProcess(GetCurrentProcess(), kStandinTrapExitCode);
    ExitProcess(kStandinTrapExitCode);
}

template <size_t Slot>
void JNICALL EnvTrap() {
    Unimplemented("JNIEnv", Slot);
}

template <size_t Slot>
void JNICALL VmTrap() {
    Unimplemented("JavaVM", Slot);
}

using TrapFunction = void(JNICALL*)();
static_assert(sizeof(TrapFunction) == sizeof(void*), "table slots must hold a function pointer");
constexpr size_t kEnvSlots = sizeof(JNINativeInterface_) / sizeof(void*);
constexpr size_t kVmSlots = sizeof(JNIInvokeInterface_) / sizeof(void*);
static_assert(sizeof(JNINativeInterface_) % sizeof(void*) == 0, "table is not all pointers");
static_assert(sizeof(JNIInvokeInterface_) % sizeof(void*) == 0, "table is not all pointers");

template <size_t... Slots>
void FillEnvTraps(std::index_sequence<Slots...>) {
    const TrapFunction traps[] = {&EnvTrap<Slots>...};
    static_assert(sizeof(traps) == sizeof(g_envTable), "one trap per slot");
    memcpy(&g_envTable, traps, sizeof(traps));
}

template <size_t... Slots>
void FillVmTraps(std::index_sequence<Slots...>) {
    const TrapFunction traps[] = {&VmTrap<Slots>...};
    static_assert(sizeof(traps) == sizeof(g_vmTable), "one trap per slot");
    memcpy(&g_vmTable, traps, sizeof(traps));
}

// ---- small helpers ----

bool IsSupportedVersion(jint version) {
    for (jint supported : kSupportedVersions) {
        if (supported == version) return true;
    }
    return false;
}

bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// "-Xmx64m": digits, then at most one unit letter.
bool IsSizeValue(const char* text) {
    if (*text < '0' || *text > '9') return false;
    while (*text >= '0' && *text <= '9') ++text;
    if (*text != '\0' && strchr("kKmMgGtT", *text) != nullptr) ++text;
    return *text == '\0';
}

// The word alone, or the word followed by ":" and something.
bool IsWordWithOptionalArgument(const char* text, const char* word) {
    size_t length = strlen(word);
    if (strncmp(text, word, length) != 0) return false;
    return text[length] == '\0' || (text[length] == ':' && text[length + 1] != '\0');
}

bool IsRecognisedOption(const char* option) {
    if (option == nullptr) return false;
    if (StartsWith(option, "-D")) {
        const char* equals = strchr(option + 2, '=');
        return equals != nullptr && equals != option + 2;
    }
    if (StartsWith(option, "-Xmx") || StartsWith(option, "-Xms") || StartsWith(option, "-Xss")) {
        return IsSizeValue(option + 4);
    }
    // Module options, in the one form the Invocation API takes: "name=value".
    static const char* const kModuleOptions[] = {"--add-opens=",
                                                 "--add-exports=",
                                                 "--add-reads=",
                                                 "--add-modules=",
                                                 "--patch-module=",
                                                 "--limit-modules=",
                                                 "--enable-native-access=",
                                                 "--upgrade-module-path=",
                                                 "--module-path="};
    for (const char* prefix : kModuleOptions) {
        if (StartsWith(option, prefix) && option[strlen(prefix)] != '\0') return true;
    }
    // -XX:+Flag, -XX:-Flag, -XX:Name=value.
    if (StartsWith(option, "-XX:") && option[4] != '\0') {
        const char* name = option[4] == '+' || option[4] == '-' ? option + 5 : option + 4;
        return *name != '\0' && *name != '=';
    }
    if (IsWordWithOptionalArgument(option, "-verbose") ||
        IsWordWithOptionalArgument(option, "-ea") || IsWordWithOptionalArgument(option, "-da")) {
        return true;
    }
    static const char* const kExact[] = {"-esa",        "-dsa", "-Xrs",  "-Xint",
                                         "-Xcheck:jni", "exit", "abort", "vfprintf"};
    for (const char* exact : kExact) {
        if (strcmp(option, exact) == 0) return true;
    }
    return false;
}

// The JNI specification lets ignoreUnrecognized pass over only "-X" and "_" options; any
// other unknown option still refuses the creation.
bool IsIgnorable(const char* option) {
    return option != nullptr && (StartsWith(option, "-X") || option[0] == '_');
}

char* CopyText(const char* text) {
    size_t length = strlen(text);
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (copy != nullptr) memcpy(copy, text, length + 1);
    return copy;
}

void FreeText(char* text) {
    if (text != nullptr) HeapFree(GetProcessHeap(), 0, text);
}

// UTF-8 copy of UTF-16 text for the record; lone surrogates come out as U+FFFD.
char* ToUtf8(const jchar* text, jsize length) {
    static_assert(sizeof(wchar_t) == sizeof(jchar), "jchar and wchar_t are both UTF-16 units");
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text);
    int bytes = 0;
    if (length > 0) {
        bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return nullptr;
    }
    char* out = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(bytes) + 1));
    if (out == nullptr) return nullptr;
    if (length > 0 &&
        WideCharToMultiByte(CP_UTF8, 0, wide, length, out, bytes, nullptr, nullptr) != bytes) {
        HeapFree(GetProcessHeap(), 0, out);
        return nullptr;
    }
    out[bytes] = '\0';
    return out;
}

// ---- class path ----

bool StreamContains(HANDLE file, const char* needle) {
    const size_t needleLength = strlen(needle);
    constexpr size_t kChunk = 16 * 1024;
    constexpr size_t kCarry = 64;
    char buffer[kChunk + kCarry];
    if (needleLength == 0 || needleLength > kCarry) return false;
    size_t kept = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + kept, static_cast<DWORD>(kChunk), &got, nullptr) || got == 0) {
            return false;
        }
        size_t total = kept + got;
        for (size_t i = 0; i + needleLength <= total; ++i) {
            if (memcmp(buffer + i, needle, needleLength) == 0) return true;
        }
        // Keep the tail so a name split across two reads is still seen.
        kept = total < needleLength - 1 ? total : needleLength - 1;
        memmove(buffer, buffer + total - kept, kept);
    }
}

bool JarHoldsEntry(const char* entry, size_t length, const char* classEntry) {
    wchar_t path[1024];
    if (length >= std::size(path)) return false;
    // Class path entries come in the ANSI code page, as the host converted them.
    int units = MultiByteToWideChar(CP_ACP, 0, entry, static_cast<int>(length), path,
                                    static_cast<int>(std::size(path)) - 1);
    if (units <= 0) return false;
    path[units] = L'\0';
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool found = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 StreamContains(file, classEntry);
    CloseHandle(file);
    return found;
}

// The application's class `name` ("org/example/App"): loadable when a class path entry is a
// file that holds "<name>.class".
bool ApplicationClassLoadable(const char* name) {
    char classEntry[kClassNameBytes];
    if (strlen(name) + 7 > sizeof(classEntry)) return false;
    strcpy(classEntry, name);
    strcat(classEntry, ".class");
    EnterCriticalSection(&g_vm.lock);
    bool loaded = g_vm.classLoaded && strcmp(g_vm.loadedClass, name) == 0;
    const char* classPath = g_vm.classPath;
    LeaveCriticalSection(&g_vm.lock);
    // Like a real VM, a class once loaded stays loaded, whatever happens to its jar.
    if (loaded) return true;
    if (classPath == nullptr) return false;
    bool found = false;
    const char* p = classPath;
    while (!found && *p != '\0') {
        const char* separator = strchr(p, ';');
        size_t length = separator != nullptr ? static_cast<size_t>(separator - p) : strlen(p);
        if (length != 0) found = JarHoldsEntry(p, length, classEntry);
        p = separator != nullptr ? separator + 1 : p + length;
    }
    if (found) {
        EnterCriticalSection(&g_vm.lock);
        if (!g_vm.classLoaded) {
            strcpy(g_vm.loadedClass, name);
            g_vm.classLoaded = true;
        }
        LeaveCriticalSection(&g_vm.lock);
    }
    return found;
}

// ---- env and VM checks ----

Env* FindEnvLocked(JNIEnv* jenv) {
    for (size_t i = 0; i < g_vm.envCount; ++i) {
        if (&g_vm.envs[i].jni == jenv) return &g_vm.envs[i];
    }
    return nullptr;
}

Env* FindThreadEnvLocked(DWORD threadId) {
    for (size_t i = 0; i < g_vm.envCount; ++i) {
        if (g_vm.envs[i].attached && g_vm.envs[i].threadId == threadId) return &g_vm.envs[i];
    }
    return nullptr;
}

Env* NewEnvLocked(DWORD threadId, bool daemon) {
    if (g_vm.envCount == kMaxEnvs) return nullptr;
    Env* env = &g_vm.envs[g_vm.envCount++];
    env->jni.functions = &g_envTable;
    env->threadId = threadId;
    env->attached = true;
    env->daemon = daemon;
    env->pending = nullptr;
    return env;
}

// Entry check of every JNIEnv function. Each fault is a case where a real VM's behaviour is
// undefined; the stand-in records it and carries on where it can, so the test sees what the
// host did next. Returns null when there is nothing to carry on with.
[[noreturn]] void StopForGood();

Env* BeginEnvCall(JNIEnv* jenv, const char* function, bool pendingAllowed) {
    const DWORD self = GetCurrentThreadId();
    bool destroyed = false;
    bool afterDetach = false;
    bool wrongThread = false;
    bool pendingFault = false;
    EnterCriticalSection(&g_vm.lock);
    Env* env = nullptr;
    bool blocked = false;
    if (g_vm.state == VmState::kDestroyed) {
        destroyed = true;
        const Env* own = FindEnvLocked(jenv);
        blocked = own != nullptr && own->daemon && own->threadId == self;
    } else {
        env = FindEnvLocked(jenv);
        if (env != nullptr) {
            afterDetach = !env->attached;
            wrongThread = env->attached && env->threadId != self;
            pendingFault = env->pending != nullptr && !pendingAllowed;
        }
    }
    LeaveCriticalSection(&g_vm.lock);
    if (blocked) {
        // As HotSpot: a daemon thread that calls into a VM that has ended never returns.
        Record("BLOCKED", function);
        StopForGood();
    }
    if (destroyed) {
        RecordFault("use of destroyed VM", function);
        return nullptr;
    }
    if (env == nullptr) {
        RecordFault("unknown JNIEnv", function);
        return nullptr;
    }
    if (afterDetach) RecordFault("env used after detach", function);
    if (wrongThread) RecordFault("env used on wrong thread", function);
    if (pendingFault) RecordFault("exception pending", function);
    return env;
}

bool BeginVmCall(JavaVM* vm, const char* function) {
    if (vm != &g_javaVm) {
        RecordFault("unknown JavaVM", function);
        return false;
    }
    EnterCriticalSection(&g_vm.lock);
    VmState state = g_vm.state;
    LeaveCriticalSection(&g_vm.lock);
    if (state == VmState::kDestroyed) {
        RecordFault("use of destroyed VM", function);
        return false;
    }
    if (state != VmState::kLive) {
        RecordFault("use of VM before its creation completed", function);
        return false;
    }
    return true;
}

Throwable* PendingOf(Env* env) {
    EnterCriticalSection(&g_vm.lock);
    Throwable* pending = env->pending;
    LeaveCriticalSection(&g_vm.lock);
    return pending;
}

void SetPending(Env* env, Throwable* throwable) {
    EnterCriticalSection(&g_vm.lock);
    env->pending = throwable;
    LeaveCriticalSection(&g_vm.lock);
}

StringRef* FindStringLocked(jobject object) {
    for (size_t i = 0; i < g_vm.stringCount; ++i) {
        if (&g_vm.strings[i].object == object) return &g_vm.strings[i];
    }
    return nullptr;
}

// ---- what the runtime prints ----

void WriteToStandardHandle(DWORD which, const char* text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

// As a real VM's ExceptionDescribe prints it, with the class name in dotted form.
void PrintDescription(const Throwable& throwable) {
    char text[256];
    size_t length = 0;
    const char* const pieces[] = {"Exception in thread \"main\" ", throwable.className,
                                  ": stand-in exception\n\tat stand-in frame\n"};
    for (const char* piece : pieces) {
        for (const char* c = piece; *c != '\0' && length + 1 < sizeof(text); ++c) {
            text[length++] = *c == '/' ? '.' : *c;
        }
    }
    text[length] = '\0';
    WriteToStandardHandle(STD_ERROR_HANDLE, text);
}

using VfprintfHook = jint(JNICALL*)(FILE* stream, const char* format, va_list args);

// The hook the host passed as the "vfprintf" option's extraInfo, or null.
VfprintfHook FindVfprintfHook(const JavaVMInitArgs& args) {
    VfprintfHook hook = nullptr;
    for (jint i = 0; i < args.nOptions; ++i) {
        const char* option = args.options[i].optionString;
        if (option != nullptr && strcmp(option, "vfprintf") == 0) {
            hook = reinterpret_cast<VfprintfHook>(args.options[i].extraInfo);
        }
    }
    return hook;
}

// Through the hook as a real VM does: the host formats, with its C runtime's printf rules.
void CallHook(VfprintfHook hook, const char* format, ...) {
    va_list args;
    va_start(args, format);
    hook(stderr, format, args);
    va_end(args);
}

struct HookThread {
    VfprintfHook hook;
    int index;
};

DWORD WINAPI PrintHookLines(void* param) {
    const HookThread* thread = static_cast<const HookThread*>(param);
    for (int line = 0; line < kHookLinesPerThread; ++line) {
        CallHook(thread->hook, "thread %d line %d\n", thread->index, line);
    }
    return 0;
}

// hook.threads: every thread prints at once; creation waits for all of them.
void PrintFromThreads(VfprintfHook hook, DWORD count) {
    HookThread threads[kMaxHookThreads];
    HANDLE handles[kMaxHookThreads];
    DWORD started = 0;
    for (DWORD i = 0; i < count; ++i) {
        threads[started] = {hook, static_cast<int>(i)};
        handles[started] = CreateThread(nullptr, 0, PrintHookLines, &threads[started], 0, nullptr);
        if (handles[started] == nullptr) {
            RecordFault("hook thread not started", nullptr);
            break;
        }
        ++started;
    }
    if (started == 0) return;
    WaitForMultipleObjects(started, handles, TRUE, INFINITE);
    for (DWORD i = 0; i < started; ++i) CloseHandle(handles[i]);
}

void PrintLongText(VfprintfHook hook, DWORD chars) {
    char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, chars + 1));
    if (text == nullptr) {
        RecordFault("no memory for hook.long", nullptr);
        return;
    }
    memset(text, 'x', chars);
    text[chars] = '\0';
    CallHook(hook, "%s", text);
    HeapFree(GetProcessHeap(), 0, text);
}

// What the scenario asks the runtime to print while it is being created.
void PrintAsAsked(const Scenario& scenario, VfprintfHook hook) {
    if (scenario.stdoutText[0] != '\0') {
        WriteToStandardHandle(STD_OUTPUT_HANDLE, scenario.stdoutText);
        WriteToStandardHandle(STD_OUTPUT_HANDLE, "\n");
    }
    if (scenario.stderrText[0] != '\0') {
        WriteToStandardHandle(STD_ERROR_HANDLE, scenario.stderrText);
        WriteToStandardHandle(STD_ERROR_HANDLE, "\n");
    }
    const bool hookWanted = scenario.hookText[0] != '\0' || scenario.hookFormats ||
                            scenario.hookLongChars != 0 || scenario.hookThreads != 0;
    if (!hookWanted) return;
    if (hook == nullptr) {
        RecordFault("no vfprintf hook", "JNI_CreateJavaVM");
        return;
    }
    if (scenario.hookText[0] != '\0') CallHook(hook, "%s\n", scenario.hookText);
    if (scenario.hookFormats) {
        CallHook(hook,
                 "s=%s d=%d I64d=%I64d Iu=%Iu zu=%zu zd=%zd ju=%ju td=%td hhd=%hhd *d=[%*d] "
                 "%%=%% .2f=%.2f s=%s\n",
                 "text", -42, -1234567890123LL, static_cast<size_t>(4000000000U), SIZE_MAX,
                 PTRDIFF_MIN, static_cast<uintmax_t>(12345678901234ULL), static_cast<ptrdiff_t>(-9),
                 300, -6, 42, 3.14159, "after");
    }
    if (scenario.hookLongChars != 0) PrintLongText(hook, scenario.hookLongChars);
    if (scenario.hookThreads != 0) PrintFromThreads(hook, scenario.hookThreads);
    Record("HOOK", "printed");
}

// ---- what the runtime sees of its process ----

HMODULE g_self;  // this jvm.dll; written once by DllMain

// record.cwd: the working directory the VM is created in, the one a real VM keeps as user.dir.
void RecordWorkingDirectory() {
    wchar_t dir[1024];
    char utf8[3 * std::size(dir)] = {};
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(std::size(dir)), dir);
    if (length > 0 && length < std::size(dir)) {
        WideCharToMultiByte(CP_UTF8, 0, dir, -1, utf8, static_cast<int>(std::size(utf8)), nullptr,
                            nullptr);
    }
    Record("CWD", utf8);
}

// record.env: "ENV <name>=<utf8 value>", or "ENV <name> unset", for each name of the list.
void RecordEnvironment(const char* names) {
    for (const char* name = names; *name != '\0';) {
        const char* end = strchr(name, ',');
        const size_t length = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
        wchar_t wideName[128] = {};
        MultiByteToWideChar(CP_UTF8, 0, name, static_cast<int>(length), wideName, 127);
        wchar_t value[4096];
        const DWORD units = GetEnvironmentVariableW(wideName, value, 4096);
        char utf8[3 * 4096] = {};
        WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(units < 4096 ? units : 0), utf8,
                            static_cast<int>(sizeof(utf8)), nullptr, nullptr);
        Line line;
        LineStart(&line, "ENV");
        LineWordN(&line, name, length);
        LineAppend(&line, units == 0 ? " unset" : "=");
        LineAppend(&line, utf8);
        WriteLine(line);
        name += length + (end != nullptr ? 1 : 0);
    }
}

// main.load: <bin>\<name>, bin being the folder above this jvm.dll's own, loaded by its full
// path with a plain LoadLibraryW, as a real runtime loads its own libraries late; then freed.
void LoadLateLibrary(const char* name) {
    wchar_t path[1024];
    DWORD length = GetModuleFileNameW(g_self, path, static_cast<DWORD>(std::size(path)));
    for (int cut = 0; cut < 2 && length > 0; ++cut) {
        while (length > 0 && path[length - 1] != L'\\') --length;
        if (length > 0) --length;
    }
    const size_t nameLength = strlen(name);
    Line line;
    LineStart(&line, "LOAD");
    LineWord(&line, name);
    LineWord(&line, "result=");
    if (length == 0 || length + 1 + nameLength >= std::size(path)) {
        LineAppend(&line, "path");
        WriteLine(line);
        return;
    }
    path[length++] = L'\\';
    for (size_t i = 0; i <= nameLength; ++i) path[length + i] = static_cast<wchar_t>(name[i]);
    HMODULE module = LoadLibraryW(path);
    const DWORD error = GetLastError();
    if (module != nullptr) {
        LineAppend(&line, "ok");
        FreeLibrary(module);
    } else {
        LineUnsigned(&line, error);
    }
    WriteLine(line);
}

// record.thread: "THREAD stack=<bytes> dlldir=<folder>", the stack the calling thread reserved
// (what -Xss sizes under the java launcher) and the process's DLL folder (empty: none).
void RecordThread() {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    wchar_t dir[512] = {};
    char utf8[3 * std::size(dir)] = {};
    if (GetDllDirectoryW(static_cast<DWORD>(std::size(dir)), dir) < std::size(dir)) {
        WideCharToMultiByte(CP_UTF8, 0, dir, -1, utf8, static_cast<int>(std::size(utf8)), nullptr,
                            nullptr);
    }
    Line line;
    LineStart(&line, "THREAD");
    LineWord(&line, "stack=");
    LineUnsigned(&line, high - low);
    LineWord(&line, "dlldir=");
    LineAppend(&line, utf8);
    WriteLine(line);
}

// ---- heap.out: the heap runs out ----

// With -XX:+HeapDumpOnOutOfMemoryError, the dump HotSpot writes: java_pid<pid>.hprof in the
// folder -XX:HeapDumpPath names (the working directory without it), or the file it names when
// that is no folder; a new file, made by the C runtime without a security descriptor of its own.
// Records "OOMDUMP <path> result=ok|<errno>".
void RunOutOfHeap() {
    if (!g_vm.heapDumpOnOutOfMemory) return;
    char path[MAX_PATH + 32];
    strcpy(path, g_vm.heapDumpPath);
    const DWORD attributes = GetFileAttributesA(path);
    if (path[0] == '\0' ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        const size_t length = strlen(path);
        snprintf(path + length, sizeof(path) - length, "%sjava_pid%lu.hprof",
                 length == 0 || path[length - 1] == '\\' ? "" : "\\", GetCurrentProcessId());
    }
    const int file = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    Line line;
    LineStart(&line, "OOMDUMP");
    LineWord(&line, path);
    LineWord(&line, "result=");
    if (file < 0) {
        LineSigned(&line, errno);
    } else {
        LineAppend(&line, "ok");
        _write(file, "JAVA PROFILE 1.0.2", 19);
        _close(file);
    }
    WriteLine(line);
}

// ---- the scripted application ----

void PrintAtTheEnd(const Scenario& scenario);

// The runtime's end, as a real VM brings it about: the host's hook is called on a thread of the
// VM's own, and when it returns (or there is none) the runtime ends the process by itself.
DWORD WINAPI ExitRuntime(void* /*unused*/) {
    PrintAtTheEnd(g_vm.scenario);
    const long status = g_vm.exitStatus;
    Line line;
    LineStart(&line, "EXIT");
    LineWord(&line, "status=");
    LineSigned(&line, status);
    LineWord(&line, g_vm.exitHook != nullptr ? "hook=1" : "hook=0");
    WriteLine(line);
    if (g_vm.exitHook != nullptr) g_vm.exitHook(static_cast<jint>(status));
    ExitProcess(static_cast<UINT>(status));
}

DWORD WINAPI AbortRuntime(void* /*unused*/) {
    PrintAtTheEnd(g_vm.scenario);
    Record("ABORT", g_vm.abortHook != nullptr ? "hook=1" : "hook=0");
    if (g_vm.abortHook != nullptr) g_vm.abortHook();
    ExitProcess(kAbortExitCode);
}

// The Java thread that asked for the end never runs again, as at a real VM's final safepoint.
[[noreturn]] void StopForGood() {
    for (;;) Sleep(INFINITE);
}

[[noreturn]] void EndRuntime(LPTHREAD_START_ROUTINE how) {
    HANDLE thread = CreateThread(nullptr, 0, how, nullptr, 0, nullptr);
    if (thread == nullptr) {
        RecordFault("no thread for the runtime's end", nullptr);
    } else {
        CloseHandle(thread);
    }
    StopForGood();
}

// ---- out.lines, err.lines: the application's console output while it runs ----

double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// "<stream> <8-digit number> ", '.' up to lineBytes - 1, "\n" in `line` (lineBytes of it,
// the stream's name at most 8 characters), numbered from `first`: each line one WriteFile, as
// a println of Java's System.out gives. No formatter of USER32 (wsprintfA): loading it would
// cost every timed start.
void WriteNumberedLines(HANDLE handle, const char* stream, DWORD first, DWORD lines, char* line,
                        DWORD lineBytes) {
    memset(line, '.', lineBytes);
    line[lineBytes - 1] = '\n';
    const size_t name = strlen(stream);
    memcpy(line, stream, name);
    line[name] = ' ';
    line[name + 9] = ' ';
    for (DWORD i = first; i < first + lines; ++i) {
        DWORD number = i;
        for (size_t digit = name + 8; digit > name; --digit, number /= 10) {
            line[digit] = static_cast<char>('0' + number % 10);
        }
        DWORD written = 0;
        WriteFile(handle, line, lineBytes, &written, nullptr);
    }
}

// The same in a buffer of its own; returns the milliseconds the writes took.
double PrintNumberedLines(HANDLE handle, const char* stream, DWORD lines, DWORD lineBytes,
                          DWORD first = 1) {
    char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, lineBytes));
    if (line == nullptr) {
        RecordFault("no memory for out.lines", nullptr);
        return 0;
    }
    const double start = NowMs();
    WriteNumberedLines(handle, stream, first, lines, line, lineBytes);
    const double took = NowMs() - start;
    HeapFree(GetProcessHeap(), 0, line);
    return took;
}

// ---- end.lines, end.busy: what is still in flight when the runtime ends ----

// Every thread of the process but the caller's stops where it is, the host's console writers
// among them, as on a machine that gives them no time before the end.
void SuspendOtherThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() ||
            entry.th32ThreadID == GetCurrentThreadId()) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread != nullptr) {
            SuspendThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

// An application thread that never stops writing to standard output ("busy" lines).
DWORD WINAPI WriteWithoutEnd(void* /*unused*/) {
    char line[kEndLineBytes];
    for (;;) {
        WriteNumberedLines(GetStdHandle(STD_OUTPUT_HANDLE), "busy", 1, 1000, line, sizeof(line));
    }
}

// On the runtime's end thread, before its hook: with the other threads stopped, the lines
// stay in the host's pipes unless the host empties them itself. The buffers are on the stack:
// a stopped thread may hold the heap's lock.
void PrintAtTheEnd(const Scenario& scenario) {
    if (scenario.endLines == 0) return;
    SuspendOtherThreads();
    char line[kEndLineBytes];
    WriteNumberedLines(GetStdHandle(STD_OUTPUT_HANDLE), "stdout", 1, scenario.endLines, line,
                       sizeof(line));
    WriteNumberedLines(GetStdHandle(STD_ERROR_HANDLE), "stderr", 1, scenario.endLines, line,
                       sizeof(line));
    for (DWORD i = 0; i < scenario.endBusy; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, WriteWithoutEnd, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
}

void RecordPrinted(const char* where, DWORD lines, DWORD lineBytes, double ms) {
    Line line;
    LineStart(&line, "PRINT");
    LineWord(&line, where);
    LineWord(&line, "bytes=");
    LineUnsigned(&line, static_cast<unsigned long long>(lines) * lineBytes);
    LineWord(&line, "us=");
    LineUnsigned(&line, static_cast<unsigned long long>(ms * 1000));
    WriteLine(line);
}

// The process's memory once the lines are written: the host's pipes and writers included.
void RecordMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return;
    Line line;
    LineStart(&line, "MEMORY");
    LineWord(&line, "peak_working_set=");
    LineUnsigned(&line, counters.PeakWorkingSetSize);
    LineWord(&line, "private=");
    LineUnsigned(&line, counters.PagefileUsage);
    WriteLine(line);
}

void PrintAsRunning(const Scenario& scenario) {
    if (scenario.outLines == 0 && scenario.errLines == 0) return;
    const DWORD bytes = scenario.lineBytes;
    if (scenario.printDirect) {
        wchar_t path[1024];
        HANDLE file = InstallFilePath(L"standin-direct.out", L"", path, std::size(path))
                          ? CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                          : INVALID_HANDLE_VALUE;
        const double ms = PrintNumberedLines(file, "stdout", scenario.outLines, bytes);
        CloseHandle(file);
        RecordPrinted("direct", scenario.outLines, bytes, ms);
    }
    // print.at with gate.print (or pause.print): the standard output's lines stop after that
    // one, at the step "print".
    const DWORD at = scenario.printAt < scenario.outLines ? scenario.printAt : scenario.outLines;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    double outMs = PrintNumberedLines(out, "stdout", at, bytes);
    if (at < scenario.outLines) {
        PauseAndGate(scenario, kStepPrint);
        outMs += PrintNumberedLines(out, "stdout", scenario.outLines - at, bytes, at + 1);
    }
    const double errMs =
        PrintNumberedLines(GetStdHandle(STD_ERROR_HANDLE), "stderr", scenario.errLines, bytes);
    RecordPrinted("stdout", scenario.outLines, bytes, outMs);
    RecordPrinted("stderr", scenario.errLines, bytes, errMs);
    RecordMemory();
}

// signal.main: the benchmarks time the start against this event.
void SignalMainEntered(const Scenario& scenario) {
    if (scenario.mainSignal[0] == '\0') return;
    HANDLE entered = OpenEventA(EVENT_MODIFY_STATE, FALSE, scenario.mainSignal);
    if (entered != nullptr) {
        SetEvent(entered);
        CloseHandle(entered);
    }
}

void RunServiceMain(Env* env, jstring argument) {
    const char* text = "(null)";
    bool known = true;
    bool deleted = false;
    if (argument != nullptr) {
        EnterCriticalSection(&g_vm.lock);
        StringRef* ref = FindStringLocked(argument);
        if (ref == nullptr) {
            known = false;
        } else {
            text = ref->utf8;
            deleted = !ref->live;
        }
        LeaveCriticalSection(&g_vm.lock);
    }
    if (!known) RecordFault("unknown string handle", "CallStaticVoidMethod");
    if (deleted) RecordFault("deleted string passed", "CallStaticVoidMethod");

    Line line;
    LineStart(&line, "CallStaticVoidMethod");
    LineWord(&line, "serviceMain");
    LineWord(&line, "arg=");
    LineAppend(&line, known ? text : "(unknown)");
    WriteLine(line);

    const Scenario& scenario = g_vm.scenario;
    SignalMainEntered(scenario);
    if (scenario.recordThread) RecordThread();
    if (scenario.mainLoad[0] != '\0') LoadLateLibrary(scenario.mainLoad);
    PauseAndGate(scenario, kStepMain);
    PrintAsRunning(scenario);
    if (scenario.heapOut) RunOutOfHeap();
    if (scenario.main == MainMode::kBlock) {
        WaitForSingleObject(g_vm.stopRequested, INFINITE);
    } else if (scenario.main == MainMode::kThrow) {
        SetPending(env, &g_illegalState);
    } else if (scenario.main == MainMode::kExit) {
        EndRuntime(ExitRuntime);
    } else if (scenario.main == MainMode::kAbort) {
        EndRuntime(AbortRuntime);
    }
    Record("LEAVE", "serviceMain");
}

void RunServiceStop(Env* env) {
    Record("CallStaticVoidMethod", "serviceStop");
    const Scenario& scenario = g_vm.scenario;
    PauseAndGate(scenario, kStepStop);
    if (scenario.stop == StopMode::kExit) EndRuntime(ExitRuntime);
    if (scenario.stop == StopMode::kHang) StopForGood();
    if (scenario.stop != StopMode::kIgnore) SetEvent(g_vm.stopRequested);
    if (scenario.stop == StopMode::kReleaseHang) StopForGood();
    if (scenario.stop == StopMode::kThrow) SetPending(env, &g_illegalState);
    Record("LEAVE", "serviceStop");
}

ArrayRef* FindArrayLocked(jobject object) {
    for (size_t i = 0; i < g_vm.arrayCount; ++i) {
        if (object == &g_vm.arrays[i].object) return &g_vm.arrays[i];
    }
    return nullptr;
}

// linger=: a non-daemon thread of the application starts with main and runs on after it.
void StartLingering(const Scenario& scenario) {
    if (scenario.lingerMs == 0) return;
    EnterCriticalSection(&g_vm.lock);
    g_vm.lingerUntil = scenario.lingerMs == INFINITE ? ~0ULL : GetTickCount64() + scenario.lingerMs;
    LeaveCriticalSection(&g_vm.lock);
}

// main(String[]): records each argument as "ARG <i> <utf8>", then behaves as serviceMain does;
// main() records "noargs" instead. `call` is the JNI function that called it.
void RunMain(Env* env, jobjectArray array, const char* call, bool takesArguments) {
    size_t count = 0;
    EnterCriticalSection(&g_vm.lock);
    ArrayRef* ref = array != nullptr ? FindArrayLocked(array) : nullptr;
    LeaveCriticalSection(&g_vm.lock);
    if (!takesArguments) {
    } else if (ref == nullptr) {
        RecordFault("unknown array handle", "CallStaticVoidMethod");
    } else {
        count = static_cast<size_t>(ref->length);
        for (size_t i = 0; i < count; ++i) {
            Line line;
            LineStart(&line, "ARG");
            LineWord(&line, "");
            LineUnsigned(&line, i);
            LineWord(&line, ref->items[i] != nullptr ? ref->items[i]->utf8 : "(null)");
            WriteLine(line);
        }
    }
    Line line;
    LineStart(&line, call);
    LineWord(&line, "main");
    LineWord(&line, takesArguments ? "argc=" : "noargs");
    if (takesArguments) LineUnsigned(&line, count);
    WriteLine(line);

    const Scenario& scenario = g_vm.scenario;
    SignalMainEntered(scenario);
    if (scenario.recordThread) RecordThread();
    StartLingering(scenario);
    PauseAndGate(scenario, kStepMain);
    PrintAsRunning(scenario);
    if (scenario.heapOut) RunOutOfHeap();
    if (scenario.main == MainMode::kBlock) {
        // An ordinary program's main that never returns; System.exit ends it.
        StopForGood();
    } else if (scenario.main == MainMode::kThrow) {
        SetPending(env, &g_illegalState);
    } else if (scenario.main == MainMode::kExit) {
        EndRuntime(ExitRuntime);
    } else if (scenario.main == MainMode::kAbort) {
        EndRuntime(AbortRuntime);
    }
    Record("LEAVE", "main");
}

// System.exit: the application's shutdown hooks run on the calling thread, then the runtime
// ends (its exit hook on a thread of its own) and this thread never runs again.
[[noreturn]] void RunSystemExit(jint status) {
    Line line;
    LineStart(&line, "CallStaticVoidMethod");
    LineWord(&line, "exit");
    LineWord(&line, "status=");
    LineSigned(&line, status);
    WriteLine(line);
    const Scenario& scenario = g_vm.scenario;
    PauseAndGate(scenario, kStepStop);
    Record("SHUTDOWNHOOK", "start");
    if (scenario.shutdownHook == ShutdownHookMode::kHang) StopForGood();
    if (scenario.shutdownHookMs != 0) Sleep(scenario.shutdownHookMs);
    Record("SHUTDOWNHOOK", "done");
    EnterCriticalSection(&g_vm.lock);
    g_vm.exitStatus = status;
    LeaveCriticalSection(&g_vm.lock);
    EndRuntime(ExitRuntime);
}

// `argument` is the method's one argument, if it takes one.
void CallStatic(JNIEnv* jenv, jclass cls, jmethodID method, jvalue argument) {
    Env* env = BeginEnvCall(jenv, "CallStaticVoidMethod", false);
    if (env == nullptr) return;
    jclass expected = method == ExitId() ? &g_systemClass : &g_mainClass;
    if (cls != expected) RecordFault("unknown class handle", "CallStaticVoidMethod");
    if (method == ServiceMainId()) {
        RunServiceMain(env, static_cast<jstring>(argument.l));
    } else if (method == ServiceStopId()) {
        RunServiceStop(env);
    } else if (method == MainId() || method == MainNoArgsId()) {
        RunMain(env, static_cast<jobjectArray>(argument.l), "CallStaticVoidMethod",
                method == MainId());
    } else if (method == ExitId()) {
        RunSystemExit(argument.i);
    } else {
        RecordFault("unknown method id", "CallStaticVoidMethod");
    }
}

// The one argument of the method, from a variadic call.
jvalue ArgumentOf(jmethodID method, va_list args) {
    jvalue argument = {};
    if (method == ServiceMainId()) {
        argument.l = va_arg(args, jstring);
    } else if (method == MainId()) {
        argument.l = va_arg(args, jobjectArray);
    } else if (method == ExitId()) {
        argument.i = va_arg(args, jint);
    }
    return argument;
}

// ---- the management beans: thread dumps, deadlocks, heap dumps ----
// The JDK classes, methods and objects the host's diagnostics use; only their addresses matter.
// What they answer comes from the scenario (threads=, heap=, deadlock=, pause.dump, gate.dump).

enum FakeClassIndex {
    kObjectClass,
    kFactoryClass,
    kObjectNameClass,
    kServerClass,
    kThreadBeanClass,
    kThreadInfoClass,
    kHotSpotClass,
    // What the host's launcher-shaped start asks: reflection, and the JDK's launcher helper.
    kLoaderClass,
    kClassClass,
    kMethodClass,
    kThrowableClass,
    kStringArrayClass,
    kVoidClass,
    kHelperClass,
    kFakeClassCount
};
struct FakeClass {
    _jclass object;
    const char* name;
};
FakeClass g_fakeClasses[kFakeClassCount] = {{{}, "java/lang/Object"},
                                            {{}, "java/lang/management/ManagementFactory"},
                                            {{}, "javax/management/ObjectName"},
                                            {{}, "javax/management/MBeanServer"},
                                            {{}, "java/lang/management/ThreadMXBean"},
                                            {{}, "java/lang/management/ThreadInfo"},
                                            {{}, "com/sun/management/HotSpotDiagnosticMXBean"},
                                            {{}, "java/lang/ClassLoader"},
                                            {{}, "java/lang/Class"},
                                            {{}, "java/lang/reflect/Method"},
                                            {{}, "java/lang/Throwable"},
                                            {{}, "[Ljava/lang/String;"},
                                            {{}, "void"},
                                            {{}, "sun/launcher/LauncherHelper"}};

enum class Call {
    kPlatformServer,
    kObjectNameOf,
    kInvoke,
    kThreadBean,
    kDumpAllThreads,
    kFindDeadlocked,
    kThreadInfos,
    kThreadName,
    kToString,
    kPlatformBean,
    kDumpHeap,
    kSystemLoader,
    kForName,
    kCheckAndLoadMain,
    kGetMethod,
    kClassName,
    kModifiers,
    kReturnType,
    kResource,
    kCause
};
struct FakeMethod {
    FakeClassIndex owner;
    const char* name;
    const char* signature;
    bool isStatic;
    Call call;
};
const FakeMethod kFakeMethods[] = {
    {kFactoryClass, "getPlatformMBeanServer", "()Ljavax/management/MBeanServer;", true,
     Call::kPlatformServer},
    {kObjectNameClass, "getInstance", "(Ljava/lang/String;)Ljavax/management/ObjectName;", true,
     Call::kObjectNameOf},
    {kServerClass, "invoke",
     "(Ljavax/management/ObjectName;Ljava/lang/String;[Ljava/lang/Object;[Ljava/lang/String;)"
     "Ljava/lang/Object;",
     false, Call::kInvoke},
    {kFactoryClass, "getThreadMXBean", "()Ljava/lang/management/ThreadMXBean;", true,
     Call::kThreadBean},
    {kThreadBeanClass, "dumpAllThreads", "(ZZ)[Ljava/lang/management/ThreadInfo;", false,
     Call::kDumpAllThreads},
    {kThreadBeanClass, "findDeadlockedThreads", "()[J", false, Call::kFindDeadlocked},
    {kThreadBeanClass, "getThreadInfo", "([J)[Ljava/lang/management/ThreadInfo;", false,
     Call::kThreadInfos},
    {kThreadInfoClass, "getThreadName", "()Ljava/lang/String;", false, Call::kThreadName},
    {kObjectClass, "toString", "()Ljava/lang/String;", false, Call::kToString},
    {kFactoryClass, "getPlatformMXBean",
     "(Ljava/lang/Class;)Ljava/lang/management/PlatformManagedObject;", true, Call::kPlatformBean},
    {kHotSpotClass, "dumpHeap", "(Ljava/lang/String;Z)V", false, Call::kDumpHeap},
    {kLoaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;", true, Call::kSystemLoader},
    {kClassClass, "forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;", true,
     Call::kForName},
    {kHelperClass, "checkAndLoadMain", "(ZILjava/lang/String;)Ljava/lang/Class;", true,
     Call::kCheckAndLoadMain},
    {kClassClass, "getMethod", "(Ljava/lang/String;[Ljava/lang/Class;)Ljava/lang/reflect/Method;",
     false, Call::kGetMethod},
    {kClassClass, "getName", "()Ljava/lang/String;", false, Call::kClassName},
    {kMethodClass, "getModifiers", "()I", false, Call::kModifiers},
    {kMethodClass, "getReturnType", "()Ljava/lang/Class;", false, Call::kReturnType},
    {kLoaderClass, "getResource", "(Ljava/lang/String;)Ljava/net/URL;", false, Call::kResource},
    {kThrowableClass, "getCause", "()Ljava/lang/Throwable;", false, Call::kCause},
};

// The beans, the arrays they answer with, and one ThreadInfo per thread: "main", then the
// deadlocked ones. Every array lists ThreadInfos from `first`.
struct FakeObject {
    _jobject object;
    const char* what;
};
FakeObject g_server = {{}, "MBeanServer"};
FakeObject g_objectName = {{}, "ObjectName"};
FakeObject g_threadBean = {{}, "ThreadMXBean"};
FakeObject g_hotSpotBean = {{}, "HotSpotDiagnosticMXBean"};
FakeObject g_deadlockedIds = {{}, "long[]"};
FakeObject g_allInfos = {{}, "ThreadInfo[]"};
FakeObject g_deadlockedInfos = {{}, "ThreadInfo[]"};
FakeObject g_infos[kMaxDeadlocked + 1];
FakeObject g_loader = {{}, "ClassLoader"};
FakeObject g_reflectedMethod = {{}, "Method"};
FakeObject g_application = {{}, "the application's object"};

// A string the beans answer with, read by GetStringLength and GetStringRegion.
struct TextRef {
    _jobject object;
    jchar text[2048];
    jsize length;
};
TextRef g_dumpText;
TextRef g_infoTexts[kMaxDeadlocked + 1];
TextRef g_nameTexts[kMaxDeadlocked + 1];
TextRef g_throwableText;
TextRef g_classNameText;

void SetText(TextRef* ref, const char* text) {
    ref->length = 0;
    while (text[ref->length] != '\0' && ref->length < static_cast<jsize>(std::size(ref->text))) {
        ref->text[ref->length] = static_cast<unsigned char>(text[ref->length]);
        ++ref->length;
    }
}

const char* ThreadName(size_t info) {
    return info == 0 ? "main" : g_vm.scenario.deadlocked[info - 1];
}

// What Thread.print says: the scripted main thread, holding a lock, and the deadlocked ones.
void BuildTexts() {
    const Scenario& scenario = g_vm.scenario;
    char dump[2048];
    int at = snprintf(dump, sizeof(dump),
                      "Full thread dump stand-in VM:\n\n\"main\" #1 prio=5 waiting on condition\n"
                      "   java.lang.Thread.State: WAITING\n\tat "
                      "com.merivast.agent.MerivastMain.serviceMain(stand-in)\n"
                      "\t- locked <0x00000001> (a java.lang.Object)\n\n");
    for (size_t i = 0; i < scenario.deadlockedCount && at > 0 && at < 1800; ++i) {
        at += snprintf(dump + at, sizeof(dump) - static_cast<size_t>(at),
                       "\"%s\" #%u prio=5 waiting for monitor entry\n"
                       "   java.lang.Thread.State: BLOCKED (on object monitor)\n\n",
                       scenario.deadlocked[i], static_cast<unsigned>(i + 2));
    }
    if (scenario.deadlockedCount != 0 && at > 0 && at < 1900) {
        snprintf(dump + at, sizeof(dump) - static_cast<size_t>(at),
                 "Found one Java-level deadlock:\n=============================\n");
    }
    SetText(&g_dumpText, dump);
    for (size_t i = 0; i <= scenario.deadlockedCount; ++i) {
        char info[96];
        snprintf(info, sizeof(info), "\"%s\" Id=%u %s\n\tat stand-in frame\n\n", ThreadName(i),
                 static_cast<unsigned>(i + 1), i == 0 ? "WAITING" : "BLOCKED");
        SetText(&g_infoTexts[i], info);
        SetText(&g_nameTexts[i], ThreadName(i));
    }
}

jclass FakeClassNamed(const char* name) {
    for (FakeClass& fake : g_fakeClasses) {
        if (strcmp(fake.name, name) == 0) return &fake.object;
    }
    return nullptr;
}

int FakeClassOf(const void* handle) {
    for (int i = 0; i < kFakeClassCount; ++i) {
        if (handle == &g_fakeClasses[i].object) return i;
    }
    return -1;
}

const FakeMethod* FakeMethodOf(jmethodID method) {
    for (const FakeMethod& fake : kFakeMethods) {
        if (reinterpret_cast<const void*>(method) == &fake) return &fake;
    }
    return nullptr;
}

size_t InfoIndexOf(const void* object) {
    for (size_t i = 0; i <= kMaxDeadlocked; ++i) {
        if (object == &g_infos[i].object) return i;
    }
    return SIZE_MAX;
}

TextRef* TextOf(const void* object) {
    if (object == &g_dumpText.object) return &g_dumpText;
    if (object == &g_throwableText.object) return &g_throwableText;
    if (object == &g_classNameText.object) return &g_classNameText;
    for (size_t i = 0; i <= kMaxDeadlocked; ++i) {
        if (object == &g_infoTexts[i].object) return &g_infoTexts[i];
        if (object == &g_nameTexts[i].object) return &g_nameTexts[i];
    }
    return nullptr;
}

bool IsFakeObject(const void* object) {
    const FakeObject* const beans[] = {
        &g_server,   &g_objectName,      &g_threadBean,      &g_hotSpotBean, &g_deadlockedIds,
        &g_allInfos, &g_deadlockedInfos, &g_reflectedMethod, &g_loader,      &g_application};
    for (const FakeObject* bean : beans) {
        if (object == &bean->object) return true;
    }
    return FakeClassOf(object) >= 0 || InfoIndexOf(object) != SIZE_MAX || TextOf(object) != nullptr;
}

// "<owner>.<name> result=…" for the record.
void RecordFakeCall(const char* function, const FakeMethod& method, const char* result) {
    Line line;
    LineStart(&line, function);
    LineWord(&line, method.name);
    LineWord(&line, result);
    WriteLine(line);
}

jmethodID FindFakeMethod(int owner, const char* name, const char* signature, bool isStatic) {
    for (const FakeMethod& fake : kFakeMethods) {
        if (static_cast<int>(fake.owner) == owner && fake.isStatic == isStatic && name != nullptr &&
            signature != nullptr && strcmp(fake.name, name) == 0 &&
            strcmp(fake.signature, signature) == 0) {
            return reinterpret_cast<jmethodID>(const_cast<FakeMethod*>(&fake));
        }
    }
    return nullptr;
}

// dumpHeap: a file that begins as an HPROF file does, at the path the host named.
void WriteHeapFile(Env* env, jobject pathString) {
    EnterCriticalSection(&g_vm.lock);
    StringRef* path = FindStringLocked(pathString);
    const char* utf8 = path != nullptr ? path->utf8 : nullptr;
    LeaveCriticalSection(&g_vm.lock);
    wchar_t wide[1024];
    HANDLE file = INVALID_HANDLE_VALUE;
    if (utf8 != nullptr && g_vm.scenario.heap == HeapMode::kWrite &&
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, static_cast<int>(std::size(wide))) > 0) {
        file = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    Record("HEAPDUMP", utf8 != nullptr ? utf8 : "(unknown string)");
    if (file == INVALID_HANDLE_VALUE) {
        SetPending(env, &g_ioException);
        return;
    }
    static const char kHeader[] = "JAVA PROFILE 1.0.2";
    DWORD written = 0;
    WriteFile(file, kHeader, sizeof(kHeader), &written, nullptr);
    CloseHandle(file);
}

// ---- the launcher-shaped start: reflection and the JDK's launcher helper ----

const char* ArgumentText(jobject string) {
    EnterCriticalSection(&g_vm.lock);
    const StringRef* ref = FindStringLocked(string);
    const char* text = ref != nullptr ? ref->utf8 : "";
    LeaveCriticalSection(&g_vm.lock);
    return text;
}

// The class `dotted` ("org.example.App") as Class.forName(name, false, loader) loads it: loaded,
// not initialised.
jobject LoadNamed(Env* env, const char* dotted) {
    char name[kClassNameBytes];
    size_t i = 0;
    for (; dotted[i] != '\0' && i + 1 < sizeof(name); ++i) {
        name[i] = dotted[i] == '.' ? '/' : dotted[i];
    }
    name[i] = '\0';
    if (ApplicationClassLoadable(name)) return &g_mainClass;
    SetPending(env, &g_classNotFound);
    return nullptr;
}

bool OrdinaryMain() {
    return g_vm.scenario.entry != EntryKind::kService && g_vm.scenario.main != MainMode::kMissing;
}

// The application's main of that name, signature and kind, as launcher= shapes it.
bool MainDeclared(const char* name, const char* sig, bool isStatic) {
    const Scenario& scenario = g_vm.scenario;
    const char* expected = scenario.mainNoArgs ? "()V" : "([Ljava/lang/String;)V";
    return OrdinaryMain() && name != nullptr && sig != nullptr && strcmp(name, "main") == 0 &&
           strcmp(sig, expected) == 0 && isStatic == scenario.mainStatic;
}

// HotSpot initialises a class at FindClass, GetStaticMethodID and GetMethodID, on that thread.
void InitialiseApplicationClass() {
    EnterCriticalSection(&g_vm.lock);
    const bool first = !g_vm.classInitialised;
    g_vm.classInitialised = true;
    LeaveCriticalSection(&g_vm.lock);
    if (first) Record("CLINIT", g_vm.loadedClass);
}

// LauncherHelper.checkAndLoadMain: main.class's class (mode 1), or the class the jar's manifest
// names (mode 2: org.example.App), loaded, with its main; anything else it refuses as the JDK's
// helper does, its words on standard error, then System.exit(1).
jobject CheckAndLoadMain(Env* env, const jvalue* args) {
    jobject cls = LoadNamed(env, args[1].i == 1 ? ArgumentText(args[2].l) : "org.example.App");
    if (cls != nullptr && OrdinaryMain()) return cls;
    SetPending(env, nullptr);
    WriteToStandardHandle(STD_ERROR_HANDLE, "Error: the stand-in's launcher helper refuses it\n");
    EnterCriticalSection(&g_vm.lock);
    g_vm.exitStatus = 1;
    LeaveCriticalSection(&g_vm.lock);
    EndRuntime(ExitRuntime);
}

// Class.getMethod: serviceMain(String) of the service contract, or main(String[]).
jobject PublicMethodOf(Env* env, const jvalue* args) {
    const char* name = ArgumentText(args[0].l);
    const bool service = g_vm.scenario.entry != EntryKind::kMain &&
                         g_vm.scenario.main != MainMode::kMissing &&
                         strcmp(name, "serviceMain") == 0;
    if (service || MainDeclared(name, "([Ljava/lang/String;)V", true)) {
        return &g_reflectedMethod.object;
    }
    SetPending(env, &g_noSuchMethodException);
    return nullptr;
}

jobject ClassName(jobject target) {
    char dotted[kClassNameBytes];
    const char* name = target == &g_fakeClasses[kVoidClass].object ? "void" : g_vm.loadedClass;
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < sizeof(dotted); ++i)
        dotted[i] = name[i] == '/' ? '.' : name[i];
    dotted[i] = '\0';
    SetText(&g_classNameText, dotted);
    return &g_classNameText.object;
}

jobject CallLauncherFake(Env* env, jobject target, const FakeMethod& method, const jvalue* args) {
    switch (method.call) {
        case Call::kSystemLoader:
            return &g_loader.object;
        case Call::kForName:
            return LoadNamed(env, ArgumentText(args[0].l));
        case Call::kCheckAndLoadMain:
            return CheckAndLoadMain(env, args);
        case Call::kGetMethod:
            return PublicMethodOf(env, args);
        case Call::kClassName:
            return ClassName(target);
        case Call::kModifiers:  // public static: CallIntMethodA answers 9 for any object
            return &g_reflectedMethod.object;
        case Call::kReturnType:
            return &g_fakeClasses[kVoidClass].object;
        default:  // getResource, getCause: null
            return nullptr;
    }
}

jobject CallFake(Env* env, jobject target, const FakeMethod& method, const jvalue* args) {
    const Scenario& scenario = g_vm.scenario;
    if (method.call >= Call::kSystemLoader) return CallLauncherFake(env, target, method, args);
    switch (method.call) {
        case Call::kPlatformServer:
            return &g_server.object;
        case Call::kObjectNameOf:
            return &g_objectName.object;
        case Call::kThreadBean:
            return &g_threadBean.object;
        case Call::kPlatformBean:
            return &g_hotSpotBean.object;
        case Call::kInvoke:
            PauseAndGate(scenario, kStepDump);
            if (scenario.threads == ThreadsMode::kHang) StopForGood();
            if (scenario.threads == ThreadsMode::kPrint) return &g_dumpText.object;
            SetPending(env, &g_instanceNotFound);
            return nullptr;
        case Call::kDumpAllThreads:
            if (scenario.threads == ThreadsMode::kBean) return &g_allInfos.object;
            SetPending(env, &g_illegalState);
            return nullptr;
        case Call::kFindDeadlocked:
            return scenario.deadlockedCount != 0 ? &g_deadlockedIds.object : nullptr;
        case Call::kThreadInfos:
            return &g_deadlockedInfos.object;
        case Call::kThreadName:
            return InfoIndexOf(target) != SIZE_MAX ? &g_nameTexts[InfoIndexOf(target)].object
                                                   : nullptr;
        case Call::kToString:
            return InfoIndexOf(target) != SIZE_MAX ? &g_infoTexts[InfoIndexOf(target)].object
                                                   : &g_throwableText.object;
        default:
            break;
    }
    return nullptr;
}

// A throwable's toString: "<class, dotted>: stand-in exception".
void DescribeThrowable(jobject target) {
    for (Throwable* throwable : kThrowables) {
        if (target != &throwable->object) continue;
        char text[128];
        snprintf(text, sizeof(text), "%s: stand-in exception", throwable->className);
        for (char* c = text; *c != '\0'; ++c) {
            if (*c == '/') *c = '.';
        }
        SetText(&g_throwableText, text);
    }
}

jobject CallFakeChecked(JNIEnv* jenv, jobject target, jmethodID method, const jvalue* args,
                        const char* function, bool isStatic) {
    Env* env = BeginEnvCall(jenv, function, false);
    const FakeMethod* fake = FakeMethodOf(method);
    if (env == nullptr) return nullptr;
    if (fake == nullptr || fake->isStatic != isStatic) {
        RecordFault("unknown method id in", function);
        return nullptr;
    }
    if (fake->call == Call::kToString) DescribeThrowable(target);
    if (fake->call == Call::kDumpHeap) WriteHeapFile(env, args != nullptr ? args[0].l : nullptr);
    jobject result = CallFake(env, target, *fake, args);
    RecordFakeCall(function, *fake,
                   PendingOf(env) != nullptr ? "result=thrown"
                   : result != nullptr       ? "result=object"
                                             : "result=null");
    return result;
}

// ---- JNIEnv functions ----

jint JNICALL GetVersion(JNIEnv* jenv) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetVersion", false) == nullptr) return JNI_ERR;
    Line line;
    LineStart(&line, "GetVersion");
    LineWord(&line, "result=");
    LineHex32(&line, static_cast<unsigned long>(kJniVersion21));
    WriteLine(line);
    return kJniVersion21;
}

jclass JNICALL FindClass(JNIEnv* jenv, const char* name) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "FindClass", false);
    if (env == nullptr) return nullptr;
    jclass result = nullptr;
    if (name == nullptr) {
    } else if (strcmp(name, kStringClassName) == 0) {
        result = &g_stringClass;
    } else if (strcmp(name, kSystemClassName) == 0) {
        result = &g_systemClass;
    } else if (FakeClassNamed(name) != nullptr) {
        // The launcher helper is a JDK's (launcher=17 or 25), not every runtime's.
        const bool helper = FakeClassNamed(name) == &g_fakeClasses[kHelperClass].object;
        result = !helper || g_vm.scenario.launcher != 0 ? FakeClassNamed(name) : nullptr;
    } else if (ApplicationClassLoadable(name)) {
        result = &g_mainClass;
        InitialiseApplicationClass();
    }
    if (result == nullptr) SetPending(env, &g_noClassDefFound);
    Line line;
    LineStart(&line, "FindClass");
    LineWord(&line, name);
    LineWord(&line, result != nullptr ? "result=found" : "result=null");
    WriteLine(line);
    return result;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* jenv) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "ExceptionOccurred", true);
    if (env == nullptr) return nullptr;
    Throwable* pending = PendingOf(env);
    Line line;
    LineStart(&line, "ExceptionOccurred");
    LineWord(&line, "result=");
    LineAppend(&line, pending != nullptr ? pending->className : "null");
    WriteLine(line);
    return pending != nullptr ? &pending->object : nullptr;
}

void JNICALL ExceptionDescribe(JNIEnv* jenv) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "ExceptionDescribe", true);
    if (env == nullptr) return;
    Throwable* pending = PendingOf(env);
    // A real VM prints the exception and its stack trace to standard error, and clears it.
    if (pending != nullptr) PrintDescription(*pending);
    SetPending(env, nullptr);
    Record("ExceptionDescribe", pending != nullptr ? pending->className : "none");
}

void JNICALL ExceptionClear(JNIEnv* jenv) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "ExceptionClear", true);
    if (env == nullptr) return;
    SetPending(env, nullptr);
    Record("ExceptionClear", nullptr);
}

jboolean JNICALL ExceptionCheck(JNIEnv* jenv) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "ExceptionCheck", true);
    if (env == nullptr) return JNI_FALSE;
    bool pending = PendingOf(env) != nullptr;
    Record("ExceptionCheck", pending ? "result=1" : "result=0");
    return pending ? JNI_TRUE : JNI_FALSE;
}

// A global reference to one of the runtime's classes: the class itself, which no thread owns.
jobject JNICALL NewGlobalRef(JNIEnv* jenv, jobject object) {
    CallScope scope;
    if (BeginEnvCall(jenv, "NewGlobalRef", false) == nullptr) return nullptr;
    const bool isClass =
        object == &g_mainClass || object == &g_stringClass || object == &g_systemClass;
    if (!isClass) RecordFault("unknown reference", "NewGlobalRef");
    Record("NewGlobalRef", isClass ? "class" : "unknown");
    return isClass ? object : nullptr;
}

void JNICALL DeleteLocalRef(JNIEnv* jenv, jobject object) {
    CallScope scope;
    if (BeginEnvCall(jenv, "DeleteLocalRef", true) == nullptr) return;
    const char* kind = nullptr;
    bool twice = false;
    if (object == nullptr) {
        kind = "null";
    } else if (object == &g_mainClass || object == &g_stringClass || object == &g_systemClass) {
        kind = "class";
    } else if (IsFakeObject(object)) {
        kind = "object";
    } else {
        for (Throwable* throwable : kThrowables) {
            if (object == &throwable->object) kind = "throwable";
        }
        EnterCriticalSection(&g_vm.lock);
        StringRef* ref = FindStringLocked(object);
        if (ref != nullptr) {
            kind = "string";
            twice = !ref->live;
            ref->live = false;
        }
        ArrayRef* array = FindArrayLocked(object);
        if (array != nullptr) {
            kind = "array";
            twice = !array->live;
            array->live = false;
        }
        LeaveCriticalSection(&g_vm.lock);
    }
    if (kind == nullptr) {
        RecordFault("unknown reference", "DeleteLocalRef");
        kind = "unknown";
    }
    if (twice) RecordFault("reference deleted twice", "DeleteLocalRef");
    Record("DeleteLocalRef", kind);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* jenv, jclass cls, const char* name, const char* sig) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "GetStaticMethodID", false);
    if (env == nullptr) return nullptr;
    jmethodID result = nullptr;
    const Scenario& scenario = g_vm.scenario;
    const bool service = scenario.entry != EntryKind::kMain;
    if (FakeClassOf(cls) >= 0) {
        result = FindFakeMethod(FakeClassOf(cls), name, sig, true);
    } else if (cls == &g_systemClass) {
        if (name != nullptr && sig != nullptr && strcmp(name, "exit") == 0 &&
            strcmp(sig, "(I)V") == 0) {
            result = ExitId();
        }
    } else if (cls != &g_mainClass && cls != &g_stringClass) {
        RecordFault("unknown class handle", "GetStaticMethodID");
    } else if (cls == &g_mainClass && name != nullptr && sig != nullptr) {
        InitialiseApplicationClass();
        if (strcmp(name, "serviceMain") == 0 && strcmp(sig, "(Ljava/lang/String;)V") == 0 &&
            service && scenario.main != MainMode::kMissing) {
            result = ServiceMainId();
        } else if (strcmp(name, "serviceStop") == 0 && strcmp(sig, "()V") == 0 && service &&
                   scenario.stop != StopMode::kMissing) {
            result = ServiceStopId();
        } else if (MainDeclared(name, sig, true)) {
            result = scenario.mainNoArgs ? MainNoArgsId() : MainId();
        } else if (strcmp(sig, "()Z") == 0) {
            result = HealthId();
        }
    }
    if (result == nullptr) SetPending(env, &g_noSuchMethod);
    Line line;
    LineStart(&line, "GetStaticMethodID");
    LineWord(&line, name);
    LineWord(&line, sig);
    LineWord(&line, result != nullptr ? "result=found" : "result=null");
    WriteLine(line);
    return result;
}

void JNICALL CallStaticVoidMethod(JNIEnv* jenv, jclass cls, jmethodID method, ...) {
    CallScope scope;
    va_list args;
    va_start(args, method);
    const jvalue argument = ArgumentOf(method, args);
    va_end(args);
    CallStatic(jenv, cls, method, argument);
}

void JNICALL CallStaticVoidMethodV(JNIEnv* jenv, jclass cls, jmethodID method, va_list args) {
    CallScope scope;
    va_list copy;
    va_copy(copy, args);
    const jvalue argument = ArgumentOf(method, copy);
    va_end(copy);
    CallStatic(jenv, cls, method, argument);
}

void JNICALL CallStaticVoidMethodA(JNIEnv* jenv, jclass cls, jmethodID method, const jvalue* args) {
    CallScope scope;
    jvalue argument = {};
    if (args != nullptr && method != ServiceStopId()) argument = args[0];
    CallStatic(jenv, cls, method, argument);
}

jobjectArray JNICALL NewObjectArray(JNIEnv* jenv, jsize length, jclass elementClass,
                                    jobject initial) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "NewObjectArray", false);
    if (env == nullptr) return nullptr;
    ArrayRef* ref = nullptr;
    EnterCriticalSection(&g_vm.lock);
    // main's String[], or the diagnostic command's one-element String[] and Object[].
    const bool strings = elementClass == &g_stringClass &&
                         (initial == nullptr || FindStringLocked(initial) != nullptr);
    const bool objects =
        elementClass == &g_fakeClasses[kObjectClass].object && FindArrayLocked(initial) != nullptr;
    // getMethod's Class[] of parameter types.
    const bool classes = elementClass == &g_fakeClasses[kClassClass].object &&
                         (initial == &g_stringClass || FakeClassOf(initial) >= 0);
    if (!strings && !objects && !classes) {
        RecordFault("not a String[], Object[] or Class[] in", "NewObjectArray");
    }
    if (length >= 0 && static_cast<size_t>(length) <= kMaxArrayLength &&
        g_vm.arrayCount < kMaxArrays) {
        ref = &g_vm.arrays[g_vm.arrayCount++];
        ref->length = length;
        ref->live = true;
    }
    LeaveCriticalSection(&g_vm.lock);
    if (ref == nullptr) SetPending(env, &g_outOfMemory);
    Line line;
    LineStart(&line, "NewObjectArray");
    LineWord(&line, "len=");
    LineSigned(&line, length);
    LineWord(&line, ref != nullptr ? "result=ok" : "result=null");
    WriteLine(line);
    return ref != nullptr ? &ref->object : nullptr;
}

void JNICALL SetObjectArrayElement(JNIEnv* jenv, jobjectArray array, jsize index, jobject value) {
    CallScope scope;
    if (BeginEnvCall(jenv, "SetObjectArrayElement", false) == nullptr) return;
    EnterCriticalSection(&g_vm.lock);
    ArrayRef* ref = FindArrayLocked(array);
    StringRef* string = FindStringLocked(value);
    const bool fits = ref != nullptr && index >= 0 && index < ref->length;
    if (fits && string != nullptr) ref->items[index] = string;
    LeaveCriticalSection(&g_vm.lock);
    if (!fits) RecordFault("bad array or index", "SetObjectArrayElement");
    if (string == nullptr) RecordFault("unknown string handle", "SetObjectArrayElement");
    Line line;
    LineStart(&line, "SetObjectArrayElement");
    LineWord(&line, "");
    LineSigned(&line, index);
    WriteLine(line);
}

jstring JNICALL NewString(JNIEnv* jenv, const jchar* unicode, jsize length) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "NewString", false);
    if (env == nullptr) return nullptr;
    bool valid = length >= 0 && (length == 0 || unicode != nullptr);
    if (!valid) RecordFault("invalid arguments", "NewString");
    char* utf8 = valid ? ToUtf8(unicode, length) : nullptr;
    StringRef* ref = nullptr;
    if (utf8 != nullptr && !g_vm.scenario.newStringFails) {
        EnterCriticalSection(&g_vm.lock);
        if (g_vm.stringCount < kMaxStrings) {
            ref = &g_vm.strings[g_vm.stringCount++];
            ref->utf8 = utf8;
            ref->length = length;
            ref->live = true;
        }
        LeaveCriticalSection(&g_vm.lock);
    }
    if (ref == nullptr) SetPending(env, &g_outOfMemory);

    Line line;
    LineStart(&line, "NewString");
    LineWord(&line, utf8 != nullptr ? utf8 : "");
    LineWord(&line, "len=");
    LineSigned(&line, length);
    LineWord(&line, ref != nullptr ? "result=ok" : "result=null");
    WriteLine(line);
    if (ref == nullptr) FreeText(utf8);
    return ref != nullptr ? &ref->object : nullptr;
}

// The health method answers as health= says; hang never returns.
jboolean JNICALL CallStaticBooleanMethodA(JNIEnv* jenv, jclass cls, jmethodID method,
                                          const jvalue* /*args*/) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "CallStaticBooleanMethodA", false);
    if (env == nullptr) return JNI_FALSE;
    if (cls != &g_mainClass) RecordFault("unknown class handle", "CallStaticBooleanMethodA");
    if (method != HealthId()) RecordFault("unknown method id", "CallStaticBooleanMethodA");
    const HealthMode health = g_vm.scenario.health;
    const char* const answers[] = {"result=true", "result=false", "result=thrown", "hangs"};
    Record("CallStaticBooleanMethodA", answers[static_cast<int>(health)]);
    if (health == HealthMode::kHang) StopForGood();
    if (health == HealthMode::kThrow) SetPending(env, &g_illegalState);
    return health == HealthMode::kTrue ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL CallStaticObjectMethodA(JNIEnv* jenv, jclass cls, jmethodID method,
                                        const jvalue* args) {
    CallScope scope;
    if (FakeClassOf(cls) < 0) RecordFault("unknown class handle", "CallStaticObjectMethodA");
    return CallFakeChecked(jenv, nullptr, method, args, "CallStaticObjectMethodA", true);
}

jobject JNICALL CallObjectMethodA(JNIEnv* jenv, jobject target, jmethodID method,
                                  const jvalue* args) {
    CallScope scope;
    return CallFakeChecked(jenv, target, method, args, "CallObjectMethodA", false);
}

void JNICALL CallVoidMethodA(JNIEnv* jenv, jobject target, jmethodID method, const jvalue* args) {
    CallScope scope;
    if (target != &g_application.object) {
        CallFakeChecked(jenv, target, method, args, "CallVoidMethodA", false);
        return;
    }
    // An instance main (launcher=25-instance…).
    Env* env = BeginEnvCall(jenv, "CallVoidMethodA", false);
    if (env == nullptr) return;
    if (method != MainId() && method != MainNoArgsId()) RecordFault("unknown method id in", "main");
    RunMain(env, args != nullptr ? static_cast<jobjectArray>(args[0].l) : nullptr,
            "CallVoidMethodA", method == MainId());
}

// Method.getModifiers, the only int the host asks for: public static.
jint JNICALL CallIntMethodA(JNIEnv* jenv, jobject target, jmethodID method, const jvalue* args) {
    CallScope scope;
    return CallFakeChecked(jenv, target, method, args, "CallIntMethodA", false) != nullptr ? 9 : 0;
}

jobject JNICALL NewObjectA(JNIEnv* jenv, jclass cls, jmethodID constructor,
                           const jvalue* /*args*/) {
    CallScope scope;
    if (BeginEnvCall(jenv, "NewObjectA", false) == nullptr) return nullptr;
    const bool made = cls == &g_mainClass && constructor == ConstructorId();
    if (!made) RecordFault("not the application's constructor in", "NewObjectA");
    Record("NewObjectA", made ? "result=object" : "result=null");
    return made ? &g_application.object : nullptr;
}

// LauncherHelper's isStaticMain and noArgMain, which only launcher=25 has.
jfieldID JNICALL GetStaticFieldID(JNIEnv* jenv, jclass cls, const char* name, const char* sig) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "GetStaticFieldID", false);
    if (env == nullptr) return nullptr;
    void* field = nullptr;
    if (cls == &g_fakeClasses[kHelperClass].object && g_vm.scenario.launcher == 25 &&
        name != nullptr && sig != nullptr && strcmp(sig, "Z") == 0) {
        field = strcmp(name, "isStaticMain") == 0 ? &g_isStaticMainId
                : strcmp(name, "noArgMain") == 0  ? &g_noArgMainId
                                                  : nullptr;
    }
    if (field == nullptr) SetPending(env, &g_noSuchField);
    Line line;
    LineStart(&line, "GetStaticFieldID");
    LineWord(&line, name);
    LineWord(&line, field != nullptr ? "result=found" : "result=null");
    WriteLine(line);
    return static_cast<jfieldID>(field);
}

jboolean JNICALL GetStaticBooleanField(JNIEnv* jenv, jclass /*cls*/, jfieldID field) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetStaticBooleanField", false) == nullptr) return JNI_FALSE;
    const bool value = static_cast<void*>(field) == &g_isStaticMainId ? g_vm.scenario.mainStatic
                                                                      : g_vm.scenario.mainNoArgs;
    Record("GetStaticBooleanField", value ? "result=1" : "result=0");
    return value ? JNI_TRUE : JNI_FALSE;
}

jmethodID JNICALL GetMethodID(JNIEnv* jenv, jclass cls, const char* name, const char* sig) {
    CallScope scope;
    Env* env = BeginEnvCall(jenv, "GetMethodID", false);
    if (env == nullptr) return nullptr;
    jmethodID result = FindFakeMethod(FakeClassOf(cls), name, sig, false);
    if (cls == &g_mainClass) {
        InitialiseApplicationClass();
        const bool made = OrdinaryMain() && !g_vm.scenario.mainStatic && name != nullptr &&
                          sig != nullptr && strcmp(name, "<init>") == 0 && strcmp(sig, "()V") == 0;
        result = made                              ? ConstructorId()
                 : !MainDeclared(name, sig, false) ? nullptr
                 : g_vm.scenario.mainNoArgs        ? MainNoArgsId()
                                                   : MainId();
    }
    if (result == nullptr) SetPending(env, &g_noSuchMethod);
    Line line;
    LineStart(&line, "GetMethodID");
    LineWord(&line, name);
    LineWord(&line, sig);
    LineWord(&line, result != nullptr ? "result=found" : "result=null");
    WriteLine(line);
    return result;
}

jsize JNICALL GetStringLength(JNIEnv* jenv, jstring string) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetStringLength", false) == nullptr) return 0;
    const TextRef* text = TextOf(string);
    if (text == nullptr) RecordFault("unknown string handle in", "GetStringLength");
    return text != nullptr ? text->length : 0;
}

void JNICALL GetStringRegion(JNIEnv* jenv, jstring string, jsize start, jsize length, jchar* out) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetStringRegion", false) == nullptr) return;
    const TextRef* text = TextOf(string);
    if (text == nullptr || start < 0 || length < 0 || start + length > text->length) {
        RecordFault("bad string or region in", "GetStringRegion");
        return;
    }
    memcpy(out, text->text + start, static_cast<size_t>(length) * sizeof(jchar));
    Record("GetStringRegion", "");
}

jsize JNICALL GetArrayLength(JNIEnv* jenv, jarray array) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetArrayLength", false) == nullptr) return 0;
    const jsize deadlocked = static_cast<jsize>(g_vm.scenario.deadlockedCount);
    if (array == &g_allInfos.object) return deadlocked + 1;
    if (array == &g_deadlockedInfos.object || array == &g_deadlockedIds.object) return deadlocked;
    RecordFault("unknown array in", "GetArrayLength");
    return 0;
}

jobject JNICALL GetObjectArrayElement(JNIEnv* jenv, jobjectArray array, jsize index) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetObjectArrayElement", false) == nullptr) return nullptr;
    const size_t first = array == &g_allInfos.object ? 0 : 1;
    if ((array != &g_allInfos.object && array != &g_deadlockedInfos.object) || index < 0 ||
        static_cast<size_t>(index) + first > g_vm.scenario.deadlockedCount) {
        RecordFault("bad array or index in", "GetObjectArrayElement");
        return nullptr;
    }
    return &g_infos[static_cast<size_t>(index) + first].object;
}

void JNICALL GetLongArrayRegion(JNIEnv* jenv, jlongArray array, jsize start, jsize length,
                                jlong* out) {
    CallScope scope;
    if (BeginEnvCall(jenv, "GetLongArrayRegion", false) == nullptr) return;
    if (array != &g_deadlockedIds.object || start < 0 || length < 0 ||
        static_cast<size_t>(start + length) > g_vm.scenario.deadlockedCount) {
        RecordFault("bad array or region in", "GetLongArrayRegion");
        return;
    }
    for (jsize i = 0; i < length; ++i) out[i] = start + i + 2;  // "main" is thread 1
}

void InstallManagementFunctions() {
    g_envTable.GetMethodID = &GetMethodID;
    g_envTable.CallStaticObjectMethodA = &CallStaticObjectMethodA;
    g_envTable.CallStaticBooleanMethodA = &CallStaticBooleanMethodA;
    g_envTable.CallObjectMethodA = &CallObjectMethodA;
    g_envTable.CallVoidMethodA = &CallVoidMethodA;
    g_envTable.GetStringLength = &GetStringLength;
    g_envTable.GetStringRegion = &GetStringRegion;
    g_envTable.GetArrayLength = &GetArrayLength;
    g_envTable.GetObjectArrayElement = &GetObjectArrayElement;
    g_envTable.GetLongArrayRegion = &GetLongArrayRegion;
    g_envTable.CallIntMethodA = &CallIntMethodA;
    g_envTable.NewObjectA = &NewObjectA;
    g_envTable.GetStaticFieldID = &GetStaticFieldID;
    g_envTable.GetStaticBooleanField = &GetStaticBooleanField;
}

// ---- JavaVM functions ----

jint AttachThread(JavaVM* vm, void** penv, bool daemon, const char* function, void* args) {
    CallScope scope;
    EnterCriticalSection(&g_vm.lock);
    const bool gone = vm == &g_javaVm && g_vm.state == VmState::kDestroyed;
    LeaveCriticalSection(&g_vm.lock);
    if (gone) {
        // As HotSpot: once the VM is destroyed, an attach fails with JNI_ERR. A host may meet
        // this when its stop races the application's own end; any use beyond it is a fault.
        Record(function, "result=-1 destroyed=1");
        return JNI_ERR;
    }
    if (!BeginVmCall(vm, function)) return JNI_ERR;
    if (penv == nullptr) {
        RecordFault("null penv", function);
        return JNI_ERR;
    }
    // The attach arguments (version, name, group) are not checked: HotSpot does not either.
    jint result = JNI_OK;
    bool existing = false;
    EnterCriticalSection(&g_vm.lock);
    const bool destroyed = g_vm.state != VmState::kLive;
    if (destroyed) {
        result = JNI_ERR;
    } else if (g_vm.scenario.attachFails) {
        result = static_cast<jint>(g_vm.scenario.attachResult);
    } else {
        const DWORD self = GetCurrentThreadId();
        Env* env = FindThreadEnvLocked(self);
        existing = env != nullptr;
        if (env == nullptr) env = NewEnvLocked(self, daemon);
        if (env != nullptr) {
            *penv = &env->jni;
        } else {
            result = JNI_ENOMEM;
        }
    }
    // Written under the lock, so that it comes before the line of a DestroyJavaVM that then
    // has to wait for this thread.
    if (!destroyed) {
        Line line;
        LineStart(&line, function);
        LineWord(&line, "result=");
        LineSigned(&line, result);
        LineWord(&line, existing ? "existing=1" : "existing=0");
        // The thread's name, as the attach arguments give it.
        const JavaVMAttachArgs* attachArgs = static_cast<const JavaVMAttachArgs*>(args);
        if (attachArgs != nullptr && attachArgs->name != nullptr) {
            LineWord(&line, "name=");
            LineAppend(&line, attachArgs->name);
        }
        WriteLine(line);
    }
    LeaveCriticalSection(&g_vm.lock);
    if (destroyed) RecordFault("use of destroyed VM", function);
    return result;
}

jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void* args) {
    return AttachThread(vm, penv, false, "AttachCurrentThread", args);
}

jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* vm, void** penv, void* args) {
    return AttachThread(vm, penv, true, "AttachCurrentThreadAsDaemon", args);
}

jint JNICALL DetachCurrentThread(JavaVM* vm) {
    CallScope scope;
    if (!BeginVmCall(vm, "DetachCurrentThread")) return JNI_ERR;
    const DWORD self = GetCurrentThreadId();
    EnterCriticalSection(&g_vm.lock);
    Env* env = FindThreadEnvLocked(self);
    Throwable* uncaught = nullptr;
    if (env != nullptr) {
        env->attached = false;
        uncaught = env->pending;
        env->pending = nullptr;
    }
    // As HotSpot: a thread that detaches with an exception pending ends with it, and the
    // thread's uncaught-exception handler (here the default one) describes it.
    if (uncaught != nullptr) {
        PrintDescription(*uncaught);
        Record("UNCAUGHT", uncaught->className);
    }
    // Detaching a thread that is not attached is a no-op that succeeds, as in HotSpot. The line
    // is written before DestroyJavaVM can wake, so a test can order the two by seq.
    Record("DetachCurrentThread", "result=0");
    WakeAllConditionVariable(&g_vm.detached);
    LeaveCriticalSection(&g_vm.lock);
    return JNI_OK;
}

jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version) {
    CallScope scope;
    bool live = BeginVmCall(vm, "GetEnv");
    jint result = JNI_EDETACHED;
    Env* env = nullptr;
    if (live) {
        EnterCriticalSection(&g_vm.lock);
        env = FindThreadEnvLocked(GetCurrentThreadId());
        LeaveCriticalSection(&g_vm.lock);
    }
    if (env == nullptr) {
        result = JNI_EDETACHED;
    } else if (!IsSupportedVersion(version)) {
        env = nullptr;
        result = JNI_EVERSION;
    } else {
        result = JNI_OK;
    }
    if (penv != nullptr) {
        *penv = env != nullptr ? &env->jni : nullptr;
    } else {
        RecordFault("null penv", "GetEnv");
        result = JNI_ERR;
    }
    Line line;
    LineStart(&line, "GetEnv");
    LineWord(&line, "version=");
    LineHex32(&line, static_cast<unsigned long>(version));
    LineWord(&line, "result=");
    LineSigned(&line, result);
    WriteLine(line);
    return result;
}

size_t CountOtherNonDaemonLocked(DWORD self) {
    size_t count = 0;
    for (size_t i = 0; i < g_vm.envCount; ++i) {
        const Env& env = g_vm.envs[i];
        if (env.attached && !env.daemon && env.threadId != self) ++count;
    }
    return count;
}

jint JNICALL DestroyJavaVM(JavaVM* vm) {
    CallScope scope;
    if (!BeginVmCall(vm, "DestroyJavaVM")) return JNI_ERR;
    Record("ENTER", "DestroyJavaVM");
    PauseAndGate(g_vm.scenario, kStepDestroy);

    // Like HotSpot, wait until the caller is the last non-daemon thread; threads may still
    // attach meanwhile, and are then waited for too.
    const DWORD self = GetCurrentThreadId();
    const ULONGLONG start = GetTickCount64();
    bool warned = false;
    EnterCriticalSection(&g_vm.lock);
    while (CountOtherNonDaemonLocked(self) != 0 || GetTickCount64() < g_vm.lingerUntil) {
        // Lingering application threads end by the clock, not by a detach.
        SleepConditionVariableCS(&g_vm.detached, &g_vm.lock, g_vm.lingerUntil != 0 ? 20 : 1000);
        if (!warned && GetTickCount64() - start > kDestroyWarnMs) {
            warned = true;
            RecordFault("DestroyJavaVM still waiting for attached threads after 60 s", nullptr);
        }
    }
    g_vm.state = VmState::kDestroyed;
    for (size_t i = 0; i < g_vm.envCount; ++i) {
        g_vm.envs[i].attached = false;
        g_vm.envs[i].pending = nullptr;
    }
    // Under the lock: any "use of destroyed VM" fault comes after this line.
    Record("DestroyJavaVM", "result=0");
    LeaveCriticalSection(&g_vm.lock);
    return JNI_OK;
}

// ---- creation ----

struct OptionVerdict {
    jint result;
    const char* classPath;  // points into the caller's option string
    ExitHook exitHook;
    AbortHook abortHook;
    bool heapDumpOnOutOfMemory;
    const char* heapDumpPath;  // points into the caller's option string
};

const char kHeapDumpPathOption[] = "-XX:HeapDumpPath=";

// The options a heap dump at OutOfMemoryError follows, as HotSpot reads them: the last wins.
void NoteHeapDumpOption(const char* option, OptionVerdict* verdict) {
    if (strcmp(option, "-XX:+HeapDumpOnOutOfMemoryError") == 0) {
        verdict->heapDumpOnOutOfMemory = true;
    } else if (strcmp(option, "-XX:-HeapDumpOnOutOfMemoryError") == 0) {
        verdict->heapDumpOnOutOfMemory = false;
    } else if (StartsWith(option, kHeapDumpPathOption)) {
        verdict->heapDumpPath = option + sizeof(kHeapDumpPathOption) - 1;
    }
}

OptionVerdict JudgeArgs(const JavaVMInitArgs& args, const Scenario& scenario) {
    OptionVerdict verdict = {JNI_OK, nullptr, nullptr, nullptr, false, nullptr};
    if (!IsSupportedVersion(args.version)) {
        verdict.result = JNI_EVERSION;
        return verdict;
    }
    for (jint i = 0; i < args.nOptions; ++i) {
        const char* option = args.options[i].optionString;
        const bool unknownHere = scenario.unknownOption[0] != '\0' && option != nullptr &&
                                 StartsWith(option, scenario.unknownOption);
        if (!unknownHere && IsRecognisedOption(option)) {
            if (StartsWith(option, kClassPathOption)) {
                verdict.classPath = option + sizeof(kClassPathOption) - 1;
            } else if (strcmp(option, "exit") == 0) {
                verdict.exitHook = reinterpret_cast<ExitHook>(args.options[i].extraInfo);
            } else if (strcmp(option, "abort") == 0) {
                verdict.abortHook = reinterpret_cast<AbortHook>(args.options[i].extraInfo);
            } else {
                NoteHeapDumpOption(option, &verdict);
            }
        } else if (!(args.ignoreUnrecognized && IsIgnorable(option))) {
            verdict.result = JNI_ERR;
        }
    }
    return verdict;
}

void RecordCreation(const JavaVMInitArgs& args, bool optionsReadable, jint result) {
    Line line;
    LineStart(&line, "JNI_CreateJavaVM");
    LineWord(&line, "version=");
    LineHex32(&line, static_cast<unsigned long>(args.version));
    LineWord(&line, "nOptions=");
    LineSigned(&line, args.nOptions);
    LineWord(&line, "ignoreUnrecognized=");
    LineUnsigned(&line, args.ignoreUnrecognized ? 1 : 0);
    LineWord(&line, "result=");
    LineSigned(&line, result);
    WriteLine(line);
    if (!optionsReadable) return;
    for (jint i = 0; i < args.nOptions; ++i) {
        LineStart(&line, "option");
        LineAppend(&line, " ");
        LineSigned(&line, i);
        LineWord(&line, args.options[i].optionString);
        WriteLine(line);
    }
}

// Everything a live VM needs, made while the state is kCreating so no other call looks at it.
// Returns JNI_OK, or JNI_ENOMEM with nothing kept.
jint PrepareVm(const Scenario& scenario, const OptionVerdict& verdict, Env** creator) {
    const char* classPath = verdict.classPath;
    char* classPathCopy = classPath != nullptr ? CopyText(classPath) : nullptr;
    HANDLE stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if ((classPath != nullptr && classPathCopy == nullptr) || stopRequested == nullptr) {
        FreeText(classPathCopy);
        if (stopRequested != nullptr) CloseHandle(stopRequested);
        return JNI_ENOMEM;
    }
    g_vm.scenario = scenario;
    BuildTexts();
    g_vm.classPath = classPathCopy;
    g_vm.exitHook = verdict.exitHook;
    g_vm.abortHook = verdict.abortHook;
    g_vm.classLoaded = false;
    g_vm.lingerUntil = 0;
    g_vm.exitStatus = scenario.exitStatus;
    g_vm.heapDumpOnOutOfMemory = verdict.heapDumpOnOutOfMemory;
    g_vm.heapDumpPath[0] = '\0';
    if (verdict.heapDumpPath != nullptr &&
        strlen(verdict.heapDumpPath) + sizeof("\\java_pid4294967295.hprof") <= MAX_PATH) {
        strcpy(g_vm.heapDumpPath, verdict.heapDumpPath);
    }
    g_vm.stopRequested = stopRequested;
    EnterCriticalSection(&g_vm.lock);
    *creator = NewEnvLocked(GetCurrentThreadId(), false);
    LeaveCriticalSection(&g_vm.lock);
    // The first create of a process allocates the first env slot, so this cannot fail.
    CreateHook();
    return JNI_OK;
}

jint CreateVm(JavaVM** pvm, void** penv, void* rawArgs) {
    CallScope scope;
    Scenario scenario;
    LoadScenario(&scenario);
    SetRecordFaultsOnly(scenario.recordFaultsOnly);
    if (scenario.recordCwd) RecordWorkingDirectory();
    RecordEnvironment(scenario.recordEnv);
    if (pvm == nullptr || penv == nullptr || rawArgs == nullptr) {
        RecordFault("null argument", "JNI_CreateJavaVM");
        Record("JNI_CreateJavaVM", "result=-1");
        return JNI_ERR;
    }
    const JavaVMInitArgs& args = *static_cast<const JavaVMInitArgs*>(rawArgs);
    bool optionsReadable = args.nOptions >= 0 && (args.nOptions == 0 || args.options != nullptr);
    OptionVerdict verdict = {JNI_ERR, nullptr, nullptr, nullptr, false, nullptr};
    if (optionsReadable) {
        PrintAsAsked(scenario, FindVfprintfHook(args));
        verdict = JudgeArgs(args, scenario);
    } else {
        RecordFault("unreadable option array", "JNI_CreateJavaVM");
    }

    jint result = JNI_OK;
    bool creating = false;
    EnterCriticalSection(&g_vm.lock);
    if (g_vm.state == VmState::kLive || g_vm.state == VmState::kCreating) {
        result = JNI_EEXIST;
    } else if (g_vm.state == VmState::kDestroyed) {
        // HotSpot cannot create a second VM in a process once one has been destroyed.
        result = JNI_ERR;
    } else if (verdict.result != JNI_OK) {
        result = verdict.result;
    } else if (scenario.refuseCreate) {
        result = static_cast<jint>(scenario.createResult);
    } else if (scenario.abortCreate) {
        LeaveCriticalSection(&g_vm.lock);
        RecordCreation(args, optionsReadable, JNI_ERR);
        Record("ABORT", verdict.abortHook != nullptr ? "hook=1" : "hook=0");
        if (verdict.abortHook != nullptr) verdict.abortHook();
        ExitProcess(kAbortExitCode);
    } else {
        creating = true;
        g_vm.state = VmState::kCreating;
    }
    LeaveCriticalSection(&g_vm.lock);

    Env* creator = nullptr;
    if (creating) {
        result = PrepareVm(scenario, verdict, &creator);
        if (result != JNI_OK || creator == nullptr) {
            creating = false;
            result = JNI_ENOMEM;
            EnterCriticalSection(&g_vm.lock);
            g_vm.state = VmState::kNone;
            LeaveCriticalSection(&g_vm.lock);
        }
    }
    RecordCreation(args, optionsReadable, result);
    PauseAndGate(scenario, kStepCreate);

    if (creating) {
        EnterCriticalSection(&g_vm.lock);
        g_vm.state = VmState::kLive;
        LeaveCriticalSection(&g_vm.lock);
        *pvm = &g_javaVm;
        *penv = &creator->jni;
    } else if (scenario.refuseGarbage) {
        // Lets a test prove that the host ignores the out-parameters after a refusal.
        *pvm = reinterpret_cast<JavaVM*>(kGarbagePointer);
        *penv = reinterpret_cast<void*>(kGarbagePointer);
    }
    Record("LEAVE", "JNI_CreateJavaVM");
    return result;
}

// ---- module life ----

void StartVm() {
    InitializeCriticalSection(&g_vm.lock);
    InitializeConditionVariable(&g_vm.detached);
    g_vm.state = VmState::kNone;

    FillEnvTraps(std::make_index_sequence<kEnvSlots>());
    g_envTable.GetVersion = &GetVersion;
    g_envTable.FindClass = &FindClass;
    g_envTable.ExceptionOccurred = &ExceptionOccurred;
    g_envTable.ExceptionDescribe = &ExceptionDescribe;
    g_envTable.ExceptionClear = &ExceptionClear;
    g_envTable.ExceptionCheck = &ExceptionCheck;
    g_envTable.DeleteLocalRef = &DeleteLocalRef;
    g_envTable.NewGlobalRef = &NewGlobalRef;
    g_envTable.GetStaticMethodID = &GetStaticMethodID;
    g_envTable.CallStaticVoidMethod = &CallStaticVoidMethod;
    g_envTable.CallStaticVoidMethodV = &CallStaticVoidMethodV;
    g_envTable.CallStaticVoidMethodA = &CallStaticVoidMethodA;
    g_envTable.NewString = &NewString;
    g_envTable.NewObjectArray = &NewObjectArray;
    g_envTable.SetObjectArrayElement = &SetObjectArrayElement;
    InstallManagementFunctions();

    FillVmTraps(std::make_index_sequence<kVmSlots>());
    g_vmTable.DestroyJavaVM = &DestroyJavaVM;
    g_vmTable.AttachCurrentThread = &AttachCurrentThread;
    g_vmTable.DetachCurrentThread = &DetachCurrentThread;
    g_vmTable.GetEnv = &GetEnv;
    g_vmTable.AttachCurrentThreadAsDaemon = &AttachCurrentThreadAsDaemon;
    g_javaVm.functions = &g_vmTable;
}

void StopVm() {
    for (size_t i = 0; i < g_vm.stringCount; ++i) FreeText(g_vm.strings[i].utf8);
    FreeText(g_vm.classPath);
    if (g_vm.stopRequested != nullptr) CloseHandle(g_vm.stopRequested);
    DeleteCriticalSection(&g_vm.lock);
}

}  // namespace
}  // namespace standin

// ---- exports ----

JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* args) {
    return standin::CreateVm(pvm, penv, args);
}

JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void* args) {
    standin::CallScope scope;
    jint version = args != nullptr ? static_cast<JavaVMInitArgs*>(args)->version : 0;
    // HotSpot answers JNI_ERR, not JNI_EVERSION, for a version it does not support.
    jint result = args != nullptr && standin::IsSupportedVersion(version) ? JNI_OK : JNI_ERR;
    standin::Line line;
    standin::LineStart(&line, "JNI_GetDefaultJavaVMInitArgs");
    standin::LineWord(&line, "version=");
    standin::LineHex32(&line, static_cast<unsigned long>(version));
    standin::LineWord(&line, "result=");
    standin::LineSigned(&line, result);
    standin::WriteLine(line);
    return result;
}

JNIEXPORT jint JNICALL JNI_GetCreatedJavaVMs(JavaVM** buffer, jsize capacity, jsize* count) {
    standin::CallScope scope;
    EnterCriticalSection(&standin::g_vm.lock);
    jsize live = standin::g_vm.state == standin::VmState::kLive ? 1 : 0;
    LeaveCriticalSection(&standin::g_vm.lock);
    if (live != 0 && buffer != nullptr && capacity > 0) buffer[0] = &standin::g_javaVm;
    if (count != nullptr) *count = live;
    standin::Line line;
    standin::LineStart(&line, "JNI_GetCreatedJavaVMs");
    standin::LineWord(&line, "result=0 count=");
    standin::LineSigned(&line, live);
    standin::WriteLine(line);
    return JNI_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::g_self = instance;
        standin::StartModule(instance);
        standin::StartVm();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // reserved is null for FreeLibrary. At process exit the other threads are gone already
        // and nothing can run code of this DLL again, so there is nothing to record or free.
        standin::Record("UNLOAD", nullptr);
        if (standin::CallsInFlight() != 0) {
            standin::RecordFault("unloaded while in use", nullptr);
            // Threads are still inside; their locks and events must outlive the unmapping.
            return TRUE;
        }
        standin::StopVm();
        standin::StopModule();
    }
    return TRUE;
}
