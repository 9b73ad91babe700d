// The bridge runtime's jvm.dll: the Invocation API and the JNI functions the
// host uses, each forwarded to BridgeMain on this machine's own (Linux) JVM.
// Everything else in the function tables traps, so a host that starts using
// more of JNI finds out here rather than getting made-up answers.
#define _JNI_IMPLEMENTATION_
#include <winsock2.h>

#include <jni.h>
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "bridge_jni_names.h"
#include "bridge_launch.h"
#include "bridge_record.h"
#include "bridge_wire.h"

namespace bridge {
namespace {

// JDK 17's jni.h stops at JNI_VERSION_10.
constexpr jint kJniVersion21 = 0x00150000;
// JVM start-up under a loaded test run can take seconds; the host has reported
// running by then, so waiting costs nothing but this call's time.
constexpr DWORD kStartTimeoutMs = 30000;
// How long the lifeline's watcher waits for the shell's word on how java ended.
constexpr DWORD kExitStatusTimeoutMs = 5000;
// How long a call whose connection dropped waits for the watcher's verdict: java's end
// drops every connection at once, so no verdict by then means only the call's own failed.
constexpr DWORD kVerdictTimeoutMs = kExitStatusTimeoutMs + 5000;
// The shell reports a java ended by a signal as 128 + the signal: a crash, not an exit.
constexpr int kHighestExitStatus = 128;
constexpr size_t kMaxEnvs = 1024;
constexpr size_t kMaxRefs = 16384;
constexpr DWORD kRefMagic = 0x42524546;
const wchar_t kRuntimeSuffix[] = L"\\jre\\bin\\client\\jvm.dll";
const char kLostThrowable[] = "java.lang.InternalError: the bridge's Java process is gone";
// -Xcheck:jni: a thread may hold this many local references, and after a warning this many
// more than it then held, before HotSpot warns (jniCheck.cpp).
constexpr size_t kLocalCapacityStep = 32;

enum class RefKind { kClass, kMethod, kString, kArray, kObject };

// What a jclass, jmethodID, jstring or jobjectArray handed to the host points at.
// Slots are never reused, so a stale handle still reads as what it was, and a
// deleted one is known as deleted.
struct Ref {
    DWORD magic;
    RefKind kind;
    bool deleted;      // by DeleteLocalRef: any later use is the host's fault
    std::string id;    // the Java side's number for the object
    std::string text;  // class or method name, the string itself, or "<class>[<length>]"
    std::string signature;
    std::vector<std::string> elements;  // an array's, as the record shows them
    bool unitsKnown;                    // a string's units, once GetString… asked for them
    std::wstring units;
    struct Env* localOf;  // the thread whose local reference it is; null for a method ID
};

struct Env {
    JNIEnv jni;  // first member: the JNIEnv* handed out is this struct's address
    DWORD thread;
    bool attached;
    bool daemon;  // by AttachCurrentThreadAsDaemon: DestroyJavaVM does not wait for it
    bool lost;    // the channel dropped: the Java process is gone
    Channel channel;
    bool pending;
    std::string pendingThrowable;    // "<class>: <message>"
    std::string pendingDescription;  // as ExceptionDescribe prints it, stack trace and all
    std::string pendingId;           // the Java side's number for the pending throwable, if any
    // -Xcheck:jni's view of the thread (see CheckOnEntry).
    size_t liveLocals;
    size_t plannedCapacity;
    std::string checkNeededFrom;  // the Call…Method whose exception was not checked yet
};

enum class VmState { kNone, kLive, kDestroyed };

// How the Java process ended, as the lifeline's watcher judged it.
enum class JavaEnd {
    kRunning,
    kEnded,   // the VM ended after DestroyJavaVM: its application threads and hooks were done
    kExited,  // System.exit or Runtime.halt, from any thread: the host's exit hook is called
    kLost,    // killed (the shell reports 128 + the signal), or no status at all
};

using ExitHook = void(JNICALL*)(jint status);

struct Vm {
    JavaVM jvm;  // first member: the JavaVM* handed out is this struct's address
    // Guards the env table; DestroyJavaVM sleeps on `detached` under it.
    SRWLOCK lock;
    CONDITION_VARIABLE detached;
    volatile VmState state;
    size_t envCount;
    JavaProcess java;
    std::wstring javaLog;  // written by JNI_CreateJavaVM only
    ExitHook exitHook;     // the host's "exit" hook, or null; written by JNI_CreateJavaVM only
    // The lifeline's watcher: started by JNI_CreateJavaVM, the only reader of the lifeline from
    // then on, and the only writer of `end`, which it writes once before it sets `javaEnded`.
    HANDLE watcher;
    HANDLE javaEnded;  // manual-reset
    volatile JavaEnd end;
};

Ref g_refs[kMaxRefs];
LONG g_refCount = 0;
Env g_envs[kMaxEnvs];
Vm g_vm = {};
// -Xcheck:jni among the host's options or java's: set by JNI_CreateJavaVM only.
bool g_checkJni = false;
JNINativeInterface_ g_envFunctions;
JNIInvokeInterface_ g_vmFunctions;

// Once the watcher has judged an end that leaves no VM behind (see WatchLifeline).
bool JavaHasEnded() {
    const JavaEnd end = g_vm.end;
    return end == JavaEnd::kEnded || end == JavaEnd::kExited;
}

// The thread that is in the VM when it goes never runs again, as at a real VM's last safepoint.
[[noreturn]] void StopForGood() {
    for (;;) {
        Sleep(INFINITE);
    }
}

// The host's "vfprintf" hook, as the JNI specification describes it.
using VfprintfHook = jint(JNICALL*)(FILE* stream, const char* format, va_list args);

void CallHook(VfprintfHook hook, const char* format, ...) {
    va_list args;
    va_start(args, format);
    hook(stderr, format, args);
    va_end(args);
}

std::wstring ModulePath() {
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&g_vm), &self);
    std::vector<wchar_t> path(MAX_PATH);
    while (true) {
        const DWORD n = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            return std::wstring(path.data(), n);
        }
        path.resize(path.size() * 2);
    }
}

std::wstring DirectoryOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The install directory is what the host's own layout puts above jre\bin\client.
std::wstring InstallDirOf(const std::wstring& dllPath) {
    const size_t suffix = ARRAYSIZE(kRuntimeSuffix) - 1;
    if (dllPath.size() > suffix &&
        lstrcmpiW(dllPath.c_str() + dllPath.size() - suffix, kRuntimeSuffix) == 0) {
        return dllPath.substr(0, dllPath.size() - suffix);
    }
    return DirectoryOf(dllPath);
}

// For a trap before JNI_CreateJavaVM opened the record.
void EnsureRecord() {
    if (!RecordIsOpen()) {
        OpenRecord(InstallDirOf(ModulePath()) + L"\\bridge-record.txt");
    }
}

Env* FindAttached(DWORD thread) {
    Env* found = nullptr;
    AcquireSRWLockShared(&g_vm.lock);
    for (size_t i = 0; i < g_vm.envCount && found == nullptr; ++i) {
        if (g_envs[i].attached && g_envs[i].thread == thread) {
            found = &g_envs[i];
        }
    }
    ReleaseSRWLockShared(&g_vm.lock);
    return found;
}

