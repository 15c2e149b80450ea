#pragma once
// The main window (dialog 101) and the notification-area icon.
#include <windows.h>
#include <shellapi.h>

// The notification-area record in its full Vista-era form (956 bytes). The
// build's XP headers end the record before hBalloonIcon; the shell takes the
// size from cbSize, so the trailing field is added here and left zero.
struct TrayIconData {
    NOTIFYICONDATAW record;
    HICON hBalloonIcon;
};
// 956 bytes in the 32-bit programs; the 64-bit test build has wider handles.
static_assert(sizeof(void*) != 4 || sizeof(TrayIconData) == 956, "the notification-area record must be 956 bytes");

extern HICON trayIcon;
extern TrayIconData trayIconData;

// The shell call that adds and removes the icon (Shell_NotifyIconW); a test
// puts a recorder in its place to see the record the shell is given.
extern BOOL(WINAPI* shellNotifyIcon)(DWORD message, PNOTIFYICONDATAW data);

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
