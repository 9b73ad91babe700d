// The runtime's own view of its threads and heap, asked through JNI of the
// JDK's management beans (java.management and jdk.management, in every
// runtime since Java 8).
#include "jvmhost/runtime_diagnostics.h"

namespace {

const char kFactoryClass[] = "java/lang/management/ManagementFactory";
const char kThreadBeanClass[] = "java/lang/management/ThreadMXBean";
const char kThreadInfoClass[] = "java/lang/management/ThreadInfo";
const char kServerClass[] = "javax/management/MBeanServer";
const char kObjectNameClass[] = "javax/management/ObjectName";
const char kHotSpotBeanClass[] = "com/sun/management/HotSpotDiagnosticMXBean";
const char kObjectClass[] = "java/lang/Object";
const char kStringClass[] = "java/lang/String";
const char kToStringSignature[] = "()Ljava/lang/String;";
const char kThreadBeanSignature[] = "()Ljava/lang/management/ThreadMXBean;";

// The thread stays attached for one question only: a thread attached while
// the VM ends would stay inside it for good at its next call.
struct DaemonAttachment {
    explicit DaemonAttachment(JavaVM* vm) : javaVm(vm), env(nullptr) {
        if (javaVm != nullptr && javaVm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env),
                                                                     nullptr) != JNI_OK) {
            env = nullptr;
        }
    }
    ~DaemonAttachment() {
        if (env != nullptr) {
            javaVm->DetachCurrentThread();
        }
    }
    DaemonAttachment(const DaemonAttachment&) = delete;
    DaemonAttachment& operator=(const DaemonAttachment&) = delete;
    JavaVM* javaVm;  // weak
    JNIEnv* env;
};

// A static method's object result; null with an exception pending when the
// class or the method is missing or the call threw. The class's reference is
// freed (a dump calls this in loops; JNI promises 16 references), and the
// call's exception checked before any other call, as JNI asks.
jobject CallStatic(JNIEnv* env, const char* className, const char* name, const char* signature,
                   const jvalue* arguments) {
    jclass owner = env->FindClass(className);
    if (owner == nullptr) {
        return nullptr;
    }
    jmethodID method = env->GetStaticMethodID(owner, name, signature);
    jobject result =
        method != nullptr ? env->CallStaticObjectMethodA(owner, method, arguments) : nullptr;
    env->DeleteLocalRef(owner);
    return env->ExceptionCheck() ? nullptr : result;
}

// An instance method's object result, as CallStatic; null without an
// exception for a null target or a null result.
jobject CallOn(JNIEnv* env, jobject target, const char* className, const char* name,
               const char* signature, const jvalue* arguments) {
    if (target == nullptr) {
        return nullptr;
    }
    jclass owner = env->FindClass(className);
    if (owner == nullptr) {
        return nullptr;
    }
    jmethodID method = env->GetMethodID(owner, name, signature);
    jobject result =
        method != nullptr ? env->CallObjectMethodA(target, method, arguments) : nullptr;
    env->DeleteLocalRef(owner);
    return env->ExceptionCheck() ? nullptr : result;
}

jstring NewText(JNIEnv* env, const wchar_t* text) {
    return env->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
}

// Appends the Java string `text`; false when memory ran out.
bool AppendJavaText(JNIEnv* env, jstring text, WideText* out) {
    const jsize length = env->GetStringLength(text);
    HeapArray<wchar_t> units(static_cast<size_t>(length) + 1);
    if (units.Get() == nullptr) {
        return false;
    }
    env->GetStringRegion(text, 0, length, reinterpret_cast<jchar*>(units.Get()));
    units[static_cast<size_t>(length)] = L'\0';
    return out->Append(units.Get());
}

// The pending exception's toString, as the runtime's words, into `words`
// (replacing what it held); the exception is cleared.
void TakeRuntimeWords(JNIEnv* env, WideText* words) {
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    words->Cut(0);
    jobject text = CallOn(env, thrown, kObjectClass, "toString", kToStringSignature, nullptr);
    if (text == nullptr || env->ExceptionCheck() ||
        !AppendJavaText(env, static_cast<jstring>(text), words)) {
        env->ExceptionClear();
        words->Append(L"the runtime threw an exception it could not describe");
    }
}

