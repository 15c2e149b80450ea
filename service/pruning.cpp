#include "pruning.h"

#include <cstdint>
#include <string>
#include <vector>

#include "log.h"
#include "service_state.h"
#include "text.h"

// Per file above the limit, the version stored earliest. filelist has no
// INTEGER PRIMARY KEY, so every insert gets a rowid one above the largest in
// the table, whatever was deleted before (nothing in the system writes rowids
// or vacuums): rowid order is the order of storing. The version stored last,
// which is what the file holds now, is thus never selected, even when its
// last-write time is older than the others' (content unpacked from an archive).
// The bare columns come from the row holding min(rowid).
const char* const selectEarliestVersions =
    "select m, self_id, volume_id, localpath from (select count(*) as c, min(rowid) as earliest, "
    "modificationtime as m, self_id, volume_id, localpath from filelist group by self_id, volume_id) where c > ?1";

static const char* const deleteVersionRow =
    "delete from filelist where localpath=?1 and self_id=?2 and volume_id=?3 and modificationtime=?4";

namespace {

struct SelectedVersion {
    std::string localPath;
    int64_t selfId;
    int64_t volumeId;
    std::string modificationTime;
};

enum CopyOutcome { copyRemoved, copyMissing, copyKept };

enum VersionOutcome { versionRemoved, versionKept, rowRefused };

}  // namespace

static std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : std::string();
}

// The machine folder holding a stored copy can be seen: with a share away or a
// drive gone every copy would look missing.
static bool CopyFolderReachable(const std::wstring& copyPath)
{
    const size_t slash = copyPath.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return false;
    const DWORD attributes = GetFileAttributesW(copyPath.substr(0, slash).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A stored copy keeps the attributes of its source, so a read-only source gives
// a read-only copy: it is made writable for its deletion and gets its
// attributes back if it still cannot go.
static CopyOutcome DeleteVersionCopy(const std::wstring& path, DWORD& code)
{
    code = 0;
    if (DeleteFileW(path.c_str()))
        return copyRemoved;
    code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
            if (SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
                if (DeleteFileW(path.c_str()))
                    return copyRemoved;
                code = GetLastError();
                SetFileAttributesW(path.c_str(), attributes);
            }
        }
    }
    if (code == ERROR_FILE_NOT_FOUND && CopyFolderReachable(path))
        return copyMissing;
    return copyKept;
}

// A version's copy goes only while the service holds the database for its row
// too: one short exclusive transaction per version, taken with the
// connection's busy wait. A reader holding the file past that wait (the
// control centre listing files) thus leaves the copy and its row both in
// place, instead of a row the control centre lists and cannot restore.
// Statements the pipe thread runs on the shared connection meanwhile join the
// transaction and are committed with it.
static bool BeginVersionRemoval()
{
    return sqlite3_exec(databaseConnection, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// False when the transaction could not be committed; the shared connection is
// never left inside it.
static bool EndVersionRemoval()
{
    if (sqlite3_exec(databaseConnection, "commit", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    if (!sqlite3_get_autocommit(databaseConnection))
        sqlite3_exec(databaseConnection, "rollback", nullptr, nullptr, nullptr);
    return false;
}

// The copy, then the row. Only a failure of the database itself (or a crash)
// can still come between them; the row then stays, and the next pass finds
// its copy missing and removes it.
static VersionOutcome RemoveVersion(sqlite3_stmt* remove, const SelectedVersion& version)
{
    std::wstring path;
    Utf8ToWide(version.localPath, path, CP_UTF8);
    DWORD code = 0;
    const CopyOutcome outcome = DeleteVersionCopy(path, code);
    LogMessageW(L"Deleting file %s", path.c_str());
    if (outcome == copyKept) {
        LogMessageW(L"Could not delete file %s", path.c_str());
        LogMessageW(L"Extended error code %lu (%s)", code, Win32ErrorTextW(code).c_str());
        return versionKept;
    }
    if (outcome == copyMissing)
        LogMessageW(L"PruneVersions() The stored copy %s is missing, its row is removed", path.c_str());
    sqlite3_bind_text(remove, 1, version.localPath.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(remove, 2, version.selfId);
    sqlite3_bind_int64(remove, 3, version.volumeId);
    sqlite3_bind_text(remove, 4, version.modificationTime.c_str(), -1, SQLITE_STATIC);
    const int result = sqlite3_step(remove);
    sqlite3_reset(remove);
    sqlite3_clear_bindings(remove);
    return result == SQLITE_DONE ? versionRemoved : rowRefused;
}

bool PruneVersions(int maxVersions)
{
    // A limit below 1 would take the last stored version of every file: the
    // newest version is always kept.
    if (maxVersions < 1)
        maxVersions = 1;
    LogMessageA("Max Versions is %d", maxVersions);

    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, selectEarliestVersions, -1, &select, nullptr) != SQLITE_OK ||
        select == nullptr) {
        sqlite3_finalize(select);
        return true;
    }
    sqlite3_bind_int(select, 1, maxVersions);

    // The whole selection is read before anything is deleted, so the select
    // never sees its own deletions.
    std::vector<SelectedVersion> selected;
    for (;;) {
        const int result = sqlite3_step(select);
        if (result == SQLITE_DONE)
            break;
        if (result == SQLITE_BUSY) {
            if (StopRequested())
                break;
            continue;
        }
        if (result != SQLITE_ROW) {
            // Stepping again would repeat the error; what was read is still pruned below.
            LogMessageA("Could not read from the database: %d", result);
            break;
        }
        SelectedVersion version;
        version.localPath = ColumnText(select, 3);
        version.selfId = sqlite3_column_int64(select, 1);
        version.volumeId = sqlite3_column_int64(select, 2);
        version.modificationTime = ColumnText(select, 0);
        selected.push_back(version);
    }
    sqlite3_finalize(select);

    sqlite3_stmt* remove = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, deleteVersionRow, -1, &remove, nullptr) != SQLITE_OK ||
        remove == nullptr) {
        sqlite3_finalize(remove);
        return true;
    }
    for (const SelectedVersion& version : selected) {
        if (StopRequested()) {
            LogMessageA("PruneVersions() Stop requested, the remaining versions wait for a later pass");
            break;
        }
        VersionOutcome outcome = rowRefused;
        if (BeginVersionRemoval()) {
            outcome = RemoveVersion(remove, version);
            if (!EndVersionRemoval())
                outcome = rowRefused;
        }
        if (outcome == rowRefused) {
            LogMessageW(L"Could not delete file with self id %I64u, volume id %I64u, timestamp %S from database",
                        static_cast<uint64_t>(version.selfId), static_cast<uint64_t>(version.volumeId),
                        version.modificationTime.c_str());
            // Every further row would wait as long and go the same way.
            LogMessageA("PruneVersions() A row could not be removed: the remaining versions wait for a later pass");
            break;
        }
    }
    sqlite3_finalize(remove);
    return true;
}