// A new env for the calling thread, connected to the Java side (whose thread for it is a daemon
// when `daemon`, and named `name` unless empty); null on failure.
Env* AttachEnv(bool daemon, std::string* why, const std::string& name = std::string()) {
    AcquireSRWLockExclusive(&g_vm.lock);
    Env* env = g_vm.envCount < kMaxEnvs ? &g_envs[g_vm.envCount++] : nullptr;
    ReleaseSRWLockExclusive(&g_vm.lock);
    if (env == nullptr) {
        *why = "no env slot left";
        return nullptr;
    }
    env->jni.functions = &g_envFunctions;
    env->thread = GetCurrentThreadId();
    env->daemon = daemon;
    env->liveLocals = 0;
    env->plannedCapacity = kLocalCapacityStep;
    if (!OpenChannel(g_vm.java, daemon, &env->channel, name)) {
        *why = "no channel to the Java process";
        return nullptr;
    }
    AcquireSRWLockExclusive(&g_vm.lock);
    env->attached = true;
    ReleaseSRWLockExclusive(&g_vm.lock);
    return env;
}

void DetachEnv(Env* env, const char* farewell) {
    SendFields(&env->channel, {farewell});
    CloseChannel(&env->channel);
    AcquireSRWLockExclusive(&g_vm.lock);
    env->attached = false;
    ReleaseSRWLockExclusive(&g_vm.lock);
    WakeAllConditionVariable(&g_vm.detached);
}

// The attached threads DestroyJavaVM waits for, as a real VM waits for its non-daemon threads.
size_t OthersAttached(const Env* own) {
    size_t count = 0;
    for (size_t i = 0; i < g_vm.envCount; ++i) {
        if (g_envs[i].attached && !g_envs[i].daemon && &g_envs[i] != own) {
            ++count;
        }
    }
    return count;
}

// --- -Xcheck:jni, as HotSpot checks the calls of a native thread ---
// With -Xcheck:jni, the bridge warns where HotSpot 17 does, in its words, on this process's
// standard output (HotSpot's tty: logs\stdout.log) and in the record ("JNIWARNING <text>"):
// a call made while an exception is pending; a call after a Call…Method with no
// ExceptionCheck, ExceptionOccurred or ExceptionClear between; and a thread holding more live
// local references than planned (32; after a warning, what it then held plus 32). HotSpot
// counts the references as each call ends: the bridge at the next call's start, and at a
// detach, which comes to the same.

void WarnJni(const std::string& text) {
    Record("JNIWARNING", text);
    WriteStandardOutput(text + "\n");
}

void CheckLocalCapacity(Env* env) {
    if (g_checkJni && env->liveLocals > env->plannedCapacity) {
        WarnJni("WARNING: JNI local refs: " + std::to_string(env->liveLocals) +
                ", exceeds capacity: " + std::to_string(env->plannedCapacity));
        env->plannedCapacity = env->liveLocals + kLocalCapacityStep;
    }
}

// At the start of a call; `exceptionAllowed` for those JNI lets a thread make with an
// exception pending (the Exception… calls and DeleteLocalRef).
void CheckOnEntry(Env* env, bool exceptionAllowed) {
    CheckLocalCapacity(env);
    if (!g_checkJni || exceptionAllowed) return;
    if (env->pending) WarnJni("WARNING in native method: JNI call made with exception pending");
    if (!env->checkNeededFrom.empty()) {
        WarnJni(
            "WARNING in native method: JNI call made without checking exceptions when "
            "required to from " +
            env->checkNeededFrom);
        env->checkNeededFrom.clear();
    }
}

// The env the calling thread passed, checked as strictly as the JNI rules
// allow: a host that breaks them would crash a real VM sooner or later.
Env* CallerEnv(JNIEnv* jni, bool exceptionAllowed = false) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(jni);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&g_envs[0]);
    if (at < first || at >= first + sizeof(g_envs) || (at - first) % sizeof(Env) != 0) {
        Trap("a JNIEnv this VM never handed out");
    }
    Env* env = reinterpret_cast<Env*>(jni);
    if (env->daemon && env->attached && JavaHasEnded()) {
        // A real VM's daemon threads stay where they are once the VM has gone.
        StopForGood();
    }
    if (g_vm.state != VmState::kLive) {
        Trap("a JNI call after DestroyJavaVM");
    }
    if (!env->attached) {
        Trap("the JNIEnv of a detached thread");
    }
    if (env->thread != GetCurrentThreadId()) {
        Trap("a JNIEnv used on another thread than its own");
    }
    CheckOnEntry(env, exceptionAllowed);
    return env;
}

// The reference slot `handle` points at, or null when it points at none.
Ref* RefAt(const void* handle) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&g_refs[0]);
    if (at < first || at >= first + sizeof(g_refs) || (at - first) % sizeof(Ref) != 0) {
        return nullptr;
    }
    Ref* ref = &g_refs[(at - first) / sizeof(Ref)];
    return ref->magic == kRefMagic ? ref : nullptr;
}

void CheckNotDeleted(const Ref* ref) {
    if (ref->deleted) {
        Trap("a reference the host deleted: " + ref->text);
    }
}

Ref* AsRef(const void* handle, RefKind kind, const char* what) {
    Ref* ref = RefAt(handle);
    if (ref == nullptr || ref->kind != kind) {
        Trap(std::string("not a ") + what + " of this VM");
    }
    CheckNotDeleted(ref);
    return ref;
}

// A jobject argument: a class, a string or an array this VM handed out.
Ref* AsObject(const void* handle) {
    Ref* ref = RefAt(handle);
    if (ref == nullptr || ref->kind == RefKind::kMethod) {
        Trap("an object reference this VM never handed out");
    }
    CheckNotDeleted(ref);
    return ref;
}

// How an object argument or array element reads in the record.
std::string Shown(const Ref* ref) {
    if (ref->kind == RefKind::kClass) {
        return "class " + ref->text;
    }
    if (ref->kind != RefKind::kArray) {
        return ref->text;
    }
    std::string shown = ref->text + " {";
    for (size_t i = 0; i < ref->elements.size(); ++i) {
        shown += (i > 0 ? ", " : "") + ref->elements[i];
    }
    return shown + "}";
}

void SetPending(Env* env, const std::string& throwable,
                const std::string& description = std::string()) {
    env->pending = true;
    env->pendingThrowable = throwable;
    env->pendingDescription =
        description.empty() ? "Exception in thread \"main\" " + throwable + "\n" : description;
}

// --- The lifeline's watcher ---
// A thread of the DLL's own, as a real VM has, that learns how the Java process ended: the
// Java side says "ENDED" on the lifeline when its VM ends after DestroyJavaVM (its application
// threads done, no System.exit under way); a lifeline that drops without it is an exit with
// the status the shell reports, or a killed java. It takes no lock but the record's, waits on
// the lifeline without bound (java's life), then up to kExitStatusTimeoutMs for the status
// and one forwarding poll, and for an exit calls the host's exit hook, which may not return.

JavaEnd JudgeJavaEnd(bool endedAfterDestroy, int* status) {
    if (endedAfterDestroy) {
        return JavaEnd::kEnded;
    }
    if (JavaExitStatus(g_vm.javaLog, kExitStatusTimeoutMs, status) && *status >= 0 &&
        *status <= kHighestExitStatus) {
        return JavaEnd::kExited;
    }
    return JavaEnd::kLost;
}

DWORD WINAPI WatchLifeline(void* /*unused*/) {
    bool endedAfterDestroy = false;
    std::vector<std::string> line;
    while (ReceiveFields(&g_vm.java.lifeline, &line)) {
        endedAfterDestroy = endedAfterDestroy || (!line.empty() && line[0] == "ENDED");
    }
    CloseChannel(&g_vm.java.lifeline);
    int status = 0;
    const JavaEnd end = JudgeJavaEnd(endedAfterDestroy, &status);
    // All java wrote is there now: what a shutdown hook printed reaches the host's files
    // before the host hears of the end.
    StopForwardingJavaOutput();
    g_vm.end = end;
    SetEvent(g_vm.javaEnded);
    if (end != JavaEnd::kExited) {
        return 0;
    }
    // A real VM's System.exit: the hooks have run; the host's exit hook is called from a thread
    // of the VM's own, and when it returns (or there is none) the VM ends the process itself.
    Record("EXIT", "java exited with status " + std::to_string(status) +
                       (g_vm.exitHook != nullptr ? ", exit hook called" : ", no exit hook"));
    if (g_vm.exitHook != nullptr) {
        g_vm.exitHook(status);
    }
    ExitProcess(static_cast<UINT>(status));
}

