#pragma once
// One scanned or stored file or folder, and the folder walk that classifies
// entries by file identity against the stored state.
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct FileRecord {
    std::string path;       // UTF-8, watched folder + "\" + names
    std::string oldPath;    // for a moved entry: the stored path
    std::string name;       // last path component
    FILETIME lastWrite;     // UTC, whole seconds
    std::string localPath;  // stored copy at the destination
    uint32_t attributes;
    uint8_t moved;
    uint8_t unchanged;
    uint8_t added;
    uint8_t modified;
    uint64_t size;
    uint64_t selfId;
    uint64_t parentId;
    uint64_t oldParentId;
    uint64_t volumeId;

    FileRecord();
    FileRecord(std::string path, FILETIME lastWrite, uint32_t attributes, uint64_t selfId,
               uint64_t parentId, std::string name, uint64_t size, uint64_t volumeId);
};

// One file or folder: the serial number of its volume and its file index. The
// index alone is not enough: another volume may give another file the same one.
struct FileIdentity {
    uint64_t volumeId;
    uint64_t selfId;
    FileIdentity(uint64_t volumeId, uint64_t selfId) : volumeId(volumeId), selfId(selfId) {}
    bool operator<(const FileIdentity& other) const
    {
        return volumeId != other.volumeId ? volumeId < other.volumeId : selfId < other.selfId;
    }
    bool operator==(const FileIdentity& other) const
    {
        return volumeId == other.volumeId && selfId == other.selfId;
    }
};
inline FileIdentity IdentityOf(const FileRecord& record) { return FileIdentity(record.volumeId, record.selfId); }

typedef std::map<FileIdentity, FileRecord> KnownFileMap;
typedef std::vector<FileRecord> ScanList;

// What the file's own record holds of its size and last-write time, the same
// through every name of the file. A folder listing shows instead what the
// folder entry of each name caches, which NTFS brings up to date only for the
// name the file was written through.
struct FileHandleFacts {
    uint64_t size;
    FILETIME lastWrite;  // UTC, whole seconds, as a record's
    FileHandleFacts() : size(0), lastWrite() {}
};

// File index of the entry (0: no identity); on success writes the volume
// serial and, when facts is not null, what the entry's handle tells of it.
uint64_t GetFileId(std::string path, uint64_t& volumeId, FileHandleFacts* facts = nullptr);
std::string KindText(uint32_t attributes);  // "Folder" or "File"
// A folder that the walk passes over, neither recorded nor entered: the
// destination's VarnBack folder when a watched folder holds it, whose stored
// copies must not be stored again. Known by identity, so that any path that
// leads to it (other letter case, a share name, a link) is caught.
struct PassedOverFolder {
    FileIdentity identity;  // index 0: no folder to pass over
    std::string metAt;      // where the walk came upon it; empty when it did not
    PassedOverFolder() : identity(0, 0) {}
};

// Whether a file name is the one the service's restore gives the copy it writes
// beside its target before the copy takes the target's name:
// "~VarnBack-restore-" + a UUID text (8-4-4-4-12 hexadecimal digits) +
// ".partial", the fixed parts in any ASCII letter case. The walk stores no such
// file: a restore cut short leaves it behind, and it is no file of the user's.
bool IsPartialRestoreName(const std::wstring& name);

bool WalkFolder(const KnownFileMap& known, ScanList& found, std::string folder, const uint8_t* abort,
                PassedOverFolder* passOver = nullptr);

// Test seam: when set, called with each record right after the walk appended it.
// Null in the service.
extern void (*walkRecordObserver)(const FileRecord& record);
// The identity query behind the walk (GetFileId in the service); tests replace
// it to give two different files one identity, as two volumes with one serial
// number give them, or one file's names listings that disagree.
typedef uint64_t (*FileIdFunction)(std::string path, uint64_t& volumeId, FileHandleFacts* facts);
extern FileIdFunction fileIdFunction;
