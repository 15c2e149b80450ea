// Drives the running service for the system tests, as the control centre and
// the service control manager's clients would. Every wait has a limit.
//
//   service_driver pipe [--replies N] [--wait-close] MESSAGE...
//       opens the control pipe (retrying while it is busy or not there yet),
//       writes each MESSAGE (UTF-8) as one framed message, prints N replies one
//       per line, and with --wait-close waits until the service closes the
//       connection (the end of a command that sends no reply).
//   service_driver status NAME          prints state, check point, wait hint, Win32 and
//                                       service-specific exit codes
//   service_driver image NAME           prints the image path the service control
//                                       manager holds for NAME (UTF-8)
//   service_driver regvalue KEY VALUE   prints a text value under HKEY_LOCAL_MACHINE (UTF-8)
//   service_driver wait NAME STATE SECONDS
//   service_driver stop NAME SECONDS [FOLDER SIZE]
//       sends the stop control and prints every distinct status seen until
//       STOPPED. With FOLDER and SIZE it first waits for a file in FOLDER that
//       has begun to grow but is still smaller than SIZE (a copy under way),
//       and reports that file's size when the control was sent and when
//       STOPPED was first seen.
//   service_driver message FILE ID      prints message ID of FILE's message
//       table (language 1033) as the event viewer reads it, CR and LF as \r \n
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t* const controlPipe = L"\\\\.\\pipe\\VarnokeBackupPipe";
const DWORD pipeLimitMs = 30000;

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

int Fail(const char* what, DWORD code)
{
    printf("error: %s (%lu)\n", what, code);
    fflush(stdout);
    return 2;
}

// One overlapped transfer of exactly count bytes, within the limit.
bool Transfer(HANDLE pipe, bool write, void* buffer, DWORD count, DWORD limitMs)
{
    char* bytes = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD moved = 0;
        BOOL ok = write ? WriteFile(pipe, bytes + done, count - done, &moved, &overlapped)
                        : ReadFile(pipe, bytes + done, count - done, &moved, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, limitMs) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                WaitForSingleObject(overlapped.hEvent, 5000);
                CloseHandle(overlapped.hEvent);
                SetLastError(WAIT_TIMEOUT);
                return false;
            }
            ok = GetOverlappedResult(pipe, &overlapped, &moved, FALSE);
        }
        const DWORD error = GetLastError();
        CloseHandle(overlapped.hEvent);
        if (!ok || moved == 0) {
            SetLastError(ok ? ERROR_HANDLE_EOF : error);
            return false;
        }
        done += moved;
    }
    return true;
}

int Pipe(const std::vector<std::wstring>& args)
{
    int replies = 0;
    bool waitClose = false;
    std::vector<std::string> messages;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--replies" && i + 1 < args.size())
            replies = _wtoi(args[++i].c_str());
        else if (args[i] == L"--wait-close")
            waitClose = true;
        else
            messages.push_back(Utf8(args[i]));
    }
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (DWORD waited = 0; waited < pipeLimitMs; waited += 100) {
        pipe = CreateFileW(controlPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            break;
        Sleep(100);
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return Fail("the control pipe could not be opened", GetLastError());
    for (const std::string& message : messages) {
        DWORD count = static_cast<DWORD>(message.size());
        std::string frame(reinterpret_cast<const char*>(&count), 4);
        frame += message;
        if (!Transfer(pipe, true, &frame[0], static_cast<DWORD>(frame.size()), pipeLimitMs))
            return Fail("write", GetLastError());
    }
    for (int i = 0; i < replies; ++i) {
        DWORD count = 0;
        if (!Transfer(pipe, false, &count, 4, pipeLimitMs))
            return Fail("reply count", GetLastError());
        std::string body(count, '\0');
        if (count > 0 && !Transfer(pipe, false, &body[0], count, pipeLimitMs))
            return Fail("reply body", GetLastError());
        printf("%s\n", body.c_str());
    }
    if (waitClose) {
        // The service sends nothing more: the read ends when it closes its instance.
        char byte;
        if (Transfer(pipe, false, &byte, 1, 120000))
            return Fail("unexpected data", 0);
        if (GetLastError() == WAIT_TIMEOUT)
            return Fail("the service did not close the connection", WAIT_TIMEOUT);
        printf("closed\n");
    }
    fflush(stdout);
    CloseHandle(pipe);
    return 0;
}

SC_HANDLE OpenNamedService(const std::wstring& name, DWORD access, SC_HANDLE& manager)
{
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return nullptr;
    return OpenServiceW(manager, name.c_str(), access);
}

std::string StatusText(const SERVICE_STATUS& s)
{
    char text[128];
    _snprintf(text, sizeof text, "state=%lu checkpoint=%lu waithint=%lu exit=%lu specific=%lu", s.dwCurrentState,
              s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode, s.dwServiceSpecificExitCode);
    text[sizeof text - 1] = 0;
    return text;
}

int Status(const std::wstring& name)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, manager);
    if (service == nullptr)
        return Fail("open service", GetLastError());
    SERVICE_STATUS s = {};
    if (!QueryServiceStatus(service, &s))
        return Fail("query", GetLastError());
    printf("%s\n", StatusText(s).c_str());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Image(const std::wstring& name)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_CONFIG, manager);
    if (service == nullptr)
        return Fail("open service", GetLastError());
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(&buffer[0]);
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        return Fail("query config", GetLastError());
    printf("%s\n", Utf8(config->lpBinaryPathName).c_str());
    fflush(stdout);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int RegValue(const std::wstring& keyName, const std::wstring& valueName)
{
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return Fail("open key", result);
    std::vector<wchar_t> value(32768);
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t) - sizeof(wchar_t));
    DWORD type = 0;
    result = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return Fail("query value", result);
    printf("%s\n", Utf8(std::wstring(&value[0])).c_str());
    fflush(stdout);
    return 0;
}

