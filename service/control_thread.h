#pragma once
#include <windows.h>

#include <vector>

#include "service_state.h"

// Handed to the pipe-server thread; lives on ServiceControlThread's stack.
struct ClientControlArgs {
    std::vector<HANDLE>* threads;
    std::vector<WatchedFolder*>* folders;
};

// The service's worker; the argument is the address of the stop byte. Returns 0,
// or the database library's result code when the state database did not open.
DWORD WINAPI ServiceControlThread(LPVOID stopByte);

// How often the worker tests the stop byte while it waits.
const DWORD stopPollInterval = 1000;

// Names the watcher-start failure when there is no watched folder to name.
extern const char* const noWatchedFolderText;  // "(no watched folders)"

// Seams for tests: the two thread routines started here, the call that starts
// them (and the worker itself, in Run), and the worker's wait between two
// tests of the stop byte.
typedef HANDLE(WINAPI* CreateThreadFunction)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                             LPDWORD);
extern LPTHREAD_START_ROUTINE watcherRoutine;     // directoryWatcher
extern LPTHREAD_START_ROUTINE pipeServerRoutine;  // ClientControl
extern CreateThreadFunction createThreadFunction; // CreateThread
typedef VOID(WINAPI* SleepFunction)(DWORD);
extern SleepFunction stopPollSleep;                // Sleep
