#include "service_backup_fixture.h"

#include "destination.h"
#include "folders.h"
#include "watcher.h"

#include <new>

namespace backup_test {

static std::string Text(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : std::string();
}

ServiceState::ServiceState()
{
    static bool locksReady = false;
    if (!locksReady) {
        InitializeCriticalSection(&fileRowsLock);
        InitializeCriticalSection(&watchListLock);
        locksReady = true;
    }
    serviceStopFlag = &stop;
    copyStopFlag = FALSE;
    databasePath = test::Utf8(GetDataFolder() + databaseFileName);
    DeleteFileW((GetDataFolder() + databaseFileName).c_str());
    sqlite3_open(databasePath.c_str(), &databaseConnection);
    // A short wait: these cases hold a lock only to make a statement fail, and
    // the service's own wait is proven once, in the rows test.
    sqlite3_busy_timeout(databaseConnection, lockWaitMs);
    sqlite3_exec(databaseConnection, createWatchDirectoriesStatement, nullptr, nullptr, nullptr);
    sqlite3_exec(databaseConnection, createFileListStatement, nullptr, nullptr, nullptr);
}

ServiceState::~ServiceState()
{
    sqlite3_close(databaseConnection);
    databaseConnection = nullptr;
    serviceStopFlag = nullptr;
    copyStopFlag = FALSE;
}

std::vector<Row> FileRows(sqlite3* database, const char* order)
{
    std::vector<Row> rows;
    sqlite3_stmt* statement = nullptr;
    const std::string query = std::string("select path, attributes, parentid, self_id, modificationtime, size, "
                                          "volume_id, localpath from filelist order by ") + order;
    if (sqlite3_prepare_v2(database, query.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        return rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        Row row;
        row.path = Text(statement, 0);
        row.attributes = sqlite3_column_int64(statement, 1);
        row.parentId = sqlite3_column_int64(statement, 2);
        row.selfId = sqlite3_column_int64(statement, 3);
        row.modificationTime = Text(statement, 4);
        row.size = sqlite3_column_int64(statement, 5);
        row.volumeId = sqlite3_column_int64(statement, 6);
        row.localPath = Text(statement, 7);
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}

void AddRow(const Row& row)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(databaseConnection, "insert into filelist values(?1, ' ', ?2, ?3, ?4, ?5, ?6, ?7, ?8)", -1,
                       &statement, nullptr);
    sqlite3_bind_text(statement, 1, row.path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 2, row.attributes);
    sqlite3_bind_int64(statement, 3, row.parentId);
    sqlite3_bind_int64(statement, 4, row.selfId);
    sqlite3_bind_text(statement, 5, row.modificationTime.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 6, row.size);
    sqlite3_bind_int64(statement, 7, row.volumeId);
    sqlite3_bind_text(statement, 8, row.localPath.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(statement);
    sqlite3_finalize(statement);
}

size_t CountOf(const std::string& text, const std::string& piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

std::wstring MachineFolder(const std::wstring& destination)
{
    return destination + L"\\VarnBack\\" + GetComputerNameString();
}

bool IsUuidText(const std::wstring& text)
{
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != L'-')
                return false;
        } else if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring> StoredNames(const std::wstring& machineFolder)
{
    std::vector<std::wstring> names;
    for (const std::wstring& name : test::ListFolder(machineFolder))
        if (IsUuidText(name))
            names.push_back(name);
    return names;
}

int throwAtClockRead = 0;

namespace {
int sleeps = 0;
int wakeLimit = 0;
unsigned long long fakeNow = 0;
unsigned long long fakeStep = 0;
std::function<void(int)> hook;

int clockReads = 0;

unsigned long long FakeClock()
{
    if (++clockReads == throwAtClockRead)
        throw std::bad_alloc();
    return fakeNow;
}

void WINAPI FakeSleep(DWORD)
{
    ++sleeps;
    if (sleeps > wakeLimit) {
        *const_cast<uint8_t*>(serviceStopFlag) = 1;
        return;
    }
    fakeNow += fakeStep;
    if (hook)
        hook(sleeps);
}
}  // namespace

int RunWatcher(std::vector<WatchedFolder*>& folders, int wakeUps, unsigned long long stepMs,
               std::function<void(int)> beforeCycle)
{
    sleeps = 0;
    clockReads = 0;
    wakeLimit = wakeUps;
    fakeNow = 0;
    fakeStep = stepMs;
    hook = beforeCycle;
    watcherClock = FakeClock;
    watcherSleep = FakeSleep;
    directoryWatcher(&folders);
    watcherClock = WatcherTickClock;
    watcherSleep = Sleep;
    hook = std::function<void(int)>();
    throwAtClockRead = 0;
    *const_cast<uint8_t*>(serviceStopFlag) = 0;
    return sleeps;
}

}  // namespace backup_test
