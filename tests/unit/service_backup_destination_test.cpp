#include <doctest/doctest.h>

#include <algorithm>
#include <cwchar>
#include <ostream>
#include <set>

#include "destination.h"
#include "file_record.h"
#include "folders.h"
#include "service_backup_fixture.h"
#include "text.h"

using backup_test::CountOf;
using backup_test::IsUuidText;
using backup_test::MachineFolder;
using backup_test::ServiceState;
using backup_test::StoredNames;

namespace {

FileRecord FileAt(const std::wstring& path, uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    FileRecord record;
    record.path = test::Utf8(path);
    record.attributes = attributes;
    return record;
}

// What a user sees of a file: whether it is there, its bytes, last-write time and attributes.
struct FileState {
    bool exists = false;
    std::string bytes;
    unsigned long long written = 0;
    DWORD attributes = 0;
    bool operator==(const FileState& other) const
    {
        return exists == other.exists && bytes == other.bytes && written == other.written &&
               attributes == other.attributes;
    }
};

std::ostream& operator<<(std::ostream& out, const FileState& state)
{
    if (!state.exists)
        return out << "(no file)";
    return out << state.bytes.size() << " bytes, written " << state.written << ", attributes 0x" << std::hex
               << state.attributes << std::dec;
}

FileState StateOf(const std::wstring& path)
{
    FileState state;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return state;
    state.exists = true;
    state.bytes = test::ReadFileBytes(path);
    state.written = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
    state.attributes = data.dwFileAttributes;
    return state;
}

// Gives a file a last-write time in 2001, far from any time a copy would give it.
void SetOldWriteTime(const std::wstring& path)
{
    const SYSTEMTIME old = {2001, 2, 0, 3, 4, 5, 6, 0};
    FILETIME time;
    REQUIRE(SystemTimeToFileTime(&old, &time));
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    CHECK(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
}

std::wstring LastName(const std::string& localPath)
{
    const std::wstring wide = test::Wide(localPath);
    return wide.substr(wide.rfind(L'\\') + 1);
}

// Records what the share calls were given; the connection "succeeds".
struct ShareCalls {
    static int adds, cancels;
    static DWORD type;
    static bool localNameNull;
    static std::wstring remote, user, password, cancelled;
    static DWORD flags;
    static DWORD addResult;
    static void Reset()
    {
        adds = cancels = 0;
        type = flags = 0;
        localNameNull = false;
        remote = user = password = cancelled = L"";
        addResult = NO_ERROR;
    }
    static DWORD WINAPI Add(LPNETRESOURCEW resource, LPCWSTR pass, LPCWSTR name, DWORD connectFlags)
    {
        ++adds;
        type = resource->dwType;
        localNameNull = resource->lpLocalName == nullptr;
        remote = resource->lpRemoteName;
        password = pass ? pass : L"<null>";
        user = name ? name : L"<null>";
        flags = connectFlags;
        return addResult;
    }
    static DWORD WINAPI Cancel(LPCWSTR name, DWORD, BOOL)
    {
        ++cancels;
        cancelled = name;
        return NO_ERROR;
    }
};
int ShareCalls::adds, ShareCalls::cancels;
DWORD ShareCalls::type, ShareCalls::flags, ShareCalls::addResult;
bool ShareCalls::localNameNull;
std::wstring ShareCalls::remote, ShareCalls::user, ShareCalls::password, ShareCalls::cancelled;

// Puts the real connection calls back at the end of a test.
struct ShareSeams {
    explicit ShareSeams(bool fakeAdd)
    {
        ShareCalls::Reset();
        if (fakeAdd)
            addConnectionFunction = ShareCalls::Add;
        cancelConnectionFunction = ShareCalls::Cancel;
    }
    ~ShareSeams()
    {
        addConnectionFunction = WNetAddConnection2W;
        cancelConnectionFunction = WNetCancelConnection2W;
    }
};

const std::wstring shareRoot = L"\\\\backupsrv\\bk";

}  // namespace

TEST_CASE("a local destination gets the machine folder below it, in long-path form")
{
    ServiceState state;
    test::TempFolder dest(L"dest");
    const bool rootHadFolder = test::FileExists(L"C:\\VarnBack");
    std::wstring slashed = dest.path();
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    // Longer than MAX_PATH once the machine folder is below it.
    const std::wstring deep = dest.path() + L"\\" + std::wstring(240, L'd');
    REQUIRE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    struct Case {
        std::wstring destination;
        std::wstring machine;
    } cases[] = {
        {dest.path(), MachineFolder(dest.path())},
        {dest.path() + L"\\", MachineFolder(dest.path())},
        {L"C:\\", L"C:\\VarnBack\\" + GetComputerNameString()},
        {L"C:", L"C:\\VarnBack\\" + GetComputerNameString()},  // a bare drive is its root
        {deep, MachineFolder(deep)},
        {slashed, MachineFolder(dest.path())},
        {slashed + L"/", MachineFolder(dest.path())},
        {L"C:/", L"C:\\VarnBack\\" + GetComputerNameString()},
    };
    const size_t count = sizeof cases / sizeof cases[0];
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.destination));
        const LONG before = connectionCount;
        NetworkDestination destination;
        CHECK(destination.Connect(c.destination, L"", L""));
        CHECK(destination.destinationPath == L"\\\\?\\" + c.machine);
        CHECK_FALSE(destination.isUnc);
        CHECK(test::FileExists(L"\\\\?\\" + c.machine));
        CHECK(connectionCount == before);
        CHECK(destination.Disconnect());
        CHECK(connectionCount == before);
    }
    if (!rootHadFolder)
        test::RemoveTree(L"C:\\VarnBack");
    RemoveDirectoryW((L"\\\\?\\" + MachineFolder(deep)).c_str());
    RemoveDirectoryW((L"\\\\?\\" + deep + L"\\VarnBack").c_str());
    RemoveDirectoryW((L"\\\\?\\" + deep).c_str());
    const std::string log = state.log.text();
    CHECK(CountOf(log, " Not a UNC path\r\n") == count);
    CHECK(CountOf(log, " Destination path is \\\\?\\") == count);
    CHECK(CountOf(log, " Logging off, not a UNC path\r\n") == count);
}

