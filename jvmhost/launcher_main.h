// The java launcher's way from a class or a jar to main, as OpenJDK's
// JavaMain takes it on the `main` thread: LauncherHelper.checkAndLoadMain
// loads the main class without initialising it (reading a jar's manifest as
// "java -jar" does) and checks its main; LauncherHelper's isStaticMain and
// noArgMain (Java 25) say which main it found; main is then found and called
// in one of four shapes. The class's static initialiser runs at that lookup,
// on the thread that runs main.
#pragma once

#include <jni.h>

// LauncherHelper's launch modes (its LM_CLASS and LM_JAR).
enum class LaunchMode : jint { kClass = 1, kJar = 2 };

// The JDK's launcher helper: null members for a runtime without it (not a
// JDK's), its NoClassDefFoundError or NoSuchMethodError cleared.
struct LauncherHelper {
    jclass cls;
    jmethodID checkAndLoadMain;
};
LauncherHelper FindLauncherHelper(JNIEnv* env);

// checkAndLoadMain(true, mode, what), `what` being the class's binary name or
// the jar's path: the main class, loaded and not initialised. A class or jar
// it refuses ends the runtime (System.exit(1)) once it has printed why to
// standard error; null, with the exception pending, when it threw instead.
jclass CheckAndLoadMain(JNIEnv* env, const LauncherHelper& helper, LaunchMode mode,
                        const wchar_t* what);

// Which main the helper found: an instance main is called on an object made
// by the class's constructor without arguments; a main without arguments is
// called without the String[].
struct MainKind {
    bool isStatic;
    bool noArguments;
};
// Asks the helper's isStaticMain and noArgMain; a runtime without them (before
// Java 25), or without the helper, has static void main(String[]).
MainKind AskMainKind(JNIEnv* env, const LauncherHelper& helper);

enum class MainEnd {
    kReturned,
    kThrew,     // main or the constructor threw; the exception is pending
    kNotFound,  // a lookup failed (its class's initialisation, or no such method); pending
};
// Finds main of `kind` in `cls` and calls it, with `arguments` when it takes them.
MainEnd CallMain(JNIEnv* env, jclass cls, MainKind kind, jobjectArray arguments);
