// The pipe commands, served by ClientControl in this process and sent by the
// client program from another one over the real pipe name.
#include <doctest/doctest.h>

#include <algorithm>

#include "destination.h"
#include "folders.h"
#include "globals.h"
#include "log.h"
#include "pipe_commands.h"
#include "service_pipe_fixture.h"
#include "service_pipe_script.h"
#include "service_state.h"

using pipetest::HasLine;
using pipetest::Joined;
using pipetest::Occurrences;
using pipetest::Replies;
using pipetest::RunClient;
using pipetest::Send;
using Lines = std::vector<std::string>;

namespace {

const char* const finishedLine = "Finished processing client message from pipe";

// One connection: open, the messages, as many reads as replies are expected,
// then wait for the server to close it ("closed 0 N" counts the bytes left over).
std::string Connection(const std::vector<std::string>& messages, int reads)
{
    std::string script = "open 0\n";
    for (const std::string& message : messages)
        script += Send(message);
    for (int i = 0; i < reads; ++i)
        script += "read 0\n";
    return script + "drain 0\nclose 0\n";
}

}  // namespace

TEST_CASE("REMOVE FOLDER deletes exactly the rows of that folder and replies OK")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\a", "ann");
    db.AddWatchRow("C:\\ab", "ann");
    db.AddWatchRow("C:\\a", "bob");
    db.AddWatchRow("c:\\A", "ann");
    pipetest::PipeServer server;

    const Lines output = RunClient(Connection({"REMOVE FOLDER", "C:\\a"}, 1) +
                                   Connection({"REMOVE FOLDER", "C:\\nowhere"}, 1));
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"OK", "OK"});
    CHECK(Occurrences(Joined(output), "closed 0 0") == 2);
    CHECK(db.WatchRows() == Lines{"C:\\ab|ann", "c:\\A|ann"});
    CHECK(Occurrences(log.text(), "Remove Folder command issued") == 2);
    CHECK(Occurrences(log.text(), finishedLine) == 0);
}

TEST_CASE("ADD FOLDER inserts the folder and the user and replies OK twice")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    pipetest::PipeServer server;
    const std::string arguments[] = {"C:\\Data\\Fotos\tann", "D:\\J\xc3\xb6rg 100%s\tj\xc3\xb6rg",
                                     "C:\\Data\\Fotos\tann"};
    std::string script;
    for (const std::string& argument : arguments)
        script += Connection({"ADD FOLDER", argument}, 2);
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Replies(output) == Lines(6, "OK"));
    CHECK(Occurrences(Joined(output), "closed 0 0") == 3);
    CHECK(db.WatchRows() ==
          Lines{"C:\\Data\\Fotos|ann", "D:\\J\xc3\xb6rg 100%s|j\xc3\xb6rg", "C:\\Data\\Fotos|ann"});
    CHECK(Occurrences(log.text(), finishedLine) == 0);
}

TEST_CASE("ADD FOLDER and REMOVE FOLDER refuse a missing or malformed argument with one ERROR")
{
    struct Case {
        const char* command;
        std::string argument;
    };
    const Case cases[] = {
        {"ADD FOLDER", ""},        {"ADD FOLDER", "C:\\x"},     {"ADD FOLDER", "C:\\x\tann\tbob"},
        {"ADD FOLDER", "C:\\x\t"}, {"REMOVE FOLDER", ""},
        // No folder: a row that "REMOVE FOLDER" could never take away again.
        {"ADD FOLDER", "\tann"},
    };
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\x", "ann");
    pipetest::PipeServer server;
    std::string script;
    for (const Case& c : cases)
        script += Connection({c.command, c.argument}, 1);
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Replies(output) == Lines(6, "ERROR"));
    CHECK(Occurrences(Joined(output), "closed 0 0") == 6);
    CHECK(db.WatchRows() == Lines{"C:\\x|ann"});
}

TEST_CASE("ADD FOLDER refuses a folder the walk could never list with one ERROR and a line saying why")
{
    struct Case {
        std::string folder;
        const char* fault;  // null: accepted
    };
    const Case cases[] = {
        {"\\\\?\\C:\\docs2", "it has a long-path or device prefix (\\\\?\\ or \\\\.\\)"},
        {"C:\\Data", nullptr},
        {"C:/docs2", "it holds a forward slash"},
        {"D:", nullptr},
        {"docs2", "it is not a full path (a drive letter, a colon and a backslash, or a share \\\\server\\share)"},
        {"D:\\", nullptr},
        {"C:\\docs2 100%s\\", "it ends in a backslash and is not a drive root"},
        {"\\\\srv\\share", nullptr},
        {"\\\\srv\\share\\", "it ends in a backslash and is not a drive root"},
        {"\\\\srv\\share\\sub", nullptr},
        {"C:\\a\\\\b", "it has an empty piece (two backslashes in a row)"},
        {"C:\\J\xc3\xb6rg 100%s.d", nullptr},
    };
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\x", "ann");
    pipetest::PipeServer server;
    std::string script;
    Lines replies, rows{"C:\\x|ann"};
    for (const Case& c : cases) {
        script += Connection({"ADD FOLDER", c.folder + "\tann"}, c.fault != nullptr ? 1 : 2);
        if (c.fault != nullptr) {
            replies.push_back("ERROR");
        } else {
            replies.insert(replies.end(), 2, "OK");
            rows.push_back(c.folder + "|ann");
        }
    }
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Replies(output) == replies);
    CHECK(Occurrences(Joined(output), "closed 0 0") == 12);
    CHECK(db.WatchRows() == rows);
    for (const Case& c : cases) {
        CAPTURE(c.folder);
        const std::string line = "Add Folder refused " + c.folder + ", which could never be scanned: ";
        CHECK(Occurrences(log.text(), line + (c.fault != nullptr ? c.fault : "")) == (c.fault != nullptr ? 1 : 0));
    }
    CHECK(Occurrences(log.text(), finishedLine) == 0);
}

