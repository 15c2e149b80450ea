#include <doctest/doctest.h>

#include "service_core_support.h"
#include "service_state.h"

namespace {

bool HasTable(svctest::DatabaseScope& db, const char* name)
{
    return db.QueryText(std::string("select count(*) from sqlite_master where type = 'table' and name = '") + name +
                        "'") == "1";
}

// The stored schema text: SQLite keeps the statement from "CREATE TABLE" on.
std::string StoredSchema(const char* statement)
{
    std::string text = statement;
    const std::string lead = "create table if not exists ";
    REQUIRE(text.compare(0, lead.size(), lead) == 0);
    REQUIRE(text.back() == ';');
    return "CREATE TABLE " + text.substr(lead.size(), text.size() - lead.size() - 1);
}

}  // namespace

TEST_CASE("a brand-new database gets both tables with their exact column lists and an empty folder list")
{
    test::LogCapture log;
    svctest::DatabaseScope db(false);
    watchDirectories.push_back("stale");
    watchUsers.push_back("stale");

    CHECK(LoadWatchDirectories());
    CHECK(watchDirectories.empty());
    CHECK(watchUsers.empty());
    CHECK(db.QueryText("select sql from sqlite_master where name = 'watchdirectories'") ==
          "CREATE TABLE watchdirectories( directory text, user text )");
    CHECK(db.QueryText("select sql from sqlite_master where name = 'filelist'") ==
          StoredSchema(createFileListStatement));
    CHECK(std::string(createFileListStatement).find("sqlite3_uint64,\t\t\tself_id") != std::string::npos);
    // Column order is the insert order of the rows.
    std::vector<std::vector<std::string>> columns = db.Query("pragma table_info(filelist)");
    const char* const expected[] = {"path",     "user", "attributes", "parentid", "self_id", "modificationtime",
                                    "size",     "volume_id", "localpath"};
    REQUIRE(columns.size() == 9);
    for (size_t i = 0; i < 9; ++i)
        CHECK(columns[i][1] == expected[i]);
    const std::string text = log.text();
    CHECK(text.find(" Watch Table created/already exists\r\n") != std::string::npos);
    CHECK(text.find(" Purging list of directories.\r\n") != std::string::npos);

    // A second start finds the tables in place.
    CHECK(LoadWatchDirectories());
}

TEST_CASE("watched folders load in row order, paths logged as plain text, NULL values handled")
{
    test::LogCapture log;
    svctest::DatabaseScope db;
    db.Exec("insert into watchdirectories values('C:\\100% sure\\%s%n%d', 'ann')");
    db.Exec("insert into watchdirectories values(NULL, 'bob')");
    db.Exec("insert into watchdirectories values('D:\\\xc3\xa9t\xc3\xa9', NULL)");
    db.Exec("insert into watchdirectories values('E:\\x', 'cy')");

    REQUIRE(LoadWatchDirectories());
    // A row without a directory names nothing to watch and is skipped; a row
    // without a user still watches its folder.
    CHECK(watchDirectories == std::vector<std::string>{"C:\\100% sure\\%s%n%d", "D:\\\xc3\xa9t\xc3\xa9", "E:\\x"});
    CHECK(watchUsers == std::vector<std::string>{"ann", "", "cy"});

    const std::string text = log.text();
    const size_t first = text.find(" C:\\100% sure\\%s%n%d\r\n");
    const size_t second = text.find(" D:\\\xc3\xa9t\xc3\xa9\r\n");
    const size_t third = text.find(" E:\\x\r\n");
    CHECK(first != std::string::npos);
    CHECK(second != std::string::npos);
    CHECK(third != std::string::npos);
    CHECK(first < second);
    CHECK(second < third);
}

TEST_CASE("failing statements stop the load and are logged with the library's text")
{
    SUBCASE("a watchdirectories table without the expected columns: the select fails, filelist is not created")
    {
        test::LogCapture log;
        svctest::DatabaseScope db(false);
        db.Exec("create table watchdirectories( folder text, owner text )");
        db.Exec("insert into watchdirectories values('C:\\a', 'x')");

        CHECK_FALSE(LoadWatchDirectories());
        CHECK(watchDirectories.empty());
        CHECK_FALSE(HasTable(db, "filelist"));
        CHECK(log.text().find(" SQL error while querying directories: no such column: directory\r\n") !=
              std::string::npos);
        CHECK(databaseErrorText == nullptr);
        CHECK(lastDatabaseResult == SQLITE_ERROR);
    }
    SUBCASE("a database that cannot be written: the first create fails and the list is left alone")
    {
        test::LogCapture log;
        svctest::DatabaseScope db(false);
        db.Exec("create table other(x)");
        sqlite3_close(databaseConnection);
        REQUIRE(sqlite3_open_v2(db.path().c_str(), &databaseConnection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
        watchDirectories.push_back("kept");

        CHECK_FALSE(LoadWatchDirectories());
        CHECK(watchDirectories == std::vector<std::string>{"kept"});
        const std::string text = log.text();
        CHECK(text.find(" Could not access watch directories database: attempt to write a readonly database\r\n") !=
              std::string::npos);
        CHECK(text.find("Watch Table created") == std::string::npos);
        CHECK(databaseErrorText == nullptr);
    }
}
