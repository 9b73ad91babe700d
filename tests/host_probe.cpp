// Runs the runtime host outside a service, from its own install directory,
// with a sink that writes every report to probe-sink.txt ("<code>\t<message>",
// line feeds written as \n). Used by the host tests to see exact sink codes.
//
//   host_probe main        construct, CallServiceMain, destroy
//   host_probe main-stop   the same, with CallServiceStop from a second thread
//   host_probe stop        construct, CallServiceStop from a second thread, destroy
#include <string>

#include "jvmhost/runtime_host.h"
#include "service/install_dir.h"

namespace {

HANDLE sinkFile = INVALID_HANDLE_VALUE;

void RecordingSink(int code, const wchar_t* message) {
    std::wstring line = std::to_wstring(code) + L"\t";
    for (const wchar_t* c = message; c != nullptr && *c != L'\0'; ++c) {
        if (*c == L'\n') {
            line += L"\\n";
        } else if (*c == L'\r') {
            line += L"\\r";
        } else {
            line += *c;
        }
    }
    line += L"\n";
    char bytes[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes,
                                     sizeof(bytes), nullptr, nullptr);
    DWORD written = 0;
    WriteFile(sinkFile, bytes, static_cast<DWORD>(length), &written, nullptr);
}

DWORD WINAPI StopThread(void* host) {
    static_cast<RuntimeHost*>(host)->CallServiceStop();
    return 0;
}

HANDLE StartStopThread(RuntimeHost* host) {
    return CreateThread(nullptr, 0, StopThread, host, 0, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"main";
    wchar_t installDir[MAX_PATH];
    FindInstallDir(installDir);
    sinkFile = CreateFileW((std::wstring(installDir) + L"\\probe-sink.txt").c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);

    RuntimeHost* host = new RuntimeHost(RecordingSink);
    HANDLE stopper = nullptr;
    if (mode == L"main-stop" || mode == L"stop") {
        stopper = StartStopThread(host);
    }
    if (mode != L"stop") {
        host->CallServiceMain();
    }
    if (stopper != nullptr) {
        WaitForSingleObject(stopper, INFINITE);
        CloseHandle(stopper);
    }
    delete host;
    CloseHandle(sinkFile);
    return 0;
}