TEST_CASE("folder texts with quotes, SQL, wildcards and UTF-8 are only ever values")
{
    struct Case {
        const char* command;
        std::string argument;
    };
    // Full paths, so that the folder rule lets them through to the database.
    const std::string injected = "C:\\'); drop table watchdirectories; --";
    const std::string quoted = "C:\\O'Brien \"quoted\" \\'";
    const std::string unusual = "C:\\100%_x \xc3\xa9\xe6\x97\xa5";
    const Case cases[] = {
        {"ADD FOLDER", injected + "\tann"},
        {"ADD FOLDER", quoted + "\tO'Brien"},
        {"ADD FOLDER", unusual + "\tj\xc3\xb6rg"},
        // Each would remove other rows if the text were matched as a pattern or pasted into the SQL.
        {"REMOVE FOLDER", "C:\\a%"},
        {"REMOVE FOLDER", "C:\\_b"},
        {"REMOVE FOLDER", "x' or '1'='1"},
        {"REMOVE FOLDER", "C:\\a' or directory like '%"},
        {"REMOVE FOLDER", quoted},
    };
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\a", "ann");
    db.AddWatchRow("C:\\ab", "ann");
    db.AddFileRow("C:\\a\\x.txt", 0, 1, "20240101 120000", 2, "C:\\dest\\1111");
    const auto fileRows = [&db] {
        const std::string dump = db.Dump();
        return dump.substr(dump.find("\n--\n"));
    };
    const std::string files = fileRows();
    pipetest::PipeServer server;
    std::string script;
    for (const Case& c : cases)
        script += Connection({c.command, c.argument}, std::string(c.command) == "ADD FOLDER" ? 2 : 1);
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Replies(output) == Lines(11, "OK"));
    CHECK(db.WatchRows() ==
          Lines{"C:\\a|ann", "C:\\ab|ann", injected + "|ann", unusual + "|j\xc3\xb6rg"});
    CHECK(fileRows() == files);
}

TEST_CASE("a folder text that reaches the pipe in pieces is acted on whole")
{
    test::LogCapture log;
    test::SettingsScope settings;
    pipetest::ServiceDatabase db;
    // The argument's count, its first piece, and a second later the rest.
    const auto inPieces = [](const std::string& first, const std::string& rest) {
        return "count 0 " + std::to_string(first.size() + rest.size()) + "\nraw 0 " + pipescript::Escape(first) +
               "\nsleep 1000\nraw 0 " + pipescript::Escape(rest) + "\n";
    };
    SUBCASE("REMOVE FOLDER")
    {
        db.AddWatchRow("C:\\Data", "ann");
        db.AddWatchRow("C:\\Data\\Fotos", "ann");
        pipetest::PipeServer server;
        const Lines output = RunClient("open 0\n" + Send("REMOVE FOLDER") + inPieces("C:\\Data", "\\Fotos") +
                                       "read 0\ndrain 0\nclose 0\n");
        INFO(Joined(output));
        CHECK(Replies(output) == Lines{"OK"});
        CHECK(db.WatchRows() == Lines{"C:\\Data|ann"});
    }
    SUBCASE("RESTORE FILES")
    {
        test::TempFolder store(L"store");
        test::TempFolder target(L"target");
        test::TempFolder destination(L"dest");
        settings.Set(destinationValueName, destination.path());
        REQUIRE(test::WriteFileBytes(store / L"7777", "seven"));
        db.AddFileRow("E:\\a.txt", 0, 7, "20240101 120000", 0x43000000, test::Utf8(L"\\\\?\\" + (store / L"7777")));
        REQUIRE(CreateDirectoryW((target / L"inner").c_str(), nullptr));
        pipetest::PipeServer server;
        const Lines output =
            RunClient("open 0\n" + Send("RESTORE FILES") + inPieces(test::Utf8(target.path()), "\\inner") +
                      Send("1") + Send("7") + Send(std::to_string(0x43000000)) + Send("20240101 120000") +
                      "drain 0\nclose 0\n");
        INFO(Joined(output));
        CHECK(test::ReadFileBytes(target / L"inner\\a.txt") == "seven");
        CHECK_FALSE(test::FileExists(target / L"a.txt"));
        CHECK_FALSE(test::FileExists(target.path() + L"\\innera.txt"));
    }
}

TEST_CASE("REMOVE FOLDER without its arguments record is refused; ADD FOLDER needs none")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\x", "ann");
    pipetest::PipeServer server(false);
    const Lines output =
        RunClient(Connection({"REMOVE FOLDER", "C:\\x"}, 1) + Connection({"ADD FOLDER", "C:\\y\tbob"}, 2));
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"ERROR", "OK", "OK"});
    CHECK(db.WatchRows() == Lines{"C:\\x|ann", "C:\\y|bob"});
    CHECK(Occurrences(log.text(), "ProcessPipeMessage() NULL parameter has been passed") == 1);
}

TEST_CASE("a failed statement of ADD FOLDER or REMOVE FOLDER replies ERROR and logs the database's text")
{
    struct Case {
        const char* name;
        bool dropTable;  // else another connection holds the write lock
        const char* command;
        const char* argument;
        const char* logLine;
    };
    const Case cases[] = {
        {"remove, no table", true, "REMOVE FOLDER", "C:\\x",
         "Could not update database: no such table: watchdirectories"},
        {"add, no table", true, "ADD FOLDER", "C:\\y\tbob",
         "Could not write to watch directories database: no such table: watchdirectories"},
        {"remove, locked", false, "REMOVE FOLDER", "C:\\x", "Could not update database: database is locked"},
        {"add, locked", false, "ADD FOLDER", "C:\\y\tbob",
         "Could not write to watch directories database: database is locked"},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.name));
        test::LogCapture log;
        pipetest::ServiceDatabase db;
        db.AddWatchRow("C:\\x", "ann");
        sqlite3* other = nullptr;
        if (c.dropTable) {
            REQUIRE(db.Exec("drop table watchdirectories"));
        } else {
            REQUIRE(sqlite3_open(test::Utf8(db.fileName()).c_str(), &other) == SQLITE_OK);
            REQUIRE(sqlite3_exec(other, "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK);
        }
        {
            pipetest::PipeServer server;
            const Lines output = RunClient(Connection({c.command, c.argument}, 1));
            INFO(Joined(output));
            CHECK(Replies(output) == Lines{"ERROR"});
            CHECK(HasLine(output, "closed 0 0"));
        }
        CHECK(Occurrences(log.text(), c.logLine) == 1);
        if (other != nullptr) {
            sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr);
            sqlite3_close(other);
            CHECK(db.WatchRows() == Lines{"C:\\x|ann"});
        }
    }
}

