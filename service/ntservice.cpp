#include "ntservice.h"

#include "control_thread.h"
#include "service_state.h"

Varn::NTService* serviceInstance = nullptr;

HANDLE serviceMainDone = nullptr;
volatile LONG serviceMainEntered = 0;
HANDLE stopSequenceDone = nullptr;

ReportStatusFunction reportStatusFunction = SetServiceStatus;
RegisterHandlerFunction registerHandlerFunction = RegisterServiceCtrlHandlerA;
LPTHREAD_START_ROUTINE serviceWorkerRoutine = ServiceControlThread;

namespace Varn {

Object::Object() : magic(objectMagic) {}

Object::~Object() { magic = 0; }

void Object::Validate()
{
    if (magic != objectMagic)
        throw ObjectPointerException();
}

Exception::Exception() : message{}, code(0) {}

NTService::NTService(std::string name)
    : registeredName(name), majorVersion(1), minorVersion(0), statusHandle(nullptr), status{}
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    // Lives as long as the process: ServiceMain may set it after main gave up waiting.
    if (serviceMainDone == nullptr)
        serviceMainDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopSequenceDone == nullptr)
        stopSequenceDone = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    serviceInstance = this;
}

NTService::~NTService() { magic = 0; }

bool NTService::Initialize()
{
    Validate();
    status.dwCurrentState = SERVICE_START_PENDING;
    reportStatusFunction(statusHandle, &status);

    const bool initialised = OnInit();

    status.dwWin32ExitCode = GetLastError();
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    Validate();
    if (initialised) {
        status.dwCurrentState = SERVICE_RUNNING;
        reportStatusFunction(statusHandle, &status);
        return true;
    }
    status.dwCurrentState = SERVICE_STOPPED;
    reportStatusFunction(statusHandle, &status);
    return false;
}

void WINAPI NTService::ServiceMain(DWORD, LPSTR*)
{
    InterlockedExchange(&serviceMainEntered, 1);
    NTService* service = serviceInstance;
    service->status.dwCurrentState = SERVICE_START_PENDING;
    service->statusHandle = registerHandlerFunction(service->registeredName.c_str(), ControlHandler);
    if (service->statusHandle == nullptr) {
        SetEvent(serviceMainDone);
        return;
    }
    if (service->Initialize()) {
        service->status.dwWin32ExitCode = 0;
        service->status.dwCheckPoint = 0;
        service->status.dwWaitHint = 0;
        service->Run();
    }
    // Run returns as soon as the worker has ended, while the control handler
    // may not yet have reported the end of its stop: report after it.
    WaitForSingleObject(stopSequenceDone, stopSequenceLimit);
    service->Validate();
    service->status.dwCurrentState = SERVICE_STOPPED;
    reportStatusFunction(service->statusHandle, &service->status);
    // Last step: from here on main may destroy the object.
    SetEvent(serviceMainDone);
}

void WINAPI NTService::ControlHandler(DWORD control)
{
    NTService* service = serviceInstance;
    SERVICE_STATUS& status = service->status;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ResetEvent(stopSequenceDone);
        status.dwCheckPoint++;
        status.dwCurrentState = SERVICE_STOP_PENDING;
        status.dwWaitHint = 60000;
        reportStatusFunction(service->statusHandle, &status);
        service->OnStop();
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwCheckPoint++;
        status.dwWaitHint = 0;
        reportStatusFunction(service->statusHandle, &status);
        SetEvent(stopSequenceDone);
        break;
    case SERVICE_CONTROL_PAUSE:
        status.dwCheckPoint++;
        status.dwCurrentState = SERVICE_PAUSE_PENDING;
        status.dwWaitHint = 60000;
        reportStatusFunction(service->statusHandle, &status);
        service->OnPause();
        status.dwCurrentState = SERVICE_PAUSED;
        status.dwCheckPoint++;
        status.dwWaitHint = 0;
        reportStatusFunction(service->statusHandle, &status);
        break;
    case SERVICE_CONTROL_CONTINUE:
        status.dwCheckPoint++;
        status.dwCurrentState = SERVICE_CONTINUE_PENDING;
        status.dwWaitHint = 60000;
        reportStatusFunction(service->statusHandle, &status);
        service->OnContinue();
        status.dwCheckPoint++;
        status.dwCurrentState = SERVICE_RUNNING;
        status.dwWaitHint = 60000;
        reportStatusFunction(service->statusHandle, &status);
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service->OnInterrogate();
        reportStatusFunction(service->statusHandle, &status);
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->OnShutdown();
        break;
    default:
        if (control >= 128)
            service->OnUserControl(control);
        break;
    }
}