TEST_CASE("a destination that is not a full path is refused without touching the file system")
{
    ServiceState state;
    ShareSeams seams(true);
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    for (const wchar_t* text : {L"Dest4", L"C:Dest6", L"\\Dest7", L"..\\Dest8", L"\\\\srv", L"\\\\srv\\",
                                L"//srv", L"\\\\?\\C:\\Dest9", L"\\\\.\\C:\\Dest9", L"1:\\Dest"}) {
        CAPTURE(test::Utf8(text));
        const LONG before = connectionCount;
        NetworkDestination destination;
        CHECK_FALSE(destination.Connect(text, L"", L""));
        CHECK_FALSE(destination.HasMachineFolder());
        CHECK(connectionCount == before);
        CHECK(ShareCalls::adds == 0);
        CHECK(CountOf(state.log.text(), " Connect() The destination " + test::Utf8(text) +
                                            " is not a full path and is not used\r\n") == 1);
        CHECK(destination.Disconnect());
        CHECK(connectionCount == before);
    }
    CHECK_FALSE(test::FileExists(std::wstring(current) + L"\\Dest4"));
    CHECK_FALSE(test::FileExists(L"C:\\Dest7"));

    // A share written with forward slashes is connected as \\server\share.
    NetworkDestination share;
    CHECK(share.Connect(L"//backupsrv/bk", L"", L""));
    CHECK(ShareCalls::remote == shareRoot);
    CHECK(share.destinationPath == L"\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\" + GetComputerNameString());
    share.Disconnect();
    CHECK(connectionCount == 0);
    test::RemoveTree(shareRoot + L"\\VarnBack");
}

TEST_CASE("an empty destination is refused without touching the file system")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::WriteFileBytes(source / L"a.txt", "abc");
    const LONG before = connectionCount;
    NetworkDestination destination;
    CHECK_FALSE(destination.Connect(L"", L"user", L"pw"));
    CHECK(connectionCount == before);
    CHECK(destination.destinationPath.empty());

    FileRecord record = FileAt(source / L"a.txt");
    CHECK_FALSE(destination.BackupFile(record));
    CHECK(record.localPath.empty());
    FileRecord gone = FileAt(L"C:\\varntest\\never\\there.txt");
    CHECK_FALSE(destination.DeleteMirroredFile(gone));
    CHECK_FALSE(test::FileExists(L"C:\\varntest\\never"));
    CHECK(destination.Disconnect());
    CHECK(connectionCount == before);
}

TEST_CASE("BackupFile stores each version as a byte-identical copy under a new UUID name")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    const std::wstring sourcePath = source / L"r\u00e9sum\u00e9 100%s.bin";
    std::string bytes("binary\0\r\n\xff content", 18);
    for (int i = 0; i < 5000; ++i)
        bytes += static_cast<char>(i * 7);
    REQUIRE(test::WriteFileBytes(sourcePath, bytes));

    NetworkDestination destination;
    REQUIRE(destination.Connect(dest.path(), L"", L""));
    const std::wstring machine = MachineFolder(dest.path());

    FileRecord first = FileAt(sourcePath);
    FileRecord second = FileAt(sourcePath);
    REQUIRE(destination.BackupFile(first));
    REQUIRE(destination.BackupFile(second));
    CHECK(first.localPath != second.localPath);
    for (const FileRecord* record : {&first, &second}) {
        const std::wstring name = LastName(record->localPath);
        CHECK(IsUuidText(name));
        CHECK(record->localPath == test::Utf8(L"\\\\?\\" + machine + L"\\" + name));
        CHECK(test::ReadFileBytes(machine + L"\\" + name) == bytes);
    }
    CHECK(StoredNames(machine).size() == 2);
    const std::string log = state.log.text();
    CHECK(log.find(" Copied file \"" + test::Utf8(sourcePath) + "\" to \"" + first.localPath + "\"\r\n") !=
          std::string::npos);

    SUBCASE("a folder gets a name in the machine folder and no file")
    {
        FileRecord folder = FileAt(source.path(), FILE_ATTRIBUTE_DIRECTORY);
        CHECK(destination.BackupFile(folder));
        CHECK(IsUuidText(LastName(folder.localPath)));
        CHECK_FALSE(test::FileExists(test::Wide(folder.localPath)));
        CHECK(StoredNames(machine).size() == 2);
    }
    SUBCASE("a missing source fails with the system's text and code")
    {
        FileRecord missing = FileAt(source / L"missing.txt");
        CHECK_FALSE(destination.BackupFile(missing));
        CHECK_FALSE(missing.localPath.empty());
        CHECK_FALSE(test::FileExists(test::Wide(missing.localPath)));
        const std::string text = state.log.text();
        CHECK(text.find(" Could not copy file \"" + test::Utf8(source / L"missing.txt") + "\" to \"" +
                        missing.localPath + "\". The error is ") != std::string::npos);
        CHECK(text.find(", code 2\r\n") != std::string::npos);
    }
}

static RPC_STATUS RPC_ENTRY FailingUuid(UUID* uuid)
{
    memset(uuid, 0, sizeof *uuid);
    return RPC_S_UUID_NO_ADDRESS;
}

TEST_CASE("stored versions get distinct names even when the UUID source fails")
{
    ServiceState state;
    CHECK(IsUuidText(NewUuidString()));
    std::set<std::wstring> names;
    names.insert(NewUuidString());
    uuidCreateFunction = FailingUuid;
    for (int i = 0; i < 2000; ++i) {
        const std::wstring name = NewUuidString();
        REQUIRE(IsUuidText(name));
        names.insert(name);
    }
    test::TempFolder dest(L"dest");
    NetworkDestination destination;
    destination.Connect(dest.path(), L"", L"");
    FileRecord one = FileAt(dest.path(), FILE_ATTRIBUTE_DIRECTORY);
    FileRecord two = one;
    destination.BackupFile(one);
    destination.BackupFile(two);
    uuidCreateFunction = UuidCreateSequential;
    CHECK(names.size() == 2001);
    CHECK(one.localPath != two.localPath);
    CHECK(IsUuidText(LastName(one.localPath)));
}

