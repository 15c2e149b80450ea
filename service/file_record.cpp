#include "file_record.h"

#include "folders.h"
#include "globals.h"
#include "log.h"
#include "service_state.h"
#include "text.h"

void (*walkRecordObserver)(const FileRecord& record) = nullptr;
FileIdFunction fileIdFunction = GetFileId;

// Stored stamps hold whole seconds, so listed times are cut to them too; a
// time the calendar cannot hold is kept as it is.
static FILETIME WholeSeconds(const FILETIME& time)
{
    FILETIME whole = time;
    SYSTEMTIME calendar = {};
    if (FileTimeToSystemTime(&time, &calendar)) {
        calendar.wMilliseconds = 0;
        SystemTimeToFileTime(&calendar, &whole);
    }
    return whole;
}

FileRecord::FileRecord()
    : lastWrite(),
      attributes(0),
      moved(0),
      unchanged(0),
      added(0),
      modified(0),
      size(0),
      selfId(0),
      parentId(0),
      oldParentId(0),
      volumeId(0)
{
}

FileRecord::FileRecord(std::string path, FILETIME lastWrite, uint32_t attributes, uint64_t selfId,
                       uint64_t parentId, std::string name, uint64_t size, uint64_t volumeId)
    : path(path),
      name(name),
      lastWrite(WholeSeconds(lastWrite)),
      attributes(attributes),
      moved(0),
      unchanged(0),
      added(0),
      modified(0),
      size(size),
      selfId(selfId),
      parentId(parentId),
      oldParentId(0),
      volumeId(volumeId)
{
}

