#include <doctest/doctest.h>

#include "folders.h"
#include "globals.h"
#include "test_support.h"

#include <stdexcept>

TEST_CASE("the names both programs build their folders and settings key from")
{
    CHECK(vendorName == L"Varnoke");
    CHECK(serviceName == L"VarnBack");
    CHECK(destinationValueName == L"Destination");
    CHECK(usernameValueName == L"Username");
    CHECK(passwordValueName == L"Password");
    CHECK(scanIntervalValueName == L"ScanInterval");
    CHECK(maxVersionsValueName == L"MaxVersions");
    CHECK(SettingsKey() == L"Software\\Varnoke\\VarnBackup");
    CHECK(VendorPathPiece() == L"\\Varnoke");
}

TEST_CASE("the per-machine folders lie under the common application data folder and are not created")
{
    const std::wstring vendorFolder = L"C:\\ProgramData\\Varnoke";
    test::RemoveTree(vendorFolder);
    CHECK(GetDataFolder() == L"C:\\ProgramData\\Varnoke\\VarnBack\\Data");
    CHECK(GetLogsFolder() == L"C:\\ProgramData\\Varnoke\\VarnBack\\Logs");
    CHECK_FALSE(test::FileExists(vendorFolder));
}

static std::string Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

static std::string DwordBytes(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST_CASE("ReadRegistryValue reads text and numbers of the settings key")
{
    test::SettingsScope settings;
    const std::wstring longText(5000, L'L');
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::string data;
        bool read;
        std::wstring out;
    } cases[] = {
        {L"Destination", REG_SZ, Bytes(std::wstring(L"\\\\server\\share\\B\u00e4ckup", 22)), true,
         L"\\\\server\\share\\B\u00e4ckup"},
        {L"Empty", REG_SZ, Bytes(std::wstring(L"", 1)), true, L""},  // empty, not the preset
        {L"NoData", REG_SZ, "", true, L""},
        {L"Unterminated", REG_SZ, Bytes(L"abc"), true, L"abc"},
        {L"InnerZero", REG_SZ, Bytes(std::wstring(L"ab\0cd\0", 6)), true, L"ab"},
        {L"Long", REG_SZ, Bytes(longText + L'\0'), true, longText},
        {L"Small", REG_DWORD, DwordBytes(7), true, L"7"},
        {L"Large", REG_DWORD, DwordBytes(70000), true, L"70000"},  // not its low 16 bits
        {L"AllOnes", REG_DWORD, DwordBytes(0xFFFFFFFFu), true, L"-1"},  // signed decimal
        {L"Lowest", REG_DWORD, DwordBytes(0x80000000u), true, L"-2147483648"},
        {L"Expand", REG_EXPAND_SZ, Bytes(std::wstring(L"%TEMP%", 7)), false, L""},
        {L"Multi", REG_MULTI_SZ, Bytes(std::wstring(L"a\0b\0", 5)), false, L""},
        {L"Binary", REG_BINARY, "\x01\x02\x03", false, L""},
        {L"Quad", REG_QWORD, std::string("\x05\0\0\0\0\0\0\0", 8), false, L""},
    };
    for (const Case& c : cases)
        settings.SetRaw(c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.name));
        std::wstring out = L"preset";
        CHECK(ReadRegistryValue(SettingsKey(), c.name, out) == c.read);
        CHECK(out == c.out);
    }

    // A missing value keeps the caller's preset.
    std::wstring out = L"15";
    CHECK_FALSE(ReadRegistryValue(SettingsKey(), L"Missing", out));
    CHECK(out == L"15");
}

TEST_CASE("ReadRegistryValue keeps the presets when the settings key is missing")
{
    test::SettingsScope settings;  // removes the key
    const std::wstring names[] = {destinationValueName, usernameValueName, passwordValueName,
                                  scanIntervalValueName, maxVersionsValueName};
    for (const std::wstring& name : names) {
        CAPTURE(test::Utf8(name));
        std::wstring out = L"15";
        CHECK_FALSE(ReadRegistryValue(SettingsKey(), name, out));
        CHECK(out == L"15");
    }
    // The values are read under HKEY_LOCAL_MACHINE only.
    settings.Set(scanIntervalValueName, L"30");
    std::wstring out = L"15";
    CHECK(ReadRegistryValue(SettingsKey(), scanIntervalValueName, out));
    CHECK(out == L"30");
    out = L"15";
    CHECK_FALSE(ReadRegistryValue(L"Software\\Varnoke\\Elsewhere", scanIntervalValueName, out));
    CHECK(out == L"15");
}

