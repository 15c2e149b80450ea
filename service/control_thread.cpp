#include "control_thread.h"

#include "folders.h"
#include "log.h"
#include "pipe_server.h"
#include "service_state.h"
#include "text.h"
#include "watcher.h"

LPTHREAD_START_ROUTINE watcherRoutine = directoryWatcher;
LPTHREAD_START_ROUTINE pipeServerRoutine = ClientControl;
CreateThreadFunction createThreadFunction = CreateThread;
SleepFunction stopPollSleep = Sleep;
const char* const noWatchedFolderText = "(no watched folders)";

DWORD WINAPI ServiceControlThread(LPVOID stopByte)
{
    if (stopByte == nullptr)
        return 0;
    serviceStopFlag = static_cast<volatile uint8_t*>(stopByte);
    LogMessageW(L"Service Control Thread() Entry");

    std::string dataFolder;
    WideToUtf8(GetDataFolder(), dataFolder, CP_UTF8);
    databasePath = dataFolder + databaseFileNameA;
    LogMessageA("Database path is \"%s\"", databasePath.c_str());

    // sqlite3_open: read-write, created when missing, the default file-system layer.
    lastDatabaseResult = sqlite3_open(databasePath.c_str(), &databaseConnection);
    SetDatabaseBusyTimeout(databaseConnection);
    if (lastDatabaseResult != SQLITE_OK) {
        LogMessageW(L"Could not open database. Error code %lu: \"%S\"",
                    static_cast<unsigned long>(lastDatabaseResult), sqlite3_errmsg(databaseConnection));
        const int result = lastDatabaseResult;
        sqlite3_close(databaseConnection);
        databaseConnection = nullptr;
        // The service reports this as its service-specific exit code.
        return static_cast<DWORD>(result);
    }

    InitializeCriticalSection(&watchListLock);
    LoadWatchDirectories();
    InitializeCriticalSection(&fileRowsLock);

    std::vector<WatchedFolder*> watchedFolders;
    std::vector<HANDLE> watcherThreads;
    for (const std::string& folder : watchDirectories) {
        WatchedFolder* watched = new WatchedFolder;
        watched->folderPath = folder;
        watched->abortRequested = 0;
        watchedFolders.push_back(watched);
    }
    LogMessageW(L"There're %u folders to scan", static_cast<unsigned>(watchedFolders.size()));

    HANDLE watcher = createThreadFunction(nullptr, 0, watcherRoutine, &watchedFolders, 0, nullptr);
    if (watcher != nullptr)
        watcherThreads.push_back(watcher);
    else if (!watchDirectories.empty())
        LogMessageA("%s could not launch monitoring thread", watchDirectories.front().c_str());
    else
        LogMessageA("%s could not launch monitoring thread", noWatchedFolderText);

    ClientControlArgs args = {&watcherThreads, &watchedFolders};
    HANDLE pipeServer = createThreadFunction(nullptr, 0, pipeServerRoutine, &args, 0, nullptr);

    while (*serviceStopFlag == 0)
        stopPollSleep(stopPollInterval);

    *serviceStopFlag = 1;
    if (pipeServer != nullptr) {
        WaitForSingleObject(pipeServer, INFINITE);
        CloseHandle(pipeServer);
    }
    for (HANDLE thread : watcherThreads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    watcherThreads.clear();

    for (WatchedFolder* watched : watchedFolders)
        delete watched;
    watchedFolders.clear();
    DeleteCriticalSection(&watchListLock);
    sqlite3_close(databaseConnection);
    databaseConnection = nullptr;
    DeleteCriticalSection(&fileRowsLock);

    LogMessageW(L"Service Control Thread()() Exit");
    return 0;
}