namespace {
LPVOID seenContext = nullptr;
LPBOOL seenCancelFlag = nullptr;

// Behaves as CopyFileExW does on Windows: the progress routine is asked after
// each chunk, and a cancelled copy removes its partly written target.
BOOL WINAPI ChunkedCopy(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context, LPBOOL cancel,
                        DWORD)
{
    seenContext = context;
    seenCancelFlag = cancel;
    const std::string bytes = test::ReadFileBytes(source);
    if (!test::WriteFileBytes(target, bytes.substr(0, bytes.size() / 2))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    LARGE_INTEGER total, done;
    total.QuadPart = bytes.size();
    done.QuadPart = bytes.size() / 2;
    const DWORD answer = progress(total, done, total, done, 1, CALLBACK_CHUNK_FINISHED, nullptr, nullptr, context);
    if (answer == PROGRESS_CANCEL || (cancel != nullptr && *cancel)) {
        DeleteFileW(target);
        SetLastError(ERROR_REQUEST_ABORTED);
        return FALSE;
    }
    return test::WriteFileBytes(target, bytes);
}
}  // namespace

TEST_CASE("the progress routine cancels a copy once the copy stop flag is set")
{
    ServiceState state;
    LARGE_INTEGER zero = {};
    BOOL flag = FALSE;
    struct Case {
        LPVOID context;
        BOOL value;
        DWORD answer;
    } cases[] = {{nullptr, FALSE, PROGRESS_CONTINUE}, {&flag, FALSE, PROGRESS_CONTINUE}, {&flag, TRUE, PROGRESS_CANCEL}};
    for (const Case& c : cases) {
        flag = c.value;
        CHECK(CopyProgressRoutine(zero, zero, zero, zero, 1, CALLBACK_CHUNK_FINISHED, nullptr, nullptr, c.context) ==
              c.answer);
    }
    CHECK(CountOf(state.log.text(), " Aborting file copy\r\n") == 1);

    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    const std::wstring sourcePath = source / L"big.bin";
    REQUIRE(test::WriteFileBytes(sourcePath, std::string(100000, 'x')));
    NetworkDestination destination;
    destination.Connect(dest.path(), L"", L"");
    copyFileFunction = ChunkedCopy;

    FileRecord record = FileAt(sourcePath);
    CHECK(destination.BackupFile(record));
    BOOL* const stopFlag = const_cast<BOOL*>(&copyStopFlag);
    CHECK(seenContext == stopFlag);
    CHECK(seenCancelFlag == stopFlag);
    CHECK(test::ReadFileBytes(test::Wide(record.localPath)).size() == 100000);

    copyStopFlag = TRUE;
    FileRecord cancelled = FileAt(sourcePath);
    CHECK_FALSE(destination.BackupFile(cancelled));
    CHECK_FALSE(test::FileExists(test::Wide(cancelled.localPath)));
    CHECK_FALSE(RestoreFile(test::Wide(record.localPath), dest / L"back\\big.bin", FILE_ATTRIBUTE_ARCHIVE, 100000,
                            dest.path().size()));
    CHECK_FALSE(test::FileExists(dest / L"back\\big.bin"));
    copyStopFlag = FALSE;
    copyFileFunction = CopyFileExW;

    const std::string log = state.log.text();
    CHECK(CountOf(log, " Aborting file copy\r\n") == 3);
    CHECK(CountOf(log, ", code 1235\r\n") == 2);
    CHECK(log.find(" Could not copy file \"" + test::Utf8(sourcePath) + "\" to \"" + cancelled.localPath + "\"") !=
          std::string::npos);
}

TEST_CASE("RestoreFile copies a version back or makes a recorded folder")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    REQUIRE(test::WriteFileBytes(store / L"v1", "version one"));

