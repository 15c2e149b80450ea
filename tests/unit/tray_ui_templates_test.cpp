// The dialog templates and the icon as the program carries them: every
// control in tab order with its id, class, text, place, size and style; and
// the manifest as it is compiled into VarnBackupTray.exe itself.
#include <doctest/doctest.h>

#include "resource.h"
#include "test_support.h"

#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Control {
    int id;
    std::string className;
    std::string text;
    short x, y, cx, cy;
    DWORD style;
};

struct Dialog {
    DWORD style = 0;
    DWORD exStyle = 0;
    short cx = 0, cy = 0;
    std::string caption;
    WORD points = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::string face;
    std::vector<Control> controls;
};

// Reads a DLGTEMPLATEEX: the header, its font, then each item on a DWORD boundary.
class TemplateReader {
public:
    TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}

    Dialog Read()
    {
        Dialog dialog;
        REQUIRE(Word() == 1);       // dlgVer
        REQUIRE(Word() == 0xFFFF);  // signature of the extended form
        Dword();                    // helpID
        dialog.exStyle = Dword();
        dialog.style = Dword();
        const WORD count = Word();
        Word();
        Word();
        dialog.cx = static_cast<short>(Word());
        dialog.cy = static_cast<short>(Word());
        CHECK(NameOrOrdinal() == "");  // no menu
        CHECK(NameOrOrdinal() == "");  // the dialog class
        dialog.caption = NameOrOrdinal();
        if (dialog.style & DS_SETFONT) {
            dialog.points = Word();
            dialog.weight = Word();
            dialog.italic = Byte();
            dialog.charset = Byte();
            dialog.face = NameOrOrdinal();
        }
        for (WORD i = 0; i < count; ++i) {
            at_ = (at_ + 3) & ~static_cast<size_t>(3);
            Control control;
            Dword();  // helpID
            Dword();  // exStyle
            control.style = Dword();
            control.x = static_cast<short>(Word());
            control.y = static_cast<short>(Word());
            control.cx = static_cast<short>(Word());
            control.cy = static_cast<short>(Word());
            control.id = static_cast<int>(Dword());
            control.className = NameOrOrdinal(true);
            control.text = NameOrOrdinal();
            at_ += Word();  // creation data
            dialog.controls.push_back(control);
        }
        return dialog;
    }

private:
    WORD Word()
    {
        REQUIRE(at_ + 2 <= size_);
        WORD value;
        memcpy(&value, data_ + at_, 2);
        at_ += 2;
        return value;
    }
    DWORD Dword()
    {
        const DWORD low = Word();
        return low | (static_cast<DWORD>(Word()) << 16);
    }
    BYTE Byte()
    {
        REQUIRE(at_ < size_);
        return data_[at_++];
    }
    // A text, or an ordinal: a predefined class by its name, anything else as "#n".
    std::string NameOrOrdinal(bool isClass = false)
    {
        WORD first = Word();
        if (first == 0xFFFF) {
            const WORD ordinal = Word();
            const char* const classes[] = {"Button", "Edit", "Static", "ListBox"};
            if (isClass && ordinal >= 0x80 && ordinal <= 0x83)
                return classes[ordinal - 0x80];
            return "#" + std::to_string(ordinal);
        }
        std::wstring text;
        for (; first != 0; first = Word())
            text += static_cast<wchar_t>(first);
        return test::Utf8(text);
    }

    const BYTE* data_;
    size_t size_;
    size_t at_ = 0;
};

Dialog LoadDialog(int id, WORD language)
{
    HRSRC found = FindResourceExA(nullptr, RT_DIALOG, MAKEINTRESOURCEA(id), language);
    REQUIRE(found != nullptr);
    HGLOBAL loaded = LoadResource(nullptr, found);
    REQUIRE(loaded != nullptr);
    return TemplateReader(static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(nullptr, found)).Read();
}

const DWORD child = WS_CHILD | WS_VISIBLE;

void CheckControls(const Dialog& dialog, const std::vector<Control>& expected)
{
    REQUIRE(dialog.controls.size() == expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Control& got = dialog.controls[i];
        const Control& want = expected[i];
        CAPTURE(i);
        CAPTURE(want.id);
        CHECK(got.id == want.id);
        CHECK(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, got.className.c_str(), -1, want.className.c_str(),
                             -1) == CSTR_EQUAL);  // class names do not depend on case
        CHECK(got.text == want.text);
        CHECK(got.x == want.x);
        CHECK(got.y == want.y);
        CHECK(got.cx == want.cx);
        CHECK(got.cy == want.cy);
        CHECK(got.style == want.style);
    }
}

}  // namespace

