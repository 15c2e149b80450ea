#pragma once
// State the service's threads share: the one database connection, the locks,
// the stop byte, the copy stop flag and the watched-folder list.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "globals.h"
#include "sqlite3.h"

// Service-only names (the wide service name is in common/globals.h).
extern const std::string serviceNameA;        // "VarnBack"
extern const std::wstring databaseFileName;   // "\SystemState2.trdb"
extern const std::string databaseFileNameA;   // "\SystemState2.trdb"

extern const char* const createWatchDirectoriesStatement;
extern const char* const createFileListStatement;

extern sqlite3* databaseConnection;
// Gives a connection of the service the wait databaseBusyTimeoutMs for a lock
// that another connection holds (the control centre reads the same file);
// called right after the open.
void SetDatabaseBusyTimeout(sqlite3* connection);
extern int lastDatabaseResult;
extern char* databaseErrorText;
extern std::string databasePath;
extern std::vector<std::string> watchDirectories;
extern std::vector<std::string> watchUsers;

// Address of the service's stop byte; a non-zero byte means stop.
extern volatile uint8_t* serviceStopFlag;
// True when the stop byte is set (false while no stop byte is attached).
inline bool StopRequested() { return serviceStopFlag != nullptr && *serviceStopFlag != 0; }

// The cancel flag of every file copy. CopyFileExW reads its cancel flag as a
// BOOL, so the flag is a whole BOOL rather than a byte.
extern volatile BOOL copyStopFlag;

extern CRITICAL_SECTION watchListLock;
extern CRITICAL_SECTION fileRowsLock;

struct WatchedFolder {
    std::string folderPath;
    uint8_t abortRequested = 0;
};

bool LoadWatchDirectories();
int WatchDirectoryRow(void* context, int columnCount, char** values, char** columnNames);
