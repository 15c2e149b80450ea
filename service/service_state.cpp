#include "service_state.h"

#include "log.h"

const std::string serviceNameA = "VarnBack";
const std::wstring databaseFileName = L"\\SystemState2.trdb";
const std::string databaseFileNameA = "\\SystemState2.trdb";

const char* const createWatchDirectoriesStatement =
    "create table if not exists watchdirectories( directory text, user text );";
// The three tabs are part of the stored schema text.
const char* const createFileListStatement =
    "create table if not exists filelist( path text, user text, attributes sqlite3_uint64, parentid sqlite3_uint64,"
    "\t\t\tself_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id sqlite3_uint64, localpath text);";

sqlite3* databaseConnection = nullptr;
int lastDatabaseResult = 0;
char* databaseErrorText = nullptr;
std::string databasePath;
std::vector<std::string> watchDirectories;
std::vector<std::string> watchUsers;

volatile uint8_t* serviceStopFlag = nullptr;
volatile BOOL copyStopFlag = FALSE;

CRITICAL_SECTION watchListLock;
CRITICAL_SECTION fileRowsLock;

namespace {

const char* const selectWatchDirectoriesStatement = "select directory, user from watchdirectories";

int IgnoreRow(void*, int, char**, char**) { return 0; }

void LogAndFreeErrorText(const char* format)
{
    LogMessageA(format, databaseErrorText != nullptr ? databaseErrorText : "");
    sqlite3_free(databaseErrorText);
    databaseErrorText = nullptr;
}

bool CreateTable(const char* statement)
{
    lastDatabaseResult = sqlite3_exec(databaseConnection, statement, IgnoreRow, nullptr, &databaseErrorText);
    if (lastDatabaseResult != SQLITE_OK) {
        LogAndFreeErrorText("Could not access watch directories database: %s");
        return false;
    }
    return true;
}

}  // namespace

// A row with a NULL directory names no folder and is skipped (an empty path
// would make the pass load every stored row); a NULL user reads as empty text.
int WatchDirectoryRow(void*, int columnCount, char** values, char**)
{
    if (columnCount < 2 || values == nullptr || values[0] == nullptr)
        return 0;
    watchDirectories.push_back(values[0]);
    watchUsers.push_back(values[1] != nullptr ? values[1] : "");
    return 0;
}

void SetDatabaseBusyTimeout(sqlite3* connection)
{
    if (connection != nullptr)
        sqlite3_busy_timeout(connection, databaseBusyTimeoutMs);
}

bool LoadWatchDirectories()
{
    if (!CreateTable(createWatchDirectoriesStatement))
        return false;
    LogMessageW(L"Watch Table created/already exists");

    watchDirectories.clear();
    watchUsers.clear();
    LogMessageW(L"Purging list of directories.");

    EnterCriticalSection(&watchListLock);
    lastDatabaseResult = sqlite3_exec(databaseConnection, selectWatchDirectoriesStatement, WatchDirectoryRow,
                                      nullptr, &databaseErrorText);
    LeaveCriticalSection(&watchListLock);
    if (lastDatabaseResult != SQLITE_OK) {
        LogAndFreeErrorText("SQL error while querying directories: %s");
        return false;
    }

    for (const std::string& folder : watchDirectories)
        LogMessageA("%s", folder.c_str());

    return CreateTable(createFileListStatement);
}
