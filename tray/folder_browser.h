#pragma once
// The shell's folder browser as the control centre uses it: the desktop as
// root, a MAX_PATH display-name buffer, no flags.
#include <windows.h>
#include <shlobj.h>

#include <string>

enum class BrowseResult { cancelled, noPath, chosen };

// path holds the chosen folder's file-system path when the result is chosen.
BrowseResult BrowseForFolder(HWND owner, const wchar_t* title, BFFCALLBACK callback, std::wstring& path);