// Waits (up to `timeoutMs`) for the watcher's verdict; kRunning when there is none yet.
JavaEnd AwaitJavaEnd(DWORD timeoutMs) {
    return WaitForSingleObject(g_vm.javaEnded, timeoutMs) == WAIT_OBJECT_0 ? g_vm.end
                                                                           : JavaEnd::kRunning;
}

// One request and its reply on the caller's channel. When the connection drops because the VM
// ended or exited, the call never returns, as in a real VM; otherwise (java killed, or only
// this connection failed) an exception is left pending, as a VM that died under the host.
bool Transact(Env* env, const std::vector<std::string>& request, std::vector<std::string>* reply) {
    if (!env->lost && SendFields(&env->channel, request) && ReceiveFields(&env->channel, reply)) {
        if (reply->empty() || (*reply)[0] == "ERR") {
            Trap("the bridge program refused " + request[0] + ": " +
                 (reply->size() > 1 ? (*reply)[1] : std::string()));
        }
        return true;
    }
    if (!env->lost) {
        env->lost = true;
        CloseChannel(&env->channel);
        const JavaEnd end =
            g_vm.state == VmState::kLive ? AwaitJavaEnd(kVerdictTimeoutMs) : JavaEnd::kLost;
        if (end == JavaEnd::kEnded || end == JavaEnd::kExited) {
            StopForGood();
        }
        Record("LOST", "the connection to the Java process dropped during " + request[0]);
    }
    SetPending(env, kLostThrowable);
    return false;
}

// "<class>: <message>" of an EXC reply, as the pending exception reads in the record.
std::string ThrowableOf(const std::vector<std::string>& reply) {
    return reply.size() > 2 && !reply[2].empty() ? reply[1] + ": " + reply[2] : reply[1];
}

// An EXC reply's exception, pending on `env` with the Java side's description of it.
void SetPendingFromReply(Env* env, const std::vector<std::string>& reply) {
    SetPending(env, ThrowableOf(reply), reply.size() > 3 ? reply[3] : std::string());
    env->pendingId = reply.size() > 4 ? reply[4] : std::string();
}

// The reference a REF reply names, or null with the reply's exception pending.
Ref* TakeReference(Env* env, const std::vector<std::string>& reply, RefKind kind,
                   const std::string& text, const std::string& signature = std::string()) {
    if (reply[0] == "EXC" && reply.size() >= 2) {
        SetPendingFromReply(env, reply);
        return nullptr;
    }
    if (reply[0] != "REF" || reply.size() != 2) {
        Trap("unexpected reply " + reply[0]);
    }
    const LONG slot = InterlockedIncrement(&g_refCount) - 1;
    if (slot >= static_cast<LONG>(kMaxRefs)) {
        SetPending(env, "java.lang.OutOfMemoryError: bridge reference table full");
        return nullptr;
    }
    Ref* ref = &g_refs[slot];
    ref->kind = kind;
    ref->deleted = false;
    ref->id = reply[1];
    ref->text = text;
    ref->signature = signature;
    ref->unitsKnown = false;
    ref->units.clear();
    ref->localOf = kind == RefKind::kMethod ? nullptr : env;
    env->liveLocals += ref->localOf != nullptr;
    ref->magic = kRefMagic;
    return ref;
}

std::string Outcome(const Env* env, const void* result) {
    return result != nullptr ? " -> found" : " -> NULL, pending " + env->pendingThrowable;
}

jclass JNICALL FindClass(JNIEnv* jni, const char* name) {
    Env* env = CallerEnv(jni);
    if (name == nullptr) {
        Trap("FindClass with a null name");
    }
    std::vector<std::string> reply;
    Ref* ref = Transact(env, {"FINDCLASS", name}, &reply)
                   ? TakeReference(env, reply, RefKind::kClass, name)
                   : nullptr;
    Record("FindClass", name + Outcome(env, ref));
    return reinterpret_cast<jclass>(ref);
}

// A method of `cls` looked up by the Java side's `request` (METHOD: static,
// IMETHOD: an instance method), recorded as `call`.
jmethodID LookUpMethod(JNIEnv* jni, jclass cls, const char* name, const char* signature,
                       const char* request, const char* call) {
    Env* env = CallerEnv(jni);
    const Ref* owner = AsRef(cls, RefKind::kClass, "jclass");
    if (name == nullptr || signature == nullptr) {
        Trap(std::string(call) + " with a null name or signature");
    }
    std::vector<std::string> reply;
    Ref* ref = Transact(env, {request, owner->id, name, signature}, &reply)
                   ? TakeReference(env, reply, RefKind::kMethod, name, signature)
                   : nullptr;
    Record(call, std::string(name) + " " + signature + Outcome(env, ref));
    return reinterpret_cast<jmethodID>(ref);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* jni, jclass cls, const char* name,
                                    const char* signature) {
    return LookUpMethod(jni, cls, name, signature, "METHOD", "GetStaticMethodID");
}

jstring JNICALL NewString(JNIEnv* jni, const jchar* units, jsize length) {
    Env* env = CallerEnv(jni);
    if (length < 0 || (units == nullptr && length > 0)) {
        Trap("NewString with a negative length or no characters");
    }
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(units);
    const std::string text = Utf8(std::wstring(wide, wide + length));
    std::vector<std::string> reply;
    Ref* ref = Transact(env, {"STRING", HexUnits(wide, static_cast<size_t>(length))}, &reply)
                   ? TakeReference(env, reply, RefKind::kString, text)
                   : nullptr;
    Record("NewString", ref != nullptr ? text : text + Outcome(env, ref));
    return reinterpret_cast<jstring>(ref);
}

jobjectArray JNICALL NewObjectArray(JNIEnv* jni, jsize length, jclass elementClass,
                                    jobject initial) {
    Env* env = CallerEnv(jni);
    const Ref* element = AsRef(elementClass, RefKind::kClass, "jclass");
    if (length < 0) {
        Trap("NewObjectArray with a negative length");
    }
    const Ref* filler = initial != nullptr ? AsObject(initial) : nullptr;
    std::vector<std::string> reply;
    const std::string text = element->text + "[" + std::to_string(length) + "]";
    Ref* ref = Transact(env,
                        {"NEWARRAY", element->id, std::to_string(length),
                         filler != nullptr ? "L" + filler->id : "N"},
                        &reply)
                   ? TakeReference(env, reply, RefKind::kArray, text)
                   : nullptr;
    if (ref != nullptr) {
        ref->elements.assign(static_cast<size_t>(length),
                             filler != nullptr ? Shown(filler) : "null");
    }
    Record("NewObjectArray", text + Outcome(env, ref));
    return reinterpret_cast<jobjectArray>(ref);
}

