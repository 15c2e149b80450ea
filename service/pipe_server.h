#pragma once
#include <windows.h>

// Thread routine of the pipe server; the argument is a ClientControlArgs*.
DWORD WINAPI ClientControl(LPVOID args);

#ifndef FILE_FLAG_FIRST_PIPE_INSTANCE
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000  // XP SP2 and later
#endif

// Polls of the connect wait: a stop while no client is connected is seen within one.
const DWORD connectPollMilliseconds = 500;
// Pauses after a failed instance creation: a quick retry first (the instance
// just closed can linger until its client closes its end), then a calm pace
// while the name stays taken.
const DWORD quickRetryMilliseconds = 100;
const DWORD calmRetryMilliseconds = 1000;

// The call that creates each instance (CreateNamedPipeW); a seam for tests.
typedef HANDLE(WINAPI* CreatePipeFunction)(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
extern CreatePipeFunction createPipeInstance;
