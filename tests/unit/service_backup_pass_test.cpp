#include <doctest/doctest.h>

#include <map>
#include <set>

#include "destination.h"
#include "folders.h"
#include "service_backup_fixture.h"
#include "globals.h"
#include "text.h"
#include "watcher.h"

using backup_test::AddRow;
using backup_test::CountOf;
using backup_test::FileRows;
using backup_test::MachineFolder;
using backup_test::Row;
using backup_test::RunWatcher;
using backup_test::ServiceState;
using backup_test::StoredNames;

namespace {

const unsigned long long minute = 60 * 1000;
const unsigned long long day = 24 * 60 * minute;

// One watched folder (its name holds format directives) and a local destination.
struct PassSetup {
    ServiceState state;
    test::TempFolder source{L"src %s%n"};
    test::TempFolder dest{L"dest"};
    WatchedFolder folder;
    std::vector<WatchedFolder*> folders;

    PassSetup()
    {
        state.settings.Set(L"Destination", dest.path());
        state.settings.Set(L"ScanInterval", L"0");
        state.settings.Set(L"MaxVersions", L"5");
        folder.folderPath = test::Utf8(source.path());
        folders.push_back(&folder);
    }
    std::wstring Machine() const { return MachineFolder(dest.path()); }
    std::wstring CopyPath() const { return Machine() + L"\\SystemState2.trdb"; }
    void Pass(int wakeUps = 1) { RunWatcher(folders, wakeUps, 2000); }
};

void DeleteSetting(const wchar_t* name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsKey().c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

const test::LogCapture* commitWhenLogged = nullptr;
const char* const copyOutcome = " Backup API returned error code ";

// The service waits a while for a lock, so the writer holds on until the next copy has given up.
DWORD WINAPI CommitAfterAWhile(LPVOID database)
{
    const size_t before = CountOf(commitWhenLogged->text(), copyOutcome);
    for (int i = 0; i < 6000 && CountOf(commitWhenLogged->text(), copyOutcome) == before; ++i)
        Sleep(20);
    sqlite3_exec(static_cast<sqlite3*>(database), "commit", nullptr, nullptr, nullptr);
    return 0;
}

std::vector<Row> RowsFor(const std::wstring& path)
{
    std::vector<Row> rows;
    for (const Row& row : FileRows(databaseConnection))
        if (row.path == test::Utf8(path))
            rows.push_back(row);
    return rows;
}

std::multiset<std::string> RowTexts(sqlite3* database)
{
    std::multiset<std::string> texts;
    for (const Row& row : FileRows(database))
        texts.insert(row.path + "|" + std::to_string(row.selfId) + "|" + row.modificationTime + "|" +
                     std::to_string(row.size) + "|" + row.localPath);
    return texts;
}

}  // namespace

TEST_CASE("whole passes store new, edited and renamed files and nothing else")
{
    PassSetup setup;
    const std::wstring& src = setup.source.path();
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>(i % 251);
    CreateDirectoryW((src + L"\\sub").c_str(), nullptr);
    CreateDirectoryW((src + L"\\sub\\deeper").c_str(), nullptr);
    CreateDirectoryW((src + L"\\empty").c_str(), nullptr);
    const std::map<std::wstring, std::string> files = {
        {src + L"\\a.txt", "alpha"}, {src + L"\\sub\\b.bin", binary}, {src + L"\\sub\\deeper\\c 50%.txt", ""}};
    for (const auto& file : files)
        REQUIRE(test::WriteFileBytes(file.first, file.second));

    setup.Pass();
    std::vector<Row> rows = FileRows(databaseConnection);
    CHECK(rows.size() == 6);
    for (const auto& file : files) {
        CAPTURE(test::Utf8(file.first));
        const std::vector<Row> fileRows = RowsFor(file.first);
        REQUIRE(fileRows.size() == 1);
        CHECK(test::ReadFileBytes(test::Wide(fileRows[0].localPath)) == file.second);
    }
    for (const wchar_t* name : {L"\\sub", L"\\sub\\deeper", L"\\empty"}) {
        const std::vector<Row> folderRows = RowsFor(src + name);
        REQUIRE(folderRows.size() == 1);
        CHECK_FALSE(test::FileExists(test::Wide(folderRows[0].localPath)));
    }
    CHECK(StoredNames(setup.Machine()).size() == 3);
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " Scanning directory " + setup.folder.folderPath + "\r\n") == 1);
    CHECK(CountOf(log, " Updating directory " + setup.folder.folderPath + "\r\n") == 1);

    // The database copy at the destination holds the same rows.
    sqlite3* copy = nullptr;
    REQUIRE(sqlite3_open_v2(test::Utf8(setup.CopyPath()).c_str(), &copy, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK);
    CHECK(RowTexts(copy) == RowTexts(databaseConnection));
    sqlite3_close(copy);
    CHECK_FALSE(test::FileExists(setup.CopyPath() + L".temp"));

    SUBCASE("a pass without change stores nothing")
    {
        setup.Pass(2);
        CHECK(FileRows(databaseConnection).size() == 6);
        CHECK(StoredNames(setup.Machine()).size() == 3);
    }
    SUBCASE("an edit stores a second version beside the first")
    {
        REQUIRE(test::WriteFileBytes(src + L"\\a.txt", "alpha, edited"));
        setup.Pass();
        const std::vector<Row> aRows = RowsFor(src + L"\\a.txt");
        REQUIRE(aRows.size() == 2);
        CHECK(test::ReadFileBytes(test::Wide(aRows[0].localPath)) == "alpha");
        CHECK(test::ReadFileBytes(test::Wide(aRows[1].localPath)) == "alpha, edited");
        CHECK(FileRows(databaseConnection).size() == 7);
        CHECK(StoredNames(setup.Machine()).size() == 4);
    }
    SUBCASE("a rename with an edit stores two versions")
    {
        REQUIRE(MoveFileW((src + L"\\sub\\b.bin").c_str(), (src + L"\\sub\\b2.bin").c_str()));
        REQUIRE(test::WriteFileBytes(src + L"\\sub\\b2.bin", "shorter now"));
        setup.Pass();
        const std::vector<Row> moved = RowsFor(src + L"\\sub\\b2.bin");
        REQUIRE(moved.size() == 2);
        CHECK(moved[0].selfId == RowsFor(src + L"\\sub\\b.bin")[0].selfId);
        CHECK(moved[0].localPath != moved[1].localPath);
        for (const Row& row : moved)
            CHECK(test::ReadFileBytes(test::Wide(row.localPath)) == "shorter now");
        CHECK(StoredNames(setup.Machine()).size() == 5);
    }
}

