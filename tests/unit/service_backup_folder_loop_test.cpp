// The watcher's loop over the watched folders: which folders a pass handles,
// and that each works only on its own stored rows.
#include <doctest/doctest.h>

#include "destination.h"
#include "file_rows.h"
#include "service_backup_fixture.h"
#include "watcher.h"

using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::MachineFolder;
using backup_test::Row;
using backup_test::RunWatcher;
using backup_test::ServiceState;
using backup_test::StoredNames;

namespace {

// Watched folders under one parent and a local destination; a pass at every wake-up.
struct Watch {
    ServiceState state;
    test::TempFolder parent{L"watch"};
    test::TempFolder dest{L"dest"};
    std::vector<WatchedFolder> watched;
    std::vector<WatchedFolder*> folders;

    explicit Watch(const std::vector<std::wstring>& names)
    {
        state.settings.Set(L"Destination", dest.path());
        state.settings.Set(L"ScanInterval", L"0");
        state.settings.Set(L"MaxVersions", L"5");
        watched.resize(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            if (!names[i].empty()) {
                REQUIRE(CreateDirectoryW((parent / names[i]).c_str(), nullptr));
                watched[i].folderPath = test::Utf8(parent / names[i]);
            }
            folders.push_back(&watched[i]);
        }
    }
    std::wstring Machine() const { return MachineFolder(dest.path()); }
    // Whatever lies in the machine folder besides the stored versions and the database copy.
    std::vector<std::wstring> Strays() const
    {
        std::vector<std::wstring> strays;
        for (const std::wstring& name : test::ListFolder(Machine()))
            if (!backup_test::IsUuidText(name) && name != L"SystemState2.trdb")
                strays.push_back(name);
        return strays;
    }
};

}  // namespace

TEST_CASE("folders whose names extend another watched folder's keep their own rows")
{
    Watch watch({L"watch", L"watched", L"watch_"});
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch\\a.txt", "a"));
    REQUIRE(test::WriteFileBytes(watch.parent / L"watched\\b.txt", "b"));
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch_\\c.txt", "c"));
    RunWatcher(watch.folders, 3, 2000);

    const std::string log = watch.state.log.text();
    CHECK(CountOf(log, " was deleted\r\n") == 0);
    CHECK(CountOf(log, " was Added\r\n") == 6);  // each new file named twice, at the first pass only
    CHECK(FileRows(databaseConnection).size() == 3);
    CHECK(StoredNames(watch.Machine()).size() == 3);
    CHECK(watch.Strays().empty());
}

