// Times the control centre's stored-file listings on a large filelist table:
// a folder's listing, a search and the versions of one entry, with the
// statements of the real code, and the listing statement the control centre
// used before equal times were told apart by insertion, for comparison.
//   listing_query_bench DATABASE [ENTRIES]
// DATABASE is made afresh: ENTRIES files (200000 by default) with 1 to 5
// versions each, one in ten moved once (a new row with the same time).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_state.h"
#include "bench_support.h"
#include "stored_files.h"
#include "text.h"

namespace {

bool Fill(sqlite3* db, int entries)
{
    sqlite3_stmt* insert = BenchBeginFileList(db);
    if (insert == nullptr)
        return false;
    srand(7);
    bool filled = true;
    for (int i = 0; filled && i < entries; ++i) {
        const std::string path = FormatString("C:\\data\\folder%02d\\sub%d\\file%d.txt", i % 50, i % 7, i);
        const int versions = 1 + rand() % 5;
        for (int v = 0; filled && v < versions + (i % 10 == 0 ? 1 : 0); ++v) {
            const bool moved = v == versions;  // the last version again, under a new path
            const std::string stamp = FormatString("2024%02d%02d 120000.000", 1 + (moved ? v - 1 : v), 1 + i % 28);
            filled = BenchAddRow(insert, moved ? path + ".moved" : path, 1000 + i, stamp, 100 + v, 0x43000000);
        }
    }
    return BenchEndFileList(db, insert, filled);
}

// Steps every row of the statement; the number of rows.
int CountRows(sqlite3* db, const char* sql, const char* pattern)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        return -1;
    sqlite3_bind_text(statement, 1, pattern, -1, SQLITE_STATIC);
    int rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW)
        ++rows;
    sqlite3_finalize(statement);
    return rows;
}

const char* const previousListingStatement =
    "select path, self_id as s, count(self_id) as c, max(modificationtime) as m, volume_id as v, attributes, size "
    "from filelist group by self_id having path like ?1 order by path asc";

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: listing_query_bench DATABASE [ENTRIES]\n");
        return 2;
    }
    const int entries = argc > 2 ? atoi(argv[2]) : 200000;
    DeleteFileA(argv[1]);

    AppState state;
    if (sqlite3_open(argv[1], &state.database) != SQLITE_OK)
        return 1;
    double start = BenchNow();
    if (!Fill(state.database, entries))
        return 1;
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(state.database, "select count(*) from filelist", -1, &count, nullptr);
    sqlite3_step(count);
    printf("%d entries, %lld rows, filled in %.2f s\n", entries, sqlite3_column_int64(count, 0), BenchNow() - start);
    sqlite3_finalize(count);

    std::vector<FileListEntry> out;
    for (int run = 0; run < 2; ++run) {  // the second run finds the file in the cache
        start = BenchNow();
        QueryFolderFiles(state, "C:\\data\\folder01", out);
        printf("folder listing:            %7zu rows  %.3f s\n", out.size(), BenchNow() - start);
        start = BenchNow();
        state.QueryFiles("%%file12", out, 0, 0);
        printf("search:                    %7zu rows  %.3f s\n", out.size(), BenchNow() - start);
        start = BenchNow();
        state.QueryFileVersions(out, 1010, 0x43000000);
        printf("versions of one entry:     %7zu rows  %.3f s\n", out.size(), BenchNow() - start);
        // The statements alone, rows stepped but no entries made: the current
        // one with a prefix pattern, as the previous one ran for a folder.
        start = BenchNow();
        int rows = CountRows(state.database, fileListingStatement, "C:\\data\\folder01\\%");
        printf("listing statement alone:   %7d rows  %.3f s\n", rows, BenchNow() - start);
        start = BenchNow();
        rows = CountRows(state.database, previousListingStatement, "C:\\data\\folder01\\%");
        printf("previous statement alone:  %7d rows  %.3f s\n", rows, BenchNow() - start);
    }
    return 0;
}
