// Times one "RESTORE FILES" request of every stored version of a tree, served
// by the real restore code: first with the state database holding only the
// tree's rows, then, into another empty folder, with rows of other files added.
//   restore_bench SOURCE DESTINATION TARGET TARGET_WITH_ROWS [OTHER_ROWS [ROUNDS]]
// The tree is stored by one pass of the real watcher code; OTHER_ROWS (30000
// by default) are added, while no pass runs, to a copy of its database. Each
// restore is made ROUNDS times (3 by default), each into an empty folder
// TARGET\1, TARGET\2, ..., and the quickest counts: the machine's other work
// only ever adds time. Writes the settings, the Data and
// Logs folders and a fresh state database of its prefix; run it in a prefix of
// its own (bench/restore_bench.sh).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pipe_commands.h"
#include "service_bench_support.h"

namespace {

// One entry as the control centre sends it: self id, volume id with the stored copy, time.
struct Entry {
    std::string selfId, volume, time;
};

std::vector<Entry> StoredEntries()
{
    std::vector<Entry> entries;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(databaseConnection,
                       "select self_id, volume_id, modificationtime, localpath from filelist order by rowid", -1,
                       &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const char* time = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
        const char* copy = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
        entries.push_back({FormatString("%I64u", static_cast<uint64_t>(sqlite3_column_int64(statement, 0))),
                           FormatString("%I64u", static_cast<uint64_t>(sqlite3_column_int64(statement, 1))) + "\t" +
                               (copy != nullptr ? copy : ""),
                           time != nullptr ? time : ""});
    }
    sqlite3_finalize(statement);
    return entries;
}

int CountRows()
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(databaseConnection, "select count(*) from filelist", -1, &statement, nullptr);
    const int rows = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    sqlite3_finalize(statement);
    return rows;
}

// Rows of files outside the tree, as a pass stores them (paths of a usual length).
bool AddOtherRows(int count)
{
    sqlite3_stmt* insert = nullptr;
    if (!BenchExec(databaseConnection, "begin;") ||
        sqlite3_prepare_v2(databaseConnection, "insert into filelist values( ?1, ?2, ?3, ?4, ?5, ?6,?7, ?8, ?9);",
                           -1, &insert, nullptr) != SQLITE_OK)
        return false;
    bool added = true;
    for (int i = 0; added && i < count; ++i) {
        const std::string path =
            FormatString("C:\\Users\\someone\\Documents\\Projects\\folder%03d\\sub%02d\\file%06d.dat", i / 1000,
                         i / 25 % 40, i);
        added = BenchAddRow(insert, path, 5000000 + i, FormatString("2024%02d%02d 120000", 1 + i % 12, 1 + i % 28),
                            1000 + i, 0x43000000);
    }
    return BenchEndFileList(databaseConnection, insert, added);
}

struct Client {
    std::wstring pipeName;
    std::string target;
    const std::vector<Entry>* entries;
};

bool WriteMessage(HANDLE pipe, const std::string& text)
{
    const DWORD count = static_cast<DWORD>(text.size());
    DWORD written = 0;
    return WriteFile(pipe, &count, sizeof count, &written, nullptr) &&
           (count == 0 || WriteFile(pipe, text.data(), count, &written, nullptr));
}

