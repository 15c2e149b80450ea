// The control centre's state, folder list, pipe client and service control
// run in this process the way the main window runs them, with real message
// boxes (pressed by a thread of the test) under Xvfb. The scripts of
// tray_core.cmake prepare the prefix for each suite: no service, the real
// service, a stub service that is slow or unwilling to stop, a database
// filled by real backup passes.
#include <doctest/doctest.h>

#include "app_state.h"
#include "file_list_dialog.h"
#include "folder_list.h"
#include "folders.h"
#include "log.h"
#include "pipe_client.h"
#include "service_control.h"
#include "stored_files.h"
#include "test_support.h"
#include "text.h"
#include "tray_core_dialogs.h"
#include "tray_core_pipe_server.h"
#include "tray_pipe_open.h"

#include <objbase.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// The tray's log, started afresh. Never the test fixtures' machine-folder
// scopes: they remove the folders the service keeps its database in.
void FreshLog()
{
    ResetLogWriterForTest();
    OpenLogFile(L"");
}

std::string TrayLog()
{
    return test::ReadFileBytes(GetLogsFolder() + L"\\" + logWriterConfig.baseName + L".0.txt");
}

std::string ServiceLog() { return test::ReadFileBytes(GetLogsFolder() + L"\\VarnBackupService.0.txt"); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using test::Occurrences;

std::string DatabasePath() { return test::Utf8(GetDataFolder()) + "\\SystemState2.trdb"; }

// A statement on a connection of the test's own; its first column, rows joined with "|".
std::string Query(const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open(DatabasePath().c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int count, char** values, char**) {
                std::string& text = *static_cast<std::string*>(out);
                text += (text.empty() ? "" : "|") + std::string(count > 0 && values[0] ? values[0] : "NULL");
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

void Exec(const std::string& sql)
{
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(DatabasePath().c_str(), &db) == SQLITE_OK);
    char* error = nullptr;
    const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    CAPTURE(std::string(error ? error : ""));
    sqlite3_free(error);
    sqlite3_close(db);
    REQUIRE(code == SQLITE_OK);
}

using test::ServiceState;
using test::WaitFor;

// The service serves one connection at a time and then makes a new instance:
// a request sent at once after another can find no free instance yet.
// Waiting for an instance fails at once while there is none at all.
bool WaitForFreePipe()
{
    return WaitFor(10000, [] { return WaitNamedPipeW(trayPipeName, 1000) != FALSE; });
}

std::string Request(const std::string& command, const std::string& argument)
{
    WaitForFreePipe();
    return SendPipeCommand(command, argument);
}

bool Load()
{
    WaitForFreePipe();
    return appState.LoadFolders();
}

// The service's pipe, once it has been created after a start.
std::string WaitForPipe()
{
    std::string reply;
    WaitFor(30000, [&] { return !(reply = SendPipeCommand("LIST FOLDERS", "")).empty(); });
    return reply;
}

bool SetStartType(DWORD startType)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"VarnBack", SERVICE_CHANGE_CONFIG) : nullptr;
    const BOOL changed = service && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return changed != FALSE;
}

// A case that failed half-way may have left the service running.
bool EnsureStopped()
{
    if (ServiceState() != SERVICE_STOPPED) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceW(manager, L"VarnBack", SERVICE_STOP) : nullptr;
        SERVICE_STATUS status = {};
        if (service != nullptr) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            CloseServiceHandle(service);
        }
        if (manager != nullptr)
            CloseServiceHandle(manager);
    }
    return WaitFor(30000, [] { return ServiceState() == SERVICE_STOPPED; });
}

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// One main window's worth of state: the list box host attached, a presser
// watching for boxes, the log started afresh.
struct Centre {
    Centre()
    {
        FreshLog();
        appState.AttachMainWindow(host.window());
        dataFolderSource = GetDataFolder;
    }
    ~Centre()
    {
        appState.AttachMainWindow(nullptr);
        dataFolderSource = GetDataFolder;
    }
    // A box is recorded before it is pressed, so every box of a call that has
    // returned is here.
    std::vector<test::SeenBox> Boxes() { return presser.boxes(); }
    std::string BoxesText()
    {
        std::string text;
        for (const test::SeenBox& box : presser.boxes())
            text += "[" + test::Utf8(box.caption) + "] " + test::Utf8(box.text) + "\n";
        return text;
    }
    test::FolderListHost host;
    test::DialogPresser presser;
};

