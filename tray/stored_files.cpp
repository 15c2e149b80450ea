#include "stored_files.h"

#include "app_state.h"
#include "log.h"
#include "text.h"
#include "timestamp.h"

#include <vector>

const char* const fileListingStatement =
    "select path, self_id as s, count(self_id) as c, max(modificationtime) as m, volume_id as v, attributes, size "
    "from filelist group by self_id having path like ?1 order by path asc";
const char* const fileVersionsStatement =
    "select path, self_id, modificationtime, size, volume_id, attributes from filelist where self_id = ?1 "
    "order by modificationtime DESC";

std::wstring FileTimeToDisplayText(FILETIME localTime)
{
    SYSTEMTIME calendar = {};
    if (!FileTimeToSystemTime(&localTime, &calendar))
        return std::wstring();
    wchar_t timeText[256];
    wchar_t dateText[256];
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &calendar, nullptr, timeText, 256) == 0)
        return std::wstring();
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_LONGDATE, &calendar, nullptr, dateText, 256) == 0)
        return std::wstring();
    return std::wstring(dateText) + L" " + timeText;
}

bool IsWellFormedStamp(const std::string& stamp)
{
    if (stamp.size() != 19 || stamp[8] != ' ' || stamp[15] != '.')
        return false;
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (i == 8 || i == 15)
            continue;
        if (stamp[i] < '0' || stamp[i] > '9')
            return false;
    }
    return true;
}

std::wstring StampToDisplayText(const std::string& stamp)
{
    // StampToFileTime has no defined answer for other text, and a date shown
    // from a guess would mislead more than an empty cell.
    if (!IsWellFormedStamp(stamp))
        return std::wstring();
    FILETIME utc = StampToFileTime(stamp);
    if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0)
        return std::wstring();  // an impossible date, such as month 13
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local))
        return std::wstring();
    return FileTimeToDisplayText(local);
}

namespace {

// A NULL column reads as empty text; the service never stores one.
std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

std::wstring LastComponent(const std::string& path)
{
    std::vector<std::string> pieces;
    SplitString(pieces, path, "\\");
    std::wstring name;
    if (!pieces.empty())
        Utf8ToWide(pieces.back(), name, CP_UTF8);
    return name;
}

struct RowColumns {
    int count;  // -1: no count column, every row is one version
    int time;
    int size;
};
const RowColumns listingColumns = {2, 3, 6};
const RowColumns versionColumns = {-1, 2, 3};

FileListEntry ReadRow(sqlite3_stmt* statement, const RowColumns& columns)
{
    FileListEntry entry;
    entry.name = LastComponent(ColumnText(statement, 0));
    entry.selfId = static_cast<uint64_t>(sqlite3_column_int64(statement, 1));
    entry.versionCount = columns.count < 0
                             ? 1
                             : static_cast<uint64_t>(static_cast<int64_t>(sqlite3_column_int(statement, columns.count)));
    entry.modificationTime = ColumnText(statement, columns.time);
    entry.timeText = StampToDisplayText(entry.modificationTime);
    entry.volumeId = static_cast<uint64_t>(sqlite3_column_int64(statement, 4));
    entry.attributes = static_cast<uint64_t>(sqlite3_column_int64(statement, 5));
    entry.size = static_cast<uint64_t>(sqlite3_column_int64(statement, columns.size));
    return entry;
}

}  // namespace

bool AppState::QueryFiles(std::string pattern, std::vector<FileListEntry>& out, uint64_t selfId)
{
    out.clear();
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    int prepared;
    if (selfId == 0) {
        prepared = sqlite3_prepare_v2(database, fileListingStatement, -1, &statement, &tail);
        LogMessageA("Attempting to query files for %s", pattern.c_str());
        pattern += "%%";
    } else {
        prepared = sqlite3_prepare_v2(database, fileVersionsStatement, -1, &statement, &tail);
    }

    bool result = true;
    if (prepared == SQLITE_OK && statement != nullptr) {
        if (selfId != 0)
            sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(selfId));
        else
            sqlite3_bind_text(statement, 1, pattern.c_str(), -1, SQLITE_STATIC);
        const RowColumns& columns = selfId == 0 ? listingColumns : versionColumns;
        for (;;) {
            const int code = sqlite3_step(statement);
            if (code == SQLITE_ROW) {
                out.push_back(ReadRow(statement, columns));
                continue;
            }
            if (code != SQLITE_DONE) {
                LogMessageA("Could not read from the database: %d", code);
                result = false;
            }
            break;
        }
        sqlite3_finalize(statement);
    } else if (statement != nullptr) {
        sqlite3_finalize(statement);
    }

    LogMessageA("Got %lu files from DB for folder %s, self_id %I64u", static_cast<unsigned long>(out.size()),
                pattern.c_str(), selfId);
    return result;
}

bool AppState::QueryFileVersions(std::vector<FileListEntry>& out, uint64_t selfId)
{
    return QueryFiles(std::string(), out, selfId);
}
