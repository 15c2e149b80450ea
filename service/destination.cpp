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
// The backup walk passes over exactly this name (IsPartialRestoreName).
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
    // Only a partial copy that is there and stays is worth a line: a cancelled
    // copy has removed it already, and a copy into a folder that is missing or
    // no folder at all never made one.
    if (GetFileAttributesW(partial.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    const std::wstring line = FormatWString(
        L"RestoreFile() Could not remove the partial copy \"%s\". The error is %s, code %lu", partial.c_str(),
        Win32ErrorTextW(code).c_str(), code);
    LogMessageW(L"%s", line.c_str());
}

static bool IsLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

static void LogLinkRefused(const std::wstring& link, const std::wstring& target)
{
    LogMessageW(L"%s", FormatWString(L"RestoreFile() \"%s\" is a junction or symbolic link: nothing is restored "
                                     L"through it to \"%s\"",
                                     link.c_str(), target.c_str())
                           .c_str());
}

enum TargetFolders { foldersReady, foldersLeadThroughLink, foldersMissing };

// The service writes with rights the user lacks, so a folder below the chosen
// one that the user turned into a junction or symbolic link would take the
// restore anywhere. Those folders are made one at a time, and each, made or
// found, is looked at before anything goes into it. The chosen folder and the
// folders above it are the administrator's choice and are followed.
static TargetFolders MakeTargetFolders(const std::wstring& target, size_t chosenLength, DWORD& code)
{
    CreateDirectoryPath(target.substr(0, chosenLength + 1));
    for (size_t slash = target.find(L'\\', chosenLength + 1); slash != std::wstring::npos;
         slash = target.find(L'\\', slash + 1)) {
        // An empty piece names the folder before it once more, the chosen one included.
        if (target[slash - 1] == L'\\')
            continue;
        const std::wstring folder = target.substr(0, slash);
        CreateDirectoryW(folder.c_str(), nullptr);
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            code = GetLastError();
            return foldersMissing;
        }
        if (IsLink(attributes)) {
            LogLinkRefused(folder, target);
            return foldersLeadThroughLink;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            code = ERROR_PATH_NOT_FOUND;
            return foldersMissing;
        }
    }
    return foldersReady;
}

// Whether the restored content may be written into the file at the target, so
// that it stays the file it is: not when it has other names too, since writing
// would change it there as well (a hard link to a file the user may not write).
static bool WritableInPlace(const std::wstring& target, BY_HANDLE_FILE_INFORMATION& information)
{
    HANDLE file = CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const BOOL known = GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    return known && information.nNumberOfLinks == 1 &&
           !(information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

static bool UnchangedSince(const std::wstring& target, const BY_HANDLE_FILE_INFORMATION& before)
{
    WIN32_FILE_ATTRIBUTE_DATA now;
    return GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &now) &&
           now.nFileSizeHigh == before.nFileSizeHigh && now.nFileSizeLow == before.nFileSizeLow &&
           CompareFileTime(&now.ftLastWriteTime, &before.ftLastWriteTime) == 0;
}

// A recorded folder, made at the target. One that is there already is no
// failure worth a line (the result is false all the same).
static bool MakeRecordedFolder(const std::wstring& target, bool foldersReady, DWORD code)
{
    if (foldersReady) {
        if (CreateDirectoryW(target.c_str(), nullptr))
            return true;
        code = GetLastError();
        const DWORD existing = GetFileAttributesW(target.c_str());
        if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY))
            return false;
    }
    LogMessageW(L"%s", FormatWString(L"RestoreFile() Could not make the folder \"%s\". The error is %s, code %lu",
                                     target.c_str(), Win32ErrorTextW(code).c_str(), code)
                           .c_str());
    return false;
}

bool RestoreFile(std::wstring source, std::wstring target, uint64_t attributes, uint64_t recordedSize,
                 size_t chosenLength)
{
    if (chosenLength > target.size())
        chosenLength = target.size();
    DWORD folderCode = 0;
    const TargetFolders folders = MakeTargetFolders(target, chosenLength, folderCode);
    if (folders == foldersLeadThroughLink)
        return false;
    const DWORD existing = GetFileAttributesW(target.c_str());
    if (target.size() > chosenLength && IsLink(existing)) {
        LogLinkRefused(target, target);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return MakeRecordedFolder(target, folders == foldersReady, folderCode);
    // The failure lines name the target, the file the user knows.
    if (folders == foldersMissing) {
        LogCopyFailure(source, target, folderCode);
        return false;
    }
    // The user's file at the target gives way only to a whole copy: the copy is
    // written beside it first, so a copy that fails (a full disk, a destination
    // gone) leaves the file as it was.
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
    // A stored copy cut short at the destination is no version of the user's
    // file; where there is none, part of it may be all that is left.
    WIN32_FILE_ATTRIBUTE_DATA copied;
    const bool copiedKnown = GetFileAttributesExW(partial.c_str(), GetFileExInfoStandard, &copied) != FALSE;
    if (copiedKnown) {
        const uint64_t size = (static_cast<uint64_t>(copied.nFileSizeHigh) << 32) | copied.nFileSizeLow;
        if (size < recordedSize) {
            LogMessageW(L"%s", FormatWString(L"RestoreFile() The stored copy \"%s\" for \"%s\" is damaged: it holds "
                                             L"%I64u bytes where its row records %I64u. It replaces no existing file",
                                             source.c_str(), target.c_str(), size, recordedSize)
                                   .c_str());
            if (existing != INVALID_FILE_ATTRIBUTES) {
                RemovePartialRestore(partial);
                return false;
            }
        }
    }
    // A file that is there keeps its identity, and with it its history in the
    // backup: the whole copy, made first, is written into it. Where that write
    // fails, the whole copy takes its name instead, or, where even that fails,
    // stays beside it under its own name. A kill while the copy is written into
    // the file (the service ended from outside, the machine off) can leave the
    // file part-written or empty, with the whole version in the partial copy;
    // no call of XP rewrites a file in one step and keeps its identity.
    BY_HANDLE_FILE_INFORMATION before;
    const bool inPlace = existing != INVALID_FILE_ATTRIBUTES && WritableInPlace(target, before);
    DWORD inPlaceCode = 0;
    if (inPlace) {
        if (copyFileFunction(partial.c_str(), target.c_str(), CopyProgressRoutine, CopyContext(), CopyCancelFlag(),
                             0)) {
            // Wine's copy onto a file that exists leaves that file's attributes.
            if (copiedKnown)
                SetFileAttributesW(target.c_str(), copied.dwFileAttributes);
            RemovePartialRestore(partial);
            return true;
        }
        inPlaceCode = GetLastError();
    }
    if (!MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // A target in use, a read-only one (Windows refuses to replace it) or a folder.
        const DWORD code = GetLastError();
        if (!inPlace || UnchangedSince(target, before)) {
            RemovePartialRestore(partial);
        } else {
            // The copy into the file may have left it part-written: the whole copy is what the user needs now.
            LogMessageW(L"%s", FormatWString(L"RestoreFile() \"%s\" may be left part-written; the whole restored "
                                             L"version stays in \"%s\"",
                                             target.c_str(), partial.c_str())
                                   .c_str());
        }
        LogCopyFailure(source, target, code);
        return false;
    }
    if (inPlace)
        LogMessageW(L"%s", FormatWString(L"RestoreFile() Could not write the restored version into \"%s\". The error "
                                         L"is %s, code %lu. The whole copy has taken its name as a new file",
                                         target.c_str(), Win32ErrorTextW(inPlaceCode).c_str(), inPlaceCode)
                               .c_str());
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