const std::string missingServiceText = Win32ErrorTextA(ERROR_SERVICE_DOES_NOT_EXIST);

}  // namespace

// ---------------------------------------------------------------- no service

TEST_SUITE("no service")
{
TEST_CASE("loading the folders: the failures the user sees or does not see")
{
    Centre centre;
    centre.host.Fill({L"stale"});

    SUBCASE("no service to ask: the list stays empty and nothing is shown")
    {
        CHECK_FALSE(appState.LoadFolders());
        CHECK(centre.host.Joined() == "");
        CHECK(centre.Boxes().empty());
        CHECK(appState.database != nullptr);  // kept for the file queries
        CHECK(test::FileExists(test::Wide(DatabasePath())));
        const std::string log = TrayLog();
        CHECK(Contains(log, " Database path is " + DatabasePath() + "\r\n"));
        CHECK(Contains(log, " Getting master folder list\r\n"));

        SUBCASE("no Data folder from the shell: the missing-keys box, the connection kept")
        {
            sqlite3* before = appState.database;
            centre.host.Fill({L"stale"});
            dataFolderSource = [] { return std::wstring(); };
            CHECK_FALSE(appState.LoadFolders());
            CHECK(centre.host.Joined() == "");
            CHECK(appState.database == before);
            REQUIRE(centre.Boxes().size() == 1);
            CHECK(centre.Boxes()[0].caption == L"Varnoke Backup Centre");
            CHECK(centre.Boxes()[0].text ==
                  L"The registry keys for access to the Tressaly backup database are missing");
        }
    }
    SUBCASE("a database that cannot be opened: its code and text, no connection held")
    {
        dataFolderSource = [] { return std::wstring(L"C:\\no such folder\\Data"); };
        CHECK_FALSE(appState.LoadFolders());
        CHECK(appState.database == nullptr);
        CHECK(appState.lastResult == SQLITE_CANTOPEN);
        CHECK(centre.host.Joined() == "");
        REQUIRE(centre.Boxes().size() == 1);
        CHECK(centre.Boxes()[0].caption == L"Varnoke Backup Centre");
        CHECK(centre.Boxes()[0].text == L"Could not open database. Error code 14: \"unable to open database file\"");
    }
}

TEST_CASE("the list shows the table's rows once each, sorted, after the count")
{
    Exec("drop table if exists watchdirectories; create table watchdirectories( directory text, user text );"
         "insert into watchdirectories values('D:\\zeta', 'ann'), ('C:\\alpha', 'ann'), ('C:\\alpha', 'bob'),"
         "(NULL, 'x'), ('C:\\\xC3\xA9t\xC3\xA9', 'ann');");
    Centre centre;
    test::ScriptedPipeServer service([](test::ScriptedPipeServer& s) {
        std::string command;
        s.ReadMessage(command);
        s.WriteMessage("3");  // the service counts the folders it loaded at its start
        s.WaitForClientClose();
    });
    REQUIRE(service.created());
    CHECK(appState.LoadFolders());
    REQUIRE(service.Finish());
    // No "GET FOLDER" on the connection: the folders come from the table alone.
    CHECK(service.received() == std::vector<std::string>{"LIST FOLDERS"});
    CHECK(centre.host.Joined() == "C:\\alpha|C:\\alpha|C:\\\xC3\xA9t\xC3\xA9|D:\\zeta");
    CHECK(Contains(TrayLog(), " There are 3 folders\r\n"));
    CHECK(centre.Boxes().empty());

    SUBCASE("a reply that is no number still lets the table be read")
    {
        test::ScriptedPipeServer odd([](test::ScriptedPipeServer& s) {
            std::string command;
            s.ReadMessage(command);
            s.WriteMessage("many");
            s.WaitForClientClose();
        });
        CHECK(appState.LoadFolders());
        CHECK(centre.host.Entries().size() == 4);
        CHECK(Contains(TrayLog(), " There are 0 folders\r\n"));
    }
    SUBCASE("a table that cannot be read: the error logged, the list empty")
    {
        Exec("drop table watchdirectories;");
        test::ScriptedPipeServer answer([](test::ScriptedPipeServer& s) {
            std::string command;
            s.ReadMessage(command);
            s.WriteMessage("0");
            s.WaitForClientClose();
        });
        CHECK_FALSE(appState.LoadFolders());
        CHECK(centre.host.Joined() == "");
        CHECK(appState.errorText == nullptr);
        CHECK(Contains(TrayLog(), " SQL error while querying directories: no such table: watchdirectories\r\n"));
        CHECK(centre.Boxes().empty());
    }
}

TEST_CASE("removing a folder")
{
    Centre centre;
    centre.host.Fill({L"C:\\a", L"C:\\b \u65e5"});

    SUBCASE("nothing selected: the box, no request")
    {
        test::ScriptedPipeServer service(nullptr, 1500);
        int index = 5;
        CHECK(appState.GetSelectedFolder(index) == "");
        CHECK(index == -1);
        CHECK_FALSE(RemoveBackupFolder());
        REQUIRE(service.Finish());
        CHECK_FALSE(service.clientConnected());
        const std::vector<test::SeenBox> boxes = centre.Boxes();
        REQUIRE(boxes.size() == 2);
        for (const test::SeenBox& box : boxes) {
            CHECK(box.caption == L"Error");
            CHECK(box.text == L"Click on a backup folder before deleting.");
        }
        CHECK(centre.host.Entries().size() == 2);
    }

    SUBCASE("a blank entry: the box, no request")
    {
        centre.host.Fill({L"", L"C:\\a"});
        centre.host.Select(0);
        REQUIRE(centre.host.Entries().size() == 2);
        REQUIRE(centre.host.Entries()[0].empty());
        test::ScriptedPipeServer service(nullptr, 1500);
        CHECK_FALSE(RemoveBackupFolder());
        REQUIRE(service.Finish());
        CHECK_FALSE(service.clientConnected());
        const std::vector<test::SeenBox> boxes = centre.Boxes();
        REQUIRE(boxes.size() == 1);
        CHECK(boxes[0].caption == L"Error");
        CHECK(boxes[0].text == L"Click on a backup folder before deleting.");
        CHECK(centre.host.Entries().size() == 2);
    }

    struct Case {
        const char* label;
        const char* reply;  // nullptr: no service at all
        bool removed;
    };
    const Case cases[] = {{"OK", "OK", true}, {"ERROR", "ERROR", false}, {"no service", nullptr, false}};
    for (const Case& c : cases) {
        CAPTURE(std::string(c.label));
        centre.host.Fill({L"C:\\a", L"C:\\b \u65e5"});
        centre.presser.Clear();
        centre.host.Select(1);
        std::string reply = c.reply ? c.reply : "";
        test::ScriptedPipeServer* service = nullptr;
        if (c.reply != nullptr) {
            service = new test::ScriptedPipeServer([reply](test::ScriptedPipeServer& s) {
                std::string text;
                s.ReadMessage(text);
                s.ReadMessage(text);
                s.WriteMessage(reply);
                s.WaitForClientClose();
            });
        }
        CHECK(RemoveBackupFolder() == c.removed);
        if (service != nullptr) {
            REQUIRE(service->Finish());
            CHECK(service->received() == std::vector<std::string>{"REMOVE FOLDER", "C:\\b \xE6\x97\xA5"});
            delete service;
        }
        CHECK(centre.host.Joined() == (c.removed ? "C:\\a" : "C:\\a|C:\\b \xE6\x97\xA5"));
        const std::vector<test::SeenBox> boxes = centre.Boxes();
        if (c.removed) {
            CHECK(boxes.empty());
        } else {
            REQUIRE(boxes.size() == 1);
            CHECK(boxes[0].caption == L"Varnoke Backup Centre");
            CHECK(boxes[0].text == L"Could not communicate with service. Ensure that the service is running.");
        }
    }
}

TEST_CASE("adding a folder through the folder browser")
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    test::TempFolder picked(L"pick");
    Centre centre;
    centre.host.Fill({L"C:\\a"});

    SUBCASE("cancelled: false, nothing sent")
    {
        test::ScriptedPipeServer service(nullptr, 1500);
        centre.presser.SetBrowseChoice(L"");
        CHECK_FALSE(AddBackupFolder());
        CHECK(centre.presser.browsersSeen() == 1);
        REQUIRE(service.Finish());
        CHECK_FALSE(service.clientConnected());
        CHECK(centre.host.Joined() == "C:\\a");
    }
    struct Case {
        const char* reply;
        bool listed;
        const wchar_t* descriptor;  // of the pipe that answers
    };
    const Case cases[] = {
        {"OK", true, test::serviceOwnedPipe},
        {"ERROR", false, test::serviceOwnedPipe},
        {"", false, test::serviceOwnedPipe},
        // A pipe another program made, while the service is stopped: it would say OK, but is sent nothing.
        {"OK", false, L""},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.reply));
        CAPTURE(test::Utf8(c.descriptor));
        centre.host.Fill({L"C:\\a"});
        centre.presser.Clear();
        centre.presser.SetBrowseChoice(picked.path());
        const std::string reply = c.reply;
        test::ScriptedPipeServer service(
            [reply](test::ScriptedPipeServer& s) {
                std::string text;
                s.ReadMessage(text);
                s.ReadMessage(text);
                if (!reply.empty())
                    s.WriteMessage(reply);
            },
            10000, c.descriptor);
        CHECK(AddBackupFolder());
        REQUIRE(service.Finish());
        const bool ours = *c.descriptor != L'\0';
        CHECK(service.received() ==
              (ours ? std::vector<std::string>{"ADD FOLDER", test::Utf8(picked.path()) + "\t" + AddFolderUserName()}
                    : std::vector<std::string>{}));
        CHECK(Occurrences(TrayLog(), "Nothing was sent.") == (ours ? 0u : 1u));
        CHECK(centre.host.Joined() == (c.listed ? "C:\\a|" + test::Utf8(picked.path()) : std::string("C:\\a")));
        CHECK(centre.Boxes().empty());
    }
    CoUninitialize();
}

