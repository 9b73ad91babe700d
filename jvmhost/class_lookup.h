// Questions about a class that leave it uninitialised. JNI's FindClass and
// GetStaticMethodID initialise the class they find, on the calling thread,
// running its static initialiser there; the java launcher loads the main
// class with Class.forName(name, false, loader) and asks of its methods
// through reflection, so that the static initialiser runs on the thread that
// runs main. These do the same.
#pragma once

#include <jni.h>

#include "base/wide_text.h"
#include "base/win32.h"

// Loads `name` (Java's binary name, "org.example.App") through the system
// class loader without initialising it. Null with the exception pending when
// it cannot: ClassNotFoundException when no class path entry holds it, a
// LinkageError (UnsupportedClassVersionError, a missing superclass) when one
// does but the runtime cannot take it.
jclass LoadUninitialised(JNIEnv* env, const wchar_t* name);

// What Class.getMethod finds: a public method, declared or inherited.
enum class PublicMethod {
    kStaticVoid,
    kOtherKind,  // not static, or not void
    kMissing,
    kFailed,  // the runtime could not say; its words are in `words`
};
// Looks for the public method `name` of `cls` that takes one parameter of
// `parameterClass` (a JNI class name: "java/lang/String", "[Ljava/lang/String;").
// No exception is pending afterwards.
PublicMethod FindPublicMethod(JNIEnv* env, jclass cls, const wchar_t* name,
                              const char* parameterClass, WideText* words);

// Appends the binary name of `cls` (Class.getName); false, nothing pending,
// when it could not be had.
bool AppendClassName(JNIEnv* env, jclass cls, WideText* name);

// The file name of the jar from which the system class loader takes the
// class file of `name` (Java's binary name), as the runtime's own URL for it
// names the jar ("jar:file:/C:/svc/lib/app%201.jar!/org/example/App.class"
// gives "app 1.jar"). False when no jar of the class path holds it (or the
// runtime could not say); no exception is pending afterwards.
bool FindHoldingJar(JNIEnv* env, const wchar_t* name, wchar_t (&jar)[MAX_PATH]);
