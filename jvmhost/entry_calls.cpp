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

}  // namespace

void RuntimeHost::CallServiceMain() {
    if (jniEnv == nullptr) {
        Report(0, L"The JVM is not initialized.");
        return;
    }
    jclass mainClass = jniEnv->FindClass(kMainClass);
    jmethodID method = mainClass != nullptr
                           ? jniEnv->GetStaticMethodID(mainClass, kMainMethod, kMainSignature)
                           : nullptr;
    if (method == nullptr) {
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
    jniEnv->CallStaticVoidMethod(mainClass, method, argument);
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
    jclass mainClass = env->FindClass(kMainClass);
    jmethodID method = mainClass != nullptr
                           ? env->GetStaticMethodID(mainClass, kStopMethod, kStopSignature)
                           : nullptr;
    if (method == nullptr) {
        Report(0, L"Can not find entry point:\n");
        return;
    }
    env->CallStaticVoidMethod(mainClass, method);
}
