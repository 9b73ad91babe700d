// conf\service.properties: the service's own settings, "key=value" lines.
#pragma once

#include "base/config_file.h"
#include "base/paths.h"

// How long a stop may take, from the first stop request to the end of the
// tear-down, before the service ends the Java application; 0: no deadline.
// Windows Installer waits at most 30 s for a service to stop before it
// replaces or removes its files: the default leaves room for the report of
// the stop and the end of the process within that wait.
constexpr DWORD kDefaultStopTimeoutSeconds = 25;
// A day: anything longer is a typo, and would overflow the millisecond waits.
constexpr DWORD kMaxStopTimeoutSeconds = 86400;

// The application's class, in Java's binary form ("org.example.App", '$' for a
// nested class), with its terminator.
constexpr size_t kMainClassUnits = 256;
// The class run when the file names none.
constexpr wchar_t kDefaultMainClass[] = L"com.merivast.agent.MerivastMain";
// The Java runtime's folder, as a full path: room for "\bin\client\jvm.dll"
// below it within the paths the host builds.
constexpr size_t kJavaHomeUnits = kRuntimeFolderUnits;
constexpr wchar_t kDefaultJavaHome[] = L"jre";

// When the service reports running: before the application is called, or once
// its main(String[]) has returned.
enum StartReady { kReadyAtOnce, kReadyWhenMainReturned };
constexpr DWORD kDefaultStartTimeoutSeconds = 120;
// A day, as for a stop: anything longer is a typo.
constexpr DWORD kMaxStartTimeoutSeconds = 86400;

// What the deadlock watch does when it finds deadlocked Java threads: write a
// thread dump and an error event, then also end the service (code 12) so that
// its recovery restarts it; or no watch at all.
enum DeadlockWatch { kWatchReport, kWatchRestart, kWatchOff };
constexpr DWORD kDefaultWatchIntervalSeconds = 60;
// A day: anything longer is a typo, and would overflow the millisecond wait.
constexpr DWORD kMaxWatchIntervalSeconds = 86400;
// The console files: a new file once the current one would pass this many
// MiB (0: only at each start), and how many older files are kept.
constexpr DWORD kDefaultConsoleMaxMiB = 10;
constexpr DWORD kMaxConsoleMaxMiB = 4096;
constexpr DWORD kDefaultConsoleKeep = 4;
constexpr DWORD kMaxConsoleKeep = 99;

struct ServiceProperties {
    ServiceProperties();

    DWORD stopTimeoutSeconds = kDefaultStopTimeoutSeconds;
    StartReady startReady = kReadyAtOnce;
    unsigned startReadyLine = 0;  // the line that set start.ready, for a later refusal
    DWORD startTimeoutSeconds = kDefaultStartTimeoutSeconds;
    DeadlockWatch deadlockWatch = kWatchReport;
    DWORD watchIntervalSeconds = kDefaultWatchIntervalSeconds;  // 0: no watch
    DWORD consoleMaxMiB = kDefaultConsoleMaxMiB;
    DWORD consoleKeep = kDefaultConsoleKeep;
    wchar_t mainClass[kMainClassUnits];
    // Empty until read: ReadServiceProperties fills it, with "<installDir>\jre"
    // when the file does not set it.
    wchar_t javaHome[kJavaHomeUnits] = L"";
    unsigned mainClassLine = 0;  // the line that set main.class; 0: the default class
    // main.jar as a full path, run as "java -jar" runs it; empty: none.
    wchar_t mainJar[MAX_PATH] = L"";
    unsigned mainJarLine = 0;
    // stop.method: the application's own stop, a static void method taking
    // String[] of the class stopClass; empty: none.
    wchar_t stopClass[kMainClassUnits] = L"";
    wchar_t stopMethod[kMainClassUnits] = L"";
    unsigned stopMethodLine = 0;
};

// Reads "<installDir>\conf\service.properties" into `properties`. A missing
// file leaves the defaults and is no problem. False, with `problem` naming the
// file, the line and what is wrong, for a file that cannot be read, a line
// that is not "key=value", an unknown key, a value that cannot be used or a
// key set twice; `properties` then keeps what it held, nothing of the file is
// used. java.home and main.jar, relative to `installDir` unless absolute, are
// given as full paths; one that would not fit the host's paths is refused,
// never cut, and so is a main.jar that names no file or comes with main.class.
bool ReadServiceProperties(const wchar_t* installDir, ServiceProperties* properties,
                           ConfigProblem* problem);

// True when `name` is a Java binary class name: identifiers joined by '.',
// each a letter, '_' or '$' followed by letters, digits, '_' or '$'.
bool IsJavaBinaryName(const wchar_t* name, size_t length);