TEST_CASE("MakeLongPath and RemoveTrailingBackslash")
{
    struct Case {
        const wchar_t* path;
        const wchar_t* result;
    } longPaths[] = {
        {L"D:\\dir\\file", L"\\\\?\\D:\\dir\\file"},
        {L"\\\\server\\share\\file", L"\\\\?\\UNC\\server\\share\\file"},
        {L"\\\\", L"\\\\?\\\\\\"},  // exactly two backslashes: no share path
        {L"\\\\s", L"\\\\?\\UNC\\s"},
        {L"", L"\\\\?\\"},
        {L"relative\\x", L"\\\\?\\relative\\x"},  // no other test is made
    };
    for (const Case& c : longPaths) {
        CAPTURE(test::Utf8(c.path));
        CHECK(MakeLongPath(c.path) == c.result);
    }

    Case trailing[] = {
        {L"D:\\dir\\", L"D:\\dir"},
        {L"D:\\dir\\\\", L"D:\\dir\\"},  // only one is removed
        {L"D:\\dir", L"D:\\dir"},
        {L"\\", L""},
    };
    for (const Case& c : trailing) {
        CAPTURE(test::Utf8(c.path));
        CHECK(RemoveTrailingBackslash(c.path) == c.result);
    }
    CHECK_THROWS_AS(RemoveTrailingBackslash(L""), std::out_of_range);
}

static bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_CASE("CreateDirectoryPath creates the folders above a file, not the file")
{
    test::TempFolder folder;
    CHECK(CreateDirectoryPath(MakeLongPath(folder / L"a\\b\\file.txt")));
    CHECK(IsFolder(folder / L"a"));
    CHECK(IsFolder(folder / L"a\\b"));
    CHECK_FALSE(test::FileExists(folder / L"a\\b\\file.txt"));

    // Existing folders are fine; a trailing backslash creates the last one too.
    CHECK(CreateDirectoryPath(folder / L"a\\c\\d\\"));
    CHECK(IsFolder(folder / L"a\\c\\d"));

    // A file in the way is no error: the result is always true.
    REQUIRE(test::WriteFileBytes(folder / L"blocker", "x"));
    CHECK(CreateDirectoryPath(folder / L"blocker\\inner\\file.txt"));
    CHECK_FALSE(test::FileExists(folder / L"blocker\\inner"));
}

TEST_CASE("a destination is taken with backslashes for slashes, and used only when it is a full path")
{
    const std::wstring longFolder = L"C:\\" + std::wstring(300, L'l');
    struct Case {
        std::wstring destination;
        bool full;
        std::wstring normalized;
        std::wstring storeFolder;  // its VarnBack folder, for a full path
    } cases[] = {
        // As they always worked, unchanged.
        {L"C:\\Dest", true, L"C:\\Dest", L"C:\\Dest\\VarnBack"},
        {L"C:\\Dest\\", true, L"C:\\Dest\\", L"C:\\Dest\\VarnBack"},
        {L"d:\\", true, L"d:\\", L"d:\\VarnBack"},
        {L"D:\\Backup", true, L"D:\\Backup", L"D:\\Backup\\VarnBack"},
        {L"D:", true, L"D:", L"D:\\VarnBack"},  // a bare drive stands for its root
        {L"\\\\srv\\bk", true, L"\\\\srv\\bk", L"\\\\srv\\bk\\VarnBack"},
        {L"\\\\srv\\bk\\", true, L"\\\\srv\\bk\\", L"\\\\srv\\bk\\VarnBack"},
        {L"\\\\srv\\bk\\sub dir\\B\u00e4ckup", true, L"\\\\srv\\bk\\sub dir\\B\u00e4ckup",
         L"\\\\srv\\bk\\sub dir\\B\u00e4ckup\\VarnBack"},
        {longFolder, true, longFolder, longFolder + L"\\VarnBack"},
        // Forward slashes.
        {L"C:/Dest3", true, L"C:\\Dest3", L"C:\\Dest3\\VarnBack"},
        {L"C:/Dest3/", true, L"C:\\Dest3\\", L"C:\\Dest3\\VarnBack"},
        {L"C:\\a/b", true, L"C:\\a\\b", L"C:\\a\\b\\VarnBack"},
        {L"//srv/bk", true, L"\\\\srv\\bk", L"\\\\srv\\bk\\VarnBack"},
        // Not full paths.
        {L"Dest4", false, L"Dest4", L""},
        {L"C:Dest6", false, L"C:Dest6", L""},
        {L"\\Dest7", false, L"\\Dest7", L""},
        {L"/Dest7", false, L"\\Dest7", L""},
        {L"..\\Dest", false, L"..\\Dest", L""},
        {L"1:\\Dest", false, L"1:\\Dest", L""},
        {L"\\\\srv", false, L"\\\\srv", L""},
        {L"\\\\srv\\", false, L"\\\\srv\\", L""},
        {L"\\\\\\srv\\bk", false, L"\\\\\\srv\\bk", L""},
        {L"\\\\?\\C:\\Dest", false, L"\\\\?\\C:\\Dest", L""},
        {L"\\\\.\\C:\\Dest", false, L"\\\\.\\C:\\Dest", L""},
        {L"", false, L"", L""},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.destination));
        std::wstring destination = c.destination;
        CHECK(NormalizeDestination(destination) == c.full);
        CHECK(destination == c.normalized);
        if (c.full)
            CHECK(DestinationStoreFolder(destination) == c.storeFolder);
    }
}

