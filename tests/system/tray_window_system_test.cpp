// The main window made in this process from the program's own template, as
// WinMain makes it, under Xvfb: the record the shell is given for the
// notification-area icon, the close box, and the start/stop button against
// stand-in services. Message boxes are real and pressed by a thread of the
// test. tray_window.sh prepares the prefix for each suite.
#include <doctest/doctest.h>

#include "app_state.h"
#include "log.h"
#include "main_window.h"
#include "resource.h"
#include "service_control.h"
#include "test_support.h"
#include "tray_core_dialogs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct NotifyCall {
    DWORD message;
    TrayIconData data;  // the record as far as its cbSize reaches, the rest zero
    BOOL result;
};
std::vector<NotifyCall> notifyCalls;

// Keeps a copy of what the window gives the shell, then gives it to the real
// shell, so the icon is there as in the program.
BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAW data)
{
    NotifyCall call = {};
    call.message = message;
    memcpy(&call.data, data, std::min<size_t>(data->cbSize, sizeof call.data));
    call.result = Shell_NotifyIconW(message, data);
    notifyCalls.push_back(call);
    return call.result;
}

// Whether the shell has an icon 1 of this window: a change of nothing but
// the tip succeeds only for an icon it holds.
bool ShellHasIcon(HWND window)
{
    NOTIFYICONDATAW probe = {};
    probe.cbSize = NOTIFYICONDATAW_V2_SIZE;
    probe.hWnd = window;
    probe.uID = 1;
    probe.uFlags = NIF_TIP;
    wcscpy(probe.szTip, L"APP_NAME");
    return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

void CheckAddRecord(const NotifyCall& call, HWND window)
{
    CHECK(call.message == NIM_ADD);
    CHECK(call.result);  // the shell took it
    const NOTIFYICONDATAW& got = call.data.record;
    // 956 bytes in the 32-bit program; the 64-bit test build's handles are wider.
    CHECK(got.cbSize == (sizeof(void*) == 4 ? 956u : sizeof(TrayIconData)));
    CHECK(got.hWnd == window);
    CHECK(got.uID == 1);
    CHECK(got.uFlags == (NIF_MESSAGE | NIF_ICON | NIF_TIP));
    CHECK(got.uCallbackMessage == WM_USER);
    CHECK(got.hIcon != nullptr);
    CHECK(got.hIcon == LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY)));
    CHECK(test::Utf8(got.szTip) == "APP_NAME");
    // Every other byte of the 956 is zero: no balloon, no state, no version.
    TrayIconData expected = {};
    expected.record.cbSize = got.cbSize;
    expected.record.hWnd = got.hWnd;
    expected.record.uID = got.uID;
    expected.record.uFlags = got.uFlags;
    expected.record.uCallbackMessage = got.uCallbackMessage;
    expected.record.hIcon = got.hIcon;
    wcscpy(expected.record.szTip, L"APP_NAME");
    CHECK(memcmp(&call.data, &expected, sizeof expected) == 0);
}

// The main window as the program makes it, with a presser for the boxes it
// shows and a recorder in place of the shell call.
struct MainWindow {
    MainWindow()
    {
        ResetLogWriterForTest();  // the window opens the log itself
        instanceHandle = GetModuleHandleW(nullptr);
        shellNotifyIcon = RecordNotify;
        notifyCalls.clear();
        window = CreateDialogParamW(instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    }
    ~MainWindow()
    {
        if (IsWindow(window))
            DestroyWindow(window);
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        shellNotifyIcon = Shell_NotifyIconW;
        appState.AttachMainWindow(nullptr);
        ResetLogWriterForTest();
    }
    std::string Text(int id)
    {
        wchar_t text[256] = {};
        GetWindowTextW(GetDlgItem(window, id), text, 256);
        return test::Utf8(text);
    }
    // The start/stop button, pressed as a click reaches the dialog.
    void PressServiceButton()
    {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_SERVICE, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_SERVICE)));
    }
    std::string BoxesText()
    {
        std::string text;
        for (const test::SeenBox& box : presser.boxes())
            text += "[" + test::Utf8(box.caption) + "] " + test::Utf8(box.text) + "\n";
        return text;
    }

    test::DialogPresser presser;  // up before the window: its initialisation may show a box
    HWND window = nullptr;
};

using test::ServiceState;
using test::WaitFor;

