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
