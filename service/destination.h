#pragma once
// The backup destination: share connection, machine folder, UUID-named stored
// versions, and the copy back for a restore.
#include <windows.h>
#include <winnetwk.h>
#include <rpc.h>

#include <string>

#include "file_record.h"

// Connect calls of share destinations (failed ones included) minus their Disconnects.
extern volatile LONG connectionCount;

class NetworkDestination {
public:
    NetworkDestination();
    ~NetworkDestination();

    // The destination is the Destination setting as read: forward slashes are
    // taken as backslashes, and a text that is not a full path is refused
    // (NormalizeDestination). False then, for an empty text, or for a share
    // that cannot be connected; HasMachineFolder() says whether there is a
    // folder to work in all the same.
    bool Connect(std::wstring destination, std::wstring user, std::wstring password);
    bool Disconnect();
    bool BackupFile(FileRecord& record);
    bool DeleteMirroredFile(FileRecord record);
    // Removes the copy BackupFile just made for the record, when its row could
    // not be added; touches nothing outside the machine folder.
    bool RemoveUnrecordedCopy(const FileRecord& record);
    // False when Connect found no machine folder to work in: nothing may then be
    // copied or removed at the destination.
    bool HasMachineFolder() const { return !destinationPath.empty(); }

private:
    bool ReachMachineFolderUnconnected();

public:
    std::wstring destinationPath;
    NETRESOURCEW netResource;
    wchar_t remoteName[260];
    bool isUnc;
};

bool AppendMachineFolder(std::wstring& path);
std::wstring GetComputerNameString();
std::wstring NewUuidString();
// Copies a stored version back to target, or makes a recorded folder there.
// target.substr(0, chosenLength) is the folder the restore was asked to write
// into; recordedSize is the size the version's row records. A file already at
// the target stays that file (it keeps its identity; a kill part-way through
// can leave it part-written, with the whole version beside it); a stored copy shorter
// than its row replaces no existing file; nothing is written through a
// junction or symbolic link below the chosen folder.
bool RestoreFile(std::wstring source, std::wstring target, uint64_t attributes, uint64_t recordedSize,
                 size_t chosenLength);
DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER totalSize, LARGE_INTEGER transferred,
                                   LARGE_INTEGER streamSize, LARGE_INTEGER streamTransferred,
                                   DWORD streamNumber, DWORD reason, HANDLE source, HANDLE target,
                                   LPVOID context);

// The copy call behind BackupFile and RestoreFile; tests replace it, because
// Wine never calls the progress routine and ignores the cancel flag.
typedef BOOL(WINAPI* CopyFileFunction)(LPCWSTR, LPCWSTR, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD);
extern CopyFileFunction copyFileFunction;

// The share connection calls; tests replace them, because Wine has no SMB client.
typedef DWORD(WINAPI* AddConnectionFunction)(LPNETRESOURCEW, LPCWSTR, LPCWSTR, DWORD);
typedef DWORD(WINAPI* CancelConnectionFunction)(LPCWSTR, DWORD, BOOL);
extern AddConnectionFunction addConnectionFunction;
extern CancelConnectionFunction cancelConnectionFunction;

// The UUID source behind NewUuidString; tests replace it to make it fail.
typedef RPC_STATUS(RPC_ENTRY* UuidCreateFunction)(UUID*);
extern UuidCreateFunction uuidCreateFunction;
