#include "file_list_dialog.h"

#include "folder_browser.h"
#include "globals.h"
#include "log.h"
#include "pipe_client.h"
#include "resource.h"
#include "stored_files.h"
#include "text.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>

uint64_t currentSelfId = 0;
uint64_t currentVolumeId = 0;

namespace {

// The "Restore To" browser has no owner, so the dialogs stay usable while it
// is open; this is that browser while one is, so that a second press of an
// action button brings it forward instead of starting another request.
HWND openRestoreBrowser = nullptr;
bool restoreRequestOpen = false;

// Each dialog keeps the self_id it was opened for (0: folder mode).
uint64_t DialogSelfId(HWND dialog)
{
    const uint64_t* selfId = reinterpret_cast<const uint64_t*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return selfId != nullptr ? *selfId : 0;
}

HWND ListOf(HWND dialog) { return GetDlgItem(dialog, IDC_FILE_LIST); }

// A read of the stored files failed (the service held the database for longer
// than the busy wait, or the file cannot be read): said, so that a click never
// seems to do nothing. The log holds the code.
void ShowReadFailure(HWND owner)
{
    MessageBoxW(owner,
                L"Could not read the stored files from the backup database. The service may be busy writing to it: "
                L"try again in a moment.",
                L"Varnoke Backup Centre", MB_OK | MB_ICONWARNING);
}

INT_PTR OnInitDialog(HWND dialog)
{
    InitCommonControls();
    HWND list = ListOf(dialog);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(new uint64_t(currentSelfId)));
    if (currentSelfId != 0) {
        SetWindowTextW(dialog, L"File Versions");
        // A failed read is said, and the dialog shows what was read before it.
        if (!appState.QueryFileVersions(appState.fileVersions, currentSelfId, currentVolumeId))
            ShowReadFailure(dialog);
        FillFileList(list, appState.fileVersions, true);
    } else {
        LogMessageW(L"Listing entries for folder");
        FillFileList(list, appState.fileListing, false);
    }
    return TRUE;
}

INT_PTR OnNotify(HWND dialog, const NMHDR* header)
{
    if (header->code != LVN_ITEMCHANGED)
        return FALSE;
    const LRESULT selected = SendMessageW(ListOf(dialog), LVM_GETSELECTEDCOUNT, 0, 0);
    const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(header);
    if (header->idFrom == IDC_FILE_LIST && change->iItem != -1) {
        HWND action = GetDlgItem(dialog, IDC_FILE_ACTION);
        EnableWindow(action, TRUE);
        ShowWindow(action, SW_SHOW);
        if (DialogSelfId(dialog) != 0 || selected >= 2)
            SetWindowTextW(action, L"Restore");
        else if (selected == 1)
            SetWindowTextW(action, L"View Versions");
    }
    return TRUE;
}

int CALLBACK RememberRestoreBrowser(HWND browser, UINT message, LPARAM, LPARAM)
{
    if (message == BFFM_INITIALIZED)
        openRestoreBrowser = browser;
    return 0;
}

// Asks for the target folder and sends the restore list there. In versions
// mode the entry's log lines follow the chosen path.
void RunRestoreRequest(HWND dialog, std::vector<FileListEntry>& restoreList, bool versionsMode)
{
    restoreRequestOpen = true;
    std::wstring chosen;
    const BrowseResult result = BrowseForFolder(nullptr, L"Restore To", RememberRestoreBrowser, chosen);
    openRestoreBrowser = nullptr;
    restoreRequestOpen = false;
    if (result != BrowseResult::chosen)
        return;

    std::string path;
    WideToUtf8(chosen, path, CP_UTF8);
    LogMessageA("Restoration path is %s", path.c_str());
    if (versionsMode) {
        LogMessageW(L"File to restore is %s ", restoreList.front().name.c_str());
        LogMessageA("Restoration time is %s", restoreList.front().modificationTime.c_str());
    }
    const bool sent = SendRestoreFiles(path, restoreList);
    MessageBoxW(dialog, sent ? L"Sent restore command to service" : L"Service did not respond", serviceName.c_str(),
                MB_OK);
}

