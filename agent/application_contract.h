// The ways of calling the application, chosen once, when the VM exists: the
// service contract (serviceMain(String) for the service's life, serviceStop()
// to end it), and an ordinary program's main(String[]), of main.class or of a
// jar run as "java -jar" runs one, ended through its own stop method when
// conf\service.properties names one, and through System.exit so that its
// shutdown hooks run. The class and method names, and the texts that name
// them, live here and nowhere else; the contract finds and calls them itself,
// with the JNIEnv* of the thread that runs the application.
#pragma once

#include "agent/configuration.h"
#include "agent/stop_caller.h"
#include "jvmhost/java_thread.h"
#include "jvmhost/runtime_host.h"

// Tells the service that the application is ready; on the thread that runs it.
struct ReadyReport {
    void* self;  // weak
    void (*ready)(void* self);
};

// What the application's run is given.
struct ApplicationRun {
    RuntimeHost* host;                   // weak
    const Configuration* configuration;  // weak; must outlive the stop thread's calls
    ReadyReport ready;
    // The entry FindApplication found for main.class; a jar's is found by its
    // own `main` thread.
    StaticMethod entry;
};

struct ApplicationContract {
    // Creating thread: runs the application where its contract runs it (the
    // service contract on this thread; main(String[]) on a `main` thread of
    // the java launcher's shape); returns when it has ended (for
    // main(String[]), once its last non-daemon thread has ended too), with how
    // it ended. An exception it ended with is reported.
    Outcome (*run)(ApplicationRun& run);
    // The stop thread: asks the application to end; may never return.
    StopFunction requestStop;
    // Whether `run` tells when the application is ready (main has returned),
    // which start.ready=main-returned waits for.
    bool tellsReady;
};

// Creating thread, the VM created: finds the application's class and how to
// call it, into `run`. main.jar takes a main program whose class its `main`
// thread finds; a class with serviceMain(String) the service contract, any
// other main(String[]). Null, reported, when the class or both methods are
// missing: the entry point is. A conf\main.args the service contract does not
// use is warned of.
const ApplicationContract* FindApplication(ApplicationRun* run);

// The service contract's stop: serviceStop() on the calling thread, attached
// for the call. A missing method is described to standard error and reported;
// so is a host without VM.
void CallServiceStop(RuntimeHost& host);

// How an event names the entry before the class was found: the default
// class's serviceMain, or either method of a class the operator named.
const EntryMethodsText& ExpectedEntryOf(const wchar_t* mainClass);

// True once the host itself has asked the application to end at a stop,
// through its stop method or the runtime's exit: an exit with status 0 then
// is the stop's end, not the application's.
bool HostAskedToExit();

// True while the Java runtime checks the jar of main.jar: an exit then is its
// refusal of the jar (it has printed why to standard error).
bool CheckingJar();
