// The service program's switches: version, install and remove.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "log.h"
#include "ntservice.h"
#include "text.h"

namespace {

// The rights asked of the service control manager (0x37): connect, create-service,
// enumerate, query-lock-status and modify-boot-config.
const DWORD managerAccess = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_ENUMERATE_SERVICE |
                            SC_MANAGER_QUERY_LOCK_STATUS | SC_MANAGER_MODIFY_BOOT_CONFIG;
// The rights asked for the new service's handle when it gets an account (0x37):
// query and change its configuration, query its status, start and stop it.
const DWORD serviceAccessWithAccount =
    SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
static_assert(managerAccess == 0x37 && serviceAccessWithAccount == 0x37, "the registration's access words");
const char* const eventLogKeyPrefix = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The running program's full path, read wide so that a folder name outside the
// ANSI code page survives; empty when it cannot be read whole.
std::wstring ProgramPath()
{
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return std::wstring();
    return std::wstring(&path[0], length);
}

// The service control manager keeps the image path as expandable text and, at
// every start, replaces a percent sign, one or more other characters and a
// percent sign with the variable of that name: which names are set then is not
// known here, so any such pair would let the start run another program. Two
// percent signs side by side name nothing and stay as they are.
bool HoldsVariableName(const std::wstring& path)
{
    size_t open = path.find(L'%');
    while (open != std::wstring::npos) {
        const size_t close = path.find(L'%', open + 1);
        if (close == std::wstring::npos)
            return false;
        if (close > open + 1)
            return true;
        open = close;
    }
    return false;
}

// The command line's narrow texts, widened as the narrow service calls would.
std::wstring FromAnsi(const std::string& text)
{
    std::wstring wide;
    Utf8ToWide(text, wide, CP_ACP);
    return wide;
}

// Writes one line that may hold any character: wide to a console, UTF-8 when
// the output goes to a file or a pipe.
void PrintWideLine(const std::wstring& line)
{
    fflush(stdout);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) {
        DWORD written = 0;
        WriteConsoleW(output, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::string utf8;
    WideToUtf8(line, utf8, CP_UTF8);
    fputs(utf8.c_str(), stdout);
}

// Closes a service-control handle without disturbing the last-error code the
// caller is about to report.
void CloseKeepingError(SC_HANDLE handle)
{
    const DWORD error = GetLastError();
    serviceControlCalls.closeHandle(handle);
    SetLastError(error);
}

}  // namespace

ServiceControlCalls serviceControlCalls = {OpenSCManagerW, OpenServiceA, CreateServiceW, DeleteService,
                                           CloseServiceHandle};

namespace Varn {

bool NTService::ProcessCommandLine(int argc, char** argv)
{
    Validate();
    if (argc < 2)
        return false;
    const char* name = registeredName.c_str();
    if (_stricmp(argv[1], "-v") == 0) {
        printf("%s Version %d.%d\n", name, majorVersion, minorVersion);
        printf("The service is %s installed\n", IsInstalled() ? "currently" : "not");
        fflush(stdout);
        return true;
    }
    if (_stricmp(argv[1], "-i") == 0) {
        if (IsInstalled()) {
            printf("%s is already installed\n", name);
        } else {
            std::string account, password;
            if (argc == 4) {
                account = argv[2];
                password = argv[3];
            }
            if (Install(account, password))
                printf("%s installed\n", name);
            else
                printf("%s failed to install.\n", name);
        }
        fflush(stdout);
        return true;
    }
    if (_stricmp(argv[1], "-u") == 0) {
        if (!IsInstalled()) {
            printf("%s is not installed\n", name);
        } else if (Uninstall()) {
            PrintWideLine(FormatWString(L"%S removed. (You must delete the file (%s) yourself.)\n", name,
                                        ProgramPath().c_str()));
        } else {
            printf("Could not remove %s. Error %d\n", name, static_cast<int>(GetLastError()));
        }
        fflush(stdout);
        return true;
    }
    return false;
}

bool NTService::IsInstalled()
{
    Validate();
    SC_HANDLE manager = serviceControlCalls.openManager(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    bool installed = false;
    SC_HANDLE service = serviceControlCalls.openService(manager, registeredName.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        serviceControlCalls.closeHandle(service);
        installed = true;
    }
    serviceControlCalls.closeHandle(manager);
    return installed;
}

bool NTService::Install(std::string account, std::string password)
{
    Validate();
    SC_HANDLE manager = serviceControlCalls.openManager(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    const std::wstring path = ProgramPath();
    if (path.empty()) {
        CloseKeepingError(manager);
        return false;
    }
    if (HoldsVariableName(path)) {
        LogMessageW(L"Install() The program path %s holds a name between percent signs, which the service control "
                    L"manager would replace. Not installed.",
                    path.c_str());
        CloseKeepingError(manager);
        return false;
    }
    // Quoted, or a folder name with a blank lets the service control manager
    // start a program named by the text before the blank (C:\Program.exe).
    const std::wstring imagePath = L"\"" + path + L"\"";
    const std::wstring name = FromAnsi(registeredName);
    SC_HANDLE service;
    if (account.empty())
        service = serviceControlCalls.createService(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                    SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                                                    nullptr, nullptr, nullptr);
    else
        service = serviceControlCalls.createService(manager, name.c_str(), name.c_str(), serviceAccessWithAccount,
                                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                    SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr,
                                                    nullptr, FromAnsi(account).c_str(),
                                                    FromAnsi(password).c_str());
    if (service == nullptr) {
        CloseKeepingError(manager);
        return false;
    }
    HKEY key = nullptr;
    const std::string keyName = eventLogKeyPrefix + registeredName;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyName.c_str(), &key) != ERROR_SUCCESS) {
        serviceControlCalls.closeHandle(service);
        serviceControlCalls.closeHandle(manager);
        return false;
    }
    // A file name, not a command line: unquoted.
    RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    serviceControlCalls.closeHandle(service);
    serviceControlCalls.closeHandle(manager);
    return true;
}

bool NTService::Uninstall()
{
    Validate();
    SC_HANDLE manager = serviceControlCalls.openManager(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    SC_HANDLE service = serviceControlCalls.openService(manager, registeredName.c_str(), DELETE);
    if (service == nullptr) {
        CloseKeepingError(manager);
        return false;
    }
    const bool removed = serviceControlCalls.deleteService(service) != FALSE;
    CloseKeepingError(service);
    CloseKeepingError(manager);
    return removed;
}

}  // namespace Varn