void JNICALL SetObjectArrayElement(JNIEnv* jni, jobjectArray array, jsize index, jobject value) {
    Env* env = CallerEnv(jni);
    Ref* target = AsRef(array, RefKind::kArray, "jobjectArray");
    const Ref* stored = value != nullptr ? AsObject(value) : nullptr;
    const std::string shown = stored != nullptr ? Shown(stored) : "null";
    std::vector<std::string> reply;
    // The Java side checks the index and the element's type, and throws as a real VM does.
    if (Transact(env,
                 {"SETELEMENT", target->id, std::to_string(index),
                  stored != nullptr ? "L" + stored->id : "N"},
                 &reply)) {
        if (reply[0] == "EXC" && reply.size() >= 2) {
            SetPendingFromReply(env, reply);
        } else {
            target->elements[static_cast<size_t>(index)] = shown;
        }
    }
    Record("SetObjectArrayElement",
           target->text + " " + std::to_string(index) + " " + shown +
               (env->pending ? " -> pending " + env->pendingThrowable : std::string()));
}

// The bridge's references belong to no thread: a global one is the same.
jobject JNICALL NewGlobalRef(JNIEnv* jni, jobject object) {
    CallerEnv(jni);
    if (object == nullptr) {
        return nullptr;
    }
    const Ref* ref = AsObject(object);
    Record("NewGlobalRef", ref->text);
    return object;
}

// The slot stays, marked, so that a later use of the reference traps.
void JNICALL DeleteLocalRef(JNIEnv* jni, jobject object) {
    CallerEnv(jni, true);
    if (object == nullptr) {
        return;
    }
    Ref* ref = AsObject(object);
    if (ref->localOf != nullptr) {
        --ref->localOf->liveLocals;
    }
    ref->deleted = true;
    Record("DeleteLocalRef", ref->text);
}

// Reads the variadic arguments as the method's descriptor says they were passed
// (after the default promotions), into the request and a readable description.
void CollectArguments(const std::string& signature, va_list args, std::vector<std::string>* request,
                      std::string* description) {
    size_t at = 1;
    while (at < signature.size() && signature[at] != ')') {
        const char type = signature[at];
        if (type == 'L' || type == '[') {
            while (signature[at] == '[') {
                ++at;
            }
            if (signature[at] == 'L') {
                at = signature.find(';', at);
                if (at == std::string::npos) {
                    Trap("a malformed method signature " + signature);
                }
            }
            ++at;
            jobject object = va_arg(args, jobject);
            if (object == nullptr) {
                request->push_back("N");
                *description += " arg=null";
            } else {
                const Ref* ref = AsObject(object);
                request->push_back("L" + ref->id);
                *description += " arg=" + Shown(ref);
            }
            continue;
        }
        ++at;
        std::string value;
        if (type == 'J') {
            value = std::to_string(va_arg(args, jlong));
            request->push_back("J" + value);
        } else if (type == 'F' || type == 'D') {
            const double number = va_arg(args, double);
            value = std::to_string(number);
            if (type == 'F') {
                const float single = static_cast<float>(number);
                int32_t bits;
                memcpy(&bits, &single, sizeof(bits));
                request->push_back("F" + std::to_string(bits));
            } else {
                int64_t bits;
                memcpy(&bits, &number, sizeof(bits));
                request->push_back("D" + std::to_string(bits));
            }
        } else {
            value = std::to_string(va_arg(args, int));
            request->push_back("I" + value);
        }
        *description += " arg=" + value;
    }
}

// A static call's request and its record's description, the arguments read
// as the method's descriptor says.
struct StaticCall {
    const Ref* called;
    std::vector<std::string> request;
    std::string description;
};

StaticCall MakeStaticCall(jclass cls, jmethodID method, va_list args) {
    const Ref* owner = AsRef(cls, RefKind::kClass, "jclass");
    const Ref* called = AsRef(method, RefKind::kMethod, "jmethodID");
    StaticCall call = {called, {"CALLSTATIC", owner->id, called->id}, called->text};
    CollectArguments(called->signature, args, &call.request, &call.description);
    return call;
}

// A call after this one is to check for its exception first (-Xcheck:jni).
Env* CallerOfCall(JNIEnv* jni, const char* function) {
    Env* env = CallerEnv(jni);
    env->checkNeededFrom = function;
    return env;
}

void CallStaticVoidWith(Env* env, const StaticCall& call) {
    const Ref* called = call.called;
    // Recorded before the call: serviceMain returns only at the end of the service.
    Record("CallStaticVoidMethod", call.description);
    std::vector<std::string> reply;
    if (Transact(env, call.request, &reply)) {
        if (reply[0] == "VOID") {
            Record("returned", called->text);
            return;
        }
        if (reply[0] != "EXC" || reply.size() < 2) {
            Trap("unexpected reply " + reply[0]);
        }
        SetPendingFromReply(env, reply);
    }
    Record("threw", called->text + " " + env->pendingThrowable);
}

void CallStaticVoid(JNIEnv* jni, const char* function, jclass cls, jmethodID method, va_list args) {
    Env* env = CallerOfCall(jni, function);
    CallStaticVoidWith(env, MakeStaticCall(cls, method, args));
}

// A static method's object result: a class comes back as a jclass of this VM.
jobject CallStaticObject(JNIEnv* jni, const char* function, jclass cls, jmethodID method,
                         va_list args) {
    Env* env = CallerOfCall(jni, function);
    const StaticCall call = MakeStaticCall(cls, method, args);
    const Ref* called = call.called;
    Record("CallStaticObjectMethod", call.description);
    std::vector<std::string> reply;
    if (!Transact(env, call.request, &reply)) {
        return nullptr;
    }
    if (reply[0] == "NULL") {
        Record("returned", called->text + " null");
        return nullptr;
    }
    if (reply[0] == "REF" && reply.size() == 3) {
        Ref* ref = TakeReference(env, {"REF", reply[1]}, RefKind::kClass, reply[2]);
        Record("returned", called->text + " class " + reply[2]);
        return reinterpret_cast<jobject>(ref);
    }
    if (reply[0] != "EXC" || reply.size() < 2) {
        Trap("a result the bridge cannot hand out from " + called->text + ": " + reply[0]);
    }
    SetPendingFromReply(env, reply);
    Record("threw", called->text + " " + env->pendingThrowable);
    return nullptr;
}

jobject JNICALL CallStaticObjectMethodV(JNIEnv* jni, jclass cls, jmethodID method, va_list args) {
    return CallStaticObject(jni, "CallStaticObjectMethodV", cls, method, args);
}

jobject JNICALL CallStaticObjectMethod(JNIEnv* jni, jclass cls, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    jobject result = CallStaticObject(jni, "CallStaticObjectMethod", cls, method, args);
    va_end(args);
    return result;
}

// jni.h's C++ wrapper for CallStaticVoidMethod calls this one.
void JNICALL CallStaticVoidMethodV(JNIEnv* jni, jclass cls, jmethodID method, va_list args) {
    CallStaticVoid(jni, "CallStaticVoidMethodV", cls, method, args);
}

void JNICALL CallStaticVoidMethod(JNIEnv* jni, jclass cls, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    CallStaticVoid(jni, "CallStaticVoidMethod", cls, method, args);
    va_end(args);
}

// --- Calls that answer with objects, and reading what they answered ---
// The host's diagnostics (thread dumps, deadlocks, heap dumps) call the JDK's management beans
// through these, with jvalue arguments.

// The jvalue arguments, read as the method's descriptor says, into the request and the record.
void CollectValues(const std::string& signature, const jvalue* args,
                   std::vector<std::string>* request, std::string* description) {
    size_t at = 1;
    for (size_t n = 0; at < signature.size() && signature[at] != ')'; ++n) {
        const char type = signature[at];
        if (type == 'L' || type == '[') {
            while (signature[at] == '[') ++at;
            at = signature[at] == 'L' ? signature.find(';', at) + 1 : at + 1;
            const Ref* ref = args[n].l != nullptr ? AsObject(args[n].l) : nullptr;
            request->push_back(ref != nullptr ? "L" + ref->id : "N");
            *description += " arg=" + (ref != nullptr ? Shown(ref) : std::string("null"));
            continue;
        }
        ++at;
        std::string value = type == 'Z'   ? std::to_string(args[n].z)
                            : type == 'J' ? std::to_string(args[n].j)
                                          : std::to_string(args[n].i);
        request->push_back((type == 'J' ? "J" : "I") + value);
        *description += " arg=" + value;
    }
}

