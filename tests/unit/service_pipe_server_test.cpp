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
        CAPTURE(std::string(c.name));
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

namespace {

// The outage line as it always read, whole, then the error and the pace in the next entry.
const std::string outage = " ClientControl() Could not create named pipe \\\\.\\pipe\\VarnokeBackupPipe\r\n";
const std::string outageError = "ClientControl() Named pipe creation error ";
const std::string outagePace = "). Retrying every 1000 ms.";
const std::string regained = "ClientControl() Created named pipe \\\\.\\pipe\\VarnokeBackupPipe after ";

// The message of the entry right after the outage line, or "" without one.
std::string EntryAfterOutage(const std::string& text)
{
    const size_t at = text.find(outage);
    if (at == std::string::npos)
        return std::string();
    const size_t next = at + outage.size() + 22;  // past the next entry's time
    const size_t end = text.find("\r\n", next);
    return next < text.size() && end != std::string::npos ? text.substr(next, end - next) : std::string();
}

void CheckOutageLines(const std::string& text, const std::string& code)
{
    CHECK(Occurrences(text, "Could not create named pipe") == 1);
    CHECK(Occurrences(text, outage) == 1);
    const std::string entry = EntryAfterOutage(text);
    CAPTURE(entry);
    CHECK(entry.compare(0, outageError.size() + code.size() + 2, outageError + code + "( ") == 0);
    CHECK((entry.size() > outagePace.size() &&
           entry.compare(entry.size() - outagePace.size(), std::string::npos, outagePace) == 0));
    CHECK(Occurrences(text, outageError) == 1);
}

std::vector<DWORD> Pauses(const std::vector<pipetest::Poll>& polls)
{
    std::vector<DWORD> pauses;
    for (const pipetest::Poll& poll : polls) {
        if (poll.event == nullptr)
            pauses.push_back(poll.milliseconds);
    }
    return pauses;
}

}  // namespace

TEST_CASE("while another program holds the pipe's name the server retries calmly and says so once")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    SUBCASE("an instance of the name that Wine refuses to share")
    {
        HANDLE holder = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, nullptr);
        REQUIRE(holder != INVALID_HANDLE_VALUE);
        pipetest::PollRecorder recorder;
        pipetest::PipeServer server;
        const bool said = pipetest::WaitForLog(log, outageError);
        Sleep(2500);
        CloseHandle(holder);
        REQUIRE(said);
        REQUIRE(pipetest::WaitForLog(log, regained));
        const Lines output = pipetest::RunClient("open 0\n" + Send("LIST FOLDERS") + "read 0\nclose 0\n");
        INFO(Joined(output));
        CHECK(Replies(output) == Lines{"0"});
        const std::string text = log.text();
        CheckOutageLines(text, "231");
        CHECK(Occurrences(text, regained) == 1);
        // One quick retry, then a try every second in pauses a stop can end.
        const std::vector<DWORD> pauses = Pauses(recorder.polls());
        REQUIRE(pauses.size() >= 3);
        CHECK(pauses[0] == 100);
        for (size_t i = 1; i < pauses.size(); ++i)
            CHECK(pauses[i] == 500);
    }
    SUBCASE("a first instance that Windows refuses while the name is taken")
    {
        pipetest::CreationRecorder creations(4, ERROR_ACCESS_DENIED);
        pipetest::PollRecorder recorder(nullptr, true);
        pipetest::PipeServer server;
        REQUIRE(pipetest::WaitForLog(log, regained + "4 failed attempts\r\n"));
        const Lines output = pipetest::RunClient("open 0\n" + Send("LIST FOLDERS") + "read 0\nclose 0\n");
        INFO(Joined(output));
        CHECK(Replies(output) == Lines{"0"});
        const std::string text = log.text();
        CheckOutageLines(text, "5");
        CHECK(Pauses(recorder.polls()) == std::vector<DWORD>{100, 500, 500, 500, 500, 500, 500});
        const std::vector<pipetest::Creation> made = creations.creations();
        REQUIRE(made.size() >= 5);
        for (const pipetest::Creation& creation : made)
            CHECK(creation.openMode == (PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE));
    }
}

