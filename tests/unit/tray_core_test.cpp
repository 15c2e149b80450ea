#include <doctest/doctest.h>

#include "app_state.h"
#include "folder_list.h"
#include "pipe_client.h"
#include "service_control.h"
#include "stored_files.h"
#include "test_support.h"
#include "text.h"
#include "tray_core_pipe_server.h"
#include "tray_pipe_open.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A state database laid out and filled the way the service writes it.
class StoredRows {
public:
    StoredRows() : path_(folder_ / L"SystemState2.trdb")
    {
        REQUIRE(sqlite3_open(test::Utf8(path_).c_str(), &db_) == SQLITE_OK);
        Exec("create table if not exists watchdirectories( directory text, user text );");
        Exec("create table if not exists filelist( path text, user text, attributes sqlite3_uint64, parentid "
             "sqlite3_uint64,\t\t\tself_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id "
             "sqlite3_uint64, localpath text);");
    }
    ~StoredRows() { sqlite3_close(db_); }

    void Exec(const char* sql) { REQUIRE(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK); }

    // Each row gets a stored copy's path of its own, as the service gives
    // each version; returns it.
    std::string Add(const std::string& path, uint64_t selfId, const std::string& stamp, uint64_t size = 10,
                    uint64_t attributes = FILE_ATTRIBUTE_ARCHIVE, uint64_t volumeId = 0x43000000)
    {
        const std::string localPath = FormatString("\\\\srv\\bk\\VarnBack\\PC\\%04u", ++added_);
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db_, "insert into filelist values( ?1, ?2, ?3, ?4, ?5, ?6,?7, ?8, ?9);", -1,
                                   &statement, nullptr) == SQLITE_OK);
        sqlite3_bind_text(statement, 1, path.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, " ", -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(attributes));
        sqlite3_bind_int64(statement, 4, 7);
        sqlite3_bind_int64(statement, 5, static_cast<sqlite3_int64>(selfId));
        sqlite3_bind_text(statement, 6, stamp.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 7, static_cast<sqlite3_int64>(size));
        sqlite3_bind_int64(statement, 8, static_cast<sqlite3_int64>(volumeId));
        sqlite3_bind_text(statement, 9, localPath.c_str(), -1, SQLITE_STATIC);
        CHECK(sqlite3_step(statement) == SQLITE_DONE);
        sqlite3_finalize(statement);
        return localPath;
    }

    // A state of its own, as the control centre has after loading the folders.
    void Attach(AppState& state) { REQUIRE(sqlite3_open(test::Utf8(path_).c_str(), &state.database) == SQLITE_OK); }
    sqlite3* db() { return db_; }

private:
    test::TempFolder folder_{L"rows"};
    std::wstring path_;
    sqlite3* db_ = nullptr;
    unsigned added_ = 0;
};

// The names in order, joined with "|", so that a failure shows them.
std::string Names(const std::vector<FileListEntry>& entries)
{
    std::string names;
    for (const FileListEntry& entry : entries)
        names += (names.empty() ? "" : "|") + test::Utf8(entry.name);
    return names;
}

const uint64_t bigId = 0x8000000000000005ull;  // stored as a negative integer

}  // namespace

