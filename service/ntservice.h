#pragma once
// The service framework: a validity-checked base, an abstract Windows service
// with hooks for its life and its control codes, and the backup service itself.
#include <windows.h>

#include <cstdint>
#include <string>

namespace Varn {

// Holds 0xcafebabe from construction to destruction; Validate throws otherwise.
class Object {
public:
    Object();
    ~Object();
    void Validate();

    uint32_t magic;
};

const uint32_t objectMagic = 0xcafebabe;

class Exception {
public:
    Exception();

    char message[256];
    int32_t code;
};

class ObjectPointerException : public Exception {
};

// One instance per process; its constructor makes it the process's serviceInstance.
class NTService : public Object {
public:
    explicit NTService(std::string name);
    virtual ~NTService();

    virtual void Run() = 0;
    virtual bool OnInit() = 0;
    virtual void OnStop() = 0;
    virtual void OnInterrogate() = 0;
    virtual void OnPause() = 0;
    virtual void OnContinue() = 0;
    virtual void OnShutdown() = 0;
    virtual bool OnUserControl(uint32_t control) = 0;

    bool ProcessCommandLine(int argc, char** argv);
    bool IsInstalled();
    bool Install(std::string account, std::string password);
    bool Uninstall();
    bool Initialize();

    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static void WINAPI ControlHandler(DWORD control);

    std::string registeredName;
    int32_t majorVersion;
    int32_t minorVersion;
    SERVICE_STATUS_HANDLE statusHandle;
    SERVICE_STATUS status;
};

class VarnBackupService : public NTService {
public:
    explicit VarnBackupService(std::string name);
    ~VarnBackupService() override;

    void Run() override;
    bool OnInit() override;
    void OnStop() override;
    void OnInterrogate() override;
    void OnPause() override;
    void OnContinue() override;
    void OnShutdown() override;
    bool OnUserControl(uint32_t control) override;

    HANDLE workerThread;
    volatile uint8_t stopRequested;
    uint8_t workerStarted;
    // Held by Run while it starts the worker and by OnStop while it sets the
    // stop byte and takes the handle: a stop sees the worker or keeps it from starting.
    CRITICAL_SECTION workerLock;
};

}  // namespace Varn

extern Varn::NTService* serviceInstance;

// ServiceMain may still use the service object after the control handler has
// reported SERVICE_STOPPED and the dispatcher has returned in main. It sets
// this manual-reset event (made by the NTService constructor) as its very last
// step; main waits for it, within serviceMainExitLimit, before destroying the
// object. serviceMainEntered tells main whether there is anything to wait for.
extern HANDLE serviceMainDone;
extern volatile LONG serviceMainEntered;
const DWORD serviceMainExitLimit = 30000;
void WaitForServiceMainExit();

// Signalled while no stop sequence of the control handler is under way;
// ServiceMain makes its last report only once the handler has made its own.
extern HANDLE stopSequenceDone;
const DWORD stopSequenceLimit = 60000;

// Seams for tests: the status reports, the handler registration and the
// worker's thread routine (ServiceControlThread in the program).
typedef BOOL(WINAPI* ReportStatusFunction)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
typedef SERVICE_STATUS_HANDLE(WINAPI* RegisterHandlerFunction)(LPCSTR, LPHANDLER_FUNCTION);
extern ReportStatusFunction reportStatusFunction;
extern RegisterHandlerFunction registerHandlerFunction;
extern LPTHREAD_START_ROUTINE serviceWorkerRoutine;

// Seam for tests: the service-control calls of the command line (install,
// remove, installed test); the real calls in the program.
struct ServiceControlCalls {
    SC_HANDLE(WINAPI* openManager)(LPCWSTR, LPCWSTR, DWORD);   // OpenSCManagerW
    SC_HANDLE(WINAPI* openService)(SC_HANDLE, LPCSTR, DWORD);  // OpenServiceA
    SC_HANDLE(WINAPI* createService)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                     LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);  // CreateServiceW
    BOOL(WINAPI* deleteService)(SC_HANDLE);                    // DeleteService
    BOOL(WINAPI* closeHandle)(SC_HANDLE);                      // CloseServiceHandle
};
extern ServiceControlCalls serviceControlCalls;
