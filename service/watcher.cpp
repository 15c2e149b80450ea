#include "watcher.h"

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "change_processing.h"
#include "destination.h"
#include "file_record.h"
#include "file_rows.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "password.h"
#include "pruning.h"
#include "service_state.h"
#include "text.h"

static const DWORD wakeUpPeriod = 2000;
static const unsigned long long millisecondsPerMinute = 60 * 1000;

unsigned long long TickExtender::Extend(DWORD tick)
{
    if (started && tick < lastTick)
        ++wraps;
    started = true;
    lastTick = tick;
    return (wraps << 32) | tick;
}

unsigned long long WatcherTickClock()
{
    // Read by the watcher thread only.
    static TickExtender extender;
    return extender.Extend(GetTickCount());
}

WatcherClockFunction watcherClock = WatcherTickClock;
WatcherSleepFunction watcherSleep = Sleep;

namespace {

struct PassSchedule {
    bool recorded = false;  // a pass start has been recorded
    unsigned long long lastScanStart = 0;
};

enum CycleOutcome { goOn, stopped, notConfigured };

}  // namespace

static bool PassDue(const PassSchedule& schedule, int minutes, unsigned long long now)
{
    if (!schedule.recorded)
        return true;
    // Negative: one pass, then none.
    if (minutes < 0)
        return false;
    // 64-bit, so that intervals of 49.7 days and more do not wrap.
    return now - schedule.lastScanStart >= static_cast<unsigned long long>(minutes) * millisecondsPerMinute;
}

static bool DestinationConfigured(const std::wstring& destination)
{
    if (!destination.empty())
        return true;
    LogMessageW(L"Service not configured. Shutting down.");
    return false;
}

static void ScanFolder(WatchedFolder& folder, size_t index, size_t count)
{
    LogMessageA("Within thread, folder %d, num folders %d", static_cast<int>(index), static_cast<int>(count));
    LogMessageA("%s directoryWatcher Entry()", folder.folderPath.c_str());
    std::string scanText = folder.folderPath;
    if (scanText.size() == 2 && scanText[1] == ':')
        scanText += "\\";
    KnownFileMap known;
    KnownFileMap current;
    ScanList found;
    LoadKnownFiles(known, scanText);
    LogMessageA("%s", ("Scanning directory " + folder.folderPath).c_str());
    WalkFolder(known, found, folder.folderPath, &folder.abortRequested);
    LogMessageA("Map %u, vector %u", static_cast<unsigned>(known.size()), static_cast<unsigned>(found.size()));
    LogMessageA("%s", ("Updating directory " + folder.folderPath).c_str());
    ProcessChanges(found, current, known);
}

// Copies the state database to the machine folder. The previous copy waits
// under the ".temp" name and is dropped only once the new copy is complete.
static void CopyDatabase(const std::wstring& destination)
{
    const std::wstring localPath = GetDataFolder() + databaseFileName;
    const std::wstring copyPath =
        destination + L"\\" + serviceName + L"\\" + GetComputerNameString() + databaseFileName;
    std::string copyPathUtf8;
    WideToUtf8(copyPath, copyPathUtf8, CP_UTF8);
    LogMessageW(L"DB paths are %s, %S", localPath.c_str(), copyPathUtf8.c_str());

    const std::wstring tempPath = copyPath + L".temp";
    MoveFileW(copyPath.c_str(), tempPath.c_str());
    sqlite3* copy = nullptr;
    if (sqlite3_open(copyPathUtf8.c_str(), &copy) != SQLITE_OK) {
        MoveFileW(tempPath.c_str(), copyPath.c_str());
        LogMessageA("Could not open database %s", copyPathUtf8.c_str());
        sqlite3_close(copy);
        return;
    }
    int stepResult = SQLITE_ERROR;
    int finishResult = SQLITE_ERROR;
    sqlite3_backup* backup =
        databaseConnection ? sqlite3_backup_init(copy, "main", databaseConnection, "main") : nullptr;
    if (backup != nullptr) {
        stepResult = sqlite3_backup_step(backup, -1);
        finishResult = sqlite3_backup_finish(backup);
    }
    int code = sqlite3_errcode(copy);
    // A busy source leaves no error on the copy's connection.
    if (code == SQLITE_OK && stepResult != SQLITE_DONE)
        code = stepResult;
    LogMessageA("Backup API returned error code %d", code);
    sqlite3_close(copy);
    if (stepResult == SQLITE_DONE && finishResult == SQLITE_OK) {
        DeleteFileW(tempPath.c_str());
    } else {
        DeleteFileW(copyPath.c_str());
        MoveFileW(tempPath.c_str(), copyPath.c_str());
    }
}

static CycleOutcome RunCycle(const std::vector<WatchedFolder*>& folders, PassSchedule& schedule)
{
    std::wstring intervalText = L"15";
    ReadRegistryValue(SettingsKey(), scanIntervalValueName, intervalText);
    const int minutes = _wtoi(intervalText.c_str());
    if (StopRequested()) {
        LogMessageA("DirectoryWatcher exit");
        return stopped;
    }
    const unsigned long long now = watcherClock();
    std::wstring versionsText;
    ReadRegistryValue(SettingsKey(), maxVersionsValueName, versionsText);
    const int maxVersions = VersionLimitFromText(versionsText);
    if (!PassDue(schedule, minutes, now))
        return goOn;

    const size_t count = folders.size();
    for (size_t i = 0; i < count; ++i) {
        // The change processing needs a destination: no folder reaches it without one.
        std::wstring destination;
        ReadRegistryValue(SettingsKey(), destinationValueName, destination);
        if (!DestinationConfigured(destination))
            return notConfigured;
        ScanFolder(*folders[i], i, count);
        if (i == 0) {
            schedule.recorded = true;
            schedule.lastScanStart = now;
        }
    }

    std::wstring destination, user, password;
    ReadRegistryValue(SettingsKey(), destinationValueName, destination);
    ReadRegistryValue(SettingsKey(), usernameValueName, user);
    ReadRegistryValue(SettingsKey(), passwordValueName, password);
    DecryptPassword(password);
    if (!DestinationConfigured(destination))
        return notConfigured;
    LogMessageA("Logging in for control session");
    NetworkDestination session;
    session.Connect(destination, user, password);
    LogMessageA("Log on complete");
    CopyDatabase(destination);
    PruneVersions(maxVersions);
    session.Disconnect();
    return goOn;
}

DWORD WINAPI directoryWatcher(LPVOID argument)
{
    const std::vector<WatchedFolder*>& folders = *static_cast<const std::vector<WatchedFolder*>*>(argument);
    LogMessageA("Directory watcher entry");
    if (StopRequested()) {
        LogMessageA("DirectoryWatcher exit");
        return 0;
    }
    PassSchedule schedule;
    for (;;) {
        watcherSleep(wakeUpPeriod);
        CycleOutcome outcome;
        try {
            outcome = RunCycle(folders, schedule);
        } catch (const std::bad_alloc&) {
            // The stored state lives in the rows, so a later pass redoes what this one lost.
            LogMessageA("directoryWatcher() Out of memory, the pass is abandoned");
            outcome = goOn;
        }
        if (outcome != goOn)
            return 0;
        if (StopRequested()) {
            LogMessageA("DirectoryWatcher exit");
            return 0;
        }
    }
}
