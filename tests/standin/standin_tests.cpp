// Tests of the stand-in Java runtime itself: the behaviour that the host's tests rely on. Each
// test copies a stand-in DLL into a fresh <installDir>\jre\bin\client and loads that copy, so
// every test gets a runtime that has never created a VM.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <jni.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "standin_files.h"

namespace {

using CreateJavaVmFn = decltype(&JNI_CreateJavaVM);
using GetDefaultArgsFn = decltype(&JNI_GetDefaultJavaVMInitArgs);
using GetCreatedVmsFn = decltype(&JNI_GetCreatedJavaVMs);

constexpr char kMainClass[] = "com/merivast/agent/MerivastMain";
constexpr char kMainSig[] = "(Ljava/lang/String;)V";
constexpr DWORD kWaitMs = 5000;
// Child processes of this executable get the install directory through the environment.
constexpr wchar_t kChildDirVariable[] = L"STANDIN_CHILD_DIR";
constexpr char kTrapChildFlag[] = "--standin-trap-child";
constexpr char kLoadChildFlag[] = "--standin-load-child";

JavaVM* const kSentinelVm = reinterpret_cast<JavaVM*>(static_cast<uintptr_t>(0x5e5e));
JNIEnv* const kSentinelEnv = reinterpret_cast<JNIEnv*>(static_cast<uintptr_t>(0x5e5e));
JavaVM* const kGarbageVm = reinterpret_cast<JavaVM*>(static_cast<uintptr_t>(1));
JNIEnv* const kGarbageEnv = reinterpret_cast<JNIEnv*>(static_cast<uintptr_t>(1));

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

std::wstring ExeDir() {
    wchar_t path[2048];
    DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L"\\/"));
}

std::string Ansi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
    return out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got != 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

struct RecordLine {
    unsigned long long seq;
    unsigned long tid;
    std::string event;
    std::string details;
};

// Parses "<seq> <tid> <event>[ <details>]" lines; a line that does not fit gets event "?".
std::vector<RecordLine> ParseRecord(const std::string& bytes) {
    std::vector<RecordLine> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string text = bytes.substr(start, end - start);
        start = end + 1;
        RecordLine line{0, 0, "?", text};
        size_t a = text.find(' ');
        size_t b = a == std::string::npos ? a : text.find(' ', a + 1);
        if (b != std::string::npos && a > 0 && text.find_first_not_of("0123456789") == a &&
            text.find_first_not_of("0123456789", a + 1) == b) {
            line.seq = std::stoull(text.substr(0, a));
            line.tid = std::stoul(text.substr(a + 1, b - a - 1));
            size_t c = text.find(' ', b + 1);
            line.event = text.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
            line.details = c == std::string::npos ? "" : text.substr(c + 1);
        }
        lines.push_back(line);
    }
    return lines;
}

struct Event {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(handle); }
    void Set() { SetEvent(handle); }
    bool Wait(DWORD ms) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
};

JNIEnv* AttachCurrent(JavaVM* vm, jint* result = nullptr) {
    void* env = nullptr;
    jint r = vm->AttachCurrentThread(&env, nullptr);
    if (result != nullptr) *result = r;
    return static_cast<JNIEnv*>(env);
}

