#pragma once
#include <windows.h>

// Thread routine of the one backup thread; the argument is the address of the
// control thread's std::vector<WatchedFolder*>.
DWORD WINAPI directoryWatcher(LPVOID folders);
