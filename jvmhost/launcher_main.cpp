#include "jvmhost/launcher_main.h"

#include "jvmhost/java_thread.h"

namespace {

const char kHelperClass[] = "sun/launcher/LauncherHelper";
const char kCheckSignature[] = "(ZILjava/lang/String;)Ljava/lang/Class;";
const char kMain[] = "main";
const char kConstructor[] = "<init>";
const char kNoArguments[] = "()V";
const char kStringArray[] = "([Ljava/lang/String;)V";

// A static boolean of the helper; `absent` where the runtime has no such field.
bool HelperFlag(JNIEnv* env, jclass helper, const char* name, bool absent) {
    jfieldID field = env->GetStaticFieldID(helper, name, "Z");
    if (field == nullptr) {
        // NoSuchFieldError: a runtime before Java 25.
        env->ExceptionClear();
        return absent;
    }
    return env->GetStaticBooleanField(helper, field) != JNI_FALSE;
}

}  // namespace

LauncherHelper FindLauncherHelper(JNIEnv* env) {
    const StaticMethod found = FindStatic(env, kHelperClass, "checkAndLoadMain", kCheckSignature);
    if (found.id == nullptr) {
        env->ExceptionClear();
        return {nullptr, nullptr};
    }
    return {found.cls, found.id};
}

jclass CheckAndLoadMain(JNIEnv* env, const LauncherHelper& helper, LaunchMode mode,
                        const wchar_t* what) {
    jvalue args[3];
    args[0].z = JNI_TRUE;  // the helper's words go to standard error
    args[1].i = static_cast<jint>(mode);
    args[2].l = NewJavaString(env, what);
    if (args[2].l == nullptr) {
        return nullptr;
    }
    const StaticMethod check = {helper.cls, helper.checkAndLoadMain, kCheckSignature};
    jclass cls = static_cast<jclass>(CallStatic(env, check, args).value.l);
    env->DeleteLocalRef(args[2].l);
    return cls;
}

MainKind AskMainKind(JNIEnv* env, const LauncherHelper& helper) {
    if (helper.cls == nullptr) {
        return {true, false};
    }
    return {HelperFlag(env, helper.cls, "isStaticMain", true),
            HelperFlag(env, helper.cls, "noArgMain", false)};
}

// As JavaMain: each lookup, and the object of an instance main, checked
// before the next step; an exception main ends with stays pending.
MainEnd CallMain(JNIEnv* env, jclass cls, MainKind kind, jobjectArray arguments) {
    const char* signature = kind.noArguments ? kNoArguments : kStringArray;
    jvalue argument[1];
    argument[0].l = arguments;
    const jvalue* args = kind.noArguments ? nullptr : argument;
    if (kind.isStatic) {
        jmethodID main = env->GetStaticMethodID(cls, kMain, signature);
        if (main == nullptr) {
            return MainEnd::kNotFound;
        }
        env->CallStaticVoidMethodA(cls, main, args);
    } else {
        jmethodID constructor = env->GetMethodID(cls, kConstructor, kNoArguments);
        if (constructor == nullptr) {
            return MainEnd::kNotFound;
        }
        jobject object = env->NewObjectA(cls, constructor, nullptr);
        if (object == nullptr) {
            return MainEnd::kThrew;
        }
        jmethodID main = env->GetMethodID(cls, kMain, signature);
        if (main == nullptr) {
            return MainEnd::kNotFound;
        }
        env->CallVoidMethodA(object, main, args);
    }
    return env->ExceptionCheck() ? MainEnd::kThrew : MainEnd::kReturned;
}
