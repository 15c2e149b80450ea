// ServiceControlThread: start-up on the real state database, what the two
// threads it starts are handed, its shutdown order and its failure lines. The
// watcher and the pipe server are replaced by stand-ins that record what they saw.
#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "control_thread.h"
#include "folders.h"
#include "service_state.h"
#include "test_support.h"

namespace {

struct Seen {
    volatile LONG watcherStarted = 0, watcherEnded = 0, pipeStarted = 0, pipeEnded = 0;
    std::vector<WatchedFolder*>* watcherArgument = nullptr;
    ClientControlArgs pipeArguments = {nullptr, nullptr};
    std::vector<std::string> folderPaths;
    std::vector<int> abortBytes;
    size_t watcherHandles = 0;
    bool databaseOpenAtWatcherEnd = false, databaseOpenAtPipeEnd = false;
};
Seen seen;

void WaitForStop()
{
    for (int i = 0; i < 1000 && !StopRequested(); ++i)
        Sleep(10);
}

DWORD WINAPI FakeWatcher(LPVOID argument)
{
    seen.watcherArgument = static_cast<std::vector<WatchedFolder*>*>(argument);
    for (WatchedFolder* folder : *seen.watcherArgument) {
        seen.folderPaths.push_back(folder->folderPath);
        seen.abortBytes.push_back(folder->abortRequested);
    }
    InterlockedExchange(&seen.watcherStarted, 1);
    WaitForStop();
    Sleep(300);  // a pass that is still finishing
    seen.databaseOpenAtWatcherEnd = databaseConnection != nullptr;
    InterlockedExchange(&seen.watcherEnded, 1);
    return 0;
}

DWORD WINAPI FakePipeServer(LPVOID argument)
{
    seen.pipeArguments = *static_cast<ClientControlArgs*>(argument);
    seen.watcherHandles = seen.pipeArguments.threads->size();
    InterlockedExchange(&seen.pipeStarted, 1);
    WaitForStop();
    seen.databaseOpenAtPipeEnd = databaseConnection != nullptr;
    InterlockedExchange(&seen.pipeEnded, 1);
    return 0;
}

HANDLE WINAPI NoWatcherThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                              LPVOID argument, DWORD flags, LPDWORD id)
{
    if (routine == FakeWatcher) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return CreateThread(security, stack, routine, argument, flags, id);
}

// Installs the stand-ins, a fresh Data folder and a log capture for one test.
struct ControlScope {
    ControlScope()
    {
        seen = Seen();
        watcherRoutine = FakeWatcher;
        pipeServerRoutine = FakePipeServer;
        createThreadFunction = CreateThread;
        stopByte = 0;
    }
    ~ControlScope()
    {
        watcherRoutine = savedWatcher;
        pipeServerRoutine = savedPipe;
        createThreadFunction = savedCreate;
        stopPollSleep = savedSleep;
        serviceStopFlag = nullptr;
        watchDirectories.clear();
        watchUsers.clear();
    }
    void Start(HANDLE& thread)
    {
        thread = CreateThread(nullptr, 0, ServiceControlThread, const_cast<uint8_t*>(&stopByte), 0, nullptr);
        REQUIRE(thread != nullptr);
    }

    LPTHREAD_START_ROUTINE savedWatcher = watcherRoutine;
    LPTHREAD_START_ROUTINE savedPipe = pipeServerRoutine;
    CreateThreadFunction savedCreate = createThreadFunction;
    SleepFunction savedSleep = stopPollSleep;
    test::LogCapture log;
    volatile uint8_t stopByte = 0;
};

bool WaitFor(volatile LONG& flag)
{
    for (int i = 0; i < 1000 && !flag; ++i)
        Sleep(10);
    return flag != 0;
}

void AddFolderRows(const std::vector<std::string>& folders)
{
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open((test::Utf8(GetDataFolder()) + "\\SystemState2.trdb").c_str(), &db) == SQLITE_OK);
    REQUIRE(sqlite3_exec(db, "create table if not exists watchdirectories( directory text, user text );", nullptr,
                         nullptr, nullptr) == SQLITE_OK);
    for (const std::string& folder : folders) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(db, "insert into watchdirectories values( ?1, 'ann' );", -1, &statement,
                                   nullptr) == SQLITE_OK);
        sqlite3_bind_text(statement, 1, folder.c_str(), -1, SQLITE_TRANSIENT);
        CHECK(sqlite3_step(statement) == SQLITE_DONE);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
}

std::vector<std::string> TableNames()
{
    std::vector<std::string> names;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((test::Utf8(GetDataFolder()) + "\\SystemState2.trdb").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "select name from sqlite_master where type = 'table' order by name",
            [](void* out, int, char** values, char**) {
                static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
                return 0;
            },
            &names, nullptr);
    }
    sqlite3_close(db);
    return names;
}

size_t Position(const std::string& text, const std::string& line)
{
    const size_t at = text.find(line);
    CHECK_MESSAGE(at != std::string::npos, line);
    return at;
}

}  // namespace

