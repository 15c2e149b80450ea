#pragma once
// Fixtures of the pipe tests: the service's database state, the pipe server
// on a thread of the test process, a private overlapped pipe pair, and the
// client program that talks to the server from another process.
#include <windows.h>

#include <cstdint>
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
    void AddFileRow(const std::string& path, uint64_t attributes, uint64_t selfId, const std::string& time,
                    uint64_t volumeId, const std::string& localPath);
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

size_t Occurrences(const std::string& text, const std::string& piece);
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

}  // namespace pipetest
