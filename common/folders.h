#pragma once
// Per-machine folders, the backup settings in the registry and the service's
// path helpers.
#include <windows.h>
#include <string>

// <common application data>\Varnoke\VarnBack\Data (or \Logs), no trailing
// backslash; empty when the shell cannot say. Neither program creates them.
std::wstring GetDataFolder();
std::wstring GetLogsFolder();
std::wstring VendorPathPiece();  // "\Varnoke"

// Reads a REG_SZ (or REG_DWORD, as signed decimal) value under HKEY_LOCAL_MACHINE.
// A missing key or value leaves out unchanged, so callers preset it.
bool ReadRegistryValue(std::wstring subKey, std::wstring valueName, std::wstring& out);

// "\\?\" in front, or "\\?\UNC\" in place of the two backslashes of a share path.
std::wstring MakeLongPath(std::wstring path);
// Throws std::out_of_range for an empty path.
std::wstring RemoveTrailingBackslash(std::wstring path);
// Creates every folder named by a prefix of the path that ends in a backslash.
bool CreateDirectoryPath(std::wstring path);
