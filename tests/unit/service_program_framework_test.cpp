// The service framework: validity word, ServiceMain's reports, the control
// handler's table and the backup service's worker life, with the status
// reports, the handler registration and the worker routine replaced.
#include <doctest/doctest.h>

#include <functional>
#include <string>
#include <vector>

#include "ntservice.h"
#include "service_state.h"

namespace {

struct Report {
    DWORD state, checkPoint, waitHint, exitCode;
};

// "state/check point/wait hint/exit code" per report, so a mismatch reads plainly.
std::string Text(const std::vector<Report>& list)
{
    std::string text;
    for (const Report& r : list)
        text += std::to_string(r.state) + "/" + std::to_string(r.checkPoint) + "/" + std::to_string(r.waitHint) +
                "/" + std::to_string(r.exitCode) + " ";
    return text;
}

CRITICAL_SECTION reportLock;
std::vector<Report> reports;
const SERVICE_STATUS_HANDLE fakeHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
bool registrationFails = false;
std::string registeredAs;
LPHANDLER_FUNCTION registeredHandler = nullptr;
DWORD serviceMainThreadId = 0;
DWORD finalReportDelay = 0;    // ms the last report of ServiceMain takes
DWORD handlerStoppedDelay = 0; // ms the handler's stopped report takes
DWORD handlerThreadId = 0;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s)
{
    CHECK(handle == fakeHandle);
    if (s->dwCurrentState == SERVICE_STOPPED && GetCurrentThreadId() == serviceMainThreadId && finalReportDelay)
        Sleep(finalReportDelay);
    if (s->dwCurrentState == SERVICE_STOPPED && GetCurrentThreadId() == handlerThreadId && handlerStoppedDelay)
        Sleep(handlerStoppedDelay);
    EnterCriticalSection(&reportLock);
    reports.push_back({s->dwCurrentState, s->dwCheckPoint, s->dwWaitHint, s->dwWin32ExitCode});
    LeaveCriticalSection(&reportLock);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCSTR name, LPHANDLER_FUNCTION handler)
{
    registeredAs = name;
    registeredHandler = handler;
    return registrationFails ? nullptr : fakeHandle;
}

std::string Reports()
{
    EnterCriticalSection(&reportLock);
    std::vector<Report> copy = reports;
    LeaveCriticalSection(&reportLock);
    return Text(copy);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs = 10000)
{
    for (DWORD waited = 0; waited < limitMs; waited += 10) {
        if (condition())
            return true;
        Sleep(10);
    }
    return condition();
}

// Installs the fakes for one test and puts the real calls back afterwards.
struct Seams {
    Seams()
    {
        static bool lockReady = false;
        if (!lockReady) {
            InitializeCriticalSection(&reportLock);
            lockReady = true;
        }
        reports.clear();
        registrationFails = false;
        registeredAs.clear();
        registeredHandler = nullptr;
        serviceMainThreadId = GetCurrentThreadId();
        finalReportDelay = 0;
        handlerStoppedDelay = 0;
        handlerThreadId = 0;
        savedReport = reportStatusFunction;
        savedRegister = registerHandlerFunction;
        savedWorker = serviceWorkerRoutine;
        reportStatusFunction = RecordStatus;
        registerHandlerFunction = FakeRegister;
        serviceMainEntered = 0;
        if (serviceMainDone)
            ResetEvent(serviceMainDone);
        copyStopFlag = FALSE;
    }
    ~Seams()
    {
        reportStatusFunction = savedReport;
        registerHandlerFunction = savedRegister;
        serviceWorkerRoutine = savedWorker;
        serviceMainEntered = 0;
        copyStopFlag = FALSE;
    }
    ReportStatusFunction savedReport;
    RegisterHandlerFunction savedRegister;
    LPTHREAD_START_ROUTINE savedWorker;
};

// A service whose hooks only record that they ran.
class HookService : public Varn::NTService {
public:
    HookService() : NTService("VarnBack") {}
    void Run() override { calls += "Run "; }
    bool OnInit() override
    {
        calls += "OnInit ";
        SetLastError(initError);
        return initResult;
    }
    void OnStop() override { calls += "OnStop "; }
    void OnInterrogate() override { calls += "OnInterrogate "; }
    void OnPause() override { calls += "OnPause "; }
    void OnContinue() override { calls += "OnContinue "; }
    void OnShutdown() override { calls += "OnShutdown "; }
    bool OnUserControl(uint32_t control) override
    {
        calls += "OnUserControl(" + std::to_string(control) + ") ";
        return true;
    }

