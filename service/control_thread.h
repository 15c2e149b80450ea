#pragma once
#include <windows.h>

#include <vector>

#include "service_state.h"

// Handed to the pipe-server thread; lives on ServiceControlThread's stack.
struct ClientControlArgs {
    std::vector<HANDLE>* threads;
    std::vector<WatchedFolder*>* folders;
};

// The service's worker; the argument is the address of the stop byte.
DWORD WINAPI ServiceControlThread(LPVOID stopByte);

// Names the watcher-start failure when there is no watched folder to name.
extern const char* const noWatchedFolderText;  // "(no watched folders)"

// Seams for tests: the two thread routines started here and the call that starts them.
typedef HANDLE(WINAPI* CreateThreadFunction)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                             LPDWORD);
extern LPTHREAD_START_ROUTINE watcherRoutine;     // directoryWatcher
extern LPTHREAD_START_ROUTINE pipeServerRoutine;  // ClientControl
extern CreateThreadFunction createThreadFunction; // CreateThread