class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(static_cast<DWORD>(std::size(temp)), temp);
        ASSERT_GT(n, 0u);
        dir_ = std::wstring(temp, n) + L"standin-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount());
        for (const wchar_t* sub : {L"", L"\\jre", L"\\jre\\bin", L"\\jre\\bin\\client", L"\\lib"}) {
            ASSERT_TRUE(CreateDirectoryW((dir_ + sub).c_str(), nullptr)) << Ansi(dir_ + sub);
        }
        std::string jar = "PK\x03\x04 filler ";
        jar += kMainClass;
        jar += ".class more filler";
        ASSERT_TRUE(WriteBytes(dir_ + L"\\lib\\agent.jar", jar));
    }

    void TearDown() override {
        // A thread left inside the DLL after a failed bounded wait would crash once the code
        // is unmapped; keep it loaded then.
        if (module_ != nullptr && !leakModule_) FreeLibrary(module_);
        if (!leakModule_) RemoveTree(dir_);
    }

    std::wstring JvmPath() const { return dir_ + L"\\jre\\bin\\client\\jvm.dll"; }
    std::wstring JreBin() const { return dir_ + L"\\jre\\bin"; }
    std::wstring InDir(const std::wstring& name) const { return dir_ + L"\\" + name; }

    void Install(const wchar_t* variant) {
        std::wstring source = ExeDir() + L"\\" + variant + L"\\jvm.dll";
        ASSERT_TRUE(CopyFileW(source.c_str(), JvmPath().c_str(), FALSE)) << Ansi(source);
    }

    void Load() {
        module_ = LoadLibraryW(JvmPath().c_str());
        ASSERT_NE(module_, nullptr) << "LoadLibraryW failed: " << GetLastError();
        create_ = Entry<CreateJavaVmFn>(module_, "JNI_CreateJavaVM");
    }

    void Start(const wchar_t* variant = L"plain") {
        ASSERT_NO_FATAL_FAILURE(Install(variant));
        ASSERT_NO_FATAL_FAILURE(Load());
        ASSERT_NE(create_, nullptr);
    }

    void Unload() {
        ASSERT_TRUE(FreeLibrary(module_));
        module_ = nullptr;
    }

    void Scenario(const std::string& text) {
        ASSERT_TRUE(WriteBytes(InDir(kStandinScenarioFile), text));
    }

    void Release(const wchar_t* step) {
        ASSERT_TRUE(WriteBytes(InDir(std::wstring(kStandinReleasePrefix) + step), ""));
    }

    std::string ClassPathOption(const std::vector<std::wstring>& entries) const {
        std::wstring text = L"-Djava.class.path=";
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i != 0) text += L";";
            text += entries[i];
        }
        return Ansi(text);
    }

    std::vector<std::string> HostOptions() const {
        return {ClassPathOption({InDir(L"lib\\agent.jar")}),
                Ansi(L"-Dlog4j.configuration=file:/" + dir_ + L"\\conf\\log4j.properties"),
                "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger"};
    }

    jint Create(const std::vector<std::string>& options, JavaVM** vm, JNIEnv** env,
                jint version = JNI_VERSION_1_6, bool ignoreUnrecognized = false) {
        std::vector<JavaVMOption> array(options.size());
        for (size_t i = 0; i < options.size(); ++i) {
            array[i].optionString = const_cast<char*>(options[i].c_str());
            array[i].extraInfo = nullptr;
        }
        JavaVMInitArgs args{};
        args.version = version;
        args.nOptions = static_cast<jint>(array.size());
        args.options = array.empty() ? nullptr : array.data();
        args.ignoreUnrecognized = ignoreUnrecognized ? JNI_TRUE : JNI_FALSE;
        return create_(vm, reinterpret_cast<void**>(env), &args);
    }

    // Creates with the host's three options and expects success.
    void CreateLikeHost(JavaVM** vm, JNIEnv** env) {
        ASSERT_EQ(Create(HostOptions(), vm, env), JNI_OK);
        ASSERT_NE(*vm, nullptr);
        ASSERT_NE(*env, nullptr);
    }

    std::vector<RecordLine> Record() const {
        return ParseRecord(ReadBytes(InDir(kStandinRecordFile)));
    }

    std::vector<std::string> Details(const std::string& event) const {
        std::vector<std::string> out;
        for (const RecordLine& line : Record()) {
            if (line.event == event) out.push_back(line.details);
        }
        return out;
    }

    // Sequence number of the first line with this event and details, or 0.
    unsigned long long SeqOf(const std::string& event, const std::string& details) const {
        for (const RecordLine& line : Record()) {
            if (line.event == event && line.details == details) return line.seq;
        }
        return 0;
    }

    bool WaitForLine(const std::string& event, const std::string& details,
                     DWORD ms = kWaitMs) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (SeqOf(event, details) != 0) return true;
            Sleep(5);
        }
        return SeqOf(event, details) != 0;
    }

    // Runs fn on its own thread and waits at most ms. On a timeout the thread is abandoned
    // inside the DLL, so the module must stay loaded.
    bool RunBounded(std::function<void()> fn, DWORD ms = kWaitMs) {
        auto done = std::make_shared<Event>();
        std::thread worker([fn, done] {
            fn();
            done->Set();
        });
        if (done->Wait(ms)) {
            worker.join();
            return true;
        }
        worker.detach();
        leakModule_ = true;
        return false;
    }

    // Runs this executable again with the flag, for this install directory; returns its exit
    // code, or fails the test.
    void RunChild(const char* flag, DWORD* exitCode) {
        wchar_t exe[2048];
        DWORD n = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(std::size(exe)));
        ASSERT_GT(n, 0u);
        ASSERT_LT(n, std::size(exe));
        std::wstring commandLine =
            L"\"" + std::wstring(exe, n) + L"\" " + std::wstring(flag, flag + strlen(flag));
        ASSERT_TRUE(SetEnvironmentVariableW(kChildDirVariable, dir_.c_str()));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
        DWORD error = GetLastError();
        SetEnvironmentVariableW(kChildDirVariable, nullptr);
        ASSERT_TRUE(started) << error;
        DWORD waited = WaitForSingleObject(process.hProcess, 30000);
        if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
        GetExitCodeProcess(process.hProcess, exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ASSERT_EQ(waited, WAIT_OBJECT_0);
    }

    std::wstring dir_;
    HMODULE module_ = nullptr;
    CreateJavaVmFn create_ = nullptr;
    bool leakModule_ = false;
};

// What the host does on its service thread: create, look up and call serviceMain, destroy.
struct ServiceThread {
    explicit ServiceThread(bool* leakModule) : leakModule(leakModule) {}
    // A test that stopped early may leave the thread inside the DLL; it must then stay loaded.
    ~ServiceThread() {
        if (thread.joinable()) {
            thread.detach();
            *leakModule = true;
        }
    }
    bool* leakModule;  // weak
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    jint createResult = JNI_ERR;
    Event created;
    Event mainEntered;  // just before CallStaticVoidMethod
    Event mainReturned;
    Event destroyNow;
    Event destroyed;
    std::thread thread;
};

void RunServiceThread(
    ServiceThread* s, std::vector<std::string> options,
    std::function<jint(const std::vector<std::string>&, JavaVM**, JNIEnv**)> create,
    const std::wstring& installDir, bool waitBeforeDestroy) {
    s->createResult = create(options, &s->vm, &s->env);
    s->created.Set();
    if (s->createResult != JNI_OK) return;
    JNIEnv* env = s->env;
    jclass cls = env->FindClass(kMainClass);
    jmethodID main =
        cls != nullptr ? env->GetStaticMethodID(cls, "serviceMain", kMainSig) : nullptr;
    if (main != nullptr) {
        jstring arg = env->NewString(reinterpret_cast<const jchar*>(installDir.c_str()),
                                     static_cast<jsize>(installDir.size()));
        s->mainEntered.Set();
        env->CallStaticVoidMethod(cls, main, arg);
    }
    s->mainReturned.Set();
    if (waitBeforeDestroy) s->destroyNow.Wait(INFINITE);
    s->vm->DestroyJavaVM();
    s->destroyed.Set();
}

// What the host does on the thread that handles a stop request.
void CallServiceStop(JavaVM* vm) {
    JNIEnv* env = AttachCurrent(vm);
    if (env != nullptr) {
        jclass cls = env->FindClass(kMainClass);
        jmethodID stop =
            cls != nullptr ? env->GetStaticMethodID(cls, "serviceStop", "()V") : nullptr;
        if (stop != nullptr) env->CallStaticVoidMethod(cls, stop);
    }
    vm->DetachCurrentThread();
}

using StandinLoad = StandinTest;
using StandinCreate = StandinTest;
using StandinClassPath = StandinTest;
using StandinMethods = StandinTest;
using StandinStrings = StandinTest;
using StandinApp = StandinTest;
using StandinThreads = StandinTest;
using StandinGates = StandinTest;
using StandinRecord = StandinTest;
using StandinUnload = StandinTest;
using StandinTrap = StandinTest;

// ---- loading ----

TEST_F(StandinLoad, PlainDllExportsTheInvocationEntriesUndecorated) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_NE(Entry<GetDefaultArgsFn>(module_, "JNI_GetDefaultJavaVMInitArgs"), nullptr);
    EXPECT_NE(Entry<GetCreatedVmsFn>(module_, "JNI_GetCreatedJavaVMs"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "JNI_CreateJavaVM@12"), nullptr);
}

