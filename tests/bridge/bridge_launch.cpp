#include "bridge_launch.h"

#include <bcrypt.h>
#include <stdio.h>

#include <iterator>

#include "bridge_record.h"

namespace bridge {

namespace {

const char kExitMarker[] = "bridge: java exited with status";
const char kMainClass[] = "com.merivast.bridge.BridgeMain";
// The shell gives java a fresh working directory (the Java side puts a link
// there, see BridgeMain.makeAlias) and the UTF-8 locale Wine's file names use,
// removes the directory when java ends, and says so in the log, which is how
// a java that never connects is noticed: Wine gives no process handle for a
// Linux program. It resolves the jar's path because Wine names C: files
// through "dosdevices/c:", and that colon would split a class path. Its own
// output and java's standard error go to the log, java's standard output to a
// file of its own: Wine passes a Linux program no standard error handle.
// Arguments: log, output file, java, jar, port, token, then the launcher's options.
const char kShellScript[] =
    "exec >>\"$0\" 2>&1 </dev/null; export LC_ALL=C.UTF-8; "
    "out=$1; java=$2; jar=$(readlink -f \"$3\"); port=$4; token=$5; shift 5; status=1; "
    "if work=$(mktemp -d /tmp/merivast-bridge.XXXXXX) && cd \"$work\"; then "
    "\"$java\" \"$@\" -cp \"$jar\" %s \"$port\" \"$token\" >>\"$out\"; status=$?; "
    "cd / && rm -rf \"$work\"; fi; echo \"bridge: java exited with status $status\"";
// Lines of the bridge's own in the log; they are not java's words.
const char kBridgeLinePrefix[] = "bridge: ";
constexpr DWORD kForwardPollMs = 50;
// Start-up time matters more here than peak speed.
// The bridge's own loader is the system class loader, as the class path's
// loader is in a real VM, so that the JDK's launcher helper finds a jar's
// classes; JNI ignores access rules, so the bridge's reflection may reach the
// launcher helper. The class data archive would warn on standard error that
// such a loader turns part of it off, and costs as much as it saves here.
const char* const kDefaultJavaOptions[] = {
    "-XX:+UseSerialGC", "-XX:TieredStopAtLevel=1", "-Xshare:off",
    "-Djava.system.class.loader=com.merivast.bridge.BridgeLoader",
    "--add-opens=java.base/sun.launcher=ALL-UNNAMED"};

using UnixFileNameFunction = char*(CDECL*)(const wchar_t*);

std::wstring WindowsPathOfLinux(const std::string& linuxPath) {
    std::wstring path = L"Z:" + Wide(linuxPath);
    for (auto& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

bool IsAbsoluteWindowsPath(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           path.compare(0, 2, "\\\\") == 0;
}

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return std::string();
    }
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::string ReadWholeFile(const std::wstring& path, LONGLONG fromOffset = 0) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    LARGE_INTEGER offset;
    offset.QuadPart = fromOffset;
    SetFilePointerEx(file, offset, nullptr, FILE_BEGIN);
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

// A path given either way, as both sides name it; false when it is not there.
bool ResolvePath(const std::string& value, const std::wstring& baseDir, std::string* linuxPath,
                 std::string* why) {
    std::wstring windowsPath;
    if (!value.empty() && value[0] == '/') {
        *linuxPath = value;
        windowsPath = WindowsPathOfLinux(value);
    } else {
        windowsPath = IsAbsoluteWindowsPath(value) ? Wide(value) : baseDir + L"\\" + Wide(value);
        if (!LinuxPathOf(windowsPath, linuxPath)) {
            *why = "no Linux path for " + Utf8(windowsPath);
            return false;
        }
    }
    if (GetFileAttributesW(windowsPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *why = "not found: " + Utf8(windowsPath);
        return false;
    }
    return true;
}

// Quoted as CommandLineToArgvW (and Wine, for a Linux program's argv) reads it back.
void AppendArgument(const std::wstring& argument, std::wstring* commandLine) {
    if (!commandLine->empty()) {
        commandLine->push_back(L' ');
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *commandLine += argument;
        return;
    }
    commandLine->push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            commandLine->append(backslashes * 2 + 1, L'\\');
            backslashes = 0;
        } else {
            commandLine->append(backslashes, L'\\');
            backslashes = 0;
        }
        if (c != L'\\') {
            commandLine->push_back(c);
        }
    }
    commandLine->append(backslashes * 2, L'\\');
    commandLine->push_back(L'"');
}

// An empty file at `path`, and the Linux path Wine maps it to.
bool CreateEmptyFile(const std::wstring& path, std::string* linuxPath) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return LinuxPathOf(path, linuxPath);
}

bool MakeToken(std::string* token) {
    unsigned char random[16];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return false;
    }
    char hex[3];
    token->clear();
    for (unsigned char byte : random) {
        snprintf(hex, sizeof(hex), "%02x", byte);
        *token += hex;
    }
    return true;
}

SOCKET ListenLoopback(unsigned short* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return s;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return s;
}

