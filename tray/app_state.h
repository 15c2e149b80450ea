#pragma once
// The control centre's global state.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sqlite3.h"

// One row of a file listing or a versions listing.
struct FileListEntry {
    std::wstring name;             // last component of the stored path
    std::wstring timeText;         // stored time in local time, for display
    std::string modificationTime;  // the stored TimeStamp text (UTC)
    uint64_t selfId = 0;
    uint64_t volumeId = 0;
    uint64_t versionCount = 0;
    uint64_t attributes = 0;
    uint64_t size = 0;
    // The stored copy's path as stored (UTF-8): unique per version, so it
    // names the very version a restore asks for.
    std::string localPath;
};

class AppState {
public:
    ~AppState();

    void AttachMainWindow(HWND window);
    bool LoadFolders();
    std::string GetSelectedFolder(int& index);
    // selfId 0: the listing of the pattern (volumeId unused). Otherwise the
    // versions of the file that selfId and volumeId name together.
    bool QueryFiles(std::string pattern, std::vector<FileListEntry>& out, uint64_t selfId, uint64_t volumeId);
    bool QueryFileVersions(std::vector<FileListEntry>& out, uint64_t selfId, uint64_t volumeId);

    HWND mainWindow = nullptr;
    int lastResult = 0;
    sqlite3* database = nullptr;
    char* errorText = nullptr;
    DWORD scmAccess = SC_MANAGER_CONNECT;
    DWORD serviceAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP | SERVICE_INTERROGATE;
    std::vector<FileListEntry> fileListing;
    std::vector<FileListEntry> fileVersions;
};

extern AppState appState;
extern HINSTANCE instanceHandle;
