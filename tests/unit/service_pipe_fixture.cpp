#include "service_pipe_fixture.h"

#include "pipe_framing.h"
#include "pipe_server.h"
#include "service_pipe_script.h"
#include "service_state.h"

#include <doctest/doctest.h>

#include <cstdio>
#include <sstream>

namespace pipetest {

ServiceDatabase::ServiceDatabase() : folder_(L"pipedb")
{
    file_ = folder_ / L"SystemState2.trdb";
    REQUIRE(sqlite3_open_v2(test::Utf8(file_).c_str(), &databaseConnection,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK);
    REQUIRE(Exec(createWatchDirectoriesStatement));
    REQUIRE(Exec(createFileListStatement));
    InitializeCriticalSection(&watchListLock);
    InitializeCriticalSection(&fileRowsLock);
}

ServiceDatabase::~ServiceDatabase()
{
    sqlite3_close(databaseConnection);
    databaseConnection = nullptr;
    DeleteCriticalSection(&watchListLock);
    DeleteCriticalSection(&fileRowsLock);
    watchDirectories.clear();
    watchUsers.clear();
}

bool ServiceDatabase::Exec(const std::string& sql)
{
    return sqlite3_exec(databaseConnection, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

void ServiceDatabase::AddWatchRow(const std::string& folder, const std::string& user)
{
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(databaseConnection, "insert into watchdirectories values(?1, ?2)", -1, &statement,
                               nullptr) == SQLITE_OK);
    sqlite3_bind_text(statement, 1, folder.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, user.c_str(), -1, SQLITE_TRANSIENT);
    CHECK(sqlite3_step(statement) == SQLITE_DONE);
    sqlite3_finalize(statement);
}

void ServiceDatabase::AddFileRow(const std::string& path, uint64_t attributes, uint64_t selfId,
                                 const std::string& time, uint64_t volumeId, const std::string& localPath,
                                 uint64_t size)
{
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(databaseConnection,
                               "insert into filelist values(?1, ' ', ?2, 7, ?3, ?4, ?7, ?5, ?6)", -1, &statement,
                               nullptr) == SQLITE_OK);
    sqlite3_bind_text(statement, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(attributes));
    sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(selfId));
    sqlite3_bind_text(statement, 4, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 5, static_cast<sqlite3_int64>(volumeId));
    sqlite3_bind_text(statement, 6, localPath.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 7, static_cast<sqlite3_int64>(size));
    CHECK(sqlite3_step(statement) == SQLITE_DONE);
    sqlite3_finalize(statement);
}

static int CollectRow(void* context, int columns, char** values, char**)
{
    std::string row;
    for (int i = 0; i < columns; ++i) {
        if (i > 0)
            row += "|";
        row += values[i] != nullptr ? values[i] : "NULL";
    }
    static_cast<std::vector<std::string>*>(context)->push_back(row);
    return 0;
}

std::vector<std::string> ServiceDatabase::WatchRows()
{
    std::vector<std::string> rows;
    sqlite3_exec(databaseConnection, "select directory, user from watchdirectories order by rowid", CollectRow,
                 &rows, nullptr);
    return rows;
}

std::string ServiceDatabase::Dump()
{
    std::vector<std::string> rows;
    sqlite3_exec(databaseConnection, "select * from watchdirectories order by rowid", CollectRow, &rows, nullptr);
    rows.push_back("--");
    sqlite3_exec(databaseConnection, "select * from filelist order by rowid", CollectRow, &rows, nullptr);
    return Joined(rows);
}

PipeServer::PipeServer(bool withArgs)
{
    args_.threads = &threads_;
    args_.folders = &folders_;
    serviceStopFlag = &stopByte_;
    thread_ = CreateThread(nullptr, 0, ClientControl, withArgs ? &args_ : nullptr, 0, nullptr);
    REQUIRE(thread_ != nullptr);
}

PipeServer::~PipeServer()
{
    Stop();
    CloseHandle(thread_);
    serviceStopFlag = nullptr;
}

void PipeServer::Stop(DWORD limitMilliseconds)
{
    stopByte_ = 1;
    if (stopped_)
        return;
    stopped_ = WaitForSingleObject(thread_, limitMilliseconds) == WAIT_OBJECT_0;
    if (!stopped_) {
        // The thread may hold the log or database locks, so it can neither be
        // ended nor left running past the state it uses: end the test program.
        std::fprintf(stderr, "FATAL: ClientControl did not end within %lu ms of the stop\n", limitMilliseconds);
        std::fflush(stderr);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

bool PipeServer::Running() const { return WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT; }

DWORD PipeServer::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeThread(thread_, &code);
    return code;
}

static std::wstring ClientProgram()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"service_pipe_client.exe";
}

static std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

Client::Client(const std::string& script) : folder_(L"pipeclient")
{
    REQUIRE(test::WriteFileBytes(folder_ / L"script.txt", script));
    std::wstring commandLine = L"\"" + ClientProgram() + L"\" \"" + (folder_ / L"script.txt") + L"\" \"" +
                               (folder_ / L"output.txt") + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    REQUIRE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process_));
}

