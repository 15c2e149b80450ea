#include <doctest/doctest.h>

#include <algorithm>

#include "file_rows.h"
#include "pruning.h"
#include "service_core_support.h"
#include "service_backup_fixture.h"

using backup_test::AddRow;
using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::Row;
using backup_test::ServiceState;

namespace {

Row VersionRow(uint64_t id, int v, const std::string& localPath, uint64_t attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    Row row;
    row.path = "C:\\data\\f" + std::to_string(id);
    row.attributes = attributes;
    row.parentId = 5;
    row.selfId = id;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "202401%02d 120000.000", v);
    row.modificationTime = stamp;
    row.size = 3;
    row.volumeId = 0x43000000;
    row.localPath = localPath;
    return row;
}

// A store of versions: each row's localpath names a file in the folder.
struct Store {
    test::TempFolder folder{L"store"};

    std::wstring Copy(const std::string& name) const { return folder / test::Wide(name); }

    // Version v (1 = oldest) of file id, with its stored copy unless told otherwise.
    Row Add(uint64_t id, int v, const std::string& copyName = "", bool makeCopy = true)
    {
        const std::string name =
            copyName.empty() ? "f" + std::to_string(id) + "-v" + std::to_string(v) : copyName;
        if (makeCopy)
            test::WriteFileBytes(Copy(name), "ver");
        const Row row = VersionRow(id, v, "\\\\?\\" + test::Utf8(Copy(name)));
        AddRow(row);
        return row;
    }

    // Files 1 to count, each with versions 1 and 2.
    void AddTwoVersionFiles(uint64_t count)
    {
        for (uint64_t id = 1; id <= count; ++id) {
            Add(id, 1);
            Add(id, 2);
        }
    }
};

std::vector<int> VersionsOf(uint64_t id)
{
    std::vector<int> versions;
    for (const Row& row : FileRows(databaseConnection, "modificationtime"))
        if (row.selfId == id)
            versions.push_back(std::stoi(row.modificationTime.substr(6, 2)));
    return versions;
}

}  // namespace

TEST_CASE("each call removes the version stored earliest of every file above the limit, copy first")
{
    struct Case {
        int limit;
        std::vector<int> stored;                   // the versions' times, in the order they were stored
        std::vector<std::vector<int>> afterCalls;  // versions left after each call
    } cases[] = {
        {3, {1, 2, 3}, {{1, 2, 3}}},
        {3, {1, 2, 3, 4}, {{2, 3, 4}, {2, 3, 4}}},
        {2, {1, 2, 3, 4, 5}, {{2, 3, 4, 5}, {3, 4, 5}, {4, 5}, {4, 5}}},
        // A limit below 1 keeps the newest version.
        {0, {1}, {{1}}},
        {0, {1, 2, 3}, {{2, 3}, {3}, {3}}},
        {-4, {1, 2}, {{2}, {2}}},
        // Content stored last with an older time (an archive unpacked over the
        // file) is what the file holds now: it stays.
        {1, {3, 1, 2}, {{1, 2}, {2}, {2}}},
        {3, {2, 3, 4, 1}, {{1, 3, 4}, {1, 3, 4}}},
        {0, {2, 1}, {{1}, {1}}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.limit);
        CAPTURE(c.stored.size());
        CAPTURE(c.stored.back());
        ServiceState state;
        Store store;
        for (int v : c.stored)
            store.Add(7, v);
        store.Add(8, 1);  // a file with one version is never touched
        for (size_t call = 0; call < c.afterCalls.size(); ++call) {
            CAPTURE(call);
            CHECK(PruneVersions(c.limit));
            CHECK(VersionsOf(7) == c.afterCalls[call]);
            CHECK(VersionsOf(8) == std::vector<int>{1});
            for (int v : c.stored) {
                const bool kept = std::find(c.afterCalls[call].begin(), c.afterCalls[call].end(), v) !=
                                  c.afterCalls[call].end();
                CHECK(test::FileExists(store.Copy("f7-v" + std::to_string(v))) == kept);
            }
        }
        const std::string log = state.log.text();
        CHECK(CountOf(log, " Max Versions is " + std::to_string(c.limit < 1 ? 1 : c.limit) + "\r\n") ==
              c.afterCalls.size());
        CHECK(CountOf(log, " Could not delete") == 0);
    }
}