TEST_F(StandinLoad, NoExportVariantHasNoCreateEntryAndRecordsItsUnload) {
    ASSERT_NO_FATAL_FAILURE(Install(L"noexport"));
    ASSERT_NO_FATAL_FAILURE(Load());
    SetLastError(0xDEADu);
    FARPROC entry = GetProcAddress(module_, "JNI_CreateJavaVM");
    DWORD error = GetLastError();
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    ASSERT_NO_FATAL_FAILURE(Unload());
    auto lines = Record();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].event, "UNLOAD");
}

TEST_F(StandinLoad, DepVariantLoadsOnlyWhenJreBinIsSearched) {
    ASSERT_NO_FATAL_FAILURE(Install(L"dep"));
    std::wstring helper = ExeDir() + L"\\dep\\standin_helper.dll";
    ASSERT_TRUE(CopyFileW(helper.c_str(), (JreBin() + L"\\standin_helper.dll").c_str(), FALSE));

    // In a child: under Wine the DLL file of a failed load stays locked until the process ends.
    DWORD loadError = 0;
    ASSERT_NO_FATAL_FAILURE(RunChild(kLoadChildFlag, &loadError));
    EXPECT_EQ(loadError, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    ASSERT_TRUE(SetDllDirectoryW(JreBin().c_str()));
    module_ = LoadLibraryW(JvmPath().c_str());
    SetDllDirectoryW(nullptr);
    ASSERT_NE(module_, nullptr);
    create_ = Entry<CreateJavaVmFn>(module_, "JNI_CreateJavaVM");
    ASSERT_NE(create_, nullptr);
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_TRUE(Details("FAULT").empty());
}

// ---- creation ----

TEST_F(StandinCreate, HostStyleLifeIsRecordedLineByLine) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    void* current = nullptr;
    EXPECT_EQ(vm->GetEnv(&current, JNI_VERSION_1_6), JNI_OK);
    EXPECT_EQ(current, env);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);

    std::vector<std::string> options = HostOptions();
    auto lines = Record();
    ASSERT_EQ(lines.size(), 8u);
    const unsigned long self = GetCurrentThreadId();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].seq, i + 1);
        EXPECT_EQ(lines[i].tid, self);
    }
    EXPECT_EQ(lines[0].event, "JNI_CreateJavaVM");
    EXPECT_EQ(lines[0].details, "version=0x00010006 nOptions=3 ignoreUnrecognized=0 result=0");
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[1 + i].event, "option");
        EXPECT_EQ(lines[1 + i].details, std::to_string(i) + " " + options[i]);
    }
    EXPECT_EQ(lines[4].event + " " + lines[4].details, "LEAVE JNI_CreateJavaVM");
    EXPECT_EQ(lines[5].event + " " + lines[5].details, "GetEnv version=0x00010006 result=0");
    EXPECT_EQ(lines[6].event + " " + lines[6].details, "ENTER DestroyJavaVM");
    EXPECT_EQ(lines[7].event + " " + lines[7].details, "DestroyJavaVM result=0");
}

TEST_F(StandinCreate, VersionsOutsideTheSupportedSetAreRefusedWithOutParamsUntouched) {
    ASSERT_NO_FATAL_FAILURE(Start());
    auto getDefault = Entry<GetDefaultArgsFn>(module_, "JNI_GetDefaultJavaVMInitArgs");
    ASSERT_NE(getDefault, nullptr);
    for (jint version : {0x00010001, 0x00010002, 0x00010004, 0x00010006, 0x00010008, 0x00090000,
                         0x000a0000, 0x00130000, 0x00140000, 0x00150000}) {
        JavaVMInitArgs args{};
        args.version = version;
        EXPECT_EQ(getDefault(&args), JNI_OK) << std::hex << version;
    }
    for (jint version :
         {0, 0x00010003, 0x00010007, 0x00020000, 0x000b0000, 0x00120000, 0x00160000}) {
        JavaVMInitArgs args{};
        args.version = version;
        EXPECT_EQ(getDefault(&args), JNI_ERR) << std::hex << version;
        JavaVM* vm = kSentinelVm;
        JNIEnv* env = kSentinelEnv;
        EXPECT_EQ(Create(HostOptions(), &vm, &env, version), JNI_EVERSION) << std::hex << version;
        EXPECT_EQ(vm, kSentinelVm);
        EXPECT_EQ(env, kSentinelEnv);
    }
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    EXPECT_EQ(Create(HostOptions(), &vm, &env, 0x00150000), JNI_OK);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
}

TEST_F(StandinCreate, EveryUnrecognisedOptionRefusesTheCreation) {
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const char* bad : {"",        "-D",           "-D=x",        "-Dname",      "-Xfoo",
                            "_hook",   "--help",       "-client",     "-Xmx",        "-Xmx64q",
                            "-Xss1m2", "-verbosex",    "-verbose:",   "-ea:",        "-XX:",
                            "-XX:+",   "--add-opens=", "--add-opens", "-Xcheck:all", "Exit",
                            " -Dx=y"}) {
        std::vector<std::string> options = HostOptions();
        options.push_back(bad);
        JavaVM* vm = kSentinelVm;
        JNIEnv* env = kSentinelEnv;
        EXPECT_EQ(Create(options, &vm, &env), JNI_ERR) << "option \"" << bad << "\"";
        EXPECT_EQ(vm, kSentinelVm);
        EXPECT_EQ(env, kSentinelEnv);
    }
    std::vector<std::string> good = {"-Dx=y",
                                     "-Dempty=",
                                     "-Dk=v=w",
                                     "-Xmx64m",
                                     "-Xms8M",
                                     "-Xss512k",
                                     "-Xmx1073741824",
                                     "-verbose",
                                     "-verbose:gc",
                                     "-ea",
                                     "-ea:com.merivast...",
                                     "-da",
                                     "-esa",
                                     "-dsa",
                                     "-Xrs",
                                     "-Xint",
                                     "-Xcheck:jni",
                                     "-XX:+UseG1GC",
                                     "-XX:ErrorFile=logs\\hs_err_pid%p.log",
                                     "--add-opens=java.base/java.lang=ALL-UNNAMED",
                                     "exit",
                                     "abort",
                                     "vfprintf"};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_EQ(Create(good, &vm, &env), JNI_OK);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
}

