#include <doctest/doctest.h>

#include <algorithm>

#include "pruning.h"
#include "service_backup_fixture.h"

using backup_test::AddRow;
using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::Row;
using backup_test::ServiceState;

namespace {

// A store of versions: each row's localpath names a file in the folder.
struct Store {
    test::TempFolder folder{L"store"};

    std::wstring Copy(const std::string& name) const { return folder / test::Wide(name); }

    // Version v (1 = oldest) of file id, with its stored copy unless told otherwise.
    Row Add(uint64_t id, int v, const std::string& copyName = "", bool makeCopy = true)
    {
        Row row;
        row.path = "C:\\data\\f" + std::to_string(id);
        row.attributes = FILE_ATTRIBUTE_ARCHIVE;
        row.parentId = 5;
        row.selfId = id;
        char stamp[32];
        snprintf(stamp, sizeof stamp, "202401%02d 120000.000", v);
        row.modificationTime = stamp;
        row.size = 3;
        row.volumeId = 0x43000000;
        const std::string name =
            copyName.empty() ? "f" + std::to_string(id) + "-v" + std::to_string(v) : copyName;
        row.localPath = "\\\\?\\" + test::Utf8(Copy(name));
        if (makeCopy)
            test::WriteFileBytes(Copy(name), "ver");
        AddRow(row);
        return row;
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

TEST_CASE("each call removes the oldest version of every file above the limit, copy first")
{
    struct Case {
        int limit;
        int versions;
        std::vector<std::vector<int>> afterCalls;  // versions left after each call
    } cases[] = {
        {3, 3, {{1, 2, 3}}},
        {3, 4, {{2, 3, 4}, {2, 3, 4}}},
        {2, 5, {{2, 3, 4, 5}, {3, 4, 5}, {4, 5}, {4, 5}}},
        // A limit below 1 keeps the newest version.
        {0, 1, {{1}}},
        {0, 3, {{2, 3}, {3}, {3}}},
        {-4, 2, {{2}, {2}}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.limit);
        CAPTURE(c.versions);
        ServiceState state;
        Store store;
        for (int v = 1; v <= c.versions; ++v)
            store.Add(7, v);
        store.Add(8, 1);  // a file with one version is never touched
        for (size_t call = 0; call < c.afterCalls.size(); ++call) {
            CAPTURE(call);
            CHECK(PruneVersions(c.limit));
            CHECK(VersionsOf(7) == c.afterCalls[call]);
            CHECK(VersionsOf(8) == std::vector<int>{1});
            for (int v = 1; v <= c.versions; ++v) {
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

TEST_CASE("a version whose copy is gone keeps its row and blocks its file's pruning")
{
    ServiceState state;
    Store store;
    const Row lost = store.Add(3, 1, "", false);
    store.Add(3, 2);
    store.Add(3, 3);
    for (int call = 0; call < 2; ++call) {
        CHECK(PruneVersions(1));
        CHECK(VersionsOf(3) == std::vector<int>{1, 2, 3});
    }
    CHECK(test::FileExists(store.Copy("f3-v2")));
    const std::string path = lost.localPath;
    const std::string log = state.log.text();
    CHECK(CountOf(log, " Deleting file " + path + "\r\n") == 2);
    CHECK(CountOf(log, " Could not delete file " + path + "\r\n") == 2);
    CHECK(CountOf(log, " Extended error code 2 (") == 2);
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
    for (uint64_t id = 1; id <= 40; ++id) {
        store.Add(id, 1);
        store.Add(id, 2);
    }
    // Find how far into the select the first and the last row come, then
    // interrupt it once between the two.
    int firstRow = 0, done = 0;
    {
        sqlite3_stmt* select = nullptr;
        sqlite3_prepare_v2(databaseConnection,
                           "select m, self_id, volume_id, localpath from (select count(*) as c, "
                           "min(modificationtime) as m, self_id, volume_id, path, localpath from filelist group by "
                           "self_id, volume_id) where c > ?1",
                           -1, &select, nullptr);
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
