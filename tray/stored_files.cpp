#include "stored_files.h"

#include "app_state.h"
#include "log.h"
#include "text.h"
#include "timestamp.h"

#include <vector>

// One row per stored file, and a file is one self_id on one volume: the same
// file index on another volume is another file. The row that speaks for it is
// the one stored last (highest rowid), whatever its time: a rename or a move
// keeps the time, and content that came back with an older time (an archive
// unpacked over the file) is still what the file holds now. The one max()
// takes the bare columns from exactly that row, in one pass and without an
// index; the filter sees that row's path.
#define VARN_STORED_FILES                                                                                   \
    "(select path, self_id, count(self_id) as c, modificationtime, volume_id, attributes, size, localpath, " \
    "max(rowid) from filelist group by self_id, volume_id)"
const char* const fileListingStatement =
    "select path, self_id, c, modificationtime, volume_id, attributes, size, localpath from " VARN_STORED_FILES
    " where path like ?1 order by path asc";
// The same rows, for a folder: its own row (?1) and the paths below it (?2),
// both literal patterns (LiteralLikePattern).
const char* const folderListingStatement =
    "select path, self_id, c, modificationtime, volume_id, attributes, size, localpath from " VARN_STORED_FILES
    " where path like ?1 escape '^' or path like ?2 escape '^' order by path asc";
#undef VARN_STORED_FILES
// In the order of storing, the version stored last first, whatever the times
// say: the first row is the listing's newest and the last row the one pruning
// removes next. Two versions may share a time (a move, or content changed
// under a kept time); localpath tells them apart.
const char* const fileVersionsStatement =
    "select path, self_id, modificationtime, size, volume_id, attributes, localpath from filelist "
    "where self_id = ?1 and volume_id = ?2 order by rowid DESC";

std::wstring FileTimeToDisplayText(FILETIME localTime)
{
    SYSTEMTIME calendar = {};
    if (!FileTimeToSystemTime(&localTime, &calendar))
        return std::wstring();
    wchar_t timeText[256];
    wchar_t dateText[256];
    // The 24-hour clock alone would still carry the 12-hour marker ("13:00:00
    // PM"); without the marker the blank that joined it to the time is left
    // behind (" 0:59:59" where the marker comes first).
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT | TIME_NOTIMEMARKER, &calendar, nullptr, timeText,
                       256) == 0)
        return std::wstring();
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_LONGDATE, &calendar, nullptr, dateText, 256) == 0)
        return std::wstring();
    std::wstring time(timeText);
    const wchar_t* const blanks = L" \u00a0";
    const size_t first = time.find_first_not_of(blanks);
    time = first == std::wstring::npos ? std::wstring() : time.substr(first, time.find_last_not_of(blanks) + 1 - first);
    return std::wstring(dateText) + L" " + time;
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
    int localPath;
};
const RowColumns listingColumns = {2, 3, 6, 7};
const RowColumns versionColumns = {-1, 2, 3, 6};

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
    entry.localPath = ColumnText(statement, columns.localPath);
    return entry;
}

// Compiles the statement, lets bind fill its parameters and reads every row
// into out (emptied first). A statement that does not compile because the
// service never made the table, or because there is no connection (its open
// failure has been shown), lists nothing. Any other failure, such as a lock
// that outlasted the busy wait, is a failed read: false, with the rows read
// before it left in out.
template <typename Bind>
bool RunQuery(sqlite3* database, const char* text, const RowColumns& columns, Bind bind,
              std::vector<FileListEntry>& out)
{
    out.clear();
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    const int prepared = sqlite3_prepare_v2(database, text, -1, &statement, &tail);
    if (prepared != SQLITE_OK || statement == nullptr) {
        if (statement != nullptr)
            sqlite3_finalize(statement);
        if (prepared == SQLITE_OK || prepared == SQLITE_ERROR || prepared == SQLITE_MISUSE)
            return true;
        LogMessageA("Could not read from the database: %d", prepared);
        return false;
    }
    bind(statement);
    bool result = true;
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
    return result;
}

}  // namespace

bool AppState::QueryFiles(std::string pattern, std::vector<FileListEntry>& out, uint64_t selfId, uint64_t volumeId)
{
    bool result;
    if (selfId == 0) {
        LogMessageA("Attempting to query files for %s", pattern.c_str());
        pattern += "%%";
        result = RunQuery(
            database, fileListingStatement, listingColumns,
            [&](sqlite3_stmt* statement) { sqlite3_bind_text(statement, 1, pattern.c_str(), -1, SQLITE_STATIC); },
            out);
    } else {
        result = RunQuery(
            database, fileVersionsStatement, versionColumns,
            [&](sqlite3_stmt* statement) {
                sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(selfId));
                sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(volumeId));
            },
            out);
    }
    LogMessageA("Got %lu files from DB for folder %s, self_id %I64u", static_cast<unsigned long>(out.size()),
                pattern.c_str(), selfId);
    return result;
}

bool QueryFolderFiles(AppState& state, std::string folder, std::vector<FileListEntry>& out)
{
    LogMessageA("Attempting to query files for %s", folder.c_str());
    const std::string own = LiteralLikePattern(folder);
    // A drive root such as D:\ already ends in the separator.
    const bool endsInSeparator = !folder.empty() && folder[folder.size() - 1] == '\\';
    const std::string below = own + (endsInSeparator ? "" : "\\") + "%";
    const bool result = RunQuery(
        state.database, folderListingStatement, listingColumns,
        [&](sqlite3_stmt* statement) {
            sqlite3_bind_text(statement, 1, own.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(statement, 2, below.c_str(), -1, SQLITE_STATIC);
        },
        out);
    LogMessageA("Got %lu files from DB for folder %s, self_id %I64u", static_cast<unsigned long>(out.size()),
                folder.c_str(), static_cast<uint64_t>(0));
    return result;
}

bool AppState::QueryFileVersions(std::vector<FileListEntry>& out, uint64_t selfId, uint64_t volumeId)
{
    return QueryFiles(std::string(), out, selfId, volumeId);
}
