#pragma once
// Framing of the control pipe: a 4-byte little-endian count, then that many
// bytes of narrow text. Server side, overlapped I/O polled against the stop byte.
#include <windows.h>

#include <cstdint>
#include <string>

extern const wchar_t* const pipeName;  // "\\.\pipe\VarnokeBackupPipe"
const uint32_t largestPipeMessage = 32767;

DWORD PipeRead(HANDLE pipe, void* buffer, DWORD count, OVERLAPPED* overlapped);
bool PipeWrite(HANDLE pipe, const void* buffer, DWORD count, OVERLAPPED* overlapped);
bool ReadMessage(HANDLE pipe, std::string& text, OVERLAPPED* overlapped);
void WriteMessage(HANDLE pipe, std::string text, OVERLAPPED* overlapped);

// Cancels the operation outstanding on the instance and waits for its
// completion, so that its buffer and the overlapped record may be released or
// reused. Only for operations started by the calling thread (XP has CancelIo alone).
void CancelPipeOperation(HANDLE pipe, OVERLAPPED* overlapped);
