#include "agent/application_contract.h"

#include <strsafe.h>

#include "service/event_log.h"
#include "service/service_frame.h"
#include "service/service_properties.h"

namespace {

const char kServiceMainMethod[] = "serviceMain";
const char kServiceMainSignature[] = "(Ljava/lang/String;)V";
const char kMainMethod[] = "main";
const char kMainSignature[] = "([Ljava/lang/String;)V";

// Set once, by the stop thread, just before it asks the runtime to exit; read
// by the runtime's exit hook on a thread of the runtime's.
volatile LONG hostAskedToExit = 0;

void RunServiceContract(RuntimeHost& host, const JavaEntry& entry,
                        const MainArguments& /*arguments*/) {
    host.CallServiceMain(entry);
}

void StopServiceContract(RuntimeHost& host) {
    host.CallServiceStop();
}

// As the java launcher: main, then DestroyJavaVM, which waits for the
// application's non-daemon threads. A stop meanwhile reaches the application
// through System.exit, which ends the process.
void RunMainProgram(RuntimeHost& host, const JavaEntry& entry, const MainArguments& arguments) {
    host.CallMain(entry, arguments);
    // A main that returned normally has started what it runs: ready. When
    // running was reported at once, this reports nothing.
    if (host.failure == kHostNoFailure) {
        ServiceFrame::instance->ReportRunning();
    }
    host.DestroyVm();
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
