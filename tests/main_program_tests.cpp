// An ordinary Java program run as the service: main(String[]) with the
// arguments of conf\main.args, ended at a stop through System.exit so that its
// shutdown hooks run. Real services under Wine's SCM with the stand-in runtime.
#include <gtest/gtest.h>

#include "support/service_life.h"

namespace {

using namespace mvt;

const char kAppClassProperties[] = "main.class = org.example.App\r\n";
const char kAppClassEntry[] = "org/example/App.class";

// An install directory whose jar holds org.example.App, named in conf\service.properties.
struct ProgramLife : ServiceLife {
    ProgramLife(const std::wstring& tag, const std::string& scenario)
        : ServiceLife(tag, Runtime::kStandin, /*withJar=*/false) {
        layout.AddJar(L"app.jar", true, kAppClassEntry);
        layout.AddFile(L"conf\\service.properties", kAppClassProperties);
        layout.SetScenario("entry=main\n" + scenario);
    }
};

// The calls of the host's System.exit(0) at a stop, on a daemon-attached thread of its own.
void ExpectExitOnDaemonThread(const std::vector<JniCall>& calls, DWORD creatingThread) {
    const JniCall* attach = FindCall(calls, "AttachCurrentThreadAsDaemon");
    ASSERT_NE(nullptr, attach);
    EXPECT_NE(creatingThread, attach->thread);
    EXPECT_EQ((std::vector<std::string>{"AttachCurrentThreadAsDaemon", "FindClass",
                                        "GetStaticMethodID", "CallStaticVoidMethod exit status=0",
                                        "SHUTDOWNHOOK", "SHUTDOWNHOOK"}),
              CallsOnThread(calls, attach->thread));
    // The only other attach is the main thread's.
    const JniCall* main = FindCall(calls, "AttachCurrentThread");
    ASSERT_NE(nullptr, main);
    EXPECT_EQ("result=0 existing=0 name=main", main->details);
}

TEST(MainProgram, ArgumentsReachMainInOrderAndAStopRunsTheShutdownHooks) {
    ProgramLife life(L"mainargs", "main=block\n");
    life.layout.AddFile(L"conf\\main.args",
                        "\xEF\xBB\xBF# the port\r\n  8080  \r\n\r\n--name=Zoë Ω\r\nC:\\a b;c\r\n"
                        "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80\r\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "main"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_EQ(0u, life.service.ProcessExitCode());
    EXPECT_EQ(kStoppedOnRequest, trace.StateChanges());
    EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}), trace.Texts());

    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    const JniCall* create = FindCall(calls, "JNI_CreateJavaVM");
    ASSERT_NE(nullptr, create);
    // The creating thread loads the class without initialising it, finds no serviceMain and
    // leaves; main runs on a thread of its own, where the class is initialised.
    const JniCall* loaded = FindCall(calls, "CallStaticObjectMethodA", "forName result=object");
    const JniCall* main = FindCall(calls, "AttachCurrentThread");
    const JniCall* clinit = FindCall(calls, "CLINIT", "org/example/App");
    ASSERT_TRUE(loaded != nullptr && main != nullptr && clinit != nullptr);
    EXPECT_EQ(create->thread, loaded->thread);
    EXPECT_EQ("DetachCurrentThread", CallsOnThread(calls, create->thread).back());
    EXPECT_EQ(main->thread, clinit->thread);
    EXPECT_EQ("CallStaticVoidMethod main argc=4", CallsOnThread(calls, main->thread).back());
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "0 8080"));
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "1 --name=Zoë Ω"));
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "2 C:\\a b;c"));
    EXPECT_NE(nullptr, FindCall(calls, "ARG", "3 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80"));
    ExpectExitOnDaemonThread(calls, create->thread);
}

// How an ordinary program's life ends, by itself or by a stop.
struct EndCase {
    const wchar_t* tag;
    const char* scenario;
    bool stop;  // a stop is sent once main has been entered
    DWORD specificCode;
    const wchar_t* event;  // the event between "Service started" and "Service stopped", if any
};

