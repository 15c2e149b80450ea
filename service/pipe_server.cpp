#include "pipe_server.h"

#include "control_thread.h"
#include "log.h"
#include "pipe_commands.h"
#include "pipe_framing.h"
#include "service_state.h"
#include "text.h"

CreatePipeFunction createPipeInstance = CreateNamedPipeW;

namespace {

// The first instance of the name or none: a program that took the name first
// must not share it with the service and receive the control centre's requests.
const DWORD pipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
const DWORD pipeInstances = 1;
const DWORD pipeBufferSize = 65536;
// A stop while no client is connected is seen within one connect poll.
const DWORD connectPollMilliseconds = 500;
// Pauses after a failed instance creation: a quick retry first (on Windows the
// instance just closed lingers until its client has closed its end too), then
// a calm pace while the name stays taken.
const DWORD quickRetryMilliseconds = 100;
const DWORD calmRetryMilliseconds = 1000;

// The system's text of an error, without the line end it comes with.
std::wstring ErrorText(DWORD code)
{
    std::wstring text = Win32ErrorTextW(code);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// Pauses in pieces no longer than a connect poll, so a stop is seen as soon.
void PauseBeforeRetry(DWORD milliseconds)
{
    while (milliseconds > 0 && !StopRequested()) {
        const DWORD piece = milliseconds < connectPollMilliseconds ? milliseconds : connectPollMilliseconds;
        pipeWait(nullptr, piece);
        milliseconds -= piece;
    }
}

}  // namespace

DWORD WINAPI ClientControl(LPVOID parameter)
{
    ClientControlArgs* args = static_cast<ClientControlArgs*>(parameter);
    LogMessageA("ClientControl() Entry");

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    HANDLE connectionEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connectionEvent == nullptr) {
        LogMessageA("Error: ClientControl() Could not create manual reset event for named pipe");
        LogMessageA("ClientControl() Error Exit");
        return 1;
    }
    overlapped.hEvent = connectionEvent;

    unsigned long failedCreations = 0;  // in a row
    while (!StopRequested()) {
        HANDLE pipe = createPipeInstance(pipeName, pipeOpenMode, pipeMode, pipeInstances, pipeBufferSize,
                                         pipeBufferSize, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Logged once per outage, and only when the quick retry did not help.
            if (++failedCreations == 2) {
                LogMessageA("ClientControl() Could not create named pipe %S", pipeName);
                LogMessageA("ClientControl() Named pipe creation error %lu( %S). Retrying every %lu ms.", error,
                            ErrorText(error).c_str(), static_cast<unsigned long>(calmRetryMilliseconds));
            }
            PauseBeforeRetry(failedCreations == 1 ? quickRetryMilliseconds : calmRetryMilliseconds);
            continue;
        }
        if (failedCreations >= 2)
            LogMessageA("ClientControl() Created named pipe %S after %lu failed attempts", pipeName,
                        failedCreations);
        failedCreations = 0;
        LogMessageA("ClientControl() Created Pipe, waiting for connection ...");
        // An overlapped connect that completes at once means a client is there.
        DWORD code = ConnectNamedPipe(pipe, &overlapped) ? ERROR_PIPE_CONNECTED : GetLastError();
        bool served = false;
        while (!StopRequested() && !served) {
            if (code == ERROR_PIPE_CONNECTED) {
                LogMessageA("ClientControl() Pipe connected");
                ProcessPipeMessage(args, pipe, &overlapped);
                served = true;
            } else if (code == ERROR_IO_PENDING) {
                if (pipeWait(connectionEvent, connectPollMilliseconds) == WAIT_OBJECT_0) {
                    LogMessageA("ClientControl() Pending Pipe connection appears to have succeeded");
                    DWORD ignored = 0;
                    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                    code = ERROR_PIPE_CONNECTED;
                }
            } else {
                LogMessageA("ClientControl() Unknown error code %lu( %S). Aborting.", code,
                            Win32ErrorTextW(code).c_str());
                served = true;
            }
        }
        // A connect still pending at a stop is ended before the instance goes,
        // so nothing completes into the record after this thread has left it.
        if (!served && code == ERROR_IO_PENDING)
            CancelPipeOperation(pipe, &overlapped);
        LogMessageA("ClientControl() Closed Pipe");
        CloseHandle(pipe);
    }

    CloseHandle(connectionEvent);
    LogMessageA("ClientControl() Standard Exit");
    return 0;
}