// The stand-in service "VarnBack" in one of its modes, removed again at the
// end of the scope (a hanging one goes when the prefix's server ends).
class StubService {
public:
    explicit StubService(const std::wstring& mode)
    {
        const char* program = getenv("TRAY_WINDOW_STUB");
        REQUIRE(program != nullptr);
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        REQUIRE(manager_ != nullptr);
        const std::wstring command = L"\"" + test::Wide(program) + L"\" " + mode;
        service_ = CreateServiceW(manager_, L"VarnBack", L"VarnBack", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
        REQUIRE(service_ != nullptr);
    }
    ~StubService()
    {
        DeleteService(service_);
        CloseServiceHandle(service_);
        CloseServiceHandle(manager_);
    }
    bool SetStartType(DWORD startType)
    {
        return ChangeServiceConfigW(service_, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
    }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

// A poll bound lowered for the scope.
class PollLimit {
public:
    PollLimit(unsigned& limit, unsigned value) : limit_(limit), saved_(limit) { limit_ = value; }
    ~PollLimit() { limit_ = saved_; }

private:
    unsigned& limit_;
    unsigned saved_;
};

}  // namespace

TEST_SUITE("main window")
{
TEST_CASE("the icon is the window's in the shell, added again for a new taskbar, gone with the close box")
{
    MainWindow main;
    REQUIRE(main.window != nullptr);
    REQUIRE(notifyCalls.size() == 1);
    CheckAddRecord(notifyCalls[0], main.window);
    CHECK(ShellHasIcon(main.window));

    // A shell that starts again has lost every icon and announces a new
    // taskbar: the same record goes in again.
    NOTIFYICONDATAW lost = {};
    lost.cbSize = NOTIFYICONDATAW_V2_SIZE;
    lost.hWnd = main.window;
    lost.uID = 1;
    REQUIRE(Shell_NotifyIconW(NIM_DELETE, &lost));
    REQUIRE_FALSE(ShellHasIcon(main.window));
    SendMessageW(main.window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    REQUIRE(notifyCalls.size() == 2);
    CheckAddRecord(notifyCalls[1], main.window);
    CHECK(ShellHasIcon(main.window));

    // The close box and Alt+F4 send SC_CLOSE. Left to the dialog manager, its
    // WM_CLOSE would press the cancel id, which is "Go!".
    SendMessageW(main.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    CHECK_FALSE(IsWindow(main.window));
    REQUIRE(notifyCalls.size() == 3);
    CHECK(notifyCalls[2].message == NIM_DELETE);
    CHECK(notifyCalls[2].data.record.hWnd == main.window);
    CHECK(notifyCalls[2].data.record.uID == 1);
    CHECK(notifyCalls[2].result);
    CHECK_FALSE(ShellHasIcon(main.window));
    MSG quit = {};
    CHECK(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    CHECK(quit.wParam == 0);
    // The only box is the start-up one about the missing service: no search ran.
    INFO(main.BoxesText());
    CHECK(main.BoxesText() == "[BEEP] Error: Could not access service (1060)\n");
}
}

TEST_SUITE("stub service")
{
TEST_CASE("the start/stop button shows the state the manager reports, also after a start or stop gave up")
{
    const std::string refusedText = Win32ErrorTextA(ERROR_SERVICE_DISABLED);
    {
        // A service that starts and stops: the caption follows each change.
        StubService stub(L"slow");
        MainWindow main;
        REQUIRE(main.window != nullptr);
        CHECK(main.Text(IDC_SERVICE) == "Start Service");
        main.PressServiceButton();
        CHECK(main.Text(IDC_SERVICE) == "Stop Service");
        REQUIRE(WaitFor(20000, [] { return ServiceState() == SERVICE_RUNNING; }));
        main.PressServiceButton();  // stops 1.5 s after the control, well inside the bound
        CHECK(main.Text(IDC_SERVICE) == "Start Service");
        CHECK(ServiceState() == SERVICE_STOPPED);
        INFO(main.BoxesText());
        CHECK(main.presser.boxes().empty());
    }

    StubService stub(L"hang");
    MainWindow main;
    REQUIRE(main.window != nullptr);
    CHECK(main.Text(IDC_SERVICE) == "Start Service");

    // A start that never leaves the stopped state gives up at its bound.
    REQUIRE(stub.SetStartType(SERVICE_DISABLED));
    {
        PollLimit limit(serviceStartPollLimit, 5);
        main.PressServiceButton();
    }
    CHECK(ServiceState() == SERVICE_STOPPED);
    CHECK(main.Text(IDC_SERVICE) == "Start Service");
    CHECK(main.BoxesText() == "[BEEP] Error: The service did not start. " + refusedText + "\n");
    main.presser.Clear();

    REQUIRE(stub.SetStartType(SERVICE_DEMAND_START));
    main.PressServiceButton();
    CHECK(main.Text(IDC_SERVICE) == "Stop Service");
    REQUIRE(WaitFor(20000, [] { return ServiceState() == SERVICE_RUNNING; }));

    // A stop that never reaches the stopped state gives up at its bound.
    {
        PollLimit limit(serviceStopPollLimit, 5);
        main.PressServiceButton();
    }
    CHECK(ServiceState() == SERVICE_STOP_PENDING);
    CHECK(main.Text(IDC_SERVICE) == "Stop Service");
    CHECK(main.BoxesText() == "[BEEP] Error: The service has not stopped yet. \n");
}
}
