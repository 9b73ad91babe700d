// The service with the real Java application on this machine's own JVM,
// through the bridge runtime (tests/bridge): real services under Wine's SCM,
// judged by their states and exit codes, the application's own log and the
// bridge's record of the JNI calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "support/dump_files.h"
#include "support/loopback_http.h"
#include "support/service_life.h"

namespace {

using namespace mvt;

// JVM start-up plus class loading, on a loaded machine.
const DWORD kJavaTimeoutMs = 60000;

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The run of these tests with -Xcheck:jni (the ctest entry BridgeTests.CheckJni).
bool CheckJniRun() {
    const char* value = std::getenv("MVT_BRIDGE_CHECK_JNI");
    return value != nullptr && std::string(value) == "1";
}

// A service whose jre\bin\client holds the bridge runtime, with `jars` in lib.
// With -Xcheck:jni (in the checking run, or when `checkJni`), any JNI warning
// the bridge gave in its words fails the test.
struct BridgeLife {
    BridgeLife(const std::wstring& tag, const std::vector<std::string>& jars,
               const std::string& javaOptions = std::string(), bool checkJni = false)
        : life(tag, Runtime::kNone, /*withJar=*/false), checksJni(checkJni || CheckJniRun()) {
        life.layout.MakeDir(L"jre\\bin\\client");
        life.layout.MakeDir(L"lib");
        life.layout.MakeDir(L"conf");
        CopyIn(MVT_BRIDGE_JVM, L"jre\\bin\\client\\jvm.dll");
        CopyIn(MVT_BRIDGE_JAR, L"jre\\bin\\client\\merivast-bridge.jar");
        life.layout.AddFile(L"jre\\bin\\client\\bridge.properties",
                            std::string("java=") + MVT_JAVA + "\njavaopts=" +
                                (checksJni ? "-Xcheck:jni " : "") + javaOptions + "\n");
        CopyIn(MVT_LOG4J_PROPERTIES, L"conf\\log4j.properties");
        for (const auto& jar : jars) CopyIn(jar, L"lib\\" + Widen(BaseName(jar)));
    }

    ~BridgeLife() {
        if (!checksJni) return;
        for (const auto& call : Record()) EXPECT_NE("JNIWARNING", call.event) << call.details;
    }

    void CopyIn(const std::string& linuxPath, const std::wstring& relative) {
        ASSERT_TRUE(CopyFileW(LinuxToWindowsPath(linuxPath).c_str(),
                              (dir() + L"\\" + relative).c_str(), FALSE))
            << linuxPath;
    }

    const std::wstring& dir() const { return life.layout.dir(); }
    std::string AgentLog() const { return ReadFileBytes(dir() + L"\\logs\\agent.log"); }
    std::string ConsoleLog(const wchar_t* name) const {
        return ReadFileBytes(dir() + L"\\logs\\" + name);
    }

    // False when the service process ended or the time ran out first.
    template <typename Condition>
    bool WaitFor(Condition done) const {
        const ULONGLONG deadline = GetTickCount64() + kJavaTimeoutMs;
        while (!done()) {
            if (GetTickCount64() > deadline || life.service.ProcessExitCode() != STILL_ACTIVE) {
                return done();
            }
            Sleep(20);
        }
        return true;
    }
    bool WaitForAgentLog(const std::string& text) const {
        return WaitFor([&] { return AgentLog().find(text) != std::string::npos; });
    }

    std::vector<JniCall> Record() const { return ReadJniRecord(dir() + L"\\bridge-record.txt"); }

    // What one thread did, without the creating thread's set-up lines.
    std::vector<std::string> CallsOn(DWORD thread) const {
        std::vector<std::string> calls;
        for (const auto& call : Record()) {
            if (call.thread != thread || call.event == "option" || call.event == "property" ||
                call.event == "alias" || call.event == "launch" || call.event == "java" ||
                call.event == "hook") {
                continue;
            }
            calls.push_back(call.details.empty() ? call.event : call.event + " " + call.details);
        }
        return calls;
    }

    // Everything the bridge and its Java process said, for a failure message.
    std::string Evidence() const {
        return "bridge-record.txt:\n" + ReadFileBytes(dir() + L"\\bridge-record.txt") +
               "bridge-java.log:\n" + ReadFileBytes(dir() + L"\\bridge-java.log") +
               "logs\\stderr.log:\n" + ConsoleLog(L"stderr.log");
    }

    ServiceLife life;
    const bool checksJni;
};

void ExpectNoTrap(const std::vector<JniCall>& calls) {
    for (const auto& call : calls) EXPECT_NE("TRAP", call.event) << call.details;
}

const JniCall* Find(const std::vector<JniCall>& calls, const std::string& event) {
    for (const auto& call : calls) {
        if (call.event == event) return &call;
    }
    return nullptr;
}

const std::string kMainClassFound = "FindClass com/merivast/agent/MerivastMain -> found";

TEST(BridgeService, RealApplicationGetsItsDirectoryAndOptionsAndStopsOnRequest) {
    BridgeLife run(L"bridge", {MVT_SAMPLE_JAR, MVT_COMMONS_LOGGING_JAR, MVT_LOG4J_JAR});
    const std::string dir = Narrow(run.dir());
    run.life.StartRunning();
    // The sample logs through log4j, configured by the file the host named, to
    // ${merivast.home}/logs, where merivast.home is serviceMain's argument.
    ASSERT_TRUE(run.WaitForAgentLog("serviceMain started in " + dir + "\n")) << run.Evidence();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    ExpectStoppedWith(run.life.service, 0, 0);
    EXPECT_EQ(0u, run.life.service.ProcessExitCode());
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());

