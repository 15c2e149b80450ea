// gui_driver: drives the control centre's real windows from a process of its
// own, as a user would: by window caption and control id, with Win32
// messages. Every command that waits has a time limit. Text goes out as UTF-8.
//
//   wait CAPTION SECONDS             a dialog with this caption is visible
//   wait-gone CAPTION SECONDS        no dialog with this caption is left
//   count CAPTION                    prints the number of visible dialogs with this caption
//   visible CAPTION                  succeeds when the dialog is visible
//   rect CAPTION [ID]                prints x y width height of the dialog, or of its control ID
//   owner CAPTION                    prints the caption of the window that owns the dialog
//   focus CAPTION                    prints the id of the dialog's control that has the keyboard focus
//                                    (none when the focus is elsewhere)
//   click CAPTION ID                 presses an enabled button (posted BM_CLICK)
//   text CAPTION ID                  prints a control's text (ID 0: the caption)
//   set-text CAPTION ID TEXT         replaces a control's text
//   enabled CAPTION ID               prints 1 or 0
//   selection CAPTION ID             prints the first and the end character of an edit's selection
//   key CAPTION ID VK                posts a key press to a control
//   listbox CAPTION ID               prints the entries, one a line
//   listbox-click CAPTION ID INDEX   clicks an entry with the mouse
//   listview CAPTION ID              prints the columns (caption:width:alignment), then the rows; tab-separated
//   listview-select CAPTION ID LIST  selects exactly the rows of LIST (0,2,... or none)
//   msgbox CAPTION SECONDS [BUTTON]  waits for a message box, prints its text, presses BUTTON (1)
//   browse TITLE PATH SECONDS        waits for a folder browser showing TITLE, picks PATH, presses OK
//   tray CAPTION MOUSE               sends the icon's callback (dblclick, click, rclick) as the shell would
//   taskbar-created CAPTION          sends "TaskbarCreated" to the window
//   tray-icon CAPTION probe|delete   asks the shell whether the icon (uID 1) is there, or removes it
//
// As another program writing to the state database would:
//   db-lock DATABASE FLAG SECONDS    holds an exclusive lock on the database from a connection of
//                                    its own, prints "locked", and lets go once the file FLAG
//                                    exists (or after SECONDS)
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sqlite3.h"

// Runs only in a prefix of the tests' own.
#include "../support/test_prefix.h"

namespace {

const DWORD sendLimitMs = 5000;
const wchar_t* const browserCaption = L"Browse for Folder";

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

void Print(const std::wstring& line)
{
    const std::string bytes = Utf8(line) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

int Fail(const std::wstring& why)
{
    const std::string bytes = "gui_driver: " + Utf8(why) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stderr);
    fflush(stderr);
    return 1;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* ok = nullptr)
{
    DWORD_PTR result = 0;
    const LRESULT sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, sendLimitMs, &result);
    if (ok != nullptr)
        *ok = sent != 0;
    return static_cast<LRESULT>(result);
}

struct FindArgs {
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param)
{
    FindArgs* args = reinterpret_cast<FindArgs*>(param);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (wcscmp(className, L"#32770") != 0)
        return TRUE;
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (wcscmp(caption, args->caption) == 0)
        args->found.push_back(window);
    return TRUE;
}

std::vector<HWND> Dialogs(const std::wstring& caption, bool visibleOnly)
{
    FindArgs args{caption.c_str(), {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&args));
    std::vector<HWND> out;
    for (HWND window : args.found)
        if (!visibleOnly || IsWindowVisible(window))
            out.push_back(window);
    return out;
}

HWND Dialog(const std::wstring& caption)
{
    std::vector<HWND> found = Dialogs(caption, true);
    if (found.empty())
        found = Dialogs(caption, false);  // a hidden main window still takes messages
    return found.empty() ? nullptr : found.front();
}

template <typename Test>
bool WaitUntil(double seconds, Test test)
{
    const DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (;;) {
        if (test())
            return true;
        if (static_cast<LONG>(GetTickCount() - end) >= 0)
            return false;
        Sleep(100);
    }
}

