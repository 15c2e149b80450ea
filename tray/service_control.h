#pragma once
// Starting, stopping and querying the backup service through the service
// control manager, for the main window's start/stop button.
#include <windows.h>

#include <string>

bool IsBackupServiceRunning();
// Each gives the request's result. runningAfter receives what the service
// control manager last reported when the operation ended, read as
// IsBackupServiceRunning reads it; false when the service could not be opened.
bool StartBackupService(bool* runningAfter = nullptr);
bool StopBackupService(bool* runningAfter = nullptr);

// The system's narrow text for an error code, or "Unknown error message with
// code %lu (Win32)".
std::string Win32ErrorTextA(DWORD code);

// Polls of 100 ms after a start or stop request before the control centre
// stops waiting and tells the user. A start reaches its pending state at once,
// a stop waits for the service to finish the copy under way.
extern unsigned serviceStartPollLimit;  // 100: 10 s
extern unsigned serviceStopPollLimit;   // 600: 60 s, the stop's own wait hint
