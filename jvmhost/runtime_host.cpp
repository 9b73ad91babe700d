#include "jvmhost/runtime_host.h"

#include <strsafe.h>

#include "jvmhost/launch_options.h"
#include "jvmhost/runtime_preflight.h"
#include "jvmhost/runtime_words.h"
#include "jvmhost/user_options.h"
#include "service/install_dir.h"
#include "service/process_heap.h"

namespace {

using CreateJavaVmFunction = decltype(&JNI_CreateJavaVM);

template <typename Function>
Function FindExport(HMODULE module, const char* name) {
    // Through a plain function type, so -Wcast-function-type stays quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// "<jre>\bin" of a "<jre>\bin\<vm>\jvm.dll" path.
void RuntimeBinDir(const wchar_t* dllPath, wchar_t (&binDir)[kJvmPathUnits]) {
    StringCchCopyW(binDir, kJvmPathUnits, dllPath);
    CutAtLastSeparator(binDir);  // jvm.dll
    CutAtLastSeparator(binDir);  // the VM's folder
}

// Real runtimes keep the C runtime that jvm.dll imports in "<jre>\bin", and
// load more of their own libraries later by full path with a plain
// LoadLibrary (imaging, fonts, networking, the application's native
// libraries), whose imports lie there too. A plain load searches neither that
// folder nor the library's own. So "<jre>\bin" goes on the process's search
// path before jvm.dll loads and stays there for the VM's whole life, which
// also takes the current directory out of the search. This first load also
// searches jvm.dll's own folder; a system that does not know these flags
// refuses them, and the plain load follows.
HMODULE LoadRuntimeLibrary(const wchar_t* dllPath, DWORD* error) {
    wchar_t binDir[kJvmPathUnits];
    RuntimeBinDir(dllPath, binDir);
    SetDllDirectoryW(binDir);
    // The default folders include the one SetDllDirectoryW names.
    HMODULE module = LoadLibraryExW(
        dllPath, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module != nullptr) {
        return module;
    }
    module = LoadLibraryW(dllPath);
    *error = GetLastError();
    return module;
}

void ReportLoadFailure(DWORD error, const wchar_t* dllPath, ErrorSink sink) {
    wchar_t message[kLoadErrorUnits] = {};
    // Without an argument list, insertion points are kept as they are rather
    // than read from arguments that do not exist. A failure leaves the text
    // empty, so the message then begins with the blank line.
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   message, kSystemTextUnits, nullptr);
    if (sink == nullptr) {
        return;
    }
    StringCchCatW(message, kLoadErrorUnits, L"\n\n");
    StringCchCatW(message, kLoadErrorUnits, L"Failed to load jvm dll:\n");
    StringCchCatW(message, kLoadErrorUnits, dllPath);
    sink(0, message);
}

void JvmPath(const wchar_t* jreDir, const wchar_t* vm, wchar_t (&path)[kJvmPathUnits]) {
    StringCchCopyW(path, kJvmPathUnits, jreDir);
    StringCchCatW(path, kJvmPathUnits, L"\\bin\\");
    StringCchCatW(path, kJvmPathUnits, vm);
    StringCchCatW(path, kJvmPathUnits, L"\\jvm.dll");
}

// "bin\client\jvm.dll", or "bin\server\jvm.dll" when only that one exists:
// every 64-bit runtime, and many current 32-bit ones, ship only a server VM.
// With neither, the client library, the one a load error then names.
void ChooseRuntimeLibrary(const wchar_t* jreDir, wchar_t (&path)[kJvmPathUnits]) {
    JvmPath(jreDir, L"client", path);
    if (IsFile(path)) {
        return;
    }
    wchar_t server[kJvmPathUnits];
    JvmPath(jreDir, L"server", server);
    if (IsFile(server)) {
        StringCchCopyW(path, kJvmPathUnits, server);
    }
}

// The VM's option array: the host's own options, then the operator's.
struct OptionArray {
    OptionArray() = default;
    ~OptionArray() { FreeBytes(items); }
    OptionArray(const OptionArray&) = delete;
    OptionArray& operator=(const OptionArray&) = delete;

    bool Reserve(size_t capacity) {
        items = static_cast<JavaVMOption*>(
            AllocateBytes(capacity * sizeof(JavaVMOption), HEAP_ZERO_MEMORY));
        room = items != nullptr ? capacity : 0;
        return items != nullptr;
    }
    void Add(const char* text, void* extraInfo = nullptr) {
        if (static_cast<size_t>(count) < room) {
            items[count].optionString = const_cast<char*>(text);
            items[count].extraInfo = extraInfo;
            ++count;
        }
    }