// A block of memory in the GUI's process, for messages whose pointers must
// be valid over there.
class RemoteBlock {
public:
    RemoteBlock(HWND window, size_t size) : size_(size)
    {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
        if (process_ != nullptr)
            base_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    ~RemoteBlock()
    {
        if (base_ != nullptr)
            VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
        if (process_ != nullptr)
            CloseHandle(process_);
    }
    bool ok() const { return base_ != nullptr; }
    char* at(size_t offset) const { return base_ + offset; }
    bool Write(size_t offset, const void* data, size_t size)
    {
        SIZE_T done = 0;
        return WriteProcessMemory(process_, base_ + offset, data, size, &done) && done == size;
    }
    bool Read(size_t offset, void* data, size_t size)
    {
        SIZE_T done = 0;
        return ReadProcessMemory(process_, base_ + offset, data, size, &done) && done == size;
    }

private:
    HANDLE process_ = nullptr;
    char* base_ = nullptr;
    size_t size_;
};

const size_t remoteTextChars = 1024;

std::wstring ControlText(HWND control)
{
    bool ok = false;
    const LRESULT length = Send(control, WM_GETTEXTLENGTH, 0, 0, &ok);
    if (!ok)
        return std::wstring();
    std::vector<wchar_t> buffer(length + 2);
    Send(control, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    return buffer.data();
}

HWND Control(HWND dialog, int id) { return id == 0 ? dialog : GetDlgItem(dialog, id); }

std::wstring ListViewCell(HWND list, RemoteBlock& block, int row, int column)
{
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.cchTextMax = remoteTextChars;
    item.pszText = reinterpret_cast<wchar_t*>(block.at(sizeof(LVITEMW)));
    std::vector<wchar_t> text(remoteTextChars, L'\0');
    block.Write(sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t));
    block.Write(0, &item, sizeof item);
    Send(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(block.at(0)));
    block.Read(sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t));
    text.back() = L'\0';
    return text.data();
}

int ListView(HWND list)
{
    RemoteBlock block(list, sizeof(LVCOLUMNW) + sizeof(LVITEMW) + remoteTextChars * sizeof(wchar_t));
    if (!block.ok())
        return Fail(L"cannot reach the GUI's memory");
    HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER, 0, 0));
    const int columns = static_cast<int>(Send(header, HDM_GETITEMCOUNT, 0, 0));
    std::wstring line;
    for (int c = 0; c < columns; ++c) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.cchTextMax = remoteTextChars;
        column.pszText = reinterpret_cast<wchar_t*>(block.at(sizeof(LVCOLUMNW)));
        std::vector<wchar_t> text(remoteTextChars, L'\0');
        block.Write(sizeof(LVCOLUMNW), text.data(), text.size() * sizeof(wchar_t));
        block.Write(0, &column, sizeof column);
        Send(list, LVM_GETCOLUMNW, c, reinterpret_cast<LPARAM>(block.at(0)));
        block.Read(0, &column, sizeof column);
        block.Read(sizeof(LVCOLUMNW), text.data(), text.size() * sizeof(wchar_t));
        text.back() = L'\0';
        const wchar_t* alignment = (column.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_RIGHT ? L"right" : L"left";
        if (c > 0)
            line += L"\t";
        line += std::wstring(text.data()) + L":" + std::to_wstring(column.cx) + L":" + alignment;
    }
    Print(line);
    const int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < rows; ++r) {
        line.clear();
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                line += L"\t";
            line += ListViewCell(list, block, r, c);
        }
        Print(line);
    }
    return 0;
}

int SelectRows(HWND list, const std::wstring& rows)
{
    RemoteBlock block(list, sizeof(LVITEMW));
    if (!block.ok())
        return Fail(L"cannot reach the GUI's memory");
    auto setState = [&](int row, UINT state) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = state;
        block.Write(0, &item, sizeof item);
        Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.at(0)));
    };
    setState(-1, 0);
    if (rows == L"none")
        return 0;
    size_t start = 0;
    while (start <= rows.size()) {
        size_t comma = rows.find(L',', start);
        if (comma == std::wstring::npos)
            comma = rows.size();
        setState(_wtoi(rows.substr(start, comma - start).c_str()), LVIS_SELECTED | LVIS_FOCUSED);
        start = comma + 1;
    }
    return 0;
}

BOOL CALLBACK CollectChildText(HWND child, LPARAM param)
{
    wchar_t text[512] = {};
    GetWindowTextW(child, text, 512);
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(text);
    return TRUE;
}

bool ShowsText(HWND dialog, const std::wstring& text)
{
    std::vector<std::wstring> texts;
    EnumChildWindows(dialog, CollectChildText, reinterpret_cast<LPARAM>(&texts));
    for (const std::wstring& t : texts)
        if (t == text)
            return true;
    return false;
}

