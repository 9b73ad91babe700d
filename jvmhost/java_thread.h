// A thread's time attached to the VM, and the calls made through it: a
// static method looked up and called, and the arguments such calls take.
// Every attach is checked; the detach happens on every path out.
#pragma once

#include <jni.h>
#include <stddef.h>

#include "base/wide_text.h"
#include "base/win32.h"

struct MainArguments;

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
    // Detaches. The VM hands an exception still pending to the thread's
    // uncaught-exception handler, which prints it: clear one not to be shown.
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

// A static method looked up, to be called once its arguments are made.
struct StaticMethod {
    jclass cls;             // a local reference, the caller's; null: no such class
    jmethodID id;           // null: not found, the exception pending
    const char* signature;  // weak: a constant
};

// Looks up the static `method` of `className` (the JNI name, '/' between
// packages) by `signature`.
StaticMethod FindStatic(JNIEnv* env, const char* className, const char* method,
                        const char* signature);
// Calls `method` with `args` (null for none). The result's kind follows the
// signature's return type: V, Z, I, J or an object, which is the caller's.
// kNotFound for a method that was not found.
StaticCallResult CallStatic(JNIEnv* env, const StaticMethod& method, const jvalue* args);
// FindStatic, then CallStatic; the class's local reference is freed.
StaticCallResult CallStatic(JNIEnv* env, const char* className, const char* method,
                            const char* signature, const jvalue* args);

// An instance method of `className` called on `target` with `args`, for its
// object result (a local reference, the caller's); null without an exception
// for a null target or a null result, null with the exception pending when
// the lookup or the call failed.
jobject CallOn(JNIEnv* env, jobject target, const char* className, const char* method,
               const char* signature, const jvalue* args);
// Appends the Java string `text`; false when memory ran out.
bool AppendJavaText(JNIEnv* env, jstring text, WideText* out);

// What becomes of the pending exception whose words are taken.
enum class PendingWords {
    kCleared,
    // Described to standard error first, as the thread's uncaught-exception
    // handler prints it: its stack trace is then in logs\stderr.log.
    kDescribed,
};
// The pending exception's toString, the runtime's words, and its cause's
// after "; caused by " (an ExceptionInInitializerError says nothing of its
// own), into `words`, replacing what it held; at most kRuntimeWordsUnits.
// The exception is gone afterwards. When it cannot be described (or nothing
// was pending), `words` says so.
void TakePendingWords(JNIEnv* env, PendingWords how, WideText* words);
// An event holds about 32,000 characters; longer words are cut here.
constexpr size_t kRuntimeWordsUnits = 4000;

// `text` as a Java String; null, with OutOfMemoryError pending, when memory ran out.
jstring NewJavaString(JNIEnv* env, const wchar_t* text);
// `arguments` as a String[], as main(String[]) takes them; null, with an
// exception pending, when memory ran out.
jobjectArray NewJavaStrings(JNIEnv* env, const MainArguments& arguments);

// A Java binary name of at most 255 units (a class's, or a method's); each
// unit becomes at most three bytes of modified UTF-8.
constexpr size_t kMainClassNameUnits = 256;
constexpr size_t kMainClassJniBytes = 3 * kMainClassNameUnits;
// Java's binary name in the form JNI takes: '/' for '.', modified UTF-8, which
// encodes every UTF-16 unit on its own (a surrogate pair as two).
void ToJniClassName(const wchar_t* name, char (&out)[kMainClassJniBytes]);