TEST_CASE("the order of storing holds across the deletion of the rows stored last")
{
    ServiceState state;
    Store store;
    store.Add(7, 5);
    store.Add(9, 1);
    store.Add(7, 1);
    store.Add(9, 2);
    // The file stored last is gone: its rows were the newest in the table.
    REQUIRE(DeleteFileRows(9, 0x43000000));
    store.Add(7, 3);
    const std::vector<std::vector<int>> afterCalls = {{1, 3}, {3}, {3}};
    for (size_t call = 0; call < afterCalls.size(); ++call) {
        CAPTURE(call);
        CHECK(PruneVersions(1));
        CHECK(VersionsOf(7) == afterCalls[call]);
    }
    CHECK(test::FileExists(store.Copy("f7-v3")));
    CHECK_FALSE(test::FileExists(store.Copy("f7-v1")));
    CHECK_FALSE(test::FileExists(store.Copy("f7-v5")));
}

TEST_CASE("two oldest versions with the same time go one per call, each with its own copy")
{
    ServiceState state;
    Store store;
    store.Add(9, 1, "a");
    store.Add(9, 1, "b");
    store.Add(9, 2, "c");
    CHECK(PruneVersions(1));
    std::vector<Row> rows = FileRows(databaseConnection);
    REQUIRE(rows.size() == 2);
    const bool aGone = !test::FileExists(store.Copy("a"));
    CHECK(aGone != !test::FileExists(store.Copy("b")));
    CHECK(rows[0].localPath.substr(rows[0].localPath.size() - 1) == (aGone ? "b" : "a"));
    CHECK(PruneVersions(1));
    rows = FileRows(databaseConnection);
    REQUIRE(rows.size() == 1);
    CHECK(rows[0].modificationTime.substr(6, 2) == "02");
    CHECK(test::FileExists(store.Copy("c")));
}

TEST_CASE("a copy that is already gone counts as removed only where its machine folder can be reached")
{
    enum Where { storeFolder, missingFolder, otherPath };
    struct Case {
        const char* what;
        Where where;
        std::string path;  // the folder for otherPath
        uint64_t attributes;
        bool rowsGo;
    } cases[] = {
        // A stop or crash between a copy and its row left the row behind.
        {"file copy gone", storeFolder, "", FILE_ATTRIBUTE_ARCHIVE, true},
        // A folder's row names a file that was never made.
        {"folder rows", storeFolder, "", FILE_ATTRIBUTE_DIRECTORY, true},
        // With the destination down every copy looks missing: nothing is touched.
        {"machine folder gone", missingFolder, "", FILE_ATTRIBUTE_ARCHIVE, false},
        {"drive gone", otherPath, "\\\\?\\Q:\\nowhere\\VarnBack\\PC", FILE_ATTRIBUTE_ARCHIVE, false},
        {"share away", otherPath, "\\\\?\\UNC\\nohost\\bk\\VarnBack\\PC", FILE_ATTRIBUTE_ARCHIVE, false},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.what));
        ServiceState state;
        Store store;
        const std::string folder = c.where == storeFolder     ? "\\\\?\\" + test::Utf8(store.folder.path())
                                   : c.where == missingFolder ? "\\\\?\\" + test::Utf8(store.folder / L"gone")
                                                              : c.path;
        std::vector<std::string> paths;
        for (int v = 1; v <= 3; ++v) {
            paths.push_back(folder + "\\f3-v" + std::to_string(v));
            AddRow(VersionRow(3, v, paths.back(), c.attributes));
        }
        const std::vector<std::vector<int>> afterCalls =
            c.rowsGo ? std::vector<std::vector<int>>{{2, 3}, {3}, {3}}
                     : std::vector<std::vector<int>>{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}};
        for (size_t call = 0; call < afterCalls.size(); ++call) {
            CAPTURE(call);
            CHECK(PruneVersions(1));
            CHECK(VersionsOf(3) == afterCalls[call]);
        }
        const std::string log = state.log.text();
        const std::string missingLine = " is missing, its row is removed\r\n";
        if (c.rowsGo) {
            CHECK(CountOf(log, " Could not delete file") == 0);
            for (int v = 0; v < 2; ++v)
                CHECK(CountOf(log, " PruneVersions() The stored copy " + paths[v] + missingLine) == 1);
        } else {
            CHECK(CountOf(log, " Could not delete file " + paths[0] + "\r\n") == 3);
            CHECK(CountOf(log, missingLine) == 0);
        }
    }
}

