// The health check's watch: asks the application whether it is healthy (a
// GET of health.url, or a call of health.method's static boolean method)
// once a second until the first pass when the start waits for it
// (start.ready=health), then every health.interval seconds while the service
// runs. health.failures failures in a row end the service with a thread dump
// and code 13 (health.action=restart), so that its recovery actions restart
// it, or give one event a run (report), and a pass after it another.
//
// Two threads: the watch keeps the time, waits for each answer at most
// health.timeout and judges; the checker asks, and may stay inside a method
// or a connection that hangs without holding up the watch or a stop.
#pragma once

#include "agent/dump_thread.h"
#include "agent/health_http.h"
#include "agent/service_properties.h"
#include "base/scoped.h"
#include "base/win32.h"
#include "base/worker_thread.h"
#include "jvmhost/runtime_host.h"
#include "service/service_frame.h"

// "GET <url>" or "<class>.<method>()", as events name the check.
constexpr size_t kHealthCheckNameUnits = kHealthUrlUnits + 8;

// How one check ended.
struct HealthAnswer {
    bool passed;
    wchar_t words[kHealthWordsUnits];  // why it failed: "HTTP 503", "returned false", ...
};

class HealthWatch {
  public:
    HealthWatch();
    // Only tests destroy one; the process's lives until the end.
    ~HealthWatch() = default;
    HealthWatch(const HealthWatch&) = delete;
    HealthWatch& operator=(const HealthWatch&) = delete;

    // Service thread, once the application can be asked: the check that
    // conf\service.properties names (none: the watch never starts), the runtime health.method is
    // called in, the frame told of readiness that ends the service, and the
    // dump thread for the dump before the event. Starts nothing.
    void Open(RuntimeHost* openedHost, const ServiceProperties& properties,
              ServiceFrame* serviceFrame, DumpThread* dumpThread);
    // Any thread, once: the checks begin, at once and once a second until the
    // first pass when `untilReady` (which then reports running), otherwise
    // after health.interval. Nothing after Halt. Takes `lock` briefly.
    void Start(bool untilReady);
    // Control handler: no check starts from now on, and the watch stops
    // waiting for the one under way, whose answer no longer counts. Returns
    // at once; takes `lock` briefly.
    void Halt();
    // Service thread, before the VM's end: Halt, then waits at most `waitMs`
    // for a call of health.method under way. False when one is still inside
    // the runtime (the host must then be left as it is).
    bool Close(DWORD waitMs);

  private:
    static DWORD WatchEntry(void* self);
    static DWORD CheckEntry(void* self);
    bool Ask(HealthAnswer* result);
    void AskUrl(HealthAnswer* result);
    void AskMethod(HealthAnswer* result);
    void Judge(const HealthAnswer& result);
    void ReportFailures(const HealthAnswer& result);
    bool Halted();

    // --- Written by Open before either thread starts, read-only after ---
    RuntimeHost* host;    // weak
    ServiceFrame* frame;  // weak
    DumpThread* dumps;    // weak
    bool checks;          // conf\ names a check
    bool byMethod;        // health.method rather than health.url
    HealthUrl url;        // its path points into properties' health.url, which outlives the watch
    char methodClass[kMainClassJniBytes];
    char methodName[kMainClassJniBytes];
    wchar_t checkName[kHealthCheckNameUnits];
    DWORD intervalMs;
    DWORD timeoutMs;
    DWORD timeoutSeconds;
    DWORD failuresToAct;
    HealthAction action;
    // --- The watch thread's own ---
    bool ready;        // the start needs no pass, or one came
    DWORD failures;    // failures in a row
    bool runReported;  // the run of failures under way was reported
    // --- The checker thread's own ---
    HttpClient http;
    // --- Shared by the control handler, the service thread, the watch and
    // the checker ---
    // `lock` guards every field below it; it is never held across a check,
    // a wait, an event or a report to the frame. Neither thread takes any
    // other lock of the host's but the frame's status lock (briefly, to
    // report running or to end the service); the watch waits at most
    // health.timeout for an answer and kDeadlineDumpWaitMs for a dump, the
    // checker as long as the application's method or WinHTTP's own bounds take.
    Lock lock;
    bool started;
    bool halted;
    bool checkerBusy;       // a check asked of the checker has not ended
    HealthAnswer answer;    // the last check's, set by the checker
    ScopedHandle halt;      // manual-reset: set by Halt
    ScopedHandle answered;  // manual-reset: set under `lock` when a check ends
    WorkerThread watch;
    WorkerThread checker;
};
