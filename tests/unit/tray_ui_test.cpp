#include <doctest/doctest.h>

#include "app_state.h"
#include "file_list_dialog.h"
#include "globals.h"
#include "pipe_client.h"
#include "settings_dialog.h"
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
        pipe = CreateNamedPipeW(trayPipeName, PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr);
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