    std::string calls;
    bool initResult = true;
    DWORD initError = 0;
};

bool ServiceMainDoneSet() { return WaitForSingleObject(serviceMainDone, 0) == WAIT_OBJECT_0; }

}  // namespace

TEST_CASE("a new service object is valid, registered and stopped; a corrupt word is refused")
{
    Seams seams;
    HookService service;
    CHECK(serviceInstance == &service);
    CHECK(service.magic == 0xcafebabe);
    CHECK(service.registeredName == "VarnBack");
    CHECK(service.majorVersion == 1);
    CHECK(service.minorVersion == 0);
    CHECK(service.status.dwServiceType == SERVICE_WIN32_OWN_PROCESS);
    CHECK(service.status.dwCurrentState == SERVICE_STOPPED);
    CHECK(service.status.dwControlsAccepted == (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    CHECK_NOTHROW(service.Validate());

    service.magic = 0xdeadbeef;
    char programName[] = "VarnBackupService.exe";
    char version[] = "-v";
    char* argv[] = {programName, version, nullptr};
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"Validate", [&] { service.Validate(); }},
        {"ProcessCommandLine", [&] { service.ProcessCommandLine(2, argv); }},
        {"IsInstalled", [&] { service.IsInstalled(); }},
        {"Install", [&] { service.Install("", ""); }},
        {"Uninstall", [&] { service.Uninstall(); }},
        {"Initialize", [&] { service.Initialize(); }},
    };
    for (const auto& operation : operations) {
        CAPTURE(operation.first);
        CHECK_THROWS_AS(operation.second(), Varn::ObjectPointerException);
    }
    try {
        service.Validate();
        FAIL("no exception");
    } catch (const Varn::Exception& e) {
        CHECK(std::string(e.message).empty());
        CHECK(e.code == 0);
    }
    CHECK(service.calls.empty());
    CHECK(Reports() == "");
    service.magic = Varn::objectMagic;
}