TEST_CASE("a folder lists its own row and the entries below it, its text compared literally")
{
    StoredRows rows;
    rows.Add("D:\\Data", 1, "20240101 100000.000", 0, FILE_ATTRIBUTE_DIRECTORY);
    rows.Add("D:\\Data", 1, "20240102 100000.000", 0, FILE_ATTRIBUTE_DIRECTORY);
    rows.Add("D:\\Data\\b.txt", 2, "20240101 100000.000");
    rows.Add("D:\\data\\sub\\a.txt", 3, "20240101 100000.000");
    rows.Add("D:\\Data2\\c.txt", 4, "20240101 100000.000");
    rows.Add("D:\\Database.txt", 5, "20240101 100000.000");
    rows.Add("D:\\Other\\d.txt", 6, "20240101 100000.000");
    // Moved out of the folder: its newest path decides.
    rows.Add("D:\\Data\\moved.txt", 7, "20240101 100000.000");
    rows.Add("D:\\Other\\moved.txt", 7, "20240103 100000.000");
    // '_' and '%' in a folder's name are its own characters.
    rows.Add("C:\\al_ha\\x.txt", 8, "20240101 100000.000");
    rows.Add("C:\\alpha\\y.txt", 9, "20240101 100000.000");
    rows.Add("C:\\50%\\p.txt", 10, "20240101 100000.000");
    rows.Add("C:\\500\\q.txt", 11, "20240101 100000.000");
    rows.Add("C:\\up^\\r.txt", 12, "20240101 100000.000");  // '^' escapes the patterns
    AppState state;
    rows.Attach(state);

    const std::pair<const char*, const char*> cases[] = {
        // Sorted by the bytes of the path: upper case before lower case.
        {"D:\\Data", "Data|b.txt|a.txt"},
        {"d:\\DATA", "Data|b.txt|a.txt"},  // ASCII letters in any case, as Windows compares names
        {"D:\\Data\\", "b.txt|a.txt"},
        {"D:\\Other", "d.txt|moved.txt"},
        {"C:\\al_ha", "x.txt"},
        {"C:\\50%", "p.txt"},
        {"C:\\up^", "r.txt"},
        // A drive root: everything on the drive; '2' sorts before '\\', and '\\' before 'b'.
        {"D:\\", "Data|c.txt|b.txt|Database.txt|d.txt|moved.txt|a.txt"},
        {"D:\\Dat", ""},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.first));
        REQUIRE(QueryFolderFiles(state, c.first, state.fileListing));
        CHECK(Names(state.fileListing) == c.second);
    }

    test::LogCapture log;
    REQUIRE(QueryFolderFiles(state, "D:\\Data", state.fileListing));
    const FileListEntry& folder = state.fileListing[0];
    CHECK(folder.attributes == FILE_ATTRIBUTE_DIRECTORY);
    CHECK(folder.versionCount == 2);
    CHECK(folder.modificationTime == "20240102 100000.000");
    const std::string text = log.text();
    CHECK(text.find(" Attempting to query files for D:\\Data\r\n") != std::string::npos);
    CHECK(text.find(" Got 3 files from DB for folder D:\\Data, self_id 0\r\n") != std::string::npos);

    SUBCASE("a search pattern still matches as LIKE does, and an empty one lists every entry")
    {
        REQUIRE(state.QueryFiles("D:\\Data", state.fileListing, 0, 0));
        CHECK(Names(state.fileListing) == "Data|c.txt|b.txt|Database.txt|a.txt");
        CHECK(log.text().find(" Got 5 files from DB for folder D:\\Data%%, self_id 0\r\n") != std::string::npos);
        REQUIRE(state.QueryFiles("", state.fileListing, 0, 0));
        CHECK(state.fileListing.size() == 12);
    }
}

TEST_CASE("a search text matches any path containing it, ASCII letters in any case")
{
    StoredRows rows;
    rows.Add("C:\\Work\\Report.TXT", 1, "20240101 100000.000");
    rows.Add("C:\\reports\\x.doc", 2, "20240101 100000.000");
    rows.Add("C:\\Work\\rep_ort.txt", 3, "20240101 100000.000");
    rows.Add("C:\\Work\\repXort.txt", 4, "20240101 100000.000");
    rows.Add("C:\\Work\\\xC3\x89t\xC3\xA9.txt", 5, "20240101 100000.000");  // Été.txt
    AppState state;
    rows.Attach(state);

    const std::pair<const char*, const char*> cases[] = {
        {"REPORT", "Report.TXT|x.doc"},
        {"rep_ort", "repXort.txt|rep_ort.txt"},  // '_' stands for any one character
        {"\xC3\xA9t\xC3\xA9", ""},                 // é does not match É
        {"\xC3\x89T\xC3\xA9", "\xC3\x89t\xC3\xA9.txt"},  // but t matches T
        {"nothing", ""},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.first));
        REQUIRE(state.QueryFiles(std::string("%%") + c.first + "%%", state.fileListing, 0, 0));
        CHECK(Names(state.fileListing) == c.second);
    }
}

TEST_CASE("a renamed file is one row under its newest path, counting every version")
{
    StoredRows rows;
    rows.Add("D:\\Data\\draft.txt", bigId, "20240101 080000.000", 100);
    rows.Add("D:\\Data\\second.txt", bigId, "20240201 080000.000", 200);
    rows.Add("D:\\Data\\final.txt", bigId, "20240301 080000.000", 300, FILE_ATTRIBUTE_READONLY);
    AppState state;
    rows.Attach(state);

    REQUIRE(state.QueryFiles("D:\\Data\\", state.fileListing, 0, 0));
    REQUIRE(state.fileListing.size() == 1);
    const FileListEntry& row = state.fileListing[0];
    CHECK(row.name == L"final.txt");
    CHECK(row.versionCount == 3);
    CHECK(row.selfId == bigId);
    CHECK(row.modificationTime == "20240301 080000.000");
    CHECK(row.size == 300);
    CHECK(row.attributes == FILE_ATTRIBUTE_READONLY);
    CHECK(row.volumeId == 0x43000000);

    SUBCASE("its versions come newest first, one each, with their own columns")
    {
        test::LogCapture log;
        REQUIRE(state.QueryFileVersions(state.fileVersions, bigId, 0x43000000));
        REQUIRE(state.fileVersions.size() == 3);
        CHECK(Names(state.fileVersions) == "final.txt|second.txt|draft.txt");
        const uint64_t sizes[] = {300, 200, 100};
        for (size_t i = 0; i < 3; ++i) {
            CHECK(state.fileVersions[i].versionCount == 1);
            CHECK(state.fileVersions[i].size == sizes[i]);
            CHECK(state.fileVersions[i].selfId == bigId);
            CHECK(state.fileVersions[i].volumeId == 0x43000000);
        }
        CHECK(state.fileVersions[2].modificationTime == "20240101 080000.000");
        CHECK(log.text().find(" Got 3 files from DB for folder , self_id 9223372036854775813\r\n") !=
              std::string::npos);
    }
}

