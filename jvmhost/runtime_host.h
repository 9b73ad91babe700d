// The Java side of the process: the runtime library, the Java VM, the JNI
// environment of the thread that created it, and the JNI steps the
// application's hosting is made of. It knows no application and no contract:
// class, method names and the texts that name them come from its caller.
#pragma once

#include <jni.h>

#include "base/event_log.h"
#include "base/scoped.h"
#include "base/paths.h"
#include "base/outcome.h"
#include "base/win32.h"

struct UserOptions;
struct MainArguments;

constexpr size_t kLoadErrorUnits = kSystemTextUnits + 28 + kPathUnits;
// A Java binary class name of at most 255 units; each becomes at most three
// bytes of modified UTF-8.
constexpr size_t kMainClassNameUnits = 256;
constexpr size_t kMainClassJniBytes = 3 * kMainClassNameUnits;

// What the host does when the runtime ends the process by itself, through its
// standard "exit" (System.exit, Runtime.halt) and "abort" hooks; an abort
// inside JNI_CreateJavaVM is how a real VM that cannot start ends. The runtime
// calls them on a thread of its own, with the Java threads stopped; each is
// expected to end the process, must not wait for anything a Java thread or the
// control handler holds, and bounds its own waits. Null: the runtime ends the
// process alone.
struct RuntimeEndReactions {
    void (*onExit)(int status);
    void (*onAbort)(bool duringCreation);
};

// How an event names the entry looked for: "static void serviceMain(String)",
// and the advice when the class is there without it.
struct EntryMethodsText {
    const wchar_t* lookedFor;
    const wchar_t* advice;
};

// Java's binary name in the form JNI takes ('/' for '.', modified UTF-8, which
// encodes every UTF-16 unit on its own); a method's name alike.
void ToJniClassName(const wchar_t* name, char (&out)[kMainClassJniBytes]);

// What a host starts, and where it reports.
struct HostSettings {
    const HostLayout* layout;        // weak; its runtime folder set
    const UserOptions* userOptions;  // weak; the operator's VM options
    const wchar_t* mainClass;        // Java's binary form, "org.example.App"
    // How events name the entry looked for before any was found (no jar, no class).
    const EntryMethodsText* expectedEntry;
    ErrorSink errors;               // failures; may be null
    ErrorSink warnings;             // what is left out while the host runs on; may be null
    RuntimeEndReactions reactions;  // hold for the process: one runtime per process
    // The logging options (-Dlog4j.configuration and the commons-logging
    // implementation) are passed.
    bool loggingOptions;
    // The application's jar as a full path, run as "java -jar" runs one (the
    // class path is the jar alone); null: the class path is lib\'s jars.
    const wchar_t* mainJar;
    // How monitoring tools name the application (sun.java.command), with
    // `commandArguments`; null: no such option.
    const wchar_t* commandName;
    const MainArguments* commandArguments;  // weak
};

// How a call into the application ended.
enum class CallEnd {
    kReturned,
    kThrew,     // with an exception, described to standard error (see CallWithStrings)
    kNotCalled  // memory ran out before the call; nothing of the application ran
};

// What the thread that runs main does with the VM, as the java launcher's
// main thread: attached as "main" first; what it returns is the host's.
struct MainThreadWork {
    void* self;  // weak
    CallEnd (*run)(struct RuntimeHost& host, void* self);
};

// The application's class and one static method of it, found on the creating thread.
struct JavaEntry {
    jclass mainClass;
    jmethodID method;
};

struct RuntimeHost {
    // Creates the VM at once (see StartVm); a failure leaves a host without VM.
    explicit RuntimeHost(const HostSettings& settings);
    // Clears a pending exception, destroys the VM, unloads the runtime library.
    ~RuntimeHost();
    RuntimeHost(const RuntimeHost&) = delete;
    RuntimeHost& operator=(const RuntimeHost&) = delete;

    // Loads "<jre>\bin\client\jvm.dll" (or "<jre>\bin\server\jvm.dll" when only
    // that exists) and creates the VM with the class path, the logging
    // options where the launch options ask for them, the operator's options,
    // the runtime's "exit", "abort" and "vfprintf" hooks, and JNI 1.6. True
    // when the VM was created. A layout that cannot be named to the runtime is
    // reported and loads no runtime at all. A refusal the runtime explained is
    // followed by its words. The runtime's "bin" folder is the DLL folder only
    // while jvm.dll loads, and stays at the end of PATH: the libraries the
    // runtime loads later find their imports there, and the application's
    // child processes find System32 first.
    bool StartVm();

