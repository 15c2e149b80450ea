// Malformed traffic on the control pipe: afterwards the server still answers
// and nothing stored has changed.
#include <doctest/doctest.h>

#include "globals.h"
#include "service_pipe_fixture.h"
#include "service_state.h"

#include <cstdio>

using pipetest::Joined;
using pipetest::Replies;
using pipetest::Send;
using Lines = std::vector<std::string>;

namespace {

std::string MalformedTraffic()
{
    std::string script;
    // Random bytes of many lengths, some cut short by the client leaving.
    for (int seed = 1; seed <= 12; ++seed)
        script += "open 0\nrandom 0 " + std::to_string(seed * 397 % 3001 + 1) + " " + std::to_string(seed) +
                  "\nclose 0\n";
    // Counts far beyond the bound, and exactly at it.
    script += "open 0\ncount 0 4294967295\nraw 0 abc\nclose 0\n";
    script += "open 0\ncount 0 32768\nrandom 0 40000 5\nclose 0\n";
    // Half a count; a count with a short body; a command whose argument is cut off.
    script += "open 0\nraw 0 \\x07\\x00\nclose 0\n";
    script += "open 0\ncount 0 100\nraw 0 LIST\nclose 0\n";
    script += "open 0\n" + Send("ADD FOLDER") + "count 0 50\nraw 0 C:\\\\cut\nclose 0\n";
    script += "open 0\n" + Send("REMOVE FOLDER") + "count 0 30\nraw 0 C:\\\\no\nclose 0\n";
    script += "open 0\n" + Send("REMOVE FOLDER") + "close 0\n";
    // Restores that announce more entries than they send, or a negative number.
    script += "open 0\n" + Send("RESTORE FILES") + Send("C:\\fuzz") + Send("99999999999") + Send("1") + "close 0\n";
    script += "open 0\n" + Send("RESTORE FILES") + Send("C:\\fuzz") + Send("-5") + "close 0\n";
    script += "open 0\n" + Send("RESTORE FILES") + "count 0 7\nclose 0\n";
    // Listings whose client reads nothing, or sends garbage for its requests.
    script += "open 0\n" + Send("LIST FOLDERS") + "close 0\n";
    script += "open 0\n" + Send("LIST FOLDERS") + "random 0 500 7\nclose 0\n";
    // Many quick connections, most of them meeting no free instance.
    script += "flood 3000\n";
    return script;
}

}  // namespace

TEST_CASE("after malformed traffic the server still answers a good command and no row has changed")
{
    test::LogCapture log;
    test::SettingsScope settings;
    test::TempFolder destination(L"dest");
    settings.Set(destinationValueName, destination.path());
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\a", "ann");
    db.AddWatchRow("C:\\b", "bob");
    db.AddFileRow("E:\\x.txt", 0, 1, "20240101 120000", 2, "C:\\nowhere\\x");
    watchDirectories = {"C:\\a", "C:\\b"};
    const std::string before = db.Dump();
    pipetest::PipeServer server;

    const Lines output = pipetest::RunClient(MalformedTraffic() + "open 0\n" + Send("LIST FOLDERS") + "read 0\n" +
                                             Send("GET FOLDER") + "read 0\n" + Send("GET FOLDER") +
                                             "read 0\ndrain 0\n",
                                             80000);
    INFO(Joined(output));
    unsigned long attempts = 0, connected = 0;
    for (const std::string& line : output)
        std::sscanf(line.c_str(), "flood %lu %lu", &attempts, &connected);
    MESSAGE("flood: " << attempts << " attempts, " << connected << " connections");
    CHECK(connected > 0);
    CHECK(Replies(output) == Lines{"2", "C:\\a", "C:\\b"});
    CHECK(pipetest::HasLine(output, "end"));
    CHECK(server.Running());
    CHECK(db.Dump() == before);
    CHECK_FALSE(test::FileExists(L"C:\\fuzz"));
    server.Stop(5000);
}