TEST_CASE("service control when the service is not installed")
{
    Centre centre;
    centre.presser.SetNote(TrayLog);

    CHECK_FALSE(IsBackupServiceRunning());
    const std::string isLog = "Error: Could not access service (" + missingServiceText + ")";
    centre.host.Fill({L"stale"});
    CHECK_FALSE(StartBackupService());
    const std::string startLog = "Error: Could not start service: " + missingServiceText + " ";
    CHECK(centre.host.Joined() == "");  // the list was loaded again
    CHECK(Occurrences(TrayLog(), " Getting master folder list\r\n") == 1);
    CHECK_FALSE(StopBackupService());
    const std::string stopLog = "Error: Could not stop service: " + missingServiceText + " ";

    const std::vector<test::SeenBox> boxes = centre.Boxes();
    INFO(centre.BoxesText());
    REQUIRE(boxes.size() == 3);
    for (const test::SeenBox& box : boxes)
        CHECK(box.caption == L"BEEP");
    CHECK(boxes[0].text == L"Error: Could not access service (1060)");
    CHECK(boxes[1].text == L"Error: Could not start service ");
    CHECK(boxes[2].text == test::Wide("Error: Could not stop service " + missingServiceText));
    // Logged before the box for the query and the start, after it for the stop.
    CHECK(Contains(boxes[0].noteAtBox, isLog));
    CHECK(Contains(boxes[1].noteAtBox, startLog));
    CHECK_FALSE(Contains(boxes[2].noteAtBox, stopLog));
    const std::string log = TrayLog();
    CHECK(Contains(log, " " + isLog + "\r\n"));
    CHECK(Contains(log, " " + startLog + "\r\n"));
    CHECK(Contains(log, " " + stopLog + "\r\n"));
}
}

