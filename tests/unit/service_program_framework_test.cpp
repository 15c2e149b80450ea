// The service framework: validity word, ServiceMain's reports, the control
// handler's table and the backup service's worker life, with the status
// reports, the handler registration and the worker routine replaced.
#include <doctest/doctest.h>

#include <functional>
#include <string>
#include <vector>

#include "control_thread.h"
#include "ntservice.h"
#include "service_state.h"

namespace {

struct Report {
    DWORD state, checkPoint, waitHint, exitCode, specificCode;
};

// "state/check point/wait hint/exit code[:service-specific code]" per report,
// so a mismatch reads plainly.
std::string Text(const std::vector<Report>& list)
{
    std::string text;
    for (const Report& r : list) {
        text += std::to_string(r.state) + "/" + std::to_string(r.checkPoint) + "/" + std::to_string(r.waitHint) +
                "/" + std::to_string(r.exitCode);
        if (r.specificCode != 0)
            text += ":" + std::to_string(r.specificCode);
        text += " ";
    }
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
// Called after each report ServiceMain's thread makes, to act at that moment.
void (*afterServiceMainReport)(DWORD state) = nullptr;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s)
{
    CHECK(handle == fakeHandle);
    if (s->dwCurrentState == SERVICE_STOPPED && GetCurrentThreadId() == serviceMainThreadId && finalReportDelay)
        Sleep(finalReportDelay);
    if (s->dwCurrentState == SERVICE_STOPPED && GetCurrentThreadId() == handlerThreadId && handlerStoppedDelay)
        Sleep(handlerStoppedDelay);
    EnterCriticalSection(&reportLock);
    reports.push_back(
        {s->dwCurrentState, s->dwCheckPoint, s->dwWaitHint, s->dwWin32ExitCode, s->dwServiceSpecificExitCode});
    LeaveCriticalSection(&reportLock);
    if (GetCurrentThreadId() == serviceMainThreadId && afterServiceMainReport != nullptr)
        afterServiceMainReport(s->dwCurrentState);
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
        afterServiceMainReport = nullptr;
        savedReport = reportStatusFunction;
        savedRegister = registerHandlerFunction;
        savedWorker = serviceWorkerRoutine;
        savedCreate = createThreadFunction;
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
        createThreadFunction = savedCreate;
        afterServiceMainReport = nullptr;
        serviceMainEntered = 0;
        copyStopFlag = FALSE;
    }
    ReportStatusFunction savedReport;
    RegisterHandlerFunction savedRegister;
    LPTHREAD_START_ROUTINE savedWorker;
    CreateThreadFunction savedCreate;
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
        const std::string name = c.name;
        CAPTURE(name);
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
bool stopByteAtWorkerEnd = false;
// Set once the control handler has reported SERVICE_STOPPED; what a worker
// saw of it when it started, and whether a worker ran at that moment.
volatile LONG handlerReportedStopped = 0;
bool workerStartedAfterStopped = false;
bool workerAliveAtStopped = false;

// Stands for the control thread: runs until its stop byte is set (bounded),
// then takes a while longer, as a copy under way would.
DWORD WINAPI StoppableWorker(LPVOID stopByte)
{
    workerStartedAfterStopped = handlerReportedStopped != 0;
    workerStopByte = static_cast<volatile uint8_t*>(stopByte);
    InterlockedExchange(&workerRunning, 1);
    for (int i = 0; i < 1000 && *workerStopByte == 0; ++i)
        Sleep(10);
    stopByteAtWorkerEnd = *workerStopByte != 0;
    Sleep(300);
    copyFlagAtWorkerEnd = copyStopFlag;
    InterlockedExchange(&workerEnded, 1);
    return 0;
}

// Stands for a control thread whose state database did not open.
DWORD WINAPI FailingWorker(LPVOID stopByte)
{
    workerStopByte = static_cast<volatile uint8_t*>(stopByte);
    InterlockedExchange(&workerEnded, 1);
    return SQLITE_CANTOPEN;
}

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
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
    stopByteAtWorkerEnd = false;
    handlerReportedStopped = 0;
    workerStartedAfterStopped = false;
    workerAliveAtStopped = false;
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
            {2, 0, 0, 0, 0}, {4, 0, 0, 0, 0}, {3, 1, 60000, 0, 0}, {1, 2, 0, 0, 0}};
        const std::vector<Report> serviceMainDone = {
            {2, 0, 0, 0, 0}, {4, 0, 0, 0, 0}, {3, 1, 60000, 0, 0}, {1, 2, 0, 0, 0}, {1, 2, 0, 0, 0}};
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

