#include <doctest/doctest.h>

#include "app_state.h"
#include "file_list_dialog.h"
#include "globals.h"
#include "pipe_client.h"
#include "settings_dialog.h"
#include "stored_files.h"
#include "test_support.h"
#include "tray_core_pipe_server.h"
#include "tray_pipe_open.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

FileListEntry Entry(uint64_t selfId, uint64_t volumeId, const std::string& stamp)
{
    FileListEntry entry;
    entry.name = L"a.txt";
    entry.selfId = selfId;
    entry.volumeId = volumeId;
    entry.modificationTime = stamp;
    return entry;
}

// Reads every message until the client closes.
void ReadAll(test::ScriptedPipeServer& server)
{
    std::string text;
    while (server.ReadMessage(text)) {
    }
}

// A pipe instance that takes the first message and then drops the client.
struct DroppingServer {
    HANDLE pipe;
    HANDLE thread = nullptr;

    DroppingServer()
    {
        test::PipeDescriptor security(test::serviceOwnedPipe);
        pipe = CreateNamedPipeW(trayPipeName, PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, security.attributes());
        if (pipe != INVALID_HANDLE_VALUE)
            thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~DroppingServer()
    {
        if (thread != nullptr) {
            WaitForSingleObject(thread, 10000);
            CloseHandle(thread);
        }
        CloseHandle(pipe);
    }
    static DWORD WINAPI Run(void* self)
    {
        HANDLE pipe = static_cast<DroppingServer*>(self)->pipe;
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char first[4 + 13];
            DWORD got = 0, total = 0;
            while (total < sizeof first && ReadFile(pipe, first + total, sizeof first - total, &got, nullptr) && got > 0)
                total += got;
        }
        DisconnectNamedPipe(pipe);
        return 0;
    }
};

}  // namespace

TEST_CASE("FormatByteSize shows bytes, KB, MB, GB and TB")
{
    struct Case {
        uint64_t count;
        const wchar_t* text;
    };
    const uint64_t kib = 1ull << 10, mib = 1ull << 20, gib = 1ull << 30, tib = 1ull << 40;
    const Case cases[] = {
        {0, L"0 bytes"},
        {1023, L"1023 bytes"},
        {kib, L"1.00 KB"},
        {1536, L"1.50 KB"},
        {mib - 1, L"1024.00 KB"},  // rounded, still below the next unit
        {mib, L"1.00 MB"},
        {gib - 1, L"1024.00 MB"},
        {gib, L"1.00 GB"},
        {5 * gib, L"5.00 GB"},
        {10 * gib, L"10.00 GB"},
        {tib - 1, L"1024.00 GB"},
        {tib, L"1.00 TB"},
        {3 * tib + tib / 2, L"3.50 TB"},
        {UINT64_MAX, L"16777216.00 TB"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.count);
        CHECK(test::Utf8(FormatByteSize(c.count)) == test::Utf8(c.text));
    }
}

TEST_CASE("SendRestoreFiles sends the command, the folder, the count and each entry")
{
    const uint64_t top = UINT64_MAX;  // file indexes of 2^63 and more go out unsigned
    std::vector<FileListEntry> restoreList = {
        Entry(12345, 0x43000000, "20240131 235959.000"),
        Entry(top, 7, "20240201 000000.000"),
        Entry(1ull << 63, 0, "19991231 120000.000"),
    };
    test::ScriptedPipeServer server(ReadAll);
    REQUIRE(server.created());

    CHECK(SendRestoreFiles("D:\\Restore", restoreList));
    REQUIRE(server.Finish());
    const std::vector<std::string> expected = {
        "RESTORE FILES", "D:\\Restore", "3",
        "12345", "1124073472", "20240131 235959.000",
        "18446744073709551615", "7", "20240201 000000.000",
        "9223372036854775808", "0", "19991231 120000.000",
    };
    CHECK(server.received() == expected);
    CHECK(restoreList.empty());
}

TEST_CASE("SendRestoreFiles sends a drive root and UTF-8 text as given")
{
    std::vector<FileListEntry> restoreList = {Entry(1, 2, "20200101 000000.000")};
    test::ScriptedPipeServer server(ReadAll);
    REQUIRE(server.created());
    const std::string target = "E:\\";
    CHECK(SendRestoreFiles(target, restoreList));
    REQUIRE(server.Finish());
    REQUIRE(server.received().size() == 6);
    CHECK(server.received()[1] == "E:\\");
    CHECK(server.received()[2] == "1");
}

