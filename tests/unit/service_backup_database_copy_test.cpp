#include <doctest/doctest.h>

#include "destination.h"
#include "folders.h"
#include "globals.h"
#include "service_backup_fixture.h"

using backup_test::AddRow;
using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::MachineFolder;
using backup_test::Row;
using backup_test::RunWatcher;
using backup_test::ServiceState;

namespace {

// A destination and no watched folders: every wake-up runs the steps after the folders.
struct CopySetup {
    ServiceState state;
    test::TempFolder dest;
    std::vector<WatchedFolder*> none;

    explicit CopySetup(const std::wstring& label = L"dest") : dest(label)
    {
        state.settings.Set(L"Destination", dest.path());
        state.settings.Set(L"MaxVersions", L"5");
        // The one row that tells a fresh copy from an older one.
        AddRow(Row{"C:\\x.txt", 32, 1, 77, "20240101 000000.000", 1, 2, "\\\\?\\C:\\nowhere"});
    }
    std::wstring Machine() const { return MachineFolder(dest.path()); }
    std::wstring CopyPath() const { return Machine() + L"\\SystemState2.trdb"; }
    void Pass() { RunWatcher(none, 1, 2000); }
    void MakeMachineFolder() const
    {
        CreateDirectoryW((dest.path() + L"\\VarnBack").c_str(), nullptr);
        CreateDirectoryW(Machine().c_str(), nullptr);
    }
};

// A complete database file unlike the service's, as an earlier copy.
std::string MakeDatabase(const std::wstring& path, const char* table)
{
    sqlite3* database = nullptr;
    sqlite3_open(test::Utf8(path).c_str(), &database);
    sqlite3_exec(database, (std::string("create table ") + table + "(x); insert into " + table + " values(1);").c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_close(database);
    return test::ReadFileBytes(path);
}

// True when the file is a database copy written by this pass: it holds the service's row.
bool IsFreshCopy(const std::wstring& path)
{
    sqlite3* copy = nullptr;
    if (sqlite3_open_v2(test::Utf8(path).c_str(), &copy, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(copy);
        return false;
    }
    const std::vector<Row> rows = FileRows(copy);
    sqlite3_close(copy);
    return rows.size() == 1 && rows[0].selfId == 77;
}

// Holds the state database the way another reader can, so that the pass's copy
// fails; lets go once the pass has reported the copy's outcome.
class SourceHeld {
public:
    explicit SourceHeld(const test::LogCapture& log) : log_(log)
    {
        sqlite3_open(databasePath.c_str(), &holder_);
        held_ = sqlite3_exec(holder_, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK;
        thread_ = CreateThread(nullptr, 0, LetGo, this, 0, nullptr);
    }
    ~SourceHeld()
    {
        WaitForSingleObject(thread_, 120000);
        CloseHandle(thread_);
        sqlite3_close(holder_);
    }
    bool held() const { return held_ && thread_ != nullptr; }

private:
    static DWORD WINAPI LetGo(LPVOID self)
    {
        SourceHeld& me = *static_cast<SourceHeld*>(self);
        for (int i = 0; i < 1200 && CountOf(me.log_.text(), " Backup API returned error code ") == 0; ++i)
            Sleep(50);
        sqlite3_exec(me.holder_, "commit", nullptr, nullptr, nullptr);
        return 0;
    }
    const test::LogCapture& log_;
    sqlite3* holder_ = nullptr;
    bool held_ = false;
    HANDLE thread_ = nullptr;
};

}  // namespace

TEST_CASE("the database copy is only ever replaced by a complete new copy")
{
    enum Left { nothing, staleTempBesideCopy, tempWithoutCopy, partialBesideCopy };
    struct Case {
        const char* what;
        Left left;
        bool copyFails;
    } cases[] = {
        {"first pass, copy fails", nothing, true},
        {"stale .temp beside a good copy, copy fails", staleTempBesideCopy, true},
        {"stale .temp beside a good copy, copy works", staleTempBesideCopy, false},
        {".temp without a copy, copy fails", tempWithoutCopy, true},
        {".temp without a copy, copy works", tempWithoutCopy, false},
        {"partial write beside a good copy, copy fails", partialBesideCopy, true},
        {"partial write beside a good copy, copy works", partialBesideCopy, false},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.what));
        CopySetup setup;
        const std::wstring copyPath = setup.CopyPath();
        const std::wstring tempPath = copyPath + L".temp";
        const std::wstring partialPath = copyPath + L".partial";
        setup.MakeMachineFolder();
        std::string good;
        if (c.left == staleTempBesideCopy) {
            good = MakeDatabase(copyPath, "previous");
            REQUIRE(test::WriteFileBytes(tempPath, "stale"));
        } else if (c.left == tempWithoutCopy) {
            // A crash between setting the copy aside and writing the next one.
            good = MakeDatabase(tempPath, "previous");
        } else if (c.left == partialBesideCopy) {
            good = MakeDatabase(copyPath, "previous");
            REQUIRE(test::WriteFileBytes(partialPath, std::string(1000, 'p')));
        }
        if (c.copyFails) {
            SourceHeld held(setup.state.log);
            REQUIRE(held.held());
            setup.Pass();
        } else {
            setup.Pass();
        }
        const std::string log = setup.state.log.text();
        CHECK(CountOf(log, " Backup API returned error code 0\r\n") == (c.copyFails ? 0u : 1u));
        if (!c.copyFails) {
            CHECK(IsFreshCopy(copyPath));
            CHECK_FALSE(test::FileExists(tempPath));
        } else if (c.left == nothing) {
            CHECK_FALSE(test::FileExists(copyPath));
        } else {
            // The previous complete copy is there under the copy's own name.
            CHECK(test::ReadFileBytes(copyPath) == good);
            // Nothing is thrown away while no newer copy stands.
            if (c.left == staleTempBesideCopy)
                CHECK(test::ReadFileBytes(tempPath) == "stale");
            else
                CHECK_FALSE(test::FileExists(tempPath));
        }
        CHECK_FALSE(test::FileExists(partialPath));
    }
}

TEST_CASE("a copy that cannot take the database copy's name leaves the previous copy in place")
{
    CopySetup setup;
    setup.MakeMachineFolder();
    const std::string good = MakeDatabase(setup.CopyPath(), "previous");
    // Open elsewhere without sharing, as a viewer or a scanner can hold it.
    HANDLE open = CreateFileW(setup.CopyPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(open != INVALID_HANDLE_VALUE);
    setup.Pass();
    CloseHandle(open);
    CHECK(test::ReadFileBytes(setup.CopyPath()) == good);
    CHECK_FALSE(test::FileExists(setup.CopyPath() + L".partial"));
    CHECK_FALSE(test::FileExists(setup.CopyPath() + L".temp"));
    CHECK(CountOf(setup.state.log.text(), " Could not replace the database copy " + test::Utf8(setup.CopyPath())) == 1);
}

TEST_CASE("a copy once written in place and cut off is rolled back, and its journal never meets a new copy")
{
    for (bool copyFails : {false, true}) {
        CAPTURE(copyFails);
        CopySetup setup;
        setup.MakeMachineFolder();
        const std::wstring copyPath = setup.CopyPath();
        const std::wstring journalPath = copyPath + L"-journal";
        MakeDatabase(copyPath, "previous");
        // Pages changed in the file, their old content in the journal beside it.
        std::string whole;
        {
            sqlite3* writer = nullptr;
            REQUIRE(sqlite3_open(test::Utf8(copyPath).c_str(), &writer) == SQLITE_OK);
            sqlite3_exec(writer, "pragma cache_size=1; create table big(x);", nullptr, nullptr, nullptr);
            whole = test::ReadFileBytes(copyPath);
            sqlite3_exec(writer, "begin", nullptr, nullptr, nullptr);
            for (int i = 0; i < 64; ++i)
                sqlite3_exec(writer, "insert into big values(zeroblob(2000))", nullptr, nullptr, nullptr);
            sqlite3_exec(writer, "update big set x = zeroblob(1500)", nullptr, nullptr, nullptr);
            REQUIRE(test::FileExists(journalPath));
            const std::string cutOff = test::ReadFileBytes(copyPath);
            const std::string journal = test::ReadFileBytes(journalPath);
            REQUIRE(cutOff != whole);
            sqlite3_exec(writer, "rollback", nullptr, nullptr, nullptr);
            sqlite3_close(writer);
            REQUIRE(test::WriteFileBytes(copyPath, cutOff));
            REQUIRE(test::WriteFileBytes(journalPath, journal));
        }
        if (copyFails) {
            SourceHeld held(setup.state.log);
            REQUIRE(held.held());
            setup.Pass();
            CHECK(test::ReadFileBytes(copyPath) == whole);
        } else {
            setup.Pass();
            CHECK(IsFreshCopy(copyPath));
        }
        CHECK_FALSE(test::FileExists(journalPath));
        // Opened again, the copy is what it was after the pass.
        sqlite3* copy = nullptr;
        REQUIRE(sqlite3_open(test::Utf8(copyPath).c_str(), &copy) == SQLITE_OK);
        sqlite3_stmt* check = nullptr;
        sqlite3_prepare_v2(copy, "pragma integrity_check", -1, &check, nullptr);
        CHECK(sqlite3_step(check) == SQLITE_ROW);
        CHECK(std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok");
        sqlite3_finalize(check);
        sqlite3_close(copy);
        CHECK(IsFreshCopy(copyPath) == !copyFails);
    }
}

TEST_CASE("the database paths are logged as the text they are")
{
    CopySetup setup(L"dest \u00e9\u00fc \u65e5\u672c");
    setup.Pass();
    const std::string local = test::Utf8(GetDataFolder() + L"\\SystemState2.trdb");
    CHECK(CountOf(setup.state.log.text(), " DB paths are " + local + ", " + test::Utf8(setup.CopyPath()) + "\r\n") ==
          1);
    CHECK(IsFreshCopy(setup.CopyPath()));
}
