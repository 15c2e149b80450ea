#pragma once
#include <windows.h>

// Thread routine of the pipe server; the argument is a ClientControlArgs*.
DWORD WINAPI ClientControl(LPVOID args);