void OnListingAction(HWND dialog)
{
    HWND list = ListOf(dialog);
    const std::vector<FileListEntry>& rows = appState.fileListing;
    const LRESULT selected = SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0);
    if (selected == 1) {
        const LRESULT index = SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
        if (index < 0 || static_cast<size_t>(index) >= rows.size())
            return;
        currentSelfId = rows[index].selfId;
        currentVolumeId = rows[index].volumeId;
        DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_FILE_LIST), dialog, FileListDialogProc, 0);
        currentSelfId = 0;
        currentVolumeId = 0;
    } else if (selected >= 2) {
        std::vector<FileListEntry> restoreList;
        for (size_t i = 0; i < rows.size(); ++i) {
            if ((SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_SELECTED) & LVIS_SELECTED) == 0)
                continue;
            restoreList.push_back(rows[i]);  // the listing row carries the version stored last
            LogMessageW(L"File to restore is %s ", rows[i].name.c_str());
            LogMessageA("Restoration time is %s", rows[i].modificationTime.c_str());
        }
        if (!restoreList.empty())
            RunRestoreRequest(dialog, restoreList, false);
    }
}

void OnVersionsAction(HWND dialog)
{
    // The lowest selected index: of the selected versions the one stored last.
    const LRESULT index = SendMessageW(ListOf(dialog), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    if (index < 0 || static_cast<size_t>(index) >= appState.fileVersions.size())
        return;
    std::vector<FileListEntry> restoreList(1, appState.fileVersions[index]);
    RunRestoreRequest(dialog, restoreList, true);
}

INT_PTR OnCommand(HWND dialog, WPARAM wParam)
{
    switch (wParam) {  // the whole parameter: a click carries notification code 0
    case IDOK:
        EndDialog(dialog, 1);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, 2);
        return TRUE;
    case IDC_FILE_ACTION:
        if (restoreRequestOpen) {
            // One restore request at a time.
            if (openRestoreBrowser != nullptr)
                SetForegroundWindow(openRestoreBrowser);
            return TRUE;
        }
        if (DialogSelfId(dialog) != 0)
            OnVersionsAction(dialog);
        else
            OnListingAction(dialog);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void ShowFolderFiles(HWND parent, std::wstring searchText)
{
    bool read;
    if (!searchText.empty()) {
        std::string text;
        WideToUtf8(searchText, text, CP_UTF8);
        // QueryFiles appends "%%": every path containing the text.
        read = appState.QueryFiles("%%" + text, appState.fileListing, 0, 0);
    } else {
        // With nothing selected this shows "Click on a backup folder..." and gives "".
        int index = -1;
        const std::string folder = appState.GetSelectedFolder(index);
        if (folder.empty())
            return;
        read = QueryFolderFiles(appState, folder, appState.fileListing);
    }
    if (read)
        DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_FILE_LIST), parent, FileListDialogProc, 0);
    else
        ShowReadFailure(parent);
    appState.fileListing.clear();
}

INT_PTR CALLBACK FileListDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_NOTIFY:
        return OnNotify(dialog, reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        return OnCommand(dialog, wParam);
    case WM_NCDESTROY:
        delete reinterpret_cast<uint64_t*>(SetWindowLongPtrW(dialog, DWLP_USER, 0));
        return FALSE;
    default:
        return FALSE;
    }
}

