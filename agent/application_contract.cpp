#include "agent/application_contract.h"

#include <strsafe.h>

#include "agent/main_program.h"
#include "base/event_log.h"
#include "jvmhost/class_lookup.h"

namespace {

const char kServiceMainMethod[] = "serviceMain";
const char kServiceMainSignature[] = "(Ljava/lang/String;)V";
const char kServiceStopMethod[] = "serviceStop";
const char kServiceStopSignature[] = "()V";

const EntryMethodsText kServiceMainText = {
    L"static void serviceMain(String)",
    L"The class is there without that method: declare it public static void serviceMain(String)."};
const EntryMethodsText kServiceStopText = {
    L"static void serviceStop()",
    L"The class is there without that method: declare it public static void serviceStop()."};

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

const ApplicationContract kServiceContract = {RunServiceContract, CallServiceStop, false};

void WarnArgumentsUnused(const RuntimeHost& host) {
    wchar_t message[kMainClassNameUnits + 160];
    StringCchPrintfW(message, ARRAYSIZE(message),
                     L"conf\\main.args is not used: %ls is run through its serviceMain(String), "
                     L"which takes no arguments.",
                     host.MainClassName());
    ReportWarningEvent(0, message);
}

// The application's class, loaded without initialising it, and which of its
// entries it has: through reflection, which initialises nothing, so that a
// main program's class is initialised by its own `main` thread.
const ApplicationContract* FindEntry(JNIEnv* env, ApplicationRun* run) {
    const RuntimeHost& host = *run->host;
    jclass cls = LoadUninitialised(env, host.MainClassName());
    if (cls == nullptr) {
        host.ReportClassFailure(env, host.MainClassName(), ClassStep::kLoad, host.ExpectedEntry());
        return nullptr;
    }
    WideText words;
    switch (FindPublicMethod(env, cls, L"serviceMain", "java/lang/String", &words)) {
        case PublicMethod::kFailed:
            host.ReportClassNotUsable(env, host.MainClassName(), ClassStep::kLoad, words.Chars());
            return nullptr;
        case PublicMethod::kMissing:
        case PublicMethod::kOtherKind:
            env->DeleteLocalRef(cls);
            return &MainProgramContract();
        case PublicMethod::kStaticVoid:
            break;
    }
    // This lookup initialises the class, on this thread, which runs serviceMain.
    run->entry = {cls, env->GetStaticMethodID(cls, kServiceMainMethod, kServiceMainSignature),
                  kServiceMainSignature};
    if (run->entry.id == nullptr) {
        host.ReportClassFailure(env, host.MainClassName(), ClassStep::kLookup, kServiceMainText);
        return nullptr;
    }
    if (run->configuration->arguments.filePresent) {
        WarnArgumentsUnused(host);
    }
    return &kServiceContract;
}

}  // namespace

const ApplicationContract* FindApplication(ApplicationRun* run) {
    SetStopConfiguration(run->configuration);
    if (run->configuration->properties.mainJar[0] != L'\0') {
        return &MainProgramContract();
    }
    return FindEntry(run->host->CreatingThreadEnv(), run);
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
    return lstrcmpW(mainClass, kDefaultMainClass) == 0 ? kServiceMainText : EitherEntryText();
}
