#include "install_layout.h"

#include <cstdlib>
#include <sstream>

#include "paths.h"

namespace mvt {

namespace {

const wchar_t kRecordFile[] = L"standin-record.txt";
const wchar_t kScenarioFile[] = L"standin-scenario.txt";
const char kMainClassEntry[] = "com/merivast/agent/MerivastMain.class";

void MakeDirs(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

}  // namespace

std::wstring ServiceExecutable() {
    // MVT_SERVICE_EXECUTABLE (a Linux path) puts another copy of the build's
    // executable under test, e.g. a signed one.
    const char* other = std::getenv("MVT_SERVICE_EXECUTABLE");
    return LinuxToWindowsPath(other != nullptr && *other != '\0' ? other : MVT_SERVICE_EXE);
}
std::wstring HostProbeExecutable() {
    return LinuxToWindowsPath(MVT_HOST_PROBE);
}

InstallLayout::InstallLayout(const std::wstring& tag, const std::wstring& executable,
                             const std::wstring& directory) {
    dir_ = directory.empty() ? TestRoot() + L"\\" + UniqueName(tag) : directory;
    MakeDirs(dir_);
    const wchar_t* slash = wcsrchr(executable.c_str(), L'\\');
    executable_ = dir_ + L"\\" + (slash != nullptr ? slash + 1 : executable.c_str());
    CopyFileW(executable.c_str(), executable_.c_str(), FALSE);
}

InstallLayout::~InstallLayout() {
    // MVT_KEEP keeps install directories for a look after a failure. A drive's
    // root is never removed whole: a test installed there removes what it made.
    const bool driveRoot = dir_.size() == 2 && dir_[1] == L':';
    if (std::getenv("MVT_KEEP") == nullptr && !driveRoot) RemoveTree(dir_);
}

void InstallLayout::MakeDir(const std::wstring& relativePath) {
    MakeDirs(dir_ + L"\\" + relativePath);
}

void InstallLayout::AddRuntime(Runtime runtime, const std::wstring& vm, const std::wstring& home) {
    const std::wstring client = dir_ + L"\\" + home + L"\\bin\\" + vm;
    switch (runtime) {
        case Runtime::kNone:
            return;
        case Runtime::kStandin:
            MakeDirs(client);
            CopyFileW(LinuxToWindowsPath(MVT_STANDIN_JVM).c_str(), (client + L"\\jvm.dll").c_str(),
                      FALSE);
            return;
        case Runtime::kNoExport:
            MakeDirs(client);
            CopyFileW(LinuxToWindowsPath(MVT_STANDIN_NOEXPORT).c_str(),
                      (client + L"\\jvm.dll").c_str(), FALSE);
            return;
        case Runtime::kOtherArchitecture:
            MakeDirs(client);
            CopyFileW(LinuxToWindowsPath(MVT_OTHER_ARCH_STANDIN_JVM).c_str(),
                      (client + L"\\jvm.dll").c_str(), FALSE);
            return;
        case Runtime::kWithHelperDll:
            MakeDirs(client);
            CopyFileW(LinuxToWindowsPath(MVT_STANDIN_DEPJVM).c_str(),
                      (client + L"\\jvm.dll").c_str(), FALSE);
            CopyFileW(LinuxToWindowsPath(MVT_STANDIN_HELPER).c_str(),
                      (dir_ + L"\\jre\\bin\\standin_helper.dll").c_str(), FALSE);
            return;
    }
}

void InstallLayout::AddLateLibrary() {
    const std::wstring bin = dir_ + L"\\jre\\bin";
    MakeDirs(bin);
    CopyFileW(LinuxToWindowsPath(MVT_STANDIN_LATE).c_str(), (bin + L"\\standin_late.dll").c_str(),
              FALSE);
    CopyFileW(LinuxToWindowsPath(MVT_STANDIN_HELPER).c_str(),
              (bin + L"\\standin_helper.dll").c_str(), FALSE);
}

void InstallLayout::AddJar(const std::wstring& name, bool holdsMainClass,
                           const std::string& classEntry) {
    MakeDirs(dir_ + L"\\lib");
    std::string bytes = "PK\x03\x04 stand-in jar ";
    if (holdsMainClass) bytes += classEntry.empty() ? std::string(kMainClassEntry) : classEntry;
    WriteFileBytes(dir_ + L"\\lib\\" + name, bytes);
}

void InstallLayout::AddFile(const std::wstring& relativePath, const std::string& bytes) {
    std::wstring path = dir_ + L"\\" + relativePath;
    MakeDirs(path.substr(0, path.rfind(L'\\')));
    WriteFileBytes(path, bytes);
}

void InstallLayout::SetScenario(const std::string& text) {
    WriteFileBytes(dir_ + L"\\" + kScenarioFile, text);
}

void InstallLayout::Release(const std::string& step) {
    WriteFileBytes(dir_ + L"\\standin-release-" + Widen(step), "go");
}

std::vector<JniCall> InstallLayout::JniCalls() const {
    return ReadJniRecord(dir_ + L"\\" + kRecordFile);
}

std::vector<JniCall> ReadJniRecord(const std::wstring& path) {
    std::vector<JniCall> calls;
    std::stringstream lines(ReadFileBytes(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::stringstream fields(line);
        JniCall call;
        fields >> call.seq >> call.thread >> call.event;
        std::getline(fields, call.details);
        if (!call.details.empty() && call.details[0] == ' ') call.details.erase(0, 1);
        if (!call.event.empty()) calls.push_back(call);
    }
    return calls;
}

bool InstallLayout::WaitForJniCall(const std::string& event, const std::string& detailsPrefix,
                                   DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        for (const auto& call : JniCalls()) {
            if (call.event == event &&
                call.details.compare(0, detailsPrefix.size(), detailsPrefix) == 0) {
                return true;
            }
        }
        Sleep(5);
    } while (GetTickCount64() < deadline);
    return false;
}

bool HasFault(const std::vector<JniCall>& calls) {
    for (const auto& call : calls) {
        if (call.event == "FAULT") return true;
    }
    return false;
}

}  // namespace mvt
