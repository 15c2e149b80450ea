#include "tray_core_dialogs.h"

#include "test_support.h"

#include <shlobj.h>

#include <algorithm>

namespace test {

DialogPresser::DialogPresser(std::vector<std::wstring> boxCaptions) : captions_(std::move(boxCaptions))
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

DialogPresser::~DialogPresser()
{
    InterlockedExchange(&stop_, 1);
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
    }
    DeleteCriticalSection(&lock_);
}

void DialogPresser::SetBrowseChoice(const std::wstring& path)
{
    EnterCriticalSection(&lock_);
    browseChoice_ = path;
    LeaveCriticalSection(&lock_);
}

void DialogPresser::SetNote(std::function<std::string()> note)
{
    EnterCriticalSection(&lock_);
    note_ = std::move(note);
    LeaveCriticalSection(&lock_);
}

std::vector<SeenBox> DialogPresser::boxes()
{
    EnterCriticalSection(&lock_);
    std::vector<SeenBox> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

int DialogPresser::browsersSeen()
{
    EnterCriticalSection(&lock_);
    int count = browsers_;
    LeaveCriticalSection(&lock_);
    return count;
}

void DialogPresser::Clear()
{
    EnterCriticalSection(&lock_);
    boxes_.clear();
    browsers_ = 0;
    LeaveCriticalSection(&lock_);
}

DWORD WINAPI DialogPresser::Run(void* self)
{
    DialogPresser& presser = *static_cast<DialogPresser*>(self);
    while (InterlockedCompareExchange(&presser.stop_, 0, 0) == 0) {
        EnumWindows(Visit, reinterpret_cast<LPARAM>(self));
        // Forget windows that are gone, so that a reused handle counts again.
        presser.handled_.erase(std::remove_if(presser.handled_.begin(), presser.handled_.end(),
                                              [](HWND w) { return !IsWindow(w); }),
                               presser.handled_.end());
        Sleep(50);
    }
    return 0;
}

BOOL CALLBACK DialogPresser::Visit(HWND window, LPARAM self)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0)
        reinterpret_cast<DialogPresser*>(self)->Handle(window);
    return TRUE;
}

static void Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void DialogPresser::Handle(HWND window)
{
    if (std::find(handled_.begin(), handled_.end(), window) != handled_.end())
        return;
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    if (wcscmp(caption, L"Browse for Folder") == 0) {
        handled_.push_back(window);
        EnterCriticalSection(&lock_);
        const std::wstring choice = browseChoice_;
        ++browsers_;
        LeaveCriticalSection(&lock_);
        if (choice.empty()) {
            Press(window, IDCANCEL);
            return;
        }
        // A selection made while the dialog still fills its tree can be lost:
        // make it again once the tree stands.
        for (int attempt = 0; attempt < 3; ++attempt) {
            Sleep(400);
            SendMessageW(window, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(choice.c_str()));
        }
        Sleep(200);
        Press(window, IDOK);
        return;
    }
    if (std::find(captions_.begin(), captions_.end(), caption) == captions_.end())
        return;
    handled_.push_back(window);
    wchar_t text[1024] = {};
    GetDlgItemTextW(window, 0xFFFF, text, 1024);
    EnterCriticalSection(&lock_);
    std::function<std::string()> note = note_;
    LeaveCriticalSection(&lock_);
    SeenBox box{caption, text, note ? note() : std::string()};
    EnterCriticalSection(&lock_);
    boxes_.push_back(box);
    LeaveCriticalSection(&lock_);
    Press(window, GetDlgItem(window, IDOK) != nullptr ? IDOK : IDCANCEL);
}

FolderListHost::FolderListHost()
{
    window_ = CreateWindowExW(0, L"STATIC", L"folder list host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    list_ = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | WS_VISIBLE | LBS_SORT | LBS_NOTIFY, 0, 0, 380, 260,
                            window_, reinterpret_cast<HMENU>(1017), GetModuleHandleW(nullptr), nullptr);
}

FolderListHost::~FolderListHost()
{
    if (window_ != nullptr)
        DestroyWindow(window_);
}

std::vector<std::string> FolderListHost::Entries() const
{
    std::vector<std::string> entries;
    const LRESULT count = SendMessageW(list_, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list_, LB_GETTEXTLEN, i, 0);
        std::wstring text(length + 1, L'\0');
        SendMessageW(list_, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(length);
        entries.push_back(Utf8(text));
    }
    return entries;
}

std::string FolderListHost::Joined() const
{
    std::string joined;
    for (const std::string& entry : Entries())
        joined += (joined.empty() ? "" : "|") + entry;
    return joined;
}

void FolderListHost::Fill(const std::vector<std::wstring>& entries)
{
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    for (const std::wstring& entry : entries)
        SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
}

void FolderListHost::Select(int index) { SendMessageW(list_, LB_SETCURSEL, index, 0); }

}  // namespace test