void PrintTo(const EndCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class ProgramEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(ProgramEnd, StopsWithItsCodes) {
    const EndCase& c = GetParam();
    ProgramLife life(c.tag, c.scenario);
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "main"));
    if (c.stop) {
        // Once main has returned, the VM waits for the lingering thread.
        ASSERT_TRUE(life.layout.WaitForJniCall("ENTER", "DestroyJavaVM"));
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    }
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, c.specificCode == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR,
                      c.specificCode);
    EXPECT_EQ(c.stop ? kStoppedOnRequest : kStartedAndStopped, trace.StateChanges());
    std::vector<std::wstring> texts = {L"Service started", L"Service stopped"};
    if (c.event != nullptr) texts.insert(texts.begin() + 1, c.event);
    EXPECT_EQ(texts, trace.Texts());
    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    EXPECT_EQ(c.stop, FindCall(calls, "CallStaticVoidMethod", "exit status=0") != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramEnd,
    ::testing::Values(
        // main returns; the VM ends when the program's last non-daemon thread does.
        EndCase{L"mainreturns", "main=return\nlinger=500\n", false, 0, nullptr},
        // main returned, its thread runs on, and the stop ends it.
        EndCase{L"stopafterreturn", "main=return\nlinger=forever\n", true, 0, nullptr},
        EndCase{L"mainthrows", "main=throw\nlinger=300\n", false, 5,
                L"The main method of org.example.App ended with an exception; its stack trace "
                L"is in logs\\stderr.log."},
        // The program's own System.exit(0) keeps its event.
        EndCase{L"ownexit", "main=exit\n", false, 0,
                L"The Java application ended the process with status 0."}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return Narrow(info.param.tag); });

// As the java launcher runs main: on a new thread attached as "main", whose
// stack -Xss (or -XX:ThreadStackSize) sizes, the executable's default
// otherwise; that thread detaches before DestroyJavaVM, with the exception out
// of main still pending, which the thread's handler then describes. No DLL
// folder is set while the application runs.
struct LauncherShapeCase {
    const wchar_t* tag;
    const char* jvmOptions;
    const char* scenario;
    unsigned long long stackBytes;
    DWORD specificCode;
};

