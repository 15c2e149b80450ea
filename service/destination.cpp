#include "destination.h"

#include <cwchar>
#include <vector>

#include "folders.h"
#include "globals.h"
#include "log.h"
#include "service_state.h"
#include "text.h"

volatile LONG connectionCount = 0;

CopyFileFunction copyFileFunction = CopyFileExW;
AddConnectionFunction addConnectionFunction = WNetAddConnection2W;
CancelConnectionFunction cancelConnectionFunction = WNetCancelConnection2W;
UuidCreateFunction uuidCreateFunction = UuidCreateSequential;

// CopyFileExW reads the cancel flag as a BOOL; it is never written through these.
static LPVOID CopyContext() { return const_cast<BOOL*>(&copyStopFlag); }
static LPBOOL CopyCancelFlag() { return const_cast<BOOL*>(&copyStopFlag); }

NetworkDestination::NetworkDestination() : isUnc(false)
{
    memset(&netResource, 0, sizeof netResource);
    memset(remoteName, 0, sizeof remoteName);
}

NetworkDestination::~NetworkDestination() {}

bool NetworkDestination::Connect(std::wstring destination, std::wstring user, std::wstring password)
{
    // An empty destination names no folder at all: refuse it like an unreachable
    // share rather than let the path helpers fail on it.
    if (destination.empty()) {
        LogMessageW(L"Connect() The destination is empty");
        return false;
    }
    // The backup pass and the restore both reach the destination through here.
    const std::wstring given = destination;
    if (!NormalizeDestination(destination)) {
        LogMessageW(L"Connect() The destination %s is not a full path and is not used", given.c_str());
        return false;
    }
    destinationPath = destination;
    destinationPath = RemoveTrailingBackslash(destinationPath);
    destinationPath = MakeLongPath(destinationPath);

    const size_t remoteRoom = sizeof remoteName / sizeof remoteName[0];
    if (destination.size() >= 3 && destination[0] == L'\\' && destination[1] == L'\\') {
        isUnc = true;
        memset(&netResource, 0, sizeof netResource);
        netResource.dwType = RESOURCETYPE_DISK;
        memset(remoteName, 0, sizeof remoteName);
        netResource.lpLocalName = nullptr;
        netResource.lpRemoteName = remoteName;
        InterlockedIncrement(&connectionCount);
        DWORD result;
        if (destination.size() >= remoteRoom) {
            // remoteName cannot hold it; fail the way a share that cannot be reached does.
            result = ERROR_FILENAME_EXCED_RANGE;
            LogMessageW(L"Could not connect to resource %s, error(%u) %s", destination.c_str(), result,
                        Win32ErrorTextW(result).c_str());
            return ReachMachineFolderUnconnected();
        }
        wmemcpy(remoteName, destination.c_str(), destination.size());
        result = addConnectionFunction(&netResource, password.c_str(), user.c_str(), CONNECT_TEMPORARY);
        if (result != NO_ERROR) {
            LogMessageW(L"Could not connect to resource %s, error(%u) %s", remoteName, result,
                        Win32ErrorTextW(result).c_str());
            return ReachMachineFolderUnconnected();
        }
        LogMessageW(L"Connected to resource %s", remoteName);
        AppendMachineFolder(destinationPath);
        LogMessageW(L"%s", (L"Destination path is " + destinationPath).c_str());
        destinationPath = RemoveTrailingBackslash(destinationPath);
    } else {
        isUnc = false;
        LogMessageW(L"Not a UNC path");
        AppendMachineFolder(destinationPath);
    }
    LogMessageW(L"Destination path is %s", destinationPath.c_str());
    CreateDirectoryW(destinationPath.c_str(), nullptr);
    return true;
}

// After a failed connection the share may still be usable (on Windows one that
// is already connected under other credentials fails with 1219 and still
// answers). Work in its machine folder when that can be reached; otherwise
// leave no path at all, so that nothing is copied or removed anywhere else, the
// share root above all. The result stays false: the connection did fail.
bool NetworkDestination::ReachMachineFolderUnconnected()
{
    AppendMachineFolder(destinationPath);
    const DWORD attributes = GetFileAttributesW(destinationPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        destinationPath.clear();
        LogMessageW(L"Connect() The share could not be connected and its machine folder cannot be reached");
        return false;
    }
    LogMessageW(L"Connect() The share could not be connected, but its machine folder can be reached: working there");
    LogMessageW(L"Destination path is %s", destinationPath.c_str());
    return false;
}

bool NetworkDestination::Disconnect()
{
    if (isUnc) {
        // Decide on the value this decrement produced, so that of two threads
        // disconnecting at once exactly one cancels.
        if (InterlockedDecrement(&connectionCount) <= 0) {
            cancelConnectionFunction(remoteName, 0, FALSE);
            isUnc = false;
        }
        return true;
    }
    LogMessageA("Logging off, not a UNC path");
    return true;
}