TEST_CASE("a moved file keeps its time: the row added last gives the path shown, searched and listed")
{
    StoredRows rows;
    // b.txt moved to sub\bee.txt: a new row, same time. The later row's other
    // columns differ here only to show that the whole row is taken from it.
    rows.Add("C:\\data\\alpha\\b.txt", 2, "20240301 100000.000", 4, FILE_ATTRIBUTE_ARCHIVE);
    rows.Add("C:\\data\\alpha\\sub\\bee.txt", 2, "20240301 100000.000", 5, FILE_ATTRIBUTE_READONLY);
    // Among different times too the row added last decides: the content came
    // back with an older time (an archive unpacked over the file, and renamed).
    rows.Add("C:\\data\\alpha\\new.txt", 3, "20240302 100000.000");
    rows.Add("C:\\data\\alpha\\older.txt", 3, "20240201 100000.000");
    AppState state;
    rows.Attach(state);

    REQUIRE(QueryFolderFiles(state, "C:\\data\\alpha\\sub", state.fileListing));
    REQUIRE(state.fileListing.size() == 1);
    const FileListEntry& moved = state.fileListing[0];
    CHECK(moved.name == L"bee.txt");
    CHECK(moved.versionCount == 2);
    CHECK(moved.modificationTime == "20240301 100000.000");
    CHECK(moved.size == 5);
    CHECK(moved.attributes == FILE_ATTRIBUTE_READONLY);
    CHECK(moved.volumeId == 0x43000000);  // a move stays on its volume: one file

    REQUIRE(QueryFolderFiles(state, "C:\\data\\alpha", state.fileListing));
    CHECK(Names(state.fileListing) == "older.txt|bee.txt");
    REQUIRE(state.QueryFiles("%%bee%%", state.fileListing, 0, 0));
    CHECK(Names(state.fileListing) == "bee.txt");
    REQUIRE(state.QueryFiles("%%b.txt%%", state.fileListing, 0, 0));
    CHECK(Names(state.fileListing) == "");

    // Versions in the order of storing, the one added last first, whatever their times.
    REQUIRE(state.QueryFileVersions(state.fileVersions, 2, 0x43000000));
    CHECK(Names(state.fileVersions) == "bee.txt|b.txt");
    REQUIRE(state.QueryFileVersions(state.fileVersions, 3, 0x43000000));
    CHECK(Names(state.fileVersions) == "older.txt|new.txt");
}

