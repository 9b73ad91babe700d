#include "jvmhost/java_thread.h"

#include "jvmhost/main_args.h"

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

StaticMethod FindStatic(JNIEnv* env, const char* className, const char* method,
                        const char* signature) {
    StaticMethod found = {env->FindClass(className), nullptr, signature};
    if (found.cls != nullptr) {
        found.id = env->GetStaticMethodID(found.cls, method, signature);
    }
    return found;
}

StaticCallResult CallStatic(JNIEnv* env, const StaticMethod& method, const jvalue* args) {
    StaticCallResult result = {StaticCallEnd::kNotFound, {}};
    if (method.id != nullptr) {
        result.value = CallByKind(env, method.cls, method.id, ReturnKind(method.signature), args);
        result.end = env->ExceptionCheck() ? StaticCallEnd::kThrew : StaticCallEnd::kReturned;
    }
    return result;
}

StaticCallResult CallStatic(JNIEnv* env, const char* className, const char* method,
                            const char* signature, const jvalue* args) {
    const StaticMethod found = FindStatic(env, className, method, signature);
    const StaticCallResult result = CallStatic(env, found, args);
    if (found.cls != nullptr) {
        env->DeleteLocalRef(found.cls);
    }
    return result;
}

jstring NewJavaString(JNIEnv* env, const wchar_t* text) {
    return env->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
}

jobjectArray NewJavaStrings(JNIEnv* env, const MainArguments& arguments) {
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jobjectArray array =
        env->NewObjectArray(static_cast<jsize>(arguments.count), stringClass, nullptr);
    for (size_t i = 0; array != nullptr && i < arguments.count; ++i) {
        jstring argument = NewJavaString(env, arguments.Argument(i));
        if (argument == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), argument);
        env->DeleteLocalRef(argument);
    }
    return array;
}

void ToJniClassName(const wchar_t* name, char (&out)[kMainClassJniBytes]) {
    size_t used = 0;
    for (const wchar_t* c = name; *c != L'\0' && used + 4 <= kMainClassJniBytes; ++c) {
        const unsigned unit = *c == L'.' ? L'/' : *c;
        if (unit < 0x80) {
            out[used++] = static_cast<char>(unit);
        } else if (unit < 0x800) {
            out[used++] = static_cast<char>(0xC0 | (unit >> 6));
            out[used++] = static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out[used++] = static_cast<char>(0xE0 | (unit >> 12));
            out[used++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out[used++] = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    out[used] = '\0';
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
