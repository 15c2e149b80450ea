#pragma once
// Framing of the control pipe: a 4-byte little-endian count, then that many
// bytes of narrow text. Server side, overlapped I/O polled against the stop byte.
#include <windows.h>

#include <cstdint>
#include <string>

extern const wchar_t* const pipeName;  // "\\.\pipe\VarnokeBackupPipe"
const uint32_t largestPipeMessage = 32767;

// A client has this long from the start of a message's read to deliver the
// whole message, and from the start of a reply's write to take the whole
// reply; past it the connection is dropped, so a silent or stalled client
// cannot keep the one instance from everyone else. Tests shorten it.
extern DWORD pipeClientTimeout;  // 5000 ms

// One timed wait of the pipe code: on an operation's event, or a plain pause
// when the event is null. WAIT_OBJECT_0 when the event was signalled. Tests
// replace it to see and steer the polls.
typedef DWORD (*PipeWaitFunction)(HANDLE event, DWORD milliseconds);
extern PipeWaitFunction pipeWait;
DWORD WaitForPipeEvent(HANDLE event, DWORD milliseconds);  // the real one

// Both move all count bytes unless the client leaves, the stop byte is set or
// pipeClientTimeout runs out (then the connection has been dropped).
DWORD PipeRead(HANDLE pipe, void* buffer, DWORD count, OVERLAPPED* overlapped);
bool PipeWrite(HANDLE pipe, const void* buffer, DWORD count, OVERLAPPED* overlapped);
// False, with text "", unless the whole message arrived.
bool ReadMessage(HANDLE pipe, std::string& text, OVERLAPPED* overlapped);
void WriteMessage(HANDLE pipe, std::string text, OVERLAPPED* overlapped);

// Cancels the operation outstanding on the instance and waits for its
// completion, so that its buffer and the overlapped record may be released or
// reused. Only for operations started by the calling thread (XP has CancelIo alone).
void CancelPipeOperation(HANDLE pipe, OVERLAPPED* overlapped);