    const std::string log = run.AgentLog();
    EXPECT_NE(std::string::npos, log.find("log4j.configuration=file:/")) << log;
    EXPECT_NE(std::string::npos, log.find("/conf/log4j.properties\n")) << log;
    EXPECT_NE(std::string::npos, log.find("org.apache.commons.logging.Log="
                                          "org.apache.commons.logging.impl.Log4JLogger\n"))
        << log;
    const size_t stopCalled = log.find("serviceStop called");
    EXPECT_NE(std::string::npos, stopCalled) << log;
    EXPECT_NE(std::string::npos, log.find("serviceMain returns", stopCalled)) << log;
    // java's standard output is the service's, and that is logs\stdout.log.
    EXPECT_EQ("MerivastMain: serviceMain started in " + dir + "\n", run.ConsoleLog(L"stdout.log"));

    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    const JniCall* create = Find(calls, "JNI_CreateJavaVM");
    const JniCall* attach = Find(calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, create) << run.Evidence();
    ASSERT_NE(nullptr, attach) << run.Evidence();
    // The options as the host passed them, Windows paths and all.
    std::vector<std::string> options;
    for (const auto& call : calls) {
        if (call.event == "option") options.push_back(call.details);
    }
    EXPECT_EQ((std::vector<std::string>{
                  "-Djava.class.path=" + dir + "\\lib\\commons-logging.jar;" + dir +
                      "\\lib\\log4j-1.2.jar;" + dir + "\\lib\\merivast-agent.jar",
                  "-Dlog4j.configuration=file:/" + dir + "\\conf\\log4j.properties",
                  "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.Log4JLogger",
                  "exit", "abort", "vfprintf"}),
              options);
    // Loaded without initialising it, asked for serviceMain through reflection, then
    // initialised by the lookup on this thread, which runs serviceMain.
    const std::vector<std::string> made = run.CallsOn(create->thread);
    const auto loaded = std::find(made.begin(), made.end(), "returned forName an object");
    const auto found = std::find(made.begin(), made.end(),
                                 "GetStaticMethodID serviceMain (Ljava/lang/String;)V -> found");
    ASSERT_TRUE(loaded < found && found != made.end()) << run.Evidence();
    EXPECT_EQ((std::vector<std::string>{
                  "GetStaticMethodID serviceMain (Ljava/lang/String;)V -> found",
                  "NewString " + dir, "CallStaticVoidMethod serviceMain arg=" + dir,
                  "returned serviceMain", "ExceptionCheck -> 0", "ExceptionCheck -> 0",
                  "DestroyJavaVM", "DestroyJavaVM -> 0, java ended", "UNLOAD"}),
              std::vector<std::string>(found, made.end()))
        << run.Evidence();
    EXPECT_EQ((std::vector<std::string>{"AttachCurrentThread -> 0", kMainClassFound,
                                        "GetStaticMethodID serviceStop ()V -> found",
                                        "CallStaticVoidMethod serviceStop", "returned serviceStop",
                                        "DetachCurrentThread -> 0"}),
              run.CallsOn(attach->thread));
}

TEST(BridgeService, OperatorOptionsReachTheRealVm) {
    BridgeLife run(L"bridgeoptions", {MVT_SAMPLE_JAR, MVT_COMMONS_LOGGING_JAR, MVT_LOG4J_JAR});
    run.life.layout.AddFile(L"conf\\jvm.options", "-Xmx64m\r\n-Dmerivast.greeting=hello\r\n");
    run.life.StartRunning();
    ASSERT_TRUE(run.WaitForAgentLog("maximum heap ")) << run.Evidence();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);

    // The VM's own figure: what -Xmx64m gives, less what the collector keeps back.
    const std::string log = run.AgentLog();
    const size_t at = log.find("maximum heap ") + 13;
    const unsigned long mib = std::stoul(log.substr(at));
    EXPECT_LE(mib, 64u) << log;
    EXPECT_GE(mib, 48u) << log;
    const std::vector<JniCall> calls = run.Record();
    const JniCall* launch = Find(calls, "launch");
    ASSERT_NE(nullptr, launch) << run.Evidence();
    EXPECT_NE(std::string::npos, launch->details.find(" -Xmx64m ")) << launch->details;
    bool property = false;
    for (const auto& call : calls) {
        property =
            property || (call.event == "property" && call.details == "merivast.greeting=hello");
    }
    EXPECT_TRUE(property) << run.Evidence();
}

