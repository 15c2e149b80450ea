// A restore never writes through a junction or symbolic link below the folder
// it was asked to write into. The links are made by service_backup_restore_links.sh.
#include <doctest/doctest.h>

#include <algorithm>

#include "destination.h"
#include "folders.h"
#include "service_backup_fixture.h"
#include "text.h"

using backup_test::CountOf;
using backup_test::ServiceState;

namespace {

std::wstring Tree()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"VARN_RESTORE_LINKS", buffer, MAX_PATH);
    INFO("run this program through service_backup_restore_links.sh: VARN_RESTORE_LINKS is not set");
    REQUIRE(length > 0);
    REQUIRE(length < MAX_PATH);
    return buffer;
}

// As the restore command calls it: the chosen folder in long-path form, the stored path's part below it.
bool RestoreInto(const std::wstring& chosen, const std::wstring& below, const std::wstring& stored,
                 uint64_t attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    const std::wstring root = MakeLongPath(chosen);
    return RestoreFile(stored, root + below, attributes, test::ReadFileBytes(stored).size(), root.size());
}

std::vector<std::wstring> SortedNames(const std::wstring& folder)
{
    std::vector<std::wstring> names = test::ListFolder(folder);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_CASE("a restore writes nothing through a link below the chosen folder, and goes on with the next entry")
{
    const std::wstring tree = Tree();
    const std::wstring chosen = tree + L"\\chosen";
    const std::wstring outside = tree + L"\\outside";
    // What Wine shows of the links the wrapper made.
    REQUIRE(GetFileAttributesW((chosen + L"\\Docs").c_str()) ==
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    REQUIRE(GetFileAttributesW((chosen + L"\\real\\gone").c_str()) == INVALID_FILE_ATTRIBUTES);

    ServiceState state;
    test::TempFolder store(L"store");
    const std::wstring stored = store / L"v";
    REQUIRE(test::WriteFileBytes(stored, "the stored version"));
    struct Case {
        const wchar_t* below;
        uint64_t attributes;
        const wchar_t* link;  // below the chosen folder
    } cases[] = {
        {L"\\Docs\\sub\\c.txt", FILE_ATTRIBUTE_ARCHIVE, L"\\Docs"},
        {L"\\Docs\\c.txt", FILE_ATTRIBUTE_ARCHIVE, L"\\Docs"},
        {L"\\real\\deep\\x\\y.txt", FILE_ATTRIBUTE_ARCHIVE, L"\\real\\deep"},
        {L"\\real\\dir.txt", FILE_ATTRIBUTE_ARCHIVE, L"\\real\\dir.txt"},
        {L"\\Docs\\folder", FILE_ATTRIBUTE_DIRECTORY, L"\\Docs"},
        {L"\\real\\dir.txt", FILE_ATTRIBUTE_DIRECTORY, L"\\real\\dir.txt"},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.below));
        const std::wstring root = MakeLongPath(chosen);
        const std::string line = " RestoreFile() \"" + test::Utf8(root + c.link) +
                                 "\" is a junction or symbolic link: nothing is restored through it to \"" +
                                 test::Utf8(root + c.below) + "\"\r\n";
        const size_t before = CountOf(state.log.text(), line);
        CHECK_FALSE(RestoreInto(chosen, c.below, stored, c.attributes));
        CHECK(CountOf(state.log.text(), line) == before + 1);
        CHECK(SortedNames(outside) == std::vector<std::wstring>{L"keep.txt"});
        // The next entry goes on as ever.
        CHECK(RestoreInto(chosen, L"\\real\\ok.txt", stored));
        CHECK(test::ReadFileBytes(chosen + L"\\real\\ok.txt") == "the stored version");
    }
    CHECK(test::ReadFileBytes(outside + L"\\keep.txt") == "outside's own\n");
    CHECK(CountOf(state.log.text(), " is a junction or symbolic link: ") == 6);
    CHECK(SortedNames(chosen) == (std::vector<std::wstring>{L"Docs", L"real"}));
    CHECK(SortedNames(chosen + L"\\real") ==
          (std::vector<std::wstring>{L"deep", L"dir.txt", L"ok.txt"}));  // a dangling link is not listed

    // A dangling link leads nowhere: as a folder the restore ends with the copy
    // failure, as the target it is replaced by the restored file, and nothing is
    // made where either points.
    CHECK_FALSE(RestoreInto(chosen, L"\\real\\gone\\z.txt", stored));
    CHECK(CountOf(state.log.text(), " Could not copy file \"" + test::Utf8(stored) + "\" to \"" +
                                        test::Utf8(MakeLongPath(chosen) + L"\\real\\gone\\z.txt") +
                                        "\". The error is ") == 1);
    CHECK(RestoreInto(chosen, L"\\real\\dangling.txt", stored));
    CHECK(test::ReadFileBytes(chosen + L"\\real\\dangling.txt") == "the stored version");
    CHECK(GetFileAttributesW((chosen + L"\\real\\dangling.txt").c_str()) == FILE_ATTRIBUTE_ARCHIVE);
    CHECK(SortedNames(outside) == std::vector<std::wstring>{L"keep.txt"});
}

TEST_CASE("the chosen folder and the folders above it are followed where they are links")
{
    const std::wstring tree = Tree();
    ServiceState state;
    test::TempFolder store(L"store");
    const std::wstring stored = store / L"v";
    REQUIRE(test::WriteFileBytes(stored, "the stored version"));
    struct Case {
        std::wstring chosen;
        const wchar_t* below;
        std::wstring lands;
    } cases[] = {
        {tree + L"\\linkedchosen", L"\\Docs\\a.txt", tree + L"\\chosen2\\Docs\\a.txt"},
        {tree + L"\\above\\inner", L"\\b.txt", tree + L"\\abovetarget\\inner\\b.txt"},
        {tree + L"\\above\\inner", L"\\sub\\c.txt", tree + L"\\abovetarget\\inner\\sub\\c.txt"},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.chosen + c.below));
        CHECK(RestoreInto(c.chosen, c.below, stored));
        CHECK(test::ReadFileBytes(c.lands) == "the stored version");
    }
    CHECK(CountOf(state.log.text(), " RestoreFile() ") == 0);
    CHECK(CountOf(state.log.text(), " Could not copy file ") == 0);
}
