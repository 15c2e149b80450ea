#include "file_rows.h"

#include "log.h"
#include "service_state.h"
#include "text.h"
#include "timestamp.h"

namespace {

// ?1 is the folder itself, ?2 everything below it; both literal patterns
// (LiteralLikePattern), so that only ASCII case is loose, as in the file system.
const char* const selectKnownFilesStatement =
    "select path, attributes, parentid, self_id, modificationtime, size, volume_id from filelist "
    "where path like ?1 escape '^' or path like ?2 escape '^'";
const char* const insertFileStatement = "insert into filelist values( ?1, ?2, ?3, ?4, ?5, ?6,?7, ?8, ?9);";
// Bound rather than written as decimal text: a self id of 2^63 or more is
// stored as a negative integer, which unsigned text would never match.
const char* const deleteFileStatement = "delete from filelist where self_id = ?1 and volume_id = ?2";

std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

uint64_t ColumnNumber(sqlite3_stmt* statement, int column)
{
    return static_cast<uint64_t>(sqlite3_column_int64(statement, column));
}

sqlite3_int64 Signed(uint64_t value) { return static_cast<sqlite3_int64>(value); }

}  // namespace

bool LoadKnownFiles(KnownFileMap& known, std::string folder)
{
    bool result = false;
    EnterCriticalSection(&fileRowsLock);
    known.clear();
    // The rows of the folder itself and of what lies below it, and no others: a
    // sibling whose name merely begins with the folder's (C:\watch and
    // C:\watched) has rows of its own. A drive root D:\ already ends in the
    // separator. An empty text names no folder and claims no row.
    const std::string below = folder.empty() || folder[folder.size() - 1] == '\\' ? folder : folder + "\\";
    const std::string itself = LiteralLikePattern(folder);
    const std::string pattern = LiteralLikePattern(below) + "%";

    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (!folder.empty()) {
        LogMessageA("Path wildcard is %s", pattern.c_str());
        if (sqlite3_prepare_v2(databaseConnection, selectKnownFilesStatement, -1, &statement, &tail) != SQLITE_OK)
            statement = nullptr;
    }
    if (statement != nullptr) {
        sqlite3_bind_text(statement, 1, itself.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, pattern.c_str(), -1, SQLITE_STATIC);
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            FileRecord record;
            record.path = ColumnText(statement, 0);
            std::vector<std::string> pieces;
            SplitString(pieces, record.path, "\\");
            if (!pieces.empty())
                record.name = pieces.back();
            record.attributes = static_cast<uint32_t>(ColumnNumber(statement, 1));
            record.parentId = ColumnNumber(statement, 2);
            record.selfId = ColumnNumber(statement, 3);
            record.lastWrite = StampToFileTime(ColumnText(statement, 4));
            record.size = ColumnNumber(statement, 5);
            record.volumeId = ColumnNumber(statement, 6);
            known[IdentityOf(record)] = record;
        }
        if (step == SQLITE_DONE) {
            result = true;
        } else {
            LogMessageA("Could not read from the database: %d", step);
        }
        sqlite3_finalize(statement);
    }
    LeaveCriticalSection(&fileRowsLock);
    LogMessageA("Got back %u items", static_cast<unsigned>(known.size()));
    return result;
}

bool InsertFileRow(FileRecord record)
{
    const std::string stamp = FormatString("%S", FileTimeToStamp(record.lastWrite).c_str());
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    const int prepared = sqlite3_prepare_v2(databaseConnection, insertFileStatement, -1, &statement, &tail);
    LogMessageA("Attempting to add %s to file list", record.path.c_str());
    if (prepared != SQLITE_OK || statement == nullptr)
        return false;

    sqlite3_bind_text(statement, 1, record.path.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, " ", -1, SQLITE_STATIC);
    sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(record.attributes));
    sqlite3_bind_int64(statement, 4, Signed(record.parentId));
    sqlite3_bind_int64(statement, 5, Signed(record.selfId));
    sqlite3_bind_text(statement, 6, stamp.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(statement, 7, Signed(record.size));
    sqlite3_bind_int64(statement, 8, Signed(record.volumeId));
    sqlite3_bind_text(statement, 9, record.localPath.c_str(), -1, SQLITE_STATIC);

    const int step = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) {
        LogMessageA("Could not add file to the database: %d", step);
        return false;
    }
    return true;
}

bool DeleteFileRows(uint64_t selfId, uint64_t volumeId)
{
    sqlite3_stmt* statement = nullptr;
    lastDatabaseResult = sqlite3_prepare_v2(databaseConnection, deleteFileStatement, -1, &statement, nullptr);
    if (lastDatabaseResult == SQLITE_OK && statement != nullptr) {
        sqlite3_bind_int64(statement, 1, Signed(selfId));
        sqlite3_bind_int64(statement, 2, Signed(volumeId));
        lastDatabaseResult = sqlite3_step(statement);
        if (lastDatabaseResult == SQLITE_DONE)
            lastDatabaseResult = SQLITE_OK;
    } else if (lastDatabaseResult == SQLITE_OK) {
        lastDatabaseResult = SQLITE_ERROR;
    }
    if (lastDatabaseResult != SQLITE_OK) {
        databaseErrorText = sqlite3_mprintf("%s", sqlite3_errmsg(databaseConnection));
        LogMessageA("Could not access watch directories database: %s",
                    databaseErrorText != nullptr ? databaseErrorText : "");
        sqlite3_free(databaseErrorText);
        databaseErrorText = nullptr;
    }
    sqlite3_finalize(statement);
    return lastDatabaseResult == SQLITE_OK;
}
