// Times a first backup pass and a pass without change of the real watcher code
// over one folder tree, and the parts a pass spends its time in.
//   backup_pass_bench SOURCE DESTINATION
// Writes the settings, the Data and Logs folders and a fresh state database
// of its prefix; run it in a prefix of its own (bench/backup_pass_bench.sh).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "destination.h"
#include "file_rows.h"
#include "service_bench_support.h"

namespace {

double copySeconds = 0;

BOOL WINAPI TimedCopy(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context, LPBOOL cancel,
                      DWORD flags)
{
    const double start = BenchNow();
    const BOOL result = CopyFileExW(source, target, progress, context, cancel, flags);
    copySeconds += BenchNow() - start;
    return result;
}

double Pass(std::vector<WatchedFolder*>& folders)
{
    copySeconds = 0;
    return BenchWatcherPass(folders);
}

size_t StoredFiles(const std::wstring& folder)
{
    size_t count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (wcslen(data.cFileName) == 36)
            ++count;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: backup_pass_bench SOURCE DESTINATION\n");
        return 2;
    }
    const std::wstring source = argv[1];
    const std::wstring destination = argv[2];

    BenchStartService(destination);
    copyFileFunction = TimedCopy;

    WatchedFolder folder;
    folder.folderPath = FormatString("%S", source.c_str());
    std::vector<WatchedFolder*> folders{&folder};

    const double first = Pass(folders);
    const double firstCopy = copySeconds;
    const double unchanged = Pass(folders);
    const size_t stored = StoredFiles(destination + L"\\" + serviceName + L"\\" + GetComputerNameString());

    // The parts, measured on their own over the same tree.
    benchservice::StopByte() = 0;
    KnownFileMap known;
    ScanList found;
    double start = BenchNow();
    WalkFolder(known, found, folder.folderPath, &folder.abortRequested);
    const double walk = BenchNow() - start;

    sqlite3_close(databaseConnection);
    BenchOpenDatabase(GetDataFolder() + L"\\insert-bench.trdb");
    start = BenchNow();
    for (FileRecord record : found) {
        record.localPath = "\\\\?\\C:\\bench\\VarnBack\\HOST\\01234567-89ab-cdef-0123-456789abcdef";
        InsertFileRow(record);
    }
    const double insert = BenchNow() - start;
    sqlite3_close(databaseConnection);
    databaseConnection = nullptr;

    // A first pass writes about five lines per file (walk, added twice, copied, insert).
    const std::string line = "File " + folder.folderPath + "\\folder07\\sub3\\file0042.dat was Added";
    start = BenchNow();
    for (size_t i = 0; i < found.size() * 5; ++i)
        LogMessageA("%s", line.c_str());
    const double log = BenchNow() - start;

    printf("entries %u stored %u\n", static_cast<unsigned>(found.size()), static_cast<unsigned>(stored));
    printf("first_pass %.3f\n", first);
    printf("first_pass_copy %.3f\n", firstCopy);
    printf("unchanged_pass %.3f\n", unchanged);
    printf("walk_only %.3f\n", walk);
    printf("insert_only %.3f\n", insert);
    printf("log_only %.3f\n", log);
    return 0;
}
