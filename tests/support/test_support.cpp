#include "test_support.h"

#include "folders.h"
#include "globals.h"
#include "log.h"

#include <shlobj.h>

namespace test {

static std::wstring TestBase()
{
    CreateDirectoryW(L"C:\\varntest", nullptr);
    return L"C:\\varntest";
}

bool WaitFor(DWORD limitMs, const std::function<bool()>& condition)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > limitMs)
            return false;
        Sleep(100);
    }
    return true;
}

DWORD ServiceState()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"VarnBack", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    if (service != nullptr) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return status.dwCurrentState;
}

TempFolder::TempFolder(const std::wstring& label)
{
    static unsigned sequence = 0;
    const std::wstring base = TestBase();
    for (;;) {
        wchar_t name[64];
        _snwprintf(name, 63, L"%ls-%lu-%u", label.c_str(), GetCurrentProcessId(), ++sequence);
        name[63] = 0;
        path_ = base + L"\\" + name;
        if (CreateDirectoryW(path_.c_str(), nullptr))
            return;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return;
    }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    // A linked folder is removed as a link, never followed.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const std::wstring& name : ListFolder(path))
            RemoveTree(path + L"\\" + name);
    }
    if (!RemoveDirectoryW(path.c_str()))
        DeleteFileW(path.c_str());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

std::vector<CutCase> Utf8CutCases(size_t limit)
{
    std::vector<CutCase> cases = {
        {"ASCII", std::string(limit + 1, 'a'), limit},
        {"stray continuation bytes", std::string(limit - 2, 'a') + std::string(8, '\x80'), limit},
    };
    const char* const characters[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};  // é € U+1F600
    for (const char* character : characters) {
        const std::string piece = character;
        // The ASCII lead moves the limit across every byte of a character.
        for (size_t lead = 0; lead < piece.size(); ++lead) {
            std::string text(lead, 'a');
            while (text.size() <= limit)
                text += piece;
            cases.push_back({std::to_string(piece.size()) + "-byte characters after " + std::to_string(lead) +
                                 " ASCII bytes",
                             text + piece, lead + (limit - lead) / piece.size() * piece.size()});
        }
    }
    return cases;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], size);
    return out;
}

static void DeleteSettingsKey()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, SettingsKey().c_str());
}

SettingsScope::SettingsScope() { DeleteSettingsKey(); }
SettingsScope::~SettingsScope() { DeleteSettingsKey(); }

void SettingsScope::SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SettingsKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void SettingsScope::Set(const std::wstring& name, const std::wstring& value)
{
    SetRaw(name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SettingsScope::SetDword(const std::wstring& name, DWORD value) { SetRaw(name, REG_DWORD, &value, sizeof value); }

static std::wstring CommonAppData()
{
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

static int machineFolderScopes = 0;

MachineFolders::MachineFolders()
{
    ++machineFolderScopes;
    const std::wstring vendor = CommonAppData() + VendorPathPiece();
    CreateDirectoryW(vendor.c_str(), nullptr);
    CreateDirectoryW((vendor + L"\\" + serviceName).c_str(), nullptr);
    CreateDirectoryW(data().c_str(), nullptr);
    CreateDirectoryW(logs().c_str(), nullptr);
}

MachineFolders::~MachineFolders()
{
    if (--machineFolderScopes == 0)
        RemoveTree(CommonAppData() + VendorPathPiece());
}

std::wstring MachineFolders::data() const { return GetDataFolder(); }
std::wstring MachineFolders::logs() const { return GetLogsFolder(); }

size_t Occurrences(const std::string& text, const std::string& piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

LogCapture::LogCapture()
{
    ResetLogWriterForTest();
    OpenLogFile(L"");
}

LogCapture::~LogCapture() { ResetLogWriterForTest(); }

std::wstring LogCapture::fileName() const
{
    return folders_.logs() + L"\\" + logWriterConfig.baseName + L".0.txt";
}

std::string LogCapture::text() const { return ReadFileBytes(fileName()); }

}  // namespace test
