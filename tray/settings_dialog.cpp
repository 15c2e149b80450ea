#include "settings_dialog.h"

#include "folder_browser.h"
#include "folders.h"
#include "globals.h"
#include "password.h"
#include "resource.h"
#include "text.h"

#include <shlobj.h>

#include <memory>

namespace {

const size_t textBufferSize = 32768;
const int textReadLimit = 0x7FFF;  // includes the terminating zero

void ShowSettings(HWND dialog)
{
    const std::wstring key = SettingsKey();
    std::wstring destination, username, password;
    const std::wstring defaultMaxVersions = FormatWString(L"%d", defaultVersionLimit);
    std::wstring maxVersions = defaultMaxVersions;
    std::wstring scanInterval = L"15";

    ReadRegistryValue(key, destinationValueName, destination);
    ReadRegistryValue(key, usernameValueName, username);
    ReadRegistryValue(key, passwordValueName, password);
    ReadRegistryValue(key, maxVersionsValueName, maxVersions);
    if (maxVersions.empty())
        maxVersions = defaultMaxVersions;
    DecryptPassword(password);
    SetDlgItemTextW(dialog, IDC_DESTINATION, destination.c_str());
    SetDlgItemTextW(dialog, IDC_USERNAME, username.c_str());
    SetDlgItemTextW(dialog, IDC_PASSWORD, password.c_str());
    SetDlgItemTextW(dialog, IDC_MAX_VERSIONS, maxVersions.c_str());
    // An empty stored interval stays empty, unlike the version count.
    ReadRegistryValue(key, scanIntervalValueName, scanInterval);
    SetDlgItemTextW(dialog, IDC_SCAN_INTERVAL, scanInterval.c_str());
}

// The service keeps at least one version of every file whatever the setting,
// so a count it reads as below 1 (which many tools take for "keep all") would
// prune every file down to its newest version, and a text without a number
// would silently mean the default. Empty is the default itself.
bool VersionCountAccepted(const std::wstring& text)
{
    int number = 0;
    return text.empty() || (VersionNumberFromText(text, number) && number >= 1);
}

static_assert(defaultVersionLimit == 5, "the refusal names the default");

void RefuseVersionCount(HWND dialog)
{
    MessageBoxW(dialog, L"Maximum Versions must be a whole number of 1 or more, or empty for the default of 5.",
                L"Maximum Versions", MB_OK | MB_ICONWARNING);
    HWND field = GetDlgItem(dialog, IDC_MAX_VERSIONS);
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    SendMessageW(field, EM_SETSEL, 0, -1);
}

// False, with nothing written, when the version count is refused.
bool SaveSettings(HWND dialog)
{
    const std::wstring key = SettingsKey();
    std::wstring destination, username, password, maxVersions, scanInterval;

    GetDlgItemString(dialog, IDC_MAX_VERSIONS, maxVersions);
    if (!VersionCountAccepted(maxVersions)) {
        RefuseVersionCount(dialog);
        return false;
    }
    GetDlgItemString(dialog, IDC_DESTINATION, destination);
    GetDlgItemString(dialog, IDC_USERNAME, username);
    GetDlgItemString(dialog, IDC_PASSWORD, password);
    EncryptPassword(password);
    // Stored as typed: the service makes what it can of the numbers.
    WriteRegistryString(key, destinationValueName, destination);
    WriteRegistryString(key, usernameValueName, username);
    WriteRegistryString(key, passwordValueName, password);
    WriteRegistryString(key, maxVersionsValueName, maxVersions);
    GetDlgItemString(dialog, IDC_SCAN_INTERVAL, scanInterval);
    WriteRegistryString(key, scanIntervalValueName, scanInterval);
    return true;
}

void ChooseDestination(HWND dialog)
{
    std::wstring path;
    if (BrowseForFolder(dialog, L"Select destination folder", nullptr, path) == BrowseResult::chosen)
        SetDlgItemTextW(dialog, IDC_DESTINATION, path.c_str());  // written only on OK
}

}  // namespace

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        ShowSettings(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (SaveSettings(dialog))
                EndDialog(dialog, 0);
            return TRUE;
        case IDCANCEL:  // also Escape and the close box: nothing is written
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_CHANGE_DESTINATION:
            ChooseDestination(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

bool GetDlgItemString(HWND dialog, int controlId, std::wstring& out)
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[textBufferSize]());
    GetDlgItemTextW(dialog, controlId, buffer.get(), textReadLimit);
    out = buffer.get();
    return true;
}

bool WriteRegistryString(std::wstring subKey, std::wstring valueName, std::wstring value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG result = RegSetValueExW(key, valueName.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}