TEST_F(StandinCreate, IgnoreUnrecognizedPassesOverOnlyXAndUnderscoreOptions) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    EXPECT_EQ(Create({"--help"}, &vm, &env, JNI_VERSION_1_6, true), JNI_ERR);
    EXPECT_EQ(Create({"-Xfoo", "_hook", "-XX:+UseG1GC", "-Dx=y"}, &vm, &env, JNI_VERSION_1_6, true),
              JNI_OK);
    ASSERT_NE(vm, nullptr);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    auto creates = Details("JNI_CreateJavaVM");
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[0], "version=0x00010006 nOptions=1 ignoreUnrecognized=1 result=-1");
}

TEST_F(StandinCreate, RefuseScenarioReturnsItsResultAndWritesGarbage) {
    ASSERT_NO_FATAL_FAILURE(Scenario("create=refuse\ncreate_result=-6\nrefuse_garbage=1\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    EXPECT_EQ(Create(HostOptions(), &vm, &env), JNI_EINVAL);
    EXPECT_EQ(vm, kGarbageVm);
    EXPECT_EQ(env, kGarbageEnv);
    EXPECT_EQ(
        SeqOf("JNI_CreateJavaVM", "version=0x00010006 nOptions=3 ignoreUnrecognized=0 result=-6"),
        1u);
}

TEST_F(StandinCreate, GarbageFollowsAnOptionRefusalButNotASuccess) {
    ASSERT_NO_FATAL_FAILURE(Scenario("refuse_garbage=1\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    EXPECT_EQ(Create({""}, &vm, &env), JNI_ERR);
    EXPECT_EQ(vm, kGarbageVm);
    EXPECT_EQ(env, kGarbageEnv);
    ASSERT_EQ(Create(HostOptions(), &vm, &env), JNI_OK);
    EXPECT_NE(vm, kGarbageVm);
    EXPECT_NE(env, kGarbageEnv);
    EXPECT_EQ(env->ExceptionCheck(), JNI_FALSE);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
}

TEST_F(StandinCreate, OneVmPerProcessAndNoneAgainAfterDestroy) {
    ASSERT_NO_FATAL_FAILURE(Start());
    auto getCreated = Entry<GetCreatedVmsFn>(module_, "JNI_GetCreatedJavaVMs");
    ASSERT_NE(getCreated, nullptr);
    JavaVM* found[2] = {nullptr, nullptr};
    jsize count = -1;
    EXPECT_EQ(getCreated(found, 2, &count), JNI_OK);
    EXPECT_EQ(count, 0);

    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    EXPECT_EQ(getCreated(found, 2, &count), JNI_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(found[0], vm);

    JavaVM* vm2 = kSentinelVm;
    JNIEnv* env2 = kSentinelEnv;
    EXPECT_EQ(Create(HostOptions(), &vm2, &env2), JNI_EEXIST);
    EXPECT_EQ(vm2, kSentinelVm);
    EXPECT_EQ(env2, kSentinelEnv);

    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_EQ(getCreated(found, 2, &count), JNI_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Create(HostOptions(), &vm2, &env2), JNI_ERR);
    EXPECT_TRUE(Details("FAULT").empty());
}

// ---- class lookup ----

TEST_F(StandinClassPath, MainClassIsFoundThroughAnyJarThatNamesItEvenAcrossReadChunks) {
    ASSERT_TRUE(WriteBytes(InDir(L"lib\\empty.jar"), "PK\x03\x04 nothing here"));
    ASSERT_TRUE(CreateDirectoryW(InDir(L"lib\\folder.jar").c_str(), nullptr));
    // The entry name straddles the stand-in's 16 KiB read size; the name has a non-ASCII
    // character so that the ANSI class path must be converted correctly.
    std::string big(16 * 1024 - 10, 'x');
    big += kMainClass;
    big += ".class";
    ASSERT_TRUE(WriteBytes(InDir(L"lib\\ag\u00e9nt-2.jar"), big));
    std::string classPath =
        ClassPathOption({InDir(L"lib\\missing.jar"), InDir(L"lib\\folder.jar"), L"",
                         InDir(L"lib\\empty.jar"), InDir(L"lib\\ag\u00e9nt-2.jar")});
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_EQ(Create({classPath}, &vm, &env), JNI_OK);

    jclass cls = env->FindClass(kMainClass);
    EXPECT_NE(cls, nullptr);
    EXPECT_EQ(env->ExceptionCheck(), JNI_FALSE);
    jclass fromOtherThread = nullptr;
    std::thread other([&] {
        JNIEnv* otherEnv = AttachCurrent(vm);
        fromOtherThread = otherEnv->FindClass(kMainClass);
        vm->DetachCurrentThread();
    });
    other.join();
    EXPECT_EQ(fromOtherThread, cls);

    for (const char* wrong : {"com/merivast/agent/Other", "com.merivast.agent.MerivastMain"}) {
        EXPECT_EQ(env->FindClass(wrong), nullptr) << wrong;
        jthrowable pending = env->ExceptionOccurred();
        EXPECT_NE(pending, nullptr);
        env->ExceptionClear();
    }
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_EQ(Details("ExceptionOccurred"),
              std::vector<std::string>(2, "result=java/lang/NoClassDefFoundError"));
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinClassPath, MissingClassLeavesNoClassDefFoundErrorPending) {
    std::string inner = "PK com/merivast/agent/MerivastMain$Inner.class ";
    ASSERT_TRUE(WriteBytes(InDir(L"lib\\inner.jar"), inner));
    ASSERT_TRUE(WriteBytes(InDir(L"lib\\MerivastMain.class.jar"), "PK"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_EQ(
        Create({ClassPathOption({InDir(L"lib\\inner.jar"), InDir(L"lib\\MerivastMain.class.jar")})},
               &vm, &env),
        JNI_OK);
    EXPECT_EQ(env->FindClass(kMainClass), nullptr);
    EXPECT_EQ(env->ExceptionCheck(), JNI_TRUE);
    env->ExceptionClear();
    EXPECT_EQ(env->ExceptionCheck(), JNI_FALSE);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);

    auto lines = Record();
    std::vector<std::string> calls;
    for (const RecordLine& line : lines) {
        if (line.event != "option") calls.push_back(line.event + " " + line.details);
    }
    std::vector<std::string> expected = {
        "JNI_CreateJavaVM version=0x00010006 nOptions=1 ignoreUnrecognized=0 result=0",
        "LEAVE JNI_CreateJavaVM",
        "FindClass com/merivast/agent/MerivastMain result=null",
        "ExceptionCheck result=1",
        "ExceptionClear ",
        "ExceptionCheck result=0",
        "ENTER DestroyJavaVM",
        "DestroyJavaVM result=0"};
    EXPECT_EQ(calls, expected);
}

TEST_F(StandinClassPath, NoClassPathOptionMeansNoClass) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_EQ(Create({"-Djava.class.path="}, &vm, &env), JNI_OK);
    EXPECT_EQ(env->FindClass(kMainClass), nullptr);
    env->ExceptionClear();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
}

// ---- method lookup ----

TEST_F(StandinMethods, EntryPointsAreFoundByExactNameAndSignature) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    jclass cls = env->FindClass(kMainClass);
    ASSERT_NE(cls, nullptr);
    jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
    jmethodID stop = env->GetStaticMethodID(cls, "serviceStop", "()V");
    EXPECT_NE(main, nullptr);
    EXPECT_NE(stop, nullptr);
    EXPECT_NE(main, stop);
    EXPECT_EQ(env->ExceptionCheck(), JNI_FALSE);
    EXPECT_EQ(env->GetStaticMethodID(cls, "serviceMain", "()V"), nullptr);
    EXPECT_EQ(env->ExceptionCheck(), JNI_TRUE);
    env->ExceptionClear();
    EXPECT_EQ(env->GetStaticMethodID(cls, "servicestop", "()V"), nullptr);
    env->ExceptionClear();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    std::vector<std::string> expected = {
        "serviceMain (Ljava/lang/String;)V result=found", "serviceStop ()V result=found",
        "serviceMain ()V result=null", "servicestop ()V result=null"};
    EXPECT_EQ(Details("GetStaticMethodID"), expected);
}

TEST_F(StandinMethods, ScenarioCanRemoveEitherEntryPoint) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=missing\nstop=missing\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    jclass cls = env->FindClass(kMainClass);
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(env->GetStaticMethodID(cls, "serviceMain", kMainSig), nullptr);
    EXPECT_NE(env->ExceptionOccurred(), nullptr);
    env->ExceptionClear();
    EXPECT_EQ(env->GetStaticMethodID(cls, "serviceStop", "()V"), nullptr);
    EXPECT_NE(env->ExceptionOccurred(), nullptr);
    env->ExceptionClear();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_EQ(Details("ExceptionOccurred"),
              std::vector<std::string>(2, "result=java/lang/NoSuchMethodError"));
}

// ---- strings ----

TEST_F(StandinStrings, NewStringIsRecordedInUtf8AndPassedToServiceMain) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=return\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    const std::wstring text = L"C:\\Program Files\\M\u00e9rivast \u0416\U0001F600";
    jstring arg = env->NewString(reinterpret_cast<const jchar*>(text.c_str()),
                                 static_cast<jsize>(text.size()));
    ASSERT_NE(arg, nullptr);
    const std::wstring controls = L"a\nb\tc";
    EXPECT_NE(env->NewString(reinterpret_cast<const jchar*>(controls.c_str()),
                             static_cast<jsize>(controls.size())),
              nullptr);
    EXPECT_NE(env->NewString(reinterpret_cast<const jchar*>(L""), 0), nullptr);
    jclass cls = env->FindClass(kMainClass);
    jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
    // serviceMain runs on its own thread here, attached, so a scenario misread cannot hang
    // the test.
    ASSERT_TRUE(RunBounded([&] {
        JNIEnv* threadEnv = AttachCurrent(vm);
        threadEnv->CallStaticVoidMethod(cls, main, arg);
        vm->DetachCurrentThread();
    }));
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);

    const std::string utf8 = Utf8(text);
    std::vector<std::string> expected = {
        utf8 + " len=" + std::to_string(text.size()) + " result=ok",
        "a\\x0ab\\x09c len=5 result=ok", " len=0 result=ok"};
    EXPECT_EQ(Details("NewString"), expected);
    EXPECT_NE(SeqOf("CallStaticVoidMethod", "serviceMain arg=" + utf8), 0u);
}

TEST_F(StandinStrings, NewStringFailureLeavesOutOfMemoryErrorPending) {
    ASSERT_NO_FATAL_FAILURE(Scenario("newstring=fail\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    const jchar text[] = {'C', ':'};
    EXPECT_EQ(env->NewString(text, 2), nullptr);
    EXPECT_NE(env->ExceptionOccurred(), nullptr);
    env->ExceptionClear();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_EQ(Details("NewString"), std::vector<std::string>{"C: len=2 result=null"});
    EXPECT_EQ(Details("ExceptionOccurred"),
              std::vector<std::string>{"result=java/lang/OutOfMemoryError"});
}

// ---- the scripted application ----

TEST_F(StandinApp, ServiceMainBlocksUntilServiceStopIsCalledFromAnotherThread) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    auto create = [this](const std::vector<std::string>& o, JavaVM** vm, JNIEnv** env) {
        return Create(o, vm, env);
    };
    s.thread = std::thread(RunServiceThread, &s, HostOptions(), create, dir_, false);
    ASSERT_TRUE(s.created.Wait(kWaitMs));
    ASSERT_EQ(s.createResult, JNI_OK);
    ASSERT_TRUE(WaitForLine("CallStaticVoidMethod", "serviceMain arg=" + Ansi(dir_)));
    EXPECT_FALSE(s.mainReturned.Wait(100));

    CallServiceStop(s.vm);
    bool destroyed = s.destroyed.Wait(kWaitMs);
    EXPECT_TRUE(destroyed);
    if (!destroyed) return;
    s.thread.join();

    unsigned long long stopSeq = SeqOf("CallStaticVoidMethod", "serviceStop");
    unsigned long long leaveSeq = SeqOf("LEAVE", "serviceMain");
    EXPECT_NE(stopSeq, 0u);
    EXPECT_GT(leaveSeq, stopSeq);
    EXPECT_GT(SeqOf("DestroyJavaVM", "result=0"), SeqOf("DetachCurrentThread", "result=0"));
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinApp, StopBeforeMainLetsMainReturnAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    Event stopDone;
    // The service thread creates, then waits for the stop before it looks anything up.
    s.thread = std::thread([&] {
        s.createResult = Create(HostOptions(), &s.vm, &s.env);
        s.created.Set();
        if (s.createResult != JNI_OK) return;
        stopDone.Wait(INFINITE);
        JNIEnv* env = s.env;
        jclass cls = env->FindClass(kMainClass);
        jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
        jstring arg = env->NewString(reinterpret_cast<const jchar*>(L"x"), 1);
        env->CallStaticVoidMethod(cls, main, arg);
        s.mainReturned.Set();
        s.vm->DestroyJavaVM();
    });
    ASSERT_TRUE(s.created.Wait(kWaitMs));
    ASSERT_EQ(s.createResult, JNI_OK);
    CallServiceStop(s.vm);
    stopDone.Set();
    bool returned = s.mainReturned.Wait(kWaitMs);
    EXPECT_TRUE(returned);
    if (!returned) return;
    s.thread.join();
    EXPECT_LT(SeqOf("LEAVE", "serviceStop"), SeqOf("CallStaticVoidMethod", "serviceMain arg=x"));
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinApp, ReturnModeReturnsThroughEachCallSlot) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=return\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    bool finished = RunBounded([this] {
        JavaVM* vm = nullptr;
        JNIEnv* env = nullptr;
        ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
        jclass cls = env->FindClass(kMainClass);
        jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
        const jchar a[] = {'a'};
        const jchar b[] = {'b'};
        const jchar c[] = {'c'};
        jstring sa = env->NewString(a, 1);
        jstring sb = env->NewString(b, 1);
        jstring sc = env->NewString(c, 1);
        env->functions->CallStaticVoidMethod(env, cls, main, sa);
        env->CallStaticVoidMethod(cls, main, sb);  // the C++ wrapper goes through the V slot
        jvalue value;
        value.l = sc;
        env->CallStaticVoidMethodA(cls, main, &value);
        EXPECT_EQ(env->ExceptionCheck(), JNI_FALSE);
        vm->DestroyJavaVM();
    });
    ASSERT_TRUE(finished);
    for (const char* arg : {"serviceMain arg=a", "serviceMain arg=b", "serviceMain arg=c"}) {
        EXPECT_NE(SeqOf("CallStaticVoidMethod", arg), 0u) << arg;
    }
    EXPECT_EQ(Details("LEAVE").size(), 4u);  // create, then three times serviceMain
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinApp, ThrowModesLeaveIllegalStateExceptionPending) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=throw\nstop=throw\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    bool finished = RunBounded([this] {
        JavaVM* vm = nullptr;
        JNIEnv* env = nullptr;
        ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
        jclass cls = env->FindClass(kMainClass);
        jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
        jmethodID stop = env->GetStaticMethodID(cls, "serviceStop", "()V");
        env->CallStaticVoidMethod(cls, main,
                                  env->NewString(reinterpret_cast<const jchar*>(L"x"), 1));
        EXPECT_NE(env->ExceptionOccurred(), nullptr);
        env->ExceptionClear();
        env->CallStaticVoidMethod(cls, stop);
        EXPECT_NE(env->ExceptionOccurred(), nullptr);
        env->ExceptionClear();
        vm->DestroyJavaVM();
    });
    ASSERT_TRUE(finished);
    EXPECT_EQ(Details("ExceptionOccurred"),
              std::vector<std::string>(2, "result=java/lang/IllegalStateException"));
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinApp, CallingServiceMainWithAnExceptionPendingIsAFault) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=return\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    bool finished = RunBounded([this] {
        JavaVM* vm = nullptr;
        JNIEnv* env = nullptr;
        ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
        jclass cls = env->FindClass(kMainClass);
        jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
        jstring arg = env->NewString(reinterpret_cast<const jchar*>(L"x"), 1);
        EXPECT_EQ(env->FindClass("no/Such"), nullptr);
        env->CallStaticVoidMethod(cls, main, arg);
        env->ExceptionClear();
        vm->DestroyJavaVM();
    });
    ASSERT_TRUE(finished);
    EXPECT_EQ(Details("FAULT"),
              std::vector<std::string>{"exception pending in CallStaticVoidMethod"});
    EXPECT_LT(SeqOf("FAULT", "exception pending in CallStaticVoidMethod"),
              SeqOf("CallStaticVoidMethod", "serviceMain arg=x"));
}

