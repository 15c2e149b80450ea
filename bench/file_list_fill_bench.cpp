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
#include "file_list_dialog.h"
#include "resource.h"
#include "stored_files.h"
#include "text.h"

namespace {

LARGE_INTEGER frequency;

double Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency.QuadPart;
}

bool Exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    fprintf(stderr, "file_list_fill_bench: %s\n", error != nullptr ? error : "?");
    sqlite3_free(error);
    return false;
}

const uint64_t volume = 0x43000000;
const uint64_t manyVersionsId = 7;

bool Fill(sqlite3* db, int files, int versions)
{
    if (!Exec(db, "create table filelist( path text, user text, attributes sqlite3_uint64, parentid sqlite3_uint64,"
                  "\t\t\tself_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id sqlite3_uint64,"
                  " localpath text); begin;"))
        return false;
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "insert into filelist values( ?1, ?2, ?3, ?4, ?5, ?6,?7, ?8, ?9);", -1, &insert, nullptr);
    const auto add = [&](const std::string& path, uint64_t selfId, int second, uint64_t size) {
        const std::string stamp = FormatString("202403%02d %02d%02d%02d.000", 1 + second / 86400 % 28,
                                               second / 3600 % 24, second / 60 % 60, second % 60);
        sqlite3_bind_text(insert, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, " ", -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 3, FILE_ATTRIBUTE_ARCHIVE);
        sqlite3_bind_int64(insert, 4, 5);
        sqlite3_bind_int64(insert, 5, static_cast<sqlite3_int64>(selfId));
        sqlite3_bind_text(insert, 6, stamp.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 7, static_cast<sqlite3_int64>(size));
        sqlite3_bind_int64(insert, 8, static_cast<sqlite3_int64>(volume));
        sqlite3_bind_text(insert, 9, "\\\\?\\C:\\dest\\VarnBack\\PC\\uuid", -1, SQLITE_STATIC);
        const bool done = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
        return done;
    };
    bool ok = true;
    for (int i = 0; ok && i < files; ++i)
        ok = add(FormatString("C:\\data\\big\\file%05d.txt", i), 1000 + i, i * 37, 100 + i * 13);
    for (int v = 0; ok && v < versions; ++v)
        ok = add("C:\\data\\many\\notes.txt", manyVersionsId, v * 61, 2000 + v);
    sqlite3_finalize(insert);
    return ok && Exec(db, "commit;");
}

// The list filled as it was before: every row inserted, and its cells set,
// while the list draws.
void PreviousSetCell(HWND list, int row, int column, const std::wstring& text)
{
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void PreviousFill(HWND list, bool versions)
{
    if (versions) {
        AddListColumn(list, 0, L"Copy", 100);
        AddListColumn(list, 1, L"Filename", 130);
        AddListColumn(list, 2, L"Size", -100);
        AddListColumn(list, 3, L"Timestamp", 250);
        const std::vector<FileListEntry>& rows = appState.fileVersions;
        for (size_t i = 0; i < rows.size(); ++i) {
            const int row = static_cast<int>(i);
            PreviousSetCell(list, row, 0, FormatWString(L"%I64u", static_cast<unsigned long long>(i + 1)));
            PreviousSetCell(list, row, 1, rows[i].name);
            PreviousSetCell(list, row, 2, FormatByteSize(rows[i].size));
            PreviousSetCell(list, row, 3, rows[i].timeText);
        }
        return;
    }
    AddListColumn(list, 0, L"Filename", 130);
    AddListColumn(list, 1, L"Timestamp", 250);
    AddListColumn(list, 2, L"Versions", -50);
    AddListColumn(list, 3, L"Size", -100);
    const std::vector<FileListEntry>& rows = appState.fileListing;
    for (size_t i = 0; i < rows.size(); ++i) {
        const int row = static_cast<int>(i);
        PreviousSetCell(list, row, 0, rows[i].name);
        PreviousSetCell(list, row, 1, rows[i].timeText);
        PreviousSetCell(list, row, 2, (rows[i].attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                          ? std::wstring(L"Directory")
                                          : FormatWString(L"%I64u", static_cast<unsigned long long>(rows[i].versionCount)));
        PreviousSetCell(list, row, 3, FormatByteSize(rows[i].size));
    }
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
    }
    PreviousFill(list, currentSelfId != 0);
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
    double start = Now();
    HWND dialog = CreateDialogParamW(instanceHandle, MAKEINTRESOURCEW(IDD_FILE_LIST), nullptr, procedure, 0);
    timing.open = Now() - start;
    if (dialog == nullptr) {
        fprintf(stderr, "file_list_fill_bench: no dialog (%lu)\n", GetLastError());
        exit(1);
    }
    start = Now();
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    timing.paint = Now() - start;
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
    QueryPerformanceFrequency(&frequency);
    instanceHandle = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&classes);
    DeleteFileA(argv[1]);
    if (sqlite3_open(argv[1], &appState.database) != SQLITE_OK || !Fill(appState.database, files, versions))
        return 1;
    printf("%d files in one folder, one file with %d versions\n", files, versions);
    printf("%-50s | %-48s | %s\n", "", "filled as before", "filled now");

    for (int run = 0; run < 2; ++run) {  // the second run finds the file in the cache
        double start = Now();
        QueryFolderFiles(appState, "C:\\data\\big", appState.fileListing);
        const double query = Now() - start;
        currentSelfId = 0;
        const Timing previousListing = OpenDialog(PreviousDialogProc);
        const Timing listing = OpenDialog(FileListDialogProc);
        Report("folder listing", query, false, previousListing, listing);

        // The versions dialog runs its query while it opens.
        currentSelfId = manyVersionsId;
        currentVolumeId = volume;
        start = Now();
        appState.QueryFileVersions(appState.fileVersions, manyVersionsId, volume);
        const double versionsQuery = Now() - start;
        const Timing previousVersions = OpenDialog(PreviousDialogProc);
        const Timing nowVersions = OpenDialog(FileListDialogProc);
        Report("versions of one file", versionsQuery, true, previousVersions, nowVersions);
        currentSelfId = 0;
        currentVolumeId = 0;
    }
    return 0;
}