TEST_CASE("a file is one self id on one volume, and its newest row is the one stored last")
{
    // C:\W reaches two volumes whose files b.txt and c.txt both have index 3;
    // their versions were stored in turn. c.txt's content last came back with
    // an older time (an archive unpacked over it); d.txt was simply edited.
    const uint64_t volumeB = 0x11112222, volumeC = 0x33334444;
    StoredRows rows;
    rows.Add("C:\\W\\v1\\b.txt", 3, "20240301 100000.000", 11, FILE_ATTRIBUTE_ARCHIVE, volumeB);
    rows.Add("C:\\W\\v2\\c.txt", 3, "20240301 110000.000", 21, FILE_ATTRIBUTE_ARCHIVE, volumeC);
    rows.Add("C:\\W\\v1\\b.txt", 3, "20240302 100000.000", 12, FILE_ATTRIBUTE_ARCHIVE, volumeB);
    rows.Add("C:\\W\\v2\\c.txt", 3, "20240302 110000.000", 22, FILE_ATTRIBUTE_ARCHIVE, volumeC);
    rows.Add("C:\\W\\v1\\b.txt", 3, "20240303 100000.000", 13, FILE_ATTRIBUTE_ARCHIVE, volumeB);
    rows.Add("C:\\W\\v2\\c.txt", 3, "20240201 110000.000", 23, FILE_ATTRIBUTE_READONLY, volumeC);
    rows.Add("C:\\W\\v1\\d.txt", 4, "20240301 100000.000", 31, FILE_ATTRIBUTE_ARCHIVE, volumeB);
    rows.Add("C:\\W\\v1\\d.txt", 4, "20240304 100000.000", 32, FILE_ATTRIBUTE_ARCHIVE, volumeB);
    AppState state;
    rows.Attach(state);

    // name, self id, volume, count, time (what a restore of several entries
    // asks for), size and attributes of each listed entry
    const auto listed = [&] {
        std::string text;
        for (const FileListEntry& entry : state.fileListing)
            text += FormatString("%s%s %I64u %I64X %I64u %s %I64u %I64u", text.empty() ? "" : "|",
                                 test::Utf8(entry.name).c_str(), entry.selfId, entry.volumeId, entry.versionCount,
                                 entry.modificationTime.c_str(), entry.size, entry.attributes);
        return text;
    };
    const std::string b = "b.txt 3 11112222 3 20240303 100000.000 13 32";
    const std::string c = "c.txt 3 33334444 3 20240201 110000.000 23 1";  // the whole row stored last
    const std::string d = "d.txt 4 11112222 2 20240304 100000.000 32 32";

    REQUIRE(QueryFolderFiles(state, "C:\\W", state.fileListing));
    CHECK(listed() == b + "|" + d + "|" + c);
    const std::pair<const char*, std::string> searches[] = {{"%%c.txt%%", c}, {"%%b.txt%%", b}, {"%%d.txt%%", d}};
    for (const auto& search : searches) {
        REQUIRE(state.QueryFiles(search.first, state.fileListing, 0, 0));
        CHECK(listed() == search.second);
    }

    // Each file's own versions, the one stored last first, as the listing has it.
    const std::pair<uint64_t, std::string> versions[] = {
        {volumeB, "b.txt 11112222 20240303 100000.000|b.txt 11112222 20240302 100000.000|"
                  "b.txt 11112222 20240301 100000.000"},
        {volumeC, "c.txt 33334444 20240201 110000.000|c.txt 33334444 20240302 110000.000|"
                  "c.txt 33334444 20240301 110000.000"},
        {0x43000000, ""},
    };
    for (const auto& v : versions) {
        REQUIRE(state.QueryFileVersions(state.fileVersions, 3, v.first));
        std::string shown;
        for (const FileListEntry& version : state.fileVersions)
            shown += FormatString("%s%s %I64X %s", shown.empty() ? "" : "|", test::Utf8(version.name).c_str(),
                                  version.volumeId, version.modificationTime.c_str());
        CHECK(shown == v.second);
    }
}

TEST_CASE("a file's versions come in the order of storing, each naming its own stored copy")
{
    struct Version {
        const char* path;
        const char* stamp;
        uint64_t size;
    };
    struct Case {
        const char* label;
        std::vector<Version> stored;  // in the order of storing
    };
    const Case cases[] = {
        {"times agree with storing",
         {{"D:\\v\\a.txt", "20240101 100000.000", 1},
          {"D:\\v\\a.txt", "20240201 100000.000", 2},
          {"D:\\v\\a.txt", "20240301 100000.000", 3}}},
        // New content under the same second, and a rename, which keeps the time.
        {"content changed, time kept",
         {{"D:\\v\\kb.bin", "20240501 120000.000", 1536}, {"D:\\v\\kb.bin", "20240501 120000.000", 2048}}},
        {"renamed",
         {{"D:\\v\\axb.txt", "20240502 080000.000", 7}, {"D:\\v\\axb-renamed.txt", "20240502 080000.000", 7}}},
        {"time set back",
         {{"D:\\v\\Beta.txt", "20261210 090000.000", 5}, {"D:\\v\\Beta.txt", "20200304 090000.000", 23}}},
        {"back, then forward",
         {{"D:\\v\\c.txt", "20240301 100000.000", 1},
          {"D:\\v\\c.txt", "20240101 100000.000", 2},
          {"D:\\v\\c.txt", "20240201 100000.000", 3}}},
        {"forward, then back",
         {{"D:\\v\\d.txt", "20240101 100000.000", 1},
          {"D:\\v\\d.txt", "20240301 100000.000", 2},
          {"D:\\v\\d.txt", "20240201 100000.000", 3}}},
    };
    // Name, time, size and stored copy of each entry.
    const auto describe = [](const std::string& name, const std::string& stamp, uint64_t size,
                             const std::string& localPath) {
        return FormatString("%s %s %I64u %s|", name.c_str(), stamp.c_str(), size, localPath.c_str());
    };
    const auto shown = [&](const FileListEntry& entry) {
        return describe(test::Utf8(entry.name), entry.modificationTime, entry.size, entry.localPath);
    };
    StoredRows rows;
    std::vector<std::string> expected(std::size(cases));  // the version stored last first
    std::vector<std::string> storedLast(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const Version& v : cases[i].stored) {
            const std::string localPath = rows.Add(v.path, 100 + i, v.stamp, v.size);
            const std::string path = v.path;
            storedLast[i] = describe(path.substr(path.rfind('\\') + 1), v.stamp, v.size, localPath);
            expected[i] = storedLast[i] + expected[i];
        }
    }
    AppState state;
    rows.Attach(state);
    REQUIRE(QueryFolderFiles(state, "D:\\v", state.fileListing));
    const std::vector<FileListEntry> listing = state.fileListing;
    REQUIRE(listing.size() == std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        CAPTURE(std::string(cases[i].label));
        REQUIRE(state.QueryFileVersions(state.fileVersions, 100 + i, 0x43000000));
        std::string versions;
        for (const FileListEntry& version : state.fileVersions)
            versions += shown(version);
        CHECK(versions == expected[i]);
        // The first version is the file's listing row, stored copy and all.
        for (const FileListEntry& entry : listing)
            if (entry.selfId == 100 + i)
                CHECK(shown(entry) == storedLast[i]);
    }
    // A search's row carries the stored copy of the version stored last too.
    REQUIRE(state.QueryFiles("%%kb.bin%%", state.fileListing, 0, 0));
    REQUIRE(state.fileListing.size() == 1);
    CHECK(shown(state.fileListing[0]) == storedLast[1]);
}