    // --- Steps on the creating thread, once the VM exists ---
    // Reports "The JVM is not initialized." for a host without VM, unless the
    // start was refused with its own explanation.
    void ReportMissingVm() const;
    // FindClass of the application's class; null leaves NoClassDefFoundError pending.
    jclass FindMainClass();
    // GetStaticMethodID; null leaves NoSuchMethodError pending.
    jmethodID FindStaticMethod(jclass mainClass, const char* name, const char* signature);
    // Drops a pending exception without a word: a lookup that was allowed to fail.
    void ForgetPendingException();
    // Describes the pending exception of a failed lookup to standard error and
    // reports "Can not find entry point:\n", then the class and `methods`
    // looked for and the jars of lib\.
    void ReportEntryMissing(bool classFound, const EntryMethodsText& methods);
    // Calls the static void `entry` with `text` as a String; returns when it returns.
    CallEnd CallWithString(const JavaEntry& entry, const wchar_t* text);
    // Calls the static void `entry` with `arguments` as a String[]. An
    // exception it ends with stays pending, undescribed: the thread's end
    // hands it to the thread's uncaught-exception handler (RunOnMainThread).
    CallEnd CallWithStrings(const JavaEntry& entry, const MainArguments& arguments);
    // A global reference to `cls`, which any thread may use, kept for the
    // VM's life (as the class is); null when memory ran out.
    jclass KeepClass(jclass cls);
    // FindClass of `jniName` ("sun/launcher/LauncherHelper"); null leaves
    // NoClassDefFoundError pending.
    jclass FindClassNamed(const char* jniName);
    // Calls the static `entry` (taking a boolean, an int and a String, and
    // giving an object) with `flag`, `number` and `text`; its result, or null
    // with the exception pending.
    jobject CallForObject(const JavaEntry& entry, bool flag, jint number, const wchar_t* text);
    // As the java launcher runs main: the creating thread detaches, and a new
    // thread with a stack of `stackBytes` (0: the executable's default)
    // attaches as "main", does `work`, detaches with whatever exception is
    // pending, so that the thread's uncaught-exception handler sees it, and
    // calls DestroyJavaVM, which waits for the application's non-daemon
    // threads. Returns what `work` returned, once that thread has ended (the
    // stop deadline bounds the wait). When no thread can be made, this one
    // does it all. kNotCalled when the thread could not attach.
    CallEnd RunOnMainThread(size_t stackBytes, const MainThreadWork& work);
    // Any thread: waits at most `waitMs` for the VM run by RunOnMainThread to
    // have ended; true when it has.
    bool WaitForVmEnd(DWORD waitMs) const;
    // DestroyJavaVM (once), which, as the java launcher's does, returns once
    // the application's last non-daemon thread has ended. The host uses the VM
    // no more; the destructor then only unloads the library.
    void DestroyVm();
    // The creating thread's last use of the VM: drops a pending exception and
    // forgets its environment. True when an exception was pending. Safe to
    // call more than once.
    bool EndCreatingThreadUse();

    // --- Steps on any thread that is not attached to the VM ---
    // Calls the static void `method` (`signature` "()V") of the application's
    // class, attaching the thread for the call and detaching it afterwards. A
    // missing method is described to standard error and reported, the
    // event naming it with `missing`.
    void CallFromOwnThread(const char* method, const char* signature,
                           const EntryMethodsText& missing);
    // Calls the static void `method` (`signature`, taking a String[]) of the
    // class `className` (Java's binary form) with `arguments`, on the thread
    // attached as a daemon for the call. A missing class or method, or an
    // exception the call ends with, is described to standard error. kNotCalled
    // when the class or method is missing or the VM has ended.
    CallEnd CallWithStringsFromOwnThread(const wchar_t* className, const wchar_t* method,
                                         const char* signature, const MainArguments& arguments);
    // Calls System.exit(status) on the thread attached as a daemon, so that it
    // never holds up the VM's end; the runtime runs the application's shutdown
    // hooks and then its "exit" hook. Returns only when a step failed.
    void CallSystemExit(jint status);

    // The application's class in Java's binary form, as events name it.
    const wchar_t* MainClassName() const { return mainClassName; }
    const wchar_t* InstallDir() const { return layout->installDir; }

    JavaVM* javaVm;
    JNIEnv* jniEnv;  // the creating thread's; used on that thread only
    HMODULE jvmModule;
    const HostLayout* layout;        // weak
    const UserOptions* userOptions;  // weak
    wchar_t mainClassName[kMainClassNameUnits];
    // The class as FindClass takes it: '/' between packages, modified UTF-8.
    char mainClassJni[kMainClassJniBytes];
    ErrorSink errorSink;
    ErrorSink warningSink;
    bool loggingOptions;
    const wchar_t* mainJar;                 // weak
    const wchar_t* commandName;             // weak
    const MainArguments* commandArguments;  // weak
    // Manual-reset, set once DestroyJavaVM has returned.
    ScopedHandle vmEnded;
    // Why the host's own steps did not reach the application; written on the
    // creating thread only.
    Outcome outcome;
    // Written on the creating thread only, by DestroyVm.
    bool vmDestroyed;
    // How events name the entry before one was found; weak: a constant.
    const EntryMethodsText* expectedEntry;

    // Reports `message` to the error sink, when there is one.
    void Report(int code, const wchar_t* message) const;

  private:
    CallEnd RunAsMainThread(const MainThreadWork& work);
    static DWORD WINAPI MainThreadEntry(void* start);
    bool RefuseToStart(Outcome why, const wchar_t* message);
    bool BuildApplicationClassPath(const wchar_t* optionDir, struct NarrowOption* classPath);
    // True when StartVm refused before loading the runtime and has said why,
    // so there is nothing more to say about the missing VM.
    bool StartRefused() const;
    bool CreateVm(const char* const* hostOptions, size_t hostOptionCount, const wchar_t* dllPath);
    // The event after "Can not find entry point:\n": the class and `methods`
    // looked for, and lib\'s jars or that it holds none.
    void DescribeEntrySearch(bool classFound, const EntryMethodsText& methods) const;
};
