#include <doctest/doctest.h>

#include <algorithm>
#include <set>

#include "change_processing.h"
#include "folders.h"
#include "destination.h"
#include "file_record.h"
#include "file_rows.h"
#include "service_backup_fixture.h"

using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::MachineFolder;
using backup_test::Row;
using backup_test::ServiceState;
using backup_test::StoredNames;

namespace {

const std::string frame(47, '*');

FILETIME Time(int second)
{
    SYSTEMTIME system = {2024, 3, 0, 5, 10, 20, static_cast<WORD>(second), 0};
    FILETIME time;
    SystemTimeToFileTime(&system, &time);
    return time;
}

FileRecord Record(const std::wstring& path, uint64_t selfId, uint64_t parentId, uint32_t attributes, int second = 1)
{
    const std::string utf8 = test::Utf8(path);
    return FileRecord(utf8, Time(second), attributes, selfId, parentId, utf8.substr(utf8.rfind('\\') + 1), 3,
                      0x43000000);
}

// Checks that the pieces appear in the text in this order.
void CheckInOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    size_t at = 0;
    for (const std::string& piece : pieces) {
        CAPTURE(piece);
        const size_t found = text.find(piece, at);
        CHECK(found != std::string::npos);
        if (found != std::string::npos)
            at = found + piece.size();
    }
}

KnownFileMap Known(std::initializer_list<FileRecord> records)
{
    KnownFileMap known;
    for (const FileRecord& record : records)
        known[IdentityOf(record)] = record;
    return known;
}

// The rows of a file index: on every volume, or on the one given.
std::vector<Row> RowsOf(uint64_t selfId, const uint64_t* volumeId = nullptr)
{
    std::vector<Row> rows;
    for (const Row& row : FileRows(databaseConnection))
        if (row.selfId == selfId && (volumeId == nullptr || row.volumeId == *volumeId))
            rows.push_back(row);
    return rows;
}

}  // namespace

TEST_CASE("one call logs the change list and stores one version per mark")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    state.settings.Set(L"Destination", dest.path());
    test::WriteFileBytes(source / L"a 100%.txt", "new file");
    test::WriteFileBytes(source / L"b2.txt", "renamed and edited");
    test::WriteFileBytes(source / L"c.txt", "same");
    CreateDirectoryW((source / L"d").c_str(), nullptr);

    FileRecord added = Record(source / L"a 100%.txt", 0x11, 0x10, FILE_ATTRIBUTE_ARCHIVE);
    added.added = 1;
    FileRecord both = Record(source / L"b2.txt", 0x1A2B, 0x20, FILE_ATTRIBUTE_ARCHIVE, 9);
    both.moved = 1;
    both.modified = 1;
    both.oldPath = test::Utf8(source / L"b.txt");
    both.oldParentId = 0x10;
    FileRecord same = Record(source / L"c.txt", 0x13, 0x10, FILE_ATTRIBUTE_ARCHIVE);
    same.unchanged = 1;
    FileRecord folder = Record(source / L"d", 0x14, 0x10, FILE_ATTRIBUTE_DIRECTORY);
    folder.added = 1;
    const ScanList found = {added, both, same, folder};

    FileRecord gone = Record(source / L"e.txt", 0x15, 0x10, FILE_ATTRIBUTE_ARCHIVE);
    gone.localPath = "\\\\?\\" + test::Utf8(MachineFolder(dest.path())) + "\\stored-e";
    InsertFileRow(gone);
    KnownFileMap known = Known({Record(source / L"b.txt", 0x1A2B, 0x10, FILE_ATTRIBUTE_ARCHIVE), same, gone});
    KnownFileMap current = Known({Record(source / L"z.txt", 0x99, 0x10, FILE_ATTRIBUTE_ARCHIVE)});

    ProcessChanges(found, current, known);

    const std::string a = test::Utf8(source / L"a 100%.txt");
    const std::string b = test::Utf8(source / L"b2.txt");
    const std::string log = state.log.text();
    CheckInOrder(log, {" Logging in\r\n", " Log on complete\r\n", " " + frame + "\r\n", " Change List\r\n",
                       " " + frame + "\r\n", " File " + a + " was Added\r\n",
                       " File " + test::Utf8(source / L"e.txt") + " was deleted\r\n\r\n", " Could not delete file",
                       " File " + a + " was Added\r\n", " Copied file \"" + a + "\"", " Attempting to add " + a,
                       " File " + b + " was moved/renamed from \r\n" + test::Utf8(source / L"b.txt") + "\r\nto " + b +
                           "\r\n file id 1A2B, old parent ID  10, PID i20\r\n",
                       " Copied file \"" + b + "\"", " File " + b + " was modified\r\n", " Copied file \"" + b + "\"",
                       " Folder " + test::Utf8(source / L"d") + " was Added\r\n", " " + frame + "\r\n",
                       " Logging off, not a UNC path\r\n"});
    CHECK(CountOf(log, " was Added\r\n") == 4);
    CHECK(CountOf(log, "c.txt was") == 0);

    // Moved and modified: two copies, two rows that differ only in localpath.
    const std::vector<Row> bRows = RowsOf(0x1A2B);
    REQUIRE(bRows.size() == 2);
    CHECK(bRows[0].localPath != bRows[1].localPath);
    CHECK(bRows[0].path == bRows[1].path);
    CHECK(bRows[0].modificationTime == bRows[1].modificationTime);
    for (const Row& row : bRows)
        CHECK(test::ReadFileBytes(test::Wide(row.localPath)) == "renamed and edited");
    REQUIRE(RowsOf(0x11).size() == 1);
    CHECK(test::ReadFileBytes(test::Wide(RowsOf(0x11)[0].localPath)) == "new file");
    REQUIRE(RowsOf(0x14).size() == 1);
    CHECK_FALSE(test::FileExists(test::Wide(RowsOf(0x14)[0].localPath)));
    CHECK(RowsOf(0x13).empty());
    CHECK(RowsOf(0x15).size() == 1);  // its stored copy could not be removed
    CHECK(StoredNames(MachineFolder(dest.path())).size() == 3);

    CHECK(current.empty());
    CHECK(known.size() == 4);
    CHECK(known.count(IdentityOf(gone)) == 0);
    CHECK(known[IdentityOf(both)].path == b);
}

