#include "pipe_server.h"

#include "control_thread.h"
#include "log.h"
#include "pipe_commands.h"
#include "pipe_framing.h"
#include "service_state.h"
#include "text.h"

namespace {

const DWORD pipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
const DWORD pipeInstances = 1;
const DWORD pipeBufferSize = 65536;
const DWORD connectPollMilliseconds = 500;
const DWORD createRetryMilliseconds = 100;

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

    while (!StopRequested()) {
        HANDLE pipe = CreateNamedPipeW(pipeName, pipeOpenMode, pipeMode, pipeInstances, pipeBufferSize,
                                       pipeBufferSize, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            LogMessageA("ClientControl() Could not create named pipe %S", pipeName);
            Sleep(createRetryMilliseconds);
            continue;
        }
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
                if (WaitForSingleObject(connectionEvent, 0) == WAIT_OBJECT_0) {
                    LogMessageA("ClientControl() Pending Pipe connection appears to have succeeded");
                    DWORD ignored = 0;
                    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                    code = ERROR_PIPE_CONNECTED;
                } else {
                    Sleep(connectPollMilliseconds);
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