TEST_CASE("a read-only stored copy is pruned, and keeps its attribute when it cannot be")
{
    for (bool held : {false, true}) {
        CAPTURE(held);
        ServiceState state;
        Store store;
        store.Add(6, 1);
        store.Add(6, 2);
        for (int v = 1; v <= 2; ++v)
            REQUIRE(SetFileAttributesW(store.Copy("f6-v" + std::to_string(v)).c_str(), FILE_ATTRIBUTE_READONLY));
        // A copy open elsewhere without sharing cannot go, read-only or not.
        HANDLE open = INVALID_HANDLE_VALUE;
        if (held) {
            open = CreateFileW(store.Copy("f6-v1").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            REQUIRE(open != INVALID_HANDLE_VALUE);
        }
        CHECK(PruneVersions(1));
        if (held)
            CloseHandle(open);
        CHECK(VersionsOf(6) == (held ? std::vector<int>{1, 2} : std::vector<int>{2}));
        CHECK(test::FileExists(store.Copy("f6-v1")) == held);
        if (held)
            CHECK((GetFileAttributesW(store.Copy("f6-v1").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
        // The version that stays keeps what the source had.
        CHECK((GetFileAttributesW(store.Copy("f6-v2").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
        CHECK(CountOf(state.log.text(), " Could not delete file ") == (held ? 1u : 0u));
    }
}

namespace {

// Watches the pruning's row deletes: at the first it sets the stop byte, and at
// each it notes how many copies of the selected versions were already gone.
struct PruneWatch {
    const Store* store;
    uint64_t files;
    int rowDeletes = 0;
    size_t mostCopiesGone = 0;

    size_t CopiesGone() const
    {
        size_t gone = 0;
        for (uint64_t id = 1; id <= files; ++id)
            gone += !test::FileExists(store->Copy("f" + std::to_string(id) + "-v1"));
        return gone;
    }
};

int OnStatement(unsigned type, void* context, void*, void* sql)
{
    PruneWatch& watch = *static_cast<PruneWatch*>(context);
    if (type == SQLITE_TRACE_STMT && strncmp(static_cast<const char*>(sql), "delete from filelist", 20) == 0) {
        ++watch.rowDeletes;
        watch.mostCopiesGone = std::max(watch.mostCopiesGone, watch.CopiesGone());
        *const_cast<uint8_t*>(serviceStopFlag) = 1;
    }
    return 0;
}

}  // namespace

TEST_CASE("a stop ends the pruning between versions, each version's copy going with its row")
{
    ServiceState state;
    Store store;
    const uint64_t files = 12;
    store.AddTwoVersionFiles(files);
    PruneWatch watch{&store, files};
    sqlite3_trace_v2(databaseConnection, SQLITE_TRACE_STMT, OnStatement, &watch);
    CHECK(PruneVersions(1));
    sqlite3_trace_v2(databaseConnection, 0, nullptr, nullptr);

    // When a row goes, its own copy is the only one gone without its row.
    CHECK(watch.mostCopiesGone == 1);
    CHECK(watch.rowDeletes == 1);
    size_t pruned = 0;
    for (uint64_t id = 1; id <= files; ++id) {
        CAPTURE(id);
        const bool copyGone = !test::FileExists(store.Copy("f" + std::to_string(id) + "-v1"));
        CHECK(VersionsOf(id) == (copyGone ? std::vector<int>{2} : std::vector<int>{1, 2}));
        pruned += copyGone;
    }
    CHECK(pruned == 1);
    CHECK(CountOf(state.log.text(), " PruneVersions() Stop requested, the remaining versions wait for a later pass\r\n") ==
          1);

    // The next pass takes the rest.
    state.stop = 0;
    CHECK(PruneVersions(1));
    for (uint64_t id = 1; id <= files; ++id)
        CHECK(VersionsOf(id) == std::vector<int>{2});
}

namespace {
int progressCalls = 0;
int interruptAt = 0;
int CountingProgress(void*)
{
    ++progressCalls;
    return progressCalls == interruptAt ? 1 : 0;
}
}  // namespace

TEST_CASE("a select that fails midway ends the loop and still removes the rows of deleted copies")
{
    ServiceState state;
    Store store;
    store.AddTwoVersionFiles(40);
    // Find how far into the select the first and the last row come, then
    // interrupt it once between the two.
    int firstRow = 0, done = 0;
    {
        sqlite3_stmt* select = nullptr;
        sqlite3_prepare_v2(databaseConnection, selectEarliestVersions, -1, &select, nullptr);
        sqlite3_bind_int(select, 1, 1);
        progressCalls = 0;
        interruptAt = 0;
        sqlite3_progress_handler(databaseConnection, 1, CountingProgress, nullptr);
        int result;
        while ((result = sqlite3_step(select)) == SQLITE_ROW)
            if (firstRow == 0)
                firstRow = progressCalls;
        done = progressCalls;
        sqlite3_finalize(select);
        REQUIRE(result == SQLITE_DONE);
    }
    REQUIRE(firstRow < done);
    progressCalls = 0;
    interruptAt = firstRow + (done - firstRow) / 2;
    CHECK(PruneVersions(1));
    sqlite3_progress_handler(databaseConnection, 0, nullptr, nullptr);

    const std::string log = state.log.text();
    CHECK(CountOf(log, " Could not read from the database: 9\r\n") == 1);
    CHECK(CountOf(log, " Could not delete file") == 0);
    size_t pruned = 0;
    for (uint64_t id = 1; id <= 40; ++id) {
        CAPTURE(id);
        const bool copyGone = !test::FileExists(store.Copy("f" + std::to_string(id) + "-v1"));
        // No row is left behind without its copy.
        CHECK(VersionsOf(id) == (copyGone ? std::vector<int>{2} : std::vector<int>{1, 2}));
        CHECK(test::FileExists(store.Copy("f" + std::to_string(id) + "-v2")));
        pruned += copyGone;
    }
    CHECK(pruned > 0);
    CHECK(pruned < 40);
}

namespace {
DWORD WINAPI CommitLater(LPVOID database)
{
    Sleep(300);
    sqlite3_exec(static_cast<sqlite3*>(database), "commit", nullptr, nullptr, nullptr);
    return 0;
}
}  // namespace

TEST_CASE("a select that meets a writer's lock waits for it")
{
    ServiceState state;
    Store store;
    store.Add(4, 1);
    store.Add(4, 2);
    sqlite3* writer = nullptr;
    REQUIRE(sqlite3_open(databasePath.c_str(), &writer) == SQLITE_OK);
    REQUIRE(sqlite3_exec(writer, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK);
    HANDLE thread = CreateThread(nullptr, 0, CommitLater, writer, 0, nullptr);
    REQUIRE(thread != nullptr);
    CHECK(PruneVersions(1));
    CHECK(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    sqlite3_close(writer);
    CHECK(VersionsOf(4) == std::vector<int>{2});
    CHECK_FALSE(test::FileExists(store.Copy("f4-v1")));
}

TEST_CASE("a reader holding the database ends the pruning before any copy goes, and the next call prunes")
{
    // The control centre listing files, or the service's own pipe thread in
    // the middle of a restore's read.
    enum Reader { otherProgram, ownConnection };
    for (Reader reader : {otherProgram, ownConnection}) {
        CAPTURE(reader);
        ServiceState state;
        Store store;
        const uint64_t files = 10;
        store.AddTwoVersionFiles(files);
        sqlite3* other = nullptr;
        sqlite3_stmt* reading = nullptr;
        if (reader == otherProgram) {
            REQUIRE(sqlite3_open(databasePath.c_str(), &other) == SQLITE_OK);
            REQUIRE(sqlite3_exec(other, "begin; select count(*) from filelist;", nullptr, nullptr, nullptr) ==
                    SQLITE_OK);
        } else {
            REQUIRE(sqlite3_prepare_v2(databaseConnection, "select localpath from filelist", -1, &reading,
                                       nullptr) == SQLITE_OK);
            REQUIRE(sqlite3_step(reading) == SQLITE_ROW);
        }
        CHECK(PruneVersions(1));

        const std::string log = state.log.text();
        const bool held = reader == otherProgram;
        // One wait for the lock, then the rest is left: no copy went without its row.
        CHECK(CountOf(log, " Could not delete file with self id ") == (held ? 1u : 0u));
        CHECK(CountOf(log, " PruneVersions() A row could not be removed: the remaining versions wait for a later "
                           "pass\r\n") == (held ? 1u : 0u));
        CHECK(CountOf(log, " Deleting file ") == (held ? 0u : files));
        for (uint64_t id = 1; id <= files; ++id) {
            CAPTURE(id);
            CHECK(VersionsOf(id) == (held ? std::vector<int>{1, 2} : std::vector<int>{2}));
            CHECK(test::FileExists(store.Copy("f" + std::to_string(id) + "-v1")) == held);
        }
        if (held) {
            sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
            sqlite3_close(other);
            CHECK(PruneVersions(1));
            for (uint64_t id = 1; id <= files; ++id) {
                CHECK(VersionsOf(id) == std::vector<int>{2});
                CHECK_FALSE(test::FileExists(store.Copy("f" + std::to_string(id) + "-v1")));
            }
        } else {
            // The read goes on to its end.
            int result;
            while ((result = sqlite3_step(reading)) == SQLITE_ROW) {
            }
            CHECK(result == SQLITE_DONE);
            sqlite3_finalize(reading);
        }
    }
}

TEST_CASE("a pass prunes to the number MaxVersions begins with, to 5 without one, and keeps the newest version")
{
    enum Stored { absent, text, dword };
    struct Case {
        Stored stored;
        const wchar_t* value;
        int used;
    } cases[] = {
        {absent, L"", 5},     {text, L"", 5},     {text, L"abc", 5}, {text, L"-", 5},   {text, L"- 3", 5},
        {text, L"x3", 5},     {text, L" 7", 7},   {text, L"7 ", 7},  {text, L"3x", 3},  {text, L"\t+6", 6},
        {text, L"3", 3},      {text, L"007", 7},  {text, L"+4", 4},  {text, L"1", 1},   {text, L"0", 1},
        {text, L"-2", 1},     {dword, L"2", 2},
        // Beyond the range of a number: as many as it can say.
        {text, L"99999999999", 2147483647}, {text, L"-99999999999", 1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.stored);
        CAPTURE(test::Utf8(c.value));
        ServiceState state;
        Store store;
        test::TempFolder dest{L"dest"};
        state.settings.Set(L"Destination", dest.path());
        if (c.stored == text)
            state.settings.Set(L"MaxVersions", c.value);
        else if (c.stored == dword)
            state.settings.SetDword(L"MaxVersions", static_cast<DWORD>(_wtoi(c.value)));
        store.Add(7, 1);
        store.Add(7, 2);
        store.Add(8, 1);
        std::vector<WatchedFolder*> none;
        backup_test::RunWatcher(none, 1, 2000);
        CHECK(CountOf(state.log.text(), " Max Versions is " + std::to_string(c.used) + "\r\n") == 1);
        CHECK(VersionsOf(7) == (c.used == 1 ? std::vector<int>{2} : std::vector<int>{1, 2}));
        CHECK(test::FileExists(store.Copy("f7-v1")) == (c.used != 1));
        CHECK(VersionsOf(8) == std::vector<int>{1});
    }
}

TEST_CASE("a pass keeps a file's current content when it comes with an older last-write time")
{
    for (int limit : {1, 3}) {
        CAPTURE(limit);
        ServiceState state;
        test::TempFolder source{L"src"};
        test::TempFolder dest{L"dest"};
        state.settings.Set(L"Destination", dest.path());
        state.settings.Set(L"ScanInterval", L"0");
        state.settings.Set(L"MaxVersions", std::to_wstring(limit));
        WatchedFolder folder;
        folder.folderPath = test::Utf8(source.path());
        std::vector<WatchedFolder*> folders{&folder};
        const std::wstring file = source / L"report.txt";
        auto write = [&](const std::string& content, int day, int hour) {
            REQUIRE(test::WriteFileBytes(file, content));
            REQUIRE(svctest::SetWriteTime(file, svctest::MakeFileTime(2024, 3, day, hour, 0, 0, 0)));
        };
        std::vector<std::string> expected;
        for (int v = 1; v <= limit; ++v) {
            write("draft " + std::to_string(v), 10, v);
            backup_test::RunWatcher(folders, 1, 2000);
            expected.push_back("draft " + std::to_string(v));
        }
        // Unpacked from an archive that kept the time of an older copy.
        write("unpacked", 1, 0);
        backup_test::RunWatcher(folders, 3, 2000);
        expected.erase(expected.begin());
        expected.push_back("unpacked");

        std::vector<std::string> stored;
        for (const Row& row : FileRows(databaseConnection))
            if (row.path == test::Utf8(file))
                stored.push_back(test::ReadFileBytes(test::Wide(row.localPath)));
        CHECK(stored == expected);
        CHECK(backup_test::StoredNames(backup_test::MachineFolder(dest.path())).size() == expected.size());
        // Stored once: the passes after it find the file as stored.
        const std::string log = state.log.text();
        CHECK(CountOf(log, " File " + test::Utf8(file) + " was modified\r\n") == static_cast<size_t>(limit));
        CHECK(CountOf(log, " Copied file ") == static_cast<size_t>(limit + 1));
    }
}
