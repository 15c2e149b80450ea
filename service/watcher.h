#pragma once
#include <windows.h>

// Thread routine of the one backup thread; the argument is the address of the
// control thread's std::vector<WatchedFolder*>.
DWORD WINAPI directoryWatcher(LPVOID folders);

// GetTickCount carried across its 49.7-day wraps; it must be read at least once
// per wrap, which a watcher waking every 2000 ms does.
struct TickExtender {
    DWORD lastTick = 0;
    unsigned long long wraps = 0;
    bool started = false;
    unsigned long long Extend(DWORD tick);
};

// The watcher's millisecond clock (never wraps) and its sleep; tests replace
// both to drive the real loop on a clock of their own.
typedef unsigned long long (*WatcherClockFunction)();
typedef void(WINAPI* WatcherSleepFunction)(DWORD);
extern WatcherClockFunction watcherClock;
extern WatcherSleepFunction watcherSleep;
unsigned long long WatcherTickClock();