int Browse(const std::wstring& title, const std::wstring& path, double seconds)
{
    HWND browser = nullptr;
    const bool found = WaitUntil(seconds, [&] {
        for (HWND candidate : Dialogs(browserCaption, true))
            if (ShowsText(candidate, title)) {
                browser = candidate;
                return true;
            }
        return false;
    });
    if (!found)
        return Fail(L"no folder browser titled \"" + title + L"\"");
    const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    RemoteBlock block(browser, bytes);
    if (!block.ok() || !block.Write(0, path.c_str(), bytes))
        return Fail(L"cannot reach the GUI's memory");
    bool ok = false;
    Send(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(block.at(0)), &ok);
    if (!ok)
        return Fail(L"the browser did not take the selection");
    Sleep(200);  // the tree view expands the path before OK reads it
    PostMessageW(GetDlgItem(browser, IDOK), BM_CLICK, 0, 0);
    if (!WaitUntil(seconds, [&] { return !IsWindow(browser) || !IsWindowVisible(browser); }))
        return Fail(L"the browser did not close");
    return 0;
}

int TrayIcon(HWND window, const std::wstring& action)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = NOTIFYICONDATAW_V2_SIZE;
    data.hWnd = window;
    data.uID = 1;
    if (action == L"delete")
        return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : 1;
    data.uFlags = NIF_TIP;
    wcscpy(data.szTip, L"APP_NAME");  // unchanged: only asks whether the icon is there
    return Shell_NotifyIconW(NIM_MODIFY, &data) ? 0 : 1;
}