    // Missing folders above the target are made; an existing target is overwritten.
    const std::wstring file = target / L"C\\Users\\Ann\\a.txt";
    CHECK(RestoreFile(store / L"v1", file, FILE_ATTRIBUTE_ARCHIVE, 11, target.path().size()));
    CHECK(test::ReadFileBytes(file) == "version one");
    // The restored file carries the stored copy's bytes, time and attributes, and nothing else stays beside it.
    REQUIRE(test::WriteFileBytes(store / L"v2", "two"));
    SetOldWriteTime(store / L"v2");
    REQUIRE(SetFileAttributesW((store / L"v2").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    CHECK(RestoreFile(store / L"v2", L"\\\\?\\" + file, FILE_ATTRIBUTE_ARCHIVE, 3, 4 + target.path().size()));
    CHECK(StateOf(file) == StateOf(store / L"v2"));
    CHECK(test::ListFolder(target / L"C\\Users\\Ann") == std::vector<std::wstring>{L"a.txt"});

    CHECK(RestoreFile(L"", target / L"new\\folder", FILE_ATTRIBUTE_DIRECTORY, 0, target.path().size()));
    CHECK(test::FileExists(target / L"new\\folder"));
    const std::string before = state.log.text();
    CHECK_FALSE(RestoreFile(L"", target / L"new\\folder", FILE_ATTRIBUTE_DIRECTORY, 0, target.path().size()));
    CHECK(state.log.text() == before);
    // A folder that cannot be made says so: a file at its place, or a file where a folder above it belongs.
    REQUIRE(test::WriteFileBytes(target / L"plain", "a file"));
    struct FolderCase {
        std::wstring folder;
        const char* error;
    };
    const FolderCase folderCases[] = {{target / L"plain", ", code 183\r\n"}, {target / L"plain\\inner", ", code 3\r\n"}};
    for (const FolderCase& c : folderCases) {
        CAPTURE(test::Utf8(c.folder));
        CHECK_FALSE(RestoreFile(L"", c.folder, FILE_ATTRIBUTE_DIRECTORY, 0, target.path().size()));
        CHECK(CountOf(state.log.text(), " RestoreFile() Could not make the folder \"" + test::Utf8(c.folder) +
                                            "\". The error is ") == 1);
        CHECK(CountOf(state.log.text(), c.error) == 1);
    }
    CHECK(test::ReadFileBytes(target / L"plain") == "a file");

    CHECK_FALSE(RestoreFile(store / L"missing", target / L"m.txt", FILE_ATTRIBUTE_ARCHIVE, 0, target.path().size()));
    CHECK(state.log.text().find(" Could not copy file \"" + test::Utf8(store / L"missing") + "\" to \"" +
                                test::Utf8(target / L"m.txt") + "\". The error is ") != std::string::npos);
}

TEST_CASE("DeleteMirroredFile works only inside the machine folder")
{
    ServiceState state;
    test::TempFolder dest(L"dest");
    NetworkDestination destination;
    destination.Connect(dest.path(), L"", L"");
    const std::wstring machine = MachineFolder(dest.path());

    // The stored copy of a file lives under a UUID name, never at its mirrored path.
    CHECK_FALSE(destination.DeleteMirroredFile(FileAt(L"C:\\Users\\Ann\\a.txt")));
    CHECK(test::FileExists(machine + L"\\Users\\Ann"));
    CHECK(CountOf(state.log.text(), " Could not delete file \"\\\\?\\" + test::Utf8(machine) +
                                        "\\Users\\Ann\\a.txt\". The error is ") == 1);

    REQUIRE(test::WriteFileBytes(machine + L"\\Users\\Ann\\b.txt", "b"));
    CHECK(destination.DeleteMirroredFile(FileAt(L"C:\\Users\\Ann\\b.txt")));
    CHECK_FALSE(test::FileExists(machine + L"\\Users\\Ann\\b.txt"));
    CHECK(CountOf(state.log.text(), " Deleted file \"\\\\?\\" + test::Utf8(machine) + "\\Users\\Ann\\b.txt\"\r\n") ==
          1);

    // A path without a drive has no mirrored path: nothing is made anywhere.
    const size_t entries = test::ListFolder(machine).size();
    CHECK_FALSE(destination.DeleteMirroredFile(FileAt(L"\\\\backupsrv\\bk\\x\\y.txt")));
    CHECK_FALSE(destination.DeleteMirroredFile(FileAt(L"relative\\z.txt")));
    CHECK(test::ListFolder(machine).size() == entries);
    CHECK_FALSE(test::FileExists(L"C:\\backupsrv"));
    CHECK_FALSE(test::FileExists(L"C:\\relative"));

    // A file at a drive root that bears the name of a stored version or of the
    // database copy: what lies in the machine folder stays.
    test::TempFolder source(L"src");
    REQUIRE(test::WriteFileBytes(source / L"c.txt", "c"));
    FileRecord stored = FileAt(source / L"c.txt");
    REQUIRE(destination.BackupFile(stored));
    const std::wstring uuid = LastName(stored.localPath);
    REQUIRE(test::WriteFileBytes(machine + L"\\SystemState2.trdb", "db"));
    for (const std::wstring& root : {L"D:\\" + uuid, L"D:\\\\" + uuid, std::wstring(L"D:\\SystemState2.trdb")})
        CHECK_FALSE(destination.DeleteMirroredFile(FileAt(root)));
    CHECK(test::ReadFileBytes(machine + L"\\" + uuid) == "c");
    CHECK(test::FileExists(machine + L"\\SystemState2.trdb"));
}

TEST_CASE("a share that cannot be connected is worked in at its machine folder while it can be reached")
{
    ServiceState state;
    ShareSeams seams(false);  // the real WNetAddConnection2W: Wine has no network client
    REQUIRE(test::FileExists(shareRoot));
    const LONG before = connectionCount;
    REQUIRE(before == 0);
    const std::wstring machine = MachineFolder(shareRoot);
    NetworkDestination destination;
    CHECK_FALSE(destination.Connect(shareRoot, L"user", L"secret"));
    CHECK(connectionCount == before + 1);
    CHECK(destination.isUnc);
    CHECK(destination.HasMachineFolder());
    CHECK(destination.destinationPath == L"\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\" + GetComputerNameString());
    CHECK(std::wstring(destination.remoteName) == shareRoot);
    CHECK(test::FileExists(machine));
    const std::string log = state.log.text();
    CHECK(log.find(" Could not connect to resource \\\\backupsrv\\bk, error(") != std::string::npos);
    CHECK(CountOf(log, " Connect() The share could not be connected, but its machine folder can be reached: "
                       "working there\r\n") == 1);

    // Copies go into the machine folder, and nothing is written beside it.
    test::TempFolder source(L"src");
    REQUIRE(test::WriteFileBytes(source / L"s.txt", "to the share"));
    FileRecord record = FileAt(source / L"s.txt");
    CHECK(destination.BackupFile(record));
    const std::wstring name = LastName(record.localPath);
    CHECK(record.localPath == test::Utf8(destination.destinationPath + L"\\" + name));
    CHECK(test::ReadFileBytes(machine + L"\\" + name) == "to the share");
    CHECK(test::ListFolder(shareRoot) == std::vector<std::wstring>{L"VarnBack"});

    // A user's own file on the share at a deleted source's path stays.
    REQUIRE(CreateDirectoryW((shareRoot + L"\\Users").c_str(), nullptr));
    REQUIRE(CreateDirectoryW((shareRoot + L"\\Users\\Ann").c_str(), nullptr));
    REQUIRE(test::WriteFileBytes(shareRoot + L"\\Users\\Ann\\a.txt", "the user's own"));
    CHECK_FALSE(destination.DeleteMirroredFile(FileAt(L"C:\\Users\\Ann\\a.txt")));
    CHECK(test::ReadFileBytes(shareRoot + L"\\Users\\Ann\\a.txt") == "the user's own");

    CHECK(destination.Disconnect());
    CHECK(connectionCount == before);
    CHECK(ShareCalls::cancels == 1);
    CHECK_FALSE(destination.isUnc);
    test::RemoveTree(shareRoot + L"\\VarnBack");
    test::RemoveTree(shareRoot + L"\\Users");
}

TEST_CASE("a share that can be neither connected nor reached gives no machine folder to work in")
{
    ServiceState state;
    ShareSeams seams(false);
    const std::wstring away = L"\\\\varn-nohost\\bk";
    REQUIRE_FALSE(test::FileExists(away));
    const LONG before = connectionCount;
    NetworkDestination destination;
    CHECK_FALSE(destination.Connect(away, L"", L""));
    CHECK(connectionCount == before + 1);
    CHECK_FALSE(destination.HasMachineFolder());
    CHECK(destination.destinationPath.empty());
    CHECK(CountOf(state.log.text(), " Connect() The share could not be connected and its machine folder cannot be "
                                    "reached\r\n") == 1);

    test::TempFolder source(L"src");
    REQUIRE(test::WriteFileBytes(source / L"s.txt", "s"));
    FileRecord record = FileAt(source / L"s.txt");
    CHECK_FALSE(destination.BackupFile(record));
    CHECK_FALSE(destination.DeleteMirroredFile(FileAt(L"C:\\Users\\Ann\\a.txt")));
    CHECK_FALSE(test::FileExists(L"C:\\Users\\Ann"));
    CHECK(destination.Disconnect());
    CHECK(connectionCount == before);
}

TEST_CASE("a connected share gets the machine folder and is cancelled by the last Disconnect")
{
    ServiceState state;
    ShareSeams seams(true);
    REQUIRE(connectionCount == 0);
    NetworkDestination first, second;
    CHECK(first.Connect(shareRoot + L"\\", L"", L""));
    CHECK(ShareCalls::type == RESOURCETYPE_DISK);
    CHECK(ShareCalls::localNameNull);
    CHECK(ShareCalls::remote == shareRoot + L"\\");
    CHECK(ShareCalls::user == L"");
    CHECK(ShareCalls::password == L"");
    CHECK(ShareCalls::flags == CONNECT_TEMPORARY);
    const std::wstring machine = L"\\\\?\\UNC\\backupsrv\\bk\\VarnBack\\" + GetComputerNameString();
    CHECK(first.destinationPath == machine);
    CHECK(test::FileExists(MachineFolder(shareRoot)));

    CHECK(second.Connect(shareRoot, L"ann", L"pw"));
    CHECK(ShareCalls::user == L"ann");
    CHECK(ShareCalls::password == L"pw");
    CHECK(connectionCount == 2);
    const std::string log = state.log.text();
    CHECK(CountOf(log, " Connected to resource \\\\backupsrv\\bk") == 2);
    CHECK(CountOf(log, " Destination path is " + test::Utf8(machine) + "\r\n") == 4);

    CHECK(first.Disconnect());
    CHECK(ShareCalls::cancels == 0);
    CHECK(second.Disconnect());
    CHECK(ShareCalls::cancels == 1);
    CHECK(ShareCalls::cancelled == shareRoot);
    CHECK(connectionCount == 0);
    test::RemoveTree(shareRoot + L"\\VarnBack");
}

TEST_CASE("a share name too long for the connection is refused like an unreachable share")
{
    ServiceState state;
    ShareSeams seams(true);
    const LONG before = connectionCount;
    for (size_t length : {259u, 260u, 400u}) {
        CAPTURE(length);
        ShareCalls::Reset();
        const std::wstring name = L"\\\\host\\" + std::wstring(length - 7, L's');
        NetworkDestination destination;
        ShareCalls::addResult = ERROR_BAD_NET_NAME;
        const bool connected = destination.Connect(name, L"", L"");
        CHECK_FALSE(connected);
        CHECK(connectionCount == before + 1);
        CHECK(destination.isUnc);
        if (length < 260) {
            CHECK(ShareCalls::adds == 1);
            CHECK(ShareCalls::remote == name);
        } else {
            CHECK(ShareCalls::adds == 0);
            CHECK(std::wstring(destination.remoteName).empty());
        }
        destination.Disconnect();
        CHECK(connectionCount == before);
    }
    CHECK(CountOf(state.log.text(), ", error(206) ") == 2);
}

namespace {
DWORD partialCopyError = 0;

// A copy that writes part of its target and then fails, as a full disk or a
// destination that goes away does; Wine's copy leaves that part behind.
BOOL WINAPI PartialCopy(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD)
{
    const std::string bytes = test::ReadFileBytes(source);
    test::WriteFileBytes(target, bytes.substr(0, bytes.size() / 3));
    SetLastError(partialCopyError);
    return FALSE;
}

// The same, and the partial file stays open without sharing, so it cannot be removed.
HANDLE keptOpen = INVALID_HANDLE_VALUE;
BOOL WINAPI PartialCopyKeptOpen(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD)
{
    test::WriteFileBytes(target, test::ReadFileBytes(source).substr(0, 10));
    keptOpen = CreateFileW(target, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
}  // namespace

TEST_CASE("a copy that fails removes its partly written target")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    REQUIRE(test::WriteFileBytes(source / L"big.bin", std::string(300000, 'p')));
    NetworkDestination destination;
    REQUIRE(destination.Connect(dest.path(), L"", L""));
    const std::wstring machine = MachineFolder(dest.path());
    copyFileFunction = PartialCopy;
    for (DWORD code : {DWORD(ERROR_DISK_FULL), DWORD(ERROR_NETNAME_DELETED)}) {
        CAPTURE(code);
        partialCopyError = code;
        FileRecord record = FileAt(source / L"big.bin");
        CHECK_FALSE(destination.BackupFile(record));
        CHECK_FALSE(test::FileExists(test::Wide(record.localPath)));
        // The failure line keeps the copy's own error, not that of the removal.
        CHECK(CountOf(state.log.text(), "\" to \"" + record.localPath + "\". The error is ") == 1);
        CHECK(CountOf(state.log.text(), FormatString(", code %lu\r\n", code)) == 1);
    }
    copyFileFunction = CopyFileExW;
    CHECK(StoredNames(machine).empty());
    CHECK(test::ReadFileBytes(source / L"big.bin").size() == 300000);
}

TEST_CASE("a restore whose copy fails leaves the target as it was and nothing beside it")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    const std::wstring stored = store / L"v";
    REQUIRE(test::WriteFileBytes(stored, std::string(300000, 's')));
    struct Case {
        const wchar_t* folder;
        bool existed;
        DWORD attributes;
    } cases[] = {
        {L"plain", true, FILE_ATTRIBUTE_ARCHIVE},
        {L"readonly", true, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
        {L"absent", false, 0},
    };
    copyFileFunction = PartialCopy;
    partialCopyError = ERROR_DISK_FULL;
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.folder));
        const std::wstring folder = target / c.folder;
        const std::wstring file = folder + L"\\big.bin";
        REQUIRE(CreateDirectoryW(folder.c_str(), nullptr));
        if (c.existed) {
            REQUIRE(test::WriteFileBytes(file, "the user's own, smaller than the copy"));
            SetOldWriteTime(file);
            REQUIRE(SetFileAttributesW(file.c_str(), c.attributes));
        }
        const FileState before = StateOf(file);
        CHECK_FALSE(RestoreFile(stored, L"\\\\?\\" + file, FILE_ATTRIBUTE_ARCHIVE, 300000, 4 + target.path().size()));
        CHECK(StateOf(file) == before);
        CHECK(test::ListFolder(folder) ==
              (c.existed ? std::vector<std::wstring>{L"big.bin"} : std::vector<std::wstring>{}));
        // The line names the file the user asked for and the copy's own error.
        CHECK(CountOf(state.log.text(), " Could not copy file \"" + test::Utf8(stored) + "\" to \"\\\\?\\" +
                                            test::Utf8(file) + "\". The error is ") == 1);
    }
    CHECK(CountOf(state.log.text(), ", code 112\r\n") == 3);

    // A partial copy that cannot be removed is named in the log; the user's file still stays.
    const std::wstring file = target / L"plain\\big.bin";
    const FileState before = StateOf(file);
    copyFileFunction = PartialCopyKeptOpen;
    CHECK_FALSE(RestoreFile(stored, file, FILE_ATTRIBUTE_ARCHIVE, 300000, target.path().size()));
    CloseHandle(keptOpen);
    CHECK(StateOf(file) == before);
    CHECK(CountOf(state.log.text(), " RestoreFile() Could not remove the partial copy \"" +
                                        test::Utf8(target / L"plain\\~VarnBack-restore-")) == 1);
    copyFileFunction = CopyFileExW;
}

TEST_CASE("a restore whose copy cannot take the target's name leaves the target as it was and nothing beside it")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    // A read-only stored copy gives a read-only copy beside the target, which must still go.
    const std::wstring stored = store / L"v";
    REQUIRE(test::WriteFileBytes(stored, "the stored version"));
    REQUIRE(SetFileAttributesW(stored.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    const std::wstring file = target / L"doc.txt";
    REQUIRE(test::WriteFileBytes(file, "the user's own"));
    SetOldWriteTime(file);
    const FileState before = StateOf(file);
    // A file in use cannot be replaced (nor, on Windows, a read-only one).
    HANDLE inUse = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(inUse != INVALID_HANDLE_VALUE);
    CHECK_FALSE(RestoreFile(stored, L"\\\\?\\" + file, FILE_ATTRIBUTE_ARCHIVE, 18, 4 + target.path().size()));
    CloseHandle(inUse);
    CHECK(StateOf(file) == before);
    CHECK(test::ListFolder(target.path()) == std::vector<std::wstring>{L"doc.txt"});
    CHECK(CountOf(state.log.text(), " Could not copy file \"" + test::Utf8(stored) + "\" to \"\\\\?\\" +
                                        test::Utf8(file) + "\". The error is ") == 1);
}

namespace {
// As the restore command calls it: the chosen folder in long-path form, the stored path's part below it.
bool RestoreInto(const std::wstring& chosen, const std::wstring& below, const std::wstring& stored,
                 uint64_t recordedSize, uint64_t attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    const std::wstring root = MakeLongPath(chosen);
    return RestoreFile(stored, root + below, attributes, recordedSize, root.size());
}

uint64_t IndexOf(const std::wstring& path)
{
    uint64_t volume = 0;
    return GetFileId(test::Utf8(path), volume);
}

std::vector<std::wstring> SortedNames(const std::wstring& folder)
{
    std::vector<std::wstring> names = test::ListFolder(folder);
    std::sort(names.begin(), names.end());
    return names;
}

// A stored copy with its own bytes, an old last-write time and the given attributes.
std::wstring StoredCopy(const test::TempFolder& store, const std::wstring& name, const std::string& bytes,
                        DWORD attributes = FILE_ATTRIBUTE_ARCHIVE)
{
    const std::wstring path = store / name;
    REQUIRE(test::WriteFileBytes(path, bytes));
    SetOldWriteTime(path);
    REQUIRE(SetFileAttributesW(path.c_str(), attributes));
    return path;
}
}  // namespace

TEST_CASE("a file restored over an existing one stays that file, with the version's content and time")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    struct Case {
        const wchar_t* name;
        bool exists;
        std::string version;
        DWORD attributes;
    } cases[] = {
        {L"longer.txt", true, "version", FILE_ATTRIBUTE_ARCHIVE},
        {L"shorter.txt", true, "a version longer than the user's own file", FILE_ATTRIBUTE_ARCHIVE},
        {L"readonly.txt", true, "a read-only version", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
        {L"empty.txt", true, "", FILE_ATTRIBUTE_ARCHIVE},
        {L"absent.txt", false, "made as a new file", FILE_ATTRIBUTE_ARCHIVE},
    };
    std::vector<std::wstring> names;
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.name));
        const std::wstring stored = StoredCopy(store, c.name, c.version, c.attributes);
        const std::wstring file = target / c.name;
        if (c.exists)
            REQUIRE(test::WriteFileBytes(file, "the user's own, as it is now"));
        const uint64_t before = c.exists ? IndexOf(file) : 0;
        CHECK(RestoreInto(target.path(), std::wstring(L"\\") + c.name, stored, c.version.size()));
        CHECK(StateOf(file) == StateOf(stored));
        if (c.exists)
            CHECK(IndexOf(file) == before);
        names.push_back(c.name);
    }
    std::sort(names.begin(), names.end());
    CHECK(SortedNames(target.path()) == names);
    CHECK(CountOf(state.log.text(), " RestoreFile() ") == 0);
    CHECK(CountOf(state.log.text(), " Could not copy file ") == 0);

    // A file with another name outside the chosen folder (a hard link a user may
    // make to a file only the service can write) is replaced by name: the other stays.
    test::TempFolder elsewhere(L"elsewhere");
    const std::wstring other = elsewhere / L"system.dll";
    REQUIRE(test::WriteFileBytes(other, "not the user's to change"));
    const std::wstring linked = target / L"linked.txt";
    REQUIRE(CreateHardLinkW(linked.c_str(), other.c_str(), nullptr));
    const std::wstring stored = StoredCopy(store, L"linked", "restored by name");
    CHECK(RestoreInto(target.path(), L"\\linked.txt", stored, 16));
    CHECK(StateOf(linked) == StateOf(stored));
    CHECK(test::ReadFileBytes(other) == "not the user's to change");
}

