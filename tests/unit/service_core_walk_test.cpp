#include <doctest/doctest.h>

#include "file_rows.h"
#include "service_core_support.h"
#include "text.h"

using svctest::Find;

namespace {

const FILETIME baseTime = svctest::MakeFileTime(2021, 3, 4, 5, 6, 7, 0);

std::string U8(const std::wstring& text) { return test::Utf8(text); }

void WriteAt(const std::wstring& path, const std::string& bytes, const FILETIME& time)
{
    REQUIRE(test::WriteFileBytes(path, bytes));
    REQUIRE(svctest::SetWriteTime(path, time));
}

FILETIME Later(FILETIME time, long long milliseconds)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += milliseconds * 10000;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

int Marks(const FileRecord& record) { return record.added + record.moved + record.modified + record.unchanged; }

// root\Report.txt, root\docs\Été.txt, root\docs\inner.txt and the empty folder root\other
void MakeBaseTree(const std::wstring& root)
{
    REQUIRE(CreateDirectoryW((root + L"\\docs").c_str(), nullptr));
    REQUIRE(CreateDirectoryW((root + L"\\other").c_str(), nullptr));
    WriteAt(root + L"\\Report.txt", "hello", baseTime);
    WriteAt(root + L"\\docs\\\u00c9t\u00e9.txt", "x", baseTime);
    WriteAt(root + L"\\docs\\inner.txt", "inner", baseTime);
}

void Move(const std::wstring& root, const wchar_t* from, const wchar_t* to)
{
    REQUIRE(MoveFileW((root + L"\\" + from).c_str(), (root + L"\\" + to).c_str()));
}

// Wine takes a rename that changes only letter case as done without doing it,
// so the new name is reached through a third one; the identity stays the same.
void MoveCase(const std::wstring& root, const wchar_t* from, const wchar_t* to)
{
    Move(root, from, L"case-step.tmp");
    Move(root, L"case-step.tmp", to);
}

}  // namespace