TEST_CASE("LIST FOLDERS replies the loaded list, one path per GET FOLDER slot")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\only-in-table", "ann");  // the reply is the list loaded at start, not the table
    watchDirectories = {"C:\\a", "D:\\J\xc3\xb6rg", "C:\\100%s"};
    pipetest::PipeServer server;

    // The second request is not "GET FOLDER": it uses up the second path unanswered.
    const Lines output =
        RunClient("open 0\n" + Send("LIST FOLDERS") + "read 0\n" + Send("GET FOLDER") + "read 0\n" +
                  Send("get folder") + Send("GET FOLDER") + "read 0\ndrain 0\nclose 0\n");
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"3", "C:\\a", "C:\\100%s"});
    CHECK(HasLine(output, "closed 0 0"));
    CHECK(Occurrences(log.text(), "Listing folder for client") == 1);
    CHECK(Occurrences(log.text(), finishedLine) == 1);
}

TEST_CASE("LIST FOLDERS with no folders replies 0 and reads nothing more")
{
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    pipetest::PipeServer server;
    const Lines output = RunClient(Connection({"LIST FOLDERS", "GET FOLDER"}, 1));
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"0"});
    CHECK(HasLine(output, "closed 0 0"));
}

TEST_CASE("a message that is not exactly one of the commands gets no reply")
{
    const std::string texts[] = {"GET FOLDER",    "remove folder",   "list folders", "LIST FOLDERS ",
                                 "Add Folder",    "Restore Files",   "RESTORE FILES\t", ""};
    test::LogCapture log;
    pipetest::ServiceDatabase db;
    db.AddWatchRow("C:\\x", "ann");
    watchDirectories = {"C:\\x"};
    pipetest::PipeServer server;
    std::string script;
    for (const std::string& text : texts)
        script += Connection({text, "C:\\x\tann"}, 0);
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Occurrences(Joined(output), "closed 0 0") == 8);
    CHECK(Replies(output).empty());
    CHECK(db.WatchRows() == Lines{"C:\\x|ann"});
    CHECK(Occurrences(log.text(), finishedLine) == 8);
    CHECK(Occurrences(log.text(), "Listing folder") == 0);
}

// ---------------------------------------------------------------- RESTORE FILES

namespace {

const uint64_t bigSelfId = 9223372036854775813ull;  // 2^63 + 5: stored as a negative integer
const uint64_t volume = 0x43000000;

struct RestoreScene {
    test::TempFolder store{L"store"};
    test::TempFolder target{L"target"};
    test::TempFolder destination{L"dest"};

    // A stored copy under the store folder in long-path form, as localpath holds it.
    std::string Stored(const std::string& name, const std::string& bytes)
    {
        REQUIRE(test::WriteFileBytes(store / test::Wide(name), bytes));
        return test::Utf8(L"\\\\?\\" + (store / test::Wide(name)));
    }
    std::wstring Restored(const std::wstring& relative) const { return target.path() + relative; }
};

using Entries = std::vector<std::vector<std::string>>;

// A restore with a configured destination: the log, the settings, the database and the folders.
struct RestoreSetUp {
    test::LogCapture log;
    test::SettingsScope settings;
    pipetest::ServiceDatabase db;
    RestoreScene scene;
    RestoreSetUp() { settings.Set(destinationValueName, scene.destination.path()); }

