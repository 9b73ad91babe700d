// Starting this machine's own (Linux) JVM from inside Wine, and the
// connections to it.
//
// bridge.properties, beside jvm.dll, says where things are; a service sees no
// Linux environment, so nothing is taken from it. "key=value" lines, "#"
// comments; paths may be Linux ("/usr/bin/java") or Windows ("Z:\usr\bin\java"):
//   java=<the java launcher>          default /usr/bin/java
//   jar=<merivast-bridge.jar>         default merivast-bridge.jar beside jvm.dll
//   javaopts=<launcher options>       optional, split at spaces, after the defaults
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

#include "bridge_wire.h"

namespace bridge {

struct BridgeSettings {
    std::string javaLinux;  // as the Linux side names them
    std::string jarLinux;
    std::vector<std::string> javaOptions;
};

// The Linux path Wine maps `windowsPath` to; false when Wine cannot say.
bool LinuxPathOf(const std::wstring& windowsPath, std::string* linuxPath);

// Reads `<dllDir>\bridge.properties` (a missing file gives the defaults).
// False, with `why` set, when java or the jar is not there.
bool ReadSettings(const std::wstring& dllDir, BridgeSettings* settings, std::string* why);

struct JavaProcess {
    Channel lifeline;     // dropped by the Linux side only when its process ends; says "ENDED"
                          // first when its VM ends after DestroyJavaVM
    unsigned short port;  // where it accepts one channel per attached thread
    std::string token;    // proves a connection comes from this process's bridge
    std::string pid;      // Linux pid, for the record and for tests that kill it
};

// Where java's output goes, each file started afresh by StartJava.
struct JavaLogs {
    std::wstring errors;  // the shell's own lines ("bridge: …") and java's standard error
    std::wstring output;  // java's standard output
};

// Launches the bridge program through /bin/sh (which sends its output to
// `logs` and cleans up after it), with `launcherOptions` for the java
// launcher, and waits for it to connect back. False, with `why` set, when it
// did not start or did not connect within `timeoutMs`.
bool StartJava(const BridgeSettings& settings, const std::vector<std::string>& launcherOptions,
               const JavaLogs& logs, DWORD timeoutMs, JavaProcess* java, std::string* why);

// A new channel to the running bridge program, introduced with the token; its
// Java thread is a daemon when `daemon` (AttachCurrentThreadAsDaemon), and
// named `name` when that is not empty (the attach arguments' name).
bool OpenChannel(const JavaProcess& java, bool daemon, Channel* channel,
                 const std::string& name = std::string());

// What java itself wrote, its standard output and then its standard error,
// without the bridge's own lines: a java that did not start explains why there.
std::string JavaOwnWords(const JavaLogs& logs);

// From here on, what java writes goes on to this process's standard output
// and error as it comes (a poll every 50 ms; standard error in whole lines,
// the bridge's own left out). Stopping passes on the last of it, so call it
// once java has ended; it does nothing when nothing was started.
void StartForwardingJavaOutput(const JavaLogs& logs);
void StopForwardingJavaOutput();

// Writes `text` to this process's standard error (or output); nothing when it has none.
void WriteStandardError(const std::string& text);
void WriteStandardOutput(const std::string& text);

// The status java ended with, as the launching shell wrote it to `javaLog`;
// waits up to `timeoutMs` for that line. False when it did not come.
bool JavaExitStatus(const std::wstring& javaLog, DWORD timeoutMs, int* status);

}  // namespace bridge
