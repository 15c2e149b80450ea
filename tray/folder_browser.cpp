#include "folder_browser.h"

#include <memory>

BrowseResult BrowseForFolder(HWND owner, const wchar_t* title, BFFCALLBACK callback, std::wstring& path)
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[MAX_PATH]());
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = buffer.get();
    info.lpszTitle = title;
    info.ulFlags = 0;
    info.lpfn = callback;
    LPITEMIDLIST item = SHBrowseForFolderW(&info);
    if (item == nullptr)
        return BrowseResult::cancelled;
    const BOOL isFolder = SHGetPathFromIDListW(item, buffer.get());
    CoTaskMemFree(item);
    if (!isFolder)
        return BrowseResult::noPath;
    path = buffer.get();
    return BrowseResult::chosen;
}
