#include "globals.h"

// Built in this order before the entry point runs; no initialiser reads another global.
const std::wstring vendorName = L"Varnoke";
const std::wstring serviceName = L"VarnBack";
const std::wstring destinationValueName = L"Destination";
const std::wstring usernameValueName = L"Username";
const std::wstring passwordValueName = L"Password";
const std::wstring scanIntervalValueName = L"ScanInterval";
const std::wstring maxVersionsValueName = L"MaxVersions";

std::wstring SettingsKey()
{
    return L"Software\\" + vendorName + L"\\VarnBackup";
}
