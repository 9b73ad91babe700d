// A throw-away install directory: the executable under test plus whatever
// runtime, jars and scenario a test gives it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace mvt {

// kOtherArchitecture: the stand-in built for the other pointer size.
enum class Runtime { kNone, kStandin, kNoExport, kWithHelperDll, kOtherArchitecture };

// One line of the stand-in runtime's record: "<seq> <tid> <event> <details>".
struct JniCall {
    unsigned seq = 0;
    DWORD thread = 0;
    std::string event;
    std::string details;
};

class InstallLayout {
  public:
    // Creates C:\mvt\<tag>-<pid>-<n> (or `directory` when given) holding `executable`.
    // Removed when done, unless it is a drive's root ("R:").
    explicit InstallLayout(const std::wstring& tag, const std::wstring& executable,
                           const std::wstring& directory = std::wstring());
    ~InstallLayout();
    InstallLayout(const InstallLayout&) = delete;
    InstallLayout& operator=(const InstallLayout&) = delete;

    const std::wstring& dir() const { return dir_; }
    const std::wstring& executable() const { return executable_; }

    // Puts the runtime's jvm.dll in <home>\bin\<vm>, below the install directory.
    void AddRuntime(Runtime runtime, const std::wstring& vm = L"client",
                    const std::wstring& home = L"jre");
    // Puts standin_late.dll and the standin_helper.dll it imports in jre\bin, for a
    // runtime to load late (scenario main.load=standin_late.dll).
    void AddLateLibrary();
    // A jar that holds the application's class entry (or not), in lib; `classEntry`
    // ("org/example/App.class") names another class than the default.
    void AddJar(const std::wstring& name, bool holdsMainClass = true,
                const std::string& classEntry = std::string());
    void AddFile(const std::wstring& relativePath, const std::string& bytes);
    void MakeDir(const std::wstring& relativePath);
    // The stand-in's scenario, "key=value" lines.
    void SetScenario(const std::string& text);
    // Lets the stand-in pass the gate it waits at for `step`.
    void Release(const std::string& step);

    std::vector<JniCall> JniCalls() const;
    // Polls the record until some call has `event` (and `detailsPrefix`); false on timeout.
    bool WaitForJniCall(const std::string& event, const std::string& detailsPrefix = "",
                        DWORD timeoutMs = 15000) const;

  private:
    std::wstring dir_;
    std::wstring executable_;
};

// A runtime's record, "<seq> <tid> <event> <details>" a line, from `path`.
std::vector<JniCall> ReadJniRecord(const std::wstring& path);

bool HasFault(const std::vector<JniCall>& calls);

// Built artifacts, as Windows paths. The service executable is the one
// MVT_SERVICE_EXECUTABLE names, if set.
std::wstring ServiceExecutable();
std::wstring HostProbeExecutable();

}  // namespace mvt
