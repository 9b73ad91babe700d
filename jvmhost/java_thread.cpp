#include "jvmhost/java_thread.h"

JavaThread::JavaThread(JavaVM* attachedVm, unsigned kind, const char* name)
    : vm(attachedVm), env(nullptr) {
    if (vm == nullptr) {
        return;
    }
    JavaVMAttachArgs args = {JNI_VERSION_1_6, const_cast<char*>(name), nullptr};
    void** out = reinterpret_cast<void**>(&env);
    const jint attached = (kind & kJavaThreadDaemon) != 0
                              ? vm->AttachCurrentThreadAsDaemon(out, &args)
                              : vm->AttachCurrentThread(out, &args);
    if (attached != JNI_OK) {
        env = nullptr;
    }
}

JavaThread::~JavaThread() {
    if (env != nullptr) {
        vm->DetachCurrentThread();
    }
}

namespace {

// The signature's return type: the character after ')'.
char ReturnKind(const char* signature) {
    const char* close = signature;
    while (*close != '\0' && *close != ')') {
        ++close;
    }
    return *close == ')' ? close[1] : 'V';
}

jvalue CallByKind(JNIEnv* env, jclass cls, jmethodID id, char kind, const jvalue* args) {
    jvalue result;
    result.j = 0;
    switch (kind) {
        case 'V':
            env->CallStaticVoidMethodA(cls, id, args);
            break;
        case 'Z':
            result.z = env->CallStaticBooleanMethodA(cls, id, args);
            break;
        case 'I':
            result.i = env->CallStaticIntMethodA(cls, id, args);
            break;
        case 'J':
            result.j = env->CallStaticLongMethodA(cls, id, args);
            break;
        default:
            result.l = env->CallStaticObjectMethodA(cls, id, args);
            break;
    }
    return result;
}

}  // namespace

StaticCallResult CallStatic(JNIEnv* env, const char* className, const char* method,
                            const char* signature, const jvalue* args) {
    StaticCallResult result = {StaticCallEnd::kNotFound, {}};
    jclass cls = env->FindClass(className);
    if (cls == nullptr) {
        return result;
    }
    jmethodID id = env->GetStaticMethodID(cls, method, signature);
    if (id != nullptr) {
        result.value = CallByKind(env, cls, id, ReturnKind(signature), args);
        result.end = env->ExceptionCheck() ? StaticCallEnd::kThrew : StaticCallEnd::kReturned;
    }
    env->DeleteLocalRef(cls);
    return result;
}

void TakePendingExceptionText(JNIEnv* env, wchar_t* text, size_t units) {
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    jclass objectClass = thrown != nullptr ? env->FindClass("java/lang/Object") : nullptr;
    jmethodID toString = objectClass != nullptr
                             ? env->GetMethodID(objectClass, "toString", "()Ljava/lang/String;")
                             : nullptr;
    jstring said = toString != nullptr
                       ? static_cast<jstring>(env->CallObjectMethodA(thrown, toString, nullptr))
                       : nullptr;
    if (said == nullptr || env->ExceptionCheck()) {
        env->ExceptionClear();
        lstrcpynW(text, L"an exception the runtime could not describe", static_cast<int>(units));
        return;
    }
    const jsize length = env->GetStringLength(said);
    const jsize kept = static_cast<size_t>(length) < units ? length : static_cast<jsize>(units - 1);
    env->GetStringRegion(said, 0, kept, reinterpret_cast<jchar*>(text));
    text[kept] = L'\0';
}