TEST_CASE("an entry's name is the last piece of its stored path")
{
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"D:\\", L"D:"},
        {"D:\\Data\\", L"Data"},
        {"D:\\Data\\report.txt", L"report.txt"},
        {"plain", L"plain"},
        {"C:\\\xE6\x97\xA5\xE6\x9C\xAC", L"\u65e5\u672c"},
    };
    StoredRows rows;
    uint64_t id = 1;
    for (const auto& c : cases)
        rows.Add(c.first, id++, "20240101 100000.000");
    AppState state;
    rows.Attach(state);
    id = 1;
    for (const auto& c : cases) {
        CAPTURE(std::string(c.first));
        REQUIRE(state.QueryFileVersions(state.fileVersions, id++, 0x43000000));
        REQUIRE(state.fileVersions.size() == 1);
        CHECK(state.fileVersions[0].name == c.second);
    }
}

TEST_CASE("stored times are shown in local time now, long date and 24-hour time")
{
    // The test runs one hour ahead of UTC, in the en-GB locale.
    CHECK(StampToDisplayText("20240131 235959.000") == L"Thursday, 1 February 2024 00:59:59");
    CHECK(StampToDisplayText("20230701 120000.000") == L"Saturday, 1 July 2023 13:00:00");

    StoredRows rows;
    rows.Add("D:\\a.txt", 1, "20240131 235959.000");
    AppState state;
    rows.Attach(state);
    REQUIRE(state.QueryFiles("D:\\", state.fileListing, 0, 0));
    REQUIRE(state.fileListing.size() == 1);
    CHECK(state.fileListing[0].timeText == L"Thursday, 1 February 2024 00:59:59");
    CHECK(state.fileListing[0].modificationTime == "20240131 235959.000");

    SYSTEMTIME calendar = {2024, 2, 0, 29, 7, 5, 9, 0};
    FILETIME local;
    REQUIRE(SystemTimeToFileTime(&calendar, &local));
    CHECK(FileTimeToDisplayText(local) == L"Thursday, 29 February 2024 07:05:09");
    FILETIME beyond = {0xFFFFFFFF, 0xFFFFFFFF};  // no calendar date
    CHECK(FileTimeToDisplayText(beyond) == L"");
}

TEST_CASE("rows the service never writes still give whole entries")
{
    StoredRows rows;
    const char* const malformed[] = {"", "garbage", "20241301 000000.000", "2024013 235959.000",
                                     "20240131T235959.000", "20240131 235959.0001"};
    uint64_t id = 1;
    for (const char* stamp : malformed)
        rows.Add("D:\\m\\x.txt", id++, stamp);
    rows.Exec("insert into filelist values( NULL, ' ', 32, 7, 50, '20240101 100000.000', 1, 2, '' );");
    rows.Exec("insert into filelist values( 'D:\\n\\y.txt', ' ', 32, 7, 51, NULL, 1, 2, '' );");
    AppState state;
    rows.Attach(state);

    id = 1;
    for (const char* stamp : malformed) {
        CAPTURE(stamp);
        REQUIRE(state.QueryFileVersions(state.fileVersions, id++, 0x43000000));
        REQUIRE(state.fileVersions.size() == 1);
        CHECK(state.fileVersions[0].modificationTime == stamp);
        CHECK(state.fileVersions[0].timeText == L"");
    }

    REQUIRE(state.QueryFileVersions(state.fileVersions, 50, 2));
    REQUIRE(state.fileVersions.size() == 1);
    CHECK(state.fileVersions[0].name == L"");
    CHECK(state.fileVersions[0].timeText != L"");

    REQUIRE(state.QueryFiles("D:\\n", state.fileListing, 0, 0));
    REQUIRE(state.fileListing.size() == 1);
    CHECK(state.fileListing[0].name == L"y.txt");
    CHECK(state.fileListing[0].modificationTime == "");
    CHECK(state.fileListing[0].timeText == L"");
}