namespace {
enum InPlaceFault { partWritten, removed, untouched, partWrittenAndHeld };
InPlaceFault inPlaceFault = untouched;
int inPlaceCalls = 0;
HANDLE heldTarget = INVALID_HANDLE_VALUE;

// The copy beside the target is made; the copy of it into the existing target
// fails as the case says: part-way (a full disk), after removing the target (as
// a cancelled CopyFileExW does), or before writing anything.
BOOL WINAPI FailingInPlaceCopy(LPCWSTR source, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID context,
                               LPBOOL cancel, DWORD flags)
{
    if (wcsstr(target, L"~VarnBack-restore-") != nullptr)
        return CopyFileExW(source, target, progress, context, cancel, flags);
    ++inPlaceCalls;
    DWORD code = ERROR_DISK_FULL;
    if (inPlaceFault == partWritten || inPlaceFault == partWrittenAndHeld) {
        test::WriteFileBytes(target, test::ReadFileBytes(source).substr(0, 4));
        if (inPlaceFault == partWrittenAndHeld)
            heldTarget = CreateFileW(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    } else if (inPlaceFault == removed) {
        DeleteFileW(target);
        code = ERROR_REQUEST_ABORTED;
    } else {
        code = ERROR_SHARING_VIOLATION;
    }
    SetLastError(code);
    return FALSE;
}

// Puts the real copy back when the test ends, however it ends.
struct CopySeam {
    explicit CopySeam(CopyFileFunction function) { copyFileFunction = function; }
    ~CopySeam() { copyFileFunction = CopyFileExW; }
};
}  // namespace

TEST_CASE("a restore whose content cannot be written into the existing file gives the whole copy its name")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    const std::string version = "the whole stored version";
    const std::wstring stored = StoredCopy(store, L"v", version);
    struct Case {
        const wchar_t* name;
        InPlaceFault fault;
        DWORD code;
    } cases[] = {
        {L"part.txt", partWritten, ERROR_DISK_FULL},
        {L"removed.txt", removed, ERROR_REQUEST_ABORTED},
        {L"untouched.txt", untouched, ERROR_SHARING_VIOLATION},
    };
    CopySeam seam(FailingInPlaceCopy);
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.name));
        const std::wstring folder = target / c.name;
        REQUIRE(CreateDirectoryW(folder.c_str(), nullptr));
        const std::wstring file = folder + L"\\f.txt";
        REQUIRE(test::WriteFileBytes(file, "the user's own, as it is now"));
        inPlaceFault = c.fault;
        inPlaceCalls = 0;
        CHECK(RestoreInto(target.path(), std::wstring(L"\\") + c.name + L"\\f.txt", stored, version.size()));
        CHECK(inPlaceCalls == 1);
        CHECK(StateOf(file) == StateOf(stored));
        CHECK(test::ListFolder(folder) == std::vector<std::wstring>{L"f.txt"});
        CHECK(CountOf(state.log.text(), " RestoreFile() Could not write the restored version into \"" +
                                            test::Utf8(MakeLongPath(file)) +
                                            FormatString("\". The error is %s, code %lu. The whole copy has taken "
                                                         "its name as a new file\r\n",
                                                         test::Utf8(Win32ErrorTextW(c.code)).c_str(), c.code)) == 1);
    }
    CHECK(CountOf(state.log.text(), " Could not copy file ") == 0);

    // Nor can the copy take the name: the whole copy stays beside the part-written file, and the log names both.
    const std::wstring file = target / L"held.txt";
    REQUIRE(test::WriteFileBytes(file, "the user's own, as it is now"));
    inPlaceFault = partWrittenAndHeld;
    CHECK_FALSE(RestoreInto(target.path(), L"\\held.txt", stored, version.size()));
    REQUIRE(heldTarget != INVALID_HANDLE_VALUE);
    CloseHandle(heldTarget);
    std::wstring partial;
    for (const std::wstring& name : test::ListFolder(target.path()))
        if (name.compare(0, 18, L"~VarnBack-restore-") == 0)
            partial = target / name;
    REQUIRE_FALSE(partial.empty());
    CHECK(test::ReadFileBytes(partial) == version);
    const std::string log = state.log.text();
    CHECK(CountOf(log, " RestoreFile() \"" + test::Utf8(MakeLongPath(file)) +
                           "\" may be left part-written; the whole restored version stays in \"" +
                           test::Utf8(MakeLongPath(partial)) + "\"\r\n") == 1);
    CHECK(CountOf(log, " Could not copy file \"" + test::Utf8(stored) + "\" to \"" + test::Utf8(MakeLongPath(file)) +
                           "\". The error is ") == 1);
    CHECK(CountOf(log, " RestoreFile() Could not remove the partial copy ") == 0);
}