struct FailureCase {
    const wchar_t* tag;
    const char* jar;
    DWORD specificExitCode;
    std::vector<std::wstring> events;  // a leading "*": the text begins with the rest
    std::string failedCall;            // how the creating thread's last call into Java began
    std::string description;           // how ExceptionDescribe's text in stderr.log begins
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class BridgeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BridgeFailure, GivesTheFailureExitCode) {
    const FailureCase& c = GetParam();
    BridgeLife run(c.tag, {c.jar});
    run.life.StartRunning();
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.States()) << run.Evidence();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, c.specificExitCode);
    const std::vector<std::wstring> texts = trace.Texts();
    ASSERT_EQ(c.events.size(), texts.size()) << run.Evidence();
    for (size_t i = 0; i < texts.size(); ++i) {
        if (c.events[i][0] == L'*') {
            EXPECT_EQ(0u, texts[i].find(c.events[i].substr(1))) << Narrow(texts[i]);
        } else {
            EXPECT_EQ(c.events[i], texts[i]);
        }
    }
    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    const JniCall* create = Find(calls, "JNI_CreateJavaVM");
    ASSERT_NE(nullptr, create) << run.Evidence();
    const std::vector<std::string> made = run.CallsOn(create->thread);
    // The failed call's exception is described while pending, and gone before DestroyJavaVM.
    size_t failed = 0;
    while (failed < made.size() && made[failed].rfind(c.failedCall, 0) != 0) ++failed;
    ASSERT_LT(failed, made.size()) << run.Evidence();
    const std::vector<std::string> after(made.begin() + static_cast<long>(failed) + 1, made.end());
    ASSERT_GE(after.size(), 4u) << run.Evidence();
    EXPECT_NE(after.end(), std::find_if(after.begin(), after.end(),
                                        [](const std::string& call) {
                                            return call.rfind("ExceptionDescribe java.lang.", 0) ==
                                                   0;
                                        }))
        << run.Evidence();
    EXPECT_EQ((std::vector<std::string>{"ExceptionCheck -> 0", "DestroyJavaVM",
                                        "DestroyJavaVM -> 0, java ended", "UNLOAD"}),
              std::vector<std::string>(after.end() - 4, after.end()));
    const std::string stderrLog = run.ConsoleLog(L"stderr.log");
    EXPECT_EQ(0u, stderrLog.find(c.description)) << stderrLog;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, BridgeFailure,
    ::testing::Values(
        // Only the logging jars: the class is not on the class path.
        FailureCase{L"bridgenoclass",
                    MVT_LOG4J_JAR,
                    4,
                    {L"Service started", L"Can not find entry point:\n",
                     L"*Looked for the class com.merivast.agent.MerivastMain, with its static void "
                     L"serviceMain(String), in the jars of C:\\mvt\\bridgenoclass-",
                     L"Service stopped"},
                    "threw forName java.lang.ClassNotFoundException: "
                    "com.merivast.agent.MerivastMain",
                    "Exception in thread \"main\" java.lang.ClassNotFoundException: "
                    "com.merivast.agent.MerivastMain\n"},
        FailureCase{L"bridgethrows",
                    MVT_THROWING_JAR,
                    5,
                    {L"Service started",
                     L"serviceMain ended with an exception; its stack trace is in "
                     L"logs\\stderr.log.",
                     L"Service stopped"},
                    "threw serviceMain java.lang.IllegalStateException: serviceMain fails on "
                    "purpose in C:\\mvt\\bridgethrows-",
                    "Exception in thread \"main\" java.lang.IllegalStateException: serviceMain "
                    "fails on purpose in C:\\mvt\\bridgethrows-"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return Narrow(info.param.tag); });

TEST(BridgeService, RealJvmRefusingItsHeapExplainsItInTheEventLog) {
    BridgeLife run(L"bridgeheap", {MVT_SAMPLE_JAR, MVT_COMMONS_LOGGING_JAR, MVT_LOG4J_JAR},
                   "-Xmx100000g");
    run.life.StartRunning();
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.States()) << run.Evidence();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 3);
    // This JVM's own words, passed through the host's vfprintf hook.
    const std::wstring words =
        L"Error occurred during initialization of VM\nCould not reserve enough space for "
        L"104857600000KB object heap";
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"CreateJavaVM ERROR",
                                         L"The Java runtime reported:\n" + words,
                                         L"The JVM is not initialized.", L"Service stopped"}),
              trace.Texts())
        << run.Evidence();
    EXPECT_EQ(Narrow(words) + "\n", run.ConsoleLog(L"stderr.log"));
    ExpectNoTrap(run.Record());
}

// System.exit in a real application (tests/bridge/java-exiting), while
// serviceMain runs: the real JVM ends, and the bridge calls the host's exit
// hook with its status.
TEST(BridgeService, SystemExitInServiceMainEndsTheServiceWithItsStatus) {
    BridgeLife run(L"bridgeexit", {MVT_EXITING_JAR}, "-Dmerivast.test.exitStatus=3");
    run.life.layout.AddFile(L"conf\\service.properties",
                            "main.class=com.merivast.exiting.ExitingMain\r\n");
    run.life.StartRunning();
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.States()) << run.Evidence();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 8);
    ExpectProcessExitCode(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR);
    ASSERT_EQ(3u, trace.events.size()) << run.Evidence();
    ExpectEvent(trace.events[1], EVENTLOG_ERROR_TYPE,
                L"The Java application ended the process with status 3.");
    EXPECT_EQ(
        "ExitingMain: serviceMain started in " + Narrow(run.dir()) + ", calls System.exit(3)\n",
        run.ConsoleLog(L"stdout.log"))
        << run.Evidence();
    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    const JniCall* exit = Find(calls, "EXIT");
    ASSERT_NE(nullptr, exit) << run.Evidence();
    EXPECT_EQ("java exited with status 3, exit hook called", exit->details);
    EXPECT_EQ(nullptr, Find(calls, "DestroyJavaVM")) << "System.exit never returns";
}