// ---- threads ----

TEST_F(StandinThreads, EachAttachedThreadGetsOneEnvOfItsOwn) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    jint result = JNI_ERR;
    EXPECT_EQ(AttachCurrent(vm, &result), env);
    EXPECT_EQ(result, JNI_OK);

    std::thread other([&] {
        jint r1 = JNI_ERR;
        jint r2 = JNI_ERR;
        JNIEnv* first = AttachCurrent(vm, &r1);
        JNIEnv* again = AttachCurrent(vm, &r2);
        EXPECT_EQ(r1, JNI_OK);
        EXPECT_EQ(r2, JNI_OK);
        EXPECT_NE(first, nullptr);
        EXPECT_NE(first, env);
        EXPECT_EQ(again, first);
        void* current = nullptr;
        EXPECT_EQ(vm->GetEnv(&current, JNI_VERSION_1_6), JNI_OK);
        EXPECT_EQ(current, first);
        EXPECT_EQ(vm->GetEnv(&current, 0x00010003), JNI_EVERSION);
        EXPECT_EQ(vm->DetachCurrentThread(), JNI_OK);
        current = kSentinelEnv;
        EXPECT_EQ(vm->GetEnv(&current, JNI_VERSION_1_6), JNI_EDETACHED);
        EXPECT_EQ(current, nullptr);
        EXPECT_EQ(vm->DetachCurrentThread(), JNI_OK);
        JNIEnv* later = AttachCurrent(vm);
        EXPECT_NE(later, first);
        vm->DetachCurrentThread();
    });
    other.join();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    std::vector<std::string> expected = {"result=0 existing=1", "result=0 existing=0",
                                         "result=0 existing=1", "result=0 existing=0"};
    EXPECT_EQ(Details("AttachCurrentThread"), expected);
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinThreads, EnvMisuseAndUseAfterDestroyAreFaults) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    std::thread other([&] { env->ExceptionCheck(); });
    other.join();
    EXPECT_EQ(vm->DetachCurrentThread(), JNI_OK);
    env->ExceptionCheck();
    // Detaching the creating thread is allowed, and so is destroying from a detached thread.
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    env->ExceptionCheck();
    // An attach after the end fails as HotSpot's does, without a fault: a stop may race it.
    void* again = nullptr;
    EXPECT_EQ(vm->AttachCurrentThread(&again, nullptr), JNI_ERR);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_ERR);

    std::vector<std::string> expected = {
        "env used on wrong thread in ExceptionCheck", "env used after detach in ExceptionCheck",
        "use of destroyed VM in ExceptionCheck", "use of destroyed VM in DestroyJavaVM"};
    EXPECT_EQ(Details("FAULT"), expected);
}

