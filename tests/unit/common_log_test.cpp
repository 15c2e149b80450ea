// The log writer with the service's values. Kept first in this program: the
// first test runs before anything opened the writer in this process.
#include <doctest/doctest.h>

#include "common_log_checks.h"
#include "folders.h"
#include "log.h"
#include "test_support.h"

#include <algorithm>

using logcheck::Messages;

TEST_CASE("log calls before the file is opened do nothing")
{
    test::MachineFolders folders;
    LogMessageW(L"early %s", L"wide");
    LogMessageA("early %s", "narrow");
    CHECK(test::ListFolder(folders.logs()).empty());
    {
        logcheck::OpenWriter writer;
        LogMessageA("while open");
    }
    // Back in the no-file state: nothing more reaches the closed file.
    LogMessageA("after");
    CHECK(Messages(test::ReadFileBytes(logcheck::FirstFile())) == std::vector<std::string>{"while open"});
}

TEST_CASE("the service's writer uses its fixed base name and keeps 200001 entries in its first file")
{
    // The rotation itself is shared by both programs and exercised with the
    // control centre's smaller threshold.
    CHECK(std::wstring(logWriterConfig.baseName) == L"VarnBackupService");
    CHECK(logWriterConfig.rotateAfter == 200000);

    test::MachineFolders folders;
    logcheck::OpenWriter writer(L"VarnBackupLog");  // the argument has no effect
    CHECK(test::ListFolder(folders.logs()) == std::vector<std::wstring>{L"VarnBackupService.0.txt"});
    CHECK(logcheck::FirstFile() == L"C:\\ProgramData\\Varnoke\\VarnBack\\Logs\\VarnBackupService.0.txt");
    // Byte-order mark and version line only; the version line is no entry.
    CHECK(test::ReadFileBytes(logcheck::FirstFile()) == logcheck::byteOrderMark + logcheck::VersionLine());
    CHECK_FALSE(test::FileExists(folders.logs() + L"temp"));
}

TEST_CASE("an entry is the UTC time, a blank, the message as formatted, CR LF")
{
    // The test runs with a time zone five hours behind UTC: local time would show.
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    WARN_MESSAGE(utc.wHour != local.wHour, "local time equals UTC here: the UTC check is weaker");

    test::LogCapture log;
    const std::string before = logcheck::UtcNow();
    LogMessageW(L"wide %s %S %d %I64u %I64X", L"\u00e9\U0001F600", "narrow", -3, 18446744073709551615ull,
                0xDEADBEEFCAFEull);
    LogMessageA("narrow %s %S %I64u", "\xFF\xFE\xC3\xA9", L"wide", 5ull);  // bytes unchanged
    LogMessageA("%s", "100% %s %d");                                       // an argument's percent signs stay
    LogMessageW(L"%s", L"50% %S %n");
    LogMessageW(L"");
    LogMessageA("line\n");
    LogMessageA("two\r\nlines");
    const std::string after = logcheck::UtcNow();

    const std::string expected[] = {
        "wide \xC3\xA9\xF0\x9F\x98\x80 narrow -3 18446744073709551615 DEADBEEFCAFE",
        "narrow \xFF\xFE\xC3\xA9 wide 5",
        "100% %s %d",
        "50% %S %n",
        "",
        "line\n",  // leaves LF CR LF
        "two\r\nlines",
    };
    const std::string file = log.text();
    const std::string head = logcheck::byteOrderMark + logcheck::VersionLine();
    REQUIRE(file.compare(0, head.size(), head) == 0);
    size_t at = head.size();
    for (const std::string& message : expected) {
        CAPTURE(message);
        REQUIRE(logcheck::IsTimePrefix(file, at));
        const std::string time = file.substr(at, 21);
        CHECK(before <= time);
        CHECK(time <= after);
        CHECK(file.compare(at + 22, message.size() + 2, message + "\r\n") == 0);
        at += 22 + message.size() + 2;
    }
    CHECK(at == file.size());
}

TEST_CASE("a narrow message 25 bytes short of 32768 fits, a longer one is cut and ends its line")
{
    const size_t limit = 32768 - 25;
    REQUIRE(logNarrowMessageLimit == limit);
    const size_t lengths[] = {limit - 1, limit, limit + 1, 40000, 100000};
    test::LogCapture log;
    std::vector<std::string> expected;
    for (size_t length : lengths) {
        const std::string message(length, static_cast<char>('a' + expected.size()));
        LogMessageA("%s", message.c_str());
        expected.push_back(message.substr(0, limit));
    }
    // Values that only together pass the limit.
    const std::string half(20000, 'h');
    LogMessageA("%s|%s", half.c_str(), half.c_str());
    expected.push_back((half + "|" + half).substr(0, limit));
    // The wide writer has no such limit.
    const std::wstring wide(50000, L'w');
    LogMessageW(L"%s", wide.c_str());
    expected.push_back(std::string(50000, 'w'));
    LogMessageA("last");
    expected.push_back("last");
    CHECK(Messages(log.text()) == expected);
}