// dumpHeap's file is a Windows path, which the Linux JVM would read as one relative name: the
// bridge passes the path Wine maps it to, so that the JVM writes that very file, as a real VM
// on Windows does.
void MapHeapDumpPath(Env* env, const Ref* called, std::vector<std::string>* request) {
    std::string linuxPath;
    if (called->text != "dumpHeap" || request->size() < 4 || (*request)[3][0] != 'L') return;
    for (const Ref& ref : g_refs) {
        if (ref.magic == kRefMagic && ref.kind == RefKind::kString &&
            "L" + ref.id == (*request)[3] && LinuxPathOf(Wide(ref.text), &linuxPath)) {
            const std::wstring units = Wide(linuxPath);
            std::vector<std::string> reply;
            if (Transact(env, {"STRING", HexUnits(units.c_str(), units.size())}, &reply) &&
                reply[0] == "REF") {
                (*request)[3] = "L" + reply[1];
                Record("mapped", ref.text + " -> " + linuxPath);
            }
            return;
        }
    }
}

// An object-returning (or void, or int into `number`) call, static when
// `target` is null; a boolean one's result in `truth`.
jobject CallAnswering(JNIEnv* jni, const char* function, jclass cls, jobject target,
                      jmethodID method, const jvalue* args, jint* number = nullptr,
                      jboolean* truth = nullptr) {
    Env* env = CallerOfCall(jni, function);
    const Ref* called = AsRef(method, RefKind::kMethod, "jmethodID");
    const Ref* on = target != nullptr ? AsObject(target) : AsRef(cls, RefKind::kClass, "jclass");
    std::vector<std::string> request = {target != nullptr ? "CALL" : "CALLSTATIC", on->id,
                                        called->id};
    std::string description = called->text;
    CollectValues(called->signature, args, &request, &description);
    MapHeapDumpPath(env, called, &request);
    Record(function, description);
    std::vector<std::string> reply;
    Ref* result = nullptr;
    std::string returned = called->text;
    if (Transact(env, request, &reply)) {
        if (reply[0] == "EXC" && reply.size() >= 2) {
            SetPendingFromReply(env, reply);
        } else if (reply[0] == "INT" && reply.size() == 2 && number != nullptr) {
            *number = std::stoi(reply[1]);
        } else if (reply[0] == "REF" && reply.size() == 3) {
            result = TakeReference(env, {"REF", reply[1]}, RefKind::kClass, reply[2]);
        } else if (reply[0] == "REF") {
            result = TakeReference(env, reply, RefKind::kObject, called->text + " result");
        } else if (reply[0] == "BOOLEAN" && truth != nullptr && reply.size() == 2) {
            *truth = reply[1] == "true" ? JNI_TRUE : JNI_FALSE;
            returned += " " + reply[1];
        } else if (reply[0] != "VOID" && reply[0] != "NULL") {
            Trap("unexpected reply " + reply[0]);
        }
    }
    Record(env->pending ? "threw" : "returned", env->pending
                                                    ? called->text + " " + env->pendingThrowable
                                                : result != nullptr ? called->text + " an object"
                                                                    : returned);
    return reinterpret_cast<jobject>(result);
}

// Recorded as the variadic call is: the host's static calls pass jvalue arguments.
void JNICALL CallStaticVoidMethodA(JNIEnv* jni, jclass cls, jmethodID method, const jvalue* args) {
    Env* env = CallerOfCall(jni, "CallStaticVoidMethodA");
    const Ref* owner = AsRef(cls, RefKind::kClass, "jclass");
    const Ref* called = AsRef(method, RefKind::kMethod, "jmethodID");
    StaticCall call = {called, {"CALLSTATIC", owner->id, called->id}, called->text};
    CollectValues(called->signature, args, &call.request, &call.description);
    CallStaticVoidWith(env, call);
}

jboolean JNICALL CallStaticBooleanMethodA(JNIEnv* jni, jclass cls, jmethodID method,
                                          const jvalue* args) {
    jboolean truth = JNI_FALSE;
    CallAnswering(jni, "CallStaticBooleanMethodA", cls, nullptr, method, args, nullptr, &truth);
    return truth;
}

jobject JNICALL CallStaticObjectMethodA(JNIEnv* jni, jclass cls, jmethodID method,
                                        const jvalue* args) {
    return CallAnswering(jni, "CallStaticObjectMethodA", cls, nullptr, method, args);
}

jobject JNICALL CallObjectMethodA(JNIEnv* jni, jobject target, jmethodID method,
                                  const jvalue* args) {
    if (target == nullptr) Trap("CallObjectMethodA on null");
    return CallAnswering(jni, "CallObjectMethodA", nullptr, target, method, args);
}

void JNICALL CallVoidMethodA(JNIEnv* jni, jobject target, jmethodID method, const jvalue* args) {
    if (target == nullptr) Trap("CallVoidMethodA on null");
    CallAnswering(jni, "CallVoidMethodA", nullptr, target, method, args);
}

jint JNICALL CallIntMethodA(JNIEnv* jni, jobject target, jmethodID method, const jvalue* args) {
    if (target == nullptr) Trap("CallIntMethodA on null");
    jint number = 0;
    CallAnswering(jni, "CallIntMethodA", nullptr, target, method, args, &number);
    return number;
}

// A static field, found as a real VM finds it (the class initialised first); kept as a method
// reference, which only names it.
jfieldID JNICALL GetStaticFieldID(JNIEnv* jni, jclass cls, const char* name,
                                  const char* signature) {
    Env* env = CallerEnv(jni);
    const Ref* owner = AsRef(cls, RefKind::kClass, "jclass");
    std::vector<std::string> reply;
    Ref* ref = Transact(env, {"FIELD", owner->id, name, signature}, &reply)
                   ? TakeReference(env, reply, RefKind::kMethod, name, signature)
                   : nullptr;
    Record("GetStaticFieldID", std::string(name) + " " + signature + Outcome(env, ref));
    return reinterpret_cast<jfieldID>(ref);
}

jmethodID JNICALL GetMethodID(JNIEnv* jni, jclass cls, const char* name, const char* signature) {
    return LookUpMethod(jni, cls, name, signature, "IMETHOD", "GetMethodID");
}

// A string's UTF-16 units, asked once and kept with its reference.
const std::wstring& UnitsOf(Env* env, Ref* string) {
    if (!string->unitsKnown) {
        std::vector<std::string> reply;
        if (Transact(env, {"CHARS", string->id}, &reply) && reply[0] == "TEXT" &&
            reply.size() == 2) {
            string->units = WideFromHexUnits(reply[1]);
        }
        string->unitsKnown = true;
    }
    return string->units;
}

jsize JNICALL GetStringLength(JNIEnv* jni, jstring string) {
    Env* env = CallerEnv(jni);
    const jsize length = static_cast<jsize>(UnitsOf(env, AsObject(string)).size());
    Record("GetStringLength", std::to_string(length));
    return length;
}

void JNICALL GetStringRegion(JNIEnv* jni, jstring string, jsize start, jsize length, jchar* out) {
    Env* env = CallerEnv(jni);
    const std::wstring& units = UnitsOf(env, AsObject(string));
    if (start < 0 || length < 0 || static_cast<size_t>(start) + length > units.size()) {
        Trap("GetStringRegion outside the string");
    }
    memcpy(out, units.data() + start, static_cast<size_t>(length) * sizeof(jchar));
    Record("GetStringRegion", std::to_string(start) + " " + std::to_string(length));
}