TEST_F(StandinThreads, DestroyWaitsForAttachedThreadsButNotForDaemons) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    Event detachNow;
    Event daemonAttached;
    Event daemonEnd;
    Event workerAttached;
    s.thread = std::thread([&] {
        s.createResult = Create(HostOptions(), &s.vm, &s.env);
        s.created.Set();
        if (s.createResult != JNI_OK) return;
        s.destroyNow.Wait(INFINITE);
        s.vm->DestroyJavaVM();
        s.destroyed.Set();
    });
    ASSERT_TRUE(s.created.Wait(kWaitMs));
    ASSERT_EQ(s.createResult, JNI_OK);
    std::thread daemon([&] {
        void* env = nullptr;
        s.vm->AttachCurrentThreadAsDaemon(&env, nullptr);
        daemonAttached.Set();
        daemonEnd.Wait(INFINITE);  // ends without detaching, as daemons may
    });
    std::thread worker([&] {
        AttachCurrent(s.vm);
        workerAttached.Set();
        detachNow.Wait(INFINITE);
        s.vm->DetachCurrentThread();
    });
    ASSERT_TRUE(daemonAttached.Wait(kWaitMs));
    ASSERT_TRUE(workerAttached.Wait(kWaitMs));
    s.destroyNow.Set();
    EXPECT_TRUE(WaitForLine("ENTER", "DestroyJavaVM"));
    EXPECT_FALSE(s.destroyed.Wait(150));
    detachNow.Set();
    worker.join();
    bool destroyed = s.destroyed.Wait(kWaitMs);
    daemonEnd.Set();
    daemon.join();
    EXPECT_TRUE(destroyed);
    if (!destroyed) return;
    s.thread.join();
    EXPECT_GT(SeqOf("DestroyJavaVM", "result=0"), SeqOf("DetachCurrentThread", "result=0"));
    EXPECT_EQ(Details("AttachCurrentThreadAsDaemon"),
              std::vector<std::string>{"result=0 existing=0"});
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinThreads, AttachFailScenarioReturnsItsResultAndNoEnv) {
    ASSERT_NO_FATAL_FAILURE(Scenario("attach=fail\nattach_result=-4\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    std::thread other([&] {
        jint result = JNI_OK;
        EXPECT_EQ(AttachCurrent(vm, &result), nullptr);
        EXPECT_EQ(result, JNI_ENOMEM);
        EXPECT_EQ(vm->DetachCurrentThread(), JNI_OK);
    });
    other.join();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    EXPECT_EQ(Details("AttachCurrentThread"), std::vector<std::string>{"result=-4 existing=0"});
}

