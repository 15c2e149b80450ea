#include "log.h"

#include "folders.h"
#include "text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
long long fileNumber = 0;
unsigned long long entryCount = 0;
CRITICAL_SECTION logLock;
bool lockReady = false;

const unsigned char byteOrderMark[3] = {0xEF, 0xBB, 0xBF};

void WriteBytes(const void* data, size_t size)
{
    DWORD written = 0;
    WriteFile(logFile, data, static_cast<DWORD>(size), &written, nullptr);
}

HANDLE CreateLogFile(const std::wstring& name)
{
    return CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
}

std::wstring FallbackName(const std::wstring& logs)
{
    return FormatWString(L"%stemp\\%s.%d.txt", logs.c_str(), logWriterConfig.baseName,
                         static_cast<int>(fileNumber));
}

// Creates the file of a fallback or rotation name, advancing the number after
// each failure. Gives up after a bounded number of attempts, leaving no file.
void CreateFallbackFile()
{
    const std::wstring logs = GetLogsFolder();
    // The rotation and fallback names lie in <Logs>temp, which nothing else creates.
    CreateDirectoryW((logs + L"temp").c_str(), nullptr);
    for (int attempt = 0; attempt < logCreateAttempts; ++attempt) {
        logFile = CreateLogFile(FallbackName(logs));
        if (logFile != INVALID_HANDLE_VALUE)
            return;
        ++fileNumber;
    }
}

void WriteVersionLine()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(&version);
    std::wstring line = FormatWString(L"Windows Version %lu.%lu %s\r\n", version.dwMajorVersion,
                                      version.dwMinorVersion, version.szCSDVersion);
    std::string bytes;
    WideToUtf8(line, bytes, CP_UTF8);
    WriteBytes(bytes.data(), bytes.size());
}

void StartFile()
{
    WriteBytes(byteOrderMark, sizeof byteOrderMark);
    WriteVersionLine();
    entryCount = 0;
}

// Called with the log lock held.
void RotateLogFile(std::wstring)
{
    if (logFile != INVALID_HANDLE_VALUE && logFile != nullptr)
        CloseHandle(logFile);
    logFile = INVALID_HANDLE_VALUE;
    CreateFallbackFile();
    if (logFile != INVALID_HANDLE_VALUE)
        StartFile();
}

void CountEntry()
{
    ++entryCount;
    if (entryCount > logWriterConfig.rotateAfter)
        RotateLogFile(logWriterConfig.baseName);
}

std::string TimePrefixFormat() { return "%04d%02d%02d %02d:%02d:%02d.%03d %s\r\n"; }

}  // namespace

void OpenLogFile(std::wstring)
{
    const std::wstring logs = GetLogsFolder();
    if (!lockReady) {
        InitializeCriticalSection(&logLock);
        lockReady = true;
    }
    logFile = CreateLogFile(FormatWString(L"%s\\%s.%d.txt", logs.c_str(), logWriterConfig.baseName,
                                          static_cast<int>(fileNumber)));
    if (logFile == INVALID_HANDLE_VALUE) {
        ++fileNumber;
        CreateFallbackFile();
    }
    if (logFile != INVALID_HANDLE_VALUE)
        StartFile();
}

void LogMessageW(const wchar_t* format, ...)
{
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    EnterCriticalSection(&logLock);
    try {
        va_list arguments;
        va_start(arguments, format);
        std::wstring message = FormatWStringV(format, arguments);
        va_end(arguments);
        SYSTEMTIME now;
        GetSystemTime(&now);
        std::wstring entry = FormatWString(L"%04d%02d%02d %02d:%02d:%02d.%03d %s\r\n", now.wYear,
                                           now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                           now.wMilliseconds, message.c_str());
        std::string bytes;
        WideToUtf8(entry, bytes, CP_UTF8);
        if (logFile != INVALID_HANDLE_VALUE) {
            WriteBytes(bytes.data(), bytes.size());
            CountEntry();
        }
    } catch (...) {
    }
    LeaveCriticalSection(&logLock);
}

void LogMessageA(const char* format, ...)
{
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    EnterCriticalSection(&logLock);
    try {
        va_list arguments;
        va_start(arguments, format);
        std::string message = FormatStringV(format, arguments);
        va_end(arguments);
        // Keep room for the time prefix and the line end, so an entry always ends in CR LF.
        if (message.size() > logNarrowMessageLimit)
            message.resize(logNarrowMessageLimit);
        SYSTEMTIME now;
        GetSystemTime(&now);
        std::string entry = FormatString(TimePrefixFormat().c_str(), now.wYear, now.wMonth, now.wDay,
                                         now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                                         message.c_str());
        if (logFile != INVALID_HANDLE_VALUE) {
            WriteBytes(entry.data(), entry.size());
            CountEntry();
        }
    } catch (...) {
    }
    LeaveCriticalSection(&logLock);
}

void ResetLogWriterForTest()
{
    if (lockReady)
        EnterCriticalSection(&logLock);
    if (logFile != INVALID_HANDLE_VALUE && logFile != nullptr)
        CloseHandle(logFile);
    logFile = INVALID_HANDLE_VALUE;
    fileNumber = 0;
    entryCount = 0;
    if (lockReady)
        LeaveCriticalSection(&logLock);
}
