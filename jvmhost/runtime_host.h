// The Java side of the process: the runtime library, the Java VM and the
// JNI environment of the thread that created it.
#pragma once

#include <jni.h>

#include "service/event_log.h"
#include "service/win32.h"

// Why a host's Java application did not run to a normal end.
enum HostFailure {
    kHostNoFailure = 0,
    kHostRuntimeNotLoaded,
    kHostCreateExportMissing,
    kHostVmRefused,
    kHostEntryPointMissing,
    kHostJavaException,
    kHostApplicationNotStarted,
    kHostConfigurationInvalid
};

// Path sizes follow from the install directory's maximum of MAX_PATH - 1 units.
constexpr size_t kJreDirUnits = MAX_PATH + 4;        // + "\jre"
constexpr size_t kJvmPathUnits = kJreDirUnits + 19;  // + "\bin\client\jvm.dll"
constexpr size_t kSystemTextUnits = 1024;
constexpr size_t kLoadErrorUnits = kSystemTextUnits + 26 + kJvmPathUnits;
// A Java binary class name of at most 255 units; each becomes at most three
// bytes of modified UTF-8.
constexpr size_t kMainClassNameUnits = 256;
constexpr size_t kMainClassJniBytes = 3 * kMainClassNameUnits;

// What the host does when the runtime ends the process by itself, passed to the
// runtime as its standard "exit" and "abort" hooks. `onExit` gets the status of
// System.exit (or Runtime.halt), `onAbort` is called when the runtime aborts;
// `duringCreation` tells that it aborted inside JNI_CreateJavaVM, which is how
// a real VM that cannot start (a heap it cannot reserve) ends instead of
// returning an error.
// The runtime calls them on a thread of its own, with the Java threads stopped
// (one of them may be inside serviceMain or serviceStop); each is expected to
// end the process, and when one returns, the runtime ends it by itself. They
// must not wait for anything a Java thread or the control handler holds: their
// waits are their own to bound. Null: the runtime ends the process alone.
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

// What a host starts: the application's class and the Java runtime's folder.
struct HostSettings {
    const wchar_t* mainClass;  // Java's binary form, "org.example.App"; null: the default
    const wchar_t* javaHome;   // full path; null: "<installDir>\jre"
    // How events name the entry looked for before any was found (no jar, no
    // class); null: serviceMain.
    const EntryMethodsText* expectedEntry;
};

// The application's class and one static method of it, found on the creating thread.
struct JavaEntry {
    jclass mainClass;
    jmethodID method;
};

// The arguments of main(String[]), UTF-16 texts one after another; owned.
struct MainArguments {
    MainArguments() = default;
    ~MainArguments();
    MainArguments(const MainArguments&) = delete;
    MainArguments& operator=(const MainArguments&) = delete;

    wchar_t* texts = nullptr;  // each NUL-terminated
    size_t* starts = nullptr;  // where each begins in `texts`
    size_t count = 0;
    bool filePresent = false;  // conf\main.args exists

    const wchar_t* Argument(size_t index) const { return texts + starts[index]; }
};

struct RuntimeHost {
    // Finds the install directory and creates the VM at once; a failure shows
    // only through the sink, and leaves a host without VM. What the host leaves
    // out and runs on without goes to `warnings`. `reactions` hold for the
    // process: there is one runtime per process.
    explicit RuntimeHost(ErrorSink sink = ReportErrorEvent, ErrorSink warnings = ReportWarningEvent,
                         RuntimeEndReactions reactions = {}, HostSettings settings = {});
    // Clears a pending exception, destroys the VM, unloads the runtime library.
    ~RuntimeHost();
    RuntimeHost(const RuntimeHost&) = delete;
    RuntimeHost& operator=(const RuntimeHost&) = delete;

    // Reads conf\jvm.options, loads "jre\bin\client\jvm.dll" (or
    // "jre\bin\server\jvm.dll" when only that exists) and creates the VM with
    // the three launch options, then the operator's, then the runtime's "exit",
    // "abort" and "vfprintf" hooks, and JNI 1.6. True when the VM was created. A
    // configuration or layout that cannot be used is reported and loads no
    // runtime at all. A refusal the runtime explained is followed by its words.
    // Before the runtime loads, its "bin" folder becomes the process's DLL
    // folder (SetDllDirectoryW) for the rest of the process: the libraries the
    // runtime loads later find their imports there too.
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
    // Calls serviceMain(installDir); returns when it returns. An exception it
    // ends with is described to standard error and reported.
    void CallServiceMain(const JavaEntry& entry);
    // Calls main(String[]) with `arguments`; returns when it returns. An
    // exception it ends with is described to standard error and reported.
    void CallMain(const JavaEntry& entry, const MainArguments& arguments);
    // DestroyJavaVM (once), which, as the java launcher's does, returns once
    // the application's last non-daemon thread has ended. The host uses the VM
    // no more; the destructor then only unloads the library.
    void DestroyVm();

    // --- Steps on any thread that is not attached to the VM ---
    // Calls serviceStop() of the application's class, attaching the thread for
    // the call and detaching it afterwards. A missing serviceStop is described
    // to standard error and reported.
    void CallServiceStop();
    // Calls System.exit(status) on the thread attached as a daemon, so that it
    // never holds up the VM's end; the runtime runs the application's shutdown
    // hooks and then its "exit" hook. Returns only when a step failed.
    void CallSystemExit(jint status);

    // The tear-down's first step: drops a pending exception of the creating
    // thread and forgets its environment. Safe to call more than once.
    void DropPendingException();

    // The application's class in Java's binary form, as events name it.
    const wchar_t* MainClassName() const { return mainClassName; }

    JavaVM* javaVm;
    JNIEnv* jniEnv;  // the creating thread's; used on that thread only
    HMODULE jvmModule;
    wchar_t installDir[MAX_PATH];
    wchar_t jreDir[kJreDirUnits];
    wchar_t mainClassName[kMainClassNameUnits];
    // The class as FindClass takes it: '/' between packages, modified UTF-8.
    char mainClassJni[kMainClassJniBytes];
    ErrorSink errorSink;
    ErrorSink warningSink;
    // Written on the creating thread only; read there after the application ended.
    HostFailure failure;
    // Written on the creating thread only, by DestroyVm.
    bool vmDestroyed;
    // How events name the entry before one was found; weak: a constant below.
    const EntryMethodsText* expectedEntry;

  private:
    void Report(int code, const wchar_t* message) const;
    bool RefuseToStart(HostFailure why, const wchar_t* message);
    // True when StartVm refused before loading the runtime and has said why,
    // so there is nothing more to say about the missing VM.
    bool StartRefused() const;
    // The event after "Can not find entry point:\n": the class and `methods`
    // looked for, and lib\'s jars or that it holds none.
    void ReportEntryNotFound(bool classFound, const EntryMethodsText& methods) const;
};

// The entry methods as the events name them.
extern const EntryMethodsText kServiceMainText;
extern const EntryMethodsText kServiceStopText;
extern const EntryMethodsText kEitherEntryText;

// Loads the runtime library at `dllPath`, and creates a VM with JNI 1.6 and
// `optionCount` `options`. Returns the JNI result, or -1 when the library or its
// JNI_CreateJavaVM is missing; both are reported to `sink` when one is set, a
// library that did not load with a second event that explains why when the
// file shows it; both name `dllPath`. `failure`, when given, receives why the
// VM was not created.
jint LoadAndCreateVm(const wchar_t* dllPath, HMODULE* module, JNIEnv** env, JavaVM** vm,
                     JavaVMOption* options, jint optionCount, ErrorSink sink,
                     HostFailure* failure = nullptr);