TEST_CASE("ServiceMain reports start-up, runs the service and reports stopped")
{
    struct Case {
        const char* name;
        bool registrationFails;
        bool initResult;
        std::string calls;
        std::vector<Report> reports;
    };
    const std::vector<Case> cases = {
        // The running report carries the last error OnInit left; the final one is cleared.
        {"normal run", false, true, "OnInit Run ", {{2, 0, 0, 0}, {4, 0, 0, 1067}, {1, 0, 0, 0}}},
        {"OnInit fails", false, false, "OnInit ", {{2, 0, 0, 0}, {1, 0, 0, 1067}, {1, 0, 0, 1067}}},
        {"handler not registered", true, true, "", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        Seams seams;
        registrationFails = c.registrationFails;
        HookService service;
        service.initResult = c.initResult;
        service.initError = 1067;
        Varn::NTService::ServiceMain(0, nullptr);
        CHECK(registeredAs == "VarnBack");
        CHECK((registeredHandler == &Varn::NTService::ControlHandler));
        CHECK(service.calls == c.calls);
        CHECK(Reports() == Text(c.reports));
        CHECK(ServiceMainDoneSet());
    }
}

TEST_CASE("the control handler acts by control code")
{
    struct Case {
        DWORD control;
        std::string calls;
        std::vector<Report> reports;
    };
    const std::vector<Case> cases = {
        {SERVICE_CONTROL_STOP, "OnStop ", {{3, 1, 60000, 0}, {1, 2, 0, 0}}},
        {SERVICE_CONTROL_PAUSE, "OnPause ", {{6, 1, 60000, 0}, {7, 2, 0, 0}}},
        {SERVICE_CONTROL_CONTINUE, "OnContinue ", {{5, 1, 60000, 0}, {4, 2, 60000, 0}}},
        {SERVICE_CONTROL_INTERROGATE, "OnInterrogate ", {{4, 0, 0, 0}}},
        {SERVICE_CONTROL_SHUTDOWN, "OnShutdown ", {}},
        {128, "OnUserControl(128) ", {}},
        {255, "OnUserControl(255) ", {}},
        {0, "", {}},
        {6, "", {}},
        {127, "", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.control);
        Seams seams;
        HookService service;
        service.statusHandle = fakeHandle;
        service.status.dwCurrentState = SERVICE_RUNNING;
        Varn::NTService::ControlHandler(c.control);
        CHECK(service.calls == c.calls);
        CHECK(Reports() == Text(c.reports));
    }

    // The check point is never reset: a later stop goes on counting.
    Seams seams;
    HookService service;
    service.statusHandle = fakeHandle;
    Varn::NTService::ControlHandler(SERVICE_CONTROL_STOP);
    Varn::NTService::ControlHandler(SERVICE_CONTROL_STOP);
    CHECK(Reports() == "3/1/60000/0 1/2/0/0 3/3/60000/0 1/4/0/0 ");
}

namespace {

volatile LONG workerRunning = 0;
volatile LONG workerEnded = 0;
volatile uint8_t* workerStopByte = nullptr;
BOOL copyFlagAtWorkerEnd = TRUE;

// Stands for the control thread: runs until its stop byte is set (bounded),
// then takes a while longer, as a copy under way would.
DWORD WINAPI StoppableWorker(LPVOID stopByte)
{
    workerStopByte = static_cast<volatile uint8_t*>(stopByte);
    InterlockedExchange(&workerRunning, 1);
    for (int i = 0; i < 1000 && *workerStopByte == 0; ++i)
        Sleep(10);
    Sleep(300);
    copyFlagAtWorkerEnd = copyStopFlag;
    InterlockedExchange(&workerEnded, 1);
    return 0;
}

DWORD WINAPI QuickWorker(LPVOID stopByte)
{
    workerStopByte = static_cast<volatile uint8_t*>(stopByte);
    InterlockedExchange(&workerEnded, 1);
    return 0;
}

DWORD WINAPI ServiceMainThread(LPVOID)
{
    Varn::NTService::ServiceMain(0, nullptr);
    return 0;
}

void ResetWorker()
{
    workerRunning = 0;
    workerEnded = 0;
    workerStopByte = nullptr;
    copyFlagAtWorkerEnd = TRUE;
}

}  // namespace

TEST_CASE("a stop waits for the worker, lets copies finish, reports in order, and main outlasts ServiceMain")
{
    Seams seams;
    ResetWorker();
    serviceWorkerRoutine = StoppableWorker;
    finalReportDelay = 300;
    // A slow report from the handler must still come before ServiceMain's.
    handlerStoppedDelay = 300;
    handlerThreadId = GetCurrentThreadId();
    HANDLE mainThread;
    {
        Varn::VarnBackupService service("VarnBack");
        DWORD threadId = 0;
        mainThread = CreateThread(nullptr, 0, ServiceMainThread, nullptr, CREATE_SUSPENDED, &threadId);
        REQUIRE(mainThread != nullptr);
        serviceMainThreadId = threadId;
        ResumeThread(mainThread);
        REQUIRE(WaitUntil([] { return workerRunning != 0; }));
        CHECK((workerStopByte == &service.stopRequested));
        CHECK(service.workerStarted == 1);

        // As the dispatcher does on the program's first thread.
        Varn::NTService::ControlHandler(SERVICE_CONTROL_STOP);
        CHECK(workerEnded == 1);
        CHECK(service.workerThread == nullptr);
        CHECK(copyFlagAtWorkerEnd == FALSE);
        const std::vector<Report> handlerDone = {
            {2, 0, 0, 0}, {4, 0, 0, 0}, {3, 1, 60000, 0}, {1, 2, 0, 0}};
        const std::vector<Report> serviceMainDone = {
            {2, 0, 0, 0}, {4, 0, 0, 0}, {3, 1, 60000, 0}, {1, 2, 0, 0}, {1, 2, 0, 0}};
        CHECK(Reports() == Text(handlerDone));

        // What main does once the dispatcher has returned: ServiceMain's last
        // report is made before the object goes away.
        WaitForServiceMainExit();
        CHECK(Reports() == Text(serviceMainDone));
    }
    CHECK(copyStopFlag == FALSE);  // the destructor had no worker left to cancel
    CHECK(WaitForSingleObject(mainThread, 10000) == WAIT_OBJECT_0);
    CloseHandle(mainThread);
}

TEST_CASE("a worker that ends by itself stops the service; the destructor then cancels copies")
{
    Seams seams;
    ResetWorker();
    serviceWorkerRoutine = QuickWorker;
    {
        Varn::VarnBackupService service("VarnBack");
        SetLastError(0);  // OnInit leaves it for the running report's exit code
        Varn::NTService::ServiceMain(0, nullptr);
        CHECK(workerEnded == 1);
        CHECK((workerStopByte == &service.stopRequested));
        CHECK(Reports() == "2/0/0/0 4/0/0/0 1/0/0/0 ");
        CHECK(service.workerThread != nullptr);
        CHECK(copyStopFlag == FALSE);
    }
    CHECK(copyStopFlag == TRUE);
}