// Waits for the bridge program's first connection and its greeting.
bool AwaitLifeline(SOCKET listener, const std::wstring& javaLog, DWORD timeoutMs, JavaProcess* java,
                   std::string* why) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (!WaitReadable(listener, 100)) {
            if (ReadWholeFile(javaLog).find(kExitMarker) != std::string::npos) {
                *why = "java ended before it connected; see bridge-java.log";
                return false;
            }
            continue;
        }
        Channel candidate;
        candidate.socket = accept(listener, nullptr, nullptr);
        std::vector<std::string> hello;
        if (candidate.socket != INVALID_SOCKET && ReceiveFields(&candidate, &hello, 5000) &&
            hello.size() == 4 && hello[0] == "BRIDGE" && hello[1] == java->token) {
            java->lifeline = candidate;
            java->port = static_cast<unsigned short>(atoi(hello[2].c_str()));
            java->pid = hello[3];
            return true;
        }
        CloseChannel(&candidate);
    }
    *why = "java did not connect in time; see bridge-java.log";
    return false;
}

bool IsBridgeLine(const std::string& line) {
    return line.compare(0, sizeof(kBridgeLinePrefix) - 1, kBridgeLinePrefix) == 0;
}

// Takes the whole lines off the front of `text` that are java's; with
// `unfinished`, also a last line without its line break.
std::string TakeJavaLines(std::string* text, bool unfinished) {
    std::string lines;
    size_t start = 0;
    for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text->substr(start, end + 1 - start);
        if (!IsBridgeLine(line)) {
            lines += line;
        }
    }
    text->erase(0, start);
    if (unfinished && !text->empty()) {
        if (!IsBridgeLine(*text)) {
            lines += *text;
        }
        text->clear();
    }
    return lines;
}

// A file java writes to, passed on to one of this process's standard handles.
struct ForwardedFile {
    std::wstring path;
    DWORD standardHandle;
    bool holdsBridgeLines;   // passed on line by line, the bridge's own lines left out
    LONGLONG offset;         // how much of it has been passed on
    std::string unfinished;  // the start of a line whose end has not arrived
};