void AddListColumn(HWND listView, int index, std::wstring caption, int width)
{
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = width < 0 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = std::abs(width);
    column.pszText = const_cast<wchar_t*>(caption.c_str());
    SendMessageW(listView, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void AddFileListColumns(HWND listView, bool versions)
{
    if (versions) {
        AddListColumn(listView, 0, L"Copy", 100);
        AddListColumn(listView, 1, L"Filename", 130);
        AddListColumn(listView, 2, L"Size", -100);
        AddListColumn(listView, 3, L"Timestamp", 250);
    } else {
        AddListColumn(listView, 0, L"Filename", 130);
        AddListColumn(listView, 1, L"Timestamp", 250);
        AddListColumn(listView, 2, L"Versions", -50);
        AddListColumn(listView, 3, L"Size", -100);
    }
}

std::wstring FileListCellText(const FileListEntry& entry, size_t row, int column, bool versions)
{
    if (versions) {
        switch (column) {
        case 0:
            return FormatWString(L"%I64u", static_cast<unsigned long long>(row + 1));  // 1: stored last
        case 1:
            return entry.name;
        case 2:
            return FormatByteSize(entry.size);
        default:
            return entry.timeText;
        }
    }
    switch (column) {
    case 0:
        return entry.name;
    case 1:
        return entry.timeText;
    case 2:
        return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? std::wstring(L"Directory")
                   : FormatWString(L"%I64u", static_cast<unsigned long long>(entry.versionCount));
    default:
        return FormatByteSize(entry.size);
    }
}

void SetListCell(HWND listView, int row, int column, const std::wstring& text)
{
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(listView, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

// The rows go in with the list's drawing switched off and its item count set
// beforehand: drawn as it filled, a list of 20,000 rows kept the window from
// reacting for 12 to 17 s under Wine; filled this way, for well under one.
void FillFileList(HWND listView, const std::vector<FileListEntry>& rows, bool versions)
{
    AddFileListColumns(listView, versions);
    SendMessageW(listView, WM_SETREDRAW, FALSE, 0);
    SendMessageW(listView, LVM_SETITEMCOUNT, rows.size(), LVSICF_NOINVALIDATEALL);
    for (size_t row = 0; row < rows.size(); ++row)
        for (int column = 0; column < fileListColumns; ++column)
            SetListCell(listView, static_cast<int>(row), column, FileListCellText(rows[row], row, column, versions));
    SendMessageW(listView, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(listView, nullptr, TRUE);
}

namespace {

// The stored copy's path names the exact version: two versions of one file
// may share a time (a move, or content changed under a kept time). A service
// that reads only the number stops at the tab and matches volume and time.
std::string VolumeMessage(const FileListEntry& entry)
{
    std::string text = FormatString("%I64u", static_cast<unsigned long long>(entry.volumeId));
    if (!entry.localPath.empty())
        text += "\t" + entry.localPath;
    return text;
}

}  // namespace

bool SendRestoreFiles(std::string destination, std::vector<FileListEntry>& restoreList)
{
    HANDLE pipe = OpenControlPipe();
    if (pipe == INVALID_HANDLE_VALUE)
        return false;  // no service, or it serves another client: no wait, no retry
    try {
        WritePipeMessageOrThrow(pipe, "RESTORE FILES");
        WritePipeMessageOrThrow(pipe, destination);
        WritePipeMessageOrThrow(pipe, FormatString("%I64u", static_cast<unsigned long long>(restoreList.size())));
        for (const FileListEntry& entry : restoreList) {
            WritePipeMessageOrThrow(pipe, FormatString("%I64u", static_cast<unsigned long long>(entry.selfId)));
            WritePipeMessageOrThrow(pipe, VolumeMessage(entry));
            WritePipeMessageOrThrow(pipe, entry.modificationTime);
        }
    } catch (unsigned long) {
        CloseHandle(pipe);  // nothing is sent again
        return false;
    }
    CloseHandle(pipe);  // the service sends no reply to this command
    restoreList.clear();
    return true;
}

std::wstring FormatByteSize(uint64_t count)
{
    const uint64_t kib = 1ull << 10, mib = 1ull << 20, gib = 1ull << 30, tib = 1ull << 40;
    const double value = static_cast<double>(count);
    if (count < kib)
        return FormatWString(L"%I64u bytes", static_cast<unsigned long long>(count));
    if (count < mib)
        return FormatWString(L"%.2lf KB", value / kib);
    if (count < gib)
        return FormatWString(L"%.2lf MB", value / mib);
    if (count < tib)
        return FormatWString(L"%.2lf GB", value / gib);
    return FormatWString(L"%.2lf TB", value / tib);
}
