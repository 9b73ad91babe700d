// The ways of calling the application, chosen once, when the VM exists: the
// service contract (serviceMain(String) for the service's life, serviceStop()
// to end it), and an ordinary program's main, of main.class or of a jar run
// as "java -jar" runs one, ended through its own stop method when
// conf\service.properties names one, and through System.exit so that its
// shutdown hooks run (main_program.cpp). The class and method names, and the
// texts that name them, live in these files and nowhere else; the contract
// finds and calls them itself, with the JNIEnv* of the thread that runs the
// application, so that the class's static initialiser runs on that thread.
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
    // serviceMain, as FindApplication found it for the service contract; a
    // main program's `main` thread finds its main itself.
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

// Creating thread, the VM created: how to call the application, and for the
// service contract its entry, into `run`. main.jar takes a main program. The
// class of main.class (or the default class) is loaded without initialising
// it and asked through reflection for a public static void
// serviceMain(String): with one, the service contract, whose lookup here
// initialises the class on this thread, which runs serviceMain; without, a
// main program, whose `main` thread loads the class as the java launcher
// does and initialises it there. Null, reported, when the class cannot be
// loaded or serviceMain cannot be had (the class is not there, or the
// runtime's words say why): the entry point is missing. A conf\main.args the
// service contract does not use is warned of.
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

// While the JDK's launcher helper checks the main class or jar of a main
// program, what it checks ("the jar <path>", "the class <name>"); null
// otherwise. An exit then is its refusal (it has printed why to standard
// error). Any thread.
const wchar_t* MainBeingChecked();