TEST_CASE("queries without rows to read")
{
    SUBCASE("no database connection, or no filelist table: empty and true")
    {
        AppState none;
        CHECK(none.QueryFiles("D:\\", none.fileListing, 0, 0));
        CHECK(none.fileListing.empty());

        test::TempFolder folder(L"empty");
        AppState fresh;
        REQUIRE(sqlite3_open(test::Utf8(folder / L"new.trdb").c_str(), &fresh.database) == SQLITE_OK);
        fresh.fileVersions.resize(2);
        CHECK(fresh.QueryFileVersions(fresh.fileVersions, 4, 0x43000000));
        CHECK(fresh.fileVersions.empty());
    }
    SUBCASE("a database locked before the connection first read it: false and the code logged")
    {
        StoredRows rows;
        rows.Add("D:\\a.txt", 1, "20240101 100000.000");
        AppState state;
        rows.Attach(state);
        // The statements cannot compile without the schema, which cannot be read under the lock.
        rows.Exec("begin exclusive;");
        test::LogCapture log;
        CHECK_FALSE(state.QueryFiles("D:\\", state.fileListing, 0, 0));
        CHECK_FALSE(QueryFolderFiles(state, "D:\\", state.fileListing));
        CHECK_FALSE(state.QueryFileVersions(state.fileVersions, 1, 0x43000000));
        CHECK(log.text().find(" Could not read from the database: 5\r\n") != std::string::npos);
        rows.Exec("commit;");
        CHECK(QueryFolderFiles(state, "D:\\", state.fileListing));
        CHECK(state.fileListing.size() == 1);
    }
    SUBCASE("a database locked by the service's connection: false and the code logged")
    {
        StoredRows rows;
        rows.Add("D:\\a.txt", 1, "20240101 100000.000");
        AppState state;
        rows.Attach(state);
        // Read once first, as the control centre has, so that only the step meets the lock.
        REQUIRE(state.QueryFiles("D:\\", state.fileListing, 0, 0));
        REQUIRE(state.fileListing.size() == 1);
        rows.Exec("begin exclusive;");
        test::LogCapture log;
        CHECK_FALSE(state.QueryFiles("D:\\", state.fileListing, 0, 0));
        CHECK(state.fileListing.empty());
        CHECK(log.text().find(" Could not read from the database: 5\r\n") != std::string::npos);
        rows.Exec("commit;");
        CHECK(state.QueryFiles("D:\\", state.fileListing, 0, 0));
        CHECK(state.fileListing.size() == 1);
    }
}

TEST_CASE("the state closes its own connection")
{
    test::TempFolder folder(L"close");
    const std::wstring path = folder / L"s.trdb";
    {
        AppState state;
        REQUIRE(sqlite3_open(test::Utf8(path).c_str(), &state.database) == SQLITE_OK);
        REQUIRE(sqlite3_exec(state.database, "create table t(x);", nullptr, nullptr, nullptr) == SQLITE_OK);
        state.AttachMainWindow(reinterpret_cast<HWND>(0x1234));
        CHECK(state.mainWindow == reinterpret_cast<HWND>(0x1234));
    }
    // Deletable only once no connection holds it.
    CHECK(DeleteFileW(path.c_str()));

    AppState initial;
    CHECK(initial.mainWindow == nullptr);
    CHECK(initial.database == nullptr);
    CHECK(initial.errorText == nullptr);
    CHECK(initial.lastResult == 0);
    CHECK(initial.scmAccess == 1);
    CHECK(initial.serviceAccess == 0xB4);
}

TEST_CASE("a request is one connection: command, argument when there is one, one reply")
{
    struct Case {
        const char* label;
        std::string command;
        std::string argument;
        std::string replyBytes;  // what the server writes back
        std::string reply;       // what SendPipeCommand returns
        std::vector<std::string> received;
    };
    const std::string longest(32767, 'x');
    const Case cases[] = {
        {"add", "ADD FOLDER", "C:\\w\tann", test::PipeFrame("OK") + test::PipeFrame("OK"), "OK",
         {"ADD FOLDER", "C:\\w\tann"}},
        {"empty argument not sent", "LIST FOLDERS", "", test::PipeFrame("3"), "3", {"LIST FOLDERS"}},
        {"32767 bytes whole", "LIST FOLDERS", "", test::PipeFrame(longest), longest, {"LIST FOLDERS"}},
        {"32768 refused", "LIST FOLDERS", "", test::PipeCount(32768) + std::string(32768, 'y'), "",
         {"LIST FOLDERS"}},
        {"no reply", "GET FOLDER", "", "", "", {"GET FOLDER"}},
        {"short body", "LIST FOLDERS", "", test::PipeCount(10) + "abcd", "abcd", {"LIST FOLDERS"}},
        {"zero byte ends the text", "LIST FOLDERS", "", test::PipeFrame(std::string("ab\0cd", 5)), "ab",
         {"LIST FOLDERS"}},
        {"empty reply", "LIST FOLDERS", "", test::PipeFrame(""), "", {"LIST FOLDERS"}},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.label));
        bool closedAfter = false;
        test::ScriptedPipeServer server([&](test::ScriptedPipeServer& s) {
            std::string text;
            for (size_t i = 0; i < c.received.size(); ++i)
                s.ReadMessage(text);
            if (c.replyBytes.empty()) {
                // Anything more the client sent would show in received(); the
                // server's close then ends the client's wait for a reply.
                s.ReadMessage(text, 500);
                return;
            }
            s.WriteBytes(c.replyBytes);
            closedAfter = s.WaitForClientClose();
        });
        REQUIRE(server.created());
        CHECK(SendPipeCommand(c.command, c.argument) == c.reply);
        REQUIRE(server.Finish());
        CHECK(server.received() == c.received);
        if (!c.replyBytes.empty())
            CHECK(closedAfter);  // nothing more was sent, and the handle was closed
    }
}