    JavaVMOption* items = nullptr;
    size_t room = 0;
    jint count = 0;
};

// The host's three, and the runtime's vfprintf hook after the operator's.
constexpr size_t kHostOptionCount = 4;
// The runtime's exit and abort hooks, between the operator's options and vfprintf.
constexpr size_t kHookOptionCount = 2;

// The reactions the hooks below pass the runtime's end to. Written by the
// host's constructor before the runtime exists, read by the runtime's threads
// afterwards.
RuntimeEndReactions endReactionsOfProcess = {};

// The runtime's standard hooks, with the types its headers give them. They
// take no lock of the host and pass straight on.
void JNICALL ExitHook(jint status) {
    if (endReactionsOfProcess.onExit != nullptr) {
        endReactionsOfProcess.onExit(status);
    }
}

// 1 while JNI_CreateJavaVM runs. Written by the creating thread around the
// call, read by the abort hook on whatever thread the runtime calls it.
volatile LONG vmCreationUnderWay = 0;

void JNICALL AbortHook() {
    if (endReactionsOfProcess.onAbort != nullptr) {
        endReactionsOfProcess.onAbort(InterlockedCompareExchange(&vmCreationUnderWay, 0, 0) != 0);
    }
}

template <typename Function>
void* HookAddress(Function function) {
    // The Invocation API carries a hook's function in the option's void*.
    return reinterpret_cast<void*>(function);
}

constexpr size_t kInstallDirProblemUnits = MAX_PATH + 400;

void SetFailure(HostFailure* out, HostFailure failure) {
    if (out != nullptr) {
        *out = failure;
    }
}

// Java's binary name in the form FindClass takes: '/' for '.', modified UTF-8,
// which encodes every UTF-16 unit on its own (a surrogate pair as two).
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

}  // namespace

RuntimeHost::RuntimeHost(ErrorSink sink, ErrorSink warnings, RuntimeEndReactions reactions,
                         HostSettings settings)
    : javaVm(nullptr),
      jniEnv(nullptr),
      jvmModule(nullptr),
      installDir(),
      jreDir(),
      mainClassName(),
      mainClassJni(),
      errorSink(sink),
      warningSink(warnings),
      failure(kHostNoFailure),
      vmDestroyed(false),
      expectedEntry(settings.expectedEntry != nullptr ? settings.expectedEntry
                                                      : &kServiceMainText) {
    endReactionsOfProcess = reactions;
    StringCchCopyW(
        mainClassName, kMainClassNameUnits,
        settings.mainClass != nullptr ? settings.mainClass : L"com.merivast.agent.MerivastMain");
    ToJniClassName(mainClassName, mainClassJni);
    if (FindInstallDir(installDir)) {
        if (settings.javaHome != nullptr) {
            StringCchCopyW(jreDir, kJreDirUnits, settings.javaHome);
        } else {
            StringCchCopyW(jreDir, kJreDirUnits, installDir);
            StringCchCatW(jreDir, kJreDirUnits, L"\\jre");
        }
    }
    StartVm();
}

RuntimeHost::~RuntimeHost() {
    DestroyVm();
    javaVm = nullptr;
    if (jvmModule != nullptr) {
        FreeLibrary(jvmModule);
    }
    jvmModule = nullptr;
}

void RuntimeHost::DropPendingException() {
    if (jniEnv != nullptr && jniEnv->ExceptionCheck()) {
        jniEnv->ExceptionClear();
        if (failure == kHostNoFailure) {
            failure = kHostJavaException;
        }
    }
    jniEnv = nullptr;
}

void RuntimeHost::Report(int code, const wchar_t* message) const {
    if (errorSink != nullptr) {
        errorSink(code, message);
    }
}

bool RuntimeHost::RefuseToStart(HostFailure why, const wchar_t* message) {
    Report(0, message);
    failure = why;
    return false;
}

bool RuntimeHost::StartRefused() const {
    return jniEnv == nullptr &&
           (failure == kHostConfigurationInvalid || failure == kHostEntryPointMissing);
}

