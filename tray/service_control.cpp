#include "service_control.h"

#include "app_state.h"
#include "folder_list.h"
#include "log.h"
#include "text.h"

#include <memory>

unsigned serviceStartPollLimit = 100;
unsigned serviceStopPollLimit = 600;

namespace {

const char* const serviceNameA = "VarnBack";
const char* const boxCaption = "BEEP";
const DWORD pollPeriod = 100;

void ShowBox(const std::string& text) { MessageBoxA(nullptr, text.c_str(), boxCaption, 0); }

// Query, sleep, until the state is one of the two wanted ones or the limit of
// polls is reached. Returns the last state read. The record is the caller's:
// a query that fails leaves what the stop control put there.
DWORD PollServiceState(SC_HANDLE service, SERVICE_STATUS& status, DWORD wanted, DWORD alsoWanted, unsigned limit,
                       bool& reached)
{
    reached = false;
    for (unsigned poll = 0; poll < limit; ++poll) {
        QueryServiceStatus(service, &status);
        Sleep(pollPeriod);
        if (status.dwCurrentState == wanted || status.dwCurrentState == alsoWanted) {
            reached = true;
            break;
        }
    }
    return status.dwCurrentState;
}

// The text of a refused request, for the box shown when the wait runs out.
std::string RefusalText(BOOL accepted, DWORD error)
{
    return accepted ? std::string() : Win32ErrorTextA(error);
}

}  // namespace

std::string Win32ErrorTextA(DWORD code)
{
    std::unique_ptr<char[]> buffer(new char[255]());
    // No arguments are supplied, so inserts such as %1 are left as they stand
    // rather than read from an argument list that is not there.
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer.get(), 255, nullptr);
    if (length == 0)
        return FormatString("Unknown error message with code %lu (Win32)", static_cast<unsigned long>(code));
    buffer[254] = '\0';
    return std::string(buffer.get());
}

bool IsBackupServiceRunning()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, appState.scmAccess);
    if (manager == nullptr) {
        const DWORD error = GetLastError();
        LogMessageA("Error: Could not access service control manager (%s)", Win32ErrorTextA(error).c_str());
        ShowBox("Error: Could not access service control manager");
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceNameA, appState.serviceAccess);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        LogMessageA("Error: Could not access service (%s)", Win32ErrorTextA(error).c_str());
        ShowBox(FormatString("Error: Could not access service (%d)", static_cast<int>(error)));
        CloseServiceHandle(manager);
        return false;
    }
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    const bool running = status.dwCurrentState != SERVICE_STOPPED;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return running;
}

bool StartBackupService(bool* runningAfter)
{
    bool result = false;
    bool running = false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, appState.scmAccess);
    if (manager == nullptr) {
        const DWORD error = GetLastError();
        LogMessageA("Error: Could not access service control manager: %s", Win32ErrorTextA(error).c_str());
        ShowBox("Error: Could not access service control manager");
    } else {
        SC_HANDLE service = OpenServiceA(manager, serviceNameA, appState.serviceAccess);
        if (service == nullptr) {
            const DWORD error = GetLastError();
            LogMessageA("Error: Could not start service: %s ", Win32ErrorTextA(error).c_str());
            ShowBox("Error: Could not start service ");
        } else {
            const BOOL accepted = StartServiceA(service, 0, nullptr);
            const DWORD error = GetLastError();
            result = accepted != FALSE;
            SERVICE_STATUS status = {};
            bool reached = false;
            const DWORD state = PollServiceState(service, status, SERVICE_START_PENDING, SERVICE_RUNNING,
                                                 serviceStartPollLimit, reached);
            running = state != SERVICE_STOPPED;
            if (!reached) {
                // A disabled service, or one that cannot log on, never leaves
                // the stopped state; the window cannot wait for ever.
                LogMessageA("Error: Service did not start, state %lu: %s", static_cast<unsigned long>(state),
                            RefusalText(accepted, error).c_str());
                ShowBox("Error: The service did not start. " + RefusalText(accepted, error));
            }
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    appState.LoadFolders();
    if (runningAfter != nullptr)
        *runningAfter = running;
    return result;
}

bool StopBackupService(bool* runningAfter)
{
    if (runningAfter != nullptr)
        *runningAfter = false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, appState.scmAccess);
    if (manager == nullptr) {
        const std::string text = Win32ErrorTextA(GetLastError());
        ShowBox("Error: Could not access service control manager");
        LogMessageA("%s", ("Error: Could not access service control manager" + text).c_str());
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceNameA, appState.serviceAccess);
    if (service == nullptr) {
        const std::string text = Win32ErrorTextA(GetLastError());
        ShowBox("Error: Could not stop service " + text);
        LogMessageA("Error: Could not stop service: %s ", text.c_str());
        CloseServiceHandle(manager);
        return false;
    }
    SERVICE_STATUS status = {};
    const BOOL accepted = ControlService(service, SERVICE_CONTROL_STOP, &status);
    const DWORD error = GetLastError();
    bool reached = false;
    const DWORD state =
        PollServiceState(service, status, SERVICE_STOPPED, SERVICE_STOPPED, serviceStopPollLimit, reached);
    if (!reached) {
        // The service may still be finishing a file copy; it goes on stopping
        // without the control centre waiting for it.
        LogMessageA("Error: Service did not stop, state %lu: %s", static_cast<unsigned long>(state),
                    RefusalText(accepted, error).c_str());
        ShowBox("Error: The service has not stopped yet. " + RefusalText(accepted, error));
    }
    if (runningAfter != nullptr)
        *runningAfter = state != SERVICE_STOPPED;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return accepted != FALSE;
}