void ForwardNew(ForwardedFile* file, bool toTheEnd) {
    const std::string bytes = ReadWholeFile(file->path, file->offset);
    file->offset += static_cast<LONGLONG>(bytes.size());
    std::string text = bytes;
    if (file->holdsBridgeLines) {
        file->unfinished += bytes;
        text = TakeJavaLines(&file->unfinished, toTheEnd);
    }
    HANDLE handle = GetStdHandle(file->standardHandle);
    DWORD written = 0;
    if (!text.empty() && handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// --- The forwarder of java's output ---
// Started by the thread that creates the VM, stopped by the one that sees java
// end (the lifeline's watcher, or that same thread when the VM is refused);
// while it runs, only its own thread touches `files`. It takes no lock and
// waits only on `stop`, for a poll's length at a time.
struct Forwarder {
    ForwardedFile files[2];
    HANDLE stop = nullptr;  // manual-reset; set when java has ended
    HANDLE thread = nullptr;
};

Forwarder g_forwarder;

DWORD WINAPI ForwardJavaOutput(void* /*unused*/) {
    while (WaitForSingleObject(g_forwarder.stop, kForwardPollMs) == WAIT_TIMEOUT) {
        for (ForwardedFile& file : g_forwarder.files) {
            ForwardNew(&file, false);
        }
    }
    return 0;
}

}  // namespace

std::string JavaOwnWords(const JavaLogs& logs) {
    std::string errors = ReadWholeFile(logs.errors);
    return ReadWholeFile(logs.output) + TakeJavaLines(&errors, true);
}

namespace {

void WriteStandardHandle(DWORD which, const std::string& text) {
    HANDLE standard = GetStdHandle(which);
    DWORD written = 0;
    if (!text.empty() && standard != nullptr && standard != INVALID_HANDLE_VALUE) {
        WriteFile(standard, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

}  // namespace

void WriteStandardError(const std::string& text) {
    WriteStandardHandle(STD_ERROR_HANDLE, text);
}

void WriteStandardOutput(const std::string& text) {
    WriteStandardHandle(STD_OUTPUT_HANDLE, text);
}

void StartForwardingJavaOutput(const JavaLogs& logs) {
    g_forwarder.files[0] = {logs.output, STD_OUTPUT_HANDLE, false, 0, std::string()};
    g_forwarder.files[1] = {logs.errors, STD_ERROR_HANDLE, true, 0, std::string()};
    g_forwarder.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_forwarder.thread = g_forwarder.stop != nullptr
                             ? CreateThread(nullptr, 0, ForwardJavaOutput, nullptr, 0, nullptr)
                             : nullptr;
    if (g_forwarder.thread == nullptr && g_forwarder.stop != nullptr) {
        CloseHandle(g_forwarder.stop);
        g_forwarder.stop = nullptr;
    }
}

void StopForwardingJavaOutput() {
    if (g_forwarder.thread == nullptr) {
        return;
    }
    SetEvent(g_forwarder.stop);
    WaitForSingleObject(g_forwarder.thread, INFINITE);
    CloseHandle(g_forwarder.thread);
    CloseHandle(g_forwarder.stop);
    g_forwarder.thread = nullptr;
    g_forwarder.stop = nullptr;
    for (ForwardedFile& file : g_forwarder.files) {
        ForwardNew(&file, true);
    }
}

bool LinuxPathOf(const std::wstring& windowsPath, std::string* linuxPath) {
    // Through a plain function type, so -Wcast-function-type stays quiet.
    const auto unixFileName = reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixFileName == nullptr) {
        return false;
    }
    char* name = unixFileName(windowsPath.c_str());
    if (name == nullptr) {
        return false;
    }
    *linuxPath = name;
    HeapFree(GetProcessHeap(), 0, name);
    return true;
}

bool ReadSettings(const std::wstring& dllDir, BridgeSettings* settings, std::string* why) {
    std::string java = "/usr/bin/java";
    std::string jar = "merivast-bridge.jar";
    const std::string text = ReadWholeFile(dllDir + L"\\bridge.properties");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        if (key == "java") {
            java = value;
        } else if (key == "jar") {
            jar = value;
        } else if (key == "javaopts") {
            size_t at = 0;
            while ((at = value.find_first_not_of(' ', at)) != std::string::npos) {
                const size_t stop = value.find(' ', at);
                settings->javaOptions.push_back(value.substr(at, stop - at));
                at = stop;
            }
        }
    }
    return ResolvePath(java, dllDir, &settings->javaLinux, why) &&
           ResolvePath(jar, dllDir, &settings->jarLinux, why);
}

bool StartJava(const BridgeSettings& settings, const std::vector<std::string>& launcherOptions,
               const JavaLogs& logs, DWORD timeoutMs, JavaProcess* java, std::string* why) {
    std::string logLinux;
    std::string outputLinux;
    if (!CreateEmptyFile(logs.errors, &logLinux) || !CreateEmptyFile(logs.output, &outputLinux)) {
        *why = "cannot create " + Utf8(logs.errors) + " or " + Utf8(logs.output);
        return false;
    }
    if (!MakeToken(&java->token)) {
        *why = "no random token";
        return false;
    }
    unsigned short listenPort = 0;
    SOCKET listener = ListenLoopback(&listenPort);
    if (listener == INVALID_SOCKET) {
        *why = "cannot listen on 127.0.0.1";
        return false;
    }

    std::vector<std::string> javaCommand = {settings.javaLinux};
    javaCommand.insert(javaCommand.end(), std::begin(kDefaultJavaOptions),
                       std::end(kDefaultJavaOptions));
    javaCommand.insert(javaCommand.end(), settings.javaOptions.begin(), settings.javaOptions.end());
    javaCommand.insert(javaCommand.end(), launcherOptions.begin(), launcherOptions.end());
    std::string shown;
    for (const auto& word : javaCommand) {
        shown += word + " ";
    }
    Record("launch", shown + "-cp " + settings.jarLinux + " " + kMainClass);

    char script[sizeof(kShellScript) + sizeof(kMainClass)];
    snprintf(script, sizeof(script), kShellScript, kMainClass);
    std::wstring commandLine;
    AppendArgument(L"sh", &commandLine);
    AppendArgument(L"-c", &commandLine);
    AppendArgument(Wide(script), &commandLine);
    AppendArgument(Wide(logLinux), &commandLine);
    AppendArgument(Wide(outputLinux), &commandLine);
    AppendArgument(Wide(settings.javaLinux), &commandLine);
    AppendArgument(Wide(settings.jarLinux), &commandLine);
    AppendArgument(std::to_wstring(listenPort), &commandLine);
    AppendArgument(Wide(java->token), &commandLine);
    for (size_t i = 1; i < javaCommand.size(); ++i) {
        AppendArgument(Wide(javaCommand[i]), &commandLine);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    if (!CreateProcessW(L"Z:\\bin\\sh", mutableLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        closesocket(listener);
        *why = "cannot start /bin/sh, error " + std::to_string(GetLastError());
        return false;
    }
    // For a Linux program Wine hands back no usable handles.
    if (process.hThread != nullptr) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hProcess);
    }
    const bool connected = AwaitLifeline(listener, logs.errors, timeoutMs, java, why);
    closesocket(listener);
    return connected;
}

bool JavaExitStatus(const std::wstring& javaLog, DWORD timeoutMs, int* status) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        const std::string log = ReadWholeFile(javaLog);
        const size_t at = log.rfind(kExitMarker);
        if (at != std::string::npos) {
            *status = atoi(log.c_str() + at + sizeof(kExitMarker));
            return true;
        }
        Sleep(20);
    } while (GetTickCount64() < deadline);
    return false;
}

bool OpenChannel(const JavaProcess& java, bool daemon, Channel* channel, const std::string& name) {
    channel->received.clear();
    channel->socket = ConnectLoopback(java.port);
    if (channel->socket == INVALID_SOCKET) {
        return false;
    }
    if (!SendFields(channel, {"HELLO", java.token, daemon ? "daemon" : "user", name})) {
        CloseChannel(channel);
        return false;
    }
    return true;
}

}  // namespace bridge
