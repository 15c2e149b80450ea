#pragma once
#include <windows.h>

struct ClientControlArgs;

// Serves the one command of a client connection.
bool ProcessPipeMessage(ClientControlArgs* args, HANDLE pipe, OVERLAPPED* overlapped);
