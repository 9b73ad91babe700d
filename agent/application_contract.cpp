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

// Set once, by the stop thread, just before it asks the runtime to exit; read
// by the runtime's exit hook on a thread of the runtime's.
volatile LONG hostAskedToExit = 0;

// How the application's call ended, as the service's outcome; an exception
// is reported with `thrownText`.
Outcome OutcomeOfCall(const RuntimeHost& host, CallEnd end, const wchar_t* thrownText) {
    switch (end) {
        case CallEnd::kReturned:
            return Outcome::kNormal;
        case CallEnd::kNotCalled:
            // Out of memory before the application could start: nothing of it ran.
            return Outcome::kApplicationNotStarted;
        case CallEnd::kThrew:
            break;
    }
    host.Report(0, thrownText);
    return Outcome::kJavaException;
}

Outcome RunServiceContract(RuntimeHost& host, const JavaEntry& entry,
                           const MainArguments& /*arguments*/, const ReadyReport& /*ready*/) {
    return OutcomeOfCall(
        host, host.CallWithString(entry, host.InstallDir()),
        L"serviceMain ended with an exception; its stack trace is in logs\\stderr.log.");
}

void StopServiceContract(RuntimeHost& host) {
    host.CallFromOwnThread(kServiceStopMethod, kServiceStopSignature, kServiceStopText);
}

// As the java launcher: main, then DestroyJavaVM, which waits for the
// application's non-daemon threads; an exception out of main is described,
// and the VM still waits for the other threads. A stop meanwhile reaches the
// application through System.exit, which ends the process.
Outcome RunMainProgram(RuntimeHost& host, const JavaEntry& entry, const MainArguments& arguments,
                       const ReadyReport& ready) {
    wchar_t thrownText[kMainClassNameUnits + 128];
    StringCchPrintfW(thrownText, ARRAYSIZE(thrownText),
                     L"The main method of %ls ended with an exception; its stack trace is in "
                     L"logs\\stderr.log.",
                     host.MainClassName());
    const Outcome outcome = OutcomeOfCall(host, host.CallWithStrings(entry, arguments), thrownText);
    // A main that returned normally has started what it runs: ready. When
    // running was reported at once, this reports nothing.
    if (outcome == Outcome::kNormal) {
        ready.ready(ready.self);
    }
    host.DestroyVm();
    return outcome;
}

void StopMainProgram(RuntimeHost& host) {
    InterlockedExchange(&hostAskedToExit, 1);
    host.CallSystemExit(0);
}

const ApplicationContract kServiceContract = {RunServiceContract, StopServiceContract, false};
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

const ApplicationContract* FindApplication(RuntimeHost& host, const MainArguments& arguments,
                                           JavaEntry* entry) {
    entry->mainClass = host.FindMainClass();
    if (entry->mainClass == nullptr) {
        host.ReportEntryMissing(false, *host.expectedEntry);
        return nullptr;
    }
    entry->method =
        host.FindStaticMethod(entry->mainClass, kServiceMainMethod, kServiceMainSignature);
    if (entry->method != nullptr) {
        if (arguments.filePresent) {
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
