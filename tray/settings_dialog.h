#pragma once
// The settings dialog (dialog 104): the five backup settings in the registry.
#include <windows.h>

#include <string>

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// A control's text, at most 0x7FFF - 1 characters; always true.
bool GetDlgItemString(HWND dialog, int controlId, std::wstring& out);

// One REG_SZ value under HKEY_LOCAL_MACHINE\subKey, creating the key when missing.
bool WriteRegistryString(std::wstring subKey, std::wstring valueName, std::wstring value);