Client::~Client()
{
    if (process_.hProcess != nullptr) {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 9);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
}

std::vector<std::string> Client::Output() const { return SplitLines(test::ReadFileBytes(folder_ / L"output.txt")); }

std::vector<std::string> Client::Finish(DWORD limitMilliseconds)
{
    bool killed = false;
    if (WaitForSingleObject(process_.hProcess, limitMilliseconds) != WAIT_OBJECT_0) {
        TerminateProcess(process_.hProcess, 9);
        WaitForSingleObject(process_.hProcess, 5000);
        killed = true;
    }
    std::vector<std::string> lines = Output();
    if (killed)
        lines.push_back("killed");
    return lines;
}

std::vector<std::string> RunClient(const std::string& script, DWORD limitMilliseconds)
{
    Client client(script);
    return client.Finish(limitMilliseconds);
}

std::vector<std::string> Replies(const std::vector<std::string>& output, int slot)
{
    const std::string prefix = "reply " + std::to_string(slot) + " ";
    std::vector<std::string> replies;
    for (const std::string& line : output) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            replies.push_back(pipescript::Unescape(line.substr(prefix.size())));
    }
    return replies;
}

bool HasLine(const std::vector<std::string>& output, const std::string& line)
{
    for (const std::string& each : output) {
        if (each == line)
            return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string Send(const std::string& text, int slot)
{
    return "send " + std::to_string(slot) + " " + pipescript::Escape(text) + "\n";
}

bool WaitForLog(const test::LogCapture& log, const std::string& piece, DWORD limitMilliseconds, size_t count)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (Occurrences(log.text(), piece) >= count)
            return true;
        if (GetTickCount() - start > limitMilliseconds)
            return false;
        Sleep(20);
    }
}

PipePair::PipePair(DWORD bufferSize)
{
    static unsigned sequence = 0;
    wchar_t name[96];
    _snwprintf(name, 95, L"\\\\.\\pipe\\VarnPipeTest-%lu-%u", GetCurrentProcessId(), ++sequence);
    name[95] = 0;
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1, bufferSize, bufferSize, 0,
                              nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    const BOOL connectedAtOnce = ConnectNamedPipe(server, &overlapped);
    const DWORD code = connectedAtOnce ? ERROR_PIPE_CONNECTED : GetLastError();
    client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    if (code == ERROR_IO_PENDING) {
        DWORD ignored = 0;
        REQUIRE(WaitForSingleObject(overlapped.hEvent, 5000) == WAIT_OBJECT_0);
        GetOverlappedResult(server, &overlapped, &ignored, TRUE);
    } else {
        REQUIRE(code == ERROR_PIPE_CONNECTED);
    }
}

PipePair::~PipePair()
{
    CloseClient();
    CloseHandle(server);
    CloseHandle(overlapped.hEvent);
}