// An ordinary program, run through its main(String[]) on the real JVM and
// reported running once main has returned: it answers at once, and the host's
// stop (System.exit(0) on a daemon thread, while the VM waits for the server's
// thread) runs its hook.
TEST(BridgeService, OrdinaryProgramAnswersAndItsShutdownHookRunsAtTheStop) {
    BridgeLife run(L"bridgehttp", {MVT_HTTP_SAMPLE_JAR});
    const unsigned short port = FreeLoopbackPort();
    ASSERT_NE(0u, port);
    const std::string words =
        "\"" + std::to_string(port) + "\", \"h\xC3\xA9llo w\xC3\xB6rld\", \"a;b\"";
    run.life.layout.AddFile(
        L"conf\\service.properties",
        "main.class=org.example.http.HttpSample\r\nstart.ready=main-returned\r\n");
    run.life.layout.AddFile(L"conf\\main.args", "# port, then words\r\n" + std::to_string(port) +
                                                    "\r\n  h\xC3\xA9llo w\xC3\xB6rld \r\na;b\r\n");
    // Running comes once the real JVM has started and main has returned.
    ASSERT_EQ(0u, run.life.service.Start());
    ASSERT_TRUE(run.life.service.WaitForState(SERVICE_RUNNING, kJavaTimeoutMs)) << run.Evidence();
    std::string response;
    // Running means the port is bound: the first request is answered.
    EXPECT_TRUE(LoopbackGet(port, "/", &response)) << run.Evidence();
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLine(response));
    EXPECT_EQ("HttpSample answers with arguments [" + words + "]\n", Body(response));
    // main has returned; the VM waits for the server's thread.
    ASSERT_TRUE(run.WaitFor([&] { return Find(run.Record(), "DestroyJavaVM") != nullptr; }))
        << run.Evidence();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges()) << run.Evidence();
    ExpectStoppedWith(run.life.service, 0, 0);
    ExpectProcessExitCode(run.life.service, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
    EXPECT_NE(
        std::string::npos,
        run.ConsoleLog(L"stdout.log").find("HttpSample: shutdown hook ran, closing the server\n"))
        << run.Evidence();

    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    // main runs on a thread of the launcher's shape, attached as "main".
    const JniCall* main = Find(calls, "AttachCurrentThread");
    const JniCall* stop = Find(calls, "AttachCurrentThreadAsDaemon");
    ASSERT_NE(nullptr, main) << run.Evidence();
    ASSERT_NE(nullptr, stop) << run.Evidence();
    const std::vector<std::string> made = run.CallsOn(main->thread);
    EXPECT_NE(made.end(), std::find(made.begin(), made.end(),
                                    "CallStaticVoidMethod main arg=java/lang/String[3] {" +
                                        std::to_string(port) + ", h\xC3\xA9llo w\xC3\xB6rld, a;b}"))
        << run.Evidence();
    EXPECT_EQ("DestroyJavaVM", made.back()) << "the exit came while the VM waited for the server";
    EXPECT_EQ((std::vector<std::string>{
                  "AttachCurrentThreadAsDaemon -> 0", "FindClass java/lang/System -> found",
                  "GetStaticMethodID exit (I)V -> found", "CallStaticVoidMethod exit arg=0"}),
              run.CallsOn(stop->thread));
    const JniCall* exit = Find(calls, "EXIT");
    ASSERT_NE(nullptr, exit) << run.Evidence();
    EXPECT_EQ("java exited with status 0, exit hook called", exit->details);
}

// conf\environment on the real JVM: System.getenv and a child process of the
// application see its values, %SystemRoot% expanded and non-ASCII kept.
TEST(BridgeService, EnvironmentReachesTheVmAndItsChildProcesses) {
    BridgeLife run(L"bridgeenv", {MVT_EXITING_JAR});
    run.life.layout.AddFile(L"conf\\service.properties",
                            "main.class=com.merivast.exiting.EnvironmentMain\r\n");
    run.life.layout.AddFile(L"conf\\main.args", "MVT_GREETING\r\nMVT_WINDOWS\r\n");
    run.life.layout.AddFile(L"conf\\environment",
                            "# what the application needs\r\n MVT_GREETING = gr\xC3\xBC\xC3\x9F"
                            "e \r\nMVT_WINDOWS=%SystemRoot%\\x\r\n");
    wchar_t root[MAX_PATH] = {};
    ASSERT_NE(0u, GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH));
    ASSERT_EQ(0u, run.life.service.Start());
    run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
    const std::string windows = Narrow(root) + "\\x";
    EXPECT_EQ(
        "getenv MVT_GREETING=gr\xC3\xBC\xC3\x9F"
        "e\nchild MVT_GREETING=gr\xC3\xBC\xC3\x9F"
        "e\ngetenv MVT_WINDOWS=" +
            windows + "\nchild MVT_WINDOWS=" + windows + "\n",
        run.ConsoleLog(L"stdout.log"))
        << run.Evidence();
}

// A class run as java runs one, on the real JVM: Java 17's launcher helper
// (before Java 25, no isStaticMain: main(String[]) is static) loads it without
// initialising it, so its static initialiser runs on the thread that runs
// main; a class the runtime cannot load or initialise is named with the
// runtime's own words and the jar that holds it (tests/bridge/java-exiting).
struct LaunchedClassCase {
    const wchar_t* tag;
    const char* mainClass;
    DWORD specificCode;
    // How the event between "Service started" and "Service stopped" begins, if there is one
    // (Wine's trace shows only an event's first 300 characters or so).
    std::wstring event;
    std::string printed;  // logs\stdout.log
};