TEST_CASE("the rows of a gone entry go only when its mirrored file was deleted")
{
    ServiceState state;
    test::TempFolder dest(L"dest");
    state.settings.Set(L"Destination", dest.path());
    const std::wstring machine = MachineFolder(dest.path());
    FileRecord mirrored = Record(L"C:\\old\\m.txt", 0x21, 0x20, FILE_ATTRIBUTE_ARCHIVE);
    FileRecord missing = Record(L"C:\\old\\n.txt", 0x22, 0x20, FILE_ATTRIBUTE_ARCHIVE);
    InsertFileRow(mirrored);
    InsertFileRow(missing);
    CreateDirectoryPath(machine + L"\\old\\");
    REQUIRE(test::WriteFileBytes(machine + L"\\old\\m.txt", "m"));
    KnownFileMap known = Known({mirrored, missing});
    KnownFileMap current;
    ProcessChanges(ScanList(), current, known);
    CHECK(RowsOf(0x21).empty());
    CHECK(RowsOf(0x22).size() == 1);
    CHECK(known.empty());
}

TEST_CASE("a stop set before the call handles no record")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    state.settings.Set(L"Destination", dest.path());
    test::WriteFileBytes(source / L"a.txt", "a");
    FileRecord added = Record(source / L"a.txt", 0x31, 0x30, FILE_ATTRIBUTE_ARCHIVE);
    added.added = 1;
    InsertFileRow(Record(L"C:\\gone.txt", 0x32, 0x30, FILE_ATTRIBUTE_ARCHIVE));
    KnownFileMap known = Known({Record(L"C:\\gone.txt", 0x32, 0x30, FILE_ATTRIBUTE_ARCHIVE)});
    KnownFileMap current;
    state.stop = 1;
    ProcessChanges(ScanList{added}, current, known);
    const std::string log = state.log.text();
    CheckInOrder(log, {" Logging in\r\n", " Log on complete\r\n", " Change List\r\n", " " + frame + "\r\n",
                       " " + frame + "\r\n", " Logging off, not a UNC path\r\n"});
    CHECK(CountOf(log, " was ") == 0);
    CHECK(FileRows(databaseConnection).size() == 1);
    CHECK(StoredNames(MachineFolder(dest.path())).empty());
}

namespace {

const std::wstring shareRoot = L"\\\\backupsrv\\bk";

// A new file s.txt and a stored entry C:\data\f.txt whose source is gone, handed
// to one call against the share destination as set.
struct ShareCall {
    ServiceState state;
    test::TempFolder source{L"src"};
    FileRecord added;
    FileRecord gone;