TEST_CASE("a stored copy shorter than its row records replaces no existing file")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    struct Case {
        const wchar_t* name;
        bool exists;
        size_t storedBytes;
        uint64_t recorded;
        bool restored;
    } cases[] = {
        {L"cut.txt", true, 5, 30, false},
        {L"cut-to-nothing.txt", true, 0, 30, false},
        {L"cut-absent.txt", false, 5, 30, true},  // nothing of the user's is replaced; part of a file is all there is
        {L"whole.txt", true, 30, 30, true},
        {L"longer.txt", true, 40, 30, true},
        {L"nothing-recorded.txt", true, 5, 0, true},
    };
    for (const Case& c : cases) {
        CAPTURE(test::Utf8(c.name));
        const std::wstring stored = StoredCopy(store, c.name, std::string(c.storedBytes, 's'));
        const std::wstring file = target / c.name;
        if (c.exists) {
            REQUIRE(test::WriteFileBytes(file, "the user's own good file, all 39 bytes"));
            SetOldWriteTime(file);
        }
        const FileState before = StateOf(file);
        CHECK(RestoreInto(target.path(), std::wstring(L"\\") + c.name, stored, c.recorded) == c.restored);
        CHECK(StateOf(file) == (c.restored ? StateOf(stored) : before));
        // Nothing beside it: one file per case so far.
        CHECK(test::ListFolder(target.path()).size() == static_cast<size_t>(&c - cases) + 1);
        const std::string line = " RestoreFile() The stored copy \"" + test::Utf8(stored) + "\" for \"" +
                                 test::Utf8(MakeLongPath(file)) +
                                 FormatString("\" is damaged: it holds %u bytes where its row records %u. It "
                                              "replaces no existing file\r\n",
                                              static_cast<unsigned>(c.storedBytes), static_cast<unsigned>(c.recorded));
        CHECK(CountOf(state.log.text(), line) == (c.storedBytes < c.recorded ? 1u : 0u));
    }
    CHECK(CountOf(state.log.text(), " is damaged: ") == 3);
    CHECK(CountOf(state.log.text(), " Could not copy file ") == 0);
}

