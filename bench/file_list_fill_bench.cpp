// Times how long the file list dialog (dialog 107) keeps the control centre
// from reacting when it opens on a large folder listing and on a file with
// many versions: the query, the dialog's opening with its list filled, and its
// first paint. The real dialog procedure is timed beside the way the list was
// filled before (one row after the other while the list draws), on the same
// rows and the same template.
//   file_list_fill_bench DATABASE [FILES] [VERSIONS]
// DATABASE is made afresh: FILES files (20000 by default) in one folder and
// one file with VERSIONS versions (3000 by default). Needs a display.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_state.h"
#include "bench_support.h"
#include "file_list_dialog.h"
#include "resource.h"
#include "stored_files.h"
#include "text.h"

namespace {

const uint64_t volume = 0x43000000;
const uint64_t manyVersionsId = 7;

bool Fill(sqlite3* db, int files, int versions)
{
    sqlite3_stmt* insert = BenchBeginFileList(db);
    if (insert == nullptr)
        return false;
    const auto stamp = [](int second) {
        return FormatString("202403%02d %02d%02d%02d.000", 1 + second / 86400 % 28, second / 3600 % 24,
                            second / 60 % 60, second % 60);
    };
    bool filled = true;
    for (int i = 0; filled && i < files; ++i)
        filled = BenchAddRow(insert, FormatString("C:\\data\\big\\file%05d.txt", i), 1000 + i, stamp(i * 37),
                             100 + i * 13, volume);
    for (int v = 0; filled && v < versions; ++v)
        filled = BenchAddRow(insert, "C:\\data\\many\\notes.txt", manyVersionsId, stamp(v * 61), 2000 + v, volume);
    return BenchEndFileList(db, insert, filled);
}

// The list filled as it was before: every row inserted, and its cells set,
// while the list draws.
void PreviousFill(HWND list, const std::vector<FileListEntry>& rows, bool versions)
{
    AddFileListColumns(list, versions);
    for (size_t row = 0; row < rows.size(); ++row)
        for (int column = 0; column < fileListColumns; ++column)
            SetListCell(list, static_cast<int>(row), column, FileListCellText(rows[row], row, column, versions));
}

INT_PTR CALLBACK PreviousDialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message != WM_INITDIALOG)
        return FALSE;
    InitCommonControls();
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
    if (currentSelfId != 0) {
        SetWindowTextW(dialog, L"File Versions");
        appState.QueryFileVersions(appState.fileVersions, currentSelfId, currentVolumeId);
        PreviousFill(list, appState.fileVersions, true);
    } else {
        PreviousFill(list, appState.fileListing, false);
    }
    return TRUE;
}

struct Timing {
    double open;   // the dialog's creation: its WM_INITDIALOG, a versions query included
    double paint;  // shown and drawn until no message waits
    int rows;
};

Timing OpenDialog(DLGPROC procedure)
{
    Timing timing = {};
    double start = BenchNow();
    HWND dialog = CreateDialogParamW(instanceHandle, MAKEINTRESOURCEW(IDD_FILE_LIST), nullptr, procedure, 0);
    timing.open = BenchNow() - start;
    if (dialog == nullptr) {
        fprintf(stderr, "file_list_fill_bench: no dialog (%lu)\n", GetLastError());
        exit(1);
    }
    start = BenchNow();
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    timing.paint = BenchNow() - start;
    timing.rows = static_cast<int>(SendDlgItemMessageW(dialog, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0));
    DestroyWindow(dialog);
    return timing;
}

// The window does not react from the click to the end of the first paint:
// the query (which the versions dialog runs while it opens), the opening and the paint.
void Report(const char* what, double query, bool queryWhileOpening, const Timing& previous, const Timing& now)
{
    const double before = queryWhileOpening ? 0 : query;
    printf("%-21s %5d rows  query %.3f s | open %6.3f s, paint %.3f s, in all %6.3f s | "
           "open %.3f s, paint %.3f s, in all %.3f s\n",
           what, now.rows, query, previous.open, previous.paint, before + previous.open + previous.paint, now.open,
           now.paint, before + now.open + now.paint);
    if (previous.rows != now.rows)
        printf("  rows differ: %d before, %d now\n", previous.rows, now.rows);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: file_list_fill_bench DATABASE [FILES] [VERSIONS]\n");
        return 2;
    }
    const int files = argc > 2 ? atoi(argv[2]) : 20000;
    const int versions = argc > 3 ? atoi(argv[3]) : 3000;
    instanceHandle = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&classes);
    DeleteFileA(argv[1]);
    if (sqlite3_open(argv[1], &appState.database) != SQLITE_OK || !Fill(appState.database, files, versions))
        return 1;
    printf("%d files in one folder, one file with %d versions\n", files, versions);
    printf("%-50s | %-48s | %s\n", "", "filled as before", "filled now");

    for (int run = 0; run < 2; ++run) {  // the second run finds the file in the cache
        double start = BenchNow();
        QueryFolderFiles(appState, "C:\\data\\big", appState.fileListing);
        const double query = BenchNow() - start;
        currentSelfId = 0;
        const Timing previousListing = OpenDialog(PreviousDialogProc);
        const Timing listing = OpenDialog(FileListDialogProc);
        Report("folder listing", query, false, previousListing, listing);

        // The versions dialog runs its query while it opens.
        currentSelfId = manyVersionsId;
        currentVolumeId = volume;
        start = BenchNow();
        appState.QueryFileVersions(appState.fileVersions, manyVersionsId, volume);
        const double versionsQuery = BenchNow() - start;
        const Timing previousVersions = OpenDialog(PreviousDialogProc);
        const Timing nowVersions = OpenDialog(FileListDialogProc);
        Report("versions of one file", versionsQuery, true, previousVersions, nowVersions);
        currentSelfId = 0;
        currentVolumeId = 0;
    }
    return 0;
}
