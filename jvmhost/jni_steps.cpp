// The JNI steps the application's hosting is made of.
#include "base/wide_text.h"
#include "jvmhost/launch_options.h"
#include "jvmhost/main_args.h"
#include "jvmhost/runtime_host.h"

namespace {

const char kStringClass[] = "java/lang/String";
const char kSystemClass[] = "java/lang/System";
const char kExitMethod[] = "exit";
const char kExitSignature[] = "(I)V";

// What RunOnMainThread hands its thread, and what it gets back.
struct MainThreadStart {
    RuntimeHost* host;           // weak
    const MainThreadWork* work;  // weak
    CallEnd end;
};

// Detaches the calling thread from the VM on every path out of a call from
// another thread.
struct ThreadAttachment {
    explicit ThreadAttachment(JavaVM* vm) : javaVm(vm) {}
    ~ThreadAttachment() { javaVm->DetachCurrentThread(); }
    ThreadAttachment(const ThreadAttachment&) = delete;
    ThreadAttachment& operator=(const ThreadAttachment&) = delete;
    JavaVM* javaVm;  // weak
};

// The static method `name` of `className`, looked up through `env`; a null
// method when either is missing (an exception is then pending).
JavaEntry FindStatic(JNIEnv* env, const char* className, const char* name, const char* signature) {
    JavaEntry entry = {env->FindClass(className), nullptr};
    if (entry.mainClass != nullptr) {
        entry.method = env->GetStaticMethodID(entry.mainClass, name, signature);
    }
    return entry;
}

// An event holds about 32,000 characters; a lib folder with more jars than fit
// is shown by its first ones.
constexpr size_t kShownJarNamesUnits = 16000;

// main(String[])'s argument: a String[] of `arguments`; null when memory ran
// out (an exception is then pending).
jobjectArray NewArgumentArray(JNIEnv* env, const MainArguments& arguments) {
    jclass stringClass = env->FindClass(kStringClass);
    if (stringClass == nullptr) {
        return nullptr;
    }
    jobjectArray array =
        env->NewObjectArray(static_cast<jsize>(arguments.count), stringClass, nullptr);
    for (size_t i = 0; array != nullptr && i < arguments.count; ++i) {
        const wchar_t* text = arguments.Argument(i);
        jstring argument = env->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
        if (argument == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), argument);
        env->DeleteLocalRef(argument);
    }
    return array;
}

// How the call ended, the exception left pending.
CallEnd EndOfCallPending(JNIEnv* env) {
    return env->ExceptionCheck() ? CallEnd::kThrew : CallEnd::kReturned;
}

// An exception the call ended with is described to standard error while it
// is pending: the application's end would drop it unseen.
CallEnd EndOfCall(JNIEnv* env) {
    if (!env->ExceptionCheck()) {
        return CallEnd::kReturned;
    }
    env->ExceptionDescribe();
    return CallEnd::kThrew;
}

}  // namespace

void RuntimeHost::DescribeEntrySearch(bool classFound, const EntryMethodsText& methods) const {
    if (errorSink == nullptr) {
        return;
    }
    // Nothing is reported when memory ran out.
    WideText jars;
    WideText message;
    if (!AppendJarNames(layout->installDir, &jars)) {
        return;
    }
    if (jars.length > kShownJarNamesUnits) {
        jars.Cut(kShownJarNamesUnits);
        if (!jars.Append(L", ...")) {
            return;
        }
    }
    const wchar_t* const head[] = {L"Looked for the class ", mainClassName, L", with its ",
                                   methods.lookedFor};
    const wchar_t* const noJar[] = {L", but ", layout->installDir,
                                    L"\\lib holds no jar: put the application's jar there."};
    const wchar_t* const inJars[] = {
        L", in the jars of ",
        layout->installDir,
        L"\\lib: ",
        jars.Chars(),
        L". ",
        classFound ? methods.advice
                   : L"The class is in none of them: put the application's jar in lib.",
        L" The runtime's description is in logs\\stderr.log."};
    if (message.Append(head) &&
        (jars.length == 0 ? message.Append(noJar) : message.Append(inJars))) {
        errorSink(0, message.Chars());
    }
}