TEST_CASE("a client finds one byte-mode instance with 64 KiB buffers, created as the first of its name")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    pipetest::CreationRecorder creations;
    pipetest::PipeServer server;
    HANDLE client = INVALID_HANDLE_VALUE;
    const DWORD start = GetTickCount();
    while ((client = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) ==
               INVALID_HANDLE_VALUE &&
           GetTickCount() - start < 10000)
        Sleep(10);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    DWORD flags = 99, outBuffer = 0, inBuffer = 0, instances = 0;
    CHECK(GetNamedPipeInfo(client, &flags, &outBuffer, &inBuffer, &instances));
    CHECK(flags == (PIPE_CLIENT_END | PIPE_TYPE_BYTE));
    CHECK(outBuffer == 65536);
    CHECK(inBuffer == 65536);
    CHECK(instances == 1);
    DWORD state = 99, current = 0;
    CHECK(GetNamedPipeHandleStateW(client, &state, &current, nullptr, nullptr, nullptr, 0));
    CHECK(state == (PIPE_WAIT | PIPE_READMODE_BYTE));
    CHECK(current == 1);
    CloseHandle(client);
    server.Stop();
    const std::vector<pipetest::Creation> made = creations.creations();
    REQUIRE_FALSE(made.empty());
    for (const pipetest::Creation& creation : made) {
        CHECK(creation.openMode == (PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE));
        CHECK(creation.pipeMode == (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT));
        CHECK(creation.instances == 1);
        CHECK(creation.outBuffer == 65536);
        CHECK(creation.inBuffer == 65536);
        CHECK(creation.timeout == 0);
        CHECK_FALSE(creation.security);
    }
}

TEST_CASE("the server polls for a client every 500 ms and for its message every 200 ms")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    SUBCASE("periods")
    {
        pipetest::PollRecorder recorder;
        pipetest::PipeServer server;
        // The client comes while the server is in a connect poll, and sends its command late.
        const DWORD start = GetTickCount();
        while (recorder.polls().empty() && GetTickCount() - start < 10000)
            Sleep(10);
        const Lines output = pipetest::RunClient("open 0\nsleep 700\n" + Send("LIST FOLDERS") + "read 0\nclose 0\n");
        INFO(Joined(output));
        CHECK(Replies(output) == Lines{"0"});
        server.Stop();
        // Connect polls, the polls of the command's read, connect polls on the next instance.
        const std::vector<pipetest::Poll> polls = recorder.polls();
        REQUIRE_FALSE(polls.empty());
        std::string shape;
        for (const pipetest::Poll& poll : polls) {
            CHECK(poll.event == polls[0].event);
            const char mark = poll.milliseconds == 500 ? 'c' : poll.milliseconds == 200 ? 'r' : '?';
            if (shape.empty() || shape.back() != mark)
                shape += mark;
        }
        CHECK(polls[0].event != nullptr);
        CHECK((shape == "crc" || shape == "cr"));
    }
    SUBCASE("a stop is seen right after the connect poll in which it was set")
    {
        pipetest::PollRecorder recorder([](size_t number, const pipetest::Poll&) {
            if (number == 3)
                *serviceStopFlag = 1;
        });
        pipetest::PipeServer server;
        CHECK(pipetest::WaitForLog(log, "ClientControl() Standard Exit"));
        CHECK(recorder.polls().size() == 3);
        CHECK(Occurrences(log.text(), "ClientControl() Closed Pipe") == 1);
        CHECK(Occurrences(log.text(), "ClientControl() Standard Exit") == 1);
    }
}

TEST_CASE("a silent or stalled client is dropped at the bound, and the next client is served")
{
    struct Case {
        const char* name;
        std::string messages;  // what the first client sends before it stalls, its end still open
        bool reading;          // else it stops reading its replies
        DWORD bound;
    };
    std::string unread = Send("LIST FOLDERS");
    for (int i = 0; i < 6; ++i)
        unread += Send("GET FOLDER");
    const Case cases[] = {
        {"sends nothing", "", true, 1500},
        {"half a count", "raw 0 \\x05\\x00\n", true, 1500},
        {"a body cut short", "count 0 20\nraw 0 C:\\\\a\n", true, 1500},
        {"REMOVE FOLDER without its argument", Send("REMOVE FOLDER"), true, 1500},
        {"reads none of its replies", unread, false, 1500},
        {"sends nothing, the real bound", "", true, 5000},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.name));
        test::LogCapture log;
        pipetest::ServiceDatabase db;
        db.AddWatchRow("C:\\a", "ann");
        const std::string before = db.Dump();
        // Six replies of 32000 bytes: more than the pipe's buffer holds.
        watchDirectories.assign(6, std::string(32000, 'p'));
        pipetest::ClientTimeout bound(c.bound);
        pipetest::PipeServer server;
        const Lines output = pipetest::RunClient("open 0\n" + c.messages + "open 1\n" + Send("LIST FOLDERS", 1) +
                                                 "read 1\nclose 1\nread 0\nclose 0\n",
                                                 30000);
        INFO(Joined(output));
        CHECK(HasLine(output, "open 1 ok"));
        CHECK(Replies(output, 1) == Lines{"6"});
        CHECK(HasLine(output, "noreply 0"));  // the dropped connection carries nothing more
        const std::string line = std::string(c.reading ? "Named pipe client sent no whole message within "
                                                       : "Named pipe client took no whole reply within ") +
                                 std::to_string(c.bound) + " ms. Connection dropped.";
        CHECK(Occurrences(log.text(), line) == 1);
        CHECK(Occurrences(log.text(), "Connection dropped") == 1);
        CHECK(db.Dump() == before);
        CHECK(server.Running());
    }
}