TEST_CASE("a watched folder is refused, with the reason, when the walk could never list it")
{
    const char* const prefix = "it has a long-path or device prefix (\\\\?\\ or \\\\.\\)";
    const char* const slash = "it holds a forward slash";
    const char* const notFull =
        "it is not a full path (a drive letter, a colon and a backslash, or a share \\\\server\\share)";
    const char* const trailing = "it ends in a backslash and is not a drive root";
    const char* const emptyPiece = "it has an empty piece (two backslashes in a row)";
    const std::wstring longFolder = L"C:\\" + std::wstring(300, L'l');
    struct Case {
        std::wstring folder;
        const char* fault;  // null: accepted
    } cases[] = {
        // Accepted and walked as always.
        {L"C:\\Data\\Fotos", nullptr},
        {L"d:\\x", nullptr},
        {L"D:", nullptr},    // a bare drive is walked as its root
        {L"D:\\", nullptr},  // a drive root is walked as its bare drive
        {L"\\\\srv\\share", nullptr},
        {L"\\\\srv\\share\\sub", nullptr},
        {L"\\\\srv\\share\\sub dir\\B\u00e4ckup", nullptr},
        {L"C:\\a b\\d.o.t.s", nullptr},
        {L"C:\\100%_x \u00e9\u65e5", nullptr},
        {L"C:\\O'Brien", nullptr},
        {longFolder, nullptr},
        // Not refused here, although the walk lists nothing by them: names
        // that Windows forbids or resolves, which a folder browser never gives.
        {L"C:\\a\\.\\b", nullptr},
        {L"C:\\a\\..\\b", nullptr},
        {L"C:\\w*", nullptr},
        {L"C:\\O'Brien \"q\"", nullptr},
        {L"C:\\docs.", nullptr},
        // A second prefix in front of the walk's own.
        {L"\\\\?\\C:\\docs2", prefix},
        {L"\\\\.\\C:\\docs2", prefix},
        {L"\\\\?\\UNC\\srv\\share", prefix},
        {L"\\\\?\\", prefix},
        // Forward slashes are not taken for backslashes under the prefix.
        {L"C:/docs2", slash},
        {L"C:\\a/b", slash},
        {L"//srv/share", slash},
        {L"C:\\docs2/", slash},
        // Not full paths.
        {L"docs2", notFull},
        {L"C:docs2", notFull},
        {L"\\docs2", notFull},
        {L"..\\docs2", notFull},
        {L"1:\\docs2", notFull},
        {L"C", notFull},
        {L"\\", notFull},
        {L"\\\\", notFull},
        {L"\\\\?", notFull},
        {L"\\\\srv", notFull},
        {L"\\\\srv\\", notFull},
        {L"\\\\\\srv\\share", notFull},
        {L"\\\\srv\\\\share", notFull},
        // A trailing backslash other than a drive root's.
        {L"C:\\docs2\\", trailing},
        {L"C:\\a b\\", trailing},
        {L"D:\\\\", trailing},
        {L"\\\\srv\\share\\", trailing},
        {L"\\\\srv\\share\\sub\\", trailing},
        // Empty pieces.
        {L"C:\\\\docs2", emptyPiece},
        {L"C:\\a\\\\b", emptyPiece},
        {L"\\\\srv\\share\\\\sub", emptyPiece},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.folder));
        const char* fault = WatchedFolderFault(c.folder);
        CHECK(std::string(fault != nullptr ? fault : "(accepted)") ==
              std::string(c.fault != nullptr ? c.fault : "(accepted)"));
    }
}
