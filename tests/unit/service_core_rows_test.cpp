#include <doctest/doctest.h>

#include <set>

#include "file_rows.h"
#include "service_core_support.h"
#include "text.h"
#include "timestamp.h"

namespace {

const uint64_t high = 0x8000000000000000ull;

FileRecord Record(const std::string& path, uint64_t selfId, uint64_t volumeId)
{
    return FileRecord(path, svctest::MakeFileTime(2022, 7, 8, 9, 10, 11, 0), FILE_ATTRIBUTE_ARCHIVE, selfId, 1,
                      "", 10, volumeId);
}

std::set<uint64_t> LoadedIds(const std::string& folder)
{
    KnownFileMap known;
    REQUIRE(LoadKnownFiles(known, folder));
    std::set<uint64_t> ids;
    for (const auto& entry : known)
        ids.insert(entry.first.selfId);
    return ids;
}

}  // namespace

TEST_CASE("a stored row loads back with every field, 64-bit values of 2^63 and more included")
{
    struct Case {
        const char* title;
        const char* path;
        const char* name;
        uint32_t attributes;
        uint64_t parentId, selfId, size, volumeId;
    };
    const Case cases[] = {
        {"ordinary values", "C:\\w\\sub\\Report.txt", "Report.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE,
         0x0001000000000123ull, 0x0002000000000456ull, 5000000000ull, 0x43000000ull},
        {"values of 2^63 and more", "C:\\w\\big.bin", "big.bin", 0xFFFFFFFFu, high, 0xFFFFFFFFFFFFFFFFull,
         high + 7, 0xFFFFFFFFull},
        {"a path without a backslash is its own name", "plain", "plain", FILE_ATTRIBUTE_DIRECTORY, 3, 4, 0, 1},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        test::LogCapture log;
        svctest::DatabaseScope db;
        const FILETIME time = svctest::MakeFileTime(2023, 12, 31, 23, 59, 58, 0);
        FileRecord record(c.path, time, c.attributes, c.selfId, c.parentId, "ignored", c.size, c.volumeId);
        REQUIRE(InsertFileRow(record));
        CHECK(log.text().find(std::string(" Attempting to add ") + c.path + " to file list\r\n") != std::string::npos);

        // As stored: signed 64-bit integers with the same bits, one blank user, the stamp text.
        std::vector<std::vector<std::string>> rows = db.Query(
            "select path, user, attributes, parentid, self_id, modificationtime, size, volume_id, localpath, "
            "typeof(self_id), typeof(localpath) from filelist");
        REQUIRE(rows.size() == 1);
        const std::vector<std::string>& row = rows[0];
        CHECK(row[0] == c.path);
        CHECK(row[1] == " ");
        CHECK(row[2] == FormatString("%I64d", static_cast<long long>(c.attributes)));
        CHECK(row[3] == FormatString("%I64d", static_cast<long long>(c.parentId)));
        CHECK(row[4] == FormatString("%I64d", static_cast<long long>(c.selfId)));
        CHECK(row[5] == "20231231 235958.000");
        CHECK(row[6] == FormatString("%I64d", static_cast<long long>(c.size)));
        CHECK(row[7] == FormatString("%I64d", static_cast<long long>(c.volumeId)));
        CHECK(row[8] == "");
        CHECK(row[9] == "integer");
        CHECK(row[10] == "text");  // empty, not NULL

        KnownFileMap known;
        known[FileIdentity(0, 99)] = FileRecord();  // replaced by the load
        const std::string path = c.path;
        const size_t slash = path.rfind('\\');
        REQUIRE(LoadKnownFiles(known, slash == std::string::npos ? path : path.substr(0, slash)));
        REQUIRE(known.size() == 1);
        REQUIRE(known.count(FileIdentity(c.volumeId, c.selfId)) == 1);
        const FileRecord& loaded = known[FileIdentity(c.volumeId, c.selfId)];
        CHECK(loaded.path == c.path);
        CHECK(loaded.name == c.name);
        CHECK(loaded.attributes == c.attributes);
        CHECK(loaded.parentId == c.parentId);
        CHECK(loaded.selfId == c.selfId);
        CHECK(CompareFileTime(&loaded.lastWrite, &time) == 0);
        CHECK(loaded.size == c.size);
        CHECK(loaded.volumeId == c.volumeId);
        CHECK(loaded.localPath.empty());
        CHECK(loaded.added + loaded.moved + loaded.modified + loaded.unchanged == 0);
        CHECK(log.text().find(" Got back 1 items\r\n") != std::string::npos);
    }
}

TEST_CASE("the stored copy's path is written as given")
{
    svctest::DatabaseScope db;
    FileRecord record = Record("C:\\w\\a", 1, 2);
    record.localPath = "\\\\srv\\bk\\VarnBack\\PC\\0f2a";
    REQUIRE(InsertFileRow(record));
    CHECK(db.QueryText("select localpath from filelist") == "\\\\srv\\bk\\VarnBack\\PC\\0f2a");
}

