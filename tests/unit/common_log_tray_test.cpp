// The log writer with the control centre's values: a file is replaced after
// 2001 entries, so rotation can be watched cheaply. The service shares the
// rotation and differs only in its values.
#include <doctest/doctest.h>

#include "common_log_checks.h"
#include "folders.h"
#include "log.h"
#include "test_support.h"

#include <set>
#include <utility>

using logcheck::Messages;
using logcheck::Numbered;

TEST_CASE("the control centre's writer rotates after 2001 entries into Logstemp")
{
    CHECK(std::wstring(logWriterConfig.baseName) == L"VarnBackupGUILog.txt");
    CHECK(logWriterConfig.rotateAfter == 2000);

    test::MachineFolders folders;
    logcheck::OpenWriter writer;
    const std::wstring first = L"C:\\ProgramData\\Varnoke\\VarnBack\\Logs\\VarnBackupGUILog.txt.0.txt";
    const std::wstring rotated = L"C:\\ProgramData\\Varnoke\\VarnBack\\Logstemp\\VarnBackupGUILog.txt.0.txt";
    REQUIRE(logcheck::FirstFile() == first);

    logcheck::LogNumbered(1, 2000);
    CHECK_FALSE(test::FileExists(folders.logs() + L"temp"));
    // The 2001st entry still goes to the first file; then the rotated file
    // starts with its own mark and version line, and the 2002nd entry goes there.
    logcheck::LogNumbered(2001, 2001);
    CHECK(Messages(test::ReadFileBytes(first)) == Numbered(1, 2001));
    CHECK(test::ReadFileBytes(rotated) == logcheck::byteOrderMark + logcheck::VersionLine());
    logcheck::LogNumbered(2002, 2003);
    CHECK(Messages(test::ReadFileBytes(rotated)) == Numbered(2002, 2003));
    CHECK(Messages(test::ReadFileBytes(first)) == Numbered(1, 2001));

    // A second rotation starts the same name again: it holds only the entries since.
    logcheck::LogNumbered(2004, 4005);
    CHECK(Messages(test::ReadFileBytes(rotated)) == Numbered(4003, 4005));
    CHECK(Messages(test::ReadFileBytes(first)) == Numbered(1, 2001));
    CHECK(test::ListFolder(folders.logs()) == std::vector<std::wstring>{L"VarnBackupGUILog.txt.0.txt"});
    CHECK(test::ListFolder(folders.logs() + L"temp") == std::vector<std::wstring>{L"VarnBackupGUILog.txt.0.txt"});
}

TEST_CASE("a rotation whose file cannot be created moves on to the next number")
{
    test::MachineFolders folders;
    CreateDirectoryW((folders.logs() + L"temp").c_str(), nullptr);
    logcheck::HeldFile held(logcheck::TempFile(0));
    logcheck::OpenWriter writer;
    logcheck::LogNumbered(1, 2003);
    CHECK(Messages(test::ReadFileBytes(logcheck::FirstFile())) == Numbered(1, 2001));
    CHECK(Messages(test::ReadFileBytes(logcheck::TempFile(1))) == Numbered(2002, 2003));
}

TEST_CASE("after a fallback at opening, the first rotation starts that same file afresh")
{
    test::MachineFolders folders;
    logcheck::HeldFile held(logcheck::FirstFile());
    logcheck::OpenWriter writer;
    logcheck::LogNumbered(1, 2000);
    CHECK(Messages(test::ReadFileBytes(logcheck::TempFile(1))) == Numbered(1, 2000));
    logcheck::LogNumbered(2001, 2002);
    CHECK(Messages(test::ReadFileBytes(logcheck::TempFile(1))) == Numbered(2002, 2002));
}

TEST_CASE("a rotation that can make no file leaves the writer quiet")
{
    test::MachineFolders folders;
    logcheck::OpenWriter writer;
    // A file in place of the Logstemp folder: no rotation name can be created.
    REQUIRE(test::WriteFileBytes(folders.logs() + L"temp", ""));
    logcheck::LogNumbered(1, 2001);
    // The rotation gave up after the 2001st entry; later calls return at once.
    logcheck::LogNumbered(2002, 2100);
    LogMessageW(L"quiet");
    CHECK(Messages(test::ReadFileBytes(logcheck::FirstFile())) == Numbered(1, 2001));
    CHECK(test::ReadFileBytes(folders.logs() + L"temp").empty());
    CHECK(test::ListFolder(folders.logs()) == std::vector<std::wstring>{L"VarnBackupGUILog.txt.0.txt"});
}

namespace {

const int loggingThreads = 4;
const int entriesPerThread = 1500;
const size_t paddingSize = 1000;

DWORD WINAPI LogFromThread(void* parameter)
{
    const int thread = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    const std::string padding(paddingSize, static_cast<char>('a' + thread));
    for (int i = 0; i < entriesPerThread; ++i) {
        if (i % 2)
            LogMessageA("thread %d entry %d %s", thread, i, padding.c_str());
        else
            LogMessageW(L"thread %d entry %d %S", thread, i, padding.c_str());
    }
    return 0;
}

// Checks that every entry is whole and seen once, and each thread's entries
// keep their order.
void CheckWhole(const std::vector<std::string>& messages, std::set<std::pair<int, int>>& seen)
{
    int lastOf[loggingThreads] = {-1, -1, -1, -1};
    for (const std::string& message : messages) {
        int thread = -1, entry = -1, used = 0;
        REQUIRE(sscanf(message.c_str(), "thread %d entry %d %n", &thread, &entry, &used) == 2);
        REQUIRE(thread >= 0);
        REQUIRE(thread < loggingThreads);
        CHECK(message.substr(used) == std::string(paddingSize, static_cast<char>('a' + thread)));
        CHECK(entry > lastOf[thread]);
        lastOf[thread] = entry;
        CHECK(seen.insert(std::make_pair(thread, entry)).second);
    }
}

}  // namespace

TEST_CASE("entries of several threads never interleave, also across rotations")
{
    test::MachineFolders folders;
    logcheck::OpenWriter writer;
    HANDLE threads[loggingThreads];
    for (int t = 0; t < loggingThreads; ++t) {
        threads[t] = CreateThread(nullptr, 0, LogFromThread, reinterpret_cast<void*>(static_cast<INT_PTR>(t)), 0,
                                  nullptr);
        REQUIRE(threads[t] != nullptr);
    }
    const DWORD waited = WaitForMultipleObjects(loggingThreads, threads, TRUE, 120000);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    REQUIRE(waited == WAIT_OBJECT_0);

    // 6000 entries: rotations after the 2001st and the 4002nd; every entry counted once.
    const std::vector<std::string> first = Messages(test::ReadFileBytes(logcheck::FirstFile()));
    const std::vector<std::string> rotated = Messages(test::ReadFileBytes(logcheck::TempFile(0)));
    CHECK(first.size() == 2001);
    CHECK(rotated.size() == static_cast<size_t>(loggingThreads * entriesPerThread - 4002));
    std::set<std::pair<int, int>> seen;
    CheckWhole(first, seen);
    CheckWhole(rotated, seen);
}
