// How a run of the service ended, as the service-specific exit code of its
// stopped report. Every code but kNormal goes with
// ERROR_SERVICE_SPECIFIC_ERROR (1066), so that the SCM's recovery fires.
#pragma once

#include "base/win32.h"

enum class Outcome : DWORD {
    kNormal = 0,
    kRuntimeNotLoaded = 1,       // jvm.dll did not load
    kCreateExportMissing = 2,    // jvm.dll has no JNI_CreateJavaVM
    kVmRefused = 3,              // JNI_CreateJavaVM failed
    kEntryPointMissing = 4,      // the class or its entry method not found
    kJavaException = 5,          // the entry method ended with an exception
    kApplicationNotStarted = 6,  // out of memory before the application could be called
    kConfigurationInvalid = 7,   // the layout or a file in conf\ cannot be used
    kJavaCalledExit = 8,         // the application ended the process with a non-zero status
    kRuntimeAborted = 9,         // the Java runtime aborted
    kStopDeadlinePassed = 10,    // the application did not end within stop.timeout
    kNotReadyInTime = 11,        // main(String[]) did not return within start.timeout
    kThreadsDeadlocked = 12,     // watch.deadlock=restart found deadlocked Java threads
    kHealthCheckFailed = 13  // health.action=restart: the health check failed health.failures times
};

constexpr DWORD SpecificExitCode(Outcome outcome) {
    return static_cast<DWORD>(outcome);
}
