#include "agent/health_watch.h"

#include <strsafe.h>

#include "base/event_log.h"
#include "base/outcome.h"
#include "base/wide_text.h"
#include "jvmhost/java_thread.h"

namespace {

// While the start waits for the first pass: a check a second.
constexpr DWORD kReadinessPauseMs = 1000;
// The checker's name while it calls health.method, as thread dumps show it.
const char kCheckThreadName[] = "merivast-health-check";

void SetWords(HealthAnswer* result, const wchar_t* words) {
    StringCchCopyW(result->words, kHealthWordsUnits, words);
}

}  // namespace

HealthWatch::HealthWatch()
    : host(nullptr),
      frame(nullptr),
      dumps(nullptr),
      checks(false),
      byMethod(false),
      url(),
      methodClass(),
      methodName(),
      checkName(),
      intervalMs(0),
      timeoutMs(0),
      timeoutSeconds(0),
      failuresToAct(0),
      action(kHealthRestart),
      ready(false),
      failures(0),
      runReported(false),
      started(false),
      halted(false),
      checkerBusy(false),
      answer(),
      halt(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      answered(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void HealthWatch::Open(RuntimeHost* openedHost, const ServiceProperties& properties,
                       ServiceFrame* serviceFrame, DumpThread* dumpThread) {
    host = openedHost;
    frame = serviceFrame;
    dumps = dumpThread;
    byMethod = properties.healthClass[0] != L'\0';
    if (byMethod) {
        ToJniClassName(properties.healthClass, methodClass);
        ToJniClassName(properties.healthMethod, methodName);
        StringCchPrintfW(checkName, kHealthCheckNameUnits, L"%ls.%ls()", properties.healthClass,
                         properties.healthMethod);
    } else {
        StringCchPrintfW(checkName, kHealthCheckNameUnits, L"GET %ls", properties.healthUrl);
    }
    checks = byMethod || ParseHealthUrl(properties.healthUrl,
                                        static_cast<size_t>(lstrlenW(properties.healthUrl)), &url);
    intervalMs = properties.healthIntervalSeconds * 1000;
    timeoutSeconds = properties.healthTimeoutSeconds;
    timeoutMs = timeoutSeconds * 1000;
    failuresToAct = properties.healthFailures;
    action = properties.healthAction;
}

void HealthWatch::Start(bool untilReady) {
    {
        LockGuard guard(lock);
        if (!checks || started || halted) {
            return;
        }
        started = true;
    }
    // Written before the watch starts, which is its only reader.
    ready = !untilReady;
    if (!checker.Start(CheckEntry, this, INFINITE) ||
        !watch.Start(WatchEntry, this, untilReady ? 0 : intervalMs)) {
        ReportErrorEvent(0, L"The health check is not made: no thread could be started for it.");
    }
}

void HealthWatch::Halt() {
    {
        LockGuard guard(lock);
        halted = true;
    }
    SetEvent(halt.Get());
}

bool HealthWatch::Halted() {
    LockGuard guard(lock);
    return halted;
}

bool HealthWatch::Close(DWORD waitMs) {
    Halt();
    watch.Stop(0);
    // A GET under way uses nothing of the host.
    return checker.Stop(byMethod ? waitMs : 0) || !byMethod;
}

DWORD HealthWatch::WatchEntry(void* self) {
    HealthWatch* health = static_cast<HealthWatch*>(self);
    HealthAnswer result;
    if (!health->Ask(&result)) {
        return INFINITE;
    }
    health->Judge(result);
    return health->ready ? health->intervalMs : kReadinessPauseMs;
}

// The checker's work: one check, its answer handed to the watch under the
// lock, so that a later check's wait never takes an earlier one's signal.
DWORD HealthWatch::CheckEntry(void* self) {
    HealthWatch* health = static_cast<HealthWatch*>(self);
    HealthAnswer result;
    if (health->byMethod) {
        health->AskMethod(&result);
    } else {
        health->AskUrl(&result);
    }
    LockGuard guard(health->lock);
    health->answer = result;
    health->checkerBusy = false;
    SetEvent(health->answered.Get());
    return INFINITE;
}

// The watch: asks for a check, unless one is still under way (a method or a
// connection that hangs), and waits for the answer at most health.timeout.
// False once halted: nothing is judged.
bool HealthWatch::Ask(HealthAnswer* result) {
    bool wake = false;
    {
        LockGuard guard(lock);
        if (halted) {
            return false;
        }
        if (!checkerBusy) {
            checkerBusy = true;
            ResetEvent(answered.Get());
            wake = true;
        }
    }
    if (wake) {
        checker.Wake();
    }
    const HANDLE waits[] = {halt.Get(), answered.Get()};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    LockGuard guard(lock);
    if (halted || (woken != WAIT_TIMEOUT && woken != WAIT_OBJECT_0 + 1)) {
        return false;
    }
    if (woken == WAIT_TIMEOUT) {
        result->passed = false;
        StringCchPrintfW(result->words, kHealthWordsUnits, L"no answer within %lu s",
                         static_cast<unsigned long>(timeoutSeconds));
        return true;
    }
    *result = answer;
    return true;
}

void HealthWatch::AskUrl(HealthAnswer* result) {
    const HttpAnswer got = http.Get(url, timeoutMs);
    result->passed = got.status >= 200 && got.status < 300;
    DescribeHttpAnswer(got, timeoutSeconds, result->words);
}

// Attached as a daemon for the call only: the VM's end never waits for it,
// and a thread left attached would be inside the runtime when it ends.
void HealthWatch::AskMethod(HealthAnswer* result) {
    result->passed = false;
    JavaThread attached(host->Vm(), kJavaThreadDaemon, kCheckThreadName);
    JNIEnv* env = attached.Env();
    if (env == nullptr) {
        SetWords(result, L"the Java runtime could not be asked (it has ended)");
        return;
    }
    const StaticCallResult call = CallStatic(env, methodClass, methodName, "()Z", nullptr);
    if (call.end != StaticCallEnd::kReturned) {
        WideText words;
        TakePendingWords(env, PendingWords::kCleared, &words);
        SetWords(result, words.Chars());
        return;
    }
    result->passed = call.value.z != JNI_FALSE;
    SetWords(result, result->passed ? L"returned true" : L"returned false");
}

// Before the first pass of a start that waits for one, failures count for
// nothing: start.timeout bounds the start.
void HealthWatch::Judge(const HealthAnswer& result) {
    if (!ready) {
        if (result.passed) {
            ready = true;
            frame->ReportRunning();
        }
        return;
    }
    if (result.passed) {
        if (runReported) {
            wchar_t message[kHealthCheckNameUnits + 96];
            StringCchPrintfW(message, ARRAYSIZE(message),
                             L"The health check %ls passes again, after %lu failures in a row.",
                             checkName, static_cast<unsigned long>(failures));
            frame->ReportInfoEvent(message);
        }
        failures = 0;
        runReported = false;
        return;
    }
    ++failures;
    if (failures >= failuresToAct && !runReported) {
        runReported = true;
        ReportFailures(result);
    }
}

// As the deadlock watch: the threads first, at most kDeadlineDumpWaitMs; a
// stop that came meanwhile is the service's end, not the failures.
void HealthWatch::ReportFailures(const HealthAnswer& result) {
    wchar_t file[kBodyFileUnits];
    dumps->DumpAtDeadline(file, kDeadlineDumpWaitMs);
    if (Halted()) {
        return;
    }
    wchar_t count[32] = L"once";
    if (failuresToAct > 1) {
        StringCchPrintfW(count, ARRAYSIZE(count), L"%lu times in a row",
                         static_cast<unsigned long>(failuresToAct));
    }
    WideText message;
    const wchar_t* const head[] = {L"The health check ", checkName,    L" failed ", count,
                                   L"; the last time: ", result.words, L"."};
    const wchar_t* const dumped[] = {L" The application's threads are in ", file, L"."};
    message.Append(head);
    file[0] != L'\0' ? message.Append(dumped)
                     : message.Append(L" No thread dump was written in time.");
    if (action == kHealthReport) {
        ReportErrorEvent(0, message.Chars());
        return;
    }
    message.Append(L" The service ends, so that its recovery actions restart it.");
    frame->EndProcessFromAnyThread(SpecificExitCode(Outcome::kHealthCheckFailed),
                                   EVENTLOG_ERROR_TYPE, message.Chars());
}
