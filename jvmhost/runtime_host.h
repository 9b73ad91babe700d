// The Java side of the process: the runtime library and the Java VM, from
// their start to their end. It knows no application and no contract: the
// class, the method names and the texts that name them come from its caller,
// which finds and calls them itself (java_thread.h) on the thread the host
// gives it. Implemented by concern: the start (runtime_host.cpp), the events
// that say an entry is missing (entry_search.cpp), the thread of the
// launcher's shape and the VM's end (main_thread.cpp).
#pragma once

#include <jni.h>

#include "base/event_log.h"
#include "base/outcome.h"
#include "base/paths.h"
#include "base/scoped.h"
#include "base/win32.h"
#include "jvmhost/java_thread.h"

struct UserOptions;
struct MainArguments;

constexpr size_t kLoadErrorUnits = kSystemTextUnits + 28 + kPathUnits;

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

// Where a class failed: loaded (Class.forName, without initialising it), or at
// a lookup of one of its methods, which initialises it first.
enum class ClassStep { kLoad, kLookup };

// What a host starts, and where it reports. What it points at must outlive
// the host.
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

// What the `main` thread does with the VM, as the java launcher's JavaMain:
// with the thread's JNIEnv*, it finds and calls what it needs; its outcome is
// the run's.
struct MainThreadWork {
    void* self;  // weak
    Outcome (*run)(JNIEnv* env, void* self);
};

class RuntimeHost {
  public:
    // Loads "<jre>\bin\client\jvm.dll" (or "<jre>\bin\server\jvm.dll" when only
    // that exists) and creates the VM with the class path, the logging
    // options where the settings ask for them, the operator's options, the
    // runtime's "exit", "abort" and "vfprintf" hooks, and JNI 1.6. A layout
    // that cannot be named to the runtime is reported and loads no runtime at
    // all. A refusal the runtime explained is followed by its words. The
    // runtime's "bin" folder is the DLL folder only while jvm.dll loads, and
    // stays at the end of PATH: the libraries the runtime loads later find
    // their imports there, and the application's child processes find
    // System32 first. A failure leaves a host without VM.
    explicit RuntimeHost(const HostSettings& settings);
    // Clears a pending exception, destroys the VM, unloads the runtime library.
    ~RuntimeHost();
    RuntimeHost(const RuntimeHost&) = delete;
    RuntimeHost& operator=(const RuntimeHost&) = delete;

    // The creating thread's environment, for that thread only; null for a
    // host without VM, and once the creating thread's use has ended.
    JNIEnv* CreatingThreadEnv() const { return creatingEnv; }
    // Any thread: the VM to attach to; null when none was created. It stays
    // set after the VM's end: an attach then fails.
    JavaVM* Vm() const { return javaVm; }
    // Why the start did not reach the application, for a host without VM.
    Outcome StartOutcome() const { return outcome; }
    // Reports "The JVM is not initialized." for a host without VM, unless the
    // start was refused with its own explanation.
    void ReportMissingVm() const;
    // Any attached thread: describes the pending exception of a failed lookup
    // to standard error and reports "Can not find entry point:\n", then the
    // class and `methods` looked for and the jars of lib\.
    void ReportEntryMissing(JNIEnv* env, bool classFound, const EntryMethodsText& methods) const;
    // Any attached thread, after `className` (Java's binary name) failed at
    // `step`: describes the pending exception to standard error and takes its
    // words. A class no jar holds (ClassNotFoundException), or a method it
    // lacks (NoSuchMethodError), gives ReportEntryMissing's events with
    // `methods`; anything else (UnsupportedClassVersionError, a failed static
    // initialiser) one event with the runtime's words and the jar that holds
    // the class.
    void ReportClassFailure(JNIEnv* env, const wchar_t* className, ClassStep step,
                            const EntryMethodsText& methods) const;
    // Any attached thread: "The class <className> in the jar <jar> could not be
    // loaded" (or initialised, after a lookup), then the runtime's `words`.
    void ReportClassNotUsable(JNIEnv* env, const wchar_t* className, ClassStep step,
                              const wchar_t* words) const;
    // Reports `message` to the error sink, when there is one.
    void Report(int code, const wchar_t* message) const;

    // Creating thread. As the java launcher runs main: the creating thread
    // leaves the VM, and a new thread with a stack of `stackBytes` (0: the
    // executable's default) attaches as "main", does `work`, detaches with
    // whatever exception is pending, so that the thread's uncaught-exception
    // handler sees it, and destroys the VM, which waits for the application's
    // non-daemon threads. Returns what `work` returned, once that thread has
    // ended (the stop deadline bounds the wait); kApplicationNotStarted when
    // it could not attach. When no thread can be made, this one does it all.
    Outcome ContinueInNewThread(size_t stackBytes, const MainThreadWork& work);
    // Any thread: waits at most `waitMs` for the VM to have ended; true when it has.
    bool WaitForVmEnd(DWORD waitMs) const;
    // Creating thread: DestroyJavaVM has returned.
    bool VmEnded() const { return vmDestroyed; }
    // Creating thread: DestroyJavaVM (once), which, as the java launcher's
    // does, returns once the application's last non-daemon thread has ended.
    // The host uses the VM no more; the destructor then only unloads the library.
    void DestroyVm();
    // The creating thread's last use of the VM: drops a pending exception and
    // forgets its environment. True when an exception was pending. Safe to
    // call more than once.
    bool EndCreatingThreadUse();

    // The application's class in Java's binary form, as events name it, and
    // as FindClass takes it.
    const wchar_t* MainClassName() const { return settings.mainClass; }
    const char* MainClassJni() const { return mainClassJni; }
    const wchar_t* InstallDir() const { return settings.layout->installDir; }
    // How events name the entry before the class was found.
    const EntryMethodsText& ExpectedEntry() const { return *settings.expectedEntry; }

  private:
    static DWORD WINAPI MainThreadEntry(void* start);
    Outcome RunAsMainThread(const MainThreadWork& work);
    bool StartVm();
    void RefuseToStart(Outcome why, const wchar_t* message);
    bool BuildApplicationClassPath(const wchar_t* libDir, struct NarrowOption* classPath);
    bool CreateVm(const char* const* hostOptions, size_t hostOptionCount, const wchar_t* dllPath);
    // The event after "Can not find entry point:\n": the class and `methods`
    // looked for, and lib\'s jars or that it holds none.
    void DescribeEntrySearch(bool classFound, const EntryMethodsText& methods) const;

    HostSettings settings;
    // The class as FindClass takes it: '/' between packages, modified UTF-8.
    char mainClassJni[kMainClassJniBytes];
    ScopedModule jvmModule;
    // Written on the creating thread before any other thread may read it.
    JavaVM* javaVm;
    JNIEnv* creatingEnv;  // the creating thread's; used on that thread only
    // Why the host's own steps did not reach the application; written on the
    // creating thread only.
    Outcome outcome;
    // Written on the creating thread only, by DestroyVm.
    bool vmDestroyed;
    // Manual-reset, set once DestroyJavaVM has returned.
    ScopedHandle vmEnded;
};
