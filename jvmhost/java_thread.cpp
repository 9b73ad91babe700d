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
