// VarnBackupTray: the control centre. One modeless main dialog and its
// notification-area icon, all on this one thread.
#include <windows.h>
#include <objbase.h>

#include "app_state.h"
#include "log.h"
#include "main_window.h"
#include "resource.h"
#include "text.h"

namespace {

// Exit code of a run that could not make its main window.
const int noWindowExitCode = 1;

// The system's text for an error code, without the line end it comes with.
std::wstring ErrorText(DWORD error)
{
    std::wstring text = Win32ErrorTextW(error);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text;
}

// Without its window the program has no icon and nothing that could ever end
// its message loop: say so and end instead of waiting unseen.
int ReportNoWindow(DWORD error)
{
    const std::wstring reason = ErrorText(error);
    // The window's initialisation opens the log; it never ran.
    OpenLogFile(std::wstring());
    LogMessageW(L"WinMain() Could not create the main window. Error %lu: %s", static_cast<unsigned long>(error),
                reason.c_str());
    const std::wstring text =
        FormatWString(L"The control centre could not open its window and will close.\r\nError %lu: %s",
                      static_cast<unsigned long>(error), reason.c_str());
    MessageBoxW(nullptr, text.c_str(), L"Varnoke Backup Centre", MB_OK | MB_ICONERROR);
    return noWindowExitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    instanceHandle = instance;
    // The folder browsers need this apartment.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The template is WS_VISIBLE: the window shows when this returns.
    HWND mainWindow = CreateDialogParamW(instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (mainWindow == nullptr) {
        const int code = ReportNoWindow(GetLastError());
        if (com == S_OK)
            CoUninitialize();
        return code;
    }

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
