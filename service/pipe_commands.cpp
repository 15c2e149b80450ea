#include "pipe_commands.h"

#include "control_thread.h"
#include "destination.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "password.h"
#include "pipe_framing.h"
#include "service_state.h"
#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

size_t restoreBatchBytes = 16 * 1024 * 1024;

namespace {

const char* const removeFolderCommand = "REMOVE FOLDER";
const char* const listFoldersCommand = "LIST FOLDERS";
const char* const getFolderRequest = "GET FOLDER";
const char* const addFolderCommand = "ADD FOLDER";
const char* const restoreFilesCommand = "RESTORE FILES";
const char* const okReply = "OK";
const char* const errorReply = "ERROR";

const char* const removeFolderStatement = "delete from watchdirectories where directory = ?1;";
const char* const addFolderStatement = "insert into watchdirectories values( ?1, ?2 );";
#define VARN_RESTORE_ENTRY                                                                             \
    "select localpath, path, attributes, size from filelist where self_id = ?1 and volume_id= ?2 and " \
    "modificationtime= ?3"
const char* const restoreEntryStatement = VARN_RESTORE_ENTRY;
// An entry that names its stored copy: exactly that version, never another
// version of the file that shares its time (a rename or a move keeps the time).
const char* const restoreCopyStatement = VARN_RESTORE_ENTRY " and localpath= ?4";
// The same, for one row of the batch's read: the key is checked again, since
// the row may have been pruned since and its row id given to another row.
const char* const restoreRowStatement = VARN_RESTORE_ENTRY " and rowid= ?5";
const char* const restoreCopyRowStatement = VARN_RESTORE_ENTRY " and localpath= ?4 and rowid= ?5";
#undef VARN_RESTORE_ENTRY
// One read of the table for a whole batch of entries: the table has no index,
// so a select by key reads every row, and one per entry would cost entries times rows.
const char* const restoreBatchStatement = "select rowid, self_id, volume_id, modificationtime, localpath from filelist";

// Carries a failed statement of "ADD FOLDER" or "REMOVE FOLDER" to its handler.
const unsigned long databaseFailure = 3;

std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

bool RemoveFolder(ClientControlArgs* args, HANDLE pipe, OVERLAPPED* overlapped)
{
    LogMessageA("Remove Folder command issued");
    std::string folder;
    ReadMessage(pipe, folder, overlapped);
    if (folder.empty()) {
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
    if (args == nullptr) {
        LogMessageA("ProcessPipeMessage() NULL parameter has been passed");
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    try {
        lastDatabaseResult = sqlite3_prepare_v2(databaseConnection, removeFolderStatement, -1, &statement, nullptr);
        if (lastDatabaseResult != SQLITE_OK || statement == nullptr)
            throw databaseFailure;
        sqlite3_bind_text(statement, 1, folder.c_str(), -1, SQLITE_STATIC);
        lastDatabaseResult = sqlite3_step(statement);
        if (lastDatabaseResult != SQLITE_DONE)
            throw databaseFailure;
        WriteMessage(pipe, okReply, overlapped);
        sqlite3_finalize(statement);
        return true;
    } catch (unsigned long) {
        LogMessageA("Could not update database: %s", sqlite3_errmsg(databaseConnection));
        if (statement != nullptr)
            sqlite3_finalize(statement);
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
}

void ListFolders(HANDLE pipe, OVERLAPPED* overlapped)
{
    LogMessageA("Listing folder for client");
    const uint64_t folderCount = watchDirectories.size();
    WriteMessage(pipe, FormatString("%I64u", folderCount), overlapped);
    // Every request uses up one slot, answered or not.
    for (uint64_t i = 0; i < folderCount; ++i) {
        std::string request;
        ReadMessage(pipe, request, overlapped);
        if (request == getFolderRequest)
            WriteMessage(pipe, watchDirectories[static_cast<size_t>(i)], overlapped);
    }
}

bool AddFolder(HANDLE pipe, OVERLAPPED* overlapped)
{
    std::string argument;
    ReadMessage(pipe, argument, overlapped);
    if (argument.empty()) {
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
    std::vector<std::string> pieces;
    SplitString(pieces, argument, "\t");
    // A row without a folder could never be removed again, since "REMOVE FOLDER" refuses an empty one.
    if (pieces.size() != 2 || pieces[0].empty()) {
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
    const std::string& folder = pieces[0];
    const std::string& user = pieces[1];
    // Stored, it would be scanned at every pass and never backed up.
    std::wstring wideFolder;
    Utf8ToWide(folder, wideFolder, CP_UTF8);
    if (const char* fault = WatchedFolderFault(wideFolder)) {
        LogMessageA("Add Folder refused %s, which could never be scanned: %s", folder.c_str(), fault);
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    try {
        lastDatabaseResult = sqlite3_prepare_v2(databaseConnection, addFolderStatement, -1, &statement, nullptr);
        if (lastDatabaseResult != SQLITE_OK || statement == nullptr)
            throw databaseFailure;
        sqlite3_bind_text(statement, 1, folder.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, user.c_str(), -1, SQLITE_STATIC);
        lastDatabaseResult = sqlite3_step(statement);
        if (lastDatabaseResult != SQLITE_DONE)
            throw databaseFailure;
        WriteMessage(pipe, okReply, overlapped);
        sqlite3_finalize(statement);
        WriteMessage(pipe, okReply, overlapped);
        return true;
    } catch (unsigned long) {
        LogMessageA("Could not write to watch directories database: %s", sqlite3_errmsg(databaseConnection));
        if (statement != nullptr)
            sqlite3_finalize(statement);
        WriteMessage(pipe, errorReply, overlapped);
        return false;
    }
}

struct StoredVersion {
    std::string localPath;  // where the stored copy lies
    std::string path;       // where the file was backed up from
    uint64_t attributes = 0;
    uint64_t size = 0;      // as the row records it
};

struct RestoreEntry {
    uint64_t selfId;
    uint64_t volumeId;
    std::string modificationTime;
    std::string storedCopy;  // the row's localpath when the entry names it; empty in the older form
};

enum VersionLookup { versionFound, noVersionMatches, lookupFailed };

// The entry's select with its key bound; null when it could not be prepared.
sqlite3_stmt* PrepareVersionSelect(const RestoreEntry& entry, const char* exactText, const char* olderText)
{
    const bool exact = !entry.storedCopy.empty();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, exact ? exactText : olderText, -1, &statement, nullptr) != SQLITE_OK ||
        statement == nullptr) {
        if (statement != nullptr)
            sqlite3_finalize(statement);
        return nullptr;
    }
    sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(entry.selfId));
    sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(entry.volumeId));
    sqlite3_bind_text(statement, 3, entry.modificationTime.c_str(), -1, SQLITE_STATIC);
    if (exact)
        sqlite3_bind_text(statement, 4, entry.storedCopy.c_str(), -1, SQLITE_STATIC);
    return statement;
}

void ReadVersion(sqlite3_stmt* statement, StoredVersion& version)
{
    version.localPath = ColumnText(statement, 0);
    version.path = ColumnText(statement, 1);
    version.attributes = static_cast<uint64_t>(sqlite3_column_int64(statement, 2));
    version.size = static_cast<uint64_t>(sqlite3_column_int64(statement, 3));
}

// Finalises the statement; error takes the database's text when the lookup failed.
VersionLookup EndVersionSelect(sqlite3_stmt* statement, VersionLookup result, std::string& error)
{
    if (result == lookupFailed)
        error = sqlite3_errmsg(databaseConnection);
    sqlite3_finalize(statement);
    return result;
}

// Reads the whole table for the entry. The last matching row wins.
VersionLookup FindStoredVersion(const RestoreEntry& entry, StoredVersion& version, std::string& error)
{
    sqlite3_stmt* statement = PrepareVersionSelect(entry, restoreCopyStatement, restoreEntryStatement);
    if (statement == nullptr) {
        error = sqlite3_errmsg(databaseConnection);
        return lookupFailed;
    }
    VersionLookup result = noVersionMatches;
    for (;;) {
        const int step = sqlite3_step(statement);
        if (step == SQLITE_DONE)
            break;
        if (step != SQLITE_ROW)
            return EndVersionSelect(statement, lookupFailed, error);
        ReadVersion(statement, version);
        result = versionFound;
    }
    return EndVersionSelect(statement, result, error);
}

// The rows of filelist that a batch's entries name, found in one read of the
// table: for each key the row ids of every matching row, and for each stored
// copy named the row ids of the rows with that localpath. Rows stored after
// the read are not seen by the batch. Memory grows with the batch, not the table.
class BatchVersions {
public:
    // False when the table could not be read: each entry is then looked up on its own.
    bool Read(const std::vector<RestoreEntry>& batch);
    VersionLookup Find(const RestoreEntry& entry, StoredVersion& version, std::string& error) const;

private:
    typedef std::vector<sqlite3_int64> RowIds;  // latest first once read
    struct Key {
        uint64_t selfId;
        uint64_t volumeId;
        std::string modificationTime;
        bool operator<(const Key& other) const
        {
            if (selfId != other.selfId)
                return selfId < other.selfId;
            if (volumeId != other.volumeId)
                return volumeId < other.volumeId;
            return modificationTime < other.modificationTime;
        }
    };
    struct Rows {
        bool olderForm = false;  // an entry names no stored copy: every matching row counts
        RowIds matching;
        std::map<std::string, RowIds> byCopy;
    };
    std::map<Key, Rows> keys_;
};

bool BatchVersions::Read(const std::vector<RestoreEntry>& batch)
{
    for (const RestoreEntry& entry : batch) {
        const Key key = {entry.selfId, entry.volumeId, entry.modificationTime};
        Rows& rows = keys_[key];
        if (entry.storedCopy.empty())
            rows.olderForm = true;
        else
            rows.byCopy[entry.storedCopy];
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, restoreBatchStatement, -1, &statement, nullptr) != SQLITE_OK ||
        statement == nullptr) {
        if (statement != nullptr)
            sqlite3_finalize(statement);
        return false;
    }
    // Rows are taken here by looser tests than the select's (a value of another
    // type may pass); the select by row id decides.
    Key key = {0, 0, std::string()};
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        key.selfId = static_cast<uint64_t>(sqlite3_column_int64(statement, 1));
        key.volumeId = static_cast<uint64_t>(sqlite3_column_int64(statement, 2));
        const unsigned char* time = sqlite3_column_text(statement, 3);
        if (time == nullptr)
            continue;
        key.modificationTime.assign(reinterpret_cast<const char*>(time),
                                    static_cast<size_t>(sqlite3_column_bytes(statement, 3)));
        const std::map<Key, Rows>::iterator found = keys_.find(key);
        if (found == keys_.end())
            continue;
        Rows& rows = found->second;
        const sqlite3_int64 rowId = sqlite3_column_int64(statement, 0);
        if (rows.olderForm)
            rows.matching.push_back(rowId);
        if (!rows.byCopy.empty()) {
            const std::map<std::string, RowIds>::iterator copy = rows.byCopy.find(ColumnText(statement, 4));
            if (copy != rows.byCopy.end())
                copy->second.push_back(rowId);
        }
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) {
        keys_.clear();
        return false;
    }
    // Latest first, once for the batch: an entry takes the first of its rows that is still there.
    for (std::map<Key, Rows>::iterator rows = keys_.begin(); rows != keys_.end(); ++rows) {
        std::sort(rows->second.matching.rbegin(), rows->second.matching.rend());
        for (std::map<std::string, RowIds>::iterator copy = rows->second.byCopy.begin();
             copy != rows->second.byCopy.end(); ++copy)
            std::sort(copy->second.rbegin(), copy->second.rend());
    }
    return true;
}

// The row the entry would take from a read of the whole table: the last
// matching one. A row pruned since the batch's read gives way to the one before it.
VersionLookup BatchVersions::Find(const RestoreEntry& entry, StoredVersion& version, std::string& error) const
{
    const Key key = {entry.selfId, entry.volumeId, entry.modificationTime};
    const std::map<Key, Rows>::const_iterator found = keys_.find(key);
    if (found == keys_.end())
        return noVersionMatches;
    const RowIds* candidates = &found->second.matching;
    if (!entry.storedCopy.empty()) {
        const std::map<std::string, RowIds>::const_iterator copy = found->second.byCopy.find(entry.storedCopy);
        if (copy == found->second.byCopy.end())
            return noVersionMatches;
        candidates = &copy->second;
    }
    if (candidates->empty())
        return noVersionMatches;
    sqlite3_stmt* statement = PrepareVersionSelect(entry, restoreCopyRowStatement, restoreRowStatement);
    if (statement == nullptr) {
        error = sqlite3_errmsg(databaseConnection);
        return lookupFailed;
    }
    for (const sqlite3_int64 rowId : *candidates) {
        sqlite3_bind_int64(statement, 5, rowId);
        const int step = sqlite3_step(statement);
        if (step == SQLITE_ROW) {
            ReadVersion(statement, version);
            return EndVersionSelect(statement, versionFound, error);
        }
        if (step != SQLITE_DONE)
            return EndVersionSelect(statement, lookupFailed, error);
        sqlite3_reset(statement);
    }
    return EndVersionSelect(statement, noVersionMatches, error);
}

// Where a stored path lands under the chosen folder: a drive path without its
// drive letter and colon, a share path \\server\share\... as server\share\...,
// joined to the folder by one backslash (a drive root such as D:\ brings its own).
std::wstring RestoreTarget(const std::wstring& targetRoot, const std::string& storedPath)
{
    const bool share = storedPath.size() > 2 && storedPath[0] == '\\' && storedPath[1] == '\\';
    std::string rest = storedPath.substr(share ? 1 : 2);
    if (!targetRoot.empty() && targetRoot.back() == L'\\' && !rest.empty() && rest[0] == '\\')
        rest.erase(0, 1);
    std::wstring relativePath;
    Utf8ToWide(rest, relativePath, CP_UTF8);
    return targetRoot + relativePath;
}

// The volume id message: the number, then, from a control centre that names
// the exact version, a tab and the stored copy's localpath. The number is read
// as before, so the older form (the number alone) restores as it always did.
RestoreEntry ParseRestoreEntry(const std::string& selfIdText, const std::string& volumeIdText,
                               const std::string& modificationTime)
{
    RestoreEntry entry;
    entry.selfId = std::strtoull(selfIdText.c_str(), nullptr, 10);
    entry.volumeId = std::strtoull(volumeIdText.c_str(), nullptr, 10);
    entry.modificationTime = modificationTime;
    const size_t tab = volumeIdText.find('\t');
    if (tab != std::string::npos)
        entry.storedCopy = volumeIdText.substr(tab + 1);
    return entry;
}

const char* const restoreStopLine = "Stop requested. Restore aborted, %I64u entries dropped.";

// Takes entries off the pipe until left reaches 0 or the entries taken hold
// restoreBatchBytes. A read that fails (the client has gone, a stop, the
// per-message bound) sets left to 0: no more will come; unread then counts the
// entries still owed, the one cut off included. False on a stop: a client that
// writes as fast as it can never makes a read wait, so the stop byte is tested
// here, before each entry, and the request is dropped at once.
bool TakeRestoreEntries(HANDLE pipe, OVERLAPPED* overlapped, uint64_t& left, uint64_t& unread,
                        std::vector<RestoreEntry>& batch)
{
    size_t held = 0;
    while (left > 0 && held < restoreBatchBytes) {
        if (StopRequested()) {
            LogMessageA(restoreStopLine, static_cast<uint64_t>(batch.size()));
            left = 0;
            batch.clear();
            return false;
        }
        std::string selfIdText, volumeIdText, modificationTime;
        if (!ReadMessage(pipe, selfIdText, overlapped) || !ReadMessage(pipe, volumeIdText, overlapped) ||
            !ReadMessage(pipe, modificationTime, overlapped)) {
            unread = left;
            left = 0;
            return true;
        }
        --left;
        const RestoreEntry entry = ParseRestoreEntry(selfIdText, volumeIdText, modificationTime);
        held += sizeof(RestoreEntry) + entry.modificationTime.size() + entry.storedCopy.size();
        batch.push_back(entry);
    }
    return true;
}

// The entry as the lines that say it was not restored name it.
std::string EntryName(const RestoreEntry& entry)
{
    std::string name = FormatString("self id %I64u, volume id %I64u, modificationtime %s", entry.selfId,
                                    entry.volumeId, entry.modificationTime.c_str());
    if (!entry.storedCopy.empty())
        name += ", stored copy " + entry.storedCopy;
    return name;
}

// versions null: the entry is looked up on its own.
void RestoreOneEntry(const std::wstring& targetRoot, const RestoreEntry& entry, const BatchVersions* versions)
{
    LogMessageA("Self id %I64u, volume id %I64u, modificationtime %s", entry.selfId, entry.volumeId,
                entry.modificationTime.c_str());
    if (!entry.storedCopy.empty())
        LogMessageA("%s", ("Stored copy named is " + entry.storedCopy).c_str());
    StoredVersion version;
    std::string error;
    const VersionLookup lookup =
        versions != nullptr ? versions->Find(entry, version, error) : FindStoredVersion(entry, version, error);
    if (lookup == lookupFailed) {
        LogMessageA("Could not look up the stored version of %s: %s. It is not restored.", EntryName(entry).c_str(),
                    error.c_str());
        return;
    }
    if (lookup == noVersionMatches) {
        LogMessageA("No stored version matches %s. It is not restored.", EntryName(entry).c_str());
        return;
    }
    LogMessageA("Original path is %s", version.path.c_str());
    if (version.path.size() < 2) {
        LogMessageA("The stored version of %s has no path to restore to. It is not restored.",
                    EntryName(entry).c_str());
        return;
    }
    std::wstring storedCopy;
    Utf8ToWide(version.localPath, storedCopy, CP_UTF8);
    RestoreFile(storedCopy, RestoreTarget(targetRoot, version.path), version.attributes, version.size,
                targetRoot.size());
}

// False when a stop came: the entries not yet restored are dropped.
bool RestoreBatch(const std::wstring& targetRoot, const std::vector<RestoreEntry>& batch)
{
    BatchVersions versions;
    // A table that cannot be read at once (another program's lock) is read for each entry, as it always was.
    const bool read = versions.Read(batch);
    for (size_t i = 0; i < batch.size(); ++i) {
        if (StopRequested()) {
            LogMessageA(restoreStopLine, static_cast<uint64_t>(batch.size() - i));
            return false;
        }
        RestoreOneEntry(targetRoot, batch[i], read ? &versions : nullptr);
    }
    return true;
}

void RestoreFiles(HANDLE pipe, OVERLAPPED* overlapped)
{
    // A target or count that did not arrive whole names nothing to act on.
    std::string targetFolder, countText;
    if (!ReadMessage(pipe, targetFolder, overlapped) || !ReadMessage(pipe, countText, overlapped))
        return;
    std::wstring targetRoot;
    Utf8ToWide(targetFolder, targetRoot, CP_UTF8);
    targetRoot = MakeLongPath(targetRoot);

    // A negative count reads as a huge one: the client's close then ends the request.
    const long long count = std::strtoll(countText.c_str(), nullptr, 10);
    uint64_t left = static_cast<uint64_t>(count);
    uint64_t unread = 0;
    // The request is taken off the pipe before anything is copied, so the
    // client's writes never wait for copies. The count comes from the client,
    // so nothing is set aside for it: entries are held as they arrive.
    std::vector<RestoreEntry> batch;
    if (!TakeRestoreEntries(pipe, overlapped, left, unread, batch))
        return;

    std::wstring destination, user, password;
    ReadRegistryValue(SettingsKey(), destinationValueName, destination);
    ReadRegistryValue(SettingsKey(), usernameValueName, user);
    ReadRegistryValue(SettingsKey(), passwordValueName, password);
    DecryptPassword(password);
    if (destination.empty()) {
        // Nothing is stored anywhere the service could name; the service itself goes on.
        LogMessageA("Service not configured. Restore aborted.");
        return;
    }
    NetworkDestination source;
    source.Connect(destination, user, password);
    while (RestoreBatch(targetRoot, batch) && left > 0) {
        batch.clear();
        if (!TakeRestoreEntries(pipe, overlapped, left, unread, batch))
            break;
    }
    // Said once the entries that did come are done, after their lines.
    // A negative count announced no number of entries, so none can be said to be missing.
    if (unread > 0 && count < 0)
        LogMessageA("The restore request gave a negative count, %s: its entries were taken until the client "
                    "stopped sending them.",
                    countText.c_str());
    else if (unread > 0)
        LogMessageA("The restore request ended before all its entries were read. Restore aborted, %I64u entries "
                    "dropped.",
                    unread);
    source.Disconnect();
}

}  // namespace

bool ProcessPipeMessage(ClientControlArgs* args, HANDLE pipe, OVERLAPPED* overlapped)
{
    LogMessageA("Processing client message from pipe");
    std::string command;
    ReadMessage(pipe, command, overlapped);
    bool result = false;
    if (command == removeFolderCommand) {
        return RemoveFolder(args, pipe, overlapped);
    } else if (command == listFoldersCommand) {
        ListFolders(pipe, overlapped);
        result = true;
    } else if (command == addFolderCommand) {
        return AddFolder(pipe, overlapped);
    } else if (command == restoreFilesCommand) {
        RestoreFiles(pipe, overlapped);
        result = true;
    }
    LogMessageA("Finished processing client message from pipe");
    return result;
}
