#pragma once
// What the service's benchmark programs share: the Data and Logs folders, the
// log, a fresh state database, the backup settings, and the real watcher held
// to one pass per call.
#include <windows.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "service_state.h"
#include "text.h"
#include "watcher.h"

namespace benchservice {

inline volatile uint8_t& StopByte()
{
    static volatile uint8_t stopByte = 0;
    return stopByte;
}

inline int& WakeUps()
{
    static int wakeUps = 0;
    return wakeUps;
}

// One wake-up, then the stop.
inline void WINAPI OneWakeUp(DWORD)
{
    if (++WakeUps() > 1)
        StopByte() = 1;
}

inline unsigned long long ZeroClock() { return 0; }

}  // namespace benchservice

inline void BenchSetSetting(const std::wstring& name, const std::wstring& value)
{
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, SettingsKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// A fresh state database at path on databaseConnection, with both tables.
inline void BenchOpenDatabase(const std::wstring& path)
{
    DeleteFileW(path.c_str());
    databasePath = FormatString("%S", path.c_str());
    sqlite3_open(databasePath.c_str(), &databaseConnection);
    sqlite3_exec(databaseConnection, createWatchDirectoriesStatement, nullptr, nullptr, nullptr);
    sqlite3_exec(databaseConnection, createFileListStatement, nullptr, nullptr, nullptr);
}

// The service's state as its worker sets it up, a fresh database in the Data
// folder, and the settings of a pass at every wake-up into destination.
inline void BenchStartService(const std::wstring& destination)
{
    CreateDirectoryPath(GetDataFolder() + L"\\");
    CreateDirectoryPath(GetLogsFolder() + L"\\");
    OpenLogFile(L"");
    InitializeCriticalSection(&fileRowsLock);
    InitializeCriticalSection(&watchListLock);
    serviceStopFlag = &benchservice::StopByte();
    BenchOpenDatabase(GetDataFolder() + databaseFileName);

    BenchSetSetting(destinationValueName, destination);
    BenchSetSetting(scanIntervalValueName, L"0");
    BenchSetSetting(maxVersionsValueName, L"5");
    watcherSleep = benchservice::OneWakeUp;
    watcherClock = benchservice::ZeroClock;
}

// One pass of the real watcher over the folders; its seconds.
inline double BenchWatcherPass(std::vector<WatchedFolder*>& folders)
{
    benchservice::WakeUps() = 0;
    benchservice::StopByte() = 0;
    const double start = BenchNow();
    directoryWatcher(&folders);
    return BenchNow() - start;
}
