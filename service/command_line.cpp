// The service program's switches: version, install and remove.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "ntservice.h"

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

std::string ProgramPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[MAX_PATH - 1] = 0;
    return path;
}

// Closes a service-control handle without disturbing the last-error code the
// caller is about to report.
void CloseKeepingError(SC_HANDLE handle)
{
    const DWORD error = GetLastError();
    CloseServiceHandle(handle);
    SetLastError(error);
}

}  // namespace

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
            printf("%s removed. (You must delete the file (%s) yourself.)\n", name, ProgramPath().c_str());
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
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    bool installed = false;
    SC_HANDLE service = OpenServiceA(manager, registeredName.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        CloseServiceHandle(service);
        installed = true;
    }
    CloseServiceHandle(manager);
    return installed;
}

bool NTService::Install(std::string account, std::string password)
{
    Validate();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    const std::string path = ProgramPath();
    const char* name = registeredName.c_str();
    SC_HANDLE service;
    if (account.empty())
        service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
    else
        service = CreateServiceA(manager, name, name, serviceAccessWithAccount, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                                 nullptr, account.c_str(), password.c_str());
    if (service == nullptr) {
        CloseKeepingError(manager);
        return false;
    }
    HKEY key = nullptr;
    const std::string keyName = eventLogKeyPrefix + registeredName;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyName.c_str(), &key) != ERROR_SUCCESS) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return false;
    }
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>(path.size() + 1));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return true;
}

bool NTService::Uninstall()
{
    Validate();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, managerAccess);
    if (manager == nullptr)
        return false;
    SC_HANDLE service = OpenServiceA(manager, registeredName.c_str(), DELETE);
    if (service == nullptr) {
        CloseKeepingError(manager);
        return false;
    }
    const bool removed = DeleteService(service) != FALSE;
    CloseKeepingError(service);
    CloseKeepingError(manager);
    return removed;
}

}  // namespace Varn