TEST_CASE("a command that needs an argument is not sent without one")
{
    for (const char* command : {"ADD FOLDER", "REMOVE FOLDER"}) {
        CAPTURE(std::string(command));
        test::ScriptedPipeServer server(nullptr);
        REQUIRE(server.created());
        CHECK(SendPipeCommand(command, "") == "");
        // The server's one instance is still free for a client of our own only
        // when SendPipeCommand never connected: no wait for a connection.
        HANDLE probe = OpenControlPipe();
        CHECK(probe != INVALID_HANDLE_VALUE);
        if (probe != INVALID_HANDLE_VALUE)
            CloseHandle(probe);
        REQUIRE(server.Finish());
    }
}

TEST_CASE("no server, or a server busy with another client: an empty reply at once")
{
    CHECK(SendPipeCommand("LIST FOLDERS", "") == "");

    test::ScriptedPipeServer server([](test::ScriptedPipeServer& s) { s.WaitForClientClose(); });
    REQUIRE(server.created());
    HANDLE holder = OpenControlPipe();
    REQUIRE(holder != INVALID_HANDLE_VALUE);
    CHECK(SendPipeCommand("LIST FOLDERS", "") == "");
    CloseHandle(holder);
    CHECK(server.Finish());
}

TEST_CASE("the control centre opens the pipe so that a server can at most identify it")
{
    // Windows lets the server act as the client at full level unless the open
    // asks otherwise; Wine takes the flags and applies no level, so the open's
    // parameters are what can be seen here.
    test::PipeOpenRecorder recorder;
    SUBCASE("a request that is answered")
    {
        test::ScriptedPipeServer server([](test::ScriptedPipeServer& s) {
            std::string text;
            s.ReadMessage(text);
            s.WriteMessage("3");
            s.WaitForClientClose();
        });
        REQUIRE(server.created());
        CHECK(SendPipeCommand("LIST FOLDERS", "") == "3");
        REQUIRE(server.Finish());
        CHECK(server.received() == std::vector<std::string>{"LIST FOLDERS"});
    }
    SUBCASE("no server") { CHECK(SendPipeCommand("LIST FOLDERS", "") == ""); }
    SUBCASE("an open of its own")
    {
        test::ScriptedPipeServer server(nullptr);
        REQUIRE(server.created());
        HANDLE pipe = OpenControlPipe();
        CHECK(pipe != INVALID_HANDLE_VALUE);
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
        REQUIRE(server.Finish());
    }
    REQUIRE(recorder.opens().size() == 1);
    CHECK(test::PipeOpenText(recorder.opens()[0]) == test::ControlCentrePipeOpen());
}

namespace {

// The control centre's open without READ_CONTROL for the scope, so that the owner cannot be read.
struct OpenWithoutReadControl {
    OpenWithoutReadControl() { openControlPipeFile = Open; }
    ~OpenWithoutReadControl() { openControlPipeFile = CreateFileW; }
    static HANDLE WINAPI Open(LPCWSTR name, DWORD, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                              DWORD flags, HANDLE templateFile)
    {
        return CreateFileW(name, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, share, security, disposition, flags,
                           templateFile);
    }
};

}  // namespace