// ---- gates and pauses ----

TEST_F(StandinGates, CreateAndMainWaitForTheirReleaseFiles) {
    ASSERT_NO_FATAL_FAILURE(Scenario("gate.create=1\ngate.main=1\nmain=return\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    auto create = [this](const std::vector<std::string>& o, JavaVM** vm, JNIEnv** env) {
        return Create(o, vm, env);
    };
    s.thread = std::thread(RunServiceThread, &s, HostOptions(), create, dir_, false);
    ASSERT_TRUE(WaitForLine("GATE", "create"));
    EXPECT_FALSE(s.created.Wait(50));
    Release(L"create");
    ASSERT_TRUE(s.created.Wait(kWaitMs));
    ASSERT_TRUE(WaitForLine("GATE", "main"));
    EXPECT_FALSE(s.mainReturned.Wait(50));
    EXPECT_EQ(SeqOf("LEAVE", "serviceMain"), 0u);
    Release(L"main");
    bool destroyed = s.destroyed.Wait(kWaitMs);
    EXPECT_TRUE(destroyed);
    if (!destroyed) return;
    s.thread.join();
    EXPECT_LT(SeqOf("GATE", "create"), SeqOf("LEAVE", "JNI_CreateJavaVM"));
    EXPECT_GT(SeqOf("GATE", "main"),
              SeqOf("CallStaticVoidMethod", "serviceMain arg=" + Ansi(dir_)));
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinGates, StopAndDestroyWaitForTheirReleaseFiles) {
    ASSERT_NO_FATAL_FAILURE(Scenario("gate.stop=1\ngate.destroy=1\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    auto create = [this](const std::vector<std::string>& o, JavaVM** vm, JNIEnv** env) {
        return Create(o, vm, env);
    };
    s.thread = std::thread(RunServiceThread, &s, HostOptions(), create, dir_, false);
    ASSERT_TRUE(s.created.Wait(kWaitMs));
    ASSERT_EQ(s.createResult, JNI_OK);
    ASSERT_TRUE(s.mainEntered.Wait(kWaitMs));
    Event stopReturned;
    std::thread stopper([&] {
        CallServiceStop(s.vm);
        stopReturned.Set();
    });
    ASSERT_TRUE(WaitForLine("GATE", "stop"));
    EXPECT_FALSE(stopReturned.Wait(50));
    EXPECT_EQ(SeqOf("LEAVE", "serviceMain"), 0u);
    Release(L"stop");
    EXPECT_TRUE(stopReturned.Wait(kWaitMs));
    stopper.join();
    ASSERT_TRUE(WaitForLine("GATE", "destroy"));
    EXPECT_FALSE(s.destroyed.Wait(50));
    Release(L"destroy");
    bool destroyed = s.destroyed.Wait(kWaitMs);
    EXPECT_TRUE(destroyed);
    if (!destroyed) return;
    s.thread.join();
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinGates, PauseDelaysCreation) {
    ASSERT_NO_FATAL_FAILURE(Scenario("pause.create=300\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    auto before = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 290);
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
}

// ---- record and scenario files ----

TEST_F(StandinRecord, ConcurrentLinesStayWholeNumberedAndLfTerminated) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    constexpr int kThreads = 8;
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    std::vector<DWORD> ids(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = GetCurrentThreadId();
            for (int i = 0; i < kRounds; ++i) {
                AttachCurrent(vm);
                vm->DetachCurrentThread();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);

    std::string bytes = ReadBytes(InDir(kStandinRecordFile));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\n');
    EXPECT_EQ(bytes.find('\r'), std::string::npos);
    std::set<unsigned long> known(ids.begin(), ids.end());
    known.insert(GetCurrentThreadId());
    auto lines = Record();
    int attaches = 0;
    int detaches = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].seq, i + 1) << lines[i].details;
        EXPECT_EQ(known.count(lines[i].tid), 1u) << lines[i].tid;
        if (lines[i].event == "AttachCurrentThread") {
            ++attaches;
            EXPECT_EQ(lines[i].details, "result=0 existing=0");
        }
        if (lines[i].event == "DetachCurrentThread") ++detaches;
    }
    EXPECT_EQ(attaches, kThreads * kRounds);
    EXPECT_EQ(detaches, kThreads * kRounds);
}

TEST_F(StandinRecord, ScenarioFileToleratesCommentsBlanksSpacesAndCrLf) {
    ASSERT_NO_FATAL_FAILURE(
        Scenario("# a comment\r\n\r\n   main = return  \r\nsome.future.key=1\r\nstop=missing"));
    ASSERT_NO_FATAL_FAILURE(Start());
    bool finished = RunBounded([this] {
        JavaVM* vm = nullptr;
        JNIEnv* env = nullptr;
        ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
        jclass cls = env->FindClass(kMainClass);
        EXPECT_EQ(env->GetStaticMethodID(cls, "serviceStop", "()V"), nullptr);
        env->ExceptionClear();
        jmethodID main = env->GetStaticMethodID(cls, "serviceMain", kMainSig);
        env->CallStaticVoidMethod(cls, main,
                                  env->NewString(reinterpret_cast<const jchar*>(L"x"), 1));
        vm->DestroyJavaVM();
    });
    EXPECT_TRUE(finished) << "main = return was not read";
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinRecord, BadScenarioValuesAreFaultsAndKeepDefaults) {
    ASSERT_NO_FATAL_FAILURE(Scenario("main=sideways\npause.main=soon\ngate.stop=yes\nnoequals\n"));
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    std::vector<std::string> expected = {
        "bad scenario line: main=sideways", "bad scenario line: pause.main=soon",
        "bad scenario line: gate.stop=yes", "bad scenario line: noequals"};
    EXPECT_EQ(Details("FAULT"), expected);
}

// ---- unloading ----

TEST_F(StandinUnload, FreeLibraryAfterAFullLifeRecordsUnloadLast) {
    ASSERT_NO_FATAL_FAILURE(Start());
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateLikeHost(&vm, &env));
    EXPECT_EQ(vm->DestroyJavaVM(), JNI_OK);
    ASSERT_NO_FATAL_FAILURE(Unload());
    auto lines = Record();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().event, "UNLOAD");
    EXPECT_TRUE(Details("FAULT").empty());
}