TEST_CASE("the main window's template, in British English")
{
    const Dialog dialog = LoadDialog(IDD_MAIN, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
    CHECK(dialog.style ==
          (WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_CENTER | DS_SETFOREGROUND | DS_SETFONT | DS_FIXEDSYS));
    CHECK(dialog.exStyle == WS_EX_NOPARENTNOTIFY);
    CHECK(dialog.cx == 396);
    CHECK(dialog.cy == 240);
    CHECK(dialog.caption == "Varnoke Backup Control Centre");
    CHECK(dialog.points == 8);
    CHECK(dialog.weight == FW_NORMAL);
    CHECK(dialog.italic == 0);
    CHECK(dialog.charset == DEFAULT_CHARSET);
    CHECK(dialog.face == "MS Shell Dlg");
    const DWORD button = child | WS_TABSTOP | BS_PUSHBUTTON;
    const DWORD defaultButton = child | WS_TABSTOP | BS_DEFPUSHBUTTON;
    CheckControls(dialog, {
        {1003, "Button", "Add Folder", 4, 222, 50, 14, button},
        {1018, "Button", "Remove", 57, 222, 48, 14, button},
        {1004, "Button", "Settings", 110, 222, 50, 14, button},
        {1005, "Button", "Stop Service", 165, 222, 50, 14, button},
        {1, "Button", "Close", 342, 222, 50, 14, defaultButton},
        {3, "Button", "Apply", 232, 222, 50, 14, button},
        {1019, "Button", "View Files", 287, 222, 50, 14, button | WS_DISABLED},
        {1017, "ListBox", "", 4, 37, 388, 180,
         child | LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP},
        {-1, "Static", "Backup Folders", 4, 25, 388, 12, child | SS_LEFT | WS_GROUP},
        {1025, "Static", "Search for", 4, 9, 38, 12, child | SS_LEFT | WS_GROUP},
        {1026, "Edit", "", 46, 7, 290, 14, child | ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
        {2, "Button", "Go!", 342, 7, 50, 14, defaultButton},
    });
}

TEST_CASE("the settings and file list templates")
{
    const DWORD modal = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    const WORD anyLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const DWORD label = child | SS_LEFT;
    const DWORD edit = child | WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

    const Dialog settings = LoadDialog(IDD_SETTINGS, anyLanguage);
    CHECK(settings.style == modal);
    CHECK(settings.cx == 365);
    CHECK(settings.cy == 176);
    CHECK(settings.caption == "Settings");
    CHECK(settings.points == 8);
    CHECK(settings.face == "MS Shell Dlg");
    CheckControls(settings, {
        {1, "Button", "OK", 250, 155, 50, 14, child | BS_DEFPUSHBUTTON | WS_TABSTOP},
        {2, "Button", "Cancel", 308, 155, 50, 14, child | BS_PUSHBUTTON | WS_TABSTOP},
        {1009, "Static", "Update/Scan Interval", 18, 97, 65, 18, label},
        {1006, "Static", "Destination", 25, 32, 73, 8, label},
        {1007, "Static", "Username", 25, 49, 73, 8, label},
        {1008, "Static", "Password", 25, 68, 73, 8, label},
        {1010, "Button", "Destination/Credentials", 16, 15, 330, 71, child | BS_GROUPBOX},
        {1011, "Edit", "", 90, 28, 186, 14, edit},
        {1012, "Edit", "", 90, 46, 186, 14, edit},
        {1013, "Edit", "", 90, 66, 186, 14, edit | ES_PASSWORD},
        {1014, "Edit", "", 90, 95, 40, 14, edit | ES_RIGHT},
        {1015, "Static", "minute(s)", 134, 97, 73, 8, label},
        {1016, "Button", "Change", 283, 29, 50, 14, child | BS_PUSHBUTTON | WS_TABSTOP},
        {1017, "Static", "Maximum Versions", 18, 120, 68, 8, label},
        {1018, "Edit", "", 90, 117, 40, 14, edit | ES_RIGHT},
    });

    const Dialog files = LoadDialog(IDD_FILE_LIST, anyLanguage);
    CHECK(files.style == modal);
    CHECK(files.cx == 393);
    CHECK(files.cy == 176);
    CHECK(files.caption == "Dialog");
    CHECK(files.points == 8);
    CHECK(files.face == "MS Shell Dlg");
    CheckControls(files, {
        {1, "Button", "OK", 282, 155, 50, 14, child | BS_DEFPUSHBUTTON},
        {2, "Button", "Cancel", 336, 155, 50, 14, child | BS_PUSHBUTTON},
        {4, "Button", "View Versions", 6, 157, 50, 14, child | BS_DEFPUSHBUTTON | WS_DISABLED},
        {1021, "SysListView32", "", 7, 7, 379, 140, child | LVS_REPORT | LVS_ALIGNLEFT | WS_BORDER | WS_TABSTOP},
    });
}

TEST_CASE("the notification-area icon is one 32 x 32 image of 32 bits per pixel")
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDI_TRAY), RT_GROUP_ICON);
    REQUIRE(found != nullptr);
    const BYTE* group = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    REQUIRE(SizeofResource(nullptr, found) >= 6 + 14);
    WORD count;
    memcpy(&count, group + 4, 2);
    CHECK(count == 1);
    CHECK(group[6] == 32);  // width
    CHECK(group[7] == 32);  // height
    WORD bits;
    memcpy(&bits, group + 6 + 6, 2);
    CHECK(bits == 32);
    CHECK(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY)) != nullptr);
}