TEST_CASE("a watched folder with an empty path is skipped and claims no other folder's rows")
{
    Watch watch({L"", L"watch", L""});
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch\\a.txt", "a"));
    REQUIRE(CreateDirectoryW((watch.parent / L"watch\\sub").c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch\\sub\\b.txt", "b"));
    RunWatcher(watch.folders, 2, 2000);

    const std::string log = watch.state.log.text();
    CHECK(CountOf(log, " directoryWatcher() A watched folder with an empty path is skipped\r\n") == 4);
    CHECK(CountOf(log, " Within thread, folder 0, num folders 3\r\n") == 2);
    CHECK(CountOf(log, " Scanning directory ") == 2);
    CHECK(CountOf(log, " was deleted\r\n") == 0);
    CHECK(FileRows(databaseConnection).size() == 3);
    CHECK(watch.Strays().empty());
}

namespace {

struct LockUntilLogged {
    std::string databasePath;
    const test::LogCapture* log;
    const char* line;
    HANDLE locked;
    size_t logFrom = 0;                // where in the log this pass begins
    const char* stopAt = nullptr;      // once logged, the service is stopped
    volatile uint8_t* stop = nullptr;
    size_t stoppedAt = 0;              // the log's length just before the stop
};

bool Logged(const LockUntilLogged& lock, const char* line)
{
    return lock.log->text().find(line, lock.logFrom) != std::string::npos;
}

// Another program writes the database until the watcher has found that it
// cannot read its rows, then lets go, so that the rest of the pass could write.
DWORD WINAPI HoldWriteLock(LPVOID argument)
{
    LockUntilLogged& lock = *static_cast<LockUntilLogged*>(argument);
    sqlite3* other = nullptr;
    sqlite3_open(lock.databasePath.c_str(), &other);
    sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr);
    SetEvent(lock.locked);
    if (lock.stopAt != nullptr) {
        for (int i = 0; i < 6000 && !Logged(lock, lock.stopAt); ++i)
            Sleep(20);
        lock.stoppedAt = lock.log->text().size();
        *lock.stop = 1;
    }
    for (int i = 0; i < 6000 && !Logged(lock, lock.line); ++i)
        Sleep(20);
    sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    return 0;
}

// One pass while another program holds the database as the lock says.
void PassWhileLocked(std::vector<WatchedFolder*>& folders, LockUntilLogged& lock)
{
    lock.locked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, HoldWriteLock, &lock, 0, nullptr);
    REQUIRE(thread != nullptr);
    REQUIRE(WaitForSingleObject(lock.locked, 30000) == WAIT_OBJECT_0);
    RunWatcher(folders, 1, 2000);
    CHECK(WaitForSingleObject(thread, 180000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(lock.locked);
}

}  // namespace

TEST_CASE("a folder whose stored rows cannot be read is skipped for the pass, not copied whole")
{
    Watch watch({L"watch"});
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch\\a.txt", "a"));
    REQUIRE(test::WriteFileBytes(watch.parent / L"watch\\b.txt", "b"));
    RunWatcher(watch.folders, 1, 2000);
    REQUIRE(FileRows(databaseConnection).size() == 2);

    LockUntilLogged lock = {databasePath, &watch.state.log, " Could not read from the database: 5\r\n", nullptr};
    PassWhileLocked(watch.folders, lock);

    const std::string log = watch.state.log.text();
    CHECK(CountOf(log, " directoryWatcher() Stored rows unreadable, skipping directory for this pass: " +
                           watch.watched[0].folderPath + "\r\n") == 1);
    CHECK(CountOf(log, " was Added\r\n") == 4);  // the first pass only
    CHECK(FileRows(databaseConnection).size() == 2);
    CHECK(StoredNames(watch.Machine()).size() == 2);

    // The next pass finds everything as stored.
    RunWatcher(watch.folders, 1, 2000);
    CHECK(CountOf(watch.state.log.text(), " was Added\r\n") == 4);
    CHECK(FileRows(databaseConnection).size() == 2);
}

namespace {

volatile uint8_t* stopAfterCopy = nullptr;

BOOL WINAPI CopyThenStop(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context, LPBOOL cancel,
                         DWORD flags)
{
    const BOOL copied = CopyFileExW(source, target, progress, context, cancel, flags);
    *stopAfterCopy = 1;
    return copied;
}

size_t RowsIn(const std::wstring& database)
{
    sqlite3* copy = nullptr;
    size_t rows = 0;
    if (sqlite3_open_v2(test::Utf8(database).c_str(), &copy, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
        rows = FileRows(copy).size();
    sqlite3_close(copy);
    return rows;
}

}  // namespace

TEST_CASE("a stop ends the pass before the next folder; the database copy is still made")
{
    Watch watch({L"f0", L"f1", L"f2", L"f3", L"f4", L"f5"});
    for (const WatchedFolder& folder : watch.watched)
        REQUIRE(test::WriteFileBytes(test::Wide(folder.folderPath) + L"\\a.txt", "a"));
    RunWatcher(watch.folders, 1, 2000);
    REQUIRE(FileRows(databaseConnection).size() == 6);
    const size_t logFrom = watch.state.log.text().size();
    const char* const stopLine = " directoryWatcher() Stop requested, the remaining folders wait for a later pass\r\n";

    SUBCASE("a stop while another program holds the database for the whole pass")
    {
        // Stopped while the first folder waits for its rows; every later load
        // would wait as long.
        LockUntilLogged lock = {databasePath, &watch.state.log, " DirectoryWatcher exit\r\n", nullptr,
                                logFrom, " Path wildcard is ", &watch.state.stop};
        PassWhileLocked(watch.folders, lock);
        const std::string log = watch.state.log.text();
        // The folder the stop met between its test and its load, at the most.
        CHECK(CountOf(log.substr(lock.stoppedAt), " Path wildcard is ") <= 1);
        CHECK(CountOf(log.substr(logFrom), stopLine) == 1);
        CHECK(CountOf(log.substr(logFrom), " DB paths are ") == 1);
    }
    SUBCASE("a stop once the first folder has stored its change")
    {
        REQUIRE(test::WriteFileBytes(test::Wide(watch.watched[0].folderPath) + L"\\a.txt", "a, edited"));
        stopAfterCopy = &watch.state.stop;
        copyFileFunction = CopyThenStop;
        RunWatcher(watch.folders, 1, 2000);
        copyFileFunction = CopyFileExW;
        const std::string log = watch.state.log.text().substr(logFrom);
        CHECK(CountOf(log, " Path wildcard is ") == 1);
        CHECK(CountOf(log, " Within thread, folder 1, num folders 6\r\n") == 0);
        CHECK(CountOf(log, stopLine) == 1);
        CHECK(FileRows(databaseConnection).size() == 7);
        CHECK(RowsIn(watch.Machine() + L"\\SystemState2.trdb") == 7);
    }
}
