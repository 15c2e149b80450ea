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
