#include "folders.h"

#include "globals.h"
#include "text.h"

#include <shlobj.h>

#include <cwchar>
#include <memory>

static std::wstring MachineFolder(const wchar_t* leaf)
{
    wchar_t buffer[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK)
        return std::wstring();
    return std::wstring(buffer) + VendorPathPiece() + L"\\" + serviceName + leaf;
}

std::wstring GetDataFolder() { return MachineFolder(L"\\Data"); }
std::wstring GetLogsFolder() { return MachineFolder(L"\\Logs"); }
std::wstring VendorPathPiece() { return L"\\" + vendorName; }

bool ReadRegistryValue(std::wstring subKey, std::wstring valueName, std::wstring& out)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return false;
    }
    // Room for a terminator the stored data may lack.
    const DWORD room = size + 2 * sizeof(wchar_t);
    std::unique_ptr<BYTE[]> data(new BYTE[room]());
    DWORD type = 0;
    DWORD got = size;
    LONG queried = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.get(), &got);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS) {
        out.clear();
        return false;
    }
    if (type == REG_DWORD && got >= sizeof(DWORD)) {
        DWORD value;
        memcpy(&value, data.get(), sizeof value);
        out = FormatWString(L"%d", static_cast<int>(value));
        return true;
    }
    if (type == REG_SZ) {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data.get());
        out.assign(text, wcsnlen(text, got / sizeof(wchar_t)));
        return true;
    }
    out.clear();
    return false;
}

bool VersionNumberFromText(const std::wstring& text, int& number)
{
    // As _wtoi takes the text, and a long has 32 bits here; only the case of no
    // digits is told apart, which _wtoi reads as 0.
    const wchar_t* const start = text.c_str();
    wchar_t* end = nullptr;
    const long value = wcstol(start, &end, 10);
    if (end == start)
        return false;
    number = static_cast<int>(value);
    return true;
}

int VersionLimitFromText(const std::wstring& text)
{
    int number = defaultVersionLimit;
    VersionNumberFromText(text, number);
    return number;
}

std::wstring MakeLongPath(std::wstring path)
{
    if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\')
        return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::wstring RemoveTrailingBackslash(std::wstring path)
{
    if (path.at(path.size() - 1) == L'\\')
        path.erase(path.size() - 1);
    return path;
}

bool CreateDirectoryPath(std::wstring path)
{
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == L'\\')
            CreateDirectoryW(path.substr(0, i + 1).c_str(), nullptr);
    }
    return true;
}

// \\?\ and \\.\ lead to long-path and device forms, not to a server.
static bool HasLongPathOrDevicePrefix(const std::wstring& path)
{
    return path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
           path[3] == L'\\';
}

// A drive letter, a colon and a backslash (a bare drive letter and colon
// stands for its root), or a share \\server\share; backslashes only.
static bool IsFullPath(const std::wstring& path)
{
    const size_t length = path.size();
    const wchar_t first = length > 0 ? path[0] : L'\0';
    if (length >= 2 && ((first >= L'A' && first <= L'Z') || (first >= L'a' && first <= L'z')) && path[1] == L':')
        return length == 2 || path[2] == L'\\';
    if (length < 2 || path[0] != L'\\' || path[1] != L'\\')
        return false;
    const size_t serverEnd = path.find(L'\\', 2);
    if (serverEnd == std::wstring::npos || serverEnd == 2 || HasLongPathOrDevicePrefix(path))
        return false;
    const size_t shareEnd = path.find(L'\\', serverEnd + 1);
    return (shareEnd == std::wstring::npos ? length : shareEnd) > serverEnd + 1;
}

bool NormalizeDestination(std::wstring& destination)
{
    for (wchar_t& c : destination) {
        if (c == L'/')
            c = L'\\';
    }
    return IsFullPath(destination);
}

const char* WatchedFolderFault(const std::wstring& folder)
{
    // The walk puts its own long-path prefix in front, under which every
    // character is taken literally: a second prefix, a slash or an empty piece
    // names nothing there, and a trailing backslash puts two before the
    // listing's pattern. A drive root is walked as its bare drive.
    if (HasLongPathOrDevicePrefix(folder))
        return "it has a long-path or device prefix (\\\\?\\ or \\\\.\\)";
    if (folder.find(L'/') != std::wstring::npos)
        return "it holds a forward slash";
    if (!IsFullPath(folder))
        return "it is not a full path (a drive letter, a colon and a backslash, or a share \\\\server\\share)";
    const bool driveRoot = folder.size() == 3 && folder[1] == L':';
    if (folder[folder.size() - 1] == L'\\' && !driveRoot)
        return "it ends in a backslash and is not a drive root";
    // A share's two leading backslashes are no empty piece.
    if (folder.find(L"\\\\", 1) != std::wstring::npos)
        return "it has an empty piece (two backslashes in a row)";
    return nullptr;
}

std::wstring DestinationStoreFolder(std::wstring destination)
{
    if (!destination.empty())
        destination = RemoveTrailingBackslash(destination);
    return destination + L"\\" + serviceName;
}
