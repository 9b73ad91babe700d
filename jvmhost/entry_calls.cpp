#include "jvmhost/runtime_host.h"

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

}  // namespace

void RuntimeHost::CallServiceMain() {
    if (jniEnv == nullptr) {
        if (!StartRefused()) {
            Report(0, L"The JVM is not initialized.");
        }
        return;
    }
    const EntryPoint entry = FindEntryPoint(jniEnv, kMainMethod, kMainSignature);
    if (entry.method == nullptr) {
        Report(0, L"Can not find entry point:\n");
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
        Report(0, L"Can not find entry point:\n");
        return;
    }
    env->CallStaticVoidMethod(entry.mainClass, entry.method);
}
