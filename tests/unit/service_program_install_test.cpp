// The command line's service-control calls as the service control manager
// receives them: access words, registration values and the order handles are
// closed in. The calls are replaced by recorders; the event-log source is
// written to the registry for real.
#include <doctest/doctest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ntservice.h"
#include "test_support.h"

namespace {

const char* const testName = "VarnBackInstallTest";
const std::string eventLogKey = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + testName;
SC_HANDLE const managerHandle = reinterpret_cast<SC_HANDLE>(0x100);
SC_HANDLE const serviceHandle = reinterpret_cast<SC_HANDLE>(0x200);

std::vector<std::string> calls;
bool serviceExists = false;

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

std::string Text(LPCWSTR text) { return text == nullptr ? "null" : test::Utf8(text); }
std::string Text(LPCSTR text) { return text == nullptr ? "null" : text; }
std::string Handle(SC_HANDLE handle)
{
    return handle == managerHandle ? "manager" : handle == serviceHandle ? "service" : "other";
}

SC_HANDLE WINAPI RecordOpenManager(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    calls.push_back("OpenSCManagerW(" + Text(machine) + ", " + Text(database) + ", " + Hex(access) + ")");
    return managerHandle;
}

SC_HANDLE WINAPI RecordOpenService(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    calls.push_back("OpenServiceA(" + Handle(manager) + ", " + Text(name) + ", " + Hex(access) + ")");
    if (!serviceExists) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return serviceHandle;
}

SC_HANDLE WINAPI RecordCreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                                     DWORD type, DWORD start, DWORD errorControl, LPCWSTR imagePath,
                                     LPCWSTR group, LPDWORD tag, LPCWSTR dependencies, LPCWSTR account,
                                     LPCWSTR password)
{
    calls.push_back("CreateServiceW(" + Handle(manager) + ", " + Text(name) + ", " + Text(displayName) + ", " +
                    Hex(access) + ", " + Hex(type) + ", " + Hex(start) + ", " + Hex(errorControl) + ", " +
                    Text(imagePath) + ", " + Text(group) + ", " + (tag ? "tag" : "null") + ", " +
                    Text(dependencies) + ", " + Text(account) + ", " + Text(password) + ")");
    return serviceHandle;
}

BOOL WINAPI RecordDeleteService(SC_HANDLE service)
{
    calls.push_back("DeleteService(" + Handle(service) + ")");
    return TRUE;
}

BOOL WINAPI RecordClose(SC_HANDLE handle)
{
    calls.push_back("CloseServiceHandle(" + Handle(handle) + ")");
    return TRUE;
}

class InstallService : public Varn::NTService {
public:
    InstallService() : NTService(testName) {}
    void Run() override {}
    bool OnInit() override { return true; }
    void OnStop() override {}
    void OnInterrogate() override {}
    void OnPause() override {}
    void OnContinue() override {}
    void OnShutdown() override {}
    bool OnUserControl(uint32_t) override { return true; }
};

struct RecordedCalls {
    RecordedCalls()
    {
        calls.clear();
        serviceControlCalls = {RecordOpenManager, RecordOpenService, RecordCreateService, RecordDeleteService,
                               RecordClose};
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, eventLogKey.c_str());
    }
    ~RecordedCalls()
    {
        serviceControlCalls = saved;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, eventLogKey.c_str());
    }
    ServiceControlCalls saved = serviceControlCalls;
};

std::string ProgramPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return test::Utf8(path);
}

std::string EventLogValue(const char* name, DWORD& type)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, eventLogKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "(no key)";
    BYTE data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    type = 0;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return "(no value)";
    return type == REG_DWORD ? Hex(*reinterpret_cast<DWORD*>(data)) : std::string(reinterpret_cast<char*>(data));
}

}  // namespace

TEST_CASE("the service control manager receives the access words and registration of each switch")
{
    const std::string path = ProgramPath();
    const std::string name = testName;
    const std::string isInstalled = "OpenSCManagerW(null, null, 0x37) OpenServiceA(manager, " + name + ", 0x1) ";
    const std::string create = "OpenSCManagerW(null, null, 0x37) CreateServiceW(manager, " + name + ", " + name;
    const std::string registration = ", 0x10, 0x2, 0x1, \"" + path + "\", null, null, null, ";
    const std::string closeBoth = "CloseServiceHandle(service) CloseServiceHandle(manager) ";
    struct Case {
        std::vector<const char*> args;
        bool exists;
        std::string calls;
    };
    const std::vector<Case> cases = {
        {{"-i"}, false,
         isInstalled + "CloseServiceHandle(manager) " + create + ", 0xF01FF" + registration + "null, null) " +
             closeBoth},
        {{"-i", "", "secret"}, false,
         isInstalled + "CloseServiceHandle(manager) " + create + ", 0xF01FF" + registration + "null, null) " +
             closeBoth},
        {{"-i", "ann", "secret"}, false,
         isInstalled + "CloseServiceHandle(manager) " + create + ", 0x37" + registration + "ann, secret) " +
             closeBoth},
        {{"-i", ".\\ann", ""}, false,
         isInstalled + "CloseServiceHandle(manager) " + create + ", 0x37" + registration + ".\\ann, ) " +
             closeBoth},
        {{"-v"}, true, isInstalled + closeBoth},
        {{"-u"}, true,
         isInstalled + closeBoth + "OpenSCManagerW(null, null, 0x37) OpenServiceA(manager, " + name +
             ", 0x10000) DeleteService(service) " + closeBoth},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const char* arg : c.args)
            shown += std::string("[") + arg + "]";
        CAPTURE(shown);
        RecordedCalls recorded;
        serviceExists = c.exists;
        InstallService service;
        std::vector<char*> argv = {const_cast<char*>("VarnBackupService.exe")};
        for (const char* arg : c.args)
            argv.push_back(const_cast<char*>(arg));
        CHECK(service.ProcessCommandLine(static_cast<int>(argv.size()), argv.data()));
        std::string seen;
        for (const std::string& call : calls)
            seen += call + " ";
        CHECK(seen == c.calls);

        // An install names the real file, unquoted, as the event-log source's message file.
        DWORD type = 0;
        if (std::string(c.args[0]) == "-i") {
            CHECK(EventLogValue("EventMessageFile", type) == path);
            CHECK(type == REG_EXPAND_SZ);
            CHECK(EventLogValue("TypesSupported", type) == "0x7");
        } else {
            CHECK(EventLogValue("EventMessageFile", type) == "(no key)");
        }
    }
}
