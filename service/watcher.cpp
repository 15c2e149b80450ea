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

// What one pass has already logged once.
struct PassNotes {
    bool storeFolderLogged = false;
};

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

// A destination whose text names no fixed folder is not used: nothing of the
// pass is stored, removed or pruned, as nothing could be found there again.
static bool DestinationFullPath(std::wstring& destination)
{
    const std::wstring given = destination;
    if (NormalizeDestination(destination))
        return true;
    LogMessageW(L"directoryWatcher() The destination %s is not a full path (a drive letter, a colon and a backslash, "
                L"or a share \\\\server\\share): nothing is stored or removed",
                given.c_str());
    return false;
}

// The destination's own VarnBack folder, for the walk to pass over.
static PassedOverFolder StoreFolderAt(const std::wstring& destination)
{
    PassedOverFolder storeFolder;
    std::string path;
    WideToUtf8(DestinationStoreFolder(destination), path, CP_UTF8);
    uint64_t volumeId = 0;
    const uint64_t id = GetFileId(path, volumeId);
    if (id != 0)
        storeFolder.identity = FileIdentity(volumeId, id);
    return storeFolder;
}

// Whether the watched folder is the destination's VarnBack folder or lies inside
// it, at any depth: the stored copies there would be stored again at every
// pass. The folder and each one above it on its path are known by identity, so
// that other letter case or a share name that leads there is caught too.
static bool InsideStoreFolder(const std::string& folderPath, const PassedOverFolder& storeFolder)
{
    if (storeFolder.identity.selfId == 0)
        return false;
    std::string at = folderPath;
    while (at.size() > 1 && at[at.size() - 1] == '\\')
        at.erase(at.size() - 1);
    for (;;) {
        // A bare drive D: is read as its root folder D:\.
        const std::string identityPath = at.size() == 2 && at[1] == ':' ? at + "\\" : at;
        uint64_t volumeId = 0;
        const uint64_t id = GetFileId(identityPath, volumeId);
        if (id != 0 && storeFolder.identity == FileIdentity(volumeId, id))
            return true;
        // Up to a drive or the server of a share, no further.
        const size_t slash = at.rfind('\\');
        if (slash == std::string::npos || slash < 2)
            return false;
        at.erase(slash);
    }
}

// Stored rows that the walk does not see because it passes over them on
// purpose stay as they are: they must not count as gone.
template <typename Kept>
static void KeepRowsWhere(KnownFileMap& known, Kept kept)
{
    for (KnownFileMap::iterator entry = known.begin(); entry != known.end();) {
        if (kept(entry->second))
            entry = known.erase(entry);
        else
            ++entry;
    }
}

// Rows stored from inside the passed-over folder by earlier passes.
static void KeepRowsBelow(KnownFileMap& known, const std::string& folder)
{
    const std::string lowerFolder = ToLowerAscii(folder);
    KeepRowsWhere(known, [&lowerFolder](const FileRecord& record) {
        const std::string path = ToLowerAscii(record.path);
        return path.compare(0, lowerFolder.size(), lowerFolder) == 0 &&
               (path.size() == lowerFolder.size() || path[lowerFolder.size()] == '\\');
    });
}

// Rows that earlier passes stored for partial restore copies, which the walk
// now passes over.
static void KeepPartialRestoreRows(KnownFileMap& known)
{
    KeepRowsWhere(known, [](const FileRecord& record) {
        std::wstring name;
        Utf8ToWide(record.name, name, CP_UTF8);
        return !(record.attributes & FILE_ATTRIBUTE_DIRECTORY) && IsPartialRestoreName(name);
    });
}

static void ScanFolder(WatchedFolder& folder, size_t index, size_t count, const std::wstring& destination,
                       PassNotes& notes)
{
    LogMessageA("Within thread, folder %d, num folders %d", static_cast<int>(index), static_cast<int>(count));
    LogMessageA("%s directoryWatcher Entry()", folder.folderPath.c_str());
    // An empty path names no folder; its rows would be everyone's.
    if (folder.folderPath.empty()) {
        LogMessageA("directoryWatcher() A watched folder with an empty path is skipped");
        return;
    }
    PassedOverFolder storeFolder = StoreFolderAt(destination);
    // Not handed to the change processing either, so its stored rows stay.
    if (InsideStoreFolder(folder.folderPath, storeFolder)) {
        LogMessageA("%s", ("directoryWatcher() The watched folder " + folder.folderPath +
                           " is the destination's folder or lies inside it and is not backed up")
                              .c_str());
        return;
    }
    std::string scanText = folder.folderPath;
    if (scanText.size() == 2 && scanText[1] == ':')
        scanText += "\\";
    KnownFileMap known;
    KnownFileMap current;
    ScanList found;
    // Without the stored rows every entry would look new and be copied again.
    if (!LoadKnownFiles(known, scanText)) {
        LogMessageA("%s", ("directoryWatcher() Stored rows unreadable, skipping directory for this pass: " +
                           folder.folderPath)
                              .c_str());
        return;
    }
    LogMessageA("%s", ("Scanning directory " + folder.folderPath).c_str());
    WalkFolder(known, found, folder.folderPath, &folder.abortRequested, &storeFolder);
    if (!storeFolder.metAt.empty()) {
        if (!notes.storeFolderLogged)
            LogMessageA("directoryWatcher() The destination's folder %s lies inside a watched folder and is not "
                        "backed up",
                        storeFolder.metAt.c_str());
        notes.storeFolderLogged = true;
        KeepRowsBelow(known, storeFolder.metAt);
    }
    KeepPartialRestoreRows(known);
    LogMessageA("Map %u, vector %u", static_cast<unsigned>(known.size()), static_cast<unsigned>(found.size()));
    LogMessageA("%s", ("Updating directory " + folder.folderPath).c_str());
    ProcessChanges(found, current, known);
}

