#include <doctest/doctest.h>

#include <algorithm>

#include "file_rows.h"
#include "folders.h"
#include "service_core_support.h"

using svctest::Find;

namespace {

// Set by service_core_links.sh, which made the links and the drive letter.
std::string Environment(const char* name)
{
    char buffer[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA(name, buffer, MAX_PATH);
    INFO("run this program through service_core_links.sh: ", name, " is not set");
    REQUIRE(length > 0);
    REQUIRE(length < MAX_PATH);
    return buffer;
}

uint64_t IdOf(const std::string& path)
{
    uint64_t volume = 0;
    return GetFileId(path, volume);
}

}  // namespace

TEST_CASE("links that lead back into the walked tree are not followed; other folder links are")
{
    const std::string top = Environment("VARN_LINK_TREE") + "\\loop";
    // The links really loop: through them the walk would meet its own folders.
    REQUIRE(IdOf(top) != 0);
    REQUIRE(IdOf(top + "\\a\\back") == IdOf(top));
    REQUIRE(IdOf(top + "\\a\\b\\up") == IdOf(top + "\\a"));
    REQUIRE(IdOf(top + "\\side") == IdOf(top + "\\a"));

    test::LogCapture log;
    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, top, nullptr));

    std::vector<std::string> paths;
    for (const FileRecord& record : found)
        paths.push_back(record.path.substr(top.size() + 1));
    std::sort(paths.begin(), paths.end());
    CHECK(paths == std::vector<std::string>{"a", "a\\b", "a\\b\\two.txt", "a\\one.txt", "side", "side\\b",
                                            "side\\b\\two.txt", "side\\one.txt"});

    const FileRecord* a = Find(found, top, "a");
    const FileRecord* side = Find(found, top, "side");
    const FileRecord* sideB = Find(found, top, "side\\b");
    REQUIRE((a && side && sideB));
    CHECK(side->selfId == a->selfId);
    CHECK((side->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CHECK(sideB->parentId == a->selfId);
    CHECK(log.text().find("could not be scanned") == std::string::npos);
}

TEST_CASE("a drive root is walked as the bare drive, its entries as drive-rooted paths")
{
    const std::string drive = Environment("VARN_LINK_DRIVE");
    const std::wstring root = test::Wide(drive) + L"\\";
    REQUIRE(test::WriteFileBytes(root + L"f.txt", "f"));
    REQUIRE(CreateDirectoryW((root + L"sub").c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(root + L"sub\\g.txt", "g"));
    const uint64_t rootId = IdOf(drive + "\\");
    REQUIRE(rootId != 0);

    for (const std::string& given : {drive + "\\", drive}) {
        INFO(given);
        ScanList found;
        REQUIRE(WalkFolder(KnownFileMap(), found, given, nullptr));
        REQUIRE(found.size() == 3);
        const FileRecord* f = Find(found, drive, "f.txt");
        const FileRecord* sub = Find(found, drive, "sub");
        const FileRecord* g = Find(found, drive, "sub\\g.txt");
        REQUIRE((f && sub && g));
        CHECK(f->parentId == rootId);
        CHECK(sub->parentId == rootId);
        CHECK(g->parentId == sub->selfId);
    }

    // A pass loads the drive's rows with the folder text D:\ and finds them unchanged.
    svctest::DatabaseScope db;
    const KnownFileMap known = svctest::StoreFirstPass(drive + "\\");
    ScanList again;
    REQUIRE(WalkFolder(known, again, drive + "\\", nullptr));
    REQUIRE(again.size() == 3);
    for (const FileRecord& record : again) {
        CAPTURE(record.path);
        CHECK(record.unchanged == 1);
    }
}

TEST_CASE("the walk passes over one folder by its identity, whatever path leads to it")
{
    // The link tree's folder a, which side leads to as well.
    const std::string top = Environment("VARN_LINK_TREE") + "\\loop";
    PassedOverFolder linked;
    linked.identity.selfId = GetFileId(top + "\\a", linked.identity.volumeId);
    REQUIRE(linked.identity.selfId != 0);
    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, top, nullptr, &linked));
    CHECK(found.empty());
    CHECK((linked.metAt == top + "\\a" || linked.metAt == top + "\\side"));

    // A watched drive root holds the destination's VarnBack folder, at the root
    // or below a folder of the drive.
    const std::string drive = Environment("VARN_LINK_DRIVE");
    REQUIRE(test::WriteFileBytes(test::Wide(drive) + L"\\mine.txt", "mine"));
    REQUIRE(CreateDirectoryW((test::Wide(drive) + L"\\Backup").c_str(), nullptr));
    for (const std::wstring& destination : {test::Wide(drive) + L"\\", test::Wide(drive) + L"\\Backup"}) {
        const std::string storeFolder = test::Utf8(DestinationStoreFolder(destination));
        INFO(storeFolder);
        REQUIRE(CreateDirectoryW(test::Wide(storeFolder).c_str(), nullptr));
        REQUIRE(test::WriteFileBytes(test::Wide(storeFolder) + L"\\stored-copy", "stored"));
        PassedOverFolder passOver;
        passOver.identity.selfId = GetFileId(storeFolder, passOver.identity.volumeId);
        REQUIRE(passOver.identity.selfId != 0);
        ScanList walked;
        REQUIRE(WalkFolder(KnownFileMap(), walked, drive + "\\", nullptr, &passOver));
        CHECK(passOver.metAt == storeFolder);
        CHECK(Find(walked, drive, "mine.txt") != nullptr);
        CHECK(Find(walked, drive, "Backup") != nullptr);
        for (const FileRecord& record : walked)
            CHECK(record.path.find("VarnBack") == std::string::npos);
        test::RemoveTree(test::Wide(storeFolder));
    }
}