jsize JNICALL GetArrayLength(JNIEnv* jni, jarray array) {
    Env* env = CallerEnv(jni);
    std::vector<std::string> reply;
    const jsize length = Transact(env, {"LENGTH", AsObject(array)->id}, &reply) && reply[0] == "OK"
                             ? static_cast<jsize>(std::stol(reply[1]))
                             : 0;
    Record("GetArrayLength", std::to_string(length));
    return length;
}

jobject JNICALL GetObjectArrayElement(JNIEnv* jni, jobjectArray array, jsize index) {
    Env* env = CallerEnv(jni);
    const Ref* owner = AsObject(array);
    std::vector<std::string> reply;
    Ref* ref = nullptr;
    if (Transact(env, {"ELEMENT", owner->id, std::to_string(index)}, &reply)) {
        ref = reply[0] == "NULL" ? nullptr
                                 : TakeReference(env, reply, RefKind::kObject,
                                                 owner->text + "[" + std::to_string(index) + "]");
    }
    Record("GetObjectArrayElement",
           std::to_string(index) + (ref != nullptr ? " -> found" : " -> null"));
    return reinterpret_cast<jobject>(ref);
}

void JNICALL GetLongArrayRegion(JNIEnv* jni, jlongArray array, jsize start, jsize length,
                                jlong* out) {
    Env* env = CallerEnv(jni);
    std::vector<std::string> reply;
    if (!Transact(env,
                  {"LONGS", AsObject(array)->id, std::to_string(start), std::to_string(length)},
                  &reply) ||
        reply[0] != "OK" || reply.size() != static_cast<size_t>(length) + 1) {
        Trap("GetLongArrayRegion outside the array");
    }
    for (jsize i = 0; i < length; ++i) out[i] = std::stoll(reply[static_cast<size_t>(i) + 1]);
    Record("GetLongArrayRegion", std::to_string(start) + " " + std::to_string(length));
}

// The pending exception as an object the host may call (its toString), when the Java side
// named it.
jthrowable JNICALL ExceptionOccurred(JNIEnv* jni) {
    Env* env = CallerEnv(jni, true);
    env->checkNeededFrom.clear();
    Ref* ref = nullptr;
    if (env->pending && !env->pendingId.empty()) {
        ref = TakeReference(env, {"REF", env->pendingId}, RefKind::kObject, env->pendingThrowable);
    }
    Record("ExceptionOccurred", env->pending ? env->pendingThrowable : "nothing pending");
    return reinterpret_cast<jthrowable>(ref);
}

jboolean JNICALL ExceptionCheck(JNIEnv* jni) {
    Env* env = CallerEnv(jni, true);
    env->checkNeededFrom.clear();
    Record("ExceptionCheck", env->pending ? "-> 1" : "-> 0");
    return env->pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL ExceptionClear(JNIEnv* jni) {
    Env* env = CallerEnv(jni, true);
    env->checkNeededFrom.clear();
    Record("ExceptionClear", env->pending ? env->pendingThrowable : "nothing pending");
    env->pending = false;
    env->pendingThrowable.clear();
}

// As a real VM does: the description goes to the process's standard error, and
// the exception is cleared.
void JNICALL ExceptionDescribe(JNIEnv* jni) {
    Env* env = CallerEnv(jni, true);
    Record("ExceptionDescribe", env->pending ? env->pendingThrowable : "nothing pending");
    if (env->pending) {
        WriteStandardError(env->pendingDescription);
    }
    env->pending = false;
    env->pendingThrowable.clear();
}

void CheckVm(JavaVM* vm) {
    if (vm != &g_vm.jvm) {
        Trap("a JavaVM this DLL never handed out");
    }
}

jint Attach(JavaVM* vm, void** penv, bool daemon, const void* args) {
    const char* call = daemon ? "AttachCurrentThreadAsDaemon" : "AttachCurrentThread";
    CheckVm(vm);
    if (penv == nullptr) {
        Trap(std::string(call) + " without a place for the env");
    }
    if (Env* env = FindAttached(GetCurrentThreadId())) {
        Record(call, "-> 0, already attached");
        *penv = &env->jni;
        return JNI_OK;
    }
    *penv = nullptr;
    if (g_vm.state != VmState::kLive || JavaHasEnded()) {
        Record(call, "-> -1, the VM is destroyed");
        return JNI_ERR;
    }
    std::string why;
    const JavaVMAttachArgs* attachArgs = static_cast<const JavaVMAttachArgs*>(args);
    const std::string name =
        attachArgs != nullptr && attachArgs->name != nullptr ? attachArgs->name : "";
    Env* env = AttachEnv(daemon, &why, name);
    if (env == nullptr) {
        Record(call, "-> -1, " + why);
        return JNI_ERR;
    }
    Record(call, name.empty() ? "-> 0" : "-> 0, named " + name);
    *penv = &env->jni;
    return JNI_OK;
}

jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void* args) {
    return Attach(vm, penv, false, args);
}

jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* vm, void** penv, void* args) {
    return Attach(vm, penv, true, args);
}

jint JNICALL DetachCurrentThread(JavaVM* vm) {
    CheckVm(vm);
    Env* env = FindAttached(GetCurrentThreadId());
    if (env == nullptr) {
        // As for a real VM, detaching a thread that is not attached does nothing.
        Record("DetachCurrentThread", "-> 0, not attached");
        return JNI_OK;
    }
    CheckLocalCapacity(env);
    // As a real VM: a thread that detaches with an exception pending ends with it, and the
    // Java side hands it to the thread's uncaught-exception handler.
    const bool uncaught = env->pending;
    const std::string throwable = env->pendingThrowable;
    env->pending = false;
    DetachEnv(env, uncaught ? "DETACH_UNCAUGHT" : "DETACH");
    Record("DetachCurrentThread", uncaught ? "-> 0, uncaught " + throwable : "-> 0");
    return JNI_OK;
}

