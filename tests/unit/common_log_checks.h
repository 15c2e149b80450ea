#pragma once
// Reading log files back in the log writer's tests.
#include <doctest/doctest.h>

#include "folders.h"
#include "log.h"
#include "test_support.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace logcheck {

const std::string byteOrderMark = "\xEF\xBB\xBF";

// What the version line must say on this machine.
inline std::string VersionLine()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(&version);
    char numbers[64];
    _snprintf(numbers, sizeof numbers - 1, "%lu.%lu ", version.dwMajorVersion, version.dwMinorVersion);
    numbers[sizeof numbers - 1] = 0;
    return "Windows Version " + std::string(numbers) + test::Utf8(version.szCSDVersion) + "\r\n";
}

// The text of an entry's time, "YYYYMMDD HH:MM:SS.mmm".
inline std::string TimeText(const SYSTEMTIME& t)
{
    char text[32];
    _snprintf(text, sizeof text - 1, "%04d%02d%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
              t.wMinute, t.wSecond, t.wMilliseconds);
    text[sizeof text - 1] = 0;
    return text;
}

inline std::string UtcNow()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return TimeText(now);
}

inline bool IsTimePrefix(const std::string& text, size_t at)
{
    const char* shape = "dddddddd dd:dd:dd.ddd ";
    if (text.size() < at + 22)
        return false;
    for (size_t i = 0; i < 22; ++i) {
        const char c = text[at + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    return true;
}

// The file's entries after the byte-order mark and the version line; every
// entry must have the time prefix and end in CR LF. Messages must not hold CR LF.
inline std::vector<std::string> Messages(const std::string& file)
{
    std::vector<std::string> messages;
    const std::string head = byteOrderMark + VersionLine();
    REQUIRE(file.compare(0, head.size(), head) == 0);
    size_t at = head.size();
    while (at < file.size()) {
        const size_t end = file.find("\r\n", at);
        REQUIRE(end != std::string::npos);
        REQUIRE(IsTimePrefix(file, at));
        messages.push_back(file.substr(at + 22, end - at - 22));
        at = end + 2;
    }
    return messages;
}

// Entries "entry <first>" to "entry <last>", as the tests write them.
inline std::vector<std::string> Numbered(int first, int last)
{
    std::vector<std::string> messages;
    for (int i = first; i <= last; ++i)
        messages.push_back("entry " + std::to_string(i));
    return messages;
}

inline void LogNumbered(int first, int last)
{
    for (int i = first; i <= last; ++i)
        LogMessageA("entry %d", i);
}

// Holds a file open with no sharing, so the writer cannot create it.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr))
    {
        REQUIRE(handle_ != INVALID_HANDLE_VALUE);
    }
    ~HeldFile() { CloseHandle(handle_); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    HANDLE handle_;
};

// The writer's folders: the first file lies in Logs, the others in Logstemp beside it.
inline std::wstring FirstFile() { return GetLogsFolder() + L"\\" + logWriterConfig.baseName + L".0.txt"; }
inline std::wstring TempFile(int number)
{
    return GetLogsFolder() + L"temp\\" + logWriterConfig.baseName + L"." + std::to_wstring(number) + L".txt";
}

// Opens the writer afresh for the scope with the machine folders in place and
// returns it to the no-file state at the end.
class OpenWriter {
public:
    explicit OpenWriter(const std::wstring& argument = L"")
    {
        ResetLogWriterForTest();
        OpenLogFile(argument);
    }
    ~OpenWriter() { ResetLogWriterForTest(); }
};

}  // namespace logcheck
