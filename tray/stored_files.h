#pragma once
// Reading the stored files and versions straight from the state database.
#include <windows.h>

#include <string>
#include <vector>

#include "app_state.h"

// The statements behind AppState::QueryFiles and QueryFolderFiles.
extern const char* const fileListingStatement;
extern const char* const folderListingStatement;
extern const char* const fileVersionsStatement;

// One row per stored entry at the folder or below it, by the path of its row
// stored last: the folder's own row and the paths that begin with the folder text and
// a backslash, compared literally ('%' and '_' are plain characters; ASCII
// letters match in any case). Empty and true without a filelist table or a
// connection; false when the read fails, with the rows read before it.
bool QueryFolderFiles(AppState& state, std::string folder, std::vector<FileListEntry>& out);

// Long date, one blank and the 24-hour time in the user's locale, for a file
// time that is already local. "" when a conversion fails.
std::wstring FileTimeToDisplayText(FILETIME localTime);

// A stored TimeStamp (UTC) as display text in local time, with the offset in
// force now. "" for text that is not a well-formed stamp.
std::wstring StampToDisplayText(const std::string& stamp);

// "YYYYMMDD HHMMSS.mmm" with digits where digits belong.
bool IsWellFormedStamp(const std::string& stamp);
