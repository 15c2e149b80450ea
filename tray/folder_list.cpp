#include "folder_list.h"

#include "app_state.h"
#include "folder_browser.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "pipe_client.h"
#include "text.h"

#include <shlobj.h>

#include <cstdlib>
#include <memory>

std::vector<std::string> folderNames;
std::wstring (*dataFolderSource)() = GetDataFolder;

namespace {

const char* const folderQuery = "select directory from watchdirectories;";
const wchar_t* const centreCaptionW = L"Varnoke Backup Centre";
const char* const centreCaptionA = "Varnoke Backup Centre";

LRESULT SendToFolderList(UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendDlgItemMessageW(appState.mainWindow, folderListId, message, wParam, lParam);
}

}  // namespace

bool AppState::LoadFolders()
{
    std::string dataFolder;
    WideToUtf8(dataFolderSource(), dataFolder, CP_UTF8);
    SendToFolderList(LB_RESETCONTENT, 0, 0);
    if (dataFolder.empty()) {
        MessageBoxW(mainWindow, L"The registry keys for access to the Tressaly backup database are missing",
                    centreCaptionW, MB_OK);
        return false;
    }

    const std::string path = dataFolder + "\\SystemState2.trdb";
    LogMessageA("Database path is %s", path.c_str());
    if (database != nullptr) {
        sqlite3_close(database);
        database = nullptr;
    }
    lastResult = sqlite3_open(path.c_str(), &database);
    if (lastResult != SQLITE_OK) {
        const std::string text = FormatString("Could not open database. Error code %lu: \"%s\"",
                                              static_cast<unsigned long>(lastResult), sqlite3_errmsg(database));
        sqlite3_close(database);
        database = nullptr;
        MessageBoxA(mainWindow, text.c_str(), centreCaptionA, MB_OK);
        return false;
    }
    // A query that meets the service's write waits for it before it gives up
    // (and the user is told).
    sqlite3_busy_timeout(database, databaseBusyTimeoutMs);

    folderNames.clear();
    LogMessageA("Getting master folder list");
    const std::string reply = SendPipeCommand("LIST FOLDERS", "");
    if (reply.empty())
        return false;  // no service to answer: the list stays empty
    const unsigned long long count = static_cast<unsigned long long>(_atoi64(reply.c_str()));
    LogMessageA("There are %u folders", static_cast<unsigned>(count));
    // The count only says that the service answers. No "GET FOLDER" follows:
    // the service answers it only on the connection that carried "LIST
    // FOLDERS", which is closed by now, and the table read below already holds
    // every folder, so each is listed once. The service's reads of the
    // requests fail at once on the closed connection.

    lastResult = sqlite3_exec(database, folderQuery, CollectDirectoryRow, nullptr, &errorText);
    if (lastResult != SQLITE_OK) {
        LogMessageA("SQL error while querying directories: %s", errorText != nullptr ? errorText : "");
        sqlite3_free(errorText);
        errorText = nullptr;
        folderNames.clear();
        return false;
    }
    for (const std::string& folder : folderNames)
        AddFolderToList(folder);
    folderNames.clear();
    return true;
}

int CollectDirectoryRow(void*, int columnCount, char** values, char**)
{
    // A NULL directory names no folder; such a row cannot come from the
    // service and is left out of the list.
    if (columnCount >= 1 && values != nullptr && values[0] != nullptr)
        folderNames.push_back(values[0]);
    return 0;
}

void AddFolderToList(std::string folder)
{
    std::wstring text;
    Utf8ToWide(folder, text, CP_UTF8);
    SendToFolderList(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string AppState::GetSelectedFolder(int& index)
{
    index = static_cast<int>(SendToFolderList(LB_GETCURSEL, 0, 0));
    if (index == LB_ERR) {
        MessageBoxA(mainWindow, "Click on a backup folder before deleting.", "Error", MB_OK);
        index = -1;
        return std::string();
    }
    const LRESULT length = SendToFolderList(LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR)
        return std::string();
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[length + 1]());
    SendToFolderList(LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.get()));
    buffer[length] = L'\0';
    std::string folder;
    WideToUtf8(buffer.get(), folder, CP_UTF8);
    return folder;
}

bool RemoveBackupFolder()
{
    int index = -1;
    const std::string folder = appState.GetSelectedFolder(index);
    if (index == -1)
        return false;
    // A blank entry (a row without a folder) names nothing the service could remove.
    if (folder.empty()) {
        MessageBoxA(appState.mainWindow, "Click on a backup folder before deleting.", "Error", MB_OK);
        return false;
    }
    const std::string reply = SendPipeCommand("REMOVE FOLDER", folder);
    if (reply == "OK") {
        SendToFolderList(LB_DELETESTRING, static_cast<WPARAM>(index), 0);
        return true;
    }
    MessageBoxW(nullptr, L"Could not communicate with service. Ensure that the service is running.", centreCaptionW,
                MB_ICONERROR);
    return false;
}

std::string AddFolderUserName()
{
    std::wstring user;
    const wchar_t* variable = _wgetenv(L"USERNAME");
    if (variable != nullptr)
        user = variable;
    if (user.empty()) {
        // The service needs a non-empty piece after the tab, or it refuses
        // the folder; the account's own name is what USERNAME normally holds.
        wchar_t account[257] = {};
        DWORD size = 257;
        if (GetUserNameW(account, &size))
            user = account;
    }
    if (user.empty())
        user = L" ";  // the blank the service itself records for an unknown user
    std::string text;
    WideToUtf8(user, text, CP_UTF8);
    return text;
}

void RequestAddFolder(std::wstring path)
{
    std::string folder;
    WideToUtf8(path, folder, CP_UTF8);
    const std::string reply = SendPipeCommand("ADD FOLDER", folder + "\t" + AddFolderUserName());
    if (reply == "OK")
        AddFolderToList(folder);
}

bool AddBackupFolder()
{
    std::wstring path;
    const BrowseResult result = BrowseForFolder(appState.mainWindow, L"Select folder to backup", nullptr, path);
    if (result == BrowseResult::cancelled)
        return false;
    if (result == BrowseResult::chosen)
        RequestAddFolder(path);
    return true;
}