TEST_CASE("a restore names the stored version picked, by its stored copy, from a listing and from the versions")
{
    // kb.bin got new content under the same second; axb.txt was renamed,
    // which keeps its time. A folder's row has no stored copy.
    const std::string kbFirst = "\\\\?\\C:\\dest\\VarnBack\\PC\\1b4e28ba-2fa1-11d2-883f-0016d3cca427";
    const std::string kbSecond = "\\\\?\\C:\\dest\\VarnBack\\PC\\6fa459ea-ee8a-3ca4-894e-db77e160355e";
    const std::string axbFirst = "\\\\?\\C:\\dest\\VarnBack\\PC\\886313e1-3b8a-5372-9b90-0c9aee199e5d";
    const std::string axbSecond = "\\\\?\\UNC\\srv\\bk\\VarnBack\\PC\\\xC3\xA9-0c9aee199e5d";
    test::TempFolder folder(L"restore");
    AppState state;
    REQUIRE(sqlite3_open(test::Utf8(folder / L"SystemState2.trdb").c_str(), &state.database) == SQLITE_OK);
    REQUIRE(sqlite3_exec(state.database,
                         "create table filelist( path text, user text, attributes sqlite3_uint64, parentid "
                         "sqlite3_uint64, self_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, "
                         "volume_id sqlite3_uint64, localpath text);",
                         nullptr, nullptr, nullptr) == SQLITE_OK);
    const auto add = [&](const char* path, uint64_t selfId, const char* stamp, uint64_t size, uint64_t attributes,
                         const std::string& localPath) {
        sqlite3_stmt* statement = nullptr;
        REQUIRE(sqlite3_prepare_v2(state.database, "insert into filelist values( ?1, ' ', ?2, 5, ?3, ?4, ?5, ?6, ?7);",
                                   -1, &statement, nullptr) == SQLITE_OK);
        sqlite3_bind_text(statement, 1, path, -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(attributes));
        sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(selfId));
        sqlite3_bind_text(statement, 4, stamp, -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 5, static_cast<sqlite3_int64>(size));
        sqlite3_bind_int64(statement, 6, 0x43000000);
        sqlite3_bind_text(statement, 7, localPath.c_str(), -1, SQLITE_STATIC);
        CHECK(sqlite3_step(statement) == SQLITE_DONE);
        sqlite3_finalize(statement);
    };
    add("D:\\w\\kb.bin", 11, "20240501 120000.000", 1536, FILE_ATTRIBUTE_ARCHIVE, kbFirst);
    add("D:\\w\\axb.txt", 12, "20240502 080000.000", 7, FILE_ATTRIBUTE_ARCHIVE, axbFirst);
    add("D:\\w\\sub", 13, "20240502 090000.000", 0, FILE_ATTRIBUTE_DIRECTORY, "");
    add("D:\\w\\kb.bin", 11, "20240501 120000.000", 2048, FILE_ATTRIBUTE_ARCHIVE, kbSecond);
    add("D:\\w\\axb-renamed.txt", 12, "20240502 080000.000", 7, FILE_ATTRIBUTE_ARCHIVE, axbSecond);

    struct Case {
        const char* label;
        uint64_t selfId;  // 0: every row of the folder's listing; otherwise one row of its versions
        size_t version;
        std::string picked;  // name and size of what is sent
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        {"listing",
         0,
         0,
         "axb-renamed.txt 7 bytes|kb.bin 2.00 KB|sub 0 bytes|",
         {"12", "1124073472\t" + axbSecond, "20240502 080000.000", "11", "1124073472\t" + kbSecond,
          "20240501 120000.000", "13", "1124073472", "20240502 090000.000"}},
        {"versions, stored last", 11, 0, "kb.bin 2.00 KB|", {"11", "1124073472\t" + kbSecond, "20240501 120000.000"}},
        {"versions, same time before", 11, 1, "kb.bin 1.50 KB|",
         {"11", "1124073472\t" + kbFirst, "20240501 120000.000"}},
        {"versions, before the rename", 12, 1, "axb.txt 7 bytes|",
         {"12", "1124073472\t" + axbFirst, "20240502 080000.000"}},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.label));
        std::vector<FileListEntry> restoreList;
        if (c.selfId == 0) {
            REQUIRE(QueryFolderFiles(state, "D:\\w", state.fileListing));
            restoreList = state.fileListing;
        } else {
            REQUIRE(state.QueryFileVersions(state.fileVersions, c.selfId, 0x43000000));
            REQUIRE(c.version < state.fileVersions.size());
            restoreList.push_back(state.fileVersions[c.version]);
        }
        std::string picked;
        for (const FileListEntry& entry : restoreList)
            picked += test::Utf8(entry.name + L" " + FormatByteSize(entry.size)) + "|";
        CHECK(picked == c.picked);

        test::ScriptedPipeServer server(ReadAll);
        REQUIRE(server.created());
        CHECK(SendRestoreFiles("C:\\restore", restoreList));
        REQUIRE(server.Finish());
        std::vector<std::string> expected = {"RESTORE FILES", "C:\\restore", std::to_string(c.entries.size() / 3)};
        expected.insert(expected.end(), c.entries.begin(), c.entries.end());
        CHECK(server.received() == expected);
    }
}