TEST_CASE("the control centre sends nothing to a pipe that neither LocalSystem nor the Administrators group owns")
{
    for (const test::PipeOwnerCase& c : test::PipeOwnerCases()) {
        CAPTURE(test::Utf8(c.descriptor));
        test::LogCapture log;
        test::ScriptedPipeServer server(
            [](test::ScriptedPipeServer& s) {
                std::string text;
                if (s.ReadMessage(text))
                    s.WriteMessage("3");
                s.WaitForClientClose();
            },
            10000, c.descriptor);
        REQUIRE(server.created());
        CHECK(SendPipeCommand("LIST FOLDERS", "") == (c.accepted ? "3" : ""));
        REQUIRE(server.Finish());
        CHECK(server.received() == (c.accepted ? std::vector<std::string>{"LIST FOLDERS"} : std::vector<std::string>{}));
        const std::string text = log.text();
        CHECK(test::Occurrences(text, "Nothing was sent.") == (c.accepted ? 0u : 1u));
        if (!c.accepted)
            CHECK(test::Occurrences(text, std::string(" ") + c.line + "\r\n") == 1);
    }
    SUBCASE("an owner that cannot be read")
    {
        test::LogCapture log;
        test::ScriptedPipeServer server([](test::ScriptedPipeServer& s) { s.WaitForClientClose(); });
        REQUIRE(server.created());
        {
            OpenWithoutReadControl open;
            CHECK(OpenControlPipe() == INVALID_HANDLE_VALUE);
        }
        REQUIRE(server.Finish());
        CHECK(server.clientConnected());
        CHECK(server.received().empty());
        CHECK(test::Occurrences(log.text(),
                          " Error: Could not read the owner of the control pipe (error 5). Nothing was sent.\r\n") == 1);
    }
}

TEST_CASE("a failed write throws 2, a good one sends count and text")
{
    test::ScriptedPipeServer server([](test::ScriptedPipeServer& s) {
        std::string text;
        s.ReadMessage(text);
        s.ReadMessage(text);
    });
    REQUIRE(server.created());
    HANDLE pipe = OpenControlPipe();
    REQUIRE(pipe != INVALID_HANDLE_VALUE);
    CHECK(WritePipeMessage(pipe, "RESTORE FILES"));
    CHECK_NOTHROW(WritePipeMessageOrThrow(pipe, "C:\\target"));
    REQUIRE(server.Finish());
    CHECK(server.received() == std::vector<std::string>{"RESTORE FILES", "C:\\target"});
    // The server has gone: the connection is broken.
    std::string reply = "stale";
    CHECK_FALSE(ReadPipeMessage(pipe, reply));
    CHECK(reply == "");
    CHECK_FALSE(WritePipeMessage(pipe, "1"));
    bool thrown = false;
    try {
        WritePipeMessageOrThrow(pipe, "1");
    } catch (unsigned long code) {
        thrown = code == 2;
    }
    CHECK(thrown);
    CloseHandle(pipe);
}

TEST_CASE("adding a folder sends its path, a tab and a user name, in UTF-8")
{
    const wchar_t* saved = _wgetenv(L"USERNAME");
    const std::wstring savedName = saved != nullptr ? saved : L"";
    struct Case {
        const wchar_t* setting;  // the USERNAME assignment for _wputenv
        bool accountName;        // expect the account's name in place of the variable
    };
    const Case cases[] = {{L"USERNAME=ann \u00e9", false}, {L"USERNAME=", true}};
    wchar_t account[257] = {};
    DWORD size = 257;
    REQUIRE(GetUserNameW(account, &size));
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.setting));
        _wputenv(c.setting);
        const std::string user = c.accountName ? test::Utf8(account) : "ann \xC3\xA9";
        CHECK(AddFolderUserName() == user);
        test::ScriptedPipeServer server([](test::ScriptedPipeServer& s) {
            std::string text;
            s.ReadMessage(text);
            s.ReadMessage(text);
            s.WriteMessage("OK");
            s.WriteMessage("OK");
        });
        REQUIRE(server.created());
        RequestAddFolder(L"C:\\Fotos \u65e5");
        REQUIRE(server.Finish());
        CHECK(server.received() ==
              std::vector<std::string>{"ADD FOLDER", "C:\\Fotos \xE6\x97\xA5\t" + user});
    }
    _wputenv((L"USERNAME=" + savedName).c_str());
}

TEST_CASE("folder rows: the directory column, NULL left out")
{
    folderNames.clear();
    char first[] = "C:\\a";
    char* row[] = {first};
    char* nullRow[] = {nullptr};
    CHECK(CollectDirectoryRow(nullptr, 1, row, nullptr) == 0);
    CHECK(CollectDirectoryRow(nullptr, 1, nullRow, nullptr) == 0);
    CHECK(CollectDirectoryRow(nullptr, 0, nullptr, nullptr) == 0);
    CHECK(folderNames == std::vector<std::string>{"C:\\a"});
    folderNames.clear();
}

TEST_CASE("narrow error texts")
{
    CHECK(Win32ErrorTextA(ERROR_FILE_NOT_FOUND).find("not found") != std::string::npos);
    CHECK(Win32ErrorTextA(0x2000FFFF) == "Unknown error message with code 536936447 (Win32)");
    // A text with inserts is returned as it stands, not filled from nothing.
    CHECK(Win32ErrorTextA(ERROR_BAD_EXE_FORMAT).find("%1") != std::string::npos);
}
