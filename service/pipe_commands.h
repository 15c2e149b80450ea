#pragma once
#include <windows.h>

#include <cstddef>

struct ClientControlArgs;

// Serves the one command of a client connection.
bool ProcessPipeMessage(ClientControlArgs* args, HANDLE pipe, OVERLAPPED* overlapped);

// The most a "RESTORE FILES" request holds at once of the entries taken off the
// pipe (far above any restore the control centre sends); a larger request is
// taken and restored in parts. Tests lower it.
extern size_t restoreBatchBytes;  // 16 MiB