void PrintTo(const LauncherShapeCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class LauncherShape : public ::testing::TestWithParam<LauncherShapeCase> {};

TEST_P(LauncherShape, MainRunsOnItsOwnThreadDetachedBeforeDestroyJavaVm) {
    const LauncherShapeCase& c = GetParam();
    ProgramLife life(c.tag, std::string("record.thread=1\n") + c.scenario);
    life.layout.AddFile(L"conf\\jvm.options", c.jvmOptions);
    life.StartRunning();
    life.Finish();
    ExpectStoppedWith(life.service, c.specificCode == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR,
                      c.specificCode);
    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    const JniCall* main = FindCall(calls, "AttachCurrentThread", "result=0 existing=0 name=main");
    const JniCall* thread = FindCall(calls, "THREAD");
    const JniCall* destroy = FindCall(calls, "ENTER", "DestroyJavaVM");
    ASSERT_TRUE(main != nullptr && thread != nullptr && destroy != nullptr);
    EXPECT_EQ(main->thread, thread->thread);
    EXPECT_EQ("stack=" + std::to_string(c.stackBytes) + " dlldir=", thread->details);
    EXPECT_EQ(main->thread, destroy->thread);
    std::vector<std::string> before;
    for (const auto& call : calls) {
        if (call.thread == main->thread && call.seq > thread->seq && call.seq < destroy->seq) {
            before.push_back(call.event);
        }
    }
    const bool threw = c.specificCode == 5;
    const std::vector<std::string> expected =
        threw
            ? std::vector<std::string>{"LEAVE", "ExceptionCheck", "UNCAUGHT", "DetachCurrentThread"}
            : std::vector<std::string>{"LEAVE", "ExceptionCheck", "DetachCurrentThread"};
    EXPECT_EQ(expected, before);
    if (threw) {
        EXPECT_EQ(
            "Exception in thread \"main\" java.lang.IllegalStateException: stand-in "
            "exception\n\tat stand-in frame\n",
            ReadFileBytes(life.layout.dir() + L"\\logs\\stderr.log"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherShape,
    ::testing::Values(
        // The executable's own reserve, as HotSpot on Windows asks for without -Xss.
        LauncherShapeCase{L"stackdefault", "", "main=return\n", 2u << 20, 0},
        LauncherShapeCase{L"xss8m", "-Xmx64m\r\n-Xss8m\r\n", "main=return\n", 8u << 20, 0},
        LauncherShapeCase{L"threadstacksize", "-Xss8m\r\n-XX:ThreadStackSize=4096\r\n",
                          "main=return\n", 4u << 20, 0},
        LauncherShapeCase{L"uncaught", "-Xss1m\r\n", "main=throw\nlinger=200\n", 1u << 20, 5}),
    [](const ::testing::TestParamInfo<LauncherShapeCase>& info) { return Narrow(info.param.tag); });

// As the java launcher of Java 25 runs main (the stand-in answering as its
// LauncherHelper does): the helper loads main.class's class, or the jar's
// Main-Class, without initialising it, and says which of the four mains it
// found; the main thread finds and calls that one, initialising the class.
struct HelperCase {
    const wchar_t* tag;
    const char* launcher;  // the stand-in's launcher=
    const char* properties;
    const char* called;  // the record's line of main's call
};

void PrintTo(const HelperCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class LauncherHelperMain : public ::testing::TestWithParam<HelperCase> {};

TEST_P(LauncherHelperMain, MainOfTheKindTheHelperFoundRunsOnTheMainThread) {
    const HelperCase& c = GetParam();
    ProgramLife life(c.tag, std::string("main=return\nlauncher=") + c.launcher + "\n");
    life.layout.AddFile(L"conf\\service.properties", c.properties);
    life.StartRunning();
    life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    const JniCall* main = FindCall(calls, "AttachCurrentThread", "result=0 existing=0 name=main");
    const JniCall* loaded = FindCall(calls, "CallStaticObjectMethodA", "checkAndLoadMain");
    const JniCall* clinit = FindCall(calls, "CLINIT", "org/example/App");
    const std::string call = c.called;
    const JniCall* called =
        FindCall(calls, call.substr(0, call.find(' ')), call.substr(call.find(' ') + 1));
    ASSERT_TRUE(main != nullptr && loaded != nullptr && clinit != nullptr && called != nullptr);
    for (const JniCall* step : {loaded, clinit, called}) EXPECT_EQ(main->thread, step->thread);
    EXPECT_LT(loaded->seq, clinit->seq);
    EXPECT_LT(clinit->seq, called->seq);
}

const char kAppJarProperties[] = "main.jar=lib/app.jar\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherHelperMain,
    ::testing::Values(HelperCase{L"instancenoargs", "25-instance-noargs", kAppClassProperties,
                                 "CallVoidMethodA main noargs"},
                      HelperCase{L"staticnoargs", "25-noargs", kAppClassProperties,
                                 "CallStaticVoidMethod main noargs"},
                      HelperCase{L"jarinstancenoargs", "25-instance-noargs", kAppJarProperties,
                                 "CallVoidMethodA main noargs"},
                      HelperCase{L"jarstaticnoargs", "25-noargs", kAppJarProperties,
                                 "CallStaticVoidMethod main noargs"},
                      HelperCase{L"instanceargs", "25-instance", kAppClassProperties,
                                 "CallVoidMethodA main argc=0"},
                      // Before Java 25 the helper has no isStaticMain: static void main(String[]).
                      HelperCase{L"before25", "17", kAppJarProperties,
                                 "CallStaticVoidMethod main argc=0"}),
    [](const ::testing::TestParamInfo<HelperCase>& info) { return Narrow(info.param.tag); });

// The logging options configure log4j 1.2, which a program named by main.class
// may not have: it gets them only with a conf\log4j.properties. It is named
// to monitoring tools (sun.java.command) with its arguments, as java names it.
TEST(MainProgram, LoggingOptionsOnlyWithLog4jPropertiesAndTheCommandNamed) {
    for (const bool withLog4j : {false, true}) {
        ProgramLife life(withLog4j ? L"withlog4j" : L"nolog4j", "main=return\n");
        if (withLog4j) life.layout.AddFile(L"conf\\log4j.properties", "log4j.rootLogger=INFO\n");
        life.layout.AddFile(L"conf\\main.args", "8080\r\nZo\xC3\xAB\r\n");
        life.StartRunning();
        life.Finish();
        ExpectStoppedWith(life.service, 0, 0);
        std::vector<std::string> options;
        for (const auto& call : life.layout.JniCalls()) {
            if (call.event == "option") options.push_back(call.details.substr(2, 30));
        }
        // After the class path: the beginning of each.
        std::vector<std::string> expected = {"-Djava.class.path=C:\\mvt\\",
                                             "-Dsun.java.command=org.example", "exit", "abort",
                                             "vfprintf"};
        if (withLog4j) {
            expected.insert(expected.begin() + 1,
                            {"-Dlog4j.configuration=file:/C:", "-Dorg.apache.commons.logging.L"});
        }
        ASSERT_EQ(expected.size(), options.size());
        EXPECT_EQ(0u, options[0].find(expected[0]));
        for (size_t i = 1; i < expected.size(); ++i) EXPECT_EQ(expected[i], options[i]);
        EXPECT_TRUE(HasCall(
            life.layout.JniCalls(), "option",
            std::to_string(withLog4j ? 3 : 1) + " -Dsun.java.command=org.example.App 8080 Zo"));
    }
}

// stop.method: the application's own stop, with conf\stop.args, comes first;
// a program that has not ended by itself half the stop time later is ended
// through System.exit(0). A stop method that is not there is refused at the
// start, before main runs.
TEST(MainProgram, StopMethodIsCalledWithItsArgumentsBeforeSystemExit) {
    for (const char* method : {"main", "shutdown"}) {
        ProgramLife life(Widen(method), "main=return\nlinger=forever\n");
        life.layout.AddFile(L"conf\\service.properties",
                            std::string(kAppClassProperties) +
                                "stop.timeout=2\nstop.method=org.example.App." + method + "\n");
        life.layout.AddFile(L"conf\\stop.args", "now\r\n");
        life.StartRunning();
        const bool found = std::string(method) == "main";
        if (!found) {
            const ProcessTrace trace = life.Finish();
            ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 7);
            EXPECT_EQ((std::vector<std::wstring>{
                          L"Service started",
                          L"conf\\service.properties line 3: stop.method org.example.App.shutdown "
                          L"names no public static void method taking String[]: the class "
                          L"org.example.App has no public method shutdown(String[]). The "
                          L"application is not started.",
                          L"Service stopped"}),
                      trace.Texts());
            EXPECT_FALSE(HasCall(life.layout.JniCalls(), "CallStaticVoidMethod", "main"));
            continue;
        }
        ASSERT_TRUE(life.layout.WaitForJniCall("ENTER", "DestroyJavaVM"));
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
        const ProcessTrace trace = life.Finish();
        ExpectStoppedWith(life.service, 0, 0);
        const std::vector<JniCall> calls = life.layout.JniCalls();
        const JniCall* stop = FindCall(calls, "AttachCurrentThreadAsDaemon");
        ASSERT_NE(nullptr, stop);
        const std::vector<std::string> made = CallsOnThread(calls, stop->thread);
        const std::vector<std::string> expected = {"AttachCurrentThreadAsDaemon",
                                                   "FindClass",
                                                   "GetStaticMethodID",
                                                   "FindClass",
                                                   "NewObjectArray",
                                                   "NewString",
                                                   "SetObjectArrayElement",
                                                   "DeleteLocalRef",
                                                   "ARG",
                                                   "CallStaticVoidMethod main argc=1"};
        ASSERT_GE(made.size(), expected.size());
        EXPECT_EQ(expected, std::vector<std::string>(made.begin(), made.begin() + expected.size()));
        EXPECT_NE(nullptr, FindCall(calls, "CallStaticVoidMethod", "exit status=0"));
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", L"Service stopped"}),
                  trace.Texts());
    }
}

// main.jar needs the JDK's launcher helper, which this runtime lacks; and the
// service contract has no use for stop.method. Both are refused with code 7.
TEST(MainProgram, JarWithoutLauncherHelperAndStopMethodBesideServiceMainAreRefused) {
    ProgramLife jar(L"nohelper", "main=return\n");
    jar.layout.AddFile(L"app.jar", "PK");
    jar.layout.AddFile(L"conf\\service.properties", "main.jar=app.jar\n");
    ServiceLife contract(L"stopmethod");
    contract.layout.AddFile(L"conf\\service.properties",
                            "stop.method=com.merivast.agent.MerivastMain.halt\n");
    contract.layout.SetScenario("main=return\n");
    const std::wstring events[] = {
        L"main.jar cannot be used with this Java runtime: it has no "
        L"sun.launcher.LauncherHelper.checkAndLoadMain, through which the host runs the jar " +
            jar.layout.dir() +
            L"\\app.jar as java -jar does. Name the application's class with main.class instead.",
        L"conf\\service.properties line 1: stop.method needs a class run through its "
        L"main(String[]); com.merivast.agent.MerivastMain is run through its "
        L"serviceMain(String), which serviceStop() ends."};
    ServiceLife* lives[] = {&jar, &contract};
    for (int i = 0; i < 2; ++i) {
        lives[i]->StartRunning();
        const ProcessTrace trace = lives[i]->Finish();
        ExpectStoppedWith(lives[i]->service, ERROR_SERVICE_SPECIFIC_ERROR, 7);
        EXPECT_EQ((std::vector<std::wstring>{L"Service started", events[i], L"Service stopped"}),
                  trace.Texts());
        EXPECT_FALSE(HasFault(lives[i]->layout.JniCalls()));
    }
}

TEST(MainProgram, ClassWithNeitherMethodIsNamedWithBoth) {
    ProgramLife life(L"neither", "main=missing\n");
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 4);
    ASSERT_EQ(4u, trace.events.size());
    EXPECT_EQ(L"Can not find entry point:\n", trace.events[1].strings[0]);
    EXPECT_EQ(
        L"Looked for the class org.example.App, with its static void serviceMain(String) or "
        L"static void main(String[]), in the jars of " +
            life.layout.dir() +
            L"\\lib: app.jar. The class is there without either method: declare one of "
            L"them public. The runtime's description is in logs\\stderr.log.",
        trace.events[2].strings[0]);
    EXPECT_FALSE(HasFault(life.layout.JniCalls())) << "no exception pending at the second lookup";
}

// The service contract takes no arguments: a conf\main.args is said to be unused.
TEST(MainProgram, ArgumentsBesideTheServiceContractAreWarnedOf) {
    ServiceLife life(L"argsunused");
    life.layout.AddFile(L"conf\\main.args", "8080\n");
    life.layout.SetScenario("main=return\n");
    life.StartRunning();
    const ProcessTrace trace = life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    ASSERT_EQ(3u, trace.events.size());
    ExpectEvent(trace.events[1], EVENTLOG_WARNING_TYPE,
                L"conf\\main.args is not used: com.merivast.agent.MerivastMain is run through its "
                L"serviceMain(String), which takes no arguments.");
}

// java.home names the runtime's folder, relative to the install directory or
// not; a folder without a runtime is named by the load error.
TEST(MainProgram, JavaHomeNamesTheRuntimesFolder) {
    for (const char* home : {"rt/", "<dir>\\rt", "absent"}) {
        ServiceLife life(L"javahome", Runtime::kNone);
        life.layout.AddRuntime(Runtime::kStandin, L"server", L"rt");
        std::string value = home;
        if (value.rfind("<dir>", 0) == 0) value = Narrow(life.layout.dir()) + value.substr(5);
        life.layout.AddFile(L"conf\\service.properties", "java.home=" + value + "\n");
        life.layout.SetScenario("main=return\n");
        life.StartRunning();
        const ProcessTrace trace = life.Finish();
        if (std::string(home) == "absent") {
            ExpectStoppedWith(life.service, ERROR_SERVICE_SPECIFIC_ERROR, 1);
            ASSERT_GE(trace.events.size(), 2u);
            EXPECT_NE(std::wstring::npos,
                      trace.events[1].strings[0].find(life.layout.dir() +
                                                      L"\\absent\\bin\\client\\jvm.dll"));
        } else {
            ExpectStoppedWith(life.service, 0, 0);
            EXPECT_TRUE(HasCall(life.layout.JniCalls(), "LEAVE", "serviceMain")) << home;
        }
    }
}

// A slow stop call runs on the host's own thread: the handler has returned, and
// the next control is answered while the application is still stopping.
TEST(StopThread, ControlsAreAnsweredWhileTheApplicationStops) {
    ServiceLife life(L"slowstopcall");
    life.layout.SetScenario("gate.stop=1\n");
    life.StartRunning();
    ASSERT_TRUE(life.layout.WaitForJniCall("CallStaticVoidMethod", "serviceMain"));
    EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(life.layout.WaitForJniCall("GATE", "stop"));
    // Answered at once (Wine says 1061 while stop-pending); a handler still
    // inside the stop call would hold it until the SCM gave up with 1053.
    EXPECT_NE(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT),
              life.service.Control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), life.service.Query().dwCurrentState);
    life.layout.Release("stop");
    life.Finish();
    ExpectStoppedWith(life.service, 0, 0);
    EXPECT_FALSE(HasFault(life.layout.JniCalls()));
}

}  // namespace

