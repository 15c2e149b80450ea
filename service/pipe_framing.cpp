#include "pipe_framing.h"

#include "log.h"
#include "service_state.h"

#include <memory>

const wchar_t* const pipeName = L"\\\\.\\pipe\\VarnokeBackupPipe";

namespace {

const DWORD readPollMilliseconds = 200;
const DWORD bodyBufferSize = largestPipeMessage + 1;

bool Completed(OVERLAPPED* overlapped) { return WaitForSingleObject(overlapped->hEvent, 0) == WAIT_OBJECT_0; }

}  // namespace

DWORD PipeRead(HANDLE pipe, void* buffer, DWORD count, OVERLAPPED* overlapped)
{
    DWORD delivered = 0;
    if (ReadFile(pipe, buffer, count, &delivered, overlapped) || GetLastError() != ERROR_IO_PENDING)
        return delivered;
    if (StopRequested()) {
        CancelPipeOperation(pipe, overlapped);
        return 0;
    }
    for (;;) {
        if (Completed(overlapped)) {
            DWORD got = 0;
            return GetOverlappedResult(pipe, overlapped, &got, TRUE) ? got : 0;
        }
        Sleep(readPollMilliseconds);
        if (StopRequested()) {
            CancelPipeOperation(pipe, overlapped);
            return 0;
        }
    }
}

bool PipeWrite(HANDLE pipe, const void* buffer, DWORD count, OVERLAPPED* overlapped)
{
    DWORD written = 0;
    if (WriteFile(pipe, buffer, count, &written, overlapped))
        return written == count;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    if (StopRequested()) {
        CancelPipeOperation(pipe, overlapped);
        return false;
    }
    // Replies are far below the pipe's buffer, so a pending write is rare and short: no sleep.
    for (;;) {
        if (Completed(overlapped)) {
            DWORD got = 0;
            return GetOverlappedResult(pipe, overlapped, &got, TRUE) && got == count;
        }
        if (StopRequested()) {
            CancelPipeOperation(pipe, overlapped);
            return false;
        }
    }
}

// An operation given up on the stop byte would otherwise go on writing into a
// buffer and an overlapped record that the caller is about to release or reuse.
void CancelPipeOperation(HANDLE pipe, OVERLAPPED* overlapped)
{
    DWORD moved = 0;
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, &moved, TRUE);
}

bool ReadMessage(HANDLE pipe, std::string& text, OVERLAPPED* overlapped)
{
    text = "";
    unsigned char countBytes[4] = {};
    if (PipeRead(pipe, countBytes, sizeof countBytes, overlapped) != sizeof countBytes)
        return false;
    const uint32_t count = countBytes[0] | (countBytes[1] << 8) | (countBytes[2] << 16) |
                           (static_cast<uint32_t>(countBytes[3]) << 24);
    if (count > largestPipeMessage) {
        LogMessageA("Reading from named pipe would have caused a buffer overflow. The read has been aborted.");
        return false;
    }
    std::unique_ptr<char[]> body(new char[bodyBufferSize]());
    // An empty body needs no read request (what a zero-byte read does with no data waiting differs by platform).
    const DWORD delivered = count == 0 ? 0 : PipeRead(pipe, body.get(), count, overlapped);
    if (delivered < bodyBufferSize)
        body[delivered] = '\0';
    text = body.get();
    return true;
}

void WriteMessage(HANDLE pipe, std::string text, OVERLAPPED* overlapped)
{
    const uint32_t count = static_cast<uint32_t>(text.size());
    const unsigned char countBytes[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                                         static_cast<unsigned char>(count >> 16),
                                         static_cast<unsigned char>(count >> 24)};
    if (!PipeWrite(pipe, countBytes, sizeof countBytes, overlapped))
        return;
    if (count != 0)
        PipeWrite(pipe, text.data(), count, overlapped);
}