bool RuntimeHost::StartVm() {
    wchar_t dllPath[kJvmPathUnits];
    if (installDir[0] == L'\0') {
        // The executable's path did not fit; loading from a cut path could
        // load some other library.
        JvmPath(jreDir, L"client", dllPath);
        ReportLoadFailure(ERROR_FILENAME_EXCED_RANGE, dllPath, errorSink);
        failure = kHostRuntimeNotLoaded;
        Report(-1, L"CreateJavaVM ERROR");
        return false;
    }

    ChooseRuntimeLibrary(jreDir, dllPath);

    // Nothing of a refused file is used, and no runtime is loaded for it.
    UserOptions userOptions;
    ConfigProblem problem;
    if (!ReadUserOptions(installDir, &userOptions, &problem)) {
        return RefuseToStart(kHostConfigurationInvalid, problem.text);
    }
    wchar_t optionDir[MAX_PATH];
    const wchar_t* why = nullptr;
    if (!InstallDirForOptions(installDir, optionDir, &why)) {
        wchar_t message[kInstallDirProblemUnits];
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The install directory %ls cannot be named to the Java runtime: %ls, and "
                         L"the volume gives it no short name. Install the service in a directory "
                         L"whose path the ANSI code page can hold and that holds no ';'.",
                         installDir, why);
        return RefuseToStart(kHostConfigurationInvalid, message);
    }
    NarrowOption classPath;
    if (BuildClassPathOption(optionDir, &classPath, warningSink) == 0) {
        // An empty class path means the working directory to a VM, and the
        // application's classes come only from the jars of lib\.
        RefuseToStart(kHostEntryPointMissing, L"Can not find entry point:\n");
        ReportEntryNotFound(false, *expectedEntry);
        return false;
    }
    char log4j[kLog4jOptionBytes];
    char logging[kLoggingOptionBytes];
    BuildLog4jOption(optionDir, log4j);
    BuildLoggingImplOption(logging);

    OptionArray options;
    jint result = -1;
    HostFailure reason = kHostApplicationNotStarted;
    if (options.Reserve(kHostOptionCount + userOptions.count + kHookOptionCount)) {
        options.Add(classPath.Text());
        options.Add(log4j);
        options.Add(logging);
        for (size_t i = 0; i < userOptions.count; ++i) {
            options.Add(userOptions.Option(i));
        }
        options.Add("exit", HookAddress(ExitHook));
        options.Add("abort", HookAddress(AbortHook));
        // Last, so that no option of the operator's can take its place: the
        // runtime's own text goes to standard error, and its end is kept.
        options.Add("vfprintf", HookAddress(RuntimeVfprintf));
        result = LoadAndCreateVm(dllPath, &jvmModule, &jniEnv, &javaVm, options.items,
                                 options.count, errorSink, &reason);
    }
    if (result != JNI_OK) {
        // Whatever a refusing runtime left in the out-parameters, this host has no VM.
        javaVm = nullptr;
        jniEnv = nullptr;
        failure = reason;
        Report(result, L"CreateJavaVM ERROR");
        if (reason == kHostVmRefused) {
            ReportRuntimeWords(result, errorSink);
        }
    }
    return result == JNI_OK;
}

jint LoadAndCreateVm(const wchar_t* dllPath, HMODULE* module, JNIEnv** env, JavaVM** vm,
                     JavaVMOption* options, jint optionCount, ErrorSink sink,
                     HostFailure* failure) {
    DWORD error = 0;
    *module = LoadRuntimeLibrary(dllPath, &error);
    if (*module == nullptr) {
        ReportLoadFailure(error, dllPath, sink);
        ExplainLoadFailure(dllPath, sink);
        SetFailure(failure, kHostRuntimeNotLoaded);
        return -1;
    }

    JavaVMInitArgs args = {};
    args.version = JNI_VERSION_1_6;
    args.nOptions = optionCount;
    args.options = options;
    args.ignoreUnrecognized = JNI_FALSE;

    const auto createJavaVm = FindExport<CreateJavaVmFunction>(*module, "JNI_CreateJavaVM");
    if (createJavaVm == nullptr) {
        if (sink != nullptr) {
            sink(0, L"Can not find 'JNI_CreateJavaVM' method in the jvm dll.");
        }
        SetFailure(failure, kHostCreateExportMissing);
        return -1;
    }
    JavaVM* createdVm = nullptr;
    InterlockedExchange(&vmCreationUnderWay, 1);
    const jint result = createJavaVm(&createdVm, reinterpret_cast<void**>(env), &args);
    InterlockedExchange(&vmCreationUnderWay, 0);
    *vm = createdVm;
    if (result != JNI_OK) {
        SetFailure(failure, kHostVmRefused);
    }
    return result;
}