// invoke(ObjectName, String, Object[], String[]) of the platform MBean server.
const char kInvokeSignature[] =
    "(Ljavax/management/ObjectName;Ljava/lang/String;[Ljava/lang/Object;[Ljava/lang/String;)"
    "Ljava/lang/Object;";

// A one-element array of `elementClass` holding `element`; null with an
// exception pending when either could not be made.
jobjectArray ArrayOfOne(JNIEnv* env, const char* elementClass, jobject element) {
    jclass type = element != nullptr ? env->FindClass(elementClass) : nullptr;
    return type != nullptr ? env->NewObjectArray(1, type, element) : nullptr;
}

// The diagnostic command threadPrint with "-l", as jcmd's Thread.print -l:
// the bean takes a command's options as one String[] parameter.
jobject InvokeThreadPrint(JNIEnv* env) {
    jobject server = CallStatic(env, kFactoryClass, "getPlatformMBeanServer",
                                "()Ljavax/management/MBeanServer;", nullptr);
    jvalue nameText[1];
    nameText[0].l =
        server != nullptr ? NewText(env, L"com.sun.management:type=DiagnosticCommand") : nullptr;
    jobject name = nameText[0].l != nullptr
                       ? CallStatic(env, kObjectNameClass, "getInstance",
                                    "(Ljava/lang/String;)Ljavax/management/ObjectName;", nameText)
                       : nullptr;
    jobjectArray options =
        name != nullptr ? ArrayOfOne(env, kStringClass, NewText(env, L"-l")) : nullptr;
    jobjectArray parameters = options != nullptr ? ArrayOfOne(env, kObjectClass, options) : nullptr;
    jobjectArray signature =
        parameters != nullptr ? ArrayOfOne(env, kStringClass, NewText(env, L"[Ljava.lang.String;"))
                              : nullptr;
    jvalue arguments[4];
    arguments[0].l = name;
    arguments[1].l = signature != nullptr ? NewText(env, L"threadPrint") : nullptr;
    arguments[2].l = parameters;
    arguments[3].l = signature;
    return arguments[1].l != nullptr
               ? CallOn(env, server, kServerClass, "invoke", kInvokeSignature, arguments)
               : nullptr;
}

// The thread bean's ThreadInfo of every thread, with the monitors and
// synchronizers each holds, one after the other.
bool PrintThreadInfos(JNIEnv* env, WideText* text) {
    jobject bean = CallStatic(env, kFactoryClass, "getThreadMXBean", kThreadBeanSignature, nullptr);
    jvalue withLocks[2];
    withLocks[0].z = JNI_TRUE;
    withLocks[1].z = JNI_TRUE;
    jobject infos = CallOn(env, bean, kThreadBeanClass, "dumpAllThreads",
                           "(ZZ)[Ljava/lang/management/ThreadInfo;", withLocks);
    if (infos == nullptr) {
        return false;
    }
    const jsize count = env->GetArrayLength(static_cast<jarray>(infos));
    for (jsize i = 0; i < count && !env->ExceptionCheck(); ++i) {
        jobject info = env->GetObjectArrayElement(static_cast<jobjectArray>(infos), i);
        jobject line = CallOn(env, info, kObjectClass, "toString", kToStringSignature, nullptr);
        if (line != nullptr && !AppendJavaText(env, static_cast<jstring>(line), text)) {
            return false;
        }
        env->DeleteLocalRef(line);
        env->DeleteLocalRef(info);
    }
    return !env->ExceptionCheck();
}

