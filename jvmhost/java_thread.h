// A thread's time attached to the VM, and a static call made through it.
// Every attach is checked; the detach happens on every path out.
#pragma once

#include <jni.h>

#include "base/win32.h"

enum JavaThreadKind : unsigned {
    kJavaThreadPlain = 0,
    // The VM does not wait for it at its end, so it never holds up a stop.
    kJavaThreadDaemon = 1,
};

class JavaThread {
  public:
    // Attaches the calling thread to `vm` (null: nothing), named `name` when
    // not null, as Thread.getName() shows it. Env() is null when the attach
    // failed (a VM that has ended answers JNI_ERR): nothing to detach then.
    JavaThread(JavaVM* vm, unsigned kind, const char* name = nullptr);
    // Detaches, dropping whatever exception is pending: describe it before.
    ~JavaThread();
    JavaThread(const JavaThread&) = delete;
    JavaThread& operator=(const JavaThread&) = delete;

    JNIEnv* Env() const { return env; }

  private:
    JavaVM* vm;  // weak
    JNIEnv* env;
};

// How a static call ended.
enum class StaticCallEnd {
    kReturned,
    kThrew,    // the exception is pending, for the caller to describe or keep
    kNotFound  // no such class or method; NoClassDefFoundError or NoSuchMethodError pending
};

struct StaticCallResult {
    StaticCallEnd end;
    jvalue value;  // the method's result, when it returned one
};

// Looks up the static `method` of `cls` (the JNI name, '/' between packages)
// by `signature` and calls it with `args` (null for none). The result's kind
// follows the signature's return type: V, Z, I, J or an object. Local
// references the lookup makes are freed; an object result is the caller's.
StaticCallResult CallStatic(JNIEnv* env, const char* className, const char* method,
                            const char* signature, const jvalue* args);

// The pending exception's toString() in `text` (`units` with the terminator;
// a longer text is cut), the exception cleared. When even that fails (no
// exception, or toString threw), `text` says so.
void TakePendingExceptionText(JNIEnv* env, wchar_t* text, size_t units);
