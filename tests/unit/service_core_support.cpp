#include "service_core_support.h"

#include <doctest/doctest.h>

#include "file_rows.h"

namespace svctest {

namespace {

void InitLocksOnce()
{
    static bool ready = false;
    if (!ready) {
        InitializeCriticalSection(&watchListLock);
        InitializeCriticalSection(&fileRowsLock);
        ready = true;
    }
}

int CollectRow(void* context, int count, char** values, char**)
{
    auto* rows = static_cast<std::vector<std::vector<std::string>>*>(context);
    std::vector<std::string> row;
    for (int i = 0; i < count; ++i)
        row.push_back(values[i] != nullptr ? values[i] : "<null>");
    rows->push_back(row);
    return 0;
}

}  // namespace

DatabaseScope::DatabaseScope(bool withTables) : folder_(L"svcdb")
{
    InitLocksOnce();
    path_ = test::Utf8(folder_.path()) + databaseFileNameA;
    databasePath = path_;
    REQUIRE(sqlite3_open(path_.c_str(), &databaseConnection) == SQLITE_OK);
    SetDatabaseBusyTimeout(databaseConnection);
    if (withTables) {
        Exec(createWatchDirectoriesStatement);
        Exec(createFileListStatement);
    }
}

DatabaseScope::~DatabaseScope()
{
    sqlite3_close(databaseConnection);
    databaseConnection = nullptr;
    databasePath.clear();
    watchDirectories.clear();
    watchUsers.clear();
}

void DatabaseScope::Exec(const std::string& sql)
{
    char* error = nullptr;
    int result = sqlite3_exec(databaseConnection, sql.c_str(), nullptr, nullptr, &error);
    INFO(sql, " -> ", (error != nullptr ? error : ""));
    sqlite3_free(error);
    REQUIRE(result == SQLITE_OK);
}

std::vector<std::vector<std::string>> DatabaseScope::Query(const std::string& sql)
{
    std::vector<std::vector<std::string>> rows;
    char* error = nullptr;
    int result = sqlite3_exec(databaseConnection, sql.c_str(), CollectRow, &rows, &error);
    INFO(sql, " -> ", (error != nullptr ? error : ""));
    sqlite3_free(error);
    REQUIRE(result == SQLITE_OK);
    return rows;
}

std::string DatabaseScope::QueryText(const std::string& sql)
{
    std::vector<std::vector<std::string>> rows = Query(sql);
    return rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
}

StopByteScope::StopByteScope() : byte(0) { serviceStopFlag = &byte; }
StopByteScope::~StopByteScope() { serviceStopFlag = nullptr; }

bool SetWriteTime(const std::wstring& path, const FILETIME& time)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    return ok != FALSE;
}

FILETIME MakeFileTime(int year, int month, int day, int hour, int minute, int second, int millisecond)
{
    SYSTEMTIME calendar = {};
    calendar.wYear = static_cast<WORD>(year);
    calendar.wMonth = static_cast<WORD>(month);
    calendar.wDay = static_cast<WORD>(day);
    calendar.wHour = static_cast<WORD>(hour);
    calendar.wMinute = static_cast<WORD>(minute);
    calendar.wSecond = static_cast<WORD>(second);
    calendar.wMilliseconds = static_cast<WORD>(millisecond);
    FILETIME time = {};
    SystemTimeToFileTime(&calendar, &time);
    return time;
}

const FileRecord* Find(const ScanList& list, const std::string& folder, const std::string& relative)
{
    const std::string path = folder + "\\" + relative;
    for (const FileRecord& record : list) {
        if (record.path == path)
            return &record;
    }
    return nullptr;
}

KnownFileMap StoreFirstPass(const std::string& folder, ScanList* firstWalk)
{
    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, folder, nullptr));
    for (const FileRecord& record : found)
        REQUIRE(InsertFileRow(record));
    KnownFileMap known;
    REQUIRE(LoadKnownFiles(known, folder));
    REQUIRE(known.size() == found.size());
    if (firstWalk != nullptr)
        *firstWalk = found;
    return known;
}

}  // namespace svctest
