// ClientControl: one instance at a time, one command per connection, and the stop byte.
#include <doctest/doctest.h>

#include "globals.h"
#include "pipe_framing.h"
#include "pipe_server.h"
#include "service_pipe_fixture.h"
#include "service_state.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

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
        // Every try for the run's first instance asks to be the first of its name.
        const std::vector<pipetest::Creation> made = creations.creations();
        REQUIRE(made.size() >= 5);
        for (size_t i = 0; i < 5; ++i)
            CHECK(made[i].openMode == (PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE));
    }
}

TEST_CASE("a client finds a byte-mode instance with 64 KiB buffers, the run's first created as the first of its name")
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
    CHECK(instances == 2);
    DWORD state = 99, current = 0;
    CHECK(GetNamedPipeHandleStateW(client, &state, &current, nullptr, nullptr, nullptr, 0));
    CHECK(state == (PIPE_WAIT | PIPE_READMODE_BYTE));
    CHECK(current == 1);
    CloseHandle(client);
    REQUIRE(pipetest::WaitForLog(log, "ClientControl() Created Pipe, waiting for connection ...", 10000, 2));
    server.Stop();
    const std::vector<pipetest::Creation> made = creations.creations();
    REQUIRE(made.size() == 2);
    for (const pipetest::Creation& creation : made) {
        // The second is made while the first is still held.
        CHECK(creation.openMode == (PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                    (&creation == &made[0] ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0)));
        CHECK(creation.pipeMode == (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT));
        CHECK(creation.instances == 2);
        CHECK(creation.outBuffer == 65536);
        CHECK(creation.inBuffer == 65536);
        CHECK(creation.timeout == 0);
        CHECK(creation.security);
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

namespace {

// The access list of the object behind handle, one "allow|deny SID mask" per
// entry in order; "no access list" when the descriptor has none, which admits everyone.
Lines AccessList(HANDLE handle)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS)
        return Lines{"GetSecurityInfo error " + std::to_string(result)};
    Lines entries;
    if (dacl == nullptr)
        entries.push_back("no access list");
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
            break;
        // An allowed and a denied entry share one layout.
        const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        char* sid = nullptr;
        ConvertSidToStringSidA(const_cast<DWORD*>(&ace->SidStart), &sid);
        char mask[16];
        std::snprintf(mask, sizeof mask, "%08lx", static_cast<unsigned long>(ace->Mask));
        const std::string kind = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                                 : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                             : "type " + std::to_string(header->AceType);
        entries.push_back(kind + " " + (sid != nullptr ? sid : "?") + " " + mask +
                          (header->AceFlags != 0 ? " flags " + std::to_string(header->AceFlags) : ""));
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return entries;
}