TEST_CASE("a restore that fails before any partial copy exists logs nothing about removing one")
{
    ServiceState state;
    test::TempFolder store(L"store");
    test::TempFolder target(L"target");
    const std::wstring stored = StoredCopy(store, L"v", "version");
    REQUIRE(test::WriteFileBytes(target / L"a-file", "a file, not a folder"));
    std::wstring slashed = target.path() + L"\\fwd";
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    const std::wstring chosen[] = {target / L"a-file", L"", L"relative-folder", slashed};
    for (const std::wstring& folder : chosen) {
        for (const wchar_t* below : {L"\\a.txt", L"\\Docs\\a.txt"}) {
            CAPTURE(test::Utf8(folder + below));
            CHECK_FALSE(RestoreInto(folder, below, stored, 7));
        }
    }
    CHECK(SortedNames(target.path()) == std::vector<std::wstring>{L"a-file"});
    CHECK(CountOf(state.log.text(), " Could not copy file ") == 8);
    CHECK(CountOf(state.log.text(), "Could not remove the partial copy") == 0);
}

TEST_CASE("RemoveUnrecordedCopy removes a stored version and nothing outside the machine folder")
{
    ServiceState state;
    test::TempFolder source(L"src");
    test::TempFolder dest(L"dest");
    REQUIRE(test::WriteFileBytes(source / L"a.txt", "a"));
    NetworkDestination destination;
    REQUIRE(destination.Connect(dest.path(), L"", L""));
    const std::wstring machine = MachineFolder(dest.path());

    FileRecord stored = FileAt(source / L"a.txt");
    REQUIRE(destination.BackupFile(stored));
    CHECK(destination.RemoveUnrecordedCopy(stored));
    CHECK(StoredNames(machine).empty());
    CHECK(CountOf(state.log.text(),
                  " Removed the stored copy \"" + stored.localPath + "\": its row could not be added\r\n") == 1);

    // Names beside or below the machine folder are not its stored versions.
    REQUIRE(CreateDirectoryW((machine + L"\\Users").c_str(), nullptr));
    const std::wstring outside[] = {dest / L"beside.txt", machine + L"\\Users\\below.txt", source / L"a.txt"};
    for (const std::wstring& path : outside) {
        CAPTURE(test::Utf8(path));
        REQUIRE(test::WriteFileBytes(path, "keep"));
        FileRecord record = FileAt(path);
        record.localPath = test::Utf8(L"\\\\?\\" + path);
        CHECK_FALSE(destination.RemoveUnrecordedCopy(record));
        CHECK(test::ReadFileBytes(path) == "keep");
        // The line users know from earlier versions, name and all.
        CHECK(CountOf(state.log.text(), " RemoveStoredCopy() \"" + record.localPath +
                                            "\" is not in the machine folder and stays\r\n") == 1);
    }
    CHECK(CountOf(state.log.text(), "\" is not in the machine folder and stays\r\n") == 3);

    FileRecord folder = FileAt(source.path(), FILE_ATTRIBUTE_DIRECTORY);
    REQUIRE(destination.BackupFile(folder));
    CHECK(destination.RemoveUnrecordedCopy(folder));
}