VarnBackupService::VarnBackupService(std::string name)
    : NTService(name), workerThread(nullptr), stopRequested(0), workerStarted(0)
{
    InitializeCriticalSection(&workerLock);
}

VarnBackupService::~VarnBackupService()
{
    // The worker ended by itself (the handler would have closed the handle):
    // cancel any copy that is left and join it.
    if (workerStarted && workerThread != nullptr) {
        stopRequested = 1;
        copyStopFlag = TRUE;
        WaitForSingleObject(workerThread, INFINITE);
        CloseHandle(workerThread);
        workerThread = nullptr;
    }
    DeleteCriticalSection(&workerLock);
}

void VarnBackupService::Run()
{
    // The stop byte is not cleared here: the service reports RUNNING before
    // this, and a stop that came since has set it and found no worker to wait for.
    HANDLE worker = nullptr;
    HANDLE own = nullptr;
    EnterCriticalSection(&workerLock);
    if (stopRequested == 0) {
        worker = createThreadFunction(nullptr, 0, serviceWorkerRoutine, const_cast<uint8_t*>(&stopRequested), 0,
                                      nullptr);
        if (worker == nullptr) {
            const DWORD error = GetLastError();
            status.dwWin32ExitCode = error != 0 ? error : ERROR_SERVICE_SPECIFIC_ERROR;
        }
        // OnStop closes workerThread on the dispatcher thread, possibly before
        // this wait begins; waiting on a handle of our own never meets a closed or reused one.
        if (worker != nullptr &&
            !DuplicateHandle(GetCurrentProcess(), worker, GetCurrentProcess(), &own,
                             SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0))
            own = nullptr;
        workerThread = worker;
        workerStarted = 1;
    }
    LeaveCriticalSection(&workerLock);
    if (worker == nullptr)
        return;
    WaitForSingleObject(own != nullptr ? own : worker, INFINITE);
    // A worker that ended without a stop request could not do its work (the
    // state database did not open): report it as a failure with the worker's
    // exit code, not as a clean stop.
    if (stopRequested == 0) {
        DWORD workerExit = 0;
        if (own != nullptr)
            GetExitCodeThread(own, &workerExit);
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = workerExit;
    }
    if (own != nullptr)
        CloseHandle(own);
}

bool VarnBackupService::OnInit() { return true; }

void VarnBackupService::OnStop()
{
    // The stop byte is set even before the worker exists, so Run never starts it.
    // copyStopFlag stays clear: a copy under way runs to its end.
    EnterCriticalSection(&workerLock);
    stopRequested = 1;
    HANDLE worker = workerThread;
    workerThread = nullptr;
    LeaveCriticalSection(&workerLock);
    if (worker != nullptr) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
}

void VarnBackupService::OnInterrogate() {}
void VarnBackupService::OnPause() {}
void VarnBackupService::OnContinue() {}
void VarnBackupService::OnShutdown() {}
bool VarnBackupService::OnUserControl(uint32_t) { return true; }

}  // namespace Varn

void WaitForServiceMainExit()
{
    if (serviceMainEntered && serviceMainDone != nullptr)
        WaitForSingleObject(serviceMainDone, serviceMainExitLimit);
}
