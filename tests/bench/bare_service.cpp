// The baseline for the benchmarks: a service of a few lines that reports
// running, signals the event "MerivastBenchEntered" where the host would call
// serviceMain, and stops on request.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE handle;
SERVICE_STATUS status = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE stopRequested;

void Report(DWORD state) {
    status.dwCurrentState = state;
    SetServiceStatus(handle, &status);
}

void WINAPI Handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(stopRequested);
    }
}

void WINAPI Main(DWORD, LPWSTR*) {
    handle = RegisterServiceCtrlHandlerW(L"BareService", Handler);
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    HANDLE entered = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"MerivastBenchEntered");
    if (entered != nullptr) {
        SetEvent(entered);
        CloseHandle(entered);
    }
    WaitForSingleObject(stopRequested, INFINITE);
    Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"BareService";
    SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
