#include "pruning.h"

#include <cstdint>
#include <string>
#include <vector>

#include "log.h"
#include "service_state.h"
#include "text.h"

static const char* const selectOldestVersions =
    "select m, self_id, volume_id, localpath from (select count(*) as c, min(modificationtime) as m, self_id, "
    "volume_id, path, localpath from filelist group by self_id, volume_id) where c > ?1";

static const char* const deleteVersionRow =
    "delete from filelist where localpath=?1 and self_id=?2 and volume_id=?3 and modificationtime=?4";

namespace {
struct RemovedVersion {
    std::string localPath;
    int64_t selfId;
    int64_t volumeId;
    std::string modificationTime;
};
}

static std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : std::string();
}

bool PruneVersions(int maxVersions)
{
    // A limit below 1 would take the last stored version of every file: the
    // newest version is always kept.
    if (maxVersions < 1)
        maxVersions = 1;
    LogMessageA("Max Versions is %d", maxVersions);

    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, selectOldestVersions, -1, &select, nullptr) != SQLITE_OK ||
        select == nullptr) {
        sqlite3_finalize(select);
        return true;
    }
    sqlite3_bind_int(select, 1, maxVersions);

    std::vector<RemovedVersion> removed;
    for (;;) {
        const int result = sqlite3_step(select);
        if (result == SQLITE_DONE)
            break;
        if (result == SQLITE_BUSY)
            continue;
        if (result != SQLITE_ROW) {
            // Stepping again would repeat the error; what was kept is still removed below.
            LogMessageA("Could not read from the database: %d", result);
            break;
        }
        RemovedVersion version;
        version.localPath = ColumnText(select, 3);
        version.selfId = sqlite3_column_int64(select, 1);
        version.volumeId = sqlite3_column_int64(select, 2);
        version.modificationTime = ColumnText(select, 0);

        std::wstring path;
        Utf8ToWide(version.localPath, path, CP_UTF8);
        const BOOL deleted = DeleteFileW(path.c_str());
        const DWORD code = deleted ? 0 : GetLastError();
        LogMessageW(L"Deleting file %s", path.c_str());
        if (deleted) {
            removed.push_back(version);
        } else {
            LogMessageW(L"Could not delete file %s", path.c_str());
            LogMessageW(L"Extended error code %lu (%s)", code, Win32ErrorTextW(code).c_str());
        }
    }
    // Rows go only after the select has ended, so it never sees its own deletions.
    sqlite3_finalize(select);

    for (const RemovedVersion& version : removed) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(databaseConnection, deleteVersionRow, -1, &statement, nullptr) != SQLITE_OK ||
            statement == nullptr) {
            sqlite3_finalize(statement);
            continue;
        }
        sqlite3_bind_text(statement, 1, version.localPath.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 2, version.selfId);
        sqlite3_bind_int64(statement, 3, version.volumeId);
        sqlite3_bind_text(statement, 4, version.modificationTime.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(statement) != SQLITE_DONE)
            LogMessageW(L"Could not delete file with self id %I64u, volume id %I64u, timestamp %S from database",
                        static_cast<uint64_t>(version.selfId), static_cast<uint64_t>(version.volumeId),
                        version.modificationTime.c_str());
        sqlite3_finalize(statement);
    }
    return true;
}
