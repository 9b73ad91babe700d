#include "agent/application_contract.h"

#include <strsafe.h>

#include "base/event_log.h"

namespace {

const char kServiceMainMethod[] = "serviceMain";
const char kServiceMainSignature[] = "(Ljava/lang/String;)V";
const char kServiceStopMethod[] = "serviceStop";
const char kServiceStopSignature[] = "()V";
const char kMainMethod[] = "main";
const char kMainSignature[] = "([Ljava/lang/String;)V";

const EntryMethodsText kServiceMainText = {
    L"static void serviceMain(String)",
    L"The class is there without that method: declare it public static void serviceMain(String)."};
const EntryMethodsText kServiceStopText = {
    L"static void serviceStop()",
    L"The class is there without that method: declare it public static void serviceStop()."};
const EntryMethodsText kEitherEntryText = {
    L"static void serviceMain(String) or static void main(String[])",
    L"The class is there without either method: declare one of them public."};

const char kLauncherHelperClass[] = "sun/launcher/LauncherHelper";
const char kCheckAndLoadMain[] = "checkAndLoadMain";
const char kCheckAndLoadMainSignature[] = "(ZILjava/lang/String;)Ljava/lang/Class;";
// LauncherHelper's mode for a jar (its LM_JAR), as "java -jar" passes it.
constexpr jint kLaunchModeJar = 2;

// Set once, by the stop thread, just before it asks the application to end;
// read by the runtime's exit hook on a thread of the runtime's.
volatile LONG hostAskedToExit = 0;
// 1 while LauncherHelper checks the jar, on the main thread; read by the
// runtime's exit hook.
volatile LONG checkingJar = 0;
// The configuration the stop thread reads: set by FindApplication on the
// service thread before StopCaller::Open hands stops to the stop thread
// (under the stop caller's lock), and read-only from then on.
const Configuration* stopConfiguration = nullptr;  // weak

// How the application's call ended, as the service's outcome.
Outcome OutcomeOf(CallEnd end) {
    switch (end) {
        case CallEnd::kReturned:
            return Outcome::kNormal;
        case CallEnd::kNotCalled:
            // Out of memory before the application could start: nothing of it ran.
            return Outcome::kApplicationNotStarted;
        case CallEnd::kThrew:
            break;
    }
    return Outcome::kJavaException;
}

Outcome RunServiceContract(RuntimeHost& host, const JavaEntry& entry,
                           const Configuration& /*configuration*/, const ReadyReport& /*ready*/) {
    const Outcome outcome = OutcomeOf(host.CallWithString(entry, host.InstallDir()));
    if (outcome == Outcome::kJavaException) {
        host.Report(
            0, L"serviceMain ended with an exception; its stack trace is in logs\\stderr.log.");
    }
    return outcome;
}

void StopServiceContract(RuntimeHost& host) {
    host.CallFromOwnThread(kServiceStopMethod, kServiceStopSignature, kServiceStopText);
}

// What the main thread runs with, and a refusal it met before main.
struct MainRun {
    const Configuration* configuration;  // weak
    const ReadyReport* ready;            // weak
    JavaEntry entry;                     // main.class's, its class a global reference
    Outcome refused;                     // kNormal unless main was never reached
};

// Main thread: main with conf\main.args. One that returned normally has
// started what it runs: ready (when running was reported at once, this
// reports nothing). An exception is noted at once and stays pending, for the
// thread's uncaught-exception handler.
CallEnd CallMain(RuntimeHost& host, const JavaEntry& entry, const MainRun& run) {
    const CallEnd end = host.CallWithStrings(entry, run.configuration->arguments);
    if (end == CallEnd::kReturned) {
        run.ready->ready(run.ready->self);
    } else if (end == CallEnd::kThrew) {
        const wchar_t* jar = run.configuration->properties.mainJar;
        wchar_t thrownText[MAX_PATH + 128];
        StringCchPrintfW(thrownText, ARRAYSIZE(thrownText),
                         L"The main method of %ls%ls ended with an exception; its stack trace is "
                         L"in logs\\stderr.log.",
                         jar[0] != L'\0' ? L"the jar " : L"",
                         jar[0] != L'\0' ? jar : host.MainClassName());
        host.Report(0, thrownText);
    }
    return end;
}

// Main thread, for main.class: the class and main the creating thread found.
CallEnd RunClassOnMainThread(RuntimeHost& host, void* self) {
    const MainRun* run = static_cast<MainRun*>(self);
    return run->entry.mainClass != nullptr ? CallMain(host, run->entry, *run) : CallEnd::kNotCalled;
}

void ReportJarNotRun(const RuntimeHost& host, MainRun* run, Outcome outcome,
                     const wchar_t* format) {
    wchar_t message[MAX_PATH + 400];
    StringCchPrintfW(message, ARRAYSIZE(message), format, run->configuration->properties.mainJar);
    host.Report(0, message);
    run->refused = outcome;
}

// Main thread, for main.jar: the JDK's own launcher helper reads the jar's
// manifest as "java -jar" does (Main-Class, Class-Path through the class
// path, Launcher-Agent-Class, Add-Opens, Add-Exports, Enable-Native-Access)
// and gives the main class; a jar it refuses ends the runtime (System.exit(1))
// after it has said why on standard error.
CallEnd RunJarOnMainThread(RuntimeHost& host, void* self) {
    MainRun* run = static_cast<MainRun*>(self);
    JavaEntry helper = {host.FindClassNamed(kLauncherHelperClass), nullptr};
    if (helper.mainClass != nullptr) {
        helper.method =
            host.FindStaticMethod(helper.mainClass, kCheckAndLoadMain, kCheckAndLoadMainSignature);
    }
    if (helper.method == nullptr) {
        host.ForgetPendingException();
        ReportJarNotRun(host, run, Outcome::kConfigurationInvalid,
                        L"main.jar cannot be used with this Java runtime: it has no "
                        L"sun.launcher.LauncherHelper.checkAndLoadMain, through which the host "
                        L"runs the jar %ls as java -jar does. Name the application's class with "
                        L"main.class instead.");
        return CallEnd::kNotCalled;
    }
    InterlockedExchange(&checkingJar, 1);
    JavaEntry entry = {static_cast<jclass>(host.CallForObject(
                           helper, true, kLaunchModeJar, run->configuration->properties.mainJar)),
                       nullptr};
    InterlockedExchange(&checkingJar, 0);
    if (entry.mainClass != nullptr) {
        entry.method = host.FindStaticMethod(entry.mainClass, kMainMethod, kMainSignature);
    }
    if (entry.method == nullptr) {
        // The exception stays pending: the thread's handler describes it.
        ReportJarNotRun(host, run, Outcome::kEntryPointMissing,
                        L"The Java runtime could not run the jar %ls; it says why in "
                        L"logs\\stderr.log.");
        return CallEnd::kNotCalled;
    }
    return CallMain(host, entry, *run);
}

// As the java launcher: a new thread with the stack -Xss asks for runs main
// and then DestroyJavaVM, which waits for the application's non-daemon
// threads. A stop meanwhile reaches the application through its stop method
// and System.exit, which ends the process.
Outcome RunOnMainThread(RuntimeHost& host, const JavaEntry& entry,
                        const Configuration& configuration, const ReadyReport& ready,
                        CallEnd (*work)(RuntimeHost&, void*)) {
    MainRun run = {&configuration, &ready, entry, Outcome::kNormal};
    const CallEnd end = host.RunOnMainThread(ThreadStackBytes(configuration.userOptions),
                                             MainThreadWork{&run, work});
    return run.refused != Outcome::kNormal ? run.refused : OutcomeOf(end);
}

// The class the creating thread found, by a reference the main thread may use.
Outcome RunMainProgram(RuntimeHost& host, const JavaEntry& entry,
                       const Configuration& configuration, const ReadyReport& ready) {
    const JavaEntry kept = {host.KeepClass(entry.mainClass), entry.method};
    return RunOnMainThread(host, kept, configuration, ready, RunClassOnMainThread);
}

Outcome RunJar(RuntimeHost& host, const JavaEntry& entry, const Configuration& configuration,
               const ReadyReport& ready) {
    return RunOnMainThread(host, entry, configuration, ready, RunJarOnMainThread);
}

// The application's own stop method with conf\stop.args, then up to half of
// stop.timeout, from the call's start, for the program to end by itself;
// true when it has.
bool CallStopMethod(RuntimeHost& host, const Configuration& configuration) {
    const ServiceProperties& properties = configuration.properties;
    const ULONGLONG began = GetTickCount64();
    if (host.CallWithStringsFromOwnThread(properties.stopClass, properties.stopMethod,
                                          kMainSignature,
                                          configuration.stopArguments) == CallEnd::kNotCalled &&
        !host.WaitForVmEnd(0)) {
        wchar_t message[2 * kMainClassUnits + 200];
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The stop method %ls.%ls(String[]) of stop.method could not be called; "
                         L"the runtime's description is in logs\\stderr.log. The application is "
                         L"ended through System.exit(0).",
                         properties.stopClass, properties.stopMethod);
        host.Report(0, message);
    }
    const DWORD seconds = properties.stopTimeoutSeconds != 0 ? properties.stopTimeoutSeconds
                                                             : kDefaultStopTimeoutSeconds;
    const ULONGLONG half = seconds * 500ULL;
    const ULONGLONG spent = GetTickCount64() - began;
    return host.WaitForVmEnd(spent < half ? static_cast<DWORD>(half - spent) : 0);
}