// ---------------------------------------------------------- the real service

TEST_SUITE("real service")
{
TEST_CASE("start, requests, restart and stop against the real service")
{
    Centre centre;
    REQUIRE(EnsureStopped());
    CHECK_FALSE(IsBackupServiceRunning());

    // A start returns once the service is start-pending or running: before the
    // pipe exists, so the list it loads is empty.
    centre.host.Fill({L"stale"});
    CHECK(StartBackupService());
    const DWORD started = ServiceState();
    CHECK((started == SERVICE_START_PENDING || started == SERVICE_RUNNING));
    CHECK(IsBackupServiceRunning());
    INFO(centre.BoxesText());
    CHECK(centre.Boxes().empty());
    CHECK_FALSE(Contains(TrayLog(), "did not start"));

    REQUIRE(WaitForPipe() == "0");
    {
        // The service answers a control centre that lets it at most identify the caller.
        test::PipeOpenRecorder recorder;
        REQUIRE(WaitForFreePipe());
        CHECK(SendPipeCommand("LIST FOLDERS", "") == "0");
        REQUIRE(recorder.opens().size() == 1);
        CHECK(test::PipeOpenText(recorder.opens()[0]) == test::ControlCentrePipeOpen());
    }

    SUBCASE("adding and removing through the pipe")
    {
        CHECK(Request("ADD FOLDER", "C:\\w1\tann") == "OK");
        CHECK(Query("select directory || '|' || user from watchdirectories") == "C:\\w1|ann");
        // The service counts what it loaded at its start; the list shows the table.
        CHECK(Request("LIST FOLDERS", "") == "0");
        CHECK(Load());
        CHECK(centre.host.Joined() == "C:\\w1");

        CHECK(Request("REMOVE FOLDER", "C:\\not watched") == "OK");
        CHECK(Request("GET FOLDER", "") == "");  // no command on a connection of its own

        // The service's write meets a lock held by another connection.
        sqlite3* holder = nullptr;
        REQUIRE(sqlite3_open(DatabasePath().c_str(), &holder) == SQLITE_OK);
        REQUIRE(sqlite3_exec(holder, "begin exclusive;", nullptr, nullptr, nullptr) == SQLITE_OK);
        CHECK(Request("REMOVE FOLDER", "C:\\w1") == "ERROR");
        sqlite3_exec(holder, "commit;", nullptr, nullptr, nullptr);
        sqlite3_close(holder);

        centre.host.Select(0);
        REQUIRE(WaitForFreePipe());
        CHECK(RemoveBackupFolder());
        CHECK(centre.host.Joined() == "");
        CHECK(Query("select count(*) from watchdirectories") == "0");
        CHECK(centre.Boxes().empty());
    }
    SUBCASE("a pipe busy with another client answers nothing, at once")
    {
        HANDLE other = INVALID_HANDLE_VALUE;
        REQUIRE(WaitFor(10000, [&] { return (other = OpenControlPipe()) != INVALID_HANDLE_VALUE; }));
        CHECK(SendPipeCommand("LIST FOLDERS", "") == "");
        CloseHandle(other);
        CHECK(WaitForPipe() == "0");
    }
    SUBCASE("a client that sends nothing loses the pipe at the bound, and requests are answered again")
    {
        HANDLE silent = INVALID_HANDLE_VALUE;
        REQUIRE(WaitFor(10000, [&] { return (silent = OpenControlPipe()) != INVALID_HANDLE_VALUE; }));
        CHECK(SendPipeCommand("LIST FOLDERS", "") == "");
        CHECK(WaitForPipe() == "0");
        CloseHandle(silent);
        CHECK(Occurrences(ServiceLog(), "Named pipe client sent no whole message within 5000 ms. Connection dropped.") ==
              1);
    }
    SUBCASE("USERNAME absent: the account's name follows the tab")
    {
        const wchar_t* saved = _wgetenv(L"USERNAME");
        const std::wstring savedName = saved != nullptr ? saved : L"";
        _wputenv(L"USERNAME=");
        const std::string user = AddFolderUserName();
        REQUIRE(WaitForFreePipe());
        RequestAddFolder(L"C:\\w2 \u00e9");
        _wputenv((L"USERNAME=" + savedName).c_str());
        CHECK(user != "");
        CHECK(Query("select directory || '|' || user from watchdirectories") == "C:\\w2 \xC3\xA9|" + user);
        CHECK(centre.host.Joined() == "C:\\w2 \xC3\xA9");
        Exec("delete from watchdirectories;");
    }

    SUBCASE("after a restart the count is the table's, and each folder is still listed once")
    {
        REQUIRE(Request("ADD FOLDER", "C:\\w3\tann") == "OK");
        REQUIRE(Request("ADD FOLDER", "C:\\w4\tann") == "OK");
        CHECK(StopBackupService());
        CHECK(ServiceState() == SERVICE_STOPPED);
        CHECK(StartBackupService());
        REQUIRE(WaitForPipe() == "2");

        REQUIRE(WaitForFreePipe());
        const size_t servedBefore = Occurrences(ServiceLog(), "Processing client message from pipe");
        CHECK(Load());
        CHECK(centre.host.Joined() == "C:\\w3|C:\\w4");
        // The load was one connection, and the service is free for the next.
        CHECK(Request("LIST FOLDERS", "") == "2");
        const std::string log = ServiceLog();
        CHECK(Occurrences(log, "Processing client message from pipe") == servedBefore + 2);
        CHECK(centre.Boxes().empty());
        Exec("delete from watchdirectories;");
    }

    SUBCASE("a start while running is refused after one poll, the list loaded again")
    {
        REQUIRE(Request("ADD FOLDER", "C:\\w5\tann") == "OK");
        centre.host.Fill({L"stale"});
        REQUIRE(WaitForFreePipe());
        CHECK_FALSE(StartBackupService());
        CHECK(centre.host.Joined() == "C:\\w5");
        CHECK(centre.Boxes().empty());
        Exec("delete from watchdirectories;");
    }

    // Stop of the running service, then a stop while stopped.
    CHECK(StopBackupService());
    CHECK(ServiceState() == SERVICE_STOPPED);
    CHECK_FALSE(IsBackupServiceRunning());
    CHECK_FALSE(StopBackupService());
    CHECK(centre.Boxes().empty());
    CHECK_FALSE(Contains(TrayLog(), "did not stop"));
}

TEST_CASE("a disabled service: the start wait ends at its bound with the reason shown")
{
    Centre centre;
    REQUIRE(EnsureStopped());
    REQUIRE(SetStartType(SERVICE_DISABLED));
    const unsigned limit = serviceStartPollLimit;
    serviceStartPollLimit = 5;
    CHECK_FALSE(StartBackupService());
    serviceStartPollLimit = limit;
    CHECK(SetStartType(SERVICE_AUTO_START));
    CHECK(ServiceState() == SERVICE_STOPPED);
    const std::vector<test::SeenBox> boxes = centre.Boxes();
    REQUIRE(boxes.size() == 1);
    CHECK(boxes[0].caption == L"BEEP");
    CHECK(boxes[0].text == test::Wide("Error: The service did not start. " + Win32ErrorTextA(ERROR_SERVICE_DISABLED)));
    CHECK(Contains(TrayLog(), " Error: Service did not start, state 1: " + Win32ErrorTextA(ERROR_SERVICE_DISABLED)));
}
}