TEST_CASE("the rows loaded for a folder are its own and those below it, compared literally")
{
    svctest::DatabaseScope db;
    const char* const paths[] = {
        "C:\\data\\a.txt",           // 1
        "C:\\DATA\\x",               // 2
        "C:\\data2\\b",              // 3: a sibling whose name extends the folder's
        "C:\\dat\\c",                // 4
        "C:\\daXa\\d",               // 5
        "C:\\other\\e",              // 6
        "C:\\\xc3\x89t\xc3\xa9\\f",  // 7: Été
        "C:\\100%\\g",               // 8
        "C:\\data",                  // 9: the folder itself
        "D:\\h.txt",                 // 10
        "C:\\da_a\\i",               // 11
        "C:\\100%x\\j",              // 12
        "C:\\a^b\\k",                // 13
        "C:\\data\\\\l",             // 14: below a folder text given with a trailing backslash
    };
    const uint64_t count = sizeof paths / sizeof paths[0];
    for (uint64_t i = 0; i < count; ++i)
        REQUIRE(InsertFileRow(Record(paths[i], i + 1, 5)));

    struct Case {
        const char* folder;
        std::set<uint64_t> ids;
    };
    const Case cases[] = {
        {"C:\\data", {1, 2, 9, 14}},       // ASCII case ignored, as by the file system; not data2
        {"C:\\data\\", {1, 2, 14}},
        {"c:\\DATA\\A.TXT", {1}},
        {"C:\\da_a", {11}},                // "_" and "%" are plain characters
        {"C:\\d%a\\", {}},
        {"C:\\100%", {8}},
        {"C:\\a^b", {13}},
        {"C:\\\xc3\xa9t\xc3\xa9", {}},     // only ASCII letters are folded
        {"C:\\\xc3\x89t\xc3\xa9", {7}},
        {"D:\\", {10}},                    // a drive root
        {"D:", {10}},
        {"E:\\", {}},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.folder));
        CHECK(LoadedIds(c.folder) == c.ids);
    }

    // An empty folder text names no folder: it claims no row.
    test::LogCapture log;
    KnownFileMap known;
    known[FileIdentity(0, 1)] = FileRecord();
    CHECK_FALSE(LoadKnownFiles(known, ""));
    CHECK(known.empty());

    LoadedIds("C:\\100%\\x_");
    const std::string text = log.text();
    CHECK(text.find(" Path wildcard is C:\\100^%\\x^_\\%\r\n") != std::string::npos);
    CHECK(text.find(" Got back 0 items\r\n") != std::string::npos);
}

TEST_CASE("several rows of one identity load as the row read last; another volume's are another file's")
{
    svctest::DatabaseScope db;
    FileRecord first = Record("C:\\w\\old.txt", 42, 7);
    FileRecord second = Record("C:\\w\\new.txt", 42, 7);
    second.size = 20;
    FileRecord otherVolume = Record("C:\\w\\elsewhere.txt", 42, 8);
    REQUIRE(InsertFileRow(first));
    REQUIRE(InsertFileRow(second));
    REQUIRE(InsertFileRow(Record("C:\\w\\keep.txt", 43, 7)));

    KnownFileMap known;
    REQUIRE(LoadKnownFiles(known, "C:\\w"));
    REQUIRE(known.size() == 2);
    CHECK(known[FileIdentity(7, 42)].path == "C:\\w\\new.txt");
    CHECK(known[FileIdentity(7, 42)].size == 20);

    REQUIRE(InsertFileRow(otherVolume));
    REQUIRE(LoadKnownFiles(known, "C:\\w"));
    REQUIRE(known.size() == 3);
    CHECK(known[FileIdentity(7, 42)].path == "C:\\w\\new.txt");
    CHECK(known[FileIdentity(8, 42)].path == "C:\\w\\elsewhere.txt");
}

TEST_CASE("deleting an entry's rows matches the 64 bits the insert stored")
{
    const uint64_t ids[] = {42, high, 0xFFFFFFFFFFFFFFFFull};
    for (uint64_t id : ids) {
        CAPTURE(id);
        svctest::DatabaseScope db;
        REQUIRE(InsertFileRow(Record("C:\\w\\a", id, 0xFFFFFFFFull)));
        REQUIRE(InsertFileRow(Record("C:\\w\\a2", id, 0xFFFFFFFFull)));
        REQUIRE(InsertFileRow(Record("C:\\w\\same id, other volume", id, 0x43000000ull)));
        REQUIRE(InsertFileRow(Record("C:\\w\\other id", id - 1, 0xFFFFFFFFull)));

        CHECK(DeleteFileRows(id, 0xFFFFFFFFull));
        CHECK(lastDatabaseResult == SQLITE_OK);
        std::vector<std::vector<std::string>> rows = db.Query("select path from filelist order by path");
        CHECK(rows == std::vector<std::vector<std::string>>{{"C:\\w\\other id"}, {"C:\\w\\same id, other volume"}});
    }
}

