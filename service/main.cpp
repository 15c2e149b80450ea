// The service program: a command-line run handles one switch; a run started by
// the service control manager hands this thread to the service dispatcher.
#include <windows.h>

#include "globals.h"
#include "log.h"
#include "ntservice.h"
#include "service_state.h"

int main(int argc, char** argv)
{
    OpenLogFile(serviceName);
    Varn::VarnBackupService service(serviceNameA);
    copyStopFlag = FALSE;
    if (!service.ProcessCommandLine(argc, argv)) {
        LogMessageW(L"Starting service");
        SERVICE_TABLE_ENTRYA table[] = {
            {const_cast<char*>(service.registeredName.c_str()), Varn::NTService::ServiceMain},
            {nullptr, nullptr}};
        StartServiceCtrlDispatcherA(table);
        // After a stop the handler has already reported SERVICE_STOPPED, so the
        // dispatcher can return while ServiceMain still uses the object.
        WaitForServiceMainExit();
    }
    LogMessageW(L"Stopping service");
    return 0;
}
