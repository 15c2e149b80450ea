#pragma once
// Reading the stored files and versions straight from the state database.
#include <windows.h>

#include <string>

// The two statements behind AppState::QueryFiles.
extern const char* const fileListingStatement;
extern const char* const fileVersionsStatement;

// Long date, one blank and the 24-hour time in the user's locale, for a file
// time that is already local. "" when a conversion fails.
std::wstring FileTimeToDisplayText(FILETIME localTime);

// A stored TimeStamp (UTC) as display text in local time, with the offset in
// force now. "" for text that is not a well-formed stamp.
std::wstring StampToDisplayText(const std::string& stamp);

// "YYYYMMDD HHMMSS.mmm" with digits where digits belong.
bool IsWellFormedStamp(const std::string& stamp);