TEST_F(StandinUnload, UnloadWhileServiceMainRunsIsAFault) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ServiceThread s(&leakModule_);
    auto create = [this](const std::vector<std::string>& o, JavaVM** vm, JNIEnv** env) {
        return Create(o, vm, env);
    };
    s.thread = std::thread(RunServiceThread, &s, HostOptions(), create, dir_, false);
    ASSERT_TRUE(WaitForLine("CallStaticVoidMethod", "serviceMain arg=" + Ansi(dir_)));
    // The service thread stays blocked in a kernel wait for good; it never runs DLL code again.
    s.thread.detach();
    ASSERT_NO_FATAL_FAILURE(Unload());
    auto lines = Record();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].event, "UNLOAD");
    EXPECT_EQ(lines.back().event + " " + lines.back().details, "FAULT unloaded while in use");
}

// ---- traps ----

TEST_F(StandinTrap, UnimplementedSlotIsRecordedAndEndsTheProcess) {
    ASSERT_NO_FATAL_FAILURE(Install(L"plain"));
    DWORD exitCode = 0;
    ASSERT_NO_FATAL_FAILURE(RunChild(kTrapChildFlag, &exitCode));
    EXPECT_EQ(exitCode, kStandinTrapExitCode);
    const size_t slot = offsetof(JNINativeInterface_, GetStringUTFLength) / sizeof(void*);
    EXPECT_EQ(Details("FAULT"),
              std::vector<std::string>{"unimplemented JNIEnv slot " + std::to_string(slot)});
}

std::wstring ChildJvmPath() {
    wchar_t dir[1024];
    DWORD n = GetEnvironmentVariableW(kChildDirVariable, dir, static_cast<DWORD>(std::size(dir)));
    if (n == 0 || n >= std::size(dir)) return std::wstring();
    return std::wstring(dir, n) + L"\\jre\\bin\\client\\jvm.dll";
}

// Child side of the load test: the exit code is the load's error, or 0 when it loaded.
int RunLoadChild() {
    std::wstring path = ChildJvmPath();
    if (path.empty()) return -1;
    SetLastError(0);
    HMODULE module = LoadLibraryW(path.c_str());
    DWORD error = GetLastError();
    return module != nullptr ? 0 : static_cast<int>(error);
}

// Child side of the trap test: create a VM and call a JNI function the stand-in does not
// implement. Returns only if the trap failed to end the process.
int RunTrapChild() {
    std::wstring path = ChildJvmPath();
    if (path.empty()) return 2;
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) return 3;
    auto create = Entry<CreateJavaVmFn>(module, "JNI_CreateJavaVM");
    if (create == nullptr) return 4;
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_6;
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (create(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) return 5;
    env->GetStringUTFLength(nullptr);
    return 6;
}

LONG WINAPI ExitOnCrash(EXCEPTION_POINTERS* /*info*/) {
    // Without this, Wine starts winedbg and a crashed test can be reported as passed.
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(&ExitOnCrash);
    if (argc == 2 && strcmp(argv[1], kTrapChildFlag) == 0) return RunTrapChild();
    if (argc == 2 && strcmp(argv[1], kLoadChildFlag) == 0) return RunLoadChild();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