bool PipePair::ClientWrite(const std::string& bytes)
{
    DWORD written = 0;
    return WriteFile(client, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string PipePair::ClientRead(DWORD size, DWORD limitMilliseconds)
{
    std::string bytes(size, '\0');
    DWORD total = 0;
    const DWORD start = GetTickCount();
    while (total < size && GetTickCount() - start < limitMilliseconds) {
        DWORD available = 0;
        if (!PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr))
            break;
        if (available == 0) {
            Sleep(5);
            continue;
        }
        DWORD got = 0;
        const DWORD want = size - total < available ? size - total : available;
        if (!ReadFile(client, &bytes[total], want, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    bytes.resize(total);
    return bytes;
}

void PipePair::CloseClient()
{
    if (client != INVALID_HANDLE_VALUE)
        CloseHandle(client);
    client = INVALID_HANDLE_VALUE;
}

std::string CountBytes(uint32_t count)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(count >> (8 * i));
    return bytes;
}

LateWrite::LateWrite(PipePair& pair, const std::string& bytes, DWORD delayMilliseconds, DWORD byteInterval)
    : client_(pair.client), bytes_(bytes), delay_(delayMilliseconds), interval_(byteInterval)
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    REQUIRE(thread_ != nullptr);
}

LateWrite::~LateWrite()
{
    Finish();
    CloseHandle(thread_);
}

bool LateWrite::Finish()
{
    WaitForSingleObject(thread_, 30000);
    return written_;
}

DWORD WINAPI LateWrite::Run(LPVOID self)
{
    LateWrite& write = *static_cast<LateWrite*>(self);
    Sleep(write.delay_);
    const DWORD piece = write.interval_ > 0 ? 1 : static_cast<DWORD>(write.bytes_.size());
    for (size_t at = 0; at < write.bytes_.size(); at += piece) {
        if (at > 0)
            Sleep(write.interval_);
        DWORD written = 0;
        if (!WriteFile(write.client_, write.bytes_.data() + at, piece, &written, nullptr) || written != piece)
            return 0;
    }
    write.written_ = true;
    return 0;
}

ClientTimeout::ClientTimeout(DWORD milliseconds) : saved_(pipeClientTimeout) { pipeClientTimeout = milliseconds; }

ClientTimeout::~ClientTimeout() { pipeClientTimeout = saved_; }

PollRecorder* PollRecorder::current_ = nullptr;

PollRecorder::PollRecorder(Hook hook, bool skipPauses) : hook_(std::move(hook)), skipPauses_(skipPauses)
{
    InitializeCriticalSection(&lock_);
    current_ = this;
    pipeWait = Wait;
}

PollRecorder::~PollRecorder()
{
    pipeWait = WaitForPipeEvent;
    current_ = nullptr;
    DeleteCriticalSection(&lock_);
}

std::vector<Poll> PollRecorder::polls() const
{
    EnterCriticalSection(&lock_);
    std::vector<Poll> copy = polls_;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD PollRecorder::Wait(HANDLE event, DWORD milliseconds)
{
    PollRecorder& recorder = *current_;
    const Poll poll = {event, milliseconds};
    EnterCriticalSection(&recorder.lock_);
    recorder.polls_.push_back(poll);
    const size_t number = recorder.polls_.size();
    LeaveCriticalSection(&recorder.lock_);
    if (recorder.hook_)
        recorder.hook_(number, poll);
    if (event == nullptr && recorder.skipPauses_)
        return WAIT_TIMEOUT;
    return WaitForPipeEvent(event, milliseconds);
}

CreationRecorder* CreationRecorder::current_ = nullptr;

CreationRecorder::CreationRecorder(unsigned refusals, DWORD error)
    : CreationRecorder([refusals](unsigned number) { return number <= refusals; }, error)
{
}

CreationRecorder::CreationRecorder(Refuse refuse, DWORD error, Hook hook)
    : refuse_(std::move(refuse)), error_(error), hook_(std::move(hook))
{
    InitializeCriticalSection(&lock_);
    current_ = this;
    createPipeInstance = Create;
    closePipeInstance = Close;
}

CreationRecorder::~CreationRecorder()
{
    createPipeInstance = CreateNamedPipeW;
    closePipeInstance = CloseHandle;
    current_ = nullptr;
    DeleteCriticalSection(&lock_);
}

std::vector<Creation> CreationRecorder::creations() const
{
    EnterCriticalSection(&lock_);
    std::vector<Creation> copy = creations_;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::string CreationRecorder::sequence() const
{
    EnterCriticalSection(&lock_);
    std::string copy = sequence_;
    LeaveCriticalSection(&lock_);
    return copy;
}

void CreationRecorder::Note(const std::string& event)
{
    sequence_ += (sequence_.empty() ? "" : " ") + event;
}

HANDLE WINAPI CreationRecorder::Create(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD instances,
                                       DWORD outBuffer, DWORD inBuffer, DWORD timeout,
                                       LPSECURITY_ATTRIBUTES security)
{
    CreationRecorder& recorder = *current_;
    const Creation creation = {openMode, pipeMode, instances, outBuffer, inBuffer, timeout, security != nullptr};
    EnterCriticalSection(&recorder.lock_);
    recorder.creations_.push_back(creation);
    const unsigned number = static_cast<unsigned>(recorder.creations_.size());
    LeaveCriticalSection(&recorder.lock_);
    const std::string numberText = std::to_string(number);
    if (recorder.refuse_(number)) {
        EnterCriticalSection(&recorder.lock_);
        recorder.Note("x" + numberText);
        LeaveCriticalSection(&recorder.lock_);
        SetLastError(recorder.error_);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE instance = CreateNamedPipeW(name, openMode, pipeMode, instances, outBuffer, inBuffer, timeout, security);
    const DWORD error = GetLastError();
    EnterCriticalSection(&recorder.lock_);
    if (instance == INVALID_HANDLE_VALUE) {
        recorder.Note("x" + numberText);
    } else {
        recorder.Note("+" + numberText + ((openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 ? "F" : ""));
        recorder.open_.push_back(std::make_pair(instance, number));
    }
    LeaveCriticalSection(&recorder.lock_);
    if (instance != INVALID_HANDLE_VALUE && recorder.hook_)
        recorder.hook_(number, instance);
    SetLastError(error);
    return instance;
}

BOOL WINAPI CreationRecorder::Close(HANDLE instance)
{
    CreationRecorder& recorder = *current_;
    EnterCriticalSection(&recorder.lock_);
    std::string event = "-?";
    for (size_t i = 0; i < recorder.open_.size(); ++i) {
        if (recorder.open_[i].first == instance) {
            event = "-" + std::to_string(recorder.open_[i].second);
            recorder.open_.erase(recorder.open_.begin() + i);
            break;
        }
    }
    recorder.Note(event);
    LeaveCriticalSection(&recorder.lock_);
    return CloseHandle(instance);
}

std::vector<std::string> Lapses(const std::string& sequence)
{
    std::vector<std::string> events;
    std::istringstream words(sequence);
    for (std::string word; words >> word;)
        events.push_back(word);
    std::vector<std::string> lapses;
    int open = 0;
    bool made = false;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i][0] == '+') {
            ++open;
            made = true;
        } else if (events[i][0] == '-') {
            --open;
        }
        // After the last event (the close at the stop) the name may go.
        if (made && open < 1 && i + 1 < events.size())
            lapses.push_back("after " + events[i]);
    }
    return lapses;
}

SidFailures* SidFailures::current_ = nullptr;

SidFailures::SidFailures(std::vector<unsigned> failing, DWORD error) : failing_(std::move(failing)), error_(error)
{
    InitializeCriticalSection(&lock_);
    current_ = this;
    allocatePipeSid = Allocate;
}

SidFailures::~SidFailures()
{
    allocatePipeSid = AllocateAndInitializeSid;
    current_ = nullptr;
    DeleteCriticalSection(&lock_);
}

unsigned SidFailures::calls() const
{
    EnterCriticalSection(&lock_);
    const unsigned calls = calls_;
    LeaveCriticalSection(&lock_);
    return calls;
}

BOOL WINAPI SidFailures::Allocate(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1, DWORD a2,
                                  DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid)
{
    SidFailures& failures = *current_;
    EnterCriticalSection(&failures.lock_);
    const unsigned number = ++failures.calls_;
    bool fail = false;
    for (unsigned each : failures.failing_)
        fail = fail || each == number;
    LeaveCriticalSection(&failures.lock_);
    if (fail) {
        *sid = nullptr;
        SetLastError(failures.error_);
        return FALSE;
    }
    return AllocateAndInitializeSid(authority, count, a0, a1, a2, a3, a4, a5, a6, a7, sid);
}

unsigned long long ThreadCpuMilliseconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const unsigned long long kernel100ns = (static_cast<unsigned long long>(kernel.dwHighDateTime) << 32) |
                                           kernel.dwLowDateTime;
    const unsigned long long user100ns = (static_cast<unsigned long long>(user.dwHighDateTime) << 32) |
                                         user.dwLowDateTime;
    return (kernel100ns + user100ns) / 10000;
}

}  // namespace pipetest
