#pragma once
// Fixtures of the pipe tests: the service's database state, the pipe server
// on a thread of the test process, a private overlapped pipe pair, and the
// client program that talks to the server from another process.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control_thread.h"
#include "test_support.h"

namespace pipetest {

// A fresh StateDatabase on databaseConnection with both tables and both locks.
class ServiceDatabase {
public:
    ServiceDatabase();
    ~ServiceDatabase();
    ServiceDatabase(const ServiceDatabase&) = delete;
    ServiceDatabase& operator=(const ServiceDatabase&) = delete;

    bool Exec(const std::string& sql);
    void AddWatchRow(const std::string& folder, const std::string& user);
    // size: what the row records of the file (a stored copy shorter than that is damaged).
    void AddFileRow(const std::string& path, uint64_t attributes, uint64_t selfId, const std::string& time,
                    uint64_t volumeId, const std::string& localPath, uint64_t size = 0);
    // "directory|user" per row, in row order.
    std::vector<std::string> WatchRows();
    // Every row of both tables, for before-and-after comparisons.
    std::string Dump();
    std::wstring fileName() const { return file_; }

private:
    test::TempFolder folder_;
    std::wstring file_;
};

// ClientControl on its own thread with a stop byte of its own.
class PipeServer {
public:
    // withArgs false hands ClientControl a null pointer.
    explicit PipeServer(bool withArgs = true);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Sets the stop byte and waits for the thread. One that has not ended
    // within the limit ends the test program with a FATAL line.
    void Stop(DWORD limitMilliseconds = 10000);
    bool Running() const;
    DWORD ExitCode() const;

private:
    volatile uint8_t stopByte_ = 0;
    std::vector<HANDLE> threads_;
    std::vector<WatchedFolder*> folders_;
    ClientControlArgs args_;
    HANDLE thread_ = nullptr;
    bool stopped_ = false;
};

// The client program running a script (see service_pipe_client.cpp).
class Client {
public:
    explicit Client(const std::string& script);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // Waits for the program's end; on the limit it is ended and "killed" is appended.
    std::vector<std::string> Finish(DWORD limitMilliseconds = 60000);
    // The output so far.
    std::vector<std::string> Output() const;

private:
    test::TempFolder folder_;
    PROCESS_INFORMATION process_ = {};
};

std::vector<std::string> RunClient(const std::string& script, DWORD limitMilliseconds = 60000);

// The replies a script's output holds for connection slot, unescaped, in order.
std::vector<std::string> Replies(const std::vector<std::string>& output, int slot = 0);
bool HasLine(const std::vector<std::string>& output, const std::string& line);
std::string Joined(const std::vector<std::string>& lines);

// A script line that sends text as one message on slot.
std::string Send(const std::string& text, int slot = 0);

using test::Occurrences;
// Polls the log until it holds piece at least count times.
bool WaitForLog(const test::LogCapture& log, const std::string& piece, DWORD limitMilliseconds = 10000,
                size_t count = 1);

// A connected instance of a private overlapped pipe (server side, as the
// service makes it) and a synchronous client handle.
class PipePair {
public:
    explicit PipePair(DWORD bufferSize = 65536);
    ~PipePair();
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;