TEST_CASE("a long narrow message is cut between UTF-8 characters; a wide one is written whole")
{
    test::LogCapture log;
    std::vector<std::string> names, expected;
    for (const test::CutCase& c : test::Utf8CutCases(logNarrowMessageLimit)) {
        LogMessageA("%s", c.text.c_str());
        names.push_back(c.name);
        expected.push_back(c.text.substr(0, c.kept));
    }
    // A restore request's entry with a time text of 16383 characters of two bytes;
    // the 42 bytes before it put the limit inside one.
    std::string times;
    for (int i = 0; i < 16383; ++i)
        times += "\xC3\xA9";
    LogMessageA("Self id %I64u, volume id %I64u, modificationtime %s", 70ull, 8ull, times.c_str());
    const std::string restore = "Self id 70, volume id 8, modificationtime ";
    names.push_back("restore entry");
    expected.push_back(restore + times.substr(0, (logNarrowMessageLimit - restore.size()) / 2 * 2));
    // Wide text, surrogate pairs included, is converted whole: nothing cuts it.
    std::wstring wide;
    for (int i = 0; i < 12000; ++i)
        wide += L"\u00e9\U0001F600";
    LogMessageW(L"%s", wide.c_str());
    names.push_back("wide");
    expected.push_back(test::Utf8(wide));
    const std::vector<std::string> messages = Messages(log.text());
    REQUIRE(messages.size() == expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        CAPTURE(names[i]);
        CHECK(messages[i].size() == expected[i].size());
        CHECK((messages[i] == expected[i]));  // not decomposed: the texts are long
    }
}

TEST_CASE("opening the writer again empties the first file")
{
    test::MachineFolders folders;
    {
        logcheck::OpenWriter writer;
        LogMessageA("first run");
    }
    REQUIRE(Messages(test::ReadFileBytes(logcheck::FirstFile())) == std::vector<std::string>{"first run"});
    logcheck::OpenWriter writer;
    CHECK(test::ReadFileBytes(logcheck::FirstFile()) == logcheck::byteOrderMark + logcheck::VersionLine());
    LogMessageW(L"second run");
    CHECK(Messages(test::ReadFileBytes(logcheck::FirstFile())) == std::vector<std::string>{"second run"});
}

TEST_CASE("when the first file cannot be created the writer falls back to Logstemp")
{
    test::MachineFolders folders;
    const std::wstring logsTemp = folders.logs() + L"temp";
    const std::wstring expected = L"C:\\ProgramData\\Varnoke\\VarnBack\\Logstemp\\VarnBackupService.1.txt";
    REQUIRE(logcheck::TempFile(1) == expected);

    SUBCASE("the first file is held by another process")
    {
        test::RemoveTree(logsTemp);
        logcheck::HeldFile held(logcheck::FirstFile());
        logcheck::OpenWriter writer;
        LogMessageA("fallback");
        // The Logstemp folder is made when missing.
        CHECK(test::ListFolder(logsTemp) == std::vector<std::wstring>{L"VarnBackupService.1.txt"});
        CHECK(Messages(test::ReadFileBytes(expected)) == std::vector<std::string>{"fallback"});
    }
    SUBCASE("the next fallback names are tried in turn")
    {
        CreateDirectoryW(logsTemp.c_str(), nullptr);
        logcheck::HeldFile first(logcheck::FirstFile());
        logcheck::HeldFile second(logcheck::TempFile(1));
        logcheck::HeldFile third(logcheck::TempFile(2));
        logcheck::OpenWriter writer;
        LogMessageA("fallback");
        CHECK(Messages(test::ReadFileBytes(logcheck::TempFile(3))) == std::vector<std::string>{"fallback"});
    }
    SUBCASE("the Logs folder is missing")
    {
        test::RemoveTree(folders.logs());
        test::RemoveTree(logsTemp);
        logcheck::OpenWriter writer;
        LogMessageA("fallback");
        CHECK_FALSE(test::FileExists(folders.logs()));
        CHECK(Messages(test::ReadFileBytes(expected)) == std::vector<std::string>{"fallback"});
    }
}

TEST_CASE("when no log file can be made the writer gives up and the program goes on")
{
    test::MachineFolders folders;
    // Files in place of the two folders: no name of either can be created.
    test::RemoveTree(folders.logs());
    REQUIRE(test::WriteFileBytes(folders.logs(), ""));
    REQUIRE(test::WriteFileBytes(folders.logs() + L"temp", ""));

    logcheck::OpenWriter writer;
    LogMessageW(L"lost %s", L"wide");
    LogMessageA("lost %s", "narrow");
    const std::wstring machineFolder = folders.logs().substr(0, folders.logs().size() - 5);
    std::vector<std::wstring> names = test::ListFolder(machineFolder);
    std::sort(names.begin(), names.end());
    CHECK(names == std::vector<std::wstring>{L"Data", L"Logs", L"Logstemp"});
    CHECK(test::ReadFileBytes(folders.logs()).empty());
    CHECK(test::ReadFileBytes(folders.logs() + L"temp").empty());
}