TEST_CASE("the control thread starts on a new database, hands both threads their state and joins them")
{
    struct Case {
        const char* name;
        std::vector<std::string> rows;
        const char* countLine;
    };
    const std::vector<Case> cases = {
        {"brand-new Data folder", {}, " There're 0 folders to scan\r\n"},
        {"two watched folders", {"C:\\Users\\Ann\\100% docs", "D:"}, " There're 2 folders to scan\r\n"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        ControlScope scope;
        if (!c.rows.empty())
            AddFolderRows(c.rows);
        HANDLE thread = nullptr;
        scope.Start(thread);
        REQUIRE(WaitFor(seen.watcherStarted));
        REQUIRE(WaitFor(seen.pipeStarted));

        CHECK((serviceStopFlag == &scope.stopByte));
        CHECK(seen.folderPaths == c.rows);
        CHECK(seen.abortBytes == std::vector<int>(c.rows.size(), 0));
        CHECK(seen.pipeArguments.folders == seen.watcherArgument);
        CHECK(seen.watcherHandles == 1);
        CHECK(TableNames() == std::vector<std::string>{"filelist", "watchdirectories"});

        scope.stopByte = 1;
        REQUIRE(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        CHECK(seen.watcherEnded == 1);
        CHECK(seen.pipeEnded == 1);
        CHECK(seen.databaseOpenAtWatcherEnd);
        CHECK(seen.databaseOpenAtPipeEnd);
        CHECK(databaseConnection == nullptr);

        const std::string text = scope.log.text();
        const std::string databaseLine =
            " Database path is \"" + test::Utf8(GetDataFolder()) + "\\SystemState2.trdb\"\r\n";
        const size_t entry = Position(text, " Service Control Thread() Entry\r\n");
        const size_t path = Position(text, databaseLine);
        const size_t count = Position(text, c.countLine);
        const size_t exit = Position(text, " Service Control Thread()() Exit\r\n");
        CHECK(entry < path);
        CHECK(path < count);
        CHECK(count < exit);
        CHECK(text.find("could not launch monitoring thread") == std::string::npos);
    }
}

TEST_CASE("a watcher thread that cannot be created is logged and the pipe server still runs")
{
    struct Case {
        std::vector<std::string> rows;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"C:\\data\\50%", "E:\\more"}, " C:\\data\\50% could not launch monitoring thread\r\n"},
        {{}, " (no watched folders) could not launch monitoring thread\r\n"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.line);
        ControlScope scope;
        createThreadFunction = NoWatcherThread;
        if (!c.rows.empty())
            AddFolderRows(c.rows);
        HANDLE thread = nullptr;
        scope.Start(thread);
        REQUIRE(WaitFor(seen.pipeStarted));
        CHECK(seen.watcherStarted == 0);
        CHECK(seen.watcherHandles == 0);
        CHECK(seen.pipeArguments.folders->size() == c.rows.size());
        scope.stopByte = 1;
        REQUIRE(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        const std::string text = scope.log.text();
        CHECK(Position(text, c.line) < Position(text, " Service Control Thread()() Exit\r\n"));
    }
}

TEST_CASE("without a Data folder the control thread logs the open failure and ends at once")
{
    ControlScope scope;
    test::RemoveTree(GetDataFolder());
    HANDLE thread = nullptr;
    scope.Start(thread);
    REQUIRE(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
    // The database library's result: the service's service-specific exit code.
    DWORD exitCode = 0;
    CHECK(GetExitCodeThread(thread, &exitCode));
    CHECK(exitCode == SQLITE_CANTOPEN);
    CloseHandle(thread);
    CHECK(seen.watcherStarted == 0);
    CHECK(seen.pipeStarted == 0);
    const std::string text = scope.log.text();
    CHECK(text.find(" Could not open database. Error code 14: \"unable to open database file\"\r\n") !=
          std::string::npos);
    CHECK(text.find("folders to scan") == std::string::npos);
    CHECK(text.find("Exit") == std::string::npos);
    CHECK(databaseConnection == nullptr);
}

TEST_CASE("a control thread without a stop byte returns at once")
{
    ControlScope scope;
    CHECK(ServiceControlThread(nullptr) == 0);
    CHECK(scope.log.text().find("Entry") == std::string::npos);
    CHECK(seen.watcherStarted == 0);
}

namespace {

// The control thread's clock: each of its waits moves it on by the time asked
// for, at once. The stop comes at stopAtMs, in the middle of a wait.
const DWORD stopAtMs = 2500;
DWORD clockMs = 0;
std::vector<DWORD> waits;
volatile uint8_t* clockStopByte = nullptr;

VOID WINAPI ClockSleep(DWORD ms)
{
    waits.push_back(ms);
    if (clockMs < stopAtMs && clockMs + ms >= stopAtMs)
        *clockStopByte = 1;
    clockMs += ms;
    if (waits.size() >= 100000)  // a loop that hardly waits: end it, the checks fail
        *clockStopByte = 1;
}

}  // namespace

TEST_CASE("the control thread sees the stop byte within a second of its clock")
{
    ControlScope scope;
    clockMs = 0;
    waits.clear();
    clockStopByte = &scope.stopByte;
    stopPollSleep = ClockSleep;
    HANDLE thread = nullptr;
    scope.Start(thread);
    REQUIRE(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CAPTURE(clockMs);
    CHECK(clockMs >= stopAtMs);
    CHECK(clockMs - stopAtMs <= 1000);
    // Once a second, not in a busy loop.
    CHECK(waits.size() <= stopAtMs / 1000 + 1);
    CHECK(seen.watcherEnded == 1);
    CHECK(seen.pipeEnded == 1);
}
