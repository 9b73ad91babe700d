#include "jvmhost/runtime_host.h"

#include "jvmhost/launch_options.h"
#include "jvmhost/wide_text.h"

namespace {

const char kMainClass[] = "com/merivast/agent/MerivastMain";
const char kMainMethod[] = "serviceMain";
const char kMainSignature[] = "(Ljava/lang/String;)V";
const char kStopMethod[] = "serviceStop";
const char kStopSignature[] = "()V";

// Detaches the calling thread from the VM on every path out of a stop call.
struct ThreadAttachment {
    explicit ThreadAttachment(JavaVM* vm) : javaVm(vm) {}
    ~ThreadAttachment() { javaVm->DetachCurrentThread(); }
    ThreadAttachment(const ThreadAttachment&) = delete;
    ThreadAttachment& operator=(const ThreadAttachment&) = delete;
    JavaVM* javaVm;  // weak
};

// The application's class and one of its static methods, looked up through
// `env`; a null method when either is missing (an exception is then pending).
struct EntryPoint {
    jclass mainClass;
    jmethodID method;
};

EntryPoint FindEntryPoint(JNIEnv* env, const char* name, const char* signature) {
    EntryPoint entry = {env->FindClass(kMainClass), nullptr};
    if (entry.mainClass != nullptr) {
        entry.method = env->GetStaticMethodID(entry.mainClass, name, signature);
    }
    return entry;
}

// An event holds about 32,000 characters; a lib folder with more jars than fit
// is shown by its first ones.
constexpr size_t kShownJarNamesUnits = 16000;

}  // namespace

void RuntimeHost::ReportEntryNotFound(bool classFound, const wchar_t* method) const {
    if (errorSink == nullptr) {
        return;
    }
    // Nothing is reported when memory ran out.
    WideText jars;
    WideText message;
    if (!AppendJarNames(installDir, &jars)) {
        return;
    }
    if (jars.length > kShownJarNamesUnits) {
        jars.Cut(kShownJarNamesUnits);
        if (!jars.Append(L", ...")) {
            return;
        }
    }
    bool built =
        message.Append(L"Looked for the class com.merivast.agent.MerivastMain, with its ") &&
        message.Append(method);
    if (jars.length == 0) {
        built = built && message.Append(L", but ") && message.Append(installDir) &&
                message.Append(L"\\lib holds no jar: put the application's jar there.");
    } else {
        built = built && message.Append(L", in the jars of ") && message.Append(installDir) &&
                message.Append(L"\\lib: ") && message.Append(jars.Chars());
        if (classFound) {
            built =
                built &&
                message.Append(L". The class is there without that method: declare it public ") &&
                message.Append(method) && message.Append(L".");
        } else {
            built =
                built && message.Append(
                             L". The class is in none of them: put the application's jar in lib.");
        }
        built = built && message.Append(L" The runtime's description is in logs\\stderr.log.");
    }
    if (built) {
        errorSink(0, message.Chars());
    }
}

void RuntimeHost::CallServiceMain() {
    if (jniEnv == nullptr) {
        if (!StartRefused()) {
            Report(0, L"The JVM is not initialized.");
        }
        return;
    }
    const EntryPoint entry = FindEntryPoint(jniEnv, kMainMethod, kMainSignature);
    if (entry.method == nullptr) {
        // Described while it is pending: the tear-down would drop it unseen.
        jniEnv->ExceptionDescribe();
        Report(0, L"Can not find entry point:\n");
        ReportEntryNotFound(entry.mainClass != nullptr, kServiceMainText);
        failure = kHostEntryPointMissing;
        return;
    }
    jstring argument =
        jniEnv->NewString(reinterpret_cast<const jchar*>(installDir), lstrlenW(installDir));
    if (argument == nullptr) {
        // An OutOfMemoryError is pending; calling Java with it pending is
        // undefined, so the application does not start.
        failure = kHostApplicationNotStarted;
        return;
    }
    jniEnv->CallStaticVoidMethod(entry.mainClass, entry.method, argument);
    if (jniEnv->ExceptionCheck()) {
        jniEnv->ExceptionDescribe();
        failure = kHostJavaException;
        Report(0, L"serviceMain ended with an exception; its stack trace is in logs\\stderr.log.");
    }
}

void RuntimeHost::CallServiceStop() {
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
    const EntryPoint entry = FindEntryPoint(env, kStopMethod, kStopSignature);
    if (entry.method == nullptr) {
        // Described before the detach, which would drop it unseen.
        env->ExceptionDescribe();
        Report(0, L"Can not find entry point:\n");
        ReportEntryNotFound(entry.mainClass != nullptr, kServiceStopText);
        return;
    }
    env->CallStaticVoidMethod(entry.mainClass, entry.method);
}