// The names of the threads `ids` names, quoted and joined, into `names`.
void NameThreads(JNIEnv* env, jobject bean, jlongArray ids, WideText* names) {
    jvalue argument[1];
    argument[0].l = ids;
    jobject infos = CallOn(env, bean, kThreadBeanClass, "getThreadInfo",
                           "([J)[Ljava/lang/management/ThreadInfo;", argument);
    const jsize count = infos != nullptr ? env->GetArrayLength(static_cast<jarray>(infos)) : 0;
    for (jsize i = 0; i < count && !env->ExceptionCheck(); ++i) {
        jobject info = env->GetObjectArrayElement(static_cast<jobjectArray>(infos), i);
        // A thread that ended since has no info.
        jobject name =
            CallOn(env, info, kThreadInfoClass, "getThreadName", kToStringSignature, nullptr);
        if (name != nullptr) {
            names->Append(names->length == 0 ? L"\"" : L", \"");
            AppendJavaText(env, static_cast<jstring>(name), names);
            names->Append(L"\"");
        }
        env->DeleteLocalRef(name);
        env->DeleteLocalRef(info);
    }
    env->ExceptionClear();
}

}  // namespace

RuntimeAnswer PrintJavaThreads(const RuntimeHost& host, WideText* text, ThreadDumpSource* source) {
    DaemonAttachment attachment(host.javaVm);
    JNIEnv* env = attachment.env;
    if (env == nullptr) {
        return RuntimeAnswer::kNoVm;
    }
    *source = ThreadDumpSource::kDiagnosticCommand;
    jobject printed = InvokeThreadPrint(env);
    if (printed != nullptr && !env->ExceptionCheck()) {
        return AppendJavaText(env, static_cast<jstring>(printed), text) ? RuntimeAnswer::kAnswered
                                                                        : RuntimeAnswer::kFailed;
    }
    // A runtime without the command (no such bean, or no threadPrint in it).
    WideText words;
    TakeRuntimeWords(env, &words);
    *source = ThreadDumpSource::kThreadBean;
    if (PrintThreadInfos(env, text)) {
        return RuntimeAnswer::kAnswered;
    }
    env->ExceptionClear();
    text->Cut(0);
    text->Append(words.Chars());
    return RuntimeAnswer::kFailed;
}

RuntimeAnswer DumpJavaHeap(const RuntimeHost& host, const wchar_t* path, WideText* words) {
    DaemonAttachment attachment(host.javaVm);
    JNIEnv* env = attachment.env;
    if (env == nullptr) {
        return RuntimeAnswer::kNoVm;
    }
    jclass beanClass = env->FindClass(kHotSpotBeanClass);
    jvalue beanType[1];
    beanType[0].l = beanClass;
    jobject bean =
        beanClass != nullptr
            ? CallStatic(env, kFactoryClass, "getPlatformMXBean",
                         "(Ljava/lang/Class;)Ljava/lang/management/PlatformManagedObject;",
                         beanType)
            : nullptr;
    jmethodID dumpHeap = bean != nullptr
                             ? env->GetMethodID(beanClass, "dumpHeap", "(Ljava/lang/String;Z)V")
                             : nullptr;
    jvalue arguments[2];
    arguments[0].l = dumpHeap != nullptr ? NewText(env, path) : nullptr;
    arguments[1].z = JNI_TRUE;  // live objects only, as jcmd GC.heap_dump
    if (arguments[0].l != nullptr) {
        env->CallVoidMethodA(bean, dumpHeap, arguments);
    }
    if (!env->ExceptionCheck() && arguments[0].l != nullptr) {
        return RuntimeAnswer::kAnswered;
    }
    TakeRuntimeWords(env, words);
    return RuntimeAnswer::kFailed;
}

size_t FindDeadlockedJavaThreads(const RuntimeHost& host, jlong* ids, size_t most,
                                 WideText* names) {
    DaemonAttachment attachment(host.javaVm);
    JNIEnv* env = attachment.env;
    if (env == nullptr) {
        return 0;
    }
    jobject bean = CallStatic(env, kFactoryClass, "getThreadMXBean", kThreadBeanSignature, nullptr);
    jobject found = CallOn(env, bean, kThreadBeanClass, "findDeadlockedThreads", "()[J", nullptr);
    if (found == nullptr || env->ExceptionCheck()) {
        env->ExceptionClear();
        return 0;
    }
    jlongArray deadlocked = static_cast<jlongArray>(found);
    const size_t count = static_cast<size_t>(env->GetArrayLength(deadlocked));
    env->GetLongArrayRegion(deadlocked, 0, static_cast<jsize>(count < most ? count : most), ids);
    NameThreads(env, bean, deadlocked, names);
    return count;
}