// Writes the request as the control centre does: each message as its count, then its text.
DWORD WINAPI SendRequest(LPVOID parameter)
{
    const Client& client = *static_cast<const Client*>(parameter);
    HANDLE pipe = CreateFileW(client.pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return 1;
    bool sent = WriteMessage(pipe, "RESTORE FILES") && WriteMessage(pipe, client.target) &&
                WriteMessage(pipe, FormatString("%u", static_cast<unsigned>(client.entries->size())));
    for (size_t i = 0; sent && i < client.entries->size(); ++i) {
        const Entry& entry = (*client.entries)[i];
        sent = WriteMessage(pipe, entry.selfId) && WriteMessage(pipe, entry.volume) && WriteMessage(pipe, entry.time);
    }
    CloseHandle(pipe);
    return sent ? 0 : 1;
}

// The seconds from the client's first write until the command has ended; negative on failure.
double Restore(const std::wstring& target, const std::vector<Entry>& entries)
{
    static int sequence = 0;
    const std::wstring name = FormatWString(L"\\\\.\\pipe\\VarnRestoreBench-%lu-%d", GetCurrentProcessId(), ++sequence);
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL connectedAtOnce = ConnectNamedPipe(pipe, &overlapped);
    const DWORD code = connectedAtOnce ? ERROR_PIPE_CONNECTED : GetLastError();
    Client client = {name, FormatString("%S", target.c_str()), &entries};
    const double start = BenchNow();
    HANDLE thread = CreateThread(nullptr, 0, SendRequest, &client, 0, nullptr);
    if (code == ERROR_IO_PENDING) {
        DWORD ignored = 0;
        WaitForSingleObject(overlapped.hEvent, INFINITE);
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    }
    ProcessPipeMessage(nullptr, pipe, &overlapped);
    const double seconds = BenchNow() - start;
    WaitForSingleObject(thread, INFINITE);
    DWORD sent = 1;
    GetExitCodeThread(thread, &sent);
    CloseHandle(thread);
    CloseHandle(pipe);
    CloseHandle(overlapped.hEvent);
    return sent == 0 ? seconds : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5 || argc > 7) {
        fprintf(stderr, "usage: restore_bench SOURCE DESTINATION TARGET TARGET_WITH_ROWS [OTHER_ROWS [ROUNDS]]\n");
        return 2;
    }
    const int otherRows = argc >= 6 ? _wtoi(argv[5]) : 30000;
    const int rounds = argc == 7 ? _wtoi(argv[6]) : 3;
    BenchStartService(argv[2]);
    WatchedFolder folder;
    folder.folderPath = FormatString("%S", argv[1]);
    std::vector<WatchedFolder*> folders{&folder};
    const double pass = BenchWatcherPass(folders);
    benchservice::StopByte() = 0;  // the pass ended on it

    // The same rows, and a copy of them with the other rows added: the
    // restores of the two alternate, so that the machine's other work weighs on both alike.
    const std::wstring alonePath = GetDataFolder() + databaseFileName;
    const std::wstring othersPath = GetDataFolder() + L"\\WithOtherRows.trdb";
    sqlite3_close(databaseConnection);
    CopyFileW(alonePath.c_str(), othersPath.c_str(), FALSE);
    sqlite3* others = nullptr;
    sqlite3_open(FormatString("%S", othersPath.c_str()).c_str(), &others);
    sqlite3* alone = nullptr;
    sqlite3_open(databasePath.c_str(), &alone);
    databaseConnection = others;
    if (!AddOtherRows(otherRows))
        return 1;
    printf("rows_with_others %d\n", CountRows());
    databaseConnection = alone;
    printf("rows_alone %d\n", CountRows());
    const std::vector<Entry> entries = StoredEntries();
    printf("entries %u\n", static_cast<unsigned>(entries.size()));
    printf("pass %.3f\n", pass);

    double quickestAlone = -1, quickestWithOthers = -1;
    for (int round = 1; round <= rounds; ++round) {
        // Each goes first in every other round.
        const std::wstring below = FormatWString(L"\\%d", round);
        double aloneSeconds, othersSeconds;
        if (round % 2 == 1) {
            databaseConnection = alone;
            aloneSeconds = Restore(argv[3] + below, entries);
            databaseConnection = others;
            othersSeconds = Restore(argv[4] + below, entries);
        } else {
            databaseConnection = others;
            othersSeconds = Restore(argv[4] + below, entries);
            databaseConnection = alone;
            aloneSeconds = Restore(argv[3] + below, entries);
        }
        if (aloneSeconds < 0 || othersSeconds < 0) {
            fprintf(stderr, "restore_bench: a request could not be sent\n");
            return 1;
        }
        printf("round %d alone %.3f with_others %.3f\n", round, aloneSeconds, othersSeconds);
        if (quickestAlone < 0 || aloneSeconds < quickestAlone)
            quickestAlone = aloneSeconds;
        if (quickestWithOthers < 0 || othersSeconds < quickestWithOthers)
            quickestWithOthers = othersSeconds;
    }
    printf("restore_alone %.3f\n", quickestAlone);
    printf("restore_with_others %.3f\n", quickestWithOthers);
    return 0;
}
