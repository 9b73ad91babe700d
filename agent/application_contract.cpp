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

// Creating thread: serviceMain(String) with the install directory, for the
// service's life.
Outcome RunServiceContract(ApplicationRun& run) {
    RuntimeHost& host = *run.host;
    JNIEnv* env = host.CreatingThreadEnv();
    jvalue argument[1];
    argument[0].l = NewJavaString(env, host.InstallDir());
    // Calling Java with an exception pending is undefined: an argument that
    // could not be made (memory ran out) means the application is not called.
    if (argument[0].l == nullptr) {
        return Outcome::kApplicationNotStarted;
    }
    if (CallStatic(env, run.entry, argument).end == StaticCallEnd::kReturned) {
        return Outcome::kNormal;
    }
    // Described while it is pending: the application's end would drop it unseen.
    env->ExceptionDescribe();
    host.Report(0, L"serviceMain ended with an exception; its stack trace is in logs\\stderr.log.");
    return Outcome::kJavaException;
}

// Main thread: main with conf\main.args. One that returned normally has
// started what it runs: ready (when running was reported at once, this
// reports nothing). An exception is noted at once and stays pending, for the
// thread's uncaught-exception handler.
Outcome CallMain(JNIEnv* env, const ApplicationRun& run) {
    jvalue argument[1];
    argument[0].l = NewJavaStrings(env, run.configuration->arguments);
    if (argument[0].l == nullptr) {
        return Outcome::kApplicationNotStarted;
    }
    if (CallStatic(env, run.entry, argument).end == StaticCallEnd::kReturned) {
        run.ready.ready(run.ready.self);
        return Outcome::kNormal;
    }
    const wchar_t* jar = run.configuration->properties.mainJar;
    wchar_t thrownText[MAX_PATH + 128];
    StringCchPrintfW(thrownText, ARRAYSIZE(thrownText),
                     L"The main method of %ls%ls ended with an exception; its stack trace is "
                     L"in logs\\stderr.log.",
                     jar[0] != L'\0' ? L"the jar " : L"",
                     jar[0] != L'\0' ? jar : run.host->MainClassName());
    run.host->Report(0, thrownText);
    return Outcome::kJavaException;
}

Outcome RefuseJar(const ApplicationRun& run, Outcome outcome, const wchar_t* format) {
    wchar_t message[MAX_PATH + 400];
    StringCchPrintfW(message, ARRAYSIZE(message), format, run.configuration->properties.mainJar);
    run.host->Report(0, message);
    return outcome;
}

// Main thread, for main.jar: the JDK's own launcher helper reads the jar's
// manifest as "java -jar" does (Main-Class, Class-Path through the class
// path, Launcher-Agent-Class, Add-Opens, Add-Exports, Enable-Native-Access)
// and gives the main class; a jar it refuses ends the runtime (System.exit(1))
// after it has said why on standard error.
Outcome FindJarMain(JNIEnv* env, ApplicationRun* run) {
    const StaticMethod helper =
        FindStatic(env, kLauncherHelperClass, kCheckAndLoadMain, kCheckAndLoadMainSignature);
    if (helper.id == nullptr) {
        env->ExceptionClear();
        return RefuseJar(*run, Outcome::kConfigurationInvalid,
                         L"main.jar cannot be used with this Java runtime: it has no "
                         L"sun.launcher.LauncherHelper.checkAndLoadMain, through which the host "
                         L"runs the jar %ls as java -jar does. Name the application's class with "
                         L"main.class instead.");
    }
    jvalue arguments[3];
    arguments[0].z = JNI_TRUE;
    arguments[1].i = kLaunchModeJar;
    arguments[2].l = NewJavaString(env, run->configuration->properties.mainJar);
    InterlockedExchange(&checkingJar, 1);
    jclass mainClass = arguments[2].l != nullptr
                           ? static_cast<jclass>(CallStatic(env, helper, arguments).value.l)
                           : nullptr;
    InterlockedExchange(&checkingJar, 0);
    run->entry = {mainClass, nullptr, kMainSignature};
    if (mainClass != nullptr) {
        run->entry.id = env->GetStaticMethodID(mainClass, kMainMethod, kMainSignature);
    }
    // The exception stays pending: the thread's handler describes it.
    return run->entry.id != nullptr ? Outcome::kNormal
                                    : RefuseJar(*run, Outcome::kEntryPointMissing,
                                                L"The Java runtime could not run the jar %ls; it "
                                                L"says why in logs\\stderr.log.");
}

// The `main` thread, as the java launcher's JavaMain: finds what main.jar
// names (main.class's was found before), and calls main.
Outcome JavaMain(JNIEnv* env, void* self) {
    ApplicationRun& run = *static_cast<ApplicationRun*>(self);
    Outcome found = run.entry.id != nullptr ? Outcome::kNormal : Outcome::kApplicationNotStarted;
    if (run.configuration->properties.mainJar[0] != L'\0') {
        found = FindJarMain(env, &run);
    }
    return found == Outcome::kNormal ? CallMain(env, run) : found;
}