void StopMainProgram(RuntimeHost& host) {
    InterlockedExchange(&hostAskedToExit, 1);
    const Configuration* configuration = stopConfiguration;
    if (configuration != nullptr && configuration->properties.stopMethod[0] != L'\0' &&
        CallStopMethod(host, *configuration)) {
        return;
    }
    host.CallSystemExit(0);
}

const ApplicationContract kServiceContract = {RunServiceContract, StopServiceContract, false};
const ApplicationContract kMainProgram = {RunMainProgram, StopMainProgram, true};
const ApplicationContract kJarProgram = {RunJar, StopMainProgram, true};

void WarnArgumentsUnused(const RuntimeHost& host) {
    wchar_t message[kMainClassNameUnits + 160];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"conf\\main.args is not used: %ls is run through its serviceMain(String), "
                     L"which takes no arguments.",
                     host.MainClassName());
    ReportWarningEvent(0, message);
}

}  // namespace

const ApplicationContract* FindApplication(RuntimeHost& host, const Configuration& configuration,
                                           JavaEntry* entry) {
    stopConfiguration = &configuration;
    if (configuration.properties.mainJar[0] != L'\0') {
        return &kJarProgram;
    }
    entry->mainClass = host.FindMainClass();
    if (entry->mainClass == nullptr) {
        host.ReportEntryMissing(false, *host.expectedEntry);
        return nullptr;
    }
    entry->method =
        host.FindStaticMethod(entry->mainClass, kServiceMainMethod, kServiceMainSignature);
    if (entry->method != nullptr) {
        if (configuration.arguments.filePresent) {
            WarnArgumentsUnused(host);
        }
        return &kServiceContract;
    }
    // The failed lookup's NoSuchMethodError must not be pending at the next call.
    host.ForgetPendingException();
    entry->method = host.FindStaticMethod(entry->mainClass, kMainMethod, kMainSignature);
    if (entry->method != nullptr) {
        return &kMainProgram;
    }
    host.ReportEntryMissing(true, kEitherEntryText);
    return nullptr;
}

const EntryMethodsText& ExpectedEntryOf(const wchar_t* mainClass) {
    return lstrcmpW(mainClass, kDefaultMainClass) == 0 ? kServiceMainText : kEitherEntryText;
}

bool HostAskedToExit() {
    return InterlockedCompareExchange(&hostAskedToExit, 0, 0) != 0;
}

bool CheckingJar() {
    return InterlockedCompareExchange(&checkingJar, 0, 0) != 0;
}