namespace {

const LPCWSTR manifestType = MAKEINTRESOURCEW(24);  // RT_MANIFEST

// VarnBackupTray.exe of this build, loaded for its resources only.
class TrayProgram {
public:
    TrayProgram()
    {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path = self;  // <build>\tests\tray_ui_test.exe
        for (int up = 0; up < 2; ++up)
            path.erase(path.find_last_of(L'\\'));
        path += L"\\tray\\VarnBackupTray.exe";
        INFO(test::Utf8(path));
        module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        REQUIRE(module_ != nullptr);
    }
    ~TrayProgram() { FreeLibrary(module_); }
    HMODULE module() const { return module_; }

private:
    HMODULE module_ = nullptr;
};

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages)
{
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

// The attributes of the first element of that name, as they are written.
std::map<std::string, std::string> Attributes(const std::string& xml, const std::string& element)
{
    std::map<std::string, std::string> attributes;
    size_t at = xml.find("<" + element);
    while (at != std::string::npos && std::string(" \t\r\n/>").find(xml[at + 1 + element.size()]) == std::string::npos)
        at = xml.find("<" + element, at + 1);
    if (at == std::string::npos)
        return attributes;
    const size_t end = xml.find('>', at);
    at += 1 + element.size();
    for (;;) {
        const size_t equals = xml.find('=', at);
        if (equals == std::string::npos || equals > end)
            break;
        const size_t nameStart = xml.find_first_not_of(" \t\r\n", at);
        const std::string name = xml.substr(nameStart, xml.find_last_not_of(" \t\r\n", equals - 1) + 1 - nameStart);
        const size_t open = xml.find('"', equals);
        const size_t close = xml.find('"', open + 1);
        if (open == std::string::npos || close == std::string::npos || close > end)
            break;
        attributes[name] = xml.substr(open + 1, close - open - 1);
        at = close + 1;
    }
    return attributes;
}

}  // namespace

TEST_CASE("the program's manifest asks for administrator rights and names its assembly")
{
    TrayProgram program;
    // One manifest, the one the loader reads for a program (id 1): a second one,
    // such as a tool chain's default, would leave it to chance which counts.
    std::vector<ULONG_PTR> names;
    EnumResourceNamesW(program.module(), manifestType, CountName, reinterpret_cast<LONG_PTR>(&names));
    REQUIRE(names.size() == 1);
    CHECK(names[0] == 1);
    std::vector<WORD> languages;
    EnumResourceLanguagesW(program.module(), manifestType, MAKEINTRESOURCEW(1), CountLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    CHECK(languages.size() == 1);

    HRSRC found = FindResourceW(program.module(), MAKEINTRESOURCEW(1), manifestType);
    REQUIRE(found != nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(program.module(), found)));
    const std::string xml(bytes, SizeofResource(program.module(), found));
    INFO(xml);

    struct Case {
        const char* element;
        const char* attribute;
        const char* value;
    };
    const Case cases[] = {
        {"assembly", "xmlns", "urn:schemas-microsoft-com:asm.v1"},
        {"assembly", "manifestVersion", "1.0"},
        {"assemblyIdentity", "name", "IsUserAdmin"},
        {"assemblyIdentity", "version", "1.0.0.0"},
        {"assemblyIdentity", "processorArchitecture", "X86"},
        {"assemblyIdentity", "type", "win32"},
        {"trustInfo", "xmlns", "urn:schemas-microsoft-com:asm.v3"},
        {"requestedExecutionLevel", "level", "requireAdministrator"},
        {"requestedExecutionLevel", "uiAccess", "false"},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.element) + " " + c.attribute);
        const std::map<std::string, std::string> attributes = Attributes(xml, c.element);
        const auto value = attributes.find(c.attribute);
        REQUIRE(value != attributes.end());
        CHECK(value->second == std::string(c.value));
    }
    const size_t description = xml.find("<description>");
    REQUIRE(description != std::string::npos);
    CHECK(xml.substr(description, xml.find("</description>") - description) ==
          "<description>Description of your application");

    // The execution level counts only inside trustInfo, security and requestedPrivileges.
    const char* const nesting[] = {"<trustInfo",           "<security>",   "<requestedPrivileges>",
                                   "<requestedExecutionLevel", "</requestedPrivileges>", "</security>",
                                   "</trustInfo>",         "</assembly>"};
    size_t last = 0;
    for (const char* tag : nesting) {
        CAPTURE(std::string(tag));
        const size_t at = xml.find(tag);
        REQUIRE(at != std::string::npos);
        CHECK(at > last);
        last = at;
    }
}
