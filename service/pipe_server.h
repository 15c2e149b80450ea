#pragma once
#include <windows.h>

// Thread routine of the pipe server; the argument is a ClientControlArgs*.
DWORD WINAPI ClientControl(LPVOID args);

#ifndef FILE_FLAG_FIRST_PIPE_INSTANCE
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000  // XP SP2 and later
#endif

// The call that creates each instance (CreateNamedPipeW); a seam for tests.
typedef HANDLE(WINAPI* CreatePipeFunction)(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
extern CreatePipeFunction createPipeInstance;

// The call that closes each instance (CloseHandle); a seam for tests.
typedef BOOL(WINAPI* ClosePipeFunction)(HANDLE);
extern ClosePipeFunction closePipeInstance;

// The call that makes each SID of the pipe's access list (AllocateAndInitializeSid);
// a seam for tests.
typedef BOOL(WINAPI* AllocateSidFunction)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                          DWORD, DWORD, PSID*);
extern AllocateSidFunction allocatePipeSid;