jint JNICALL DestroyJavaVM(JavaVM* vm) {
    CheckVm(vm);
    Record("DestroyJavaVM");
    if (g_vm.state != VmState::kLive) {
        Record("DestroyJavaVM", "-> -1, already destroyed");
        return JNI_ERR;
    }
    Env* own = FindAttached(GetCurrentThreadId());
    std::string why;
    if (own == nullptr) {
        // The destroying thread is attached first, as a real VM does.
        own = AttachEnv(false, &why);
    }
    // Like a real VM, wait for every other attached non-daemon thread to detach.
    AcquireSRWLockExclusive(&g_vm.lock);
    const size_t others = OthersAttached(own);
    if (others > 0) {
        Record("DestroyJavaVM", "waits for " + std::to_string(others) + " attached threads");
    }
    while (OthersAttached(own) > 0) {
        SleepConditionVariableSRW(&g_vm.detached, &g_vm.lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&g_vm.lock);
    if (own != nullptr) {
        CheckLocalCapacity(own);
        DetachEnv(own, "DESTROY");
    }
    // The Java side now waits for the application's non-daemon threads, without bound as a
    // real VM does (the host's stop deadline is the bound), and then runs its shutdown hooks.
    // A System.exit meanwhile (the host's own stop, or the application's) ends the process
    // through the exit hook, and this call never returns.
    const JavaEnd end = AwaitJavaEnd(INFINITE);
    if (end == JavaEnd::kExited) {
        StopForGood();
    }
    WaitForSingleObject(g_vm.watcher, INFINITE);
    CloseHandle(g_vm.watcher);
    g_vm.state = VmState::kDestroyed;
    WSACleanup();
    Record("DestroyJavaVM", end == JavaEnd::kEnded ? "-> 0, java ended" : "-> 0, java was killed");
    return JNI_OK;
}

// "<name> (JNIEnv slot <n>) is not bridged"; a newer jni.h's extra slots go by number.
template <size_t N, size_t Names>
[[noreturn]] void TrapSlot(const char* table, const char* const (&names)[Names]) {
    Trap(std::string(N < Names ? names[N] : "?") + " (" + table + " slot " + std::to_string(N) +
         ") is not bridged");
}

template <size_t N>
void JNICALL TrapEnvFunction() {
    TrapSlot<N>("JNIEnv", kEnvFunctionNames);
}

template <size_t N>
void JNICALL TrapVmFunction() {
    TrapSlot<N>("JavaVM", kVmFunctionNames);
}

template <size_t... I>
void FillEnvTraps(void** slots, std::index_sequence<I...>) {
    ((slots[I] = reinterpret_cast<void*>(&TrapEnvFunction<I>)), ...);
}

template <size_t... I>
void FillVmTraps(void** slots, std::index_sequence<I...>) {
    ((slots[I] = reinterpret_cast<void*>(&TrapVmFunction<I>)), ...);
}

constexpr size_t kEnvSlots = sizeof(JNINativeInterface_) / sizeof(void*);
constexpr size_t kVmSlots = sizeof(JNIInvokeInterface_) / sizeof(void*);
static_assert(kEnvSlots * sizeof(void*) == sizeof(JNINativeInterface_), "a table of pointers");
static_assert(kVmSlots * sizeof(void*) == sizeof(JNIInvokeInterface_), "a table of pointers");

// Every slot, the reserved ones too, traps unless it is one of the bridged calls.
void FillTables() {
    void* envSlots[kEnvSlots];
    FillEnvTraps(envSlots, std::make_index_sequence<kEnvSlots>());
    memcpy(&g_envFunctions, envSlots, sizeof(envSlots));
    g_envFunctions.FindClass = FindClass;
    g_envFunctions.GetStaticMethodID = GetStaticMethodID;
    g_envFunctions.NewString = NewString;
    g_envFunctions.NewObjectArray = NewObjectArray;
    g_envFunctions.SetObjectArrayElement = SetObjectArrayElement;
    g_envFunctions.DeleteLocalRef = DeleteLocalRef;
    g_envFunctions.NewGlobalRef = NewGlobalRef;
    g_envFunctions.CallStaticVoidMethod = CallStaticVoidMethod;
    g_envFunctions.CallStaticVoidMethodV = CallStaticVoidMethodV;
    g_envFunctions.CallStaticVoidMethodA = CallStaticVoidMethodA;
    g_envFunctions.CallStaticObjectMethod = CallStaticObjectMethod;
    g_envFunctions.CallStaticObjectMethodV = CallStaticObjectMethodV;
    g_envFunctions.ExceptionCheck = ExceptionCheck;
    g_envFunctions.ExceptionClear = ExceptionClear;
    g_envFunctions.ExceptionDescribe = ExceptionDescribe;
    g_envFunctions.ExceptionOccurred = ExceptionOccurred;
    g_envFunctions.GetMethodID = GetMethodID;
    g_envFunctions.CallStaticObjectMethodA = CallStaticObjectMethodA;
    g_envFunctions.CallStaticBooleanMethodA = CallStaticBooleanMethodA;
    g_envFunctions.CallObjectMethodA = CallObjectMethodA;
    g_envFunctions.CallVoidMethodA = CallVoidMethodA;
    g_envFunctions.GetStringLength = GetStringLength;
    g_envFunctions.GetStringRegion = GetStringRegion;
    g_envFunctions.GetArrayLength = GetArrayLength;
    g_envFunctions.GetObjectArrayElement = GetObjectArrayElement;
    g_envFunctions.GetLongArrayRegion = GetLongArrayRegion;
    g_envFunctions.CallIntMethodA = CallIntMethodA;
    g_envFunctions.GetStaticFieldID = GetStaticFieldID;

    void* vmSlots[kVmSlots];
    FillVmTraps(vmSlots, std::make_index_sequence<kVmSlots>());
    memcpy(&g_vmFunctions, vmSlots, sizeof(vmSlots));
    g_vmFunctions.DestroyJavaVM = DestroyJavaVM;
    g_vmFunctions.AttachCurrentThread = AttachCurrentThread;
    g_vmFunctions.AttachCurrentThreadAsDaemon = AttachCurrentThreadAsDaemon;
    g_vmFunctions.DetachCurrentThread = DetachCurrentThread;
}

// A -D option as the Java side sets it.
struct Property {
    std::string key;
    std::string value;
    bool fileUrl;  // `value` is the Linux path of a "file:" URL's Windows path
};

struct LaunchPlan {
    std::vector<Property> properties;
    std::vector<std::string> classPath;  // as Wine maps each entry
    std::vector<std::string> launcherOptions;
    VfprintfHook vfprintf = nullptr;  // the host's, from the "vfprintf" option
    ExitHook exitHook = nullptr;
};

std::string LinuxOrAsGiven(const std::string& windowsPath) {
    std::string linuxPath;
    return LinuxPathOf(Wide(windowsPath), &linuxPath) ? linuxPath : windowsPath;
}

// "file:" URLs of a Windows path ("file:/C:\x", "file:///C:/x") name the same
// file on the Linux side as "file:<its Linux path>".
Property PlanProperty(const std::string& key, const std::string& value) {
    if (_strnicmp(value.c_str(), "file:", 5) == 0) {
        size_t at = 5;
        while (at < value.size() && value[at] == '/') {
            ++at;
        }
        std::string linuxPath;
        if (value.size() >= at + 3 && isalpha(static_cast<unsigned char>(value[at])) &&
            value[at + 1] == ':' && (value[at + 2] == '\\' || value[at + 2] == '/') &&
            LinuxPathOf(Wide(value.substr(at)), &linuxPath)) {
            return {key, linuxPath, true};
        }
    }
    return {key, value, false};
}

// VM options (-X…, -XX:…), module options (--add-opens=…) and assertion
// switches: a real VM takes them in JNI_CreateJavaVM, the bridge through java's
// command line.
bool IsLauncherOption(const std::string& option) {
    static const char* const kPrefixes[] = {"-X",
                                            "--",
                                            "-verbose",
                                            "-ea",
                                            "-da",
                                            "-esa",
                                            "-dsa",
                                            "-enableassertions",
                                            "-disableassertions"};
    for (const char* prefix : kPrefixes) {
        if (option.compare(0, strlen(prefix), prefix) == 0) {
            return true;
        }
    }
    return false;
}

// Sorts the options into what the Java side sets and what the launcher takes.
// False for an option a real VM would refuse when unrecognized ones are not ignored.
bool PlanOptions(const JavaVMInitArgs* args, LaunchPlan* plan) {
    for (jint i = 0; i < args->nOptions; ++i) {
        const char* raw = args->options[i].optionString;
        const std::string option = raw != nullptr ? Utf8(WideFromAnsi(raw)) : std::string();
        if (option.compare(0, 2, "-D") == 0) {
            const size_t equals = option.find('=');
            const std::string key =
                option.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
            if (key != "java.class.path") {
                plan->properties.push_back(PlanProperty(key, value));
                continue;
            }
            size_t at = 0;
            while (at <= value.size()) {
                size_t end = value.find(';', at);
                if (end == std::string::npos) {
                    end = value.size();
                }
                if (end > at) {
                    plan->classPath.push_back(LinuxOrAsGiven(value.substr(at, end - at)));
                }
                at = end + 1;
            }
        } else if (IsLauncherOption(option)) {
            plan->launcherOptions.push_back(option);
        } else if (option == "vfprintf") {
            plan->vfprintf = reinterpret_cast<VfprintfHook>(args->options[i].extraInfo);
            Record("hook", plan->vfprintf != nullptr ? "vfprintf taken" : "vfprintf without hook");
        } else if (option == "exit") {
            plan->exitHook = reinterpret_cast<ExitHook>(args->options[i].extraInfo);
            Record("hook", "exit kept: called when java ends with a status");
        } else if (option == "abort") {
            Record("hook", option + " ignored");
        } else if (args->ignoreUnrecognized) {
            Record("ignored", option);
        } else {
            Record("unrecognized", option);
            return false;
        }
    }
    return true;
}

bool SupportedVersion(jint version) {
    switch (version) {
        case JNI_VERSION_1_2:
        case JNI_VERSION_1_4:
        case JNI_VERSION_1_6:
        case JNI_VERSION_1_8:
        case JNI_VERSION_9:
        case JNI_VERSION_10:
            return true;
        default:
            return version > JNI_VERSION_10 && version <= kJniVersion21 && (version & 0xFFFF) == 0;
    }
}

jint Refuse(jint result, const std::string& why) {
    Record("JNI_CreateJavaVM", "-> " + std::to_string(result) + ", " + why);
    return result;
}

// Tells the fresh bridge program what the options said, on the creating
// thread's channel, before the host can load a class.
bool Configure(Env* env, const LaunchPlan& plan, const std::wstring& installDir) {
    std::vector<std::string> reply;
    std::string installLinux;
    if (LinuxPathOf(installDir, &installLinux)) {
        Record("alias", Utf8(installDir) + " -> " + installLinux);
        if (!Transact(env, {"ALIAS", Utf8(installDir), installLinux}, &reply)) {
            return false;
        }
    }
    // The Java side settles the final values (it resolves Wine's paths), so they are
    // recorded from its replies.
    for (const auto& property : plan.properties) {
        if (!Transact(env, {property.fileUrl ? "FILEPROP" : "PROP", property.key, property.value},
                      &reply)) {
            return false;
        }
        Record("property", property.key + "=" + (reply.size() > 1 ? reply[1] : std::string()));
    }
    std::vector<std::string> classPath = {"CLASSPATH"};
    classPath.insert(classPath.end(), plan.classPath.begin(), plan.classPath.end());
    if (!Transact(env, classPath, &reply)) {
        return false;
    }
    Record("property", "java.class.path=" + (reply.size() > 1 ? reply[1] : std::string()));
    return true;
}

void StartWatchingLifeline() {
    g_vm.end = JavaEnd::kRunning;
    g_vm.javaEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_vm.watcher = g_vm.javaEnded != nullptr
                       ? CreateThread(nullptr, 0, WatchLifeline, nullptr, 0, nullptr)
                       : nullptr;
    if (g_vm.watcher == nullptr) {
        Trap("no thread to watch the Java process");
    }
}

jint CreateVm(JavaVM** pvm, void** penv, const JavaVMInitArgs* args) {
    const std::wstring dllPath = ModulePath();
    const std::wstring installDir = InstallDirOf(dllPath);
    OpenRecord(installDir + L"\\bridge-record.txt");
    char version[16];
    snprintf(version, sizeof(version), "%08lx", static_cast<unsigned long>(args->version));
    Record("JNI_CreateJavaVM",
           std::string("version=0x") + version + " nOptions=" + std::to_string(args->nOptions) +
               " ignoreUnrecognized=" + std::to_string(args->ignoreUnrecognized));
    for (jint i = 0; i < args->nOptions; ++i) {
        const char* raw = args->options[i].optionString;
        Record("option", raw != nullptr ? Utf8(WideFromAnsi(raw)) : "(null)");
    }
    if (g_vm.state != VmState::kNone) {
        return Refuse(JNI_EEXIST, "this process has had its VM");
    }
    if (!SupportedVersion(args->version)) {
        return Refuse(JNI_EVERSION, "unsupported JNI version");
    }
    LaunchPlan plan;
    if (!PlanOptions(args, &plan)) {
        return Refuse(JNI_ERR, "unrecognized option");
    }
    BridgeSettings settings;
    std::string why;
    if (!ReadSettings(DirectoryOf(dllPath), &settings, &why)) {
        return Refuse(JNI_ERR, why);
    }
    for (const auto* options : {&plan.launcherOptions, &settings.javaOptions}) {
        for (const std::string& option : *options)
            g_checkJni = g_checkJni || option == "-Xcheck:jni";
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return Refuse(JNI_ERR, "no Winsock");
    }
    FillTables();
    g_vm.jvm.functions = &g_vmFunctions;
    const JavaLogs logs = {installDir + L"\\bridge-java.log",
                           installDir + L"\\bridge-java-out.log"};
    if (!StartJava(settings, plan.launcherOptions, logs, kStartTimeoutMs, &g_vm.java, &why)) {
        WSACleanup();
        // What java said about it is the runtime's own explanation, as a real
        // VM would have printed it through the hook.
        const std::string words = JavaOwnWords(logs);
        if (plan.vfprintf != nullptr && !words.empty()) {
            CallHook(plan.vfprintf, "%s", words.c_str());
        }
        return Refuse(JNI_ERR, why);
    }
    StartForwardingJavaOutput(logs);
    Record("java", "pid=" + g_vm.java.pid + " port=" + std::to_string(g_vm.java.port));
    g_vm.javaLog = installDir + L"\\bridge-java.log";
    g_vm.exitHook = plan.exitHook;
    Env* env = AttachEnv(false, &why);
    if (env == nullptr || !Configure(env, plan, installDir)) {
        // Whatever is left of the Java process ends with its lifeline.
        SendFields(&g_vm.java.lifeline, {"HALT"});
        CloseChannel(&g_vm.java.lifeline);
        StopForwardingJavaOutput();
        WSACleanup();
        return Refuse(JNI_ERR, env == nullptr ? why : "the Java process did not take the options");
    }
    g_vm.state = VmState::kLive;
    StartWatchingLifeline();
    *pvm = &g_vm.jvm;
    *penv = &env->jni;
    Record("JNI_CreateJavaVM", "-> 0");
    return JNI_OK;
}

}  // namespace
}  // namespace bridge

extern "C" {

_JNI_IMPORT_OR_EXPORT_ jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* args) {
    if (pvm == nullptr || penv == nullptr || args == nullptr) {
        bridge::EnsureRecord();
        bridge::Trap("JNI_CreateJavaVM without its out-parameters or arguments");
    }
    return bridge::CreateVm(pvm, penv, static_cast<const JavaVMInitArgs*>(args));
}

_JNI_IMPORT_OR_EXPORT_ jint JNICALL JNI_GetDefaultJavaVMInitArgs(void* /*args*/) {
    bridge::EnsureRecord();
    bridge::Trap("JNI_GetDefaultJavaVMInitArgs is not bridged");
}

_JNI_IMPORT_OR_EXPORT_ jint JNICALL JNI_GetCreatedJavaVMs(JavaVM** /*vms*/, jsize /*size*/,
                                                          jsize* /*count*/) {
    bridge::EnsureRecord();
    bridge::Trap("JNI_GetCreatedJavaVMs is not bridged");
}

BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
    // Only for FreeLibrary: at process exit another thread may have died holding the record's lock.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        bridge::Record("UNLOAD");
        bridge::CloseRecord();
    }
    return TRUE;
}

}  // extern "C"
