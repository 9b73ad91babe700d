#include "agent/main_program.h"

#include <strsafe.h>

#include "base/event_log.h"
#include "jvmhost/class_lookup.h"
#include "jvmhost/launcher_main.h"

namespace {

const char kStopParameter[] = "[Ljava/lang/String;";
const char kStopSignature[] = "([Ljava/lang/String;)V";

const EntryMethodsText kEitherEntryText = {
    L"static void serviceMain(String) or static void main(String[])",
    L"The class is there without either method: declare one of them public."};

// Set once, by the stop thread, just before it asks the application to end;
// read by the runtime's exit hook on a thread of the runtime's.
volatile LONG hostAskedToExit = 0;
// 1 while LauncherHelper checks the main class or jar, on the main thread;
// read by the runtime's exit hook. `checkedText` is written by the main thread
// before it sets `checking`, and read only while `checking` is 1.
volatile LONG checking = 0;
wchar_t checkedText[kMainClassNameUnits + MAX_PATH + 16] = L"";
// The configuration the stop thread reads: set on the service thread before
// StopCaller::Open hands stops to the stop thread (under the stop caller's
// lock), and read-only from then on.
const Configuration* stopConfiguration = nullptr;  // weak

// How events name what main.jar or main.class names.
void NameMainOf(const ApplicationRun& run, wchar_t (&text)[ARRAYSIZE(checkedText)]) {
    const wchar_t* jar = run.configuration->properties.mainJar;
    StringCchPrintfW(text, ARRAYSIZE(text), jar[0] != L'\0' ? L"the jar %ls" : L"the class %ls",
                     jar[0] != L'\0' ? jar : run.host->MainClassName());
}

// Reports `format` with the program's main named by NameMainOf.
Outcome Refuse(const ApplicationRun& run, Outcome outcome, const wchar_t* format) {
    wchar_t named[ARRAYSIZE(checkedText)];
    NameMainOf(run, named);
    wchar_t message[ARRAYSIZE(named) + 400];
    StringCchPrintfW(message, ARRAYSIZE(message), format, named);
    run.host->Report(0, message);
    return outcome;
}

// The main class as the java launcher loads it, through the JDK's launcher
// helper, which reads a jar's manifest as "java -jar" does (Main-Class,
// Class-Path through the class path, Launcher-Agent-Class, Add-Opens,
// Add-Exports, Enable-Native-Access) and checks main; a class or jar it
// refuses ends the runtime (System.exit(1)) after it has said why on standard
// error. A runtime without the helper runs main.class as before it (found
// once stop.method is checked), and refuses main.jar.
Outcome LoadMainClass(JNIEnv* env, const ApplicationRun& run, const LauncherHelper& helper,
                      jclass* cls) {
    const wchar_t* jar = run.configuration->properties.mainJar;
    if (helper.cls == nullptr) {
        return jar[0] == L'\0'
                   ? Outcome::kNormal
                   : Refuse(run, Outcome::kConfigurationInvalid,
                            L"main.jar cannot be used with this Java runtime: it has no "
                            L"sun.launcher.LauncherHelper.checkAndLoadMain, through which the "
                            L"host runs %ls as java -jar does. Name the application's class with "
                            L"main.class instead.");
    }
    NameMainOf(run, checkedText);
    InterlockedExchange(&checking, 1);
    *cls = CheckAndLoadMain(env, helper, jar[0] != L'\0' ? LaunchMode::kJar : LaunchMode::kClass,
                            jar[0] != L'\0' ? jar : run.host->MainClassName());
    InterlockedExchange(&checking, 0);
    // The exception stays pending: the thread's handler describes it.
    return *cls != nullptr ? Outcome::kNormal
                           : Refuse(run, Outcome::kEntryPointMissing,
                                    L"The Java runtime could not run %ls; it says why in "
                                    L"logs\\stderr.log.");
}

// Why stop.method names no method the host can call, from what was found.
void DescribeStopProblem(const ServiceProperties& properties, PublicMethod found,
                         const WideText& words, WideText* why) {
    const wchar_t* const notLoaded[] = {L"the Java runtime cannot load the class ",
                                        properties.stopClass, L" (", words.Chars(), L")."};
    const wchar_t* const missing[] = {L"the class ", properties.stopClass,
                                      L" has no public method ", properties.stopMethod,
                                      L"(String[])."};
    const wchar_t* const otherKind[] = {properties.stopClass, L".", properties.stopMethod,
                                        L"(String[]) is not static, or does not return void."};
    if (found == PublicMethod::kMissing) {
        why->Append(missing);
    } else if (found == PublicMethod::kOtherKind) {
        why->Append(otherKind);
    } else {
        why->Append(notLoaded);
    }
}

// stop.method, before main runs and once the main class is loaded: a public
// static void method taking String[], of a class loaded without initialising
// it (its static initialiser runs where the application or the stop first
// uses it). A
// method the host could not call would leave the application without the
// stop it needs (a server's shutdown that keeps its clients' data): refused
// now, with code 7, rather than found missing at the first stop.
Outcome CheckStopMethod(JNIEnv* env, const ApplicationRun& run) {
    const ServiceProperties& properties = run.configuration->properties;
    if (properties.stopMethod[0] == L'\0') {
        return Outcome::kNormal;
    }
    WideText words;
    PublicMethod found = PublicMethod::kFailed;
    jclass cls = LoadUninitialised(env, properties.stopClass);
    if (cls == nullptr) {
        TakePendingWords(env, PendingWords::kCleared, &words);
    } else {
        found = FindPublicMethod(env, cls, properties.stopMethod, kStopParameter, &words);
        env->DeleteLocalRef(cls);
    }
    if (found == PublicMethod::kStaticVoid) {
        return Outcome::kNormal;
    }
    wchar_t head[2 * kMainClassNameUnits + 160];
    StringCchPrintfW(head, ARRAYSIZE(head),
                     L"conf\\service.properties line %u: stop.method %ls.%ls names no public "
                     L"static void method taking String[]: ",
                     properties.stopMethodLine, properties.stopClass, properties.stopMethod);
    WideText message;
    if (message.Append(head)) {
        DescribeStopProblem(properties, found, words, &message);
        message.Append(L" The application is not started.");
        run.host->Report(0, message.Chars());
    }
    return Outcome::kConfigurationInvalid;
}

// A runtime without the launcher helper: main.class found by JNI, which
// initialises it on this thread, the one that runs main.
Outcome FindWithoutHelper(JNIEnv* env, const ApplicationRun& run, jclass* cls) {
    *cls = env->FindClass(run.host->MainClassJni());
    if (*cls != nullptr) {
        return Outcome::kNormal;
    }
    run.host->ReportClassFailure(env, run.host->MainClassName(), ClassStep::kLookup,
                                 kEitherEntryText);
    return Outcome::kEntryPointMissing;
}

Outcome ReportMainThrew(const ApplicationRun& run) {
    const wchar_t* jar = run.configuration->properties.mainJar;
    wchar_t thrownText[ARRAYSIZE(checkedText) + 128];
    StringCchPrintfW(thrownText, ARRAYSIZE(thrownText),
                     L"The main method of %ls%ls ended with an exception; its stack trace is "
                     L"in logs\\stderr.log.",
                     jar[0] != L'\0' ? L"the jar " : L"",
                     jar[0] != L'\0' ? jar : run.host->MainClassName());
    run.host->Report(0, thrownText);
    return Outcome::kJavaException;
}

// main with conf\main.args, in the shape the helper found. One that returned
// normally has started what it runs: ready (when running was reported at
// once, this reports nothing). An exception main ends with is noted at once
// and stays pending, for the thread's uncaught-exception handler; one of the
// class's static initialiser is reported with the runtime's words.
Outcome RunMain(JNIEnv* env, const ApplicationRun& run, const LauncherHelper& helper, jclass cls) {
    WideText className;
    if (!AppendClassName(env, cls, &className)) {
        className.Append(run.host->MainClassName());
    }
    const MainKind kind = AskMainKind(env, helper);
    jobjectArray arguments = NewJavaStrings(env, run.configuration->arguments);
    if (arguments == nullptr) {
        return Outcome::kApplicationNotStarted;
    }
    switch (CallMain(env, cls, kind, arguments)) {
        case MainEnd::kReturned:
            run.ready.ready(run.ready.self);
            return Outcome::kNormal;
        case MainEnd::kThrew:
            return ReportMainThrew(run);
        case MainEnd::kNotFound:
            break;
    }
    run.host->ReportClassFailure(env, className.Chars(), ClassStep::kLookup, kEitherEntryText);
    return Outcome::kEntryPointMissing;
}

// The `main` thread, as the java launcher's JavaMain: loads the main class,
// checks stop.method, and finds and calls main.
Outcome JavaMain(JNIEnv* env, void* self) {
    const ApplicationRun& run = *static_cast<ApplicationRun*>(self);
    const LauncherHelper helper = FindLauncherHelper(env);
    jclass cls = nullptr;
    Outcome outcome = LoadMainClass(env, run, helper, &cls);
    if (outcome == Outcome::kNormal) {
        outcome = CheckStopMethod(env, run);
    }
    if (outcome == Outcome::kNormal && cls == nullptr) {
        outcome = FindWithoutHelper(env, run, &cls);
    }
    return outcome == Outcome::kNormal ? RunMain(env, run, helper, cls) : outcome;
}

// As the java launcher: a new thread with the stack -Xss asks for runs main
// and then DestroyJavaVM, which waits for the application's non-daemon
// threads. A stop meanwhile reaches the application through its stop method
// and System.exit, which ends the process.
Outcome RunMainProgram(ApplicationRun& run) {
    return run.host->ContinueInNewThread(ThreadStackBytes(run.configuration->userOptions),
                                         MainThreadWork{&run, JavaMain});
}

enum class StopCall { kReturned, kThrew, kNotCalled };

// The stop method of stop.method with conf\stop.args, on the stop thread
// attached as a daemon for the call. A missing class or method (or memory
// that ran out) is described to standard error; so is an exception the call
// ends with, whose words go to `words`.
StopCall CallStopMethod(const RuntimeHost& host, const Configuration& configuration,
                        WideText* words) {
    const JavaThread attached(host.Vm(), kJavaThreadDaemon);
    JNIEnv* env = attached.Env();
    if (env == nullptr) {
        return StopCall::kNotCalled;
    }
    char classJni[kMainClassJniBytes];
    char methodJni[kMainClassJniBytes];
    ToJniClassName(configuration.properties.stopClass, classJni);
    ToJniClassName(configuration.properties.stopMethod, methodJni);
    const StaticMethod stop = FindStatic(env, classJni, methodJni, kStopSignature);
    jvalue argument[1];
    argument[0].l = stop.id != nullptr ? NewJavaStrings(env, configuration.stopArguments) : nullptr;
    if (argument[0].l == nullptr) {
        env->ExceptionDescribe();
        return StopCall::kNotCalled;
    }
    if (CallStatic(env, stop, argument).end == StaticCallEnd::kThrew) {
        TakePendingWords(env, PendingWords::kDescribed, words);
        return StopCall::kThrew;
    }
    return StopCall::kReturned;
}

void ReportStopMethodFailed(const RuntimeHost& host, const ServiceProperties& properties,
                            StopCall call, const WideText& words) {
    wchar_t head[2 * kMainClassNameUnits + 240];
    StringCchPrintfW(head, ARRAYSIZE(head),
                     call == StopCall::kThrew
                         ? L"The stop method %ls.%ls(String[]) of stop.method ended with an "
                           L"exception (its stack trace is in logs\\stderr.log); the application "
                           L"is ended through System.exit(0). The exception: "
                         : L"The stop method %ls.%ls(String[]) of stop.method could not be "
                           L"called; the runtime's description is in logs\\stderr.log. The "
                           L"application is ended through System.exit(0).",
                     properties.stopClass, properties.stopMethod);
    WideText message;
    if (message.Append(head) && (call != StopCall::kThrew || message.Append(words.Chars()))) {
        host.Report(0, message.Chars());
    }
}

// The application's own stop method, then up to half of stop.timeout, from
// the call's start, for the program to end by itself; true when it has. A
// stop method that could not be called, or that threw, leaves nothing to wait
// for: the program is ended at once.
bool StopThroughStopMethod(RuntimeHost& host, const Configuration& configuration) {
    const ServiceProperties& properties = configuration.properties;
    const ULONGLONG began = GetTickCount64();
    WideText words;
    const StopCall call = CallStopMethod(host, configuration, &words);
    if (call != StopCall::kReturned) {
        if (!host.WaitForVmEnd(0)) {
            ReportStopMethodFailed(host, properties, call, words);
        }
        return host.WaitForVmEnd(0);
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

const ApplicationContract kMainProgram = {RunMainProgram, StopMainProgram, true};

}  // namespace

const ApplicationContract& MainProgramContract() {
    return kMainProgram;
}

void SetStopConfiguration(const Configuration* configuration) {
    stopConfiguration = configuration;
}

const EntryMethodsText& EitherEntryText() {
    return kEitherEntryText;
}

bool HostAskedToExit() {
    return InterlockedCompareExchange(&hostAskedToExit, 0, 0) != 0;
}

const wchar_t* MainBeingChecked() {
    return InterlockedCompareExchange(&checking, 0, 0) != 0 ? checkedText : nullptr;
}
