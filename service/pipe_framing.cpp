#include "pipe_framing.h"

#include "log.h"
#include "service_state.h"

#include <memory>

const wchar_t* const pipeName = L"\\\\.\\pipe\\VarnokeBackupPipe";

DWORD pipeClientTimeout = 5000;
PipeWaitFunction pipeWait = WaitForPipeEvent;

DWORD WaitForPipeEvent(HANDLE event, DWORD milliseconds)
{
    if (event == nullptr) {
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
    }
    return WaitForSingleObject(event, milliseconds);
}

namespace {

const DWORD bodyBufferSize = largestPipeMessage + 1;
// Reads and writes wait in polls of this length, so a stop is seen within one.
const DWORD pollMilliseconds = 200;

const char* const readTimeoutLine = "Named pipe client sent no whole message within %lu ms. Connection dropped.";
const char* const writeTimeoutLine = "Named pipe client took no whole reply within %lu ms. Connection dropped.";

bool Expired(DWORD start) { return GetTickCount() - start >= pipeClientTimeout; }

// Later reads and writes on the instance fail at once, so the command that
// was being served ends without another wait.
void DropConnection(HANDLE pipe, const char* line)
{
    LogMessageA(line, static_cast<unsigned long>(pipeClientTimeout));
    DisconnectNamedPipe(pipe);
}

enum class Outcome { completed, stopped, timedOut };

// Waits for the pending operation in polls, testing the stop byte after each;
// one given up is cancelled before the caller lets its buffer go.
Outcome AwaitOperation(HANDLE pipe, OVERLAPPED* overlapped, DWORD start)
{
    for (;;) {
        if (pipeWait(overlapped->hEvent, pollMilliseconds) == WAIT_OBJECT_0)
            return Outcome::completed;
        if (StopRequested() || Expired(start)) {
            CancelPipeOperation(pipe, overlapped);
            return StopRequested() ? Outcome::stopped : Outcome::timedOut;
        }
    }
}

// A message may reach the pipe in pieces: read until all count bytes are in.
DWORD ReadBytes(HANDLE pipe, char* buffer, DWORD count, OVERLAPPED* overlapped, DWORD start)
{
    DWORD got = 0;
    while (got < count) {
        // A client that trickles its bytes completes every poll: the bound holds here.
        if (got > 0 && Expired(start)) {
            DropConnection(pipe, readTimeoutLine);
            break;
        }
        DWORD delivered = 0;
        if (ReadFile(pipe, buffer + got, count - got, &delivered, overlapped)) {
            if (delivered == 0)
                break;
            got += delivered;
            continue;
        }
        // Any other error: the client has gone or the connection was dropped.
        if (GetLastError() != ERROR_IO_PENDING)
            break;
        if (StopRequested()) {
            CancelPipeOperation(pipe, overlapped);
            break;
        }
        const Outcome outcome = AwaitOperation(pipe, overlapped, start);
        if (outcome == Outcome::timedOut)
            DropConnection(pipe, readTimeoutLine);
        if (outcome != Outcome::completed)
            break;
        delivered = 0;
        if (!GetOverlappedResult(pipe, overlapped, &delivered, TRUE) || delivered == 0)
            break;
        got += delivered;
    }
    return got;
}

bool WriteBytes(HANDLE pipe, const void* buffer, DWORD count, OVERLAPPED* overlapped, DWORD start)
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
    // A reply larger than what the client leaves room for waits on the client.
    const Outcome outcome = AwaitOperation(pipe, overlapped, start);
    if (outcome == Outcome::timedOut)
        DropConnection(pipe, writeTimeoutLine);
    if (outcome != Outcome::completed)
        return false;
    written = 0;
    return GetOverlappedResult(pipe, overlapped, &written, TRUE) && written == count;
}

}  // namespace

DWORD PipeRead(HANDLE pipe, void* buffer, DWORD count, OVERLAPPED* overlapped)
{
    return ReadBytes(pipe, static_cast<char*>(buffer), count, overlapped, GetTickCount());
}

bool PipeWrite(HANDLE pipe, const void* buffer, DWORD count, OVERLAPPED* overlapped)
{
    return WriteBytes(pipe, buffer, count, overlapped, GetTickCount());
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
    // The bound covers the whole message, count and body.
    const DWORD start = GetTickCount();
    unsigned char countBytes[4] = {};
    if (ReadBytes(pipe, reinterpret_cast<char*>(countBytes), sizeof countBytes, overlapped, start) !=
        sizeof countBytes)
        return false;
    const uint32_t count = countBytes[0] | (countBytes[1] << 8) | (countBytes[2] << 16) |
                           (static_cast<uint32_t>(countBytes[3]) << 24);
    if (count > largestPipeMessage) {
        LogMessageA("Reading from named pipe would have caused a buffer overflow. The read has been aborted.");
        return false;
    }
    std::unique_ptr<char[]> body(new char[bodyBufferSize]());
    // An empty body needs no read request (what a zero-byte read does with no data waiting differs by platform).
    if (count != 0 && ReadBytes(pipe, body.get(), count, overlapped, start) != count)
        return false;  // cut off: nothing of it is used
    body[count] = '\0';
    text = body.get();
    return true;
}

void WriteMessage(HANDLE pipe, std::string text, OVERLAPPED* overlapped)
{
    const DWORD start = GetTickCount();
    const uint32_t count = static_cast<uint32_t>(text.size());
    const unsigned char countBytes[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                                         static_cast<unsigned char>(count >> 16),
                                         static_cast<unsigned char>(count >> 24)};
    if (!WriteBytes(pipe, countBytes, sizeof countBytes, overlapped, start))
        return;
    if (count != 0)
        WriteBytes(pipe, text.data(), count, overlapped, start);
}
