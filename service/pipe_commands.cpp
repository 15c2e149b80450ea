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

#include <cstdint>
#include <cstdlib>
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
#undef VARN_RESTORE_ENTRY

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

// False when the select could not be prepared or a step failed; a version
// that matches no row leaves the paths empty. The last matching row wins.
bool FindStoredVersion(const RestoreEntry& entry, StoredVersion& version)
{
    const bool exact = !entry.storedCopy.empty();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(databaseConnection, exact ? restoreCopyStatement : restoreEntryStatement, -1, &statement,
                           nullptr) != SQLITE_OK ||
        statement == nullptr) {
        if (statement != nullptr)
            sqlite3_finalize(statement);
        return false;
    }
    sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(entry.selfId));
    sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(entry.volumeId));
    sqlite3_bind_text(statement, 3, entry.modificationTime.c_str(), -1, SQLITE_STATIC);
    if (exact)
        sqlite3_bind_text(statement, 4, entry.storedCopy.c_str(), -1, SQLITE_STATIC);
    bool stepsWorked = true;
    for (;;) {
        const int result = sqlite3_step(statement);
        if (result == SQLITE_DONE)
            break;
        if (result != SQLITE_ROW) {
            stepsWorked = false;
            break;
        }
        version.localPath = ColumnText(statement, 0);
        version.path = ColumnText(statement, 1);
        version.attributes = static_cast<uint64_t>(sqlite3_column_int64(statement, 2));
        version.size = static_cast<uint64_t>(sqlite3_column_int64(statement, 3));
    }
    sqlite3_finalize(statement);
    return stepsWorked;
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
// per-message bound) sets left to 0: no more will come. False on a stop: a
// client that writes as fast as it can never makes a read wait, so the stop
// byte is tested here, before each entry, and the request is dropped at once.
bool TakeRestoreEntries(HANDLE pipe, OVERLAPPED* overlapped, uint64_t& left, std::vector<RestoreEntry>& batch)
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

void RestoreOneEntry(const std::wstring& targetRoot, const RestoreEntry& entry)
{
    LogMessageA("Self id %I64u, volume id %I64u, modificationtime %s", entry.selfId, entry.volumeId,
                entry.modificationTime.c_str());
    if (!entry.storedCopy.empty())
        LogMessageA("%s", ("Stored copy named is " + entry.storedCopy).c_str());
    StoredVersion version;
    if (!FindStoredVersion(entry, version))
        return;
    LogMessageA("Original path is %s", version.path.c_str());
    if (version.path.size() < 2)
        return;
    std::wstring storedCopy;
    Utf8ToWide(version.localPath, storedCopy, CP_UTF8);
    RestoreFile(storedCopy, RestoreTarget(targetRoot, version.path), version.attributes, version.size,
                targetRoot.size());
}

// False when a stop came: the entries not yet restored are dropped.
bool RestoreBatch(const std::wstring& targetRoot, const std::vector<RestoreEntry>& batch)
{
    for (size_t i = 0; i < batch.size(); ++i) {
        if (StopRequested()) {
            LogMessageA(restoreStopLine, static_cast<uint64_t>(batch.size() - i));
            return false;
        }
        RestoreOneEntry(targetRoot, batch[i]);
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
    uint64_t left = static_cast<uint64_t>(std::strtoll(countText.c_str(), nullptr, 10));
    // The request is taken off the pipe before anything is copied, so the
    // client's writes never wait for copies. The count comes from the client,
    // so nothing is set aside for it: entries are held as they arrive.
    std::vector<RestoreEntry> batch;
    if (!TakeRestoreEntries(pipe, overlapped, left, batch))
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
        if (!TakeRestoreEntries(pipe, overlapped, left, batch))
            break;
    }
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
