// The floor of a runtime host, for the benchmarks: a service of a few lines
// that does only what hosting a Java application takes. It reports running,
// loads jre\bin\client\jvm.dll below its folder, creates the VM with
// lib\app.jar as the class path and calls
// com.merivast.agent.MerivastMain.serviceMain(<its folder>) on the service's
// thread, as the host does; at a stop, a thread made before that call
// attaches as a daemon and calls serviceStop, and once serviceMain has
// returned the VM is destroyed and stopped is reported. Nothing else: no
// conf\, no console files, no events, no watch, no checks.
#include <windows.h>

#include <jni.h>

namespace {

SERVICE_STATUS_HANDLE handle;
SERVICE_STATUS status = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE stopRequested;
JavaVM* vm;
jclass mainClass;  // a global reference

void Report(DWORD state) {
    status.dwCurrentState = state;
    SetServiceStatus(handle, &status);
}

void WINAPI Handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(stopRequested);
    }
}

DWORD WINAPI CallStop(void* /*unused*/) {
    WaitForSingleObject(stopRequested, INFINITE);
    JNIEnv* env = nullptr;
    if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
        return 1;
    }
    jmethodID stop = env->GetStaticMethodID(mainClass, "serviceStop", "()V");
    if (stop != nullptr) {
        env->CallStaticVoidMethod(mainClass, stop);
    }
    env->ExceptionClear();
    vm->DetachCurrentThread();
    return 0;
}

void RunApplication(const wchar_t* dir) {
    wchar_t library[MAX_PATH + 32];
    lstrcpyW(library, dir);
    lstrcatW(library, L"\\jre\\bin\\client\\jvm.dll");
    const auto create = reinterpret_cast<decltype(&JNI_CreateJavaVM)>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryW(library), "JNI_CreateJavaVM")));
    char classPath[2 * MAX_PATH + 64] = "-Djava.class.path=";
    const int used = lstrlenA(classPath);
    WideCharToMultiByte(CP_ACP, 0, dir, -1, classPath + used, MAX_PATH * 2, nullptr, nullptr);
    lstrcatA(classPath, "\\lib\\app.jar");
    JavaVMOption options[] = {{classPath, nullptr}};
    JavaVMInitArgs args = {JNI_VERSION_1_6, 1, options, JNI_FALSE};
    JNIEnv* env = nullptr;
    if (create == nullptr || create(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        return;
    }
    jclass found = env->FindClass("com/merivast/agent/MerivastMain");
    jmethodID main = found != nullptr
                         ? env->GetStaticMethodID(found, "serviceMain", "(Ljava/lang/String;)V")
                         : nullptr;
    if (main != nullptr) {
        mainClass = static_cast<jclass>(env->NewGlobalRef(found));
        CloseHandle(CreateThread(nullptr, 0, CallStop, nullptr, 0, nullptr));
        jstring argument = env->NewString(reinterpret_cast<const jchar*>(dir), lstrlenW(dir));
        env->CallStaticVoidMethod(found, main, argument);
    }
    env->ExceptionClear();
    vm->DestroyJavaVM();
}

void WINAPI Main(DWORD, LPWSTR*) {
    handle = RegisterServiceCtrlHandlerW(L"MinimalHost", Handler);
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    wchar_t dir[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, dir, MAX_PATH);
    for (DWORD i = length; i > 0; --i) {
        if (dir[i - 1] == L'\\') {
            dir[i - 1] = L'\0';
            break;
        }
    }
    RunApplication(dir);
    Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"MinimalHost";
    SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
