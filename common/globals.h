#pragma once
// Names both programs must agree on to find each other's data.
#include <string>

extern const std::wstring vendorName;   // "Varnoke"
extern const std::wstring serviceName;  // "VarnBack"

// Value names of the backup settings under SettingsKey().
extern const std::wstring destinationValueName;   // "Destination"
extern const std::wstring usernameValueName;      // "Username"
extern const std::wstring passwordValueName;      // "Password"
extern const std::wstring scanIntervalValueName;  // "ScanInterval"
extern const std::wstring maxVersionsValueName;   // "MaxVersions"

// "Software\Varnoke\VarnBackup", under HKEY_LOCAL_MACHINE.
std::wstring SettingsKey();

// The versions kept per file when MaxVersions is absent: what the settings
// dialog shows then, and what the service keeps.
const int defaultVersionLimit = 5;

// How long a statement on the state database waits for a lock that the other
// program's connection holds before it fails with SQLITE_BUSY. The service's
// writes are single short statements; the control centre's window does not
// react while it waits, so the wait stays short.
const int databaseBusyTimeoutMs = 5000;