    explicit ShareCall(const std::wstring& destination)
    {
        state.settings.Set(L"Destination", destination);
        REQUIRE(test::WriteFileBytes(source / L"s.txt", "new"));
        added = Record(source / L"s.txt", 0x41, 0x40, FILE_ATTRIBUTE_ARCHIVE);
        added.added = 1;
        gone = Record(L"C:\\data\\f.txt", 0x42, 0x40, FILE_ATTRIBUTE_ARCHIVE);
        gone.localPath = "\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\PC\\stored-f";
        REQUIRE(InsertFileRow(gone));
        REQUIRE(InsertFileRow(gone));
    }
    void Run()
    {
        KnownFileMap known = Known({gone});
        KnownFileMap current;
        ProcessChanges(ScanList{added}, current, known);
    }
};

}  // namespace

TEST_CASE("a share that cannot be connected but can be reached is worked in at its machine folder only")
{
    // Wine's WNetAddConnection2W fails for every share, while the mapped share stays reachable.
    REQUIRE(test::FileExists(shareRoot));
    ShareCall call(shareRoot);
    REQUIRE(CreateDirectoryW((shareRoot + L"\\data").c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(shareRoot + L"\\data\\f.txt", "the user's own file"));
    call.Run();

    CHECK(test::ReadFileBytes(shareRoot + L"\\data\\f.txt") == "the user's own file");
    CHECK(RowsOf(0x42).size() == 2);
    const std::vector<Row> rows = RowsOf(0x41);
    REQUIRE(rows.size() == 1);
    const std::string machine = "\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\" + test::Utf8(GetComputerNameString()) + "\\";
    CHECK(rows[0].localPath.compare(0, machine.size(), machine) == 0);
    CHECK(test::ReadFileBytes(test::Wide(rows[0].localPath)) == "new");
    std::vector<std::wstring> top = test::ListFolder(shareRoot);
    std::sort(top.begin(), top.end());
    CHECK(top == std::vector<std::wstring>{L"VarnBack", L"data"});
    CHECK(connectionCount == 0);
    test::RemoveTree(shareRoot + L"\\VarnBack");
    test::RemoveTree(shareRoot + L"\\data");
}

TEST_CASE("a share that can be neither connected nor reached leaves copies and removals to a later pass")
{
    ShareCall call(L"\\\\varn-nohost\\bk");
    call.Run();
    CHECK(RowsOf(0x41).empty());
    CHECK(RowsOf(0x42).size() == 2);
    const std::string log = call.state.log.text();
    CheckInOrder(log, {" Log on complete\r\n",
                       " ProcessChanges() The destination cannot be reached: copies and removals are left to a "
                       "later pass\r\n",
                       " Change List\r\n", " was deleted\r\n", " was Added\r\n", " " + frame + "\r\n"});
    CHECK(CountOf(log, "Could not copy file") == 0);
    CHECK(CountOf(log, "Could not delete file") == 0);
    CHECK(connectionCount == 0);
}

namespace {

// One pass over a folder as the watcher runs it: rows, walk, change processing.
void PassOver(const std::wstring& folder)
{
    KnownFileMap known, current;
    ScanList found;
    REQUIRE(LoadKnownFiles(known, test::Utf8(folder)));
    REQUIRE(WalkFolder(known, found, test::Utf8(folder), nullptr));
    ProcessChanges(found, current, known);
}

// A source folder and a local destination for passes over it.
struct LocalPasses {
    ServiceState state;
    test::TempFolder source{L"src"};
    test::TempFolder dest{L"dest"};
    const std::wstring machine = MachineFolder(dest.path());
    LocalPasses() { state.settings.Set(L"Destination", dest.path()); }
    void Pass() { PassOver(source.path()); }
};

}  // namespace

TEST_CASE("a file with several names is stored once per change, not once per name")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    state.settings.Set(L"Destination", dest.path());
    const std::wstring machine = MachineFolder(dest.path());
    REQUIRE(CreateDirectoryW((source / L"sub").c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(source / L"a.txt", "one file"));
    REQUIRE(CreateHardLinkW((source / L"sub\\b.txt").c_str(), (source / L"a.txt").c_str(), nullptr));
    uint64_t volume = 0;
    const uint64_t id = GetFileId(test::Utf8(source / L"a.txt"), volume);
    REQUIRE(id != 0);

    for (int pass = 0; pass < 4; ++pass)
        PassOver(source.path());
    CHECK(RowsOf(id).size() == 1);
    CHECK(StoredNames(machine).size() == 1);

    // An edit through either name is one new version.
    REQUIRE(test::WriteFileBytes(source / L"sub\\b.txt", "one file, edited"));
    for (int pass = 0; pass < 3; ++pass)
        PassOver(source.path());
    std::vector<Row> rows = RowsOf(id);
    REQUIRE(rows.size() == 2);
    CHECK(test::ReadFileBytes(test::Wide(rows[1].localPath)) == "one file, edited");
    CHECK(StoredNames(machine).size() == 2);

    // The recorded name goes: one version under the name that remains.
    const std::string recorded = rows[1].path;
    REQUIRE(DeleteFileW(test::Wide(recorded).c_str()));
    for (int pass = 0; pass < 3; ++pass)
        PassOver(source.path());
    rows = RowsOf(id);
    REQUIRE(rows.size() == 3);
    CHECK(rows[2].path != recorded);
    CHECK(test::FileExists(test::Wide(rows[2].path)));
    CHECK(StoredNames(machine).size() == 3);
}

TEST_CASE("a copy whose row cannot be added is removed again, and the folder's other copies wait")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    state.settings.Set(L"Destination", dest.path());
    const std::wstring machine = MachineFolder(dest.path());
    ScanList found;
    for (uint64_t i = 0; i < 3; ++i) {
        const std::wstring path = source / (L"f" + std::to_wstring(i) + L".txt");
        REQUIRE(test::WriteFileBytes(path, "content"));
        found.push_back(Record(path, 0x51 + i, 0x50, FILE_ATTRIBUTE_ARCHIVE));
        found.back().added = 1;
    }
    // Another program reads the database for longer than the service waits.
    sqlite3* reader = nullptr;
    REQUIRE(sqlite3_open(databasePath.c_str(), &reader) == SQLITE_OK);
    REQUIRE(sqlite3_exec(reader, "begin; select count(*) from filelist;", nullptr, nullptr, nullptr) == SQLITE_OK);
    KnownFileMap known, current;
    ProcessChanges(found, current, known);
    sqlite3_exec(reader, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(reader);

    CHECK(FileRows(databaseConnection).empty());
    CHECK(test::ListFolder(machine).empty());
    const std::string log = state.log.text();
    CHECK(CountOf(log, " Could not add file to the database: 5\r\n") == 1);
    CheckInOrder(log, {" Copied file \"" + found[0].path + "\" to \"\\\\?\\" + test::Utf8(machine) + "\\",
                       " Could not add file to the database: 5\r\n",
                       " Removed the stored copy \"\\\\?\\" + test::Utf8(machine) + "\\",
                       " ProcessChanges() A row could not be added: the remaining copies of this folder are left "
                       "to a later pass\r\n",
                       " File " + found[2].path + " was Added\r\n", " " + frame + "\r\n"});
    CHECK(CountOf(log, " Copied file ") == 1);

    // The next pass stores them all.
    ProcessChanges(found, current, known);
    CHECK(FileRows(databaseConnection).size() == 3);
    CHECK(StoredNames(machine).size() == 3);
}

TEST_CASE("a file is known by its volume and file index together")
{
    LocalPasses passes;
    const test::TempFolder& source = passes.source;
    const std::wstring& machine = passes.machine;
    REQUIRE(test::WriteFileBytes(source / L"b.txt", "b, first"));
    passes.Pass();
    uint64_t volume = 0;
    const uint64_t id = GetFileId(test::Utf8(source / L"b.txt"), volume);
    REQUIRE(RowsOf(id, &volume).size() == 1);

    // A file of another volume reached inside the folder had the same index;
    // its row was stored after b.txt's own.
    const std::wstring otherCopy = machine + L"\\stored-c";
    REQUIRE(test::WriteFileBytes(otherCopy, "c"));
    const uint64_t otherVolume = volume + 1;
    FileRecord other = Record(source / L"c.txt", id, 0x77, FILE_ATTRIBUTE_ARCHIVE);
    other.volumeId = otherVolume;
    other.localPath = test::Utf8(L"\\\\?\\" + otherCopy);
    REQUIRE(InsertFileRow(other));

    for (int pass = 0; pass < 3; ++pass)
        passes.Pass();
    CHECK(RowsOf(id, &volume).size() == 1);
    CHECK(StoredNames(machine).size() == 1);
    // Not seen by the walk, so gone; its stored copy and row stay.
    const std::string log = passes.state.log.text();
    CHECK(CountOf(log, " File " + other.path + " was deleted\r\n") == 3);
    CHECK(CountOf(log, " was Added\r\n") == 2);  // the first pass only
    CHECK(RowsOf(id, &otherVolume).size() == 1);
    CHECK(test::ReadFileBytes(otherCopy) == "c");

    // An edit is one new version, beside the first.
    REQUIRE(test::WriteFileBytes(source / L"b.txt", "b, edited"));
    passes.Pass();
    passes.Pass();
    const std::vector<Row> rows = RowsOf(id, &volume);
    REQUIRE(rows.size() == 2);
    CHECK(test::ReadFileBytes(test::Wide(rows[0].localPath)) == "b, first");
    CHECK(test::ReadFileBytes(test::Wide(rows[1].localPath)) == "b, edited");
    CHECK(RowsOf(id, &otherVolume).size() == 1);
}

namespace {

// v2\b.txt answers with the identity of v1\b.txt, as a file of a second volume
// with the same serial number (a cloned disk) would, or as a second name of
// one file. What the handle tells of size and time is each file's own (two
// files), or for both names that of one of them (the file's own record that
// every name shares, the other name's listing being stale).
std::string clonePath, originalPath;
enum HandleFactsOf { eachOwn, original, clone } handleFactsOf = eachOwn;

uint64_t ClonedIdentity(std::string path, uint64_t& volumeId, FileHandleFacts* facts)
{
    if (path != clonePath && path != originalPath)
        return GetFileId(path, volumeId, facts);
    uint64_t factsVolume = 0;
    const std::string factsFrom = handleFactsOf == original ? originalPath : handleFactsOf == clone ? clonePath : path;
    if (GetFileId(factsFrom, factsVolume, facts) == 0)
        return 0;
    return GetFileId(originalPath, volumeId, nullptr);
}

bool SetWriteTime(const std::wstring& path, int second)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME time = Time(second);
    const BOOL set = SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    return set != FALSE;
}

}  // namespace

