#include "jvmhost/class_lookup.h"

#include "jvmhost/java_thread.h"

namespace {

const char kClassClass[] = "java/lang/Class";
const char kLoaderClass[] = "java/lang/ClassLoader";
const char kMethodClass[] = "java/lang/reflect/Method";
// java.lang.reflect.Modifier.STATIC
constexpr jint kStaticModifier = 0x0008;
// The bytes of a URL's file name: each unit of a Windows file name becomes
// at most three bytes of UTF-8, each byte at most three characters ("%20").
constexpr size_t kUrlNameBytes = 3 * MAX_PATH;

jobject SystemClassLoader(JNIEnv* env) {
    return CallStatic(env, kLoaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;",
                      nullptr)
        .value.l;
}

void DeleteLocal(JNIEnv* env, jobject object) {
    if (object != nullptr) {
        env->DeleteLocalRef(object);
    }
}

// Class.getMethod(name, new Class[] {parameter}); null with the exception
// pending when there is none.
jobject GetPublicMethod(JNIEnv* env, jclass cls, const wchar_t* name, const char* parameterClass) {
    jclass parameter = env->FindClass(parameterClass);
    jclass classClass = parameter != nullptr ? env->FindClass(kClassClass) : nullptr;
    jvalue args[2];
    args[1].l = classClass != nullptr ? env->NewObjectArray(1, classClass, parameter) : nullptr;
    args[0].l = args[1].l != nullptr ? NewJavaString(env, name) : nullptr;
    jobject method =
        args[0].l != nullptr
            ? CallOn(env, cls, kClassClass, "getMethod",
                     "(Ljava/lang/String;[Ljava/lang/Class;)Ljava/lang/reflect/Method;", args)
            : nullptr;
    for (jobject made : {static_cast<jobject>(parameter), static_cast<jobject>(classClass),
                         args[0].l, args[1].l}) {
        DeleteLocal(env, made);
    }
    return method;
}

// Whether `method` is static and returns void: its modifiers, and the name of
// its return type.
bool IsStaticVoid(JNIEnv* env, jobject method) {
    jclass methodClass = env->FindClass(kMethodClass);
    jmethodID modifiers =
        methodClass != nullptr ? env->GetMethodID(methodClass, "getModifiers", "()I") : nullptr;
    const jint flags = modifiers != nullptr ? env->CallIntMethodA(method, modifiers, nullptr) : 0;
    // Checked before any other call, as JNI asks.
    const bool isStatic = !env->ExceptionCheck() && (flags & kStaticModifier) != 0;
    DeleteLocal(env, methodClass);
    jobject returned = isStatic ? CallOn(env, method, kMethodClass, "getReturnType",
                                         "()Ljava/lang/Class;", nullptr)
                                : nullptr;
    jobject name = CallOn(env, returned, kClassClass, "getName", "()Ljava/lang/String;", nullptr);
    WideText text;
    const bool isVoid = name != nullptr && AppendJavaText(env, static_cast<jstring>(name), &text) &&
                        lstrcmpW(text.Chars(), L"void") == 0;
    DeleteLocal(env, returned);
    DeleteLocal(env, name);
    return isVoid;
}

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// The file name of a class path URL's jar: the text before "!/", after the
// last '/', its %XX escapes (UTF-8 bytes) decoded.
bool JarNameOfUrl(const wchar_t* url, wchar_t (&jar)[MAX_PATH]) {
    const wchar_t* end = url;
    while (*end != L'\0' && !(end[0] == L'!' && end[1] == L'/')) {
        ++end;
    }
    const wchar_t* begin = end;
    while (begin > url && begin[-1] != L'/') {
        --begin;
    }
    char bytes[kUrlNameBytes];
    const int count = *end == L'\0' || end == begin || end - begin > MAX_PATH
                          ? 0
                          : WideCharToMultiByte(CP_UTF8, 0, begin, static_cast<int>(end - begin),
                                                bytes, ARRAYSIZE(bytes), nullptr, nullptr);
    int decoded = 0;
    for (int i = 0; i < count; ++i, ++decoded) {
        const int high = bytes[i] == '%' && i + 2 < count ? HexDigit(bytes[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(bytes[i + 2]) : -1;
        bytes[decoded] = low >= 0 ? static_cast<char>(high * 16 + low) : bytes[i];
        i += low >= 0 ? 2 : 0;
    }
    // MultiByteToWideChar gives 0 when the name does not fit.
    const int units = decoded == 0 ? 0
                                   : MultiByteToWideChar(CP_UTF8, 0, bytes, decoded, jar,
                                                         static_cast<int>(ARRAYSIZE(jar)) - 1);
    jar[units] = L'\0';
    return units > 0;
}

}  // namespace

jclass LoadUninitialised(JNIEnv* env, const wchar_t* name) {
    jvalue args[3];
    args[0].l = NewJavaString(env, name);
    args[1].z = JNI_FALSE;
    args[2].l = args[0].l != nullptr ? SystemClassLoader(env) : nullptr;
    jclass cls = args[2].l != nullptr
                     ? static_cast<jclass>(CallStatic(env, kClassClass, "forName",
                                                      "(Ljava/lang/String;ZLjava/lang/ClassLoader;)"
                                                      "Ljava/lang/Class;",
                                                      args)
                                               .value.l)
                     : nullptr;
    DeleteLocal(env, args[0].l);
    DeleteLocal(env, args[2].l);
    return cls;
}

PublicMethod FindPublicMethod(JNIEnv* env, jclass cls, const wchar_t* name,
                              const char* parameterClass, WideText* words) {
    jobject method = GetPublicMethod(env, cls, name, parameterClass);
    if (method == nullptr) {
        TakePendingWords(env, PendingWords::kCleared, words);
        return words->BeginsWith(L"java.lang.NoSuchMethodException") ? PublicMethod::kMissing
                                                                     : PublicMethod::kFailed;
    }
    const bool staticVoid = IsStaticVoid(env, method);
    env->DeleteLocalRef(method);
    if (env->ExceptionCheck()) {
        TakePendingWords(env, PendingWords::kCleared, words);
        return PublicMethod::kFailed;
    }
    return staticVoid ? PublicMethod::kStaticVoid : PublicMethod::kOtherKind;
}

bool FindHoldingJar(JNIEnv* env, const wchar_t* name, wchar_t (&jar)[MAX_PATH]) {
    // The class file's resource name: '/' between packages, ".class" after.
    WideText resource;
    bool found = resource.Append(name) && resource.Append(L".class");
    for (size_t i = 0; found && i + 6 < resource.length; ++i) {
        if (resource.chars[i] == L'.') {
            resource.chars[i] = L'/';
        }
    }
    jvalue args[1];
    args[0].l = found ? NewJavaString(env, resource.Chars()) : nullptr;
    jobject loader = args[0].l != nullptr ? SystemClassLoader(env) : nullptr;
    jobject url = CallOn(env, loader, kLoaderClass, "getResource",
                         "(Ljava/lang/String;)Ljava/net/URL;", args);
    jobject text =
        CallOn(env, url, "java/lang/Object", "toString", "()Ljava/lang/String;", nullptr);
    WideText urlText;
    found = text != nullptr && !env->ExceptionCheck() &&
            AppendJavaText(env, static_cast<jstring>(text), &urlText) &&
            JarNameOfUrl(urlText.Chars(), jar);
    env->ExceptionClear();
    for (jobject made : {args[0].l, loader, url, text}) {
        DeleteLocal(env, made);
    }
    return found;
}

bool AppendClassName(JNIEnv* env, jclass cls, WideText* name) {
    jobject text = CallOn(env, cls, kClassClass, "getName", "()Ljava/lang/String;", nullptr);
    const bool appended = text != nullptr && !env->ExceptionCheck() &&
                          AppendJavaText(env, static_cast<jstring>(text), name);
    env->ExceptionClear();
    DeleteLocal(env, text);
    return appended;
}