TEST_CASE("SendRestoreFiles opens the pipe so that a server can at most identify it")
{
    std::vector<FileListEntry> restoreList = {Entry(1, 2, "20200101 000000.000")};
    test::PipeOpenRecorder recorder;
    test::ScriptedPipeServer server(ReadAll);
    REQUIRE(server.created());
    CHECK(SendRestoreFiles("C:\\restore", restoreList));
    REQUIRE(server.Finish());
    CHECK(server.received().size() == 6);
    REQUIRE(recorder.opens().size() == 1);
    CHECK(test::PipeOpenText(recorder.opens()[0]) == test::ControlCentrePipeOpen());
}

TEST_CASE("SendRestoreFiles sends nothing to a pipe that neither LocalSystem nor the Administrators group owns")
{
    for (const test::PipeOwnerCase& c : test::PipeOwnerCases()) {
        CAPTURE(test::Utf8(c.descriptor));
        test::LogCapture log;
        std::vector<FileListEntry> restoreList = {Entry(1, 2, "20200101 000000.000")};
        test::ScriptedPipeServer server(ReadAll, 10000, c.descriptor);
        REQUIRE(server.created());
        CHECK(SendRestoreFiles("C:\\restore", restoreList) == c.accepted);
        REQUIRE(server.Finish());
        CHECK(server.clientConnected());
        CHECK(server.received().size() == (c.accepted ? 6u : 0u));
        CHECK(restoreList.size() == (c.accepted ? 0u : 1u));  // a refused request keeps its list
        const std::string text = log.text();
        CHECK(test::Occurrences(text, "Nothing was sent.") == (c.accepted ? 0u : 1u));
        if (!c.accepted)
            CHECK(test::Occurrences(text, std::string(" ") + c.line + "\r\n") == 1);
    }
}

TEST_CASE("SendRestoreFiles fails without a service and keeps the list")
{
    std::vector<FileListEntry> restoreList = {Entry(1, 2, "20200101 000000.000")};
    CHECK_FALSE(SendRestoreFiles("C:\\restore", restoreList));
    CHECK(restoreList.size() == 1);
}

TEST_CASE("SendRestoreFiles gives up when the service drops the connection part-way")
{
    std::vector<FileListEntry> restoreList = {Entry(1, 2, "20200101 000000.000")};
    // A folder text far larger than the pipe's buffer: its write is still
    // under way when the server goes.
    const std::string longFolder = "C:\\" + std::string(300000, 'x');
    DroppingServer server;
    REQUIRE(server.pipe != INVALID_HANDLE_VALUE);
    CHECK_FALSE(SendRestoreFiles(longFolder, restoreList));
    CHECK(restoreList.size() == 1);
}

TEST_CASE("WriteRegistryString creates the key and stores terminated REG_SZ text")
{
    test::SettingsScope settings;
    const std::wstring key = SettingsKey();
    struct Case {
        const wchar_t* name;
        std::wstring value;
    };
    const Case cases[] = {
        {L"Destination", L"\\\\srv\\share\\"},
        {L"ScanInterval", L""},
        {L"Username", L"J\u00f6rg"},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.name));
        CHECK(WriteRegistryString(key, c.name, c.value));
        HKEY opened = nullptr;
        REQUIRE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS);
        wchar_t data[64] = {};
        DWORD type = 0, size = sizeof data;
        CHECK(RegQueryValueExW(opened, c.name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS);
        RegCloseKey(opened);
        CHECK(type == REG_SZ);
        CHECK(size == (c.value.size() + 1) * sizeof(wchar_t));
        CHECK(test::Utf8(data) == test::Utf8(c.value));
    }
}