    bool ClientWrite(const std::string& bytes);
    // Exactly size bytes, or fewer when no more arrive within the limit.
    std::string ClientRead(DWORD size, DWORD limitMilliseconds = 5000);
    void CloseClient();

    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped = {};
};

// The little-endian count of a message.
std::string CountBytes(uint32_t count);

// Writes bytes to the client end of a pair from a thread of its own after a
// delay, as a client whose message reaches the pipe in pieces; with an
// interval, one byte at a time, until all are written or a write fails.
class LateWrite {
public:
    LateWrite(PipePair& pair, const std::string& bytes, DWORD delayMilliseconds, DWORD byteInterval = 0);
    ~LateWrite();  // waits for the write
    LateWrite(const LateWrite&) = delete;
    LateWrite& operator=(const LateWrite&) = delete;
    // Waits for the thread; true when every byte was written.
    bool Finish();

private:
    static DWORD WINAPI Run(LPVOID self);
    HANDLE client_;
    std::string bytes_;
    DWORD delay_;
    DWORD interval_;
    volatile bool written_ = false;
    HANDLE thread_ = nullptr;
};

// pipeClientTimeout for the scope.
class ClientTimeout {
public:
    explicit ClientTimeout(DWORD milliseconds);
    ~ClientTimeout();

private:
    DWORD saved_;
};

// Every timed wait of the pipe code for the scope, in order: the event (null
// for a pause) and the period. The waits still happen unless pauses are
// skipped; a hook runs before each one (on the waiting thread) with its number from 1.
struct Poll {
    HANDLE event;
    DWORD milliseconds;
};
class PollRecorder {
public:
    using Hook = std::function<void(size_t number, const Poll& poll)>;
    explicit PollRecorder(Hook hook = nullptr, bool skipPauses = false);
    ~PollRecorder();
    PollRecorder(const PollRecorder&) = delete;
    PollRecorder& operator=(const PollRecorder&) = delete;
    std::vector<Poll> polls() const;

private:
    static DWORD Wait(HANDLE event, DWORD milliseconds);
    static PollRecorder* current_;
    mutable CRITICAL_SECTION lock_;
    std::vector<Poll> polls_;
    Hook hook_;
    bool skipPauses_;
};

// The instance creations and closes of ClientControl for the scope: the
// parameters of each creation, and the creations refused with an error, as
// Windows refuses a first instance while another program holds the name, or
// any instance while the one closed before lingers (Wine does neither). A hook
// runs after each instance made, with the creation's number from 1.
struct Creation {
    DWORD openMode, pipeMode, instances, outBuffer, inBuffer, timeout;
    bool security;
};
class CreationRecorder {
public:
    using Refuse = std::function<bool(unsigned number)>;
    using Hook = std::function<void(unsigned number, HANDLE instance)>;
    // The first refusals creations are refused.
    explicit CreationRecorder(unsigned refusals = 0, DWORD error = ERROR_ACCESS_DENIED);
    CreationRecorder(Refuse refuse, DWORD error, Hook hook = nullptr);
    ~CreationRecorder();
    CreationRecorder(const CreationRecorder&) = delete;
    CreationRecorder& operator=(const CreationRecorder&) = delete;
    std::vector<Creation> creations() const;
    // The events in order, each named by its creation's number: "+N" made
    // ("+NF" when it asked to be the first of its name), "xN" refused, "-N" closed.
    std::string sequence() const;

private:
    static HANDLE WINAPI Create(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
    static BOOL WINAPI Close(HANDLE instance);
    void Note(const std::string& event);
    static CreationRecorder* current_;
    mutable CRITICAL_SECTION lock_;
    std::vector<Creation> creations_;
    std::vector<std::pair<HANDLE, unsigned>> open_;  // instances made and not yet closed
    std::string sequence_;
    Refuse refuse_;
    DWORD error_;
    Hook hook_;
};

// The moments of a sequence (see CreationRecorder) at which no instance of the
// name existed, from the first instance made until the last event: "after
// EVENT" for each; none when the name never lapsed.
std::vector<std::string> Lapses(const std::string& sequence);

// The SID allocations of the pipe's security descriptor for the scope: the
// calls whose numbers (from 1) are listed fail with the error, as when memory
// runs out; the others are made.
class SidFailures {
public:
    SidFailures(std::vector<unsigned> failing, DWORD error = ERROR_NOT_ENOUGH_MEMORY);
    ~SidFailures();
    SidFailures(const SidFailures&) = delete;
    SidFailures& operator=(const SidFailures&) = delete;
    unsigned calls() const;

private:
    static BOOL WINAPI Allocate(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                DWORD, PSID*);
    static SidFailures* current_;
    mutable CRITICAL_SECTION lock_;
    std::vector<unsigned> failing_;
    DWORD error_;
    unsigned calls_ = 0;
};

// The CPU time the calling thread has used, in milliseconds.
unsigned long long ThreadCpuMilliseconds();

}  // namespace pipetest