void PrintTo(const LaunchedClassCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class BridgeLaunchedClass : public ::testing::TestWithParam<LaunchedClassCase> {};

TEST_P(BridgeLaunchedClass, RunsAsJavaRunsItOrSaysWhyInTheRuntimesWords) {
    const LaunchedClassCase& c = GetParam();
    BridgeLife run(c.tag, {MVT_EXITING_JAR});
    run.life.layout.AddFile(L"conf\\service.properties",
                            std::string("main.class=com.merivast.exiting.") + c.mainClass + "\r\n");
    run.life.StartRunning();
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, c.specificCode == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR,
                      c.specificCode);
    std::vector<std::wstring> texts = trace.Texts();
    ASSERT_EQ(c.event.empty() ? 2u : 3u, texts.size()) << run.Evidence();
    EXPECT_EQ(0u, texts[1].rfind(c.event.empty() ? L"Service stopped" : c.event, 0))
        << Narrow(texts[1]);
    EXPECT_EQ(c.printed, run.ConsoleLog(L"stdout.log")) << run.Evidence();
    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    if (c.specificCode == 0) {
        EXPECT_TRUE(HasCall(calls, "GetStaticFieldID",
                            "isStaticMain Z -> NULL, pending java.lang.NoSuchFieldError"))
            << run.Evidence();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BridgeLaunchedClass,
    ::testing::Values(
        LaunchedClassCase{L"bridgeclinit", "ThreadMain", 0, L"",
                          "ThreadMain: initialised on the thread that runs main: true, named "
                          "main, alive true\n"},
        LaunchedClassCase{
            L"bridgenewer", "NewerMain", 4,
            L"The class com.merivast.exiting.NewerMain in the jar exiting-agent.jar could not be "
            L"loaded: java.lang.UnsupportedClassVersionError: com/merivast/exiting/NewerMain has "
            L"been compiled by a more recent version of the Java Runtime (class file version "
            L"65.0), this version of the Java Runtime only",
            ""},
        LaunchedClassCase{
            L"bridgefailinginit", "FailingInit", 4,
            L"The class com.merivast.exiting.FailingInit in the jar exiting-agent.jar could not "
            L"be initialised: java.lang.ExceptionInInitializerError; caused by "
            L"java.lang.IllegalStateException: no logging library on the class path",
            ""}),
    [](const ::testing::TestParamInfo<LaunchedClassCase>& info) { return Narrow(info.param.tag); });

// A stop method that throws: its words in an event, and System.exit(0) at once.
TEST(BridgeService, ThrowingStopMethodIsSaidAndTheProgramEndsAtOnce) {
    BridgeLife run(L"bridgestopthrows", {MVT_EXITING_JAR});
    run.life.layout.AddFile(L"conf\\service.properties",
                            "main.class=com.merivast.exiting.ThreadMain\r\nstop.timeout=60\r\n"
                            "stop.method=com.merivast.exiting.ThreadMain.stop\r\n");
    run.life.layout.AddFile(L"conf\\main.args", "linger\r\n");
    run.life.StartRunning();
    ASSERT_TRUE(run.WaitFor([&] {
        return run.ConsoleLog(L"stdout.log").find("ThreadMain: ") != std::string::npos;
    })) << run.Evidence();
    const ULONGLONG stopped = GetTickCount64();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
    EXPECT_LT(GetTickCount64() - stopped, 20000u) << "not half of stop.timeout";
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Service started",
                  L"The stop method com.merivast.exiting.ThreadMain.stop(String[]) of stop.method "
                  L"ended with an exception (its stack trace is in logs\\stderr.log); the "
                  L"application is ended through System.exit(0). The exception: "
                  L"java.lang.IllegalStateException: stop fails on purpose",
                  L"Service stopped"}),
              trace.Texts())
        << run.Evidence();
}

// A jar run as "java -jar" runs it, on the real JVM: its manifest's Main-Class,
// Class-Path, Launcher-Agent-Class and Add-Opens all in effect; commons-logging
// without log4j logs (no logging option is forced on it); -Xss8m reaches the
// thread that runs main; sun.java.command names the jar and its arguments; and
// the stop calls the program's own stop method with conf\stop.args, after
// which it ends by itself.
struct LaunchedJarLife : BridgeLife {
    explicit LaunchedJarLife(const std::wstring& tag) : BridgeLife(tag, {}) {
        DeleteFileW((dir() + L"\\conf\\log4j.properties").c_str());
        life.layout.MakeDir(L"app");
        life.layout.MakeDir(L"app\\libs");
        CopyIn(MVT_LAUNCHED_JAR, L"app\\launched.jar");
        CopyIn(MVT_LAUNCHED_DEP_JAR, L"app\\libs\\launched-dep.jar");
        CopyIn(MVT_COMMONS_LOGGING_JAR, L"app\\libs\\commons-logging.jar");
    }
};

TEST(BridgeService, JarRunsAsJavaJarRunsItAndStopsThroughItsOwnStopMethod) {
    LaunchedJarLife run(L"bridgejar");
    run.life.layout.AddFile(L"conf\\service.properties",
                            "main.jar=app/launched.jar\r\nstart.ready=main-returned\r\n"
                            "stop.method=org.example.launched.LaunchedMain.stop\r\n");
    run.life.layout.AddFile(L"conf\\jvm.options", "-Xss8m\r\n");
    run.life.layout.AddFile(L"conf\\main.args", "one\r\ntwo words\r\n");
    run.life.layout.AddFile(L"conf\\stop.args", "now\r\nplease\r\n");
    ASSERT_EQ(0u, run.life.service.Start());
    ASSERT_TRUE(run.life.service.WaitForState(SERVICE_RUNNING, kJavaTimeoutMs)) << run.Evidence();
    const std::string jar = Narrow(run.dir()) + "\\app\\launched.jar";
    // java's output reaches logs\\ a poll after it was written.
    EXPECT_TRUE(run.WaitFor([&] {
        return run.ConsoleLog(L"stdout.log").find("main returns") != std::string::npos &&
               run.ConsoleLog(L"stderr.log").find("first log line") != std::string::npos;
    }));
    EXPECT_EQ(
        "LaunchedMain: arguments [one, two words]\n"
        "LaunchedMain: sun.java.command=" +
            jar +
            " one two words\n"
            "LaunchedMain: launcher agent ran before main\n"
            "LaunchedMain: class path gives LaunchedDep from libs/launched-dep.jar\n"
            "LaunchedMain: add-opens in effect\n"
            "LaunchedMain: recursion depth 30000\n"
            "LaunchedMain: main returns\n",
        run.ConsoleLog(L"stdout.log"))
        << run.Evidence();
    EXPECT_NE(std::string::npos,
              run.ConsoleLog(L"stderr.log").find("INFO: LaunchedMain: first log line"))
        << run.Evidence();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges()) << run.Evidence();
    ExpectStoppedWith(run.life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
    EXPECT_NE(
        std::string::npos,
        run.ConsoleLog(L"stdout.log")
            .find("LaunchedMain: stop called with [now, please]\nLaunchedMain: worker ends\n"))
        << run.Evidence();
    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    EXPECT_EQ(nullptr, Find(calls, "EXIT")) << "the program ended by itself, without System.exit";
    const JniCall* main = Find(calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, main) << run.Evidence();
    EXPECT_EQ("-> 0, named main", main->details);
    const std::vector<std::string> made = run.CallsOn(main->thread);
    EXPECT_EQ("DestroyJavaVM -> 0, java ended", made.back()) << run.Evidence();
}