TEST_CASE("one identity is one file when what the handles tell agrees, whatever the listings show")
{
    struct Case {
        const char* title;
        const char* content;  // of v2\b.txt; v1\b.txt holds "one"
        int second;           // its last-write second; v1\b.txt's is 1
        HandleFactsOf facts;
        bool later;           // v2\b.txt comes after a pass has stored v1\b.txt alone
        size_t rows;          // for one file: its rows after the passes
    } cases[] = {
        // Two files (cloned disks): each is stored.
        {"two files, another size", "another size", 1, eachOwn, false, 0},
        {"two files, the same size, another time", "two", 9, eachOwn, false, 0},
        // One file whose second name shows a stale listing: stored once.
        {"one file, a stale listing on one name", "another size", 9, original, false, 1},
        // Edited through its second name, the recorded name's listing stale:
        // the edit is one version, under the recorded name.
        {"one file edited through another name", "one, edited", 9, clone, true, 2},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        LocalPasses passes;
        const test::TempFolder& source = passes.source;
        const std::wstring v1 = source / L"v1\\b.txt";
        const std::wstring v2 = source / L"v2\\b.txt";
        REQUIRE(CreateDirectoryW((source / L"v1").c_str(), nullptr));
        REQUIRE(CreateDirectoryW((source / L"v2").c_str(), nullptr));
        REQUIRE(test::WriteFileBytes(v1, "one"));
        REQUIRE(SetWriteTime(v1, 1));
        if (c.later)
            passes.Pass();
        REQUIRE(test::WriteFileBytes(v2, c.content));
        REQUIRE(SetWriteTime(v2, c.second));
        originalPath = test::Utf8(v1);
        clonePath = test::Utf8(v2);
        handleFactsOf = c.facts;
        fileIdFunction = ClonedIdentity;
        for (int pass = 0; pass < 3; ++pass)
            passes.Pass();
        fileIdFunction = GetFileId;
        handleFactsOf = eachOwn;

        uint64_t volume = 0;
        const std::vector<Row> rows = RowsOf(GetFileId(originalPath, volume), &volume);
        if (c.facts == eachOwn) {
            std::set<std::string> stored;
            for (const Row& row : rows)
                stored.insert(row.path + "|" + test::ReadFileBytes(test::Wide(row.localPath)));
            CHECK(stored.count(originalPath + "|one") == 1);
            CHECK(stored.count(clonePath + "|" + c.content) == 1);
            continue;
        }
        CHECK(rows.size() == c.rows);
        CHECK(StoredNames(passes.machine).size() == c.rows);
        if (c.later) {
            // The new version is recorded as the file is now, which the up-to-date listing shows.
            REQUIRE(rows.size() == 2);
            for (const Row& row : rows)
                CHECK(row.path == originalPath);
            CHECK(rows[1].size == std::string(c.content).size());
            CHECK(rows[0].modificationTime != rows[1].modificationTime);
        }
    }
}