// ------------------------------------------------------ a stub service

TEST_SUITE("stub service")
{
TEST_CASE("a stop waits for the stopped state, and gives up at its bound on a service that never stops")
{
    const std::wstring stub = test::Wide(Env("TRAY_CORE_STUB"));
    REQUIRE(!stub.empty());
    Centre centre;

    struct Case {
        const wchar_t* mode;
        unsigned stopLimit;
        DWORD stateAfter;
        bool boxShown;
    };
    const Case cases[] = {
        {L"slow", 600, SERVICE_STOPPED, false},  // stops 1.5 s after the control
        {L"hang", 5, SERVICE_STOP_PENDING, true},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.mode));
        centre.presser.Clear();
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        REQUIRE(manager != nullptr);
        const std::wstring command = L"\"" + stub + L"\" " + c.mode;
        SC_HANDLE service = CreateServiceW(manager, L"VarnBack", L"VarnBack", SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        REQUIRE(service != nullptr);

        CHECK(StartBackupService());
        REQUIRE(WaitFor(20000, [] { return ServiceState() == SERVICE_RUNNING; }));
        const unsigned limit = serviceStopPollLimit;
        serviceStopPollLimit = c.stopLimit;
        CHECK(StopBackupService());
        serviceStopPollLimit = limit;
        CHECK(ServiceState() == c.stateAfter);

        const std::vector<test::SeenBox> boxes = centre.Boxes();
        INFO(centre.BoxesText());
        if (c.boxShown) {
            REQUIRE(boxes.size() == 1);
            CHECK(boxes[0].caption == L"BEEP");
            CHECK(boxes[0].text == L"Error: The service has not stopped yet. ");
            CHECK(Contains(TrayLog(), " Error: Service did not stop, state 3: \r\n"));
            CHECK(IsBackupServiceRunning());
        } else {
            CHECK(boxes.empty());
            DeleteService(service);
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
}
}

// ------------------------------------------- a database of real backup passes

TEST_SUITE("stored passes")
{
TEST_CASE("listings and versions of what real passes stored")
{
    Centre centre;
    appState.LoadFolders();  // the service is stopped: no list, but the connection for the queries
    REQUIRE(appState.database != nullptr);

    const auto names = [] {
        std::vector<std::string> listed;
        for (const FileListEntry& entry : appState.fileListing)
            listed.push_back(test::Utf8(entry.name));
        return listed;
    };
    // A folder lists itself and what lies beneath it, by path; the siblings
    // whose names begin the same (Data2, Database.txt) are not its own.
    REQUIRE(QueryFolderFiles(appState, "C:\\w\\Data", appState.fileListing));
    CHECK(names() == std::vector<std::string>{"Data", "renamed.txt"});
    REQUIRE(QueryFolderFiles(appState, "C:\\w", appState.fileListing));
    CHECK(names() == std::vector<std::string>{"Data", "Data2", "c.txt", "renamed.txt", "Database.txt"});

    const FileListEntry* renamed = nullptr;
    for (const FileListEntry& entry : appState.fileListing) {
        if (entry.name == L"Data")
            CHECK((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
        if (entry.name == L"renamed.txt")
            renamed = &entry;
        if (entry.name == L"Database.txt") {
            CHECK(entry.modificationTime == "20240131 235959.000");
            CHECK(entry.timeText == L"Thursday, 1 February 2024 00:59:59");
            CHECK(entry.size == 4);
        }
    }
    REQUIRE(renamed != nullptr);
    CHECK(renamed->versionCount >= 2);
    CHECK(renamed->size == 11);  // the newest version's size

    REQUIRE(appState.QueryFileVersions(appState.fileVersions, renamed->selfId, renamed->volumeId));
    CHECK(appState.fileVersions.size() == renamed->versionCount);
    CHECK(appState.fileVersions.front().name == L"renamed.txt");
    CHECK(appState.fileVersions.back().modificationTime == "20240301 100000.000");  // the first one stored
    bool oldName = false;
    for (const FileListEntry& version : appState.fileVersions)
        oldName = oldName || version.name == L"report.txt";
    CHECK(oldName);
    CHECK(appState.fileVersions.front().modificationTime == renamed->modificationTime);
    for (size_t i = 0; i < appState.fileVersions.size(); ++i) {
        CHECK(appState.fileVersions[i].versionCount == 1);
        CHECK(appState.fileVersions[i].selfId == renamed->selfId);
        CHECK(appState.fileVersions[i].volumeId == renamed->volumeId);
        if (i > 0)
            CHECK(appState.fileVersions[i - 1].modificationTime >= appState.fileVersions[i].modificationTime);
    }

    // A search finds the path containing the text in any ASCII case, and not the old name.
    REQUIRE(appState.QueryFiles("%%RENAMED%%", appState.fileListing, 0, 0));
    REQUIRE(appState.fileListing.size() == 1);
    CHECK(appState.fileListing[0].selfId == renamed->selfId);
    REQUIRE(appState.QueryFiles("%%report%%", appState.fileListing, 0, 0));
    CHECK(appState.fileListing.empty());
}
}

// ------------------------------------------------ restores by the real service

namespace {

// The rows of one stored path: "self_id:size" in the order of storing.
std::string RowsOf(const std::string& path)
{
    return Query("select self_id || ':' || size from filelist where path = '" + path + "' order by rowid");
}

size_t RowCount(const std::string& path)
{
    const std::string rows = RowsOf(path);
    return rows.empty() ? 0 : Occurrences(rows, "|") + 1;
}

// The versions of the file stored under path, stored last first.
std::vector<FileListEntry> VersionsOf(const std::wstring& name)
{
    std::vector<FileListEntry> listing;
    if (!QueryFolderFiles(appState, "C:\\w", listing))
        return {};
    for (const FileListEntry& entry : listing) {
        if (entry.name == name) {
            std::vector<FileListEntry> versions;
            appState.QueryFileVersions(versions, entry.selfId, entry.volumeId);
            return versions;
        }
    }
    return {};
}

bool Restore(const std::string& folder, const FileListEntry& version)
{
    std::vector<FileListEntry> list(1, version);
    return WaitForFreePipe() && SendRestoreFiles(folder, list);
}

FILETIME LastWrite(const std::wstring& path)
{
    FILETIME time = {};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        time = data.ftLastWriteTime;
    return time;
}

bool SetLastWrite(const std::wstring& path, FILETIME time)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const BOOL set = SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    return set != FALSE;
}

}  // namespace

TEST_SUITE("restores")
{
// The script started the service on C:\w (ScanInterval 0: a pass every wake-up)
// holding kb.bin (1,536 bytes), axb.txt and alpha.txt.
TEST_CASE("the version picked is the one restored, and a file restored in place keeps its history")
{
    Centre centre;
    REQUIRE(Load());
    const DWORD limit = 60000;
    REQUIRE(WaitFor(limit, [] {
        return RowCount("C:\\w\\kb.bin") == 1 && RowCount("C:\\w\\axb.txt") == 1 && RowCount("C:\\w\\alpha.txt") == 1;
    }));

    // kb.bin gets other content of another size under the same time; axb.txt a
    // new name (a move keeps the time); alpha.txt two more versions.
    const FILETIME kbTime = LastWrite(L"C:\\w\\kb.bin");
    REQUIRE(test::WriteFileBytes(L"C:\\w\\kb.bin", std::string(2048, 'b')));
    REQUIRE(SetLastWrite(L"C:\\w\\kb.bin", kbTime));
    REQUIRE(MoveFileW(L"C:\\w\\axb.txt", L"C:\\w\\axb-renamed.txt"));
    REQUIRE(WaitFor(limit, [] { return RowCount("C:\\w\\kb.bin") == 2 && RowCount("C:\\w\\axb-renamed.txt") == 1; }));
    for (const char* content : {"alpha two", "alpha three!"}) {
        const size_t before = RowCount("C:\\w\\alpha.txt");
        const FILETIME now = LastWrite(L"C:\\w\\alpha.txt");
        ULARGE_INTEGER time;
        time.LowPart = now.dwLowDateTime;
        time.HighPart = now.dwHighDateTime;
        time.QuadPart += 20000000ull * (before + 1);  // seconds on
        FILETIME later;
        later.dwLowDateTime = time.LowPart;
        later.dwHighDateTime = time.HighPart;
        REQUIRE(test::WriteFileBytes(L"C:\\w\\alpha.txt", content));
        REQUIRE(SetLastWrite(L"C:\\w\\alpha.txt", later));
        REQUIRE(WaitFor(limit, [&] { return RowCount("C:\\w\\alpha.txt") == before + 1; }));
    }

    // The 1.50 KB version of kb.bin, though the 2.00 KB one shares its time.
    std::vector<FileListEntry> kb = VersionsOf(L"kb.bin");
    REQUIRE(kb.size() == 2);
    CHECK(kb[0].size == 2048);  // stored last, first
    CHECK(kb[0].modificationTime == kb[1].modificationTime);
    REQUIRE(Restore("C:\\R", kb[1]));
    CHECK(WaitFor(limit, [] { return test::ReadFileBytes(L"C:\\R\\w\\kb.bin") == std::string(1536, 'a'); }));

    // The version stored under the old name comes back under that name.
    std::vector<FileListEntry> axb = VersionsOf(L"axb-renamed.txt");
    REQUIRE(axb.size() == 2);
    CHECK(axb[1].name == L"axb.txt");
    REQUIRE(Restore("C:\\R2", axb[1]));
    CHECK(WaitFor(limit, [] { return test::FileExists(L"C:\\R2\\w\\axb.txt"); }));
    CHECK_FALSE(test::FileExists(L"C:\\R2\\w\\axb-renamed.txt"));

    // alpha.txt's first version, restored in place: the file keeps its identity,
    // the next pass stores the restored content as its fourth version, and the
    // folder lists one alpha.txt with all four.
    std::vector<FileListEntry> alpha = VersionsOf(L"alpha.txt");
    REQUIRE(alpha.size() == 3);
    const uint64_t alphaId = alpha[0].selfId;
    REQUIRE(Restore("C:\\", alpha[2]));
    CHECK(WaitFor(limit, [] { return test::ReadFileBytes(L"C:\\w\\alpha.txt") == "alpha one"; }));
    CHECK(WaitFor(limit, [] { return RowCount("C:\\w\\alpha.txt") == 4; }));
    const std::string rows = RowsOf("C:\\w\\alpha.txt");
    CHECK(Occurrences(rows, std::to_string(alphaId) + ":") == 4);
    std::vector<FileListEntry> listing;
    REQUIRE(QueryFolderFiles(appState, "C:\\w", listing));
    size_t alphaRows = 0;
    for (const FileListEntry& entry : listing) {
        if (entry.name == L"alpha.txt") {
            ++alphaRows;
            CHECK(entry.versionCount == 4);
            CHECK(entry.size == 9);
        }
    }
    CHECK(alphaRows == 1);
    CHECK_FALSE(Contains(ServiceLog(), "C:\\w\\alpha.txt was deleted"));
    // Nothing of the restore's own making was stored.
    CHECK(Query("select count(*) from filelist where path like '%.partial'") == "0");
}
}