// A jar without Main-Class: the JDK's launcher helper refuses it in its own words.
TEST(BridgeService, JarWithoutMainClassIsRefusedInTheJdksWords) {
    LaunchedJarLife run(L"bridgebadjar");
    run.life.layout.AddFile(L"conf\\service.properties", "main.jar=app/libs/launched-dep.jar\r\n");
    run.life.StartRunning();
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 4);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started",
                                         L"The Java runtime refused to run the jar " + run.dir() +
                                             L"\\app\\libs\\launched-dep.jar (status 1); it "
                                             L"says why in logs\\stderr.log.",
                                         L"Service stopped"}),
              trace.Texts())
        << run.Evidence();
    EXPECT_NE(std::string::npos, run.ConsoleLog(L"stderr.log").find("no main manifest attribute"))
        << run.Evidence();
}

TEST(BridgeService, KilledJavaProcessEndsServiceMainWithAnException) {
    BridgeLife run(L"bridgekill", {MVT_SAMPLE_JAR, MVT_COMMONS_LOGGING_JAR, MVT_LOG4J_JAR});
    run.life.StartRunning();
    ASSERT_TRUE(run.WaitForAgentLog("serviceMain started in ")) << run.Evidence();
    const std::vector<JniCall> before = run.Record();
    const JniCall* java = Find(before, "java");
    ASSERT_NE(nullptr, java) << run.Evidence();
    const std::string pid = java->details.substr(4, java->details.find(' ') - 4);
    // Never "-1" or the like: kill would take other processes with it.
    ASSERT_TRUE(!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos &&
                std::stoul(pid) > 1)
        << java->details;
    // A Linux program: Wine starts it but gives no handle to wait on.
    std::wstring command = L"kill -9 " + Widen(pid);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\kill", &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_EQ(kStartedAndStopped, trace.States()) << run.Evidence();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 5);
    const std::vector<JniCall> calls = run.Record();
    ExpectNoTrap(calls);
    EXPECT_NE(nullptr, Find(calls, "LOST")) << run.Evidence();
}

}  // namespace

// --- Dumps on the real JVM (JDK 17): the diagnostic command, the thread bean,
// the HotSpot bean's heap dump ---
namespace {

const std::wstring kThreadDumpWritten = L"A thread dump of the Java application was written to ";

// The file an event names after `prefix`, without the closing period.
std::wstring FileAfter(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0
               ? text.substr(prefix.size(), text.size() - prefix.size() - 1)
               : std::wstring();
}

// The dump tests' application under `mainClass`, running, with `options` for java.
struct DumpsLife {
    DumpsLife(const std::wstring& tag, const std::string& mainClass, const std::string& options,
              const std::string& properties = std::string(), bool checkJni = false)
        : run(tag, {MVT_DUMPS_JAR}, options, checkJni) {
        run.life.layout.AddFile(L"conf\\service.properties",
                                "main.class=" + mainClass + "\n" + properties);
        run.life.StartRunning();
        EXPECT_TRUE(run.WaitFor([&] {
            return run.ConsoleLog(L"stdout.log").find("Scene: started") != std::string::npos;
        })) << run.Evidence();
    }
    BridgeLife run;
};

// Walks an HPROF file's records to its end, as a reader does: the header,
// then (tag, time, length, body) records that end exactly at the file's end.
bool IsWholeHprof(const std::string& bytes) {
    const std::string header = "JAVA PROFILE 1.0.2";
    if (bytes.compare(0, header.size() + 1, header.c_str(), header.size() + 1) != 0) return false;
    size_t at = header.size() + 1 + 4 + 8;  // identifier size, time
    while (at + 9 <= bytes.size()) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 5;
        const size_t length =
            (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
        at += 9 + length;
    }
    return at == bytes.size() && bytes.size() > 1000;
}

}  // namespace

TEST(BridgeDumps, ThreadDumpOfBothContractsShowsEveryThreadAndTheLockHeld) {
    for (const char* mainClass : {"com.merivast.dumps.ServiceApp", "com.merivast.dumps.MainApp"}) {
        DumpsLife dumps(L"bdump", mainClass, "");
        BridgeLife& run = dumps.run;
        EXPECT_EQ(0u, run.life.service.Control(255));
        const std::wstring event =
            WaitForEventText(run.life.service, kThreadDumpWritten, kJavaTimeoutMs);
        const std::string text = ReadFileBytes(FileAfter(event, kThreadDumpWritten));
        EXPECT_EQ(0u,
                  text.find("Thread dump by the Java runtime's diagnostic command Thread.print -l"))
            << Narrow(event) << run.Evidence();
        EXPECT_NE(std::string::npos, text.find("Full thread dump OpenJDK")) << text;
        EXPECT_NE(std::string::npos, text.find("\"lock-holder\"")) << text;
        EXPECT_NE(std::string::npos, text.find("- locked <0x")) << text;
        EXPECT_NE(std::string::npos, text.find("(a com.merivast.dumps.Scene$LockedThing)")) << text;
        EXPECT_NE(std::string::npos, text.find("Locked ownable synchronizers:")) << "-l was given";
        EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        run.life.Finish();
        ExpectStoppedWith(run.life.service, 0, 0);
        ExpectNoTrap(run.Record());
    }
}

// The HotSpot bean writes the live objects into the dump's own folder; the
// file moved up into logs\ is one the JDK's HPROF readers take whole.
TEST(BridgeDumps, HeapDumpIsAWholeHprofFile) {
    DumpsLife dumps(L"bheap", "com.merivast.dumps.ServiceApp", "");
    BridgeLife& run = dumps.run;
    EXPECT_EQ(0u, run.life.service.Control(254));
    const std::wstring written =
        L"A heap dump of the Java application's live objects was written to ";
    const std::wstring event = WaitForEventText(run.life.service, written, kJavaTimeoutMs);
    const std::wstring file = FileAfter(event, written);
    ASSERT_NE(L"", file) << Narrow(WaitForEventText(run.life.service, L"No heap dump", 1))
                         << run.Evidence();
    EXPECT_TRUE(IsWholeHprof(ReadFileBytes(file)));
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
}