void RuntimeHost::ReportMissingVm() const {
    if (!StartRefused()) {
        Report(0, L"The JVM is not initialized.");
    }
}

jclass RuntimeHost::FindMainClass() {
    return jniEnv->FindClass(mainClassJni);
}

jmethodID RuntimeHost::FindStaticMethod(jclass mainClass, const char* name, const char* signature) {
    return jniEnv->GetStaticMethodID(mainClass, name, signature);
}

void RuntimeHost::ForgetPendingException() {
    jniEnv->ExceptionClear();
}

void RuntimeHost::ReportEntryMissing(bool classFound, const EntryMethodsText& methods) {
    // Described while it is pending: the tear-down would drop it unseen.
    jniEnv->ExceptionDescribe();
    Report(0, L"Can not find entry point:\n");
    DescribeEntrySearch(classFound, methods);
    outcome = Outcome::kEntryPointMissing;
}

// Calling Java with an exception pending is undefined: an argument that could
// not be made (memory ran out) means the application is not called.
CallEnd RuntimeHost::CallWithString(const JavaEntry& entry, const wchar_t* text) {
    jstring argument = jniEnv->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
    if (argument == nullptr) {
        return CallEnd::kNotCalled;
    }
    jniEnv->CallStaticVoidMethod(entry.mainClass, entry.method, argument);
    return EndOfCall(jniEnv);
}

CallEnd RuntimeHost::CallWithStrings(const JavaEntry& entry, const MainArguments& arguments) {
    jobjectArray array = NewArgumentArray(jniEnv, arguments);
    if (array == nullptr) {
        return CallEnd::kNotCalled;
    }
    jniEnv->CallStaticVoidMethod(entry.mainClass, entry.method, array);
    return EndOfCallPending(jniEnv);
}

jclass RuntimeHost::KeepClass(jclass cls) {
    return static_cast<jclass>(jniEnv->NewGlobalRef(cls));
}

jclass RuntimeHost::FindClassNamed(const char* jniName) {
    return jniEnv->FindClass(jniName);
}

jobject RuntimeHost::CallForObject(const JavaEntry& entry, bool flag, jint number,
                                   const wchar_t* text) {
    jstring argument = jniEnv->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
    if (argument == nullptr) {
        return nullptr;
    }
    jobject result = jniEnv->CallStaticObjectMethod(entry.mainClass, entry.method,
                                                    flag ? JNI_TRUE : JNI_FALSE, number, argument);
    // Checked before any other call, as JNI asks; the exception stays pending.
    return jniEnv->ExceptionCheck() ? nullptr : result;
}

DWORD WINAPI RuntimeHost::MainThreadEntry(void* start) {
    MainThreadStart* main = static_cast<MainThreadStart*>(start);
    main->end = main->host->RunAsMainThread(*main->work);
    return 0;
}

// The main thread: takes no lock of the host's; waits inside the application
// and in DestroyJavaVM for as long as they take (the stop deadline bounds the
// service, not this thread).
CallEnd RuntimeHost::RunAsMainThread(const MainThreadWork& work) {
    JavaVMAttachArgs args = {JNI_VERSION_1_6, const_cast<char*>("main"), nullptr};
    JNIEnv* env = nullptr;
    CallEnd end = CallEnd::kNotCalled;
    if (javaVm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) == JNI_OK &&
        env != nullptr) {
        jniEnv = env;
        end = work.run(*this, work.self);
        // As the launcher does: the thread ends with its exception pending,
        // which the VM hands to the thread's uncaught-exception handler, and a
        // thread that joins it finds it ended.
        jniEnv = nullptr;
        javaVm->DetachCurrentThread();
    }
    DestroyVm();
    return end;
}