int Run(const std::vector<std::wstring>& a)
{
    const size_t n = a.size();
    if (n < 2)
        return Fail(L"no command");
    const std::wstring& command = a[1];
    auto need = [&](size_t count) { return n >= count + 2; };
    auto dialogOf = [&](const std::wstring& caption) {
        HWND dialog = Dialog(caption);
        if (dialog == nullptr)
            Fail(L"no dialog \"" + caption + L"\"");
        return dialog;
    };

    if (command == L"wait" && need(2)) {
        if (WaitUntil(_wtof(a[3].c_str()), [&] { return !Dialogs(a[2], true).empty(); }))
            return 0;
        return Fail(L"no dialog \"" + a[2] + L"\" appeared");
    }
    if (command == L"wait-gone" && need(2)) {
        if (WaitUntil(_wtof(a[3].c_str()), [&] { return Dialogs(a[2], false).empty(); }))
            return 0;
        return Fail(L"dialog \"" + a[2] + L"\" is still there");
    }
    if (command == L"count" && need(1)) {
        Print(std::to_wstring(Dialogs(a[2], true).size()));
        return 0;
    }
    if (command == L"msgbox" && need(2)) {
        HWND box = nullptr;
        if (!WaitUntil(_wtof(a[3].c_str()), [&] {
                std::vector<HWND> found = Dialogs(a[2], true);
                for (HWND candidate : found)
                    if (GetDlgItem(candidate, 0xFFFF) != nullptr) {
                        box = candidate;
                        return true;
                    }
                return false;
            }))
            return Fail(L"no message box \"" + a[2] + L"\"");
        Print(ControlText(GetDlgItem(box, 0xFFFF)));
        const int button = n >= 5 ? _wtoi(a[4].c_str()) : IDOK;
        PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
        if (!WaitUntil(10, [&] { return !IsWindow(box); }))
            return Fail(L"the message box did not close");
        return 0;
    }
    if (command == L"browse" && need(3))
        return Browse(a[2], a[3], _wtof(a[4].c_str()));

    if (n < 3)
        return Fail(L"missing arguments for " + command);
    HWND dialog = dialogOf(a[2]);
    if (dialog == nullptr)
        return 1;

    if (command == L"visible")
        return IsWindowVisible(dialog) ? 0 : 1;
    if (command == L"rect") {
        HWND window = n >= 4 ? GetDlgItem(dialog, _wtoi(a[3].c_str())) : dialog;
        if (window == nullptr)
            return Fail(L"no control " + a[3] + L" in \"" + a[2] + L"\"");
        RECT r = {};
        GetWindowRect(window, &r);
        Print(std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " + std::to_wstring(r.right - r.left) +
              L" " + std::to_wstring(r.bottom - r.top));
        return 0;
    }
    if (command == L"owner") {
        wchar_t caption[512] = {};
        GetWindowTextW(GetWindow(dialog, GW_OWNER), caption, 512);
        Print(caption);
        return 0;
    }
    if (command == L"focus") {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
            return Fail(L"no focus information");
        Print(info.hwndFocus != nullptr && IsChild(dialog, info.hwndFocus)
                  ? std::to_wstring(GetDlgCtrlID(info.hwndFocus))
                  : L"none");
        return 0;
    }
    if (command == L"taskbar-created") {
        bool ok = false;
        Send(dialog, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, &ok);
        return ok ? 0 : Fail(L"the window did not answer");
    }
    if (command == L"tray" && need(2)) {
        const UINT mouse = a[3] == L"dblclick" ? WM_LBUTTONDBLCLK : a[3] == L"rclick" ? WM_RBUTTONUP : WM_LBUTTONUP;
        PostMessageW(dialog, WM_USER, 1, mouse);
        return 0;
    }
    if (command == L"tray-icon" && need(2))
        return TrayIcon(dialog, a[3]);

    if (!need(2))
        return Fail(L"missing arguments for " + command);
    HWND control = Control(dialog, _wtoi(a[3].c_str()));
    if (control == nullptr)
        return Fail(L"no control " + a[3] + L" in \"" + a[2] + L"\"");

    if (command == L"click") {
        if (!IsWindowEnabled(control))
            return Fail(L"control " + a[3] + L" is disabled");
        PostMessageW(control, BM_CLICK, 0, 0);
        return 0;
    }
    if (command == L"text") {
        Print(ControlText(control));
        return 0;
    }
    if (command == L"enabled") {
        Print(IsWindowEnabled(control) ? L"1" : L"0");
        return 0;
    }
    if (command == L"selection") {
        const LRESULT range = Send(control, EM_GETSEL, 0, 0);
        Print(std::to_wstring(LOWORD(range)) + L" " + std::to_wstring(HIWORD(range)));
        return 0;
    }
    if (command == L"set-text" && need(3)) {
        bool ok = false;
        Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a[4].c_str()), &ok);
        return ok ? 0 : Fail(L"the control did not answer");
    }
    if (command == L"key" && need(3)) {
        const WPARAM key = _wtoi(a[4].c_str());
        PostMessageW(control, WM_KEYDOWN, key, 1);
        PostMessageW(control, WM_KEYUP, key, 0xC0000001);
        return 0;
    }
    if (command == L"listbox") {
        const int count = static_cast<int>(Send(control, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            const LRESULT length = Send(control, LB_GETTEXTLEN, i, 0);
            std::vector<wchar_t> text(length + 2, L'\0');
            Send(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
            Print(text.data());
        }
        return 0;
    }
    if (command == L"listbox-click" && need(3)) {
        const int index = _wtoi(a[4].c_str());
        const int height = static_cast<int>(Send(control, LB_GETITEMHEIGHT, 0, 0));
        const int top = static_cast<int>(Send(control, LB_GETTOPINDEX, 0, 0));
        const LPARAM point = MAKELPARAM(8, (index - top) * height + height / 2);
        Send(control, WM_LBUTTONDOWN, MK_LBUTTON, point);
        Send(control, WM_LBUTTONUP, 0, point);
        return 0;
    }
    if (command == L"listview")
        return ListView(control);
    if (command == L"listview-select" && need(3))
        return SelectRows(control, a[4]);
    return Fail(L"unknown command or missing arguments: " + command);
}

// A writer's lock, such as the service holds while it adds a row, for as long
// as the test needs it.
int HoldDatabaseLock(const std::wstring& database, const std::wstring& flag, double seconds)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Utf8(database).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return Fail(L"cannot open " + database);
    }
    sqlite3_busy_timeout(db, 10000);
    if (sqlite3_exec(db, "begin exclusive;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return Fail(L"cannot lock " + database);
    }
    Print(L"locked");
    WaitUntil(seconds, [&] { return GetFileAttributesW(flag.c_str()) != INVALID_FILE_ATTRIBUTES; });
    const bool released = sqlite3_exec(db, "commit;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return released ? 0 : Fail(L"cannot release the lock");
}

int RunDatabaseCommand(const std::vector<std::wstring>& a)
{
    if (a.size() >= 5 && a[1] == L"db-lock")
        return HoldDatabaseLock(a[2], a[3], _wtof(a[4].c_str()));
    return -1;  // not a database command
}

}  // namespace

int main()
{
    if (!test::InTestPrefix())
        return test::foreignPrefixExitCode;
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone, for the shell
    _setmode(_fileno(stderr), _O_BINARY);
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> a;
    for (int i = 0; i < count; ++i)
        a.push_back(arguments[i]);
    LocalFree(arguments);
    const int databaseResult = RunDatabaseCommand(a);
    if (databaseResult >= 0)
        return databaseResult;
    return Run(a);
}
