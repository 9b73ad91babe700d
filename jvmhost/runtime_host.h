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

struct RuntimeHost {
    // Finds the install directory and creates the VM at once; a failure shows
    // only through the sink, and leaves a host without VM. What the host leaves
    // out and runs on without goes to `warnings`. `reactions` hold for the
    // process: there is one runtime per process.
    explicit RuntimeHost(ErrorSink sink = ReportErrorEvent, ErrorSink warnings = ReportWarningEvent,
                         RuntimeEndReactions reactions = {});
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
    bool StartVm();
    // Calls serviceMain(installDir) on the creating thread; returns when the
    // Java application has finished, or at once when the VM or entry is missing.
    // A missing entry, or an exception serviceMain ends with, is described to
    // standard error while it is pending and reported.
    void CallServiceMain();
    // Calls serviceStop() from a thread that is not attached to the VM,
    // attaching it for the call and detaching it afterwards. A missing
    // serviceStop is described to standard error and reported.
    void CallServiceStop();
    // The tear-down's first step: drops a pending exception of the creating
    // thread and forgets its environment. Safe to call more than once.
    void DropPendingException();

    JavaVM* javaVm;
    JNIEnv* jniEnv;  // the creating thread's; used on that thread only
    HMODULE jvmModule;
    wchar_t installDir[MAX_PATH];
    wchar_t jreDir[kJreDirUnits];
    ErrorSink errorSink;
    ErrorSink warningSink;
    // Written on the creating thread only; read there after the application ended.
    HostFailure failure;

  private:
    void Report(int code, const wchar_t* message) const;
    bool RefuseToStart(HostFailure why, const wchar_t* message);
    // True when StartVm refused before loading the runtime and has said why,
    // so there is nothing more to say about the missing VM.
    bool StartRefused() const;
    // The event after "Can not find entry point:\n": the class and `method`
    // looked for, and lib\'s jars or that it holds none.
    void ReportEntryNotFound(bool classFound, const wchar_t* method) const;
};

// The entry methods as the events name them.
constexpr wchar_t kServiceMainText[] = L"static void serviceMain(String)";
constexpr wchar_t kServiceStopText[] = L"static void serviceStop()";

// Loads the runtime library at `dllPath`, and creates a VM with JNI 1.6 and
// `optionCount` `options`. Returns the JNI result, or -1 when the library or its
// JNI_CreateJavaVM is missing; both are reported to `sink` when one is set, a
// library that did not load with a second event that explains why when the
// file shows it. `failure`, when given, receives why the VM was not created; a
// load error names `reportedPath` when given, else `dllPath`.
jint LoadAndCreateVm(const wchar_t* dllPath, HMODULE* module, JNIEnv** env, JavaVM** vm,
                     JavaVMOption* options, jint optionCount, ErrorSink sink,
                     HostFailure* failure = nullptr, const wchar_t* reportedPath = nullptr);
