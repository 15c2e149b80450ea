// A stand-in service named VarnBack for the control centre's stop wait:
// "slow" stops 1.5 s after the stop control, "hang" answers it with
// stop-pending and never gets further (it ends by itself after two minutes,
// so that nothing outlives a test).
#include <windows.h>

#include <cstring>

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
bool hang = false;

void Report(DWORD state, DWORD waitHint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 60000);
        if (!hang)
            SetEvent(stopEvent);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    statusHandle = RegisterServiceCtrlHandlerExW(L"VarnBack", Handler, nullptr);
    if (statusHandle == nullptr)
        return;
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(stopEvent, 120000);
    if (!hang)
        Sleep(1500);
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    hang = argc > 1 && strcmp(argv[1], "hang") == 0;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"VarnBack";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
