#include "jvmhost/runtime_host.h"

#include <strsafe.h>

#include "base/paths.h"
#include "jvmhost/launch_options.h"
#include "jvmhost/runtime_preflight.h"
#include "jvmhost/runtime_words.h"
#include "jvmhost/user_options.h"

namespace {

using CreateJavaVmFunction = decltype(&JNI_CreateJavaVM);

// Appends `dir` to the process's PATH; a PATH that would grow past what an
// environment variable holds is left as it is.
void AppendToPath(const wchar_t* dir) {
    constexpr DWORD kMostVariableUnits = 32767;
    HeapArray<wchar_t> path(kMostVariableUnits + 1, HEAP_ZERO_MEMORY);
    if (path.Get() == nullptr) {
        return;
    }
    const DWORD length = GetEnvironmentVariableW(L"PATH", path.Get(), kMostVariableUnits + 1);
    if (length > kMostVariableUnits) {
        return;
    }
    const size_t room = kMostVariableUnits + 1;
    if ((length == 0 || SUCCEEDED(StringCchCatW(path.Get(), room, L";"))) &&
        SUCCEEDED(StringCchCatW(path.Get(), room, dir))) {
        SetEnvironmentVariableW(L"PATH", path.Get());
    }
}

template <typename Function>
Function FindExport(HMODULE module, const char* name) {
    // Through a plain function type, so -Wcast-function-type stays quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Real runtimes keep the C runtime that jvm.dll imports in "<jre>\bin", and
// load more of their own libraries later by full path with a plain
// LoadLibrary (imaging, fonts, networking), whose imports lie there too; the
// application's native libraries are found through PATH, as under java. A
// plain load searches neither "<jre>\bin" nor the library's own folder.
//
// jvm.dll is loaded with "<jre>\bin" as the DLL folder, which the search
// flags count among the default folders, and jvm.dll's own folder; a system
// that does not know these flags refuses them, and the plain load follows.
// The DLL folder is then cleared at once: Windows hands it to every process
// the application starts and puts it before System32 for them, where a
// runtime's older C++ runtime breaks a program built with a newer one. Later
// loads find "<jre>\bin" at the end of PATH instead, which children inherit
// after System32, and the C runtime that jvm.dll brought is loaded already.
ScopedModule LoadRuntimeLibrary(const wchar_t* binDir, const wchar_t* dllPath, DWORD* error) {
    AppendToPath(binDir);
    SetDllDirectoryW(binDir);
    ScopedModule module(LoadLibraryExW(
        dllPath, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (!module.IsValid()) {
        module.Reset(LoadLibraryW(dllPath));
        *error = GetLastError();
    }
    SetDllDirectoryW(nullptr);
    return module;
}

// The system's text, a blank line, then what did not load.
void ReportLoadFailure(DWORD error, const wchar_t* dllPath, ErrorSink sink) {
    if (sink == nullptr) {
        return;
    }
    wchar_t text[kSystemTextUnits];
    const size_t length = SystemErrorText(error, text);
    wchar_t message[kLoadErrorUnits];
    StringCchPrintfW(message, ARRAYSIZE(message), L"%ls%ls\n\nFailed to load jvm dll:\n%ls", text,
                     length > 0 ? L"." : L"", dllPath);
    sink(0, message);
}

// "bin\client\jvm.dll", or "bin\server\jvm.dll" when only that one exists:
// every 64-bit runtime, and many current 32-bit ones, ship only a server VM.
// With neither, the client library, the one a load error then names.
void ChooseRuntimeLibrary(const HostLayout& layout, wchar_t (&path)[kPathUnits]) {
    RuntimeLibraryPath(layout, L"client", path);
    if (IsFile(path)) {
        return;
    }
    wchar_t server[kPathUnits];
    if (RuntimeLibraryPath(layout, L"server", server) && IsFile(server)) {
        CopyPath(path, server);
    }
}

// The VM's option array: the host's own options, then the operator's.
struct OptionArray {
    bool Reserve(size_t capacity) {
        items.Reset(capacity, HEAP_ZERO_MEMORY);
        room = items.Get() != nullptr ? capacity : 0;
        return items.Get() != nullptr;
    }
    void Add(const char* text, void* extraInfo = nullptr) {
        if (static_cast<size_t>(count) < room) {
            items[count].optionString = const_cast<char*>(text);
            items[count].extraInfo = extraInfo;
            ++count;
        }
    }

    HeapArray<JavaVMOption> items;
    size_t room = 0;
    jint count = 0;
};

// The runtime's exit, abort and vfprintf hooks, after the operator's options.
constexpr size_t kHookOptionCount = 3;

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

// Loads the runtime library at `dllPath`, with `binDir` as the process's DLL
// folder, and creates a VM with JNI 1.6 and `optionCount` `options`. Returns
// the JNI result, or -1 when the library or its JNI_CreateJavaVM is missing;
// both are reported to `sink` when one is set, a library that did not load
// with a second event that explains why when the file shows it; both name
// `dllPath`. `failure` receives why the VM was not created.
jint LoadAndCreateVm(const wchar_t* binDir, const wchar_t* dllPath, ScopedModule* module,
                     JNIEnv** env, JavaVM** vm, const OptionArray& options, ErrorSink sink,
                     Outcome* failure) {
    DWORD error = 0;
    *module = LoadRuntimeLibrary(binDir, dllPath, &error);
    if (!module->IsValid()) {
        ReportLoadFailure(error, dllPath, sink);
        ExplainLoadFailure(dllPath, sink);
        *failure = Outcome::kRuntimeNotLoaded;
        return -1;
    }
    const auto createJavaVm = FindExport<CreateJavaVmFunction>(module->Get(), "JNI_CreateJavaVM");
    if (createJavaVm == nullptr) {
        if (sink != nullptr) {
            sink(0, L"Can not find 'JNI_CreateJavaVM' method in the jvm dll.");
        }
        *failure = Outcome::kCreateExportMissing;
        return -1;
    }
    JavaVMInitArgs args = {};
    args.version = JNI_VERSION_1_6;
    args.nOptions = options.count;
    args.options = options.items.Get();
    args.ignoreUnrecognized = JNI_FALSE;
    JavaVM* createdVm = nullptr;
    InterlockedExchange(&vmCreationUnderWay, 1);
    const jint result = createJavaVm(&createdVm, reinterpret_cast<void**>(env), &args);
    InterlockedExchange(&vmCreationUnderWay, 0);
    *vm = createdVm;
    if (result != JNI_OK) {
        *failure = Outcome::kVmRefused;
    }
    return result;
}

}  // namespace

RuntimeHost::RuntimeHost(const HostSettings& hostSettings)
    : settings(hostSettings),
      mainClassJni(),
      javaVm(nullptr),
      creatingEnv(nullptr),
      outcome(Outcome::kNormal),
      vmDestroyed(false),
      vmEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    endReactionsOfProcess = settings.reactions;
    ToJniClassName(settings.mainClass, mainClassJni);
    StartVm();
}

RuntimeHost::~RuntimeHost() {
    DestroyVm();
}

void RuntimeHost::Report(int code, const wchar_t* message) const {
    if (settings.errors != nullptr) {
        settings.errors(code, message);
    }
}

void RuntimeHost::RefuseToStart(Outcome why, const wchar_t* message) {
    Report(0, message);
    outcome = why;
}

void RuntimeHost::ReportMissingVm() const {
    // A start refused before loading the runtime has said why already.
    if (outcome != Outcome::kConfigurationInvalid && outcome != Outcome::kEntryPointMissing) {
        Report(0, L"The JVM is not initialized.");
    }
}

// The install directory as the options name it, and the folders below it.
bool RuntimeHost::StartVm() {
    wchar_t optionDir[MAX_PATH];
    const wchar_t* why = nullptr;
    HostLayout named;
    if (!InstallDirForOptions(InstallDir(), optionDir, &why)) {
        wchar_t message[kInstallDirProblemUnits];
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The install directory %ls cannot be named to the Java runtime: %ls, and "
                         L"the volume gives it no short name. Install the service in a directory "
                         L"whose path the ANSI code page can hold and that holds no ';'.",
                         InstallDir(), why);
        RefuseToStart(Outcome::kConfigurationInvalid, message);
        return false;
    }
    // Below a folder of fewer than MAX_PATH units, every folder of a layout fits.
    LayoutBelow(optionDir, &named);
    NarrowOption classPath;
    if (!BuildApplicationClassPath(named.libDir, &classPath)) {
        return false;
    }
    const char* hostOptions[4] = {classPath.Text()};
    size_t count = 1;
    char log4j[kLog4jOptionBytes];
    char logging[kLoggingOptionBytes];
    if (settings.loggingOptions) {
        BuildLog4jOption(optionDir, log4j);
        BuildLoggingImplOption(logging);
        hostOptions[count++] = log4j;
        hostOptions[count++] = logging;
    }
    NarrowOption command;
    if (settings.commandName != nullptr &&
        BuildJavaCommandOption(settings.commandName, *settings.commandArguments, &command)) {
        hostOptions[count++] = command.Text();
    }
    wchar_t dllPath[kPathUnits];
    ChooseRuntimeLibrary(*settings.layout, dllPath);
    return CreateVm(hostOptions, count, dllPath);
}

// The jar alone for main.jar, else every jar of lib\, which must hold one.
bool RuntimeHost::BuildApplicationClassPath(const wchar_t* libDir, NarrowOption* classPath) {
    const wchar_t* jar = settings.mainJar;
    const wchar_t* why = nullptr;
    if (jar != nullptr && !BuildJarClassPathOption(jar, classPath, &why)) {
        wchar_t message[kInstallDirProblemUnits];
        StringCchPrintfW(message, ARRAYSIZE(message),
                         L"The jar %ls cannot be named to the Java runtime: %ls, and the volume "
                         L"gives it no short name. Give the jar a path that the ANSI code page "
                         L"can hold and that holds no ';'.",
                         jar, why);
        RefuseToStart(Outcome::kConfigurationInvalid, message);
        return false;
    }
    if (jar == nullptr && BuildClassPathOption(libDir, classPath, settings.warnings) == 0) {
        // An empty class path means the working directory to a VM, and the
        // application's classes come only from the jars of lib\.
        RefuseToStart(Outcome::kEntryPointMissing, L"Can not find entry point:\n");
        DescribeEntrySearch(false, ExpectedEntry());
        return false;
    }
    return true;
}

// The host's options, then the operator's, then the runtime's hooks.
bool RuntimeHost::CreateVm(const char* const* hostOptions, size_t hostOptionCount,
                           const wchar_t* dllPath) {
    const UserOptions* userOptions = settings.userOptions;
    const size_t userCount = userOptions != nullptr ? userOptions->count : 0;
    OptionArray options;
    jint result = -1;
    Outcome reason = Outcome::kApplicationNotStarted;
    if (options.Reserve(hostOptionCount + userCount + kHookOptionCount)) {
        for (size_t i = 0; i < hostOptionCount; ++i) {
            options.Add(hostOptions[i]);
        }
        for (size_t i = 0; i < userCount; ++i) {
            options.Add(userOptions->Option(i));
        }
        options.Add("exit", HookAddress(ExitHook));
        options.Add("abort", HookAddress(AbortHook));
        // Last, so that no option of the operator's can take its place: the
        // runtime's own text goes to standard error, and its end is kept.
        options.Add("vfprintf", HookAddress(RuntimeVfprintf));
        result = LoadAndCreateVm(settings.layout->binDir, dllPath, &jvmModule, &creatingEnv,
                                 &javaVm, options, settings.errors, &reason);
    }
    if (result != JNI_OK) {
        // Whatever a refusing runtime left in the out-parameters, this host has no VM.
        javaVm = nullptr;
        creatingEnv = nullptr;
        outcome = reason;
        Report(result, L"CreateJavaVM ERROR");
        if (reason == Outcome::kVmRefused) {
            ReportRuntimeWords(result, settings.errors);
        }
    }
    return result == JNI_OK;
}
