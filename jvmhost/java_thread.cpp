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

jobject CallOn(JNIEnv* env, jobject target, const char* className, const char* method,
               const char* signature, const jvalue* args) {
    if (target == nullptr) {
        return nullptr;
    }
    jclass owner = env->FindClass(className);
    jmethodID id = owner != nullptr ? env->GetMethodID(owner, method, signature) : nullptr;
    jobject result = id != nullptr ? env->CallObjectMethodA(target, id, args) : nullptr;
    // Checked before any other call, as JNI asks; the exception stays pending.
    if (env->ExceptionCheck()) {
        result = nullptr;
    }
    if (owner != nullptr) {
        env->DeleteLocalRef(owner);
    }
    return result;
}

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

namespace {

// Appends `thrown`'s toString; false when it could not be had.
bool AppendThrownText(JNIEnv* env, jobject thrown, WideText* words) {
    jobject text =
        CallOn(env, thrown, "java/lang/Object", "toString", "()Ljava/lang/String;", nullptr);
    const bool appended = text != nullptr && !env->ExceptionCheck() &&
                          AppendJavaText(env, static_cast<jstring>(text), words);
    env->ExceptionClear();
    if (text != nullptr) {
        env->DeleteLocalRef(text);
    }
    return appended;
}

}  // namespace

void TakePendingWords(JNIEnv* env, PendingWords how, WideText* words) {
    words->Cut(0);
    jthrowable thrown = env->ExceptionOccurred();
    if (how == PendingWords::kDescribed) {
        env->ExceptionDescribe();
    }
    env->ExceptionClear();
    if (!AppendThrownText(env, thrown, words)) {
        words->Cut(0);
        words->Append(L"the runtime threw an exception it could not describe");
    }
    // Null when nothing was pending: no cause then.
    jobject cause =
        CallOn(env, thrown, "java/lang/Throwable", "getCause", "()Ljava/lang/Throwable;", nullptr);
    env->ExceptionClear();
    if (cause != nullptr) {
        const size_t before = words->length;
        if (!words->Append(L"; caused by ") || !AppendThrownText(env, cause, words)) {
            words->Cut(before);
        }
        env->DeleteLocalRef(cause);
    }
    if (thrown != nullptr) {
        env->DeleteLocalRef(thrown);
    }
    words->Cut(kRuntimeWordsUnits);
}