namespace {

// The dispatcher's side of an early stop: the stop control on a thread of its own.
HANDLE dispatcherThread = nullptr;
DWORD dispatcherThreadId = 0;
volatile LONG handlerReportedStopPending = 0;

BOOL WINAPI RecordStopReports(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s)
{
    if (GetCurrentThreadId() == dispatcherThreadId && s->dwCurrentState == SERVICE_STOP_PENDING)
        InterlockedExchange(&handlerReportedStopPending, 1);
    if (GetCurrentThreadId() == dispatcherThreadId && s->dwCurrentState == SERVICE_STOPPED) {
        workerAliveAtStopped = workerRunning != 0 && workerEnded == 0;
        InterlockedExchange(&handlerReportedStopped, 1);
    }
    return RecordStatus(handle, s);
}

DWORD WINAPI Dispatcher(LPVOID)
{
    Varn::NTService::ControlHandler(SERVICE_CONTROL_STOP);
    return 0;
}

void SendStop()
{
    dispatcherThread = CreateThread(nullptr, 0, Dispatcher, nullptr, CREATE_SUSPENDED, &dispatcherThreadId);
    REQUIRE(dispatcherThread != nullptr);
    ResumeThread(dispatcherThread);
}

// Holds ServiceMain at one of its reports until the stop has been handled:
// no worker exists yet, so the handler has nothing to wait for.
DWORD holdAtState = 0;
void StopAtReport(DWORD state)
{
    if (state != holdAtState || dispatcherThread != nullptr)
        return;
    SendStop();
    CHECK(WaitForSingleObject(dispatcherThread, 10000) == WAIT_OBJECT_0);
}

// Holds Run while it creates the worker, until the handler is inside its stop sequence.
HANDLE WINAPI StopWhileCreating(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                                LPVOID argument, DWORD flags, LPDWORD id)
{
    SendStop();
    CHECK(WaitUntil([] { return handlerReportedStopPending != 0; }));
    return CreateThread(security, stack, routine, argument, flags, id);
}

}  // namespace

TEST_CASE("a stop that comes before Run has its worker's handle is not lost")
{
    struct Case {
        const char* when;
        DWORD holdAt;
        bool holdInCreate;
    };
    const std::vector<Case> cases = {
        {"while start-up is reported", SERVICE_START_PENDING, false},
        {"as RUNNING is reported, before Run", SERVICE_RUNNING, false},
        {"while Run creates the worker", 0, true},
    };
    for (const Case& c : cases) {
        const std::string when = c.when;
        CAPTURE(when);
        Seams seams;
        ResetWorker();
        dispatcherThread = nullptr;
        dispatcherThreadId = 0;
        handlerReportedStopPending = 0;
        holdAtState = c.holdAt;
        reportStatusFunction = RecordStopReports;
        serviceWorkerRoutine = StoppableWorker;
        if (c.holdInCreate)
            createThreadFunction = StopWhileCreating;
        else
            afterServiceMainReport = StopAtReport;
        {
            Varn::VarnBackupService service("VarnBack");
            DWORD threadId = 0;
            HANDLE mainThread = CreateThread(nullptr, 0, ServiceMainThread, nullptr, CREATE_SUSPENDED, &threadId);
            REQUIRE(mainThread != nullptr);
            serviceMainThreadId = threadId;
            ResumeThread(mainThread);
            REQUIRE(WaitUntil([] { return dispatcherThread != nullptr; }));
            CHECK(WaitForSingleObject(dispatcherThread, 15000) == WAIT_OBJECT_0);
            CloseHandle(dispatcherThread);
            // The dispatcher returns once the handler reported STOPPED; main then waits for ServiceMain.
            WaitForServiceMainExit();
            CHECK(WaitForSingleObject(mainThread, 15000) == WAIT_OBJECT_0);
            CloseHandle(mainThread);

            CHECK(handlerReportedStopped == 1);
            // No worker runs past the handler's STOPPED: none was left running,
            // none started afterwards, and one that ran ended on the stop byte.
            CHECK_FALSE(workerAliveAtStopped);
            CHECK_FALSE(workerStartedAfterStopped);
            if (workerRunning)
                CHECK(stopByteAtWorkerEnd);
            if (workerEnded)
                CHECK(copyFlagAtWorkerEnd == FALSE);
            CHECK(service.stopRequested == 1);
            // ServiceMain's last report: stopped, and cleanly.
            EnterCriticalSection(&reportLock);
            const Report last = reports.back();
            LeaveCriticalSection(&reportLock);
            CHECK(last.state == SERVICE_STOPPED);
            CHECK(last.exitCode == 0);
            CHECK(last.specificCode == 0);
        }
        // A stop through the handler never cancels copies.
        CHECK(copyStopFlag == FALSE);
    }
}

TEST_CASE("a worker that ends by itself is reported as a failed start; the destructor then cancels copies")
{
    struct Case {
        const char* name;
        LPTHREAD_START_ROUTINE worker;
        CreateThreadFunction create;
        std::string reports;
        BOOL copyFlagAfter;
    };
    const std::vector<Case> cases = {
        // ERROR_SERVICE_SPECIFIC_ERROR with the worker's exit code, the database library's result.
        {"state database did not open", FailingWorker, CreateThread, "2/0/0/0 4/0/0/0 1/0/0/1066:14 ", TRUE},
        // The Win32 error of the failed creation; there is no worker to cancel.
        {"worker not created", FailingWorker, NoThread, "2/0/0/0 4/0/0/0 1/0/0/8 ", FALSE},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        CAPTURE(name);
        Seams seams;
        ResetWorker();
        serviceWorkerRoutine = c.worker;
        createThreadFunction = c.create;
        {
            Varn::VarnBackupService service("VarnBack");
            SetLastError(0);  // OnInit leaves it for the running report's exit code
            Varn::NTService::ServiceMain(0, nullptr);
            CHECK(Reports() == c.reports);
            CHECK(copyStopFlag == FALSE);
            if (c.create == CreateThread) {
                CHECK(workerEnded == 1);
                CHECK((workerStopByte == &service.stopRequested));
                CHECK(service.workerThread != nullptr);
            }
        }
        CHECK(copyStopFlag == c.copyFlagAfter);
    }
}
