// Planted where a service control manager that splits an unquoted image path
// at a blank would look for a program (C:\Program.exe and the like). If it is
// ever run it leaves its command line in a file named after itself plus ".ran".
#include <windows.h>

int main()
{
    wchar_t self[MAX_PATH + 8] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    lstrcpyW(self + length, L".ran");
    HANDLE file = CreateFileW(self, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        const wchar_t* line = GetCommandLineW();
        DWORD written = 0;
        WriteFile(file, line, lstrlenW(line) * sizeof(wchar_t), &written, nullptr);
        CloseHandle(file);
    }
    return 0;
}