// As the java launcher: a new thread with the stack -Xss asks for runs main
// and then DestroyJavaVM, which waits for the application's non-daemon
// threads. A stop meanwhile reaches the application through its stop method
// and System.exit, which ends the process.
Outcome RunMainProgram(ApplicationRun& run) {
    if (run.entry.cls != nullptr) {
        // The class the creating thread found, by a reference the main thread may use.
        JNIEnv* env = run.host->CreatingThreadEnv();
        run.entry.cls = static_cast<jclass>(env->NewGlobalRef(run.entry.cls));
        run.entry.id = run.entry.cls != nullptr ? run.entry.id : nullptr;
    }
    return run.host->ContinueInNewThread(ThreadStackBytes(run.configuration->userOptions),
                                         MainThreadWork{&run, JavaMain});
}

// The stop method of stop.method with conf\stop.args, on the stop thread
// attached as a daemon for the call. False when it could not be called; a
// missing class or method is described to standard error, and so is an
// exception the call ends with.
bool CallStopMethod(const RuntimeHost& host, const Configuration& configuration) {
    const JavaThread attached(host.Vm(), kJavaThreadDaemon);
    JNIEnv* env = attached.Env();
    if (env == nullptr) {
        return false;
    }
    char classJni[kMainClassJniBytes];
    char methodJni[kMainClassJniBytes];
    ToJniClassName(configuration.properties.stopClass, classJni);
    ToJniClassName(configuration.properties.stopMethod, methodJni);
    const StaticMethod stop = FindStatic(env, classJni, methodJni, kMainSignature);
    jvalue argument[1];
    argument[0].l = stop.id != nullptr ? NewJavaStrings(env, configuration.stopArguments) : nullptr;
    if (argument[0].l == nullptr) {
        env->ExceptionDescribe();
        return false;
    }
    if (CallStatic(env, stop, argument).end == StaticCallEnd::kThrew) {
        env->ExceptionDescribe();
    }
    return true;
}

// The application's own stop method, then up to half of stop.timeout, from
// the call's start, for the program to end by itself; true when it has.
bool StopThroughStopMethod(RuntimeHost& host, const Configuration& configuration) {
    const ServiceProperties& properties = configuration.properties;
    const ULONGLONG began = GetTickCount64();
    if (!CallStopMethod(host, configuration) && !host.WaitForVmEnd(0)) {
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

// System.exit(0) on the stop thread attached as a daemon, so that it never
// holds up the VM's end: the runtime runs the application's shutdown hooks,
// then its "exit" hook. An attach that fails finds a VM that has ended by
// itself: nothing to ask.
void StopMainProgram(RuntimeHost& host) {
    InterlockedExchange(&hostAskedToExit, 1);
    const Configuration* configuration = stopConfiguration;
    if (configuration != nullptr && configuration->properties.stopMethod[0] != L'\0' &&
        StopThroughStopMethod(host, *configuration)) {
        return;
    }
    const JavaThread attached(host.Vm(), kJavaThreadDaemon);
    jvalue status[1];
    status[0].i = 0;
    if (attached.Env() != nullptr &&
        CallStatic(attached.Env(), "java/lang/System", "exit", "(I)V", status).end ==
            StaticCallEnd::kNotFound) {
        attached.Env()->ExceptionDescribe();
    }
}

const ApplicationContract kServiceContract = {RunServiceContract, CallServiceStop, false};
const ApplicationContract kMainProgram = {RunMainProgram, StopMainProgram, true};

void WarnArgumentsUnused(const RuntimeHost& host) {
    wchar_t message[kMainClassNameUnits + 160];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"conf\\main.args is not used: %ls is run through its serviceMain(String), "
                     L"which takes no arguments.",
                     host.MainClassName());
    ReportWarningEvent(0, message);
}

}  // namespace

const ApplicationContract* FindApplication(ApplicationRun* run) {
    stopConfiguration = run->configuration;
    if (run->configuration->properties.mainJar[0] != L'\0') {
        return &kMainProgram;
    }
    const RuntimeHost& host = *run->host;
    JNIEnv* env = host.CreatingThreadEnv();
    jclass cls = env->FindClass(host.MainClassJni());
    if (cls == nullptr) {
        host.ReportEntryMissing(env, false, host.ExpectedEntry());
        return nullptr;
    }
    run->entry = {cls, env->GetStaticMethodID(cls, kServiceMainMethod, kServiceMainSignature),
                  kServiceMainSignature};
    if (run->entry.id != nullptr) {
        if (run->configuration->arguments.filePresent) {
            WarnArgumentsUnused(host);
        }
        return &kServiceContract;
    }
    // The failed lookup's NoSuchMethodError must not be pending at the next call.
    env->ExceptionClear();
    run->entry = {cls, env->GetStaticMethodID(cls, kMainMethod, kMainSignature), kMainSignature};
    if (run->entry.id != nullptr) {
        return &kMainProgram;
    }
    host.ReportEntryMissing(env, true, kEitherEntryText);
    return nullptr;
}

void CallServiceStop(RuntimeHost& host) {
    if (host.Vm() == nullptr) {
        host.Report(0, L"The JVM is not initialized.");
        return;
    }
    const JavaThread attached(host.Vm(), kJavaThreadPlain);
    JNIEnv* env = attached.Env();
    if (env == nullptr) {
        return;
    }
    const StaticMethod stop =
        FindStatic(env, host.MainClassJni(), kServiceStopMethod, kServiceStopSignature);
    if (stop.id == nullptr) {
        host.ReportEntryMissing(env, stop.cls != nullptr, kServiceStopText);
        return;
    }
    // An exception it ends with goes, with the detach, to the thread's
    // uncaught-exception handler.
    env->CallStaticVoidMethodA(stop.cls, stop.id, nullptr);
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