CallEnd RuntimeHost::RunOnMainThread(size_t stackBytes, const MainThreadWork& work) {
    // The creating thread holds no Java frame, so it may leave; the VM lives on.
    EndCreatingThreadUse();
    javaVm->DetachCurrentThread();
    MainThreadStart start = {this, &work, CallEnd::kNotCalled};
    ScopedHandle thread(CreateThread(nullptr, stackBytes, MainThreadEntry, &start,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread.IsValid()) {
        return RunAsMainThread(work);
    }
    WaitForSingleObject(thread.Get(), INFINITE);
    return start.end;
}

bool RuntimeHost::WaitForVmEnd(DWORD waitMs) const {
    return vmEnded.IsValid() && WaitForSingleObject(vmEnded.Get(), waitMs) == WAIT_OBJECT_0;
}

bool RuntimeHost::EndCreatingThreadUse() {
    const bool pending = jniEnv != nullptr && jniEnv->ExceptionCheck();
    if (pending) {
        jniEnv->ExceptionClear();
    }
    jniEnv = nullptr;
    return pending;
}

void RuntimeHost::DestroyVm() {
    EndCreatingThreadUse();
    if (javaVm != nullptr && !vmDestroyed) {
        javaVm->DestroyJavaVM();
    }
    // javaVm stays: a stop that raced the application's own end may still
    // attach through it, and a runtime answers that with JNI_ERR.
    vmDestroyed = true;
    if (vmEnded.IsValid()) {
        SetEvent(vmEnded.Get());
    }
}

void RuntimeHost::CallFromOwnThread(const char* method, const char* signature,
                                    const EntryMethodsText& missing) {
    if (javaVm == nullptr) {
        Report(0, L"The JVM is not initialized.");
        return;
    }
    JNIEnv* env = nullptr;
    javaVm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    ThreadAttachment attachment(javaVm);
    if (env == nullptr) {
        return;
    }
    const JavaEntry entry = FindStatic(env, mainClassJni, method, signature);
    if (entry.method == nullptr) {
        // Described before the detach, which would drop it unseen.
        env->ExceptionDescribe();
        Report(0, L"Can not find entry point:\n");
        DescribeEntrySearch(entry.mainClass != nullptr, missing);
        return;
    }
    env->CallStaticVoidMethod(entry.mainClass, entry.method);
}

CallEnd RuntimeHost::CallWithStringsFromOwnThread(const wchar_t* className, const wchar_t* method,
                                                  const char* signature,
                                                  const MainArguments& arguments) {
    JNIEnv* env = nullptr;
    if (javaVm == nullptr ||
        javaVm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK ||
        env == nullptr) {
        return CallEnd::kNotCalled;
    }
    ThreadAttachment attachment(javaVm);
    char classJni[kMainClassJniBytes];
    char methodJni[kMainClassJniBytes];
    ToJniClassName(className, classJni);
    ToJniClassName(method, methodJni);
    const JavaEntry entry = FindStatic(env, classJni, methodJni, signature);
    jobjectArray array = entry.method != nullptr ? NewArgumentArray(env, arguments) : nullptr;
    if (array == nullptr) {
        env->ExceptionDescribe();
        return CallEnd::kNotCalled;
    }
    env->CallStaticVoidMethod(entry.mainClass, entry.method, array);
    return EndOfCall(env);
}

void RuntimeHost::CallSystemExit(jint status) {
    if (javaVm == nullptr) {
        return;
    }
    // An attach that fails finds a VM that has ended by itself: nothing to
    // detach, nothing to ask.
    JNIEnv* env = nullptr;
    if (javaVm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK ||
        env == nullptr) {
        return;
    }
    ThreadAttachment attachment(javaVm);
    const JavaEntry entry = FindStatic(env, kSystemClass, kExitMethod, kExitSignature);
    if (entry.method == nullptr) {
        env->ExceptionDescribe();
        return;
    }
    env->CallStaticVoidMethod(entry.mainClass, entry.method, status);
}