    // E:\f1.txt to E:\fN.txt, self ids 1 to N, each stored copy holding its own name;
    // the entries that name them, in order.
    Entries StoredFiles(int count, Lines* names = nullptr)
    {
        Entries entries;
        for (int i = 1; i <= count; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            db.AddFileRow("E:\\" + name, 0, i, "20240101 120000", volume, scene.Stored(name, name));
            entries.push_back({std::to_string(i), std::to_string(volume), "20240101 120000"});
            if (names != nullptr)
                names->push_back(name);
        }
        return entries;
    }
    std::string Chosen() const { return test::Utf8(scene.target.path()); }
};

std::string RestoreScript(const std::string& targetFolder, const std::string& count,
                          const std::vector<std::vector<std::string>>& entries, bool waitForClose = true)
{
    std::string script = "open 0\n" + Send("RESTORE FILES") + Send(targetFolder) + Send(count);
    for (const std::vector<std::string>& entry : entries)
        for (const std::string& message : entry)
            script += Send(message);
    return script + (waitForClose ? "drain 0\n" : "") + "close 0\n";
}

// Every file under a folder, as paths relative to it.
Lines FilesUnder(const std::wstring& folder, const std::string& prefix = "")
{
    Lines files;
    for (const std::wstring& name : test::ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            const Lines inner = FilesUnder(path, prefix + test::Utf8(name) + "\\");
            files.insert(files.end(), inner.begin(), inner.end());
        } else {
            files.push_back(prefix + test::Utf8(name));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST_CASE("RESTORE FILES copies the matching versions under the target root and never replies")
{
    test::LogCapture log;
    test::SettingsScope settings;
    pipetest::ServiceDatabase db;
    RestoreScene scene;
    settings.Set(destinationValueName, scene.destination.path());

    const std::string content("stored\0bytes\r\n\xff", 15);
    db.AddFileRow("E:\\Users\\Ann\\a.txt", FILE_ATTRIBUTE_ARCHIVE, bigSelfId, "20240101 120000", volume,
                  scene.Stored("1111", content));
    db.AddFileRow("E:\\Users\\Ann\\Empty", FILE_ATTRIBUTE_DIRECTORY, 20, "20240101 120000", volume,
                  test::Utf8(scene.store / L"never-made"));
    db.AddFileRow("E:\\gone.txt", 0, 30, "20240101 120000", volume, test::Utf8(scene.store / L"missing"));
    db.AddFileRow("E:\\Users\\Bob\\b.txt", 0, 40, "20240101 120000", volume, scene.Stored("4444", "bob"));
    // Two rows of one version: the last one wins.
    db.AddFileRow("E:\\first.txt", 0, 50, "20240101 120000", volume, scene.Stored("5551", "first"));
    db.AddFileRow("E:\\second.txt", 0, 50, "20240101 120000", volume, scene.Stored("5552", "second"));
    const std::string before = db.Dump();

    pipetest::PipeServer server;
    const std::string vol = std::to_string(volume);
    const Lines output = RunClient(RestoreScript(test::Utf8(scene.target.path()), "6",
                                                 {
                                                     {"999", vol, "20240101 120000"},  // no row
                                                     {std::to_string(bigSelfId), vol, "20240101 120000"},
                                                     {"20", vol, "20240101 120000"},
                                                     {"30", vol, "20240101 120000"},  // copy fails
                                                     {"40", vol, "20240101 120000"},
                                                     {"50", vol, "20240101 120000"},
                                                 }));
    INFO(Joined(output));
    CHECK(HasLine(output, "closed 0 0"));
    CHECK(test::ReadFileBytes(scene.Restored(L"\\Users\\Ann\\a.txt")) == content);
    CHECK((GetFileAttributesW(scene.Restored(L"\\Users\\Ann\\Empty").c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CHECK(test::ReadFileBytes(scene.Restored(L"\\Users\\Bob\\b.txt")) == "bob");
    CHECK(test::ReadFileBytes(scene.Restored(L"\\second.txt")) == "second");
    CHECK_FALSE(test::FileExists(scene.Restored(L"\\first.txt")));
    CHECK_FALSE(test::FileExists(scene.Restored(L"\\gone.txt")));
    CHECK(db.Dump() == before);

    const std::string text = log.text();
    CHECK(text.find("Self id 9223372036854775813, volume id 1124073472, modificationtime 20240101 120000\r\n") !=
          std::string::npos);
    // The entry without a row says so, and names no path.
    CHECK(Occurrences(text, "No stored version matches self id 999, volume id 1124073472, modificationtime 20240101 "
                            "120000. It is not restored.\r\n") == 1);
    CHECK(text.find("Original path is \r\n") == std::string::npos);
    CHECK(text.find("Original path is E:\\Users\\Ann\\a.txt\r\n") != std::string::npos);
    CHECK(Occurrences(text, "Self id ") == 6);
    CHECK(Occurrences(text, "Could not copy file") == 1);
    CHECK(Occurrences(text, finishedLine) == 1);
}

TEST_CASE("RESTORE FILES ends at the first entry that does not arrive, whatever count was sent")
{
    const std::string vol = std::to_string(volume);
    const std::string time = "20240101 120000";
    struct Case {
        const char* count;
        std::string after;  // what the client sends after the first entry, before it leaves
        size_t entriesHandled;
        const char* dropped;  // the count of the line that says so, if any
    };
    // A count that is no number is 0: the entry that follows is not read at all.
    const Case cases[] = {
        {"1000000000", "", 1, "999999999"},
        // A negative count reads as no count at all: the client's leaving ends the request, and nothing is missing.
        {"-1", "", 1, nullptr},
        {"3", "", 1, "2"},
        {"many", "", 0, nullptr},
        {"1", "", 1, nullptr},
        // A volume id message over the pipe's bound ends the request: it and the valid entry after it are dropped.
        {"3", Send("9") + "fill 0 40000 7\n" + Send(time) + Send("9") + Send(vol) + Send(time), 1, "2"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.count);
        CAPTURE(c.after.size());
        test::LogCapture log;
        test::SettingsScope settings;
        pipetest::ServiceDatabase db;
        RestoreScene scene;
        settings.Set(destinationValueName, scene.destination.path());
        db.AddFileRow("E:\\a.txt", 0, 7, time, volume, scene.Stored("7777", "seven"));
        db.AddFileRow("E:\\c.txt", 0, 9, time, volume, scene.Stored("9999", "nine"));
        pipetest::PipeServer server;
        // The client leaves after the first entry; the second connection waits until the first is done.
        std::string script = RestoreScript(test::Utf8(scene.target.path()), c.count, {{"7", vol, time}}, false);
        script.insert(script.rfind("close 0\n"), c.after);
        const Lines output = RunClient(script + "open 1\nclose 1\n");
        INFO(Joined(output));
        CHECK(HasLine(output, "open 1 ok"));
        const std::string text = log.text();
        CHECK(Occurrences(text, "Self id ") == c.entriesHandled);
        CHECK(test::FileExists(scene.Restored(L"\\a.txt")) == (c.entriesHandled == 1));
        CHECK_FALSE(test::FileExists(scene.Restored(L"\\c.txt")));
        const std::string droppedLine = std::string("The restore request ended before all its entries were read. ") +
                                        "Restore aborted, " + (c.dropped ? c.dropped : "") + " entries dropped.\r\n";
        CHECK(Occurrences(text, "The restore request ended before all its entries were read.") == (c.dropped ? 1u : 0u));
        const bool negative = c.count[0] == '-';
        CHECK(Occurrences(text, std::string("The restore request gave a negative count, ") + c.count +
                                    ": its entries were taken until the client stopped sending them.\r\n") ==
              (negative ? 1u : 0u));
        if (c.dropped != nullptr) {
            // Said after the entry that did come, before the request's end.
            const size_t at = text.find(droppedLine);
            REQUIRE(at != std::string::npos);
            CHECK(text.find("Original path is E:\\a.txt\r\n") < at);
            CHECK(text.find(finishedLine, at) != std::string::npos);
        }
        CHECK(server.Running());
    }
}

TEST_CASE("RESTORE FILES without a configured destination restores nothing and the server goes on")
{
    struct Case {
        const char* name;
        bool present;
    };
    const Case cases[] = {{"absent", false}, {"empty", true}};
    for (const Case& c : cases) {
        CAPTURE(std::string(c.name));
        test::LogCapture log;
        test::SettingsScope settings;
        if (c.present)
            settings.Set(destinationValueName, L"");
        pipetest::ServiceDatabase db;
        RestoreScene scene;
        db.AddFileRow("E:\\a.txt", 0, 7, "20240101 120000", volume, scene.Stored("7777", "seven"));
        pipetest::PipeServer server;
        const Lines output = RunClient(RestoreScript(test::Utf8(scene.target.path()), "1",
                                                     {{"7", std::to_string(volume), "20240101 120000"}}) +
                                       Connection({"LIST FOLDERS"}, 1));
        INFO(Joined(output));
        CHECK(Replies(output) == Lines{"0"});
        CHECK_FALSE(test::FileExists(scene.Restored(L"\\a.txt")));
        CHECK(Occurrences(log.text(), "Service not configured. Restore aborted.") == 1);
        CHECK(server.Running());
    }
}

TEST_CASE("a 32767-byte text from the pipe stays within the log line's bounds")
{
    test::LogCapture log;
    test::SettingsScope settings;
    pipetest::ServiceDatabase db;
    RestoreScene scene;
    settings.Set(destinationValueName, scene.destination.path());
    pipetest::PipeServer server;
    const std::string script = "open 0\n" + Send("RESTORE FILES") + Send(test::Utf8(scene.target.path())) +
                               Send("1") + Send("1") + Send("2") + "fill 0 32767 %\ndrain 0\nclose 0\n" +
                               Connection({"LIST FOLDERS"}, 1);
    const Lines output = RunClient(script);
    INFO(Joined(output));
    CHECK(Replies(output) == Lines{"0"});
    const std::string text = log.text();
    const size_t line = text.find("Self id 1, volume id 2, modificationtime %%%%");
    REQUIRE(line != std::string::npos);
    const size_t end = text.find("\r\n", line);
    REQUIRE(end != std::string::npos);
    CHECK(end - line <= logNarrowMessageLimit);
    const size_t noMatch = text.find("No stored version matches self id 1, volume id 2, modificationtime %%%%", end);
    REQUIRE(noMatch != std::string::npos);
    CHECK(text.find("\r\n", noMatch) - noMatch <= logNarrowMessageLimit);
    CHECK(text.find("Original path is ") == std::string::npos);
}

TEST_CASE("RESTORE FILES puts drive and share paths inside the chosen folder")
{
    RestoreSetUp restore;
    const std::string chosen = restore.Chosen();
    const std::string belowRoot = chosen.substr(3);  // the chosen folder without "C:\"
    struct Case {
        std::string folder;  // as the control centre sends it
        std::string stored;
        std::string lands;  // below the chosen folder
    };
    const Case cases[] = {
        {chosen, "E:\\a\\b.txt", "a\\b.txt"},
        {chosen + "\\", "E:\\a\\c.txt", "a\\c.txt"},
        {"C:\\", "E:\\" + belowRoot + "\\d.txt", "d.txt"},  // a drive root, as the folder browser gives it
        {chosen, "\\\\backupsrv\\bk\\docs\\s.txt", "backupsrv\\bk\\docs\\s.txt"},
        {chosen + "\\", "\\\\backupsrv\\bk\\docs\\t.txt", "backupsrv\\bk\\docs\\t.txt"},
        {"C:\\", "\\\\" + belowRoot + "\\u.txt", "u.txt"},
    };
    std::string script;
    Lines expected;
    uint64_t selfId = 100;
    for (const Case& c : cases) {
        ++selfId;
        restore.db.AddFileRow(c.stored, FILE_ATTRIBUTE_ARCHIVE, selfId, "20240101 120000", volume,
                      restore.scene.Stored(std::to_string(selfId), c.stored));
        script += RestoreScript(c.folder, "1", {{std::to_string(selfId), std::to_string(volume), "20240101 120000"}});
        expected.push_back(c.lands);
    }
    pipetest::PipeServer server;
    const Lines output = RunClient(script);
    INFO(Joined(output));
    std::sort(expected.begin(), expected.end());
    CHECK(FilesUnder(restore.scene.target.path()) == expected);
    for (const Case& c : cases)
        CHECK(test::ReadFileBytes(restore.scene.target / test::Wide(c.lands)) == c.stored);
    CHECK_FALSE(test::FileExists(restore.scene.target.path() + L"backupsrv"));
    CHECK(Occurrences(restore.log.text(), "Could not copy file") == 0);
}

TEST_CASE("RESTORE FILES weighs each stored copy against the size its row records")
{
    RestoreSetUp restore;
    struct Case {
        const char* name;
        bool exists;
        std::string stored;
        uint64_t recorded;
        bool replaced;
    };
    const Case cases[] = {
        {"cut.txt", true, "short", 30, false},
        {"cut-absent.txt", false, "short", 30, true},  // there is nothing of the user's to keep
        {"whole.txt", true, std::string(30, 'w'), 30, true},
        {"longer.txt", true, std::string(40, 'l'), 30, true},
    };
    const std::string own = "the user's own good file";
    Entries entries;
    uint64_t selfId = 200;
    for (const Case& c : cases) {
        ++selfId;
        restore.db.AddFileRow(std::string("E:\\") + c.name, FILE_ATTRIBUTE_ARCHIVE, selfId, "20240101 120000",
                              volume, restore.scene.Stored(std::to_string(selfId), c.stored), c.recorded);
        entries.push_back({std::to_string(selfId), std::to_string(volume), "20240101 120000"});
        if (c.exists)
            REQUIRE(test::WriteFileBytes(restore.scene.target / test::Wide(c.name), own));
    }
    pipetest::PipeServer server;
    const Lines output = RunClient(RestoreScript(restore.Chosen(), "4", entries));
    INFO(Joined(output));
    Lines files;
    selfId = 200;
    for (const Case& c : cases) {
        CAPTURE(c.name);
        ++selfId;
        const std::wstring file = restore.scene.target / test::Wide(c.name);
        CHECK(test::ReadFileBytes(file) == (c.replaced ? c.stored : own));
        const std::string line = "RestoreFile() The stored copy \"\\\\?\\" +
                                 test::Utf8(restore.scene.store / test::Wide(std::to_string(selfId))) + "\" for \"" +
                                 test::Utf8(MakeLongPath(file)) + "\" is damaged: it holds 5 bytes where its row " +
                                 "records 30. It replaces no existing file\r\n";
        CHECK(Occurrences(restore.log.text(), line) == (c.stored.size() < c.recorded ? 1u : 0u));
        files.push_back(c.name);
    }
    std::sort(files.begin(), files.end());
    CHECK(FilesUnder(restore.scene.target.path()) == files);
    CHECK(Occurrences(restore.log.text(), " is damaged: ") == 2);
}

TEST_CASE("a request larger than the most held at once is restored whole, part by part")
{
    struct Case {
        const char* count;
        bool clientWaits;  // else it leaves at once, before the server is done
    };
    const Case cases[] = {{"4", true}, {"-1", false}};
    for (const Case& c : cases) {
        CAPTURE(c.count);
        RestoreSetUp restore;
        Lines names;
        const Entries entries = restore.StoredFiles(4, &names);
        const size_t saved = restoreBatchBytes;
        restoreBatchBytes = 1;  // one entry per part
        pipetest::PipeServer server;
        // The second connection is served once the first is done.
        const Lines output =
            RunClient(RestoreScript(restore.Chosen(), c.count, entries, c.clientWaits) + "open 1\nclose 1\n");
        restoreBatchBytes = saved;
        INFO(Joined(output));
        CHECK(HasLine(output, "open 1 ok"));
        CHECK(FilesUnder(restore.scene.target.path()) == names);
        CHECK(Occurrences(restore.log.text(), "Self id ") == 4);
    }
}

namespace {
int copiesMade = 0;
int stopAtCopy = 0;

// A copy that sets the stop byte once it has made the given number of copies.
BOOL WINAPI CopyThenStop(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context, LPBOOL cancel,
                         DWORD flags)
{
    const BOOL copied = CopyFileExW(source, target, progress, context, cancel, flags);
    if (++copiesMade == stopAtCopy)
        *serviceStopFlag = 1;
    return copied;
}
}  // namespace

TEST_CASE("a stop during RESTORE FILES ends it before the next entry and counts the entries dropped")
{
    RestoreSetUp restore;
    const Entries entries = restore.StoredFiles(5);
    copiesMade = 0;
    stopAtCopy = 2;
    copyFileFunction = CopyThenStop;
    pipetest::PipeServer server;
    const Lines output = RunClient(RestoreScript(restore.Chosen(), "5", entries));
    copyFileFunction = CopyFileExW;
    INFO(Joined(output));
    CHECK(FilesUnder(restore.scene.target.path()) == Lines{"f1.txt", "f2.txt"});
    CHECK(Occurrences(restore.log.text(), "Self id ") == 2);
    CHECK(Occurrences(restore.log.text(), "Stop requested. Restore aborted, 3 entries dropped.\r\n") == 1);
    CHECK(test::WaitFor(5000, [&server] { return !server.Running(); }));
}

namespace {
HANDLE copyGate = nullptr;

// A copy that waits until the test opens the gate, as a copy of a large file does.
BOOL WINAPI GatedCopy(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context, LPBOOL cancel,
                      DWORD flags)
{
    WaitForSingleObject(copyGate, 60000);
    return CopyFileExW(source, target, progress, context, cancel, flags);
}
}  // namespace

TEST_CASE("RESTORE FILES takes the whole request off the pipe before it copies, so the client never waits for a copy")
{
    RestoreSetUp restore;
    Entries stored = restore.StoredFiles(2);
    // About 120 KB of entries, twice what the pipe's 64 KB buffer holds: the
    // first and the last name stored versions, the others no row at all.
    const int entryCount = 3000;
    Entries entries(entryCount, {"999", std::to_string(volume), "20240101 120000"});
    entries.front() = stored[0];
    entries.back() = stored[1];
    std::string script = RestoreScript(restore.Chosen(), std::to_string(entryCount), entries);
    script.insert(script.rfind("drain 0\n"), "mark written\n");

    copyGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    REQUIRE(copyGate != nullptr);
    copyFileFunction = GatedCopy;
    pipetest::PipeServer server;
    const DWORD start = GetTickCount();
    pipetest::Client client(script);
    // No copy can end before the gate opens, so the writes must end without one.
    const bool written = test::WaitFor(30000, [&client] { return HasLine(client.Output(), "mark written"); });
    const DWORD writeMilliseconds = GetTickCount() - start;
    SetEvent(copyGate);
    const Lines output = client.Finish();
    copyFileFunction = CopyFileExW;
    CloseHandle(copyGate);
    INFO(Joined(output));
    CAPTURE(writeMilliseconds);
    CHECK(written);
    CHECK(HasLine(output, "closed 0 0"));
    CHECK(FilesUnder(restore.scene.target.path()) == Lines{"f1.txt", "f2.txt"});
    CHECK(Occurrences(restore.log.text(), "Self id ") == static_cast<size_t>(entryCount));
}

TEST_CASE("RESTORE FILES restores the stored copy an entry names; the older form restores the last matching row")
{
    RestoreSetUp restore;
    const std::string vol = std::to_string(volume);
    const std::string time = "20240101 120000";
    // Two versions of kb.bin that share a time (content changed, time set back),
    // and axb.txt renamed between two passes (a move keeps the time).
    const std::string kbFirst = restore.scene.Stored("kb1", std::string(1536, 'a'));
    const std::string kbSecond = restore.scene.Stored("kb2", std::string(2048, 'b'));
    const std::string axbOld = restore.scene.Stored("axb1", "axb");
    const std::string axbRenamed = restore.scene.Stored("axb2", "axb renamed");
    restore.db.AddFileRow("E:\\kb.bin", 0, 60, time, volume, kbFirst);
    restore.db.AddFileRow("E:\\kb.bin", 0, 60, time, volume, kbSecond);
    restore.db.AddFileRow("E:\\axb.txt", 0, 61, time, volume, axbOld);
    restore.db.AddFileRow("E:\\axb-renamed.txt", 0, 61, time, volume, axbRenamed);
    // A row whose path names nothing to restore to.
    restore.db.AddFileRow("E", 0, 62, time, volume, restore.scene.Stored("short", "no path"));
    const std::string pruned = restore.scene.Stored("gone", "pruned") + "x";
    const std::string before = restore.db.Dump();

    struct Case {
        std::string selfId;
        std::string volumeMessage;
        Lines files;          // what lands in the case's folder
        std::string content;  // of its one file
        std::string notRestored;  // the line that says why nothing lands
    };
    const std::string none = ". It is not restored.";
    const Case cases[] = {
        {"60", vol + "\t" + kbFirst, {"kb.bin"}, std::string(1536, 'a'), ""},
        {"60", vol + "\t" + kbSecond, {"kb.bin"}, std::string(2048, 'b'), ""},
        {"60", vol, {"kb.bin"}, std::string(2048, 'b'), ""},  // the older form, as before
        {"61", vol + "\t" + axbOld, {"axb.txt"}, "axb", ""},
        {"61", vol, {"axb-renamed.txt"}, "axb renamed", ""},
        {"61", vol + "\t", {"axb-renamed.txt"}, "axb renamed", ""},  // no copy named after the tab
        // No such row any more.
        {"61", vol + "\t" + pruned, {}, "", "No stored version matches self id 61, volume id " + vol +
                                                ", modificationtime " + time + ", stored copy " + pruned + none},
        // A copy of another file.
        {"60", vol + "\t" + axbOld, {}, "", "No stored version matches self id 60, volume id " + vol +
                                                ", modificationtime " + time + ", stored copy " + axbOld + none},
        // A second tab: the copy named is all that follows the first.
        {"61", vol + "\t" + axbOld + "\t", {}, "", "No stored version matches self id 61, volume id " + vol +
                                                       ", modificationtime " + time + ", stored copy " + axbOld +
                                                       "\t" + none},
        {"999", vol, {}, "", "No stored version matches self id 999, volume id " + vol + ", modificationtime " +
                                 time + none},
        {"62", vol, {}, "", "The stored version of self id 62, volume id " + vol + ", modificationtime " + time +
                                " has no path to restore to" + none},
    };
    std::string script;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        script += RestoreScript(restore.Chosen() + "\\case" + std::to_string(i), "1",
                                {{cases[i].selfId, cases[i].volumeMessage, time}});
    pipetest::PipeServer server;
    const Lines output = RunClient(script);
    INFO(Joined(output));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CAPTURE(i);
        const std::wstring folder = restore.scene.target / (L"case" + test::Wide(std::to_string(i)));
        CHECK(FilesUnder(folder) == cases[i].files);
        if (!cases[i].files.empty())
            CHECK(test::ReadFileBytes(folder + L"\\" + test::Wide(cases[i].files[0])) == cases[i].content);
    }
    CHECK(restore.db.Dump() == before);
    const std::string text = restore.log.text();
    CHECK(Occurrences(text, "Stored copy named is " + kbFirst + "\r\n") == 1);
    size_t found = 0;
    for (const Case& c : cases) {
        CAPTURE(c.notRestored);
        found += c.files.size();
        if (!c.notRestored.empty())
            CHECK(Occurrences(text, c.notRestored + "\r\n") == 1);
    }
    // A path line for each entry that found its row ("E" among them), for no other.
    CHECK(Occurrences(text, "Original path is ") == found + 1);
    CHECK(Occurrences(text, "Original path is E\r\n") == 1);
    CHECK(Occurrences(text, " It is not restored.") == 5);
}

namespace {

// The "Original path is " lines of a log, in order.
Lines OriginalPaths(const std::string& text)
{
    const std::string prefix = "Original path is ";
    Lines paths;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        const size_t start = at + prefix.size();
        paths.push_back(text.substr(start, text.find("\r\n", start) - start));
    }
    return paths;
}

}  // namespace

TEST_CASE("among many rows of other files, each form of an entry restores the version it always did")
{
    RestoreSetUp restore;
    const std::string vol = std::to_string(volume);
    const std::string time = "20240101 120000";
    // Rows of other files, and rows that share all but one piece of a key.
    const auto others = [&restore, &time](int from) {
        for (int i = from; i < from + 300; ++i)
            restore.db.AddFileRow("E:\\other\\o" + std::to_string(i) + ".txt", 0, 1000 + i, time, volume,
                                  "\\\\?\\C:\\nowhere\\" + std::to_string(i));
    };
    const std::string first = restore.scene.Stored("c1", "first");
    const std::string second = restore.scene.Stored("c2", "second");
    const std::string third = restore.scene.Stored("c3", "third");
    REQUIRE(restore.db.Exec("begin"));
    others(0);
    restore.db.AddFileRow("E:\\v\\first.txt", 0, 70, time, volume, first);
    restore.db.AddFileRow("E:\\v\\big.txt", 0, bigSelfId, time, volume, restore.scene.Stored("big", "big"));
    restore.db.AddFileRow("E:\\v\\other-volume.txt", 0, 70, time, volume + 1, restore.scene.Stored("n1", "n1"));
    others(300);
    restore.db.AddFileRow("E:\\v\\second.txt", 0, 70, time, volume, second);
    // A second row of the same stored copy: the later one wins, as it always did.
    restore.db.AddFileRow("E:\\v\\second-again.txt", 0, 70, time, volume, second);
    others(600);
    restore.db.AddFileRow("E:\\v\\third.txt", 0, 70, time, volume, third);
    restore.db.AddFileRow("E:\\v\\other-time.txt", 0, 70, "20240101 120001", volume, restore.scene.Stored("n2", "n2"));
    restore.db.AddFileRow("E:\\v\\other-self.txt", 0, 71, time, volume, first);
    others(900);
    REQUIRE(restore.db.Exec("commit"));

    const Entries entries = {
        {"70", vol, time},                // the older form: the last matching row
        {"70", vol + "\t" + first, time},  // the exact form: the row of that copy
        {"70", vol + "\t" + second, time},
        {"70", vol + "\t" + third, time},
        {std::to_string(bigSelfId), vol, time},
        {"71", vol + "\t" + second, time},  // another file's copy: nothing
    };
    pipetest::PipeServer server;
    const Lines output = RunClient(RestoreScript(restore.Chosen(), std::to_string(entries.size()), entries));
    INFO(Joined(output));
    CHECK(OriginalPaths(restore.log.text()) == Lines{"E:\\v\\third.txt", "E:\\v\\first.txt",
                                                     "E:\\v\\second-again.txt", "E:\\v\\third.txt",
                                                     "E:\\v\\big.txt"});
    CHECK(FilesUnder(restore.scene.target.path()) ==
          Lines{"v\\big.txt", "v\\first.txt", "v\\second-again.txt", "v\\third.txt"});
    CHECK(test::ReadFileBytes(restore.scene.Restored(L"\\v\\first.txt")) == "first");
    CHECK(test::ReadFileBytes(restore.scene.Restored(L"\\v\\second-again.txt")) == "second");
    CHECK(Occurrences(restore.log.text(), "No stored version matches self id 71, ") == 1);
}

namespace {
std::string rowsChange;  // statements run once, at the first copy of a restore
int rowsChangeResult = SQLITE_OK;

BOOL WINAPI CopyAfterRowsChange(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context,
                                LPBOOL cancel, DWORD flags)
{
    if (!rowsChange.empty()) {
        rowsChangeResult = sqlite3_exec(databaseConnection, rowsChange.c_str(), nullptr, nullptr, nullptr);
        rowsChange.clear();
    }
    return CopyFileExW(source, target, progress, context, cancel, flags);
}

sqlite3_int64 RowIdOf(uint64_t selfId)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(databaseConnection, "select rowid from filelist where self_id = ?1", -1, &statement, nullptr);
    sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(selfId));
    const sqlite3_int64 rowId = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return rowId;
}
}  // namespace

TEST_CASE("rows stored or pruned while a batch restores: none stored later is taken, none pruned is restored")
{
    RestoreSetUp restore;
    const std::string vol = std::to_string(volume);
    const std::string time = "20240101 120000";
    const std::string firstCopy = restore.scene.Stored("c80", "eighty");
    const std::string olderCopy = restore.scene.Stored("c83a", "older");
    const std::string prunedCopy = restore.scene.Stored("c83b", "pruned");
    const std::string lastCopy = restore.scene.Stored("c84", "last");
    restore.db.AddFileRow("E:\\c\\f80.txt", 0, 80, time, volume, firstCopy);
    restore.db.AddFileRow("E:\\c\\k81.txt", 0, 81, time, volume, restore.scene.Stored("c81", "81"));
    restore.db.AddFileRow("E:\\c\\k82.txt", 0, 82, time, volume, restore.scene.Stored("c82", "82"));
    restore.db.AddFileRow("E:\\c\\k83-older.txt", 0, 83, time, volume, olderCopy);
    restore.db.AddFileRow("E:\\c\\k83.txt", 0, 83, time, volume, prunedCopy);
    restore.db.AddFileRow("E:\\c\\k84.txt", 0, 84, time, volume, lastCopy);  // the table's last row
    const sqlite3_int64 lastRow = RowIdOf(84);
    // At the first copy, as a pass and its pruning would: k84's row goes and another
    // file's row takes its row id; a later version of k81 is stored; k82 is
    // pruned, and the later of k83's two versions.
    const auto row = [&vol, &time](const std::string& path, int selfId, const std::string& copy) {
        return "insert into filelist values('" + path + "', ' ', 0, 7, " + std::to_string(selfId) + ", '" + time +
               "', 0, " + vol + ", '" + copy + "');";
    };
    rowsChange = "delete from filelist where self_id = 84;" +
                 row("E:\\c\\other.txt", 90, restore.scene.Stored("c90", "other")) +
                 row("E:\\c\\k81-later.txt", 81, restore.scene.Stored("c81later", "later")) +
                 "delete from filelist where self_id = 82; delete from filelist where localpath = '" + prunedCopy +
                 "';";
    rowsChangeResult = SQLITE_OK;
    copyFileFunction = CopyAfterRowsChange;
    pipetest::PipeServer server;
    const Lines output = RunClient(RestoreScript(restore.Chosen(), "5",
                                                 {{"80", vol + "\t" + firstCopy, time},
                                                  {"81", vol, time},
                                                  {"82", vol, time},
                                                  {"83", vol, time},
                                                  {"84", vol + "\t" + lastCopy, time}}));
    copyFileFunction = CopyFileExW;
    INFO(Joined(output));
    CHECK(rowsChange.empty());
    CHECK(rowsChangeResult == SQLITE_OK);
    CHECK(RowIdOf(90) == lastRow);
    CHECK(FilesUnder(restore.scene.target.path()) == Lines{"c\\f80.txt", "c\\k81.txt", "c\\k83-older.txt"});
    CHECK(test::ReadFileBytes(restore.scene.Restored(L"\\c\\k83-older.txt")) == "older");
    const std::string text = restore.log.text();
    CHECK(OriginalPaths(text) == Lines{"E:\\c\\f80.txt", "E:\\c\\k81.txt", "E:\\c\\k83-older.txt"});
    CHECK(Occurrences(text, "No stored version matches self id 82, volume id " + vol + ", modificationtime " + time +
                                ". It is not restored.\r\n") == 1);
    CHECK(Occurrences(text, "No stored version matches self id 84, volume id " + vol + ", modificationtime " + time +
                                ", stored copy " + lastCopy + ". It is not restored.\r\n") == 1);
}

namespace {
int progressCalls = 0;
std::string interruptedStatement;

// Interrupts the statement under way at the first call, as a failed read would end it.
int InterruptFirstStatement(void*)
{
    if (progressCalls++ > 0)
        return 0;
    for (sqlite3_stmt* statement = sqlite3_next_stmt(databaseConnection, nullptr); statement != nullptr;
         statement = sqlite3_next_stmt(databaseConnection, statement))
        if (sqlite3_stmt_busy(statement))
            interruptedStatement = sqlite3_sql(statement);
    return 1;
}
}  // namespace

TEST_CASE("a table that cannot be read for a batch is read for each entry, and a lookup that fails says so")
{
    RestoreSetUp restore;
    const Entries entries = restore.StoredFiles(2);
    const std::string vol = std::to_string(volume);
    SUBCASE("the batch's read fails once: each entry is looked up on its own and restored")
    {
        progressCalls = 0;
        interruptedStatement.clear();
        sqlite3_progress_handler(databaseConnection, 1, InterruptFirstStatement, nullptr);
        pipetest::PipeServer server;
        const Lines output = RunClient(RestoreScript(restore.Chosen(), "2", entries));
        sqlite3_progress_handler(databaseConnection, 0, nullptr, nullptr);
        INFO(Joined(output));
        CHECK(interruptedStatement == "select rowid, self_id, volume_id, modificationtime, localpath from filelist");
        CHECK(FilesUnder(restore.scene.target.path()) == Lines{"f1.txt", "f2.txt"});
        CHECK(Occurrences(restore.log.text(), "Could not look up") == 0);
    }
    SUBCASE("another connection holds the table throughout: each entry says it was not looked up")
    {
        sqlite3* other = nullptr;
        REQUIRE(sqlite3_open(test::Utf8(restore.db.fileName()).c_str(), &other) == SQLITE_OK);
        REQUIRE(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK);
        {
            pipetest::PipeServer server;
            const Lines output = RunClient(RestoreScript(restore.Chosen(), "2", entries));
            INFO(Joined(output));
        }
        sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        CHECK(FilesUnder(restore.scene.target.path()).empty());
        for (int i = 1; i <= 2; ++i)
            CHECK(Occurrences(restore.log.text(), "Could not look up the stored version of self id " +
                                                      std::to_string(i) + ", volume id " + vol +
                                                      ", modificationtime 20240101 120000: database is locked. It "
                                                      "is not restored.\r\n") == 1);
        CHECK(Occurrences(restore.log.text(), "Original path is ") == 0);
    }
}

TEST_CASE("a stop while a request is being taken off the pipe drops it at once")
{
    RestoreSetUp restore;
    const Entries stored = restore.StoredFiles(1);
    // The whole request waits in the pipe, as from a client that writes faster
    // than the service reads: no read ever has to wait for the stop to be seen.
    const int entryCount = 2000;
    std::string request;
    const auto message = [&request](const std::string& text) {
        request += pipetest::CountBytes(static_cast<uint32_t>(text.size())) + text;
    };
    message("RESTORE FILES");
    message(restore.Chosen());
    message(std::to_string(entryCount));
    for (int i = 0; i < entryCount; ++i)
        for (const std::string& text : stored[0])
            message(text);
    pipetest::PipePair pair(static_cast<DWORD>(request.size() + 4096));
    REQUIRE(pair.ClientWrite(request));

    volatile uint8_t stop = 1;
    serviceStopFlag = &stop;
    ProcessPipeMessage(nullptr, pair.server, &pair.overlapped);
    serviceStopFlag = nullptr;

    DWORD unread = 0;
    REQUIRE(PeekNamedPipe(pair.server, nullptr, 0, nullptr, &unread, nullptr));
    CHECK(unread > request.size() / 2);  // the entries were never read
    const std::string text = restore.log.text();
    CHECK(Occurrences(text, "Stop requested. Restore aborted, 0 entries dropped.\r\n") == 1);
    CHECK(Occurrences(text, "Self id ") == 0);
    CHECK(FilesUnder(restore.scene.target.path()).empty());
}
