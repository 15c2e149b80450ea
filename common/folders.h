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

// The number a MaxVersions text begins with, as the service reads it: the
// runtime's decimal reading (leading white space, a sign, then digits up to the
// first other character; past the range of 32 bits the nearest end of it).
// False, and number unchanged, when it finds no digits.
bool VersionNumberFromText(const std::wstring& text, int& number);
// The version limit a MaxVersions text stands for: that number, or
// defaultVersionLimit when the text begins with none.
int VersionLimitFromText(const std::wstring& text);

// "\\?\" in front, or "\\?\UNC\" in place of the two backslashes of a share path.
std::wstring MakeLongPath(std::wstring path);
// Throws std::out_of_range for an empty path.
std::wstring RemoveTrailingBackslash(std::wstring path);
// Creates every folder named by a prefix of the path that ends in a backslash.
bool CreateDirectoryPath(std::wstring path);

// The Destination setting as the service uses it, for the backup pass and the
// restore alike: forward slashes become backslashes, in place. True when the
// result is a full path: a drive letter, a colon and a backslash (a bare drive
// letter and colon stands for its root), or a share \\server\share. Any other
// text (Dest, C:Dest, \Dest, \\server, \\?\C:\Dest) names no fixed folder and
// must not be used.
bool NormalizeDestination(std::wstring& destination);
// Why the folder walk could never list a watched folder given as this text,
// or null when it can list it. Refused: a \\?\ or \\.\ prefix, a forward
// slash, a text that is not a full path (as for the destination, without its
// slash conversion), a trailing backslash other than a drive root's (D:\), and
// an empty piece (two backslashes in a row). A bare drive (D:) is its root.
const char* WatchedFolderFault(const std::wstring& folder);
// The destination's VarnBack folder, which holds the machine folders.
std::wstring DestinationStoreFolder(std::wstring destination);