// Copies the state database to the machine folder. The new copy is written
// under a name of its own and takes the copy's name only once it is complete,
// in one replacing rename, so the copy's name always holds a whole copy: the
// newest that was completed.
static void CopyDatabase(const std::wstring& destination)
{
    const std::wstring localPath = GetDataFolder() + databaseFileName;
    const std::wstring copyPath =
        destination + L"\\" + serviceName + L"\\" + GetComputerNameString() + databaseFileName;
    LogMessageW(L"DB paths are %s, %s", localPath.c_str(), copyPath.c_str());

    // Where earlier passes set the previous copy aside while writing in place.
    const std::wstring setAsidePath = copyPath + L".temp";
    const std::wstring partialPath = copyPath + L".partial";

    // A pass that ended after setting the copy aside left it only under ".temp".
    if (GetFileAttributesW(copyPath.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(setAsidePath.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !MoveFileW(setAsidePath.c_str(), copyPath.c_str())) {
        const DWORD code = GetLastError();
        LogMessageW(L"Could not rename %s to %s, error(%lu) %s", setAsidePath.c_str(), copyPath.c_str(), code,
                    Win32ErrorTextW(code).c_str());
    }
    // A copy once written in place by a pass that did not finish has its
    // journal beside it: opening the copy rolls the previous whole copy back.
    const std::wstring journalPath = copyPath + L"-journal";
    if (GetFileAttributesW(journalPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::string copyPathUtf8;
        WideToUtf8(copyPath, copyPathUtf8, CP_UTF8);
        sqlite3* previous = nullptr;
        if (sqlite3_open_v2(copyPathUtf8.c_str(), &previous, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
            sqlite3_exec(previous, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
        sqlite3_close(previous);
    }
    // What a write that did not finish left behind.
    DeleteFileW(partialPath.c_str());
    DeleteFileW((partialPath + L"-journal").c_str());

    std::string partialPathUtf8;
    WideToUtf8(partialPath, partialPathUtf8, CP_UTF8);
    sqlite3* copy = nullptr;
    if (sqlite3_open(partialPathUtf8.c_str(), &copy) != SQLITE_OK) {
        LogMessageA("Could not open database %s", partialPathUtf8.c_str());
        sqlite3_close(copy);
        DeleteFileW(partialPath.c_str());
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
    const int closeResult = sqlite3_close(copy);
    if (stepResult != SQLITE_DONE || finishResult != SQLITE_OK || closeResult != SQLITE_OK) {
        DeleteFileW(partialPath.c_str());
        DeleteFileW((partialPath + L"-journal").c_str());
        return;
    }
    // A journal that could not be rolled back above must not meet the new
    // copy: whoever opens it would roll the journal into it.
    DeleteFileW(journalPath.c_str());
    if (!MoveFileExW(partialPath.c_str(), copyPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        LogMessageW(L"Could not replace the database copy %s, error(%lu) %s", copyPath.c_str(), error,
                    Win32ErrorTextW(error).c_str());
        DeleteFileW(partialPath.c_str());
        return;
    }
    // Older than the copy that now stands.
    DeleteFileW(setAsidePath.c_str());
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
    PassNotes notes;
    for (size_t i = 0; i < count; ++i) {
        // A stop waits for no further folder: each could cost a busy wait on
        // its rows. The database copy below still takes what this pass stored.
        if (StopRequested()) {
            LogMessageA("directoryWatcher() Stop requested, the remaining folders wait for a later pass");
            break;
        }
        // The change processing needs a destination: no folder reaches it without one.
        std::wstring destination;
        ReadRegistryValue(SettingsKey(), destinationValueName, destination);
        if (!DestinationConfigured(destination))
            return notConfigured;
        const bool usable = DestinationFullPath(destination);
        if (usable)
            ScanFolder(*folders[i], i, count, destination, notes);
        if (i == 0) {
            schedule.recorded = true;
            schedule.lastScanStart = now;
        }
        if (!usable)
            return goOn;
    }

    std::wstring destination, user, password;
    ReadRegistryValue(SettingsKey(), destinationValueName, destination);
    ReadRegistryValue(SettingsKey(), usernameValueName, user);
    ReadRegistryValue(SettingsKey(), passwordValueName, password);
    DecryptPassword(password);
    if (!DestinationConfigured(destination))
        return notConfigured;
    if (!DestinationFullPath(destination))
        return goOn;
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
