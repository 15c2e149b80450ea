// VarnBackupTray: the control centre. One modeless main dialog and its
// notification-area icon, all on this one thread.
#include <windows.h>
#include <objbase.h>

#include "app_state.h"
#include "main_window.h"
#include "resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    instanceHandle = instance;
    // The folder browsers need this apartment.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The template is WS_VISIBLE: the window shows when this returns.
    HWND mainWindow = CreateDialogParamW(instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);

    MSG message = {};
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            break;
        if (got == -1)
            return -1;
        if (!IsDialogMessageW(mainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (com == S_OK)
        CoUninitialize();
    return static_cast<int>(message.wParam);
}