// The copy-failure line of a backup and of a restore.
static void LogCopyFailure(const std::wstring& source, const std::wstring& target, DWORD code)
{
    LogMessageW(L"%s", FormatWString(L"Could not copy file \"%s\" to \"%s\". The error is %s, code %lu",
                                     source.c_str(), target.c_str(), Win32ErrorTextW(code).c_str(), code)
                           .c_str());
}

bool NetworkDestination::BackupFile(FileRecord& record)
{
    std::wstring source;
    Utf8ToWide(record.path, source, CP_UTF8);
    if (destinationPath.empty()) {
        // Not connected: a target built from the empty path would lie at the root
        // of the current drive.
        const DWORD code = ERROR_PATH_NOT_FOUND;
        LogMessageW(L"%s", FormatWString(L"Could not copy file \"%s\" to \"%s\". The error is %s, code %lu",
                                         source.c_str(), L"", Win32ErrorTextW(code).c_str(), code)
                               .c_str());
        return false;
    }
    std::wstring target = destinationPath;
    CreateDirectoryPath(target);
    target += L"\\" + NewUuidString();
    WideToUtf8(target, record.localPath, CP_UTF8);
    if (record.attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    if (copyFileFunction(MakeLongPath(source).c_str(), target.c_str(), CopyProgressRoutine, CopyContext(),
                         CopyCancelFlag(), 0)) {
        LogMessageW(L"%s", FormatWString(L"Copied file \"%s\" to \"%s\"", source.c_str(), target.c_str()).c_str());
        return true;
    }
    const DWORD code = GetLastError();
    // The target is a name made for this copy alone, so whatever lies there is
    // this copy's partly written file: it has no row and nothing would remove it.
    DeleteFileW(target.c_str());
    LogCopyFailure(source, target, code);
    return false;
}

bool NetworkDestination::RemoveUnrecordedCopy(const FileRecord& record)
{
    // A folder's recorded name was never made.
    if (record.attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    std::wstring path;
    Utf8ToWide(record.localPath, path, CP_UTF8);
    const std::wstring folder = destinationPath + L"\\";
    const bool inMachineFolder = !destinationPath.empty() && path.size() > folder.size() &&
                                 path.compare(0, folder.size(), folder) == 0 &&
                                 path.find(L'\\', folder.size()) == std::wstring::npos;
    if (!inMachineFolder) {
        // The line keeps the name this function once had: log texts are what users search for.
        LogMessageW(L"%s", FormatWString(L"RemoveStoredCopy() \"%s\" is not in the machine folder and stays",
                                         path.c_str())
                               .c_str());
        return false;
    }
    if (DeleteFileW(path.c_str())) {
        LogMessageW(L"%s", FormatWString(L"Removed the stored copy \"%s\": its row could not be added", path.c_str())
                               .c_str());
        return true;
    }
    const DWORD code = GetLastError();
    LogMessageW(L"%s", FormatWString(L"Could not remove the stored copy \"%s\". The error is %s, code %lu",
                                     path.c_str(), Win32ErrorTextW(code).c_str(), code)
                           .c_str());
    return false;
}

static bool LogDeleteFailure(const std::wstring& path, DWORD code)
{
    LogMessageW(L"%s", FormatWString(L"Could not delete file \"%s\". The error is %s, code %lu", path.c_str(),
                                     Win32ErrorTextW(code).c_str(), code)
                           .c_str());
    return false;
}

bool NetworkDestination::DeleteMirroredFile(FileRecord record)
{
    std::wstring path;
    Utf8ToWide(record.path, path, CP_UTF8);
    std::vector<std::wstring> pieces;
    SplitWString(pieces, path, L"\\");
    if (pieces.empty())
        return LogDeleteFailure(path, ERROR_PATH_NOT_FOUND);
    // Without a drive component (a share path) or without a machine folder the
    // pieces would name folders outside the destination: such a record has no
    // mirrored path.
    if (!(pieces[0].size() == 2 && pieces[0][1] == L':') || destinationPath.empty())
        return LogDeleteFailure(path, ERROR_PATH_NOT_FOUND);
    // A file at a drive root would mirror to a name directly in the machine
    // folder, where only the stored versions and the database copy lie: a file
    // that happens to carry such a name must not take one of them with it.
    bool innerFolder = false;
    for (size_t i = 1; i + 1 < pieces.size(); ++i)
        innerFolder = innerFolder || !pieces[i].empty();
    if (!innerFolder)
        return LogDeleteFailure(path, ERROR_PATH_NOT_FOUND);
    std::wstring result = destinationPath;
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
        result += L"\\" + pieces[i];
        CreateDirectoryW(result.c_str(), nullptr);
    }
    result += L"\\" + pieces.back();
    if (DeleteFileW(result.c_str())) {
        LogMessageW(L"%s", FormatWString(L"Deleted file \"%s\"", result.c_str()).c_str());
        return true;
    }
    return LogDeleteFailure(result, GetLastError());
}

bool AppendMachineFolder(std::wstring& path)
{
    const std::wstring computer = GetComputerNameString();
    path += L"\\" + serviceName;
    CreateDirectoryW(path.c_str(), nullptr);
    path += L"\\" + computer;
    CreateDirectoryW(path.c_str(), nullptr);
    return true;
}

std::wstring GetComputerNameString()
{
    wchar_t buffer[16] = {};
    DWORD size = 16;
    GetComputerNameW(buffer, &size);
    if (size <= 15)
        return std::wstring(buffer, size);
    return L"Unknown";
}

// Stand-in name in the layout of a UUID text, for when the UUID source fails:
// the time, the process and a per-process sequence keep it apart from every
// other name this machine folder gets.
static std::wstring FallbackUuidString()
{
    static volatile LONG sequence = 0;
    const DWORD count = static_cast<DWORD>(InterlockedIncrement(&sequence));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FormatWString(L"%08lx-%04x-%04x-%04x-%08lx%04x", now.dwHighDateTime,
                         static_cast<unsigned>(now.dwLowDateTime >> 16),
                         static_cast<unsigned>(now.dwLowDateTime & 0xFFFF), static_cast<unsigned>(count >> 16),
                         GetCurrentProcessId(), static_cast<unsigned>(count & 0xFFFF));
}

std::wstring NewUuidString()
{
    UUID uuid;
    memset(&uuid, 0, sizeof uuid);
    const RPC_STATUS status = uuidCreateFunction(&uuid);
    // RPC_S_UUID_LOCAL_ONLY still gives a value unique on this computer, which
    // is all a machine folder needs.
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        return FallbackUuidString();
    RPC_WSTR text = nullptr;
    if (UuidToStringW(&uuid, &text) != RPC_S_OK || text == nullptr)
        return FallbackUuidString();
    std::wstring result(reinterpret_cast<wchar_t*>(text));
    RpcStringFreeW(&text);
    return result;
}

// A name beside the target, in the same folder so that the final rename never
// crosses a volume, and of a fixed length so that it fits wherever the target does.
static std::wstring PartialRestorePath(const std::wstring& target)
{
    const size_t slash = target.rfind(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
    return folder + L"~" + serviceName + L"-restore-" + NewUuidString() + L".partial";
}

// The copy of a read-only stored version is read-only itself, and DeleteFileW refuses such a file.
static void RemovePartialRestore(const std::wstring& partial)
{
    SetFileAttributesW(partial.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(partial.c_str()))
        return;
    const DWORD code = GetLastError();
    // A cancelled copy has removed it already.
    if (code == ERROR_FILE_NOT_FOUND)
        return;
    const std::wstring line = FormatWString(
        L"RestoreFile() Could not remove the partial copy \"%s\". The error is %s, code %lu", partial.c_str(),
        Win32ErrorTextW(code).c_str(), code);
    LogMessageW(L"%s", line.c_str());
}

bool RestoreFile(std::wstring source, std::wstring target, uint64_t attributes)
{
    CreateDirectoryPath(target);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return CreateDirectoryW(target.c_str(), nullptr) != FALSE;
    // The user's file at the target gives way only to a whole copy: the copy is
    // written beside it and then takes its name, so a copy that fails (a full
    // disk, a destination gone) leaves the file as it was. The failure lines
    // name the target, the file the user knows.
    const std::wstring partial = PartialRestorePath(target);
    if (!copyFileFunction(source.c_str(), partial.c_str(), CopyProgressRoutine, CopyContext(), CopyCancelFlag(),
                          COPY_FILE_FAIL_IF_EXISTS)) {
        const DWORD code = GetLastError();
        // A file that already bore the name is not this copy's to remove.
        if (code != ERROR_FILE_EXISTS)
            RemovePartialRestore(partial);
        LogCopyFailure(source, target, code);
        return false;
    }
    if (!MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // A target in use, a read-only one (Windows refuses to replace it) or a folder.
        const DWORD code = GetLastError();
        RemovePartialRestore(partial);
        LogCopyFailure(source, target, code);
        return false;
    }
    return true;
}

DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                                   HANDLE, LPVOID context)
{
    if (context != nullptr && *static_cast<volatile BOOL*>(context) != 0) {
        LogMessageW(L"Aborting file copy");
        return PROGRESS_CANCEL;
    }
    return PROGRESS_CONTINUE;
}