TEST(BridgeDumps, DeadlockIsReportedOnceAndRestartEndsWithCode12) {
    const std::wstring found = L"Java threads are deadlocked: ";
    for (const char* watch : {"report", "restart"}) {
        DumpsLife dumps(L"bdead", "com.merivast.dumps.ServiceApp", "-Dmerivast.test.deadlock=true",
                        std::string("watch.deadlock=") + watch + "\nwatch.interval=1\n");
        BridgeLife& run = dumps.run;
        const std::wstring event = WaitForEventText(run.life.service, found, kJavaTimeoutMs);
        EXPECT_TRUE(event.find(L"\"deadlock-a\"") != std::wstring::npos &&
                    event.find(L"\"deadlock-b\"") != std::wstring::npos)
            << Narrow(event) << run.Evidence();
        if (std::string(watch) == "report") {
            Sleep(3000);  // three more checks
            EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
        }
        const ProcessTrace trace = run.life.Finish();
        size_t reports = 0;
        for (const auto& text : trace.Texts()) reports += text.compare(0, found.size(), found) == 0;
        EXPECT_EQ(1u, reports);
        const size_t named = event.find(L"Their stacks are in ");
        ASSERT_NE(std::wstring::npos, named) << Narrow(event);
        const std::string dump =
            ReadFileBytes(event.substr(named + 20, event.find(L".txt") + 4 - named - 20));
        EXPECT_NE(std::string::npos, dump.find("Found one Java-level deadlock:")) << dump;
        if (std::string(watch) == "restart") {
            ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 12);
        } else {
            ExpectStoppedWith(run.life.service, 0, 0);
        }
    }
}

// serviceMain returns at the stop, but a non-daemon thread holds the VM's end
// up: the deadline's dump shows it.
TEST(BridgeDumps, StopPastTheDeadlineLeavesADumpNamingTheHungThread) {
    DumpsLife dumps(L"bstuck", "com.merivast.dumps.ServiceApp", "-Dmerivast.test.stuck=true",
                    "stop.timeout=3\n");
    BridgeLife& run = dumps.run;
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 10);
    const std::wstring prefix =
        L"The Java application did not end within 3 s of the stop request; the service ends it. "
        L"Its threads at the deadline are in ";
    ASSERT_EQ(3u, trace.events.size()) << run.Evidence();
    const std::wstring& text = trace.events[1].strings[0];
    const std::string dump = ReadFileBytes(FileAfter(text, prefix));
    EXPECT_NE(std::string::npos, dump.find("\"stuck-worker\"")) << Narrow(text) << dump;
}

// --- The health check on the real JVM: the health test application
// (tests/bridge/java-health), a main(String[]) that never returns, asked
// through GET /health or its static boolean healthy() ---
namespace {

const std::wstring kHealthEvent = L"The health check ";

// How each check asks; the application's line for a failure, the thread a hanging check
// blocks, and two runs of failures (the mode, the event's words for it).
struct HealthCase {
    const wchar_t* tag;
    bool byUrl;
    const char* failingSaid;
    const char* hungThread;
    const char* firstMode;
    const wchar_t* firstWords;
    const char* secondMode;
    const wchar_t* secondWords;
};

void PrintTo(const HealthCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

// The application answering `mode` at first, asked every second with a
// timeout of `timeout` seconds; `properties` add to that.
struct HealthLife : BridgeLife {
    HealthLife(const HealthCase& c, const std::string& properties, const std::string& mode,
               const std::string& timeout = "2")
        : BridgeLife(c.tag, {MVT_HEALTH_JAR}), port(FreeLoopbackPort()), control(0) {
        while (control == 0 || control == port) control = FreeLoopbackPort();
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/health";
        name = c.byUrl ? L"GET " + Widen(url) : L"com.merivast.health.HealthApp.healthy()";
        life.layout.AddFile(
            L"conf\\service.properties",
            "main.class=com.merivast.health.HealthApp\r\nhealth.interval=1\r\nhealth.timeout=" +
                timeout + "\r\n" +
                (c.byUrl ? "health.url=" + url
                         : std::string("health.method=com.merivast.health.HealthApp.healthy")) +
                "\r\n" + properties);
        life.layout.AddFile(
            L"conf\\main.args",
            std::to_string(port) + "\r\n" + std::to_string(control) + "\r\n" + mode + "\r\n");
    }

    void StartListening() {
        life.StartRunning();
        ASSERT_TRUE(WaitFor([&] { return Said("HealthApp: listening") == 1; })) << Evidence();
    }
    bool SetMode(const std::string& mode) const {
        std::string response;
        return LoopbackGet(control, "/mode/" + mode, &response) &&
               StatusLine(response) == "HTTP/1.1 200 OK";
    }
    // How often the application has said `line` on its standard output.
    size_t Said(const std::string& line) const {
        const std::string out = ConsoleLog(L"stdout.log");
        size_t count = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
            ++count;
        }
        return count;
    }
    size_t HealthEvents() const {
        size_t count = 0;
        for (const auto& text :
             ReadProcessTrace(life.service.pid(), life.service.traceStart()).Texts())
            count += text.compare(0, kHealthEvent.size(), kHealthEvent) == 0;
        return count;
    }
    // "... failed 3 times in a row; the last time: <words>. The application's
    // threads are in <dir>\logs\threaddump-"
    std::wstring FailedText(const std::wstring& words) const {
        return kHealthEvent + name + L" failed 3 times in a row; the last time: " + words +
               L". The application's threads are in " + dir() + L"\\logs\\threaddump-";
    }

    unsigned short port;
    unsigned short control;
    std::wstring name;
};

class BridgeHealth : public ::testing::TestWithParam<HealthCase> {};

// start.ready=health: start-pending until the first pass (main never
// returns); then three checks that hang end the service (1066/13) with a
// dump that shows the blocked threads.
TEST_P(BridgeHealth, StartWaitsForThePassAndHangingChecksEndTheService) {
    const HealthCase& c = GetParam();
    HealthLife run(c, "start.ready=health\r\n", "503");
    ASSERT_EQ(0u, run.life.service.Start());
    ASSERT_TRUE(run.WaitFor([&] { return run.Said(c.failingSaid) >= 3; })) << run.Evidence();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), run.life.service.Query().dwCurrentState);
    ASSERT_TRUE(run.SetMode("ok"));
    ASSERT_TRUE(run.life.service.WaitForState(SERVICE_RUNNING, kJavaTimeoutMs)) << run.Evidence();
    ASSERT_TRUE(run.SetMode("hang"));
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR, 13);
    ExpectProcessExitCode(run.life.service, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(kStartedAndStopped, trace.StateChanges()) << run.Evidence();
    const std::vector<std::wstring> texts = trace.Texts();
    ASSERT_EQ(3u, texts.size()) << run.Evidence();
    const std::wstring expected = run.FailedText(L"no answer within 2 s");
    EXPECT_EQ(expected, texts[1].substr(0, expected.size()));
    EXPECT_NE(std::wstring::npos, texts[1].find(L".txt. The service ends, so that its recovery "
                                                L"actions restart it."));
    const size_t named = texts[1].find(L"threads are in ") + 15;
    const std::string dump =
        ReadFileBytes(texts[1].substr(named, texts[1].find(L".txt") + 4 - named));
    EXPECT_NE(std::string::npos, dump.find(std::string("\"") + c.hungThread + "\"")) << dump;
    EXPECT_NE(std::string::npos, dump.find("HealthApp.modeOnceAnswering")) << dump;
}