TEST_CASE("a first walk lists every entry in pre-order as added, with ids, parents, sizes and whole-second times")
{
    test::LogCapture log;
    svctest::StopByteScope stop;
    test::TempFolder folder;
    const std::wstring root = folder.path();
    REQUIRE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
    REQUIRE(CreateDirectoryW((root + L"\\sub\\inner").c_str(), nullptr));
    REQUIRE(CreateDirectoryW((root + L"\\empty").c_str(), nullptr));
    WriteAt(root + L"\\a.txt", "12345", svctest::MakeFileTime(2020, 1, 2, 3, 4, 5, 678));
    WriteAt(root + L"\\sub\\b.txt", "", baseTime);
    WriteAt(root + L"\\sub\\inner\\c.txt", "c", baseTime);
    WriteAt(root + L"\\z.txt", "zz", baseTime);
    // Hidden, system and read-only entries are walked like all others.
    REQUIRE(SetFileAttributesW((root + L"\\z.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                                 FILE_ATTRIBUTE_READONLY));
    REQUIRE(SetFileAttributesW((root + L"\\empty").c_str(), FILE_ATTRIBUTE_HIDDEN));

    const std::string top = U8(root);
    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, top, nullptr));
    REQUIRE(found.size() == 7);

    uint64_t rootVolume = 0;
    const uint64_t rootId = GetFileId(top, rootVolume);
    REQUIRE(rootId != 0);
    const FileRecord* a = Find(found, top, "a.txt");
    const FileRecord* sub = Find(found, top, "sub");
    const FileRecord* inner = Find(found, top, "sub\\inner");
    const FileRecord* c = Find(found, top, "sub\\inner\\c.txt");
    const FileRecord* z = Find(found, top, "z.txt");
    const FileRecord* empty = Find(found, top, "empty");
    REQUIRE((a && sub && inner && c && z && empty && Find(found, top, "sub\\b.txt")));

    for (const FileRecord& record : found) {
        CAPTURE(record.path);
        CHECK(record.added == 1);
        CHECK(Marks(record) == 1);
        CHECK(record.oldPath.empty());
        CHECK(record.localPath.empty());
        CHECK(record.volumeId == rootVolume);
        uint64_t volume = 0;
        CHECK(record.selfId == GetFileId(record.path, volume));
        CHECK(record.name == record.path.substr(record.path.rfind('\\') + 1));
    }
    CHECK(a->parentId == rootId);
    CHECK(sub->parentId == rootId);
    CHECK(inner->parentId == sub->selfId);
    CHECK(c->parentId == inner->selfId);
    CHECK(a->size == 5);
    CHECK(z->size == 2);
    CHECK((z->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY)) ==
          (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    CHECK((sub->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CHECK(KindText(sub->attributes) == "Folder");
    CHECK(KindText(a->attributes) == "File");
    const FILETIME whole = svctest::MakeFileTime(2020, 1, 2, 3, 4, 5, 0);
    CHECK(CompareFileTime(&a->lastWrite, &whole) == 0);

    // Pre-order: everything below a folder follows its record at once.
    for (size_t i = 0; i < found.size(); ++i) {
        if (!(found[i].attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const std::string prefix = found[i].path + "\\";
        size_t below = 0;
        for (const FileRecord& record : found)
            below += record.path.compare(0, prefix.size(), prefix) == 0;
        for (size_t j = i + 1; j <= i + below; ++j) {
            CAPTURE(found[i].path);
            REQUIRE(j < found.size());
            CHECK(found[j].path.compare(0, prefix.size(), prefix) == 0);
        }
    }

    const std::string text = log.text();
    CHECK(text.find(FormatString(" %s File ID %I64u, Volume ID %I64u\r\n", c->path.c_str(), c->selfId,
                                 c->volumeId)) != std::string::npos);
    CHECK(text.find(FormatString("%s File ID", sub->path.c_str())) == std::string::npos);
}

TEST_CASE("the identity query tells size and whole-second last-write time from the entry's handle")
{
    test::TempFolder folder;
    const std::wstring file = folder / L"a.txt";
    WriteAt(file, "12345", svctest::MakeFileTime(2020, 1, 2, 3, 4, 5, 678));
    REQUIRE(CreateHardLinkW((folder / L"b.txt").c_str(), file.c_str(), nullptr));
    const FILETIME whole = svctest::MakeFileTime(2020, 1, 2, 3, 4, 5, 0);
    for (const wchar_t* name : {L"a.txt", L"b.txt"}) {
        CAPTURE(U8(name));
        uint64_t volume = 0;
        FileHandleFacts facts;
        const uint64_t id = GetFileId(U8(folder / name), volume, &facts);
        CHECK(id != 0);
        CHECK(facts.size == 5);
        CHECK(CompareFileTime(&facts.lastWrite, &whole) == 0);
    }
    // No identity: nothing written.
    uint64_t volume = 7;
    FileHandleFacts facts;
    facts.size = 9;
    CHECK(GetFileId(U8(folder / L"missing.txt"), volume, &facts) == 0);
    CHECK(volume == 7);
    CHECK(facts.size == 9);
}

TEST_CASE("walks that find nothing or cannot start")
{
    test::LogCapture log;
    test::TempFolder folder;
    const std::string top = U8(folder.path());
    WriteAt(folder / L"plain.txt", "x", baseTime);
    REQUIRE(CreateDirectoryW((folder / L"empty").c_str(), nullptr));
    ScanList found;

    CHECK(WalkFolder(KnownFileMap(), found, top + "\\empty", nullptr));
    CHECK(found.empty());

    // No identity: false, and nothing is logged.
    CHECK_FALSE(WalkFolder(KnownFileMap(), found, top + "\\missing", nullptr));
    CHECK(found.empty());
    CHECK(log.text().find("missing") == std::string::npos);

    // An identity but no listing: the scan line with the error code.
    CHECK_FALSE(WalkFolder(KnownFileMap(), found, top + "\\plain.txt", nullptr));
    CHECK(found.empty());
    CHECK(log.text().find(" \\\\?\\" + top + "\\plain.txt could not be scanned. Win32 Error Code ") ==
          std::string::npos);
    CHECK(log.text().find(" " + top + "\\plain.txt could not be scanned. Win32 Error Code ") != std::string::npos);
}

TEST_CASE("changes since the stored state are classified by file identity")
{
    struct Case {
        const char* title;
        void (*change)(const std::wstring& root);
        const char* entry;     // the entry to look at, after the change
        const char* oldEntry;  // its stored path when it counts as moved
        const char* newParent; // the folder it now lies in, when that changed
        uint8_t moved, modified, unchanged;
        const char* added;     // an entry that is new, if any
    };
    const Case cases[] = {
        {"rename inside its folder", [](const std::wstring& r) { Move(r, L"Report.txt", L"Summary.txt"); },
         "Summary.txt", "Report.txt", nullptr, 1, 0, 0, nullptr},
        {"rename and edit",
         [](const std::wstring& r) {
             Move(r, L"Report.txt", L"Summary.txt");
             WriteAt(r + L"\\Summary.txt", "hello world", baseTime);
         },
         "Summary.txt", "Report.txt", nullptr, 1, 1, 0, nullptr},
        {"ASCII case-only rename", [](const std::wstring& r) { MoveCase(r, L"Report.txt", L"REPORT.TXT"); },
         "REPORT.TXT", nullptr, nullptr, 0, 0, 1, nullptr},
        {"case change of a non-ASCII letter",
         [](const std::wstring& r) { MoveCase(r, L"docs\\\u00c9t\u00e9.txt", L"docs\\\u00e9t\u00e9.txt"); },
         "docs\\\xc3\xa9t\xc3\xa9.txt", "docs\\\xc3\x89t\xc3\xa9.txt", nullptr, 1, 0, 0, nullptr},
        {"move to another subfolder", [](const std::wstring& r) { Move(r, L"docs\\inner.txt", L"other\\inner.txt"); },
         "other\\inner.txt", "docs\\inner.txt", "other", 1, 0, 0, nullptr},
        {"move and rename to the top", [](const std::wstring& r) { Move(r, L"docs\\inner.txt", L"top.txt"); },
         "top.txt", "docs\\inner.txt", "", 1, 0, 0, nullptr},
        {"folder rename marks only the folder", [](const std::wstring& r) { Move(r, L"docs", L"papers"); },
         "papers", "docs", nullptr, 1, 0, 0, nullptr},
        {"folder moved into a sibling", [](const std::wstring& r) { Move(r, L"docs", L"other\\docs"); },
         "other\\docs", "docs", "other", 1, 0, 0, nullptr},
        {"rewrite in the same second with the same size",
         [](const std::wstring& r) { WriteAt(r + L"\\Report.txt", "HELLO", Later(baseTime, 900)); }, "Report.txt",
         nullptr, nullptr, 0, 0, 1, nullptr},
        {"rewrite in a later second", [](const std::wstring& r) { WriteAt(r + L"\\Report.txt", "hello", Later(baseTime, 1000)); },
         "Report.txt", nullptr, nullptr, 0, 1, 0, nullptr},
        {"an earlier time counts too", [](const std::wstring& r) { WriteAt(r + L"\\Report.txt", "hello", Later(baseTime, -5000)); },
         "Report.txt", nullptr, nullptr, 0, 1, 0, nullptr},
        {"new size, same time", [](const std::wstring& r) { WriteAt(r + L"\\Report.txt", "hello!", baseTime); },
         "Report.txt", nullptr, nullptr, 0, 1, 0, nullptr},
        {"a folder whose contents changed stays unchanged",
         [](const std::wstring& r) {
             WriteAt(r + L"\\docs\\new.txt", "n", baseTime);
             REQUIRE(svctest::SetWriteTime(r + L"\\docs", Later(baseTime, 86400000)));
         },
         "docs", nullptr, nullptr, 0, 0, 1, "docs\\new.txt"},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        test::LogCapture log;
        svctest::DatabaseScope db;
        test::TempFolder folder;
        const std::wstring root = folder.path();
        const std::string top = U8(root);
        MakeBaseTree(root);
        ScanList before;
        const KnownFileMap known = svctest::StoreFirstPass(top, &before);
        REQUIRE(known.size() == 5);

        c.change(root);
        ScanList found;
        REQUIRE(WalkFolder(known, found, top, nullptr));

        const FileRecord* entry = Find(found, top, c.entry);
        REQUIRE(entry != nullptr);
        CHECK(entry->moved == c.moved);
        CHECK(entry->modified == c.modified);
        CHECK(entry->unchanged == c.unchanged);
        CHECK(entry->added == 0);
        const FileRecord& stored = known.at(IdentityOf(*entry));
        if (c.oldEntry != nullptr) {
            CHECK(entry->oldPath == top + "\\" + c.oldEntry);
            CHECK(entry->oldPath == stored.path);
            CHECK(entry->oldParentId == stored.parentId);
        } else {
            CHECK(entry->oldPath.empty());
        }
        if (c.newParent != nullptr) {
            uint64_t volume = 0;
            const uint64_t parent = GetFileId(*c.newParent ? top + "\\" + c.newParent : top, volume);
            CHECK(entry->parentId == parent);
            CHECK(entry->parentId != stored.parentId);
        } else {
            CHECK(entry->parentId == stored.parentId);
        }
        // Everything else is as stored, also the entries inside a moved folder.
        size_t added = 0;
        for (const FileRecord& record : found) {
            CAPTURE(record.path);
            CHECK(Marks(record) == (record.moved && record.modified ? 2 : 1));
            if (&record == entry)
                continue;
            if (c.added != nullptr && record.path == top + "\\" + c.added) {
                CHECK(record.added == 1);
                ++added;
                continue;
            }
            CHECK(record.unchanged == 1);
        }
        CHECK(added == (c.added != nullptr ? 1u : 0u));
        CHECK(found.size() == before.size() + added);
    }
}

TEST_CASE("identities the stored state does not hold on this volume are added")
{
    svctest::DatabaseScope db;
    test::TempFolder folder;
    const std::string top = U8(folder.path());
    MakeBaseTree(folder.path());
    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, top, nullptr));
    for (const FileRecord& record : found) {
        FileRecord elsewhere = record;
        elsewhere.volumeId = record.volumeId + 1;
        REQUIRE(InsertFileRow(elsewhere));
    }
    KnownFileMap known;
    REQUIRE(LoadKnownFiles(known, top));
    REQUIRE(known.size() == found.size());

    ScanList again;
    REQUIRE(WalkFolder(known, again, top, nullptr));
    REQUIRE(again.size() == found.size());
    for (const FileRecord& record : again) {
        CAPTURE(record.path);
        CHECK(record.added == 1);
        CHECK(Marks(record) == 1);
    }
}

TEST_CASE("a file with several names is marked once, under the name it is recorded with")
{
    // root\first.txt, root\sub\second.txt and root\sub\third.txt: one file, one index.
    struct Case {
        const char* title;
        const char* recorded;  // the name of the stored row, or null for none
        void (*change)(const std::wstring& root);
        size_t names;          // names of the file after the change
        const char* marked;    // the one name that carries a mark other than unchanged ("": any), or null
        uint8_t added, moved, modified;
    };
    const Case cases[] = {
        {"a first walk adds one name", nullptr, [](const std::wstring&) {}, 3, "", 1, 0, 0},
        {"stored under one name, nothing changed", "first.txt", [](const std::wstring&) {}, 3, nullptr, 0, 0, 0},
        {"stored under another name, nothing changed", "sub\\second.txt", [](const std::wstring&) {}, 3, nullptr,
         0, 0, 0},
        {"an edit is one change of the recorded name", "sub\\second.txt",
         [](const std::wstring& r) { WriteAt(r + L"\\first.txt", "linked, edited", baseTime); }, 3,
         "sub\\second.txt", 0, 0, 1},
        {"the recorded name removed: one other name is the move", "first.txt",
         [](const std::wstring& r) { REQUIRE(DeleteFileW((r + L"\\first.txt").c_str())); }, 2, "", 0, 1, 0},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.title));
        svctest::DatabaseScope db;
        test::TempFolder folder;
        const std::wstring root = folder.path();
        const std::string top = U8(root);
        REQUIRE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
        WriteAt(root + L"\\first.txt", "linked", baseTime);
        REQUIRE(CreateHardLinkW((root + L"\\sub\\second.txt").c_str(), (root + L"\\first.txt").c_str(), nullptr));
        REQUIRE(CreateHardLinkW((root + L"\\sub\\third.txt").c_str(), (root + L"\\first.txt").c_str(), nullptr));

        KnownFileMap known;
        if (c.recorded != nullptr) {
            ScanList first;
            REQUIRE(WalkFolder(KnownFileMap(), first, top, nullptr));
            REQUIRE(InsertFileRow(*Find(first, top, "sub")));
            REQUIRE(InsertFileRow(*Find(first, top, c.recorded)));
            REQUIRE(LoadKnownFiles(known, top));
            REQUIRE(known.size() == 2);
        }
        c.change(root);
        ScanList found;
        REQUIRE(WalkFolder(known, found, top, nullptr));

        uint64_t volume = 0;
        const uint64_t id = GetFileId(top + "\\sub\\third.txt", volume);
        size_t names = 0;
        const FileRecord* marked = nullptr;
        for (const FileRecord& record : found) {
            if (record.selfId != id)
                continue;
            CAPTURE(record.path);
            ++names;
            CHECK(Marks(record) == 1);
            if (record.unchanged)
                continue;
            CHECK(marked == nullptr);
            marked = &record;
        }
        CHECK(names == c.names);
        if (c.marked == nullptr) {
            CHECK(marked == nullptr);
            continue;
        }
        REQUIRE(marked != nullptr);
        if (*c.marked)
            CHECK(marked->path == top + "\\" + c.marked);
        CHECK(marked->added == c.added);
        CHECK(marked->moved == c.moved);
        CHECK(marked->modified == c.modified);
        if (c.moved)
            CHECK(marked->oldPath == top + "\\" + c.recorded);
    }
}

TEST_CASE("a file held open without sharing is left out, its log line showing no identity")
{
    test::LogCapture log;
    test::TempFolder folder;
    const std::string top = U8(folder.path());
    WriteAt(folder / L"held.txt", "busy", baseTime);
    WriteAt(folder / L"free.txt", "free", baseTime);
    HANDLE held = CreateFileW((folder / L"held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);

    ScanList found;
    const bool walked = WalkFolder(KnownFileMap(), found, top, nullptr);
    CloseHandle(held);
    CHECK(walked);
    REQUIRE(found.size() == 1);
    CHECK(found[0].name == "free.txt");
    CHECK(log.text().find(" " + top + "\\held.txt File ID 0, Volume ID 0\r\n") != std::string::npos);
}

namespace {

size_t stopAfter = 0;
size_t seen = 0;
volatile uint8_t* byteToSet = nullptr;

void SetByteAfterSome(const FileRecord&)
{
    if (++seen == stopAfter)
        *byteToSet = 1;
}

}  // namespace

TEST_CASE("a stop during the walk returns true with the entries seen so far")
{
    test::TempFolder folder;
    const std::wstring root = folder.path();
    const std::string top = U8(root);
    for (const wchar_t* sub : {L"\\a", L"\\a\\deep", L"\\b"}) {
        REQUIRE(CreateDirectoryW((root + sub).c_str(), nullptr));
        for (int i = 0; i < 4; ++i)
            WriteAt(root + sub + FormatWString(L"\\f%d.txt", i), "x", baseTime);
    }
    for (int i = 0; i < 4; ++i)
        WriteAt(root + FormatWString(L"\\f%d.txt", i), "x", baseTime);
    ScanList all;
    REQUIRE(WalkFolder(KnownFileMap(), all, top, nullptr));
    REQUIRE(all.size() == 19);

    for (bool useStopByte : {true, false}) {
        for (size_t after : {size_t(1), size_t(7), size_t(12), size_t(18)}) {
            CAPTURE(useStopByte);
            CAPTURE(after);
            svctest::StopByteScope stop;
            uint8_t abortByte = 0;
            byteToSet = useStopByte ? &stop.byte : &abortByte;
            stopAfter = after;
            seen = 0;
            walkRecordObserver = SetByteAfterSome;
            ScanList found;
            const bool walked = WalkFolder(KnownFileMap(), found, top, &abortByte);
            walkRecordObserver = nullptr;
            CHECK(walked);
            REQUIRE(found.size() == after);
            for (size_t i = 0; i < after; ++i)
                CHECK(found[i].path == all[i].path);
        }
    }
}

TEST_CASE("partial restore copies are known by their exact name and passed over; other names are walked")
{
    const std::wstring uuid = L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    struct Case {
        std::wstring name;
        bool partial;
    };
    const Case cases[] = {
        {L"~VarnBack-restore-" + uuid + L".partial", true},
        {L"~varnback-RESTORE-" + uuid + L".PARTIAL", true},
        {L"~VarnBack-restore-0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0.partial", true},
        {L"~VarnBack-restore-notes.partial", false},
        {L"VarnBack-restore-" + uuid + L".partial", false},
        {L"~Other-restore-" + uuid + L".partial", false},
        {L"~VarnBack-restore-" + uuid + L".partial.txt", false},
        {L"~VarnBack-restore-" + uuid + L"0.partial", false},
        {L"~VarnBack-restore-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f.partial", false},
        {L"~VarnBack-restore-0f1e2d3c4-b5a-6978-8796-a5b4c3d2e1f0.partial", false},
        {L"~VarnBack-restore-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg.partial", false},
        {L"~VarnBack-restore-" + uuid + L"-partial", false},
    };
    CHECK_FALSE(IsPartialRestoreName(L""));
    test::LogCapture log;
    test::TempFolder folder;
    const std::string top = U8(folder.path());
    // Each name in a folder of its own, as names that differ only in case are one on disk.
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CAPTURE(U8(cases[i].name));
        CHECK(IsPartialRestoreName(cases[i].name) == cases[i].partial);
        const std::wstring sub = folder / std::to_wstring(i);
        REQUIRE(CreateDirectoryW(sub.c_str(), nullptr));
        WriteAt(sub + L"\\" + cases[i].name, "x", baseTime);
    }
    // A folder bearing the name is walked, and what lies in it.
    REQUIRE(CreateDirectoryW((folder / cases[0].name).c_str(), nullptr));
    WriteAt(folder / (cases[0].name + L"\\inside.txt"), "in", baseTime);

    ScanList found;
    REQUIRE(WalkFolder(KnownFileMap(), found, top, nullptr));
    const std::string text = log.text();
    size_t walked = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CAPTURE(U8(cases[i].name));
        const std::string relative = std::to_string(i) + "\\" + U8(cases[i].name);
        CHECK(Find(found, top, std::to_string(i)) != nullptr);
        CHECK((Find(found, top, relative) != nullptr) == !cases[i].partial);
        const std::string line =
            " WalkFolder() " + top + "\\" + relative + " is a partial restore copy and is not backed up\r\n";
        CHECK((text.find(line) != std::string::npos) == cases[i].partial);
        walked += cases[i].partial ? 1 : 2;
    }
    CHECK(Find(found, top, U8(cases[0].name)) != nullptr);
    CHECK(Find(found, top, U8(cases[0].name) + "\\inside.txt") != nullptr);
    CHECK(found.size() == walked + 2);
}