TEST_CASE("statement failures return false with their log lines and keep what was read")
{
    SUBCASE("no filelist table")
    {
        test::LogCapture log;
        svctest::DatabaseScope db(false);
        KnownFileMap known;
        known[FileIdentity(0, 1)] = FileRecord();
        CHECK_FALSE(LoadKnownFiles(known, "C:\\w"));
        CHECK(known.empty());
        CHECK_FALSE(InsertFileRow(Record("C:\\w\\a", 1, 2)));
        CHECK_FALSE(DeleteFileRows(1, 2));
        const std::string text = log.text();
        CHECK(text.find(" Path wildcard is C:\\w\\%\r\n") != std::string::npos);
        CHECK(text.find(" Got back 0 items\r\n") != std::string::npos);
        CHECK(text.find(" Attempting to add C:\\w\\a to file list\r\n") != std::string::npos);
        CHECK(text.find("Could not add file") == std::string::npos);
        CHECK(text.find(" Could not access watch directories database: no such table: filelist\r\n") !=
              std::string::npos);
        CHECK(databaseErrorText == nullptr);
    }
    SUBCASE("another connection holds the database longer than the service waits")
    {
        svctest::DatabaseScope db;
        REQUIRE(InsertFileRow(Record("C:\\w\\a", 1, 2)));
        sqlite3* other = nullptr;
        REQUIRE(sqlite3_open(db.path().c_str(), &other) == SQLITE_OK);
        REQUIRE(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK);

        test::LogCapture log;
        KnownFileMap known;
        // The service's own wait is timed once; the other statements wait a
        // shorter while, which shows as well that they wait before giving up.
        DWORD start = GetTickCount();
        CHECK_FALSE(LoadKnownFiles(known, "C:\\w"));
        CHECK(GetTickCount() - start >= static_cast<DWORD>(databaseBusyTimeoutMs - 500));
        const int shortWaitMs = 250;
        sqlite3_busy_timeout(databaseConnection, shortWaitMs);
        start = GetTickCount();
        CHECK_FALSE(InsertFileRow(Record("C:\\w\\b", 2, 2)));
        CHECK(GetTickCount() - start >= static_cast<DWORD>(shortWaitMs - 50));
        start = GetTickCount();
        CHECK_FALSE(DeleteFileRows(1, 2));
        CHECK(GetTickCount() - start >= static_cast<DWORD>(shortWaitMs - 50));
        const std::string text = log.text();
        CHECK(text.find(" Could not read from the database: 5\r\n") != std::string::npos);
        CHECK(text.find(" Could not add file to the database: 5\r\n") != std::string::npos);
        CHECK(text.find(" Could not access watch directories database: database is locked\r\n") !=
              std::string::npos);

        sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        CHECK(db.QueryText("select count(*) from filelist") == "1");
    }
}

namespace {

struct Holder {
    std::string path;
    const char* begin;  // the transaction that takes the lock
    DWORD holdMs;
    HANDLE holding;     // set once the lock is held
};

// Another program's connection: takes a lock, keeps it for a while, lets it go.
DWORD WINAPI HoldDatabase(LPVOID argument)
{
    Holder& holder = *static_cast<Holder*>(argument);
    sqlite3* other = nullptr;
    sqlite3_open(holder.path.c_str(), &other);
    sqlite3_exec(other, holder.begin, nullptr, nullptr, nullptr);
    SetEvent(holder.holding);
    Sleep(holder.holdMs);
    sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    return 0;
}

}  // namespace

TEST_CASE("a lock held by another program for less than the service waits costs no statement")
{
    // A reader blocks the writes; a writer blocks the read.
    const char* const reading = "begin; select count(*) from filelist;";
    const char* const writing = "begin exclusive";
    enum Operation { insert, remove, load };
    struct Case {
        const char* title;
        const char* begin;
        Operation operation;
    } cases[] = {{"insert while another program reads", reading, insert},
                 {"delete while another program reads", reading, remove},
                 {"load while another program writes", writing, load}};
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        test::LogCapture log;
        svctest::DatabaseScope db;
        REQUIRE(InsertFileRow(Record("C:\\w\\a", 1, 2)));
        Holder holder = {db.path(), c.begin, 1000, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        HANDLE thread = CreateThread(nullptr, 0, HoldDatabase, &holder, 0, nullptr);
        REQUIRE(thread != nullptr);
        REQUIRE(WaitForSingleObject(holder.holding, 30000) == WAIT_OBJECT_0);
        if (c.operation == load) {
            KnownFileMap known;
            CHECK(LoadKnownFiles(known, "C:\\w"));
            CHECK(known.size() == 1);
        } else if (c.operation == insert) {
            CHECK(InsertFileRow(Record("C:\\w\\b", 2, 2)));
            CHECK(db.QueryText("select count(*) from filelist") == "2");
        } else {
            CHECK(DeleteFileRows(1, 2));
            CHECK(db.QueryText("select count(*) from filelist") == "0");
        }
        CHECK(WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(holder.holding);
        CHECK(log.text().find("Could not") == std::string::npos);
    }
}