namespace {

// start.ready=main-returned: start-pending until main returns, then running;
// start.ready=health: until the health check first passes.
struct ReadinessCase {
    const wchar_t* tag;
    const char* properties;
    const char* scenario;
    bool stopOnceRunning;
    std::vector<unsigned> states;
    DWORD specificCode;
    const wchar_t* event;  // between "Service started" and "Service stopped", if any
    const char* ready = "main-returned\n";
};

void PrintTo(const ReadinessCase& c, std::ostream* out) {
    *out << Narrow(c.tag);
}

class Readiness : public ::testing::TestWithParam<ReadinessCase> {};

TEST_P(Readiness, RunningMeansMainReturned) {
    const ReadinessCase& c = GetParam();
    ProgramLife life(c.tag, c.scenario);
    life.layout.AddFile(L"conf\\service.properties",
                        std::string(kAppClassProperties) + "start.ready=" + c.ready + c.properties);
    ASSERT_EQ(0u, life.service.Start());
    if (c.stopOnceRunning) {
        ASSERT_TRUE(life.service.WaitForState(SERVICE_RUNNING));
        ASSERT_TRUE(HasCall(life.layout.JniCalls(), "LEAVE", "main"))
            << "running before main returned";
        EXPECT_EQ(0u, life.service.Control(SERVICE_CONTROL_STOP));
    }
    const ProcessTrace trace = life.Finish();
    EXPECT_EQ(c.states, trace.StateChanges());
    ExpectStoppedWith(life.service, c.specificCode == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR,
                      c.specificCode);
    // "Service started" comes with running, and only then.
    std::vector<std::wstring> texts = {L"Service stopped"};
    if (c.event != nullptr) texts.insert(texts.begin(), c.event);
    if (c.stopOnceRunning) texts.insert(texts.begin(), L"Service started");
    std::vector<std::wstring> traced = trace.Texts();
    if (c.specificCode == 11 && traced.size() > 1) {
        traced[0] = WithoutDeadlineDump(traced[0], life.layout.dir());
    }
    EXPECT_EQ(texts, traced);
    // While starting: no control accepted, rising check points, a hint that covers the gap.
    unsigned lastCheckPoint = 0;
    for (size_t i = 1; i < trace.reports.size(); ++i) {
        const TracedStatus& report = trace.reports[i];
        if (report.state != SERVICE_START_PENDING) continue;
        EXPECT_EQ(0u, report.accepted);
        EXPECT_GT(report.checkPoint, lastCheckPoint);
        lastCheckPoint = report.checkPoint;
        EXPECT_LT(trace.reports[i + 1].timeMs - report.timeMs, report.waitHint);
    }
    const std::vector<JniCall> calls = life.layout.JniCalls();
    EXPECT_FALSE(HasFault(calls));
    if (c.specificCode == 11) {
        EXPECT_NE(nullptr, FindCall(calls, "SHUTDOWNHOOK", "done")) << "ended as a stop ends it";
    }
}

const std::vector<unsigned> kStartedThenEnded = {SERVICE_START_PENDING, SERVICE_STOPPED};
#define HEALTH_METHOD "health.method=org.example.App.healthy\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, Readiness,
    ::testing::Values(
        ReadinessCase{L"readyafter2s", "", "main=return\npause.main=2000\nlinger=forever\n", true,
                      kStoppedOnRequest, 0, nullptr},
        ReadinessCase{L"neverhealthy",
                      "start.timeout=2\n" HEALTH_METHOD,
                      "main=block\nhealth=false\n",
                      false,
                      {SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED},
                      11,
                      L"The Java application was not ready within 2 s of the start; the service "
                      L"ends it.",
                      "health\n"},
        ReadinessCase{L"neverready",
                      "start.timeout=2\n",
                      "main=block\n",
                      false,
                      {SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED},
                      11,
                      L"The Java application was not ready within 2 s of the start; the service "
                      L"ends it."},
        ReadinessCase{L"throwsstarting", "", "main=throw\n", false, kStartedThenEnded, 5,
                      L"The main method of org.example.App ended with an exception; its stack "
                      L"trace is in logs\\stderr.log."},
        ReadinessCase{L"servicecontract", "", "entry=service\n", false, kStartedThenEnded, 7,
                      L"conf\\service.properties line 2: start.ready=main-returned needs a class "
                      L"run through its main(String[]); org.example.App is run through its "
                      L"serviceMain(String), which returns only when the service ends."}),
    [](const ::testing::TestParamInfo<ReadinessCase>& info) { return Narrow(info.param.tag); });

}  // namespace