// The owner of the object behind handle as SID text; "no owner" when the
// descriptor names none.
std::string Owner(HANDLE handle)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
    if (result != ERROR_SUCCESS)
        return "GetSecurityInfo error " + std::to_string(result);
    std::string text = "no owner";
    char* sid = nullptr;
    if (owner != nullptr && ConvertSidToStringSidA(owner, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return text;
}

// A client handle of the test process, once the server offers an instance.
HANDLE OpenAsClient(DWORD access, DWORD limitMilliseconds = 10000)
{
    HANDLE client = INVALID_HANDLE_VALUE;
    const DWORD start = GetTickCount();
    while ((client = CreateFileW(pipeName, access, 0, nullptr, OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE &&
           GetTickCount() - start < limitMilliseconds)
        Sleep(10);
    return client;
}

// One message each way on a synchronous client handle.
std::string Request(HANDLE client, const std::string& command)
{
    const std::string message = pipetest::CountBytes(static_cast<uint32_t>(command.size())) + command;
    DWORD moved = 0;
    if (!WriteFile(client, message.data(), static_cast<DWORD>(message.size()), &moved, nullptr))
        return "write failed";
    uint32_t count = 0;
    if (!ReadFile(client, &count, sizeof count, &moved, nullptr) || moved != sizeof count || count > 1000)
        return "no reply";
    std::string reply(count, '\0');
    if (count > 0 && !ReadFile(client, &reply[0], count, &moved, nullptr))
        return "no reply body";
    return reply;
}

// NETWORK refused first, then LocalSystem and Administrators, each with every right.
const Lines adminsOnly = {"deny S-1-5-2 001f01ff", "allow S-1-5-18 001f01ff", "allow S-1-5-32-544 001f01ff"};

// A client that may read the instance's descriptor finds the administrators-only
// list on it and the Administrators group as its owner (what the control
// centre asks of the pipe), and is served all the same.
void CheckAdminsOnlyAndServed()
{
    HANDLE client = OpenAsClient(GENERIC_READ | GENERIC_WRITE | READ_CONTROL);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    CHECK(Joined(AccessList(client)) == Joined(adminsOnly));
    CHECK(Owner(client) == "S-1-5-32-544");
    CHECK(Request(client, "LIST FOLDERS") == "0");
    CloseHandle(client);
}

const std::string securityOutage =
    "ClientControl() Could not build the security descriptor of named pipe \\\\.\\pipe\\VarnokeBackupPipe, error ";

}  // namespace

TEST_CASE("only LocalSystem and administrators may open the pipe, no network logon, and administrators own it")
{
    // The test process stands for the control centre run by an administrator:
    // under Wine every process holds the Administrators group.
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    REQUIRE(AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                     0, 0, 0, &administrators));
    BOOL member = FALSE;
    CHECK(CheckTokenMembership(nullptr, administrators, &member));
    FreeSid(administrators);
    REQUIRE(member);

    test::LogCapture log;
    pipetest::ServiceDatabase db;
    pipetest::CreationRecorder creations;
    pipetest::PipeServer server;
    // Twice: the descriptor holds for the instance made after a served client too.
    for (int connection = 0; connection < 2; ++connection) {
        CAPTURE(connection);
        CheckAdminsOnlyAndServed();
    }
    server.Stop();
    const std::vector<pipetest::Creation> made = creations.creations();
    REQUIRE(made.size() >= 2);
    for (const pipetest::Creation& creation : made)
        CHECK(creation.security);
    CHECK(Occurrences(log.text(), securityOutage) == 0);
}

TEST_CASE("without its security descriptor the pipe is not offered: the server says so once and retries")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    // The first build fails at its first SID, the second at its second, the third at its first.
    pipetest::SidFailures failures({1, 3, 4});
    pipetest::CreationRecorder creations;
    std::vector<size_t> madeAtPause;
    std::vector<DWORD> openErrors;
    pipetest::PollRecorder recorder(
        [&](size_t, const pipetest::Poll& poll) {
            if (poll.event != nullptr)
                return;
            madeAtPause.push_back(creations.creations().size());
            HANDLE client = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            openErrors.push_back(client == INVALID_HANDLE_VALUE ? GetLastError() : 0);
            if (client != INVALID_HANDLE_VALUE)
                CloseHandle(client);
        },
        true);
    pipetest::PipeServer server;
    REQUIRE(pipetest::WaitForLog(log, "ClientControl() Created Pipe, waiting for connection ..."));
    CheckAdminsOnlyAndServed();
    server.Stop();

    // Three failed builds, a second's pause after each, and no instance until the fourth.
    CHECK(Pauses(recorder.polls()) == std::vector<DWORD>{500, 500, 500, 500, 500, 500});
    CHECK(madeAtPause == std::vector<size_t>(6, 0));
    CHECK(openErrors == std::vector<DWORD>(6, ERROR_FILE_NOT_FOUND));
    // Built once for the thread: later instances make no new SIDs.
    CHECK(failures.calls() == 7);
    for (const pipetest::Creation& creation : creations.creations())
        CHECK(creation.security);
    const std::string text = log.text();
    CHECK(Occurrences(text, securityOutage) == 1);
    const size_t at = text.find(securityOutage);
    REQUIRE(at != std::string::npos);
    const std::string line = text.substr(at, text.find("\r\n", at) - at);
    CAPTURE(line);
    CHECK(line.compare(securityOutage.size(), 3, "8( ") == 0);
    const std::string pace = "). Retrying every 1000 ms.";
    CHECK((line.size() > pace.size() && line.compare(line.size() - pace.size(), std::string::npos, pace) == 0));
    CHECK(Occurrences(text, "Could not create named pipe") == 0);
    CHECK(text.find(securityOutage) < text.find("ClientControl() Created Pipe, waiting for connection ..."));
}

