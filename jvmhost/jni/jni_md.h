/*
 * Machine-dependent JNI definitions for Windows, included by the JDK's jni.h.
 * On 32-bit Windows every JNI entry point uses __stdcall; on x86-64 the
 * platform has one calling convention and the keyword is ignored.
 */
#ifndef MERIVAST_JNI_MD_H
#define MERIVAST_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

/* long is 32 bits on Windows in both the 32- and 64-bit data models. */
typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