TEST_CASE("a later database copy replaces the previous one only once it is complete")
{
    PassSetup setup;
    setup.folders.clear();
    setup.Pass();
    REQUIRE(test::FileExists(setup.CopyPath()));
    CHECK_FALSE(test::FileExists(setup.CopyPath() + L".temp"));

    SUBCASE("a later pass writes a new copy in place of the old one")
    {
        // Not a database: only a copy written afresh under the name can be opened.
        REQUIRE(test::WriteFileBytes(setup.CopyPath(), std::string(4096, 'x')));
        AddRow(Row{"C:\\x.txt", 32, 1, 77, "20240101 000000.000", 1, 2, "\\\\?\\C:\\nowhere"});
        setup.Pass();
        sqlite3* copy = nullptr;
        REQUIRE(sqlite3_open_v2(test::Utf8(setup.CopyPath()).c_str(), &copy, SQLITE_OPEN_READONLY, nullptr) ==
                SQLITE_OK);
        CHECK(FileRows(copy).size() == 1);
        sqlite3_close(copy);
        CHECK_FALSE(test::FileExists(setup.CopyPath() + L".temp"));
        CHECK(CountOf(setup.state.log.text(), " Backup API returned error code 0\r\n") == 2);
    }
    SUBCASE("a copy that fails leaves the previous copy as it was")
    {
        const std::string previous = test::ReadFileBytes(setup.CopyPath());
        REQUIRE_FALSE(previous.empty());
        sqlite3* writer = nullptr;
        REQUIRE(sqlite3_open(databasePath.c_str(), &writer) == SQLITE_OK);
        REQUIRE(sqlite3_exec(writer, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK);
        // The pruning after the copy waits for the lock, so it is let go shortly after.
        commitWhenLogged = &setup.state.log;
        HANDLE thread = CreateThread(nullptr, 0, CommitAfterAWhile, writer, 0, nullptr);
        REQUIRE(thread != nullptr);
        setup.Pass();
        CHECK(WaitForSingleObject(thread, 180000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        sqlite3_close(writer);
        CHECK(CountOf(setup.state.log.text(), " Backup API returned error code 5\r\n") == 1);
        CHECK(test::ReadFileBytes(setup.CopyPath()) == previous);
        CHECK_FALSE(test::FileExists(setup.CopyPath() + L".temp"));
    }
    SUBCASE("a destination that cannot be reached leaves nothing behind")
    {
        setup.state.settings.Set(L"Destination", L"Q:\\nowhere");
        setup.Pass(2);
        const std::string log = setup.state.log.text();
        CHECK(CountOf(log, " Could not open database Q:\\nowhere\\VarnBack\\") == 2);
        CHECK_FALSE(test::FileExists(L"Q:\\nowhere"));
    }
}

TEST_CASE("passes follow the scan interval on the watcher's clock")
{
    struct Case {
        const wchar_t* interval;  // nullptr: the value is absent
        unsigned long long step;
        int wakeUps;
        size_t passes;
    } cases[] = {
        {L"0", 2000, 4, 4},
        {L"", 2000, 3, 3},
        {L"x", 2000, 3, 3},
        {L"-5", 2000, 5, 1},
        {L"1", 30000, 5, 3},
        {nullptr, 30000, 30, 1},
        {nullptr, 30000, 31, 2},
        {nullptr, 30000, 61, 3},
        // 100000 minutes is more than 2^32 ms: a 32-bit threshold would wrap to about 20 days.
        {L"100000", 30 * day, 3, 1},
        {L"100000", 30 * day, 4, 2},
        // More than 2^31 ms, which a signed 32-bit count cannot hold.
        {L"50000", 10 * day, 4, 1},
        {L"50000", 10 * day, 5, 2},
    };
    for (const Case& c : cases) {
        CAPTURE(c.interval ? test::Utf8(c.interval) : std::string("<absent>"));
        CAPTURE(c.wakeUps);
        PassSetup setup;
        if (c.interval)
            setup.state.settings.Set(L"ScanInterval", c.interval);
        else
            DeleteSetting(L"ScanInterval");
        CHECK(RunWatcher(setup.folders, c.wakeUps, c.step) == c.wakeUps + 1);
        const std::string log = setup.state.log.text();
        CHECK(CountOf(log, " Within thread, folder 0, num folders 1\r\n") == c.passes);
        CHECK(CountOf(log, " Logging in for control session\r\n") == c.passes);
        CHECK(CountOf(log, " Directory watcher entry\r\n") == 1);
        CHECK(CountOf(log, " DirectoryWatcher exit\r\n") == 1);
    }
}

TEST_CASE("without watched folders the steps after the folders run at every wake-up")
{
    PassSetup setup;
    setup.folders.clear();
    DeleteSetting(L"ScanInterval");
    RunWatcher(setup.folders, 3, 2000);
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " Logging in for control session\r\n") == 3);
    CHECK(CountOf(log, " DB paths are ") == 3);
    CHECK(CountOf(log, " Max Versions is 5\r\n") == 3);
    CHECK(CountOf(log, " Within thread") == 0);
}

TEST_CASE("an empty destination ends the watcher before any folder is processed")
{
    for (bool watched : {true, false}) {
        for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
            CAPTURE(watched);
            CAPTURE(value == nullptr);
            PassSetup setup;
            test::WriteFileBytes(setup.source / L"a.txt", "a");
            if (value)
                setup.state.settings.Set(L"Destination", value);
            else
                DeleteSetting(L"Destination");
            if (!watched)
                setup.folders.clear();
            CHECK(RunWatcher(setup.folders, 5, 2000) == 1);
            const std::string log = setup.state.log.text();
            CHECK(CountOf(log, " Service not configured. Shutting down.\r\n") == 1);
            CHECK(CountOf(log, " Within thread") == 0);
            CHECK(CountOf(log, " Logging in") == 0);
            CHECK(CountOf(log, " DirectoryWatcher exit") == 0);
            CHECK(FileRows(databaseConnection).empty());
        }
    }
}