uint64_t GetFileId(std::string path, uint64_t& volumeId, FileHandleFacts* facts)
{
    std::wstring widePath;
    Utf8ToWide(path, widePath, CP_UTF8);
    HANDLE handle = CreateFileW(MakeLongPath(widePath).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t id = 0;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (GetFileInformationByHandle(handle, &information)) {
        id = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        volumeId = information.dwVolumeSerialNumber;
        if (facts != nullptr) {
            facts->size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
            facts->lastWrite = WholeSeconds(information.ftLastWriteTime);
        }
    }
    CloseHandle(handle);
    return id;
}

namespace {

wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameAsciiCase(const std::wstring& text, size_t at, const std::wstring& piece)
{
    if (text.size() - at < piece.size())
        return false;
    for (size_t i = 0; i < piece.size(); ++i) {
        if (LowerAscii(text[at + i]) != LowerAscii(piece[i]))
            return false;
    }
    return true;
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

}  // namespace

bool IsPartialRestoreName(const std::wstring& name)
{
    const std::wstring head = L"~" + serviceName + L"-restore-";
    const std::wstring tail = L".partial";
    const size_t uuidLength = 36;
    if (name.size() != head.size() + uuidLength + tail.size() || !SameAsciiCase(name, 0, head) ||
        !SameAsciiCase(name, head.size() + uuidLength, tail))
        return false;
    for (size_t i = 0; i < uuidLength; ++i) {
        const wchar_t c = name[head.size() + i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != L'-' : !IsHexDigit(c))
            return false;
    }
    return true;
}

std::string KindText(uint32_t attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "Folder" : "File";
}

namespace {

void Classify(const KnownFileMap& known, FileRecord& record, bool isFolder)
{
    KnownFileMap::const_iterator stored = known.find(IdentityOf(record));
    if (stored == known.end()) {
        record.added = 1;
        return;
    }
    const FileRecord& before = stored->second;
    if (ToLowerAscii(record.name) != ToLowerAscii(before.name) || record.parentId != before.parentId) {
        record.moved = 1;
        record.oldPath = before.path;
        record.oldParentId = before.parentId;
    }
    if (isFolder) {
        if (!record.moved)
            record.unchanged = 1;
        return;
    }
    if (CompareFileTime(&before.lastWrite, &record.lastWrite) != 0 || before.size != record.size)
        record.modified = 1;
    if (!record.moved && !record.modified)
        record.unchanged = 1;
}

// A name of a file that another name in this walk already stands for: the file
// is stored through that one, so this name asks for nothing.
void NotStoredAgain(FileRecord& record)
{
    record.added = 0;
    record.moved = 0;
    record.modified = 0;
    record.unchanged = 1;
    record.oldPath.clear();
    record.oldParentId = 0;
}

// The entries met so far in one walk, by identity: where in the list lies the
// name that stands for each, and what the entry's handle told of it.
struct MetName {
    size_t index;
    FileHandleFacts facts;
};
typedef std::map<FileIdentity, MetName> MetIdentities;

// Whether a repeated identity is another name of the entry met first: two
// files when what their handles tell of size and last-write time agrees (the
// file's own record, which every name shares; the listing of a name may show
// stale values), two folders always. Two different files can share one
// identity too (volumes with one serial number, such as cloned disks); those
// differ in size or time and are classified each on its own, which may store
// more than needed but leaves no file unstored. A folder record stores no
// content, and the walk still descends into every folder it takes for another
// name, so its files are classified on their own.
bool AnotherName(const FileRecord& standing, const FileHandleFacts& standingFacts, const FileRecord& record,
                 const FileHandleFacts& facts)
{
    const bool standingFolder = (standing.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool recordFolder = (record.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (standingFolder || recordFolder)
        return standingFolder && recordFolder;
    return standingFacts.size == facts.size && CompareFileTime(&standingFacts.lastWrite, &facts.lastWrite) == 0;
}

bool ListingUpToDate(const FileRecord& record, const FileHandleFacts& facts)
{
    return record.size == facts.size && CompareFileTime(&record.lastWrite, &facts.lastWrite) == 0;
}

// The name that stands for a file may show a stale listing while another name
// shows the file as it is (after an edit through that one): the file is then
// classified and recorded by the up-to-date listing, so that the edit is
// stored, and stored once.
void TakeUpToDateListing(FileRecord& standing, const FileRecord& other, const FileHandleFacts& facts)
{
    if ((standing.attributes & FILE_ATTRIBUTE_DIRECTORY) || ListingUpToDate(standing, facts) ||
        !ListingUpToDate(other, facts))
        return;
    standing.size = other.size;
    standing.lastWrite = other.lastWrite;
    // Both names were classified against the one stored record of the file.
    if (standing.added)
        return;
    standing.modified = other.modified;
    standing.unchanged = !standing.moved && !standing.modified;
}

// Hard links (and folders reached again through a link) give one file several
// names with one index. Classified on their own, each name other than the
// recorded one is a move, and the names would take turns being stored at every
// pass. One name stands for the file: the recorded one when it is still there
// (it is the one not marked moved), otherwise the first met.
void StandForIdentity(MetIdentities& met, ScanList& found, FileRecord& record, const FileHandleFacts& facts)
{
    MetName name;
    name.index = found.size();
    name.facts = facts;
    const std::pair<MetIdentities::iterator, bool> entry = met.insert(std::make_pair(IdentityOf(record), name));
    if (entry.second)
        return;
    FileRecord& standing = found[entry.first->second.index];
    if (!AnotherName(standing, entry.first->second.facts, record, facts))
        return;
    if (standing.moved && !record.moved) {
        TakeUpToDateListing(record, standing, facts);
        NotStoredAgain(standing);
        entry.first->second.index = found.size();
    } else {
        TakeUpToDateListing(standing, record, facts);
        NotStoredAgain(record);
    }
}

// One folder being listed. The walk keeps these on the heap rather than
// recursing, so the depth of a tree never bears on the thread's stack.
struct Level {
    HANDLE find;
    std::string folder;
    uint64_t id;
    uint64_t volumeId;
    bool pending;  // data holds an entry not yet handled
    WIN32_FIND_DATAW data;
};

bool OpenListing(const std::string& folder, Level& level)
{
    std::wstring wideFolder;
    Utf8ToWide(folder, wideFolder, CP_UTF8);
    level.find = FindFirstFileW((MakeLongPath(wideFolder) + L"\\*.*").c_str(), &level.data);
    if (level.find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LogMessageW(L"%s could not be scanned. Win32 Error Code %lu", wideFolder.c_str(), error);
        return false;
    }
    level.folder = folder;
    level.pending = true;
    return true;
}

// A folder that is already being listed further up is a link back into the
// tree: following it would never end.
bool OnDescentPath(const std::vector<Level>& levels, uint64_t id, uint64_t volumeId)
{
    for (const Level& level : levels) {
        if (level.id == id && level.volumeId == volumeId)
            return true;
    }
    return false;
}

bool StopNow(const uint8_t* abort)
{
    return StopRequested() || (abort != nullptr && *abort != 0);
}

}  // namespace

bool WalkFolder(const KnownFileMap& known, ScanList& found, std::string folder, const uint8_t* abort,
                PassedOverFolder* passOver)
{
    // A drive root D:\ is walked as D:, so entry paths come out as D:\name.
    // Its identity is read from D:\, the root folder: the bare \\?\D: names the
    // volume device, which is no folder.
    std::string identityPath = folder;
    if (folder.size() == 3 && folder[1] == ':') {
        folder.resize(2);
        identityPath = folder + "\\";
    } else if (folder.size() == 2 && folder[1] == ':') {
        identityPath = folder + "\\";
    }

    uint64_t rootVolume = 0;
    const uint64_t rootId = fileIdFunction(identityPath, rootVolume, nullptr);
    if (rootId == 0)
        return false;

    MetIdentities met;
    std::vector<Level> levels;
    Level root;
    root.id = rootId;
    root.volumeId = rootVolume;
    if (!OpenListing(folder, root))
        return false;
    levels.push_back(root);

    while (!levels.empty()) {
        Level& level = levels.back();
        if (!level.pending) {
            // The end of the listing or any other failure ends this folder.
            if (!FindNextFileW(level.find, &level.data)) {
                FindClose(level.find);
                levels.pop_back();
                continue;
            }
            level.pending = true;
        }
        if (StopNow(abort))
            break;
        level.pending = false;

        const WIN32_FIND_DATAW& data = level.data;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && (_wcsicmp(data.cFileName, L".") == 0 || _wcsicmp(data.cFileName, L"..") == 0))
            continue;

        std::string name;
        WideToUtf8(data.cFileName, name, CP_UTF8);
        const std::string entryPath = level.folder + "\\" + name;
        if (!isFolder && IsPartialRestoreName(data.cFileName)) {
            LogMessageA("%s",
                        ("WalkFolder() " + entryPath + " is a partial restore copy and is not backed up").c_str());
            continue;
        }
        uint64_t volumeId = 0;
        FileHandleFacts facts;
        const uint64_t id = fileIdFunction(entryPath, volumeId, &facts);
        if (!isFolder)
            LogMessageA("%s File ID %I64u, Volume ID %I64u", entryPath.c_str(), id, volumeId);
        if (id == 0)
            continue;
        if (isFolder && OnDescentPath(levels, id, volumeId))
            continue;
        if (isFolder && passOver != nullptr && passOver->identity.selfId != 0 &&
            passOver->identity == FileIdentity(volumeId, id)) {
            if (passOver->metAt.empty())
                passOver->metAt = entryPath;
            continue;
        }

        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        FileRecord record(entryPath, data.ftLastWriteTime, data.dwFileAttributes, id, level.id, name, size,
                          volumeId);
        Classify(known, record, isFolder);
        StandForIdentity(met, found, record, facts);
        found.push_back(record);
        if (walkRecordObserver != nullptr)
            walkRecordObserver(record);

        if (isFolder) {
            Level child;
            child.id = id;
            child.volumeId = volumeId;
            // A subfolder that cannot be listed keeps its record; its parent goes on.
            if (OpenListing(entryPath, child))
                levels.push_back(child);  // level is not used past this point
        }
    }

    // A stop leaves every open listing behind; close them all.
    for (Level& level : levels)
        FindClose(level.find);
    return true;
}
