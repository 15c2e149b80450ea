#include "log.h"

#include "folders.h"
#include "text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;  // changed and used with the lock held
// Read without the lock by the first test of every log call: a call made while
// the writer has no file returns at once. It stays set while a rotation
// replaces the file, so calls made meanwhile wait for the lock instead of
// being dropped.
volatile bool writerOpen = false;
long long fileNumber = 0;  // advanced only after a failed creation
unsigned long long entryCount = 0;
CRITICAL_SECTION logLock;
bool lockReady = false;

const unsigned char byteOrderMark[3] = {0xEF, 0xBB, 0xBF};

void WriteBytes(const void* data, size_t size)
{
    DWORD written = 0;
    WriteFile(logFile, data, static_cast<DWORD>(size), &written, nullptr);
}

// Empties a file of the same name; other processes may read it while it is open.
HANDLE CreateLogFile(const std::wstring& name)
{
    return CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
}

// Tries the rotation names (in <Logs>temp) from the current number on,
// advancing the number after each failure. After `attempts` failures the
// writer is left with no file and every later log call does nothing.
void CreateRotationFile(const std::wstring& baseName, int attempts)
{
    const std::wstring logs = GetLogsFolder();
    // Nothing else creates the folder beside Logs that these names need.
    CreateDirectoryW((logs + L"temp").c_str(), nullptr);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        logFile = CreateLogFile(FormatWString(L"%stemp\\%s.%d.txt", logs.c_str(), baseName.c_str(),
                                              static_cast<int>(fileNumber)));
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
    const std::wstring line = FormatWString(L"Windows Version %lu.%lu %s\r\n", version.dwMajorVersion,
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

// Called with the log lock held, so no other thread writes meanwhile.
void RotateLogFile(std::wstring baseName)
{
    HANDLE current = logFile;
    logFile = INVALID_HANDLE_VALUE;
    if (current != INVALID_HANDLE_VALUE && current != nullptr)
        CloseHandle(current);
    CreateRotationFile(baseName, logCreateAttempts);
    if (logFile != INVALID_HANDLE_VALUE)
        StartFile();
    else
        writerOpen = false;  // gave up: the writer goes quiet
}

// Lock held. The file may have gone while the caller waited for the lock (a
// rotation that gave up); the entry is then dropped.
void WriteEntry(const void* data, size_t size)
{
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    WriteBytes(data, size);
    ++entryCount;
    if (entryCount > logWriterConfig.rotateAfter)
        RotateLogFile(logWriterConfig.baseName);
}

}  // namespace

void OpenLogFile(std::wstring)
{
    const std::wstring baseName = logWriterConfig.baseName;
    const std::wstring logs = GetLogsFolder();
    const std::wstring firstName =
        FormatWString(L"%s\\%s.%d.txt", logs.c_str(), baseName.c_str(), static_cast<int>(fileNumber));
    if (!lockReady) {
        InitializeCriticalSection(&logLock);
        lockReady = true;
    }
    logFile = CreateLogFile(firstName);
    if (logFile == INVALID_HANDLE_VALUE) {
        ++fileNumber;
        CreateRotationFile(baseName, logCreateAttempts - 1);
    }
    if (logFile != INVALID_HANDLE_VALUE) {
        StartFile();
        writerOpen = true;
    }
}

void LogMessageW(const wchar_t* format, ...)
{
    if (!writerOpen)
        return;
    EnterCriticalSection(&logLock);
    va_list arguments;
    va_start(arguments, format);
    try {
        const std::wstring message = FormatWStringV(format, arguments);
        SYSTEMTIME now;
        GetSystemTime(&now);
        const std::wstring entry =
            FormatWString(L"%04d%02d%02d %02d:%02d:%02d.%03d %s\r\n", now.wYear, now.wMonth, now.wDay,
                          now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message.c_str());
        std::string bytes;
        WideToUtf8(entry, bytes, CP_UTF8);
        WriteEntry(bytes.data(), bytes.size());
    } catch (...) {
    }
    va_end(arguments);
    LeaveCriticalSection(&logLock);
}

void LogMessageA(const char* format, ...)
{
    if (!writerOpen)
        return;
    EnterCriticalSection(&logLock);
    va_list arguments;
    va_start(arguments, format);
    try {
        std::string message = FormatStringV(format, arguments);
        // Room for the time prefix and the line end in the formatter's buffer, so
        // a long message is cut and its entry still ends in CR LF; the cut keeps
        // whole characters, so the file stays UTF-8.
        if (message.size() > logNarrowMessageLimit)
            message.resize(Utf8CutLength(message.data(), logNarrowMessageLimit));
        SYSTEMTIME now;
        GetSystemTime(&now);
        const std::string entry =
            FormatString("%04d%02d%02d %02d:%02d:%02d.%03d %s\r\n", now.wYear, now.wMonth, now.wDay,
                         now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, message.c_str());
        WriteEntry(entry.data(), entry.size());
    } catch (...) {
    }
    va_end(arguments);
    LeaveCriticalSection(&logLock);
}

void ResetLogWriterForTest()
{
    if (lockReady)
        EnterCriticalSection(&logLock);
    writerOpen = false;
    HANDLE current = logFile;
    logFile = INVALID_HANDLE_VALUE;
    if (current != INVALID_HANDLE_VALUE && current != nullptr)
        CloseHandle(current);
    fileNumber = 0;
    entryCount = 0;
    if (lockReady)
        LeaveCriticalSection(&logLock);
}