TEST_CASE("a stop set before the thread starts ends it at once")
{
    PassSetup setup;
    setup.state.stop = 1;
    CHECK(RunWatcher(setup.folders, 3, 2000) == 0);
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " Directory watcher entry\r\n") == 1);
    CHECK(CountOf(log, " DirectoryWatcher exit\r\n") == 1);
    CHECK(CountOf(log, " Within thread") == 0);
}

TEST_CASE("an allocation failure abandons one pass and the next wake-up runs again")
{
    PassSetup setup;
    backup_test::throwAtClockRead = 1;
    CHECK(RunWatcher(setup.folders, 2, 2000) == 3);
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " directoryWatcher() Out of memory, the pass is abandoned\r\n") == 1);
    CHECK(CountOf(log, " Within thread, folder 0, num folders 1\r\n") == 1);
}

TEST_CASE("the tick clock carries on across the wraps of GetTickCount")
{
    TickExtender extender;
    const DWORD ticks[] = {0xFFFFF000u, 0xFFFFFFFFu, 5, 100, 100, 0xFFFFFFF0u, 3};
    const unsigned long long expected[] = {0xFFFFF000ull, 0xFFFFFFFFull, 0x100000005ull, 0x100000064ull,
                                           0x100000064ull, 0x1FFFFFFF0ull, 0x200000003ull};
    for (size_t i = 0; i < sizeof ticks / sizeof ticks[0]; ++i)
        CHECK(extender.Extend(ticks[i]) == expected[i]);
}

