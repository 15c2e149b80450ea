#pragma once
// The watched-folder list of the main window (list box 1017) and the requests
// that add and remove watched folders.
#include <windows.h>

#include <string>
#include <vector>

const int folderListId = 1017;

// Scratch list of one load, filled by CollectDirectoryRow.
extern std::vector<std::string> folderNames;

// Where LoadFolders finds the Data folder; tests point it elsewhere.
extern std::wstring (*dataFolderSource)();

int CollectDirectoryRow(void* context, int columnCount, char** values, char** columnNames);
void AddFolderToList(std::string folder);
bool RemoveBackupFolder();
bool AddBackupFolder();

// The steps of AddBackupFolder after the folder browser: sends "ADD FOLDER" for
// the path and lists it when the service answers "OK".
void RequestAddFolder(std::wstring path);

// The user name sent with "ADD FOLDER": USERNAME, or the account's name when
// the variable is absent or empty.
std::string AddFolderUserName();