int Wait(const std::wstring& name, DWORD state, DWORD seconds)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, SERVICE_QUERY_STATUS, manager);
    if (service == nullptr)
        return Fail("open service", GetLastError());
    SERVICE_STATUS s = {};
    for (DWORD waited = 0; waited <= seconds * 1000; waited += 50) {
        if (QueryServiceStatus(service, &s) && s.dwCurrentState == state)
            break;
        Sleep(50);
    }
    printf("%s\n", StatusText(s).c_str());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return s.dwCurrentState == state ? 0 : 1;
}

// Size of the one file in folder that is not the database copy and not complete.
bool GrowingFile(const std::wstring& folder, ULONGLONG fullSize, std::wstring& name, ULONGLONG& size)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool growing = false;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const ULONGLONG s = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        if (s > 0 && s < fullSize && wcslen(found.cFileName) == 36) {
            name = found.cFileName;
            size = s;
            growing = true;
        }
    } while (!growing && FindNextFileW(find, &found));
    FindClose(find);
    return growing;
}

ULONGLONG SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct StopWatch {
    std::wstring name;
    DWORD limitMs;
    std::wstring copyPath;
    std::vector<std::string> seen;
    bool stopped = false;
    ULONGLONG sizeAtStopped = 0;
    volatile LONG firstSeen = 0;  // the watcher has seen the state before the control
};

DWORD WINAPI WatchStates(LPVOID argument)
{
    StopWatch* watch = static_cast<StopWatch*>(argument);
    // Handles of its own: queries on the handles the control is in progress
    // on wait for the control to finish.
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(watch->name, SERVICE_QUERY_STATUS, manager);
    if (service == nullptr)
        return 1;
    std::string last;
    for (DWORD waited = 0; waited <= watch->limitMs; waited += 2) {
        SERVICE_STATUS s = {};
        if (QueryServiceStatus(service, &s)) {
            const std::string text = StatusText(s);
            if (text != last) {
                watch->seen.push_back(text);
                last = text;
            }
            InterlockedExchange(&watch->firstSeen, 1);
            if (s.dwCurrentState == SERVICE_STOPPED) {
                if (!watch->copyPath.empty())
                    watch->sizeAtStopped = SizeOf(watch->copyPath);
                watch->stopped = true;
                break;
            }
        }
        Sleep(2);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Stop(const std::wstring& name, DWORD seconds, const std::wstring& folder, ULONGLONG fullSize)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, manager);
    if (service == nullptr)
        return Fail("open service", GetLastError());
    StopWatch watch;
    watch.name = name;
    watch.limitMs = seconds * 1000;
    if (!folder.empty()) {
        std::wstring file;
        ULONGLONG size = 0;
        DWORD waited = 0;
        for (; waited < watch.limitMs && !GrowingFile(folder, fullSize, file, size); waited += 1)
            Sleep(1);
        if (waited >= watch.limitMs)
            return Fail("no copy under way was seen", 0);
        watch.copyPath = folder + L"\\" + file;
        printf("copy-size-at-stop=%llu\n", size);
    }
    HANDLE watcher = CreateThread(nullptr, 0, WatchStates, &watch, 0, nullptr);
    // The state before the control comes first in what is printed: under load a
    // fixed pause was not always enough for the watcher's first query.
    for (DWORD waited = 0; waited < watch.limitMs && watch.firstSeen == 0; ++waited)
        Sleep(1);
    SERVICE_STATUS s = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &s))
        printf("control=ok\n");
    else
        printf("control=error %lu\n", GetLastError());
    WaitForSingleObject(watcher, watch.limitMs + 5000);
    CloseHandle(watcher);
    for (const std::string& line : watch.seen)
        printf("%s\n", line.c_str());
    if (!watch.copyPath.empty())
        printf("copy-size-at-stopped=%llu\n", watch.sizeAtStopped);
    fflush(stdout);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return watch.stopped ? 0 : 1;
}

int Message(const std::wstring& file, DWORD id)
{
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return Fail("load", GetLastError());
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                        reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0)
        return Fail("message", GetLastError());
    std::string shown;
    for (const char c : Utf8(std::wstring(text, length)))
        shown += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    printf("%s\n", shown.c_str());
    fflush(stdout);
    LocalFree(text);
    FreeLibrary(module);
    return 0;
}

int Usage()
{
    printf("usage: service_driver pipe|status|image|regvalue|wait|stop|message ...\n");
    return 2;
}

}  // namespace

int main()
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count < 3)
        return Usage();
    const std::wstring command = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + count);
    if (command == L"pipe")
        return Pipe(args);
    if (command == L"status")
        return Status(args[0]);
    if (command == L"image")
        return Image(args[0]);
    if (command == L"regvalue" && args.size() == 2)
        return RegValue(args[0], args[1]);
    if (command == L"wait" && args.size() == 3)
        return Wait(args[0], _wtoi(args[1].c_str()), _wtoi(args[2].c_str()));
    if (command == L"message" && args.size() == 2)
        return Message(args[0], wcstoul(args[1].c_str(), nullptr, 0));
    if (command == L"stop" && args.size() >= 2)
        return Stop(args[0], _wtoi(args[1].c_str()), args.size() >= 4 ? args[2] : L"",
                    args.size() >= 4 ? _wcstoui64(args[3].c_str(), nullptr, 10) : 0);
    return Usage();
}