namespace {

// One "LIST FOLDERS" request on a connection of its own, per slot given.
std::string ListRequests(std::initializer_list<int> slots)
{
    std::string script;
    for (int slot : slots) {
        const std::string number = std::to_string(slot);
        script += "open " + number + "\n" + Send("LIST FOLDERS", slot) + "read " + number + "\nclose " + number + "\n";
    }
    return script;
}

// The server's own lines about its instances, in order, each shortened to a word.
std::string InstanceLines(const std::string& text)
{
    const std::pair<const char*, const char*> marks[] = {
        {"ClientControl() Created Pipe, waiting for connection ...", "created"},
        {"ClientControl() Pipe connected", "connected"},
        {"ClientControl() Unknown error code ", "unknown"},
        {"ClientControl() Closed Pipe", "closed"},
        {"ClientControl() Standard Exit", "exit"},
    };
    std::string lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        for (const auto& mark : marks) {
            if (line.find(mark.first) != std::string::npos)
                lines += (lines.empty() ? "" : " ") + std::string(mark.second);
        }
        at = end + 2;
    }
    return lines;
}

}  // namespace

TEST_CASE("from its first instance until the stop the server holds an instance of the pipe's name")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    SUBCASE("clients served one after another: the next instance is made before the served one is closed")
    {
        pipetest::CreationRecorder creations;
        pipetest::PipeServer server;
        const Lines output = pipetest::RunClient(ListRequests({0, 1, 2}));
        INFO(Joined(output));
        CHECK(Replies(output, 0) == Lines{"0"});
        CHECK(Replies(output, 1) == Lines{"0"});
        CHECK(Replies(output, 2) == Lines{"0"});
        REQUIRE(pipetest::WaitForLog(log, "ClientControl() Created Pipe, waiting for connection ...", 10000, 4));
        server.Stop();
        const std::string sequence = creations.sequence();
        CAPTURE(sequence);
        CHECK(pipetest::Lapses(sequence).empty());
        // Only the first instance of the run asks to be the first of its name.
        CHECK(sequence == "+1F +2 -1 +3 -2 +4 -3 -4");
        for (const pipetest::Creation& creation : creations.creations())
            CHECK(creation.instances == 2);
        // The log reads as it always did.
        CHECK(InstanceLines(log.text()) == "created connected closed created connected closed created connected closed "
                                           "created closed exit");
    }
    SUBCASE("while the next instance is refused the served one is kept, and clients are told the pipe is busy")
    {
        // Windows refuses the next instance while the one closed before lingers,
        // until its client has closed its end too.
        pipetest::CreationRecorder creations([](unsigned number) { return number >= 2 && number <= 4; },
                                             ERROR_PIPE_BUSY);
        std::string openErrors;  // of a client's open at each pause
        pipetest::PollRecorder recorder(
            [&](size_t, const pipetest::Poll& poll) {
                if (poll.event != nullptr)
                    return;
                HANDLE client =
                    CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                openErrors += std::to_string(client == INVALID_HANDLE_VALUE ? GetLastError() : 0) + " ";
                if (client != INVALID_HANDLE_VALUE)
                    CloseHandle(client);
            },
            true);
        pipetest::PipeServer server;
        const Lines first = pipetest::RunClient(ListRequests({0}));
        REQUIRE(pipetest::WaitForLog(log, regained + "3 failed attempts\r\n"));
        const Lines second = pipetest::RunClient(ListRequests({1}));
        INFO(Joined(first));
        INFO(Joined(second));
        CHECK(Replies(first, 0) == Lines{"0"});
        CHECK(Replies(second, 1) == Lines{"0"});
        server.Stop();
        const std::string sequence = creations.sequence();
        CAPTURE(sequence);
        CHECK(pipetest::Lapses(sequence).empty());
        CHECK(sequence == "+1F x2 x3 x4 +5 -1 +6 -5 -6");
        // The retry keeps its pace and its lines; the name stays taken throughout.
        CHECK(Pauses(recorder.polls()) == std::vector<DWORD>{100, 500, 500, 500, 500});
        CHECK(openErrors == "231 231 231 231 231 ");
        const std::string text = log.text();
        CheckOutageLines(text, "231");
        CHECK(Occurrences(text, regained) == 1);
        CHECK(text.find(outage) < text.find("ClientControl() Closed Pipe"));
        CHECK(text.find("ClientControl() Closed Pipe") < text.find(regained));
        CHECK(InstanceLines(text) == "created connected closed created connected closed created closed exit");
    }
    SUBCASE("a client gone before the connect began: that instance is given up once the next exists")
    {
        // It opens and closes the first instance before the server starts its connect.
        bool opened = false;
        pipetest::CreationRecorder creations([](unsigned) { return false; }, 0, [&](unsigned number, HANDLE) {
            if (number != 1)
                return;
            HANDLE client = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            opened = client != INVALID_HANDLE_VALUE;
            if (opened)
                CloseHandle(client);
        });
        pipetest::PipeServer server;
        REQUIRE(pipetest::WaitForLog(log, "ClientControl() Unknown error code "));
        const Lines output = pipetest::RunClient(ListRequests({0}));
        INFO(Joined(output));
        CHECK(Replies(output, 0) == Lines{"0"});
        server.Stop();
        CHECK(opened);
        const std::string sequence = creations.sequence();
        CAPTURE(sequence);
        CHECK(pipetest::Lapses(sequence).empty());
        CHECK(sequence == "+1F +2 -1 +3 -2 -3");
        const std::string text = log.text();
        CHECK(InstanceLines(text) == "created unknown closed created connected closed created closed exit");
        CHECK(text.find(". Aborting.") != std::string::npos);
    }
    SUBCASE("a stop while the next instance is refused closes the served one within one poll")
    {
        pipetest::CreationRecorder creations([](unsigned number) { return number >= 2; }, ERROR_PIPE_BUSY);
        // At the second pause: the first follows the first refusal, the second the second.
        int pauses = 0;
        pipetest::PollRecorder recorder(
            [&](size_t, const pipetest::Poll& poll) {
                if (poll.event == nullptr && ++pauses == 2)
                    *serviceStopFlag = 1;
            },
            true);
        pipetest::PipeServer server;
        const Lines output = pipetest::RunClient(ListRequests({0}));
        INFO(Joined(output));
        CHECK(Replies(output, 0) == Lines{"0"});
        REQUIRE(pipetest::WaitForLog(log, "ClientControl() Standard Exit"));
        const std::string sequence = creations.sequence();
        CAPTURE(sequence);
        CHECK(sequence == "+1F x2 x3 -1");
        CHECK(InstanceLines(log.text()) == "created connected closed exit");
    }
    SUBCASE("a stop while a client is served closes its instance and makes no other")
    {
        pipetest::CreationRecorder creations;
        pipetest::PipeServer server;
        pipetest::Client client("open 0\nread 0\ndrain 0\n");
        REQUIRE(pipetest::WaitForLog(log, "ClientControl() Pipe connected"));
        server.Stop(5000);
        const Lines output = client.Finish(10000);
        INFO(Joined(output));
        CHECK(HasLine(output, "end"));
        CHECK(creations.sequence() == "+1F -1");
        CHECK(InstanceLines(log.text()) == "created connected closed exit");
    }
}
