#include "main_window.h"

#include "app_state.h"
#include "file_list_dialog.h"
#include "folder_list.h"
#include "log.h"
#include "resource.h"
#include "service_control.h"
#include "settings_dialog.h"

#include <commctrl.h>

#include <cstring>
#include <memory>

HICON trayIcon = nullptr;
TrayIconData trayIconData = {};
BOOL(WINAPI* shellNotifyIcon)(DWORD message, PNOTIFYICONDATAW data) = Shell_NotifyIconW;

namespace {

const UINT trayIconId = 1;
const UINT trayCallbackMessage = WM_USER;
const size_t searchBufferSize = 32768;

void AddTrayIcon(HWND window)
{
    trayIconData.record.cbSize = sizeof(TrayIconData);
    trayIconData.record.hWnd = window;
    trayIconData.record.uID = trayIconId;
    trayIconData.record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    trayIconData.record.uCallbackMessage = trayCallbackMessage;
    trayIconData.record.hIcon = trayIcon;
    wcscpy(trayIconData.record.szTip, L"APP_NAME");
    shellNotifyIcon(NIM_ADD, &trayIconData.record);
}

void SetServiceButtonCaption(HWND window, bool running)
{
    SetWindowTextW(GetDlgItem(window, IDC_SERVICE), running ? L"Stop Service" : L"Start Service");
}

INT_PTR OnInitDialog(HWND window)
{
    INITCOMMONCONTROLSEX classes = {};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_DATE_CLASSES;
    InitCommonControlsEx(&classes);
    appState.AttachMainWindow(window);
    trayIcon = LoadIconW(instanceHandle, MAKEINTRESOURCEW(IDI_TRAY));
    OpenLogFile(std::wstring());
    LogMessageA("Initialising database");
    appState.LoadFolders();
    AddTrayIcon(window);
    SetServiceButtonCaption(window, IsBackupServiceRunning());
    return TRUE;  // the dialog manager focuses "Add Folder"
}

void SearchStoredFiles(HWND window)
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[searchBufferSize]());
    GetWindowTextW(GetDlgItem(window, IDC_SEARCH_TEXT), buffer.get(), searchBufferSize - 1);
    ShowFolderFiles(window, buffer.get());
}

INT_PTR OnCommand(HWND window, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDOK:  // "Close"
        DestroyWindow(window);
        return TRUE;
    case IDCANCEL:  // "Go!", also the Escape key
        SearchStoredFiles(window);
        return FALSE;
    case IDC_APPLY:
        ShowWindow(window, SW_HIDE);  // the icon stays and brings it back
        return TRUE;
    case IDC_ADD_FOLDER:
        AddBackupFolder();
        return TRUE;
    case IDC_SETTINGS:
        DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_SETTINGS), window, SettingsDialogProc, 0);
        return FALSE;
    case IDC_SERVICE: {
        // The caption follows what the manager reported when the start or stop
        // ended, not the request: one that gave up at its bound leaves the
        // service, and so the caption, where it was.
        bool running = false;
        if (IsBackupServiceRunning())
            StopBackupService(&running);
        else
            StartBackupService(&running);
        SetServiceButtonCaption(window, running);
        return TRUE;
    }
    case IDC_FOLDER_LIST:
        if (HIWORD(wParam) == LBN_SELCHANGE) {
            HWND viewFiles = GetDlgItem(window, IDC_VIEW_FILES);
            ShowWindow(viewFiles, SW_SHOW);
            EnableWindow(viewFiles, TRUE);
        }
        return TRUE;
    case IDC_REMOVE:
        RemoveBackupFolder();
        return TRUE;
    case IDC_VIEW_FILES:
        ShowFolderFiles(window, std::wstring());
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Sent by the shell when a new taskbar has started; its icons are gone then.
    static const UINT taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");

    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(window);
    case WM_COMMAND:
        return OnCommand(window, wParam);
    case trayCallbackMessage:
        if (LOWORD(lParam) == WM_LBUTTONDBLCLK) {
            ShowWindow(window, SW_SHOWNORMAL);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        shellNotifyIcon(NIM_DELETE, &trayIconData.record);
        PostQuitMessage(0);
        return TRUE;
    default:
        break;
    }
    if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
        AddTrayIcon(window);
        return TRUE;
    }
    return FALSE;
}
