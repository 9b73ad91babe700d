// The two ways of calling the application, chosen once, when the VM exists:
// the service contract (serviceMain(String) for the service's life,
// serviceStop() to end it) and an ordinary program's main(String[]), ended
// through System.exit so that its shutdown hooks run. The class and method
// names, and the texts that name them, live here and nowhere else.
#pragma once

#include "agent/service_properties.h"
#include "agent/stop_caller.h"
#include "jvmhost/main_args.h"
#include "jvmhost/runtime_host.h"

// Tells the service that the application is ready; on the creating thread.
struct ReadyReport {
    void* self;  // weak
    void (*ready)(void* self);
};

struct ApplicationContract {
    // Creating thread: runs the application; returns when it has ended (for
    // main(String[]), once its last non-daemon thread has ended too), with how
    // it ended. An exception it ended with is reported.
    Outcome (*run)(RuntimeHost& host, const JavaEntry& entry, const MainArguments& arguments,
                   const ReadyReport& ready);
    // The stop thread: asks the application to end; may never return.
    StopFunction requestStop;
    // Whether `run` tells when the application is ready (main has returned),
    // which start.ready=main-returned waits for.
    bool tellsReady;
};

// Creating thread, the VM created: finds the application's class and how to
// call it. A class with serviceMain(String) takes the service contract, any
// other main(String[]). Null, reported, when the class or both methods are
// missing. A conf\main.args the service contract does not use is warned of.
const ApplicationContract* FindApplication(RuntimeHost& host, const MainArguments& arguments,
                                           JavaEntry* entry);

// How an event names the entry before the class was found: the default
// class's serviceMain, or either method of a class the operator named.
const EntryMethodsText& ExpectedEntryOf(const wchar_t* mainClass);

// True once the host itself has asked the runtime to exit, at a stop: that end
// is the stop's, not the application's.
bool HostAskedToExit();
