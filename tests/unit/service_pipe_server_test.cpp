// ClientControl: one instance at a time, one command per connection, and the stop byte.
#include <doctest/doctest.h>

#include "globals.h"
#include "pipe_framing.h"
#include "service_pipe_fixture.h"
#include "service_state.h"

using pipetest::HasLine;
using pipetest::Joined;
using pipetest::Occurrences;
using pipetest::Replies;
using pipetest::Send;
using Lines = std::vector<std::string>;

TEST_CASE("a stop while no client is connected ends the server within about half a second")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    pipetest::PipeServer server;
    REQUIRE(pipetest::WaitForLog(log, "ClientControl() Created Pipe, waiting for connection ..."));
    // Generous: the connect is polled every 500 ms; this only keeps a stuck thread from passing.
    server.Stop(3000);
    CHECK(server.ExitCode() == 0);
    const std::string text = log.text();
    const size_t entry = text.find("ClientControl() Entry");
    const size_t closed = text.find("ClientControl() Closed Pipe");
    const size_t exit = text.find("ClientControl() Standard Exit");
    CHECK(entry != std::string::npos);
    REQUIRE(closed != std::string::npos);
    REQUIRE(exit != std::string::npos);
    CHECK(entry < closed);
    CHECK(closed < exit);
    CHECK(Occurrences(text, "ClientControl() Closed Pipe") == 1);
    // No instance is left behind.
    HANDLE pipe = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(pipe == INVALID_HANDLE_VALUE);
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
}

TEST_CASE("a second client is refused at once while one is served, and the next connection starts clean")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    watchDirectories = {"C:\\a"};
    pipetest::PipeServer server;
    // The first client holds the only instance while "REMOVE FOLDER" waits for its argument.
    const Lines output = pipetest::RunClient("open 0\n" + Send("REMOVE FOLDER") + "tryopen 1\n" +
                                             Send("C:\\a") + "read 0\nclose 0\n"
                                             // "ADD FOLDER" leaves its second OK unread
                                             "open 2\n" + Send("ADD FOLDER", 2) + Send("C:\\b\tann", 2) +
                                             "read 2\nclose 2\n"
                                             "open 3\n" + Send("LIST FOLDERS", 3) + "read 3\nclose 3\n");
    INFO(Joined(output));
    bool refused = false;
    for (const std::string& line : output)
        refused = refused || line.compare(0, 16, "tryopen 1 failed") == 0;
    CHECK(refused);
    CHECK(Replies(output, 0) == Lines{"OK"});
    CHECK(Replies(output, 2) == Lines{"OK"});
    CHECK(Replies(output, 3) == Lines{"1"});
    CHECK(db.WatchRows() == Lines{"C:\\b|ann"});
}

TEST_CASE("a client that stays connected and silent does not keep the server from stopping")
{
    struct Case {
        const char* name;
        std::string messages;  // sent before the client falls silent
        const char* waitFor;   // log line that shows the server is waiting for more
        Lines replies;
    };
    const Case cases[] = {
        {"no command", "", "ClientControl() Pipe connected", {}},
        // The argument that never came is taken as empty.
        {"no argument", Send("REMOVE FOLDER"), "Remove Folder command issued", {"ERROR"}},
        {"restore entry missing", Send("RESTORE FILES") + Send("C:\\t") + Send("5"), "Processing client message",
         {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        test::LogCapture log;
        test::SettingsScope settings;
        test::TempFolder destination(L"dest");
        settings.Set(destinationValueName, destination.path());
        pipetest::ServiceDatabase db;
        pipetest::PipeServer server;
        pipetest::Client client("open 0\n" + c.messages + "read 0\ndrain 0\n");
        REQUIRE(pipetest::WaitForLog(log, c.waitFor));
        Sleep(300);
        server.Stop(5000);
        const Lines output = client.Finish(10000);
        INFO(Joined(output));
        CHECK(Replies(output) == c.replies);
        CHECK(HasLine(output, "end"));
        CHECK(log.text().find("ClientControl() Standard Exit") != std::string::npos);
    }
}

TEST_CASE("an instance that cannot be created is retried until it can")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    // Another holder of the name with its one instance keeps the server from making its own.
    HANDLE squatter = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, nullptr);
    REQUIRE(squatter != INVALID_HANDLE_VALUE);
    pipetest::PipeServer server;
    const bool refused =
        pipetest::WaitForLog(log, "ClientControl() Could not create named pipe \\\\.\\pipe\\VarnokeBackupPipe", 10000, 2);
    CloseHandle(squatter);
    CHECK(refused);
    const Lines output = pipetest::RunClient("open 0\n" + Send("LIST FOLDERS") + "read 0\nclose 0\n");
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"0"});
}
