#pragma once
// Dismisses the dialogs that the control centre's functions open in this
// process, from a thread of its own: message boxes are recorded and closed
// with their OK button, folder browsers get a folder or are cancelled.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace test {

struct SeenBox {
    std::wstring caption;
    std::wstring text;
    std::string noteAtBox;  // what the note function gave while the box was up
};

class DialogPresser {
public:
    // Message boxes with one of these captions are pressed; others are left.
    explicit DialogPresser(std::vector<std::wstring> boxCaptions = {L"BEEP", L"Error", L"Varnoke Backup Centre"});
    ~DialogPresser();
    DialogPresser(const DialogPresser&) = delete;
    DialogPresser& operator=(const DialogPresser&) = delete;

    // The folder the next "Browse for Folder" dialog is given before OK; ""
    // cancels it.
    void SetBrowseChoice(const std::wstring& path);
    // Called on the presser's thread when a box is seen (for example to read
    // the log file at that moment).
    void SetNote(std::function<std::string()> note);

    std::vector<SeenBox> boxes();
    int browsersSeen();
    void Clear();

private:
    static DWORD WINAPI Run(void* self);
    static BOOL CALLBACK Visit(HWND window, LPARAM self);
    void Handle(HWND window);

    std::vector<std::wstring> captions_;
    std::wstring browseChoice_;
    std::function<std::string()> note_;
    std::vector<SeenBox> boxes_;
    std::vector<HWND> handled_;
    int browsers_ = 0;
    CRITICAL_SECTION lock_;
    volatile LONG stop_ = 0;
    HANDLE thread_ = nullptr;
};

// A bare top-level window holding a sorted list box with id 1017, in place of
// the main window.
class FolderListHost {
public:
    FolderListHost();
    ~FolderListHost();
    HWND window() const { return window_; }
    HWND list() const { return list_; }
    std::vector<std::string> Entries() const;  // UTF-8, in list order
    std::string Joined() const;                // entries joined with "|"
    void Fill(const std::vector<std::wstring>& entries);
    void Select(int index);

private:
    HWND window_ = nullptr;
    HWND list_ = nullptr;
};

}  // namespace test
