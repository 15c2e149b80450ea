#pragma once
// The control centre's side of the control pipe: blocking, one request per connection.
#include <windows.h>

#include <string>

extern const wchar_t* const trayPipeName;  // "\\.\pipe\VarnokeBackupPipe"

bool ReadPipeMessage(HANDLE pipe, std::string& text);
bool WritePipeMessage(HANDLE pipe, std::string text);
void WritePipeMessageOrThrow(HANDLE pipe, std::string text);  // throws unsigned long 2
// "" at once, with nothing sent, for "ADD FOLDER" or "REMOVE FOLDER" without an argument.
std::string SendPipeCommand(std::string command, std::string argument);

// Opens the control pipe for synchronous use; INVALID_HANDLE_VALUE when the
// service is not running or is serving another client. The server may at most
// identify the caller, never act as it: when the service is stopped, any
// program may have made a pipe of that name. A pipe owned by neither
// LocalSystem nor the Administrators group is not the service's: it is closed
// before anything is written, with a line in the log, and counts as not opened.
HANDLE OpenControlPipe();

// The call that opens the pipe (CreateFileW); a seam for tests.
typedef HANDLE(WINAPI* OpenPipeFunction)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
extern OpenPipeFunction openControlPipeFile;