// health.action=report: one error event a run of failures, however long, and
// an information event when the check passes again; the service runs on.
TEST_P(BridgeHealth, ReportGivesOneEventARunAndOneWhenItPassesAgain) {
    const HealthCase& c = GetParam();
    HealthLife run(c, "health.action=report\r\n", "ok");
    run.StartListening();
    ASSERT_TRUE(run.SetMode(c.firstMode)) << run.Evidence();
    ASSERT_TRUE(run.WaitFor([&] { return run.HealthEvents() == 1; })) << run.Evidence();
    Sleep(3500);  // three more checks, all failing
    ASSERT_TRUE(run.SetMode("ok"));
    ASSERT_TRUE(run.WaitFor([&] { return run.HealthEvents() == 2; })) << run.Evidence();
    ASSERT_TRUE(run.SetMode(c.secondMode));
    ASSERT_TRUE(run.WaitFor([&] { return run.HealthEvents() == 3; })) << run.Evidence();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
    const std::vector<std::wstring> texts = trace.Texts();
    ASSERT_EQ(5u, texts.size()) << run.Evidence();
    const std::wstring first = run.FailedText(c.firstWords);
    EXPECT_EQ(first, texts[1].substr(0, first.size()));
    const std::wstring again = kHealthEvent + run.name + L" passes again, after ";
    EXPECT_EQ(again, texts[2].substr(0, again.size()));
    EXPECT_GT(std::stoul(texts[2].substr(again.size())), 3u) << Narrow(texts[2]);
    EXPECT_EQ(static_cast<unsigned>(EVENTLOG_INFORMATION_TYPE), trace.events[2].type);
    const std::wstring second = run.FailedText(c.secondWords);
    EXPECT_EQ(second, texts[3].substr(0, second.size()));
    EXPECT_EQ(std::wstring::npos, texts[3].find(L"recovery actions"));
}

// A check that hangs (30 s allowed) holds nothing up: the stop takes its usual time.
TEST_P(BridgeHealth, StopDuringAHangingCheckEndsInTheUsualTime) {
    const HealthCase& c = GetParam();
    HealthLife run(c, "", "ok", "30");
    run.StartListening();
    ASSERT_TRUE(run.SetMode("hang"));
    ASSERT_TRUE(run.WaitFor([&] { return run.Said(c.hungThread) >= 1; })) << run.Evidence();
    const ULONGLONG asked = GetTickCount64();
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = run.life.Finish();
    EXPECT_LT(GetTickCount64() - asked, 15000u) << "the stop waited for the check";
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges()) << run.Evidence();
    ExpectStoppedWith(run.life.service, 0, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BridgeHealth,
    ::testing::Values(HealthCase{L"bhealthurl", true, "GET /health answered 503",
                                 "health-handler-1", "503", L"HTTP 503", "hang",
                                 L"no answer within 2 s"},
                      HealthCase{L"bhealthmethod", false, "healthy() answered false",
                                 "merivast-health-check", "throw",
                                 L"java.lang.IllegalStateException: the database is down", "503",
                                 L"returned false"}),
    [](const ::testing::TestParamInfo<HealthCase>& info) { return Narrow(info.param.tag); });

}  // namespace

// Forty threads deadlocked in a ring: the watch names each of them at every
// check, and the loop over them frees its local references as it goes (JNI
// promises 16), so -Xcheck:jni finds nothing to warn of.
TEST(BridgeDumps, DeadlockOfFortyThreadsIsNamedWithoutJniWarnings) {
    DumpsLife dumps(L"bring", "com.merivast.dumps.ServiceApp", "-Dmerivast.test.deadlockRing=40",
                    "watch.interval=1\n", /*checkJni=*/true);
    BridgeLife& run = dumps.run;
    const std::wstring found = L"Java threads are deadlocked: \"ring-";
    EXPECT_NE(L"", WaitForEventText(run.life.service, found, kJavaTimeoutMs)) << run.Evidence();
    Sleep(2500);  // two more checks
    EXPECT_EQ(0u, run.life.service.Control(SERVICE_CONTROL_STOP));
    run.life.Finish();
    ExpectStoppedWith(run.life.service, 0, 0);
    ExpectNoTrap(run.Record());
}