namespace {
DWORD WINAPI ConnectedShare(LPNETRESOURCEW, LPCWSTR, LPCWSTR, DWORD) { return NO_ERROR; }
DWORD WINAPI CancelledShare(LPCWSTR, DWORD, BOOL) { return NO_ERROR; }
}  // namespace

TEST_CASE("a pass to a share stores its versions and the database copy there")
{
    PassSetup setup;
    const std::wstring share = L"\\\\backupsrv\\bk";
    REQUIRE(test::FileExists(share));
    setup.state.settings.Set(L"Destination", share);
    addConnectionFunction = ConnectedShare;
    cancelConnectionFunction = CancelledShare;
    REQUIRE(test::WriteFileBytes(setup.source / L"s.txt", "shared"));
    setup.Pass();
    addConnectionFunction = WNetAddConnection2W;
    cancelConnectionFunction = WNetCancelConnection2W;

    CHECK(connectionCount == 0);
    const std::vector<Row> rows = RowsFor(setup.source / L"s.txt");
    REQUIRE(rows.size() == 1);
    const std::string prefix = "\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\" + test::Utf8(GetComputerNameString()) + "\\";
    CHECK(rows[0].localPath.compare(0, prefix.size(), prefix) == 0);
    CHECK(test::ReadFileBytes(test::Wide(rows[0].localPath)) == "shared");
    sqlite3* copy = nullptr;
    REQUIRE(sqlite3_open_v2(test::Utf8(MachineFolder(share) + L"\\SystemState2.trdb").c_str(), &copy,
                            SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    CHECK(RowTexts(copy) == RowTexts(databaseConnection));
    sqlite3_close(copy);
    test::RemoveTree(share + L"\\VarnBack");
}

TEST_CASE("a destination inside the watched folder: its VarnBack folder is passed over")
{
    PassSetup setup;
    const std::wstring& src = setup.source.path();
    const std::wstring destination = src + L"\\backup";
    setup.state.settings.Set(L"Destination", destination);
    const std::wstring machine = MachineFolder(destination);
    REQUIRE(CreateDirectoryW(destination.c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(src + L"\\a.txt", "alpha"));
    setup.Pass();
    REQUIRE(StoredNames(machine).size() == 1);

    // A row that an earlier pass stored from inside the VarnBack folder (here
    // for the stored copy itself): it stays as stored.
    const std::wstring earlierCopy = machine + L"\\" + StoredNames(machine)[0];
    const Row earlier{test::Utf8(earlierCopy), FILE_ATTRIBUTE_ARCHIVE, 5, 6, "20240101 000000.000", 5, 7,
                      test::Utf8(L"\\\\?\\" + earlierCopy)};
    AddRow(earlier);
    const std::multiset<std::string> before = RowTexts(databaseConnection);

    setup.Pass(3);
    CHECK(RowTexts(databaseConnection) == before);
    CHECK(StoredNames(machine).size() == 1);
    CHECK(test::FileExists(earlierCopy));
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " directoryWatcher() The destination's folder " + test::Utf8(destination) +
                           "\\VarnBack lies inside a watched folder and is not backed up\r\n") == 3);
    CHECK(CountOf(log, " was deleted\r\n") == 0);
    CHECK(CountOf(log, "VarnBack was Added") == 0);
}

TEST_CASE("a destination with forward slashes is used as written with backslashes")
{
    PassSetup setup;
    std::wstring slashed = setup.dest.path();
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    setup.state.settings.Set(L"Destination", slashed);
    REQUIRE(test::WriteFileBytes(setup.source / L"a.txt", "alpha"));
    setup.Pass(2);
    const std::vector<Row> rows = RowsFor(setup.source / L"a.txt");
    REQUIRE(rows.size() == 1);
    CHECK(rows[0].localPath.compare(0, 4 + setup.Machine().size(), test::Utf8(L"\\\\?\\" + setup.Machine())) == 0);
    CHECK(test::ReadFileBytes(test::Wide(rows[0].localPath)) == "alpha");
    sqlite3* copy = nullptr;
    REQUIRE(sqlite3_open_v2(test::Utf8(setup.CopyPath()).c_str(), &copy, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK);
    CHECK(RowTexts(copy) == RowTexts(databaseConnection));
    sqlite3_close(copy);
    CHECK(CountOf(setup.state.log.text(), "Could not") == 0);
}

TEST_CASE("a destination that is not a full path is not used: nothing is stored or removed")
{
    for (const wchar_t* destination : {L"Dest4", L"C:Dest6", L"\\Dest7", L"\\\\srv"}) {
        CAPTURE(test::Utf8(destination));
        PassSetup setup;
        // Two versions of a file above the limit, stored at an earlier destination.
        setup.state.settings.Set(L"MaxVersions", L"1");
        for (int i = 0; i < 2; ++i) {
            const std::wstring copy = setup.Machine() + L"\\stored-" + std::to_wstring(i);
            CreateDirectoryPath(copy);
            REQUIRE(test::WriteFileBytes(copy, "version"));
            AddRow(Row{test::Utf8(setup.source / L"gone.txt"), FILE_ATTRIBUTE_ARCHIVE, 1, 2,
                       "2024010" + std::to_string(i + 1) + " 000000.000", 7, 3, test::Utf8(L"\\\\?\\" + copy)});
        }
        REQUIRE(test::WriteFileBytes(setup.source / L"a.txt", "alpha"));
        const std::multiset<std::string> before = RowTexts(databaseConnection);
        setup.state.settings.Set(L"Destination", destination);
        setup.Pass(2);

        CHECK(RowTexts(databaseConnection) == before);
        CHECK(test::FileExists(setup.Machine() + L"\\stored-0"));
        CHECK(test::FileExists(setup.Machine() + L"\\stored-1"));
        CHECK_FALSE(test::FileExists(setup.CopyPath()));
        const std::string log = setup.state.log.text();
        CHECK(CountOf(log, " directoryWatcher() The destination " + test::Utf8(destination) +
                               " is not a full path (a drive letter, a colon and a backslash, or a share "
                               "\\\\server\\share): nothing is stored or removed\r\n") == 2);
        CHECK(CountOf(log, " Scanning directory ") == 0);
        CHECK(CountOf(log, " Max Versions is ") == 0);
    }
}

namespace {

std::wstring Replaced(std::wstring text, const std::wstring& piece, const std::wstring& by)
{
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + by.size()))
        text.replace(at, piece.size(), by);
    return text;
}

// The share \\backupsrv\bk by a local name: the prefix's own link for the
// share, reached from the drive that maps the Linux root.
std::wstring ShareByLocalName()
{
    wchar_t prefix[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
    REQUIRE(length > 0);
    REQUIRE(length < MAX_PATH);
    return L"Z:" + Replaced(prefix, L"/", L"\\") + L"\\dosdevices\\unc\\backupsrv\\bk";
}

bool InStoreFolder(const std::string& path)
{
    const std::string lower = ToLowerAscii(path);
    const std::string name = "\\varnback";
    const size_t at = lower.find(name + "\\");
    return at != std::string::npos || (lower.size() >= name.size() &&
                                       lower.compare(lower.size() - name.size(), name.size(), name) == 0);
}

}  // namespace

TEST_CASE("nothing at or below the destination's VarnBack folder is stored, however the watched folder names it")
{
    // The destination is top\d3; {pc} stands for the computer name.
    struct Case {
        const char* title;
        const wchar_t* watched;  // below top ("": top itself)
        bool throughShare;       // top is a folder of \\backupsrv\bk: the destination is written
                                 // by its local name, the watched folder by the share name
        bool passedOver;
    };
    const Case cases[] = {
        {"the VarnBack folder itself", L"d3\\VarnBack", false, true},
        {"the VarnBack folder in other letter case", L"D3\\varnBACK", false, true},
        {"the machine folder", L"d3\\VarnBack\\{pc}", false, true},
        {"a folder deeper inside", L"d3\\VarnBack\\{pc}\\deeper", false, true},
        {"the VarnBack folder through a share name", L"d3\\VarnBack", true, true},
        {"a folder beside the destination", L"src", false, false},
        {"a folder that holds the destination", L"", false, false},
        {"the destination itself", L"d3", false, false},
        {"a folder whose name starts with VarnBack", L"d3\\VarnBackup", false, false},
        {"another folder of the destination", L"d3\\other", false, false},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        ServiceState state;
        test::TempFolder local{L"store"};
        const std::wstring shareFolder = L"\\store-" + std::to_wstring(GetCurrentProcessId());
        const std::wstring top = c.throughShare ? L"\\\\backupsrv\\bk" + shareFolder : local.path();
        if (c.throughShare)
            REQUIRE(CreateDirectoryW(top.c_str(), nullptr));
        const std::wstring destination = (c.throughShare ? ShareByLocalName() + shareFolder : top) + L"\\d3";
        const std::wstring machine = MachineFolder(top + L"\\d3");
        CreateDirectoryPath(machine + L"\\deeper\\");
        const std::wstring watched =
            *c.watched ? top + L"\\" + Replaced(c.watched, L"{pc}", GetComputerNameString()) : top;
        CreateDirectoryPath(watched + L"\\");
        REQUIRE(test::WriteFileBytes(watched + L"\\mine.txt", "mine"));
        state.settings.Set(L"Destination", destination);
        state.settings.Set(L"ScanInterval", L"0");
        state.settings.Set(L"MaxVersions", L"5");
        WatchedFolder folder;
        folder.folderPath = test::Utf8(watched);
        std::vector<WatchedFolder*> folders{&folder};

        // A row stored from there by an earlier pass stays as it is.
        if (c.passedOver)
            AddRow(Row{folder.folderPath + "\\old.txt", FILE_ATTRIBUTE_ARCHIVE, 5, 6, "20240101 000000.000", 3, 7,
                       test::Utf8(L"\\\\?\\" + machine + L"\\old-copy")});
        const std::multiset<std::string> before = RowTexts(databaseConnection);
        RunWatcher(folders, 3, 2000);

        const std::string log = state.log.text();
        const std::string passedOverLine = " directoryWatcher() The watched folder " + folder.folderPath +
                                           " is the destination's folder or lies inside it and is not backed up\r\n";
        CHECK(CountOf(log, " was deleted\r\n") == 0);
        if (c.passedOver) {
            CHECK(RowTexts(databaseConnection) == before);
            CHECK(StoredNames(machine).empty());
            CHECK(CountOf(log, passedOverLine) == 3);
            CHECK(CountOf(log, " Scanning directory ") == 0);
        } else {
            CHECK(RowsFor(watched + L"\\mine.txt").size() == 1);
            CHECK(StoredNames(machine).size() == 1);
            for (const Row& row : FileRows(databaseConnection))
                CHECK_FALSE(InStoreFolder(row.path));
            CHECK(CountOf(log, passedOverLine) == 0);
            CHECK(CountOf(log, " Scanning directory ") == 3);
        }
        if (c.throughShare)
            test::RemoveTree(top);
    }
}

TEST_CASE("a partial restore copy in a watched folder is never stored; rows stored for one stay")
{
    PassSetup setup;
    const std::wstring& src = setup.source.path();
    const std::wstring partial = src + L"\\~VarnBack-restore-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0.partial";
    const std::wstring gonePartial = src + L"\\~VarnBack-restore-11111111-2222-3333-4444-555555555555.partial";
    // Named like one, but not the restore's own name: stored as any file.
    const std::wstring notes = src + L"\\~VarnBack-restore-notes.partial";
    const std::wstring folderNamedLikeOne =
        src + L"\\~VarnBack-restore-66666666-7777-8888-9999-aaaaaaaaaaaa.partial";
    REQUIRE(test::WriteFileBytes(partial, "half a restored file"));
    REQUIRE(test::WriteFileBytes(notes, "notes"));
    REQUIRE(test::WriteFileBytes(src + L"\\a.txt", "alpha"));
    REQUIRE(CreateDirectoryW(folderNamedLikeOne.c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(folderNamedLikeOne + L"\\inside.txt", "inside"));
    // Stored by a pass before this one, and removed by the user since.
    AddRow(Row{test::Utf8(gonePartial), FILE_ATTRIBUTE_ARCHIVE, 5, 6, "20240101 000000.000", 3, 7,
               test::Utf8(L"\\\\?\\" + setup.Machine() + L"\\earlier-copy")});
    const std::vector<Row> earlier = FileRows(databaseConnection);

    setup.Pass(2);
    CHECK(RowsFor(partial).empty());
    const std::vector<Row> gone = RowsFor(gonePartial);
    REQUIRE(gone.size() == 1);
    CHECK(gone[0].localPath == earlier[0].localPath);
    for (const std::wstring& stored :
         {notes, src + L"\\a.txt", folderNamedLikeOne, folderNamedLikeOne + L"\\inside.txt"})
        CHECK(RowsFor(stored).size() == 1);
    CHECK(FileRows(databaseConnection).size() == 5);
    CHECK(StoredNames(setup.Machine()).size() == 3);
    const std::string log = setup.state.log.text();
    CHECK(CountOf(log, " WalkFolder() " + test::Utf8(partial) +
                           " is a partial restore copy and is not backed up\r\n") == 2);
    CHECK(CountOf(log, " is a partial restore copy") == 2);
    CHECK(CountOf(log, " was deleted\r\n") == 0);
}

TEST_CASE("a version restored over its file is stored by the next pass as a new version of that same file")
{
    PassSetup setup;
    const std::wstring file = setup.source / L"a.txt";
    REQUIRE(test::WriteFileBytes(file, "alpha"));
    // An old time, so that the edit below gets another one.
    const SYSTEMTIME old = {2001, 2, 0, 3, 4, 5, 6, 0};
    FILETIME time;
    REQUIRE(SystemTimeToFileTime(&old, &time));
    HANDLE handle = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(handle != INVALID_HANDLE_VALUE);
    REQUIRE(SetFileTime(handle, nullptr, nullptr, &time));
    CloseHandle(handle);
    setup.Pass();
    REQUIRE(test::WriteFileBytes(file, "alpha, edited"));
    setup.Pass();
    std::vector<Row> rows = RowsFor(file);
    REQUIRE(rows.size() == 2);
    REQUIRE(rows[1].selfId == rows[0].selfId);

    const std::wstring root = MakeLongPath(setup.source.path());
    REQUIRE(RestoreFile(test::Wide(rows[0].localPath), root + L"\\a.txt", rows[0].attributes, rows[0].size,
                        root.size()));
    setup.Pass();
    rows = RowsFor(file);
    REQUIRE(rows.size() == 3);
    CHECK(rows[2].selfId == rows[0].selfId);
    CHECK(rows[2].volumeId == rows[0].volumeId);
    CHECK(rows[2].modificationTime == rows[0].modificationTime);
    CHECK(test::ReadFileBytes(test::Wide(rows[2].localPath)) == "alpha");
    CHECK(FileRows(databaseConnection).size() == 3);
    CHECK(CountOf(setup.state.log.text(), " was deleted\r\n") == 0);
}
