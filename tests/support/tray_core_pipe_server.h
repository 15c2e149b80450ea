#pragma once
// A test's own server for the control pipe: one instance under the real pipe
// name, one client, a script run on a thread of its own. Every wait is bounded.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace test {

class ScriptedPipeServer {
public:
    using Script = std::function<void(ScriptedPipeServer&)>;

    // The instance exists when the constructor returns; the script runs once a
    // client has connected (or not at all when none comes within the limit),
    // and the instance is closed when it returns.
    explicit ScriptedPipeServer(Script script, DWORD connectLimitMs = 10000);
    ~ScriptedPipeServer();
    ScriptedPipeServer(const ScriptedPipeServer&) = delete;
    ScriptedPipeServer& operator=(const ScriptedPipeServer&) = delete;

    bool created() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Waits for the script to end; false when it did not end in time.
    bool Finish(DWORD limitMs = 15000);
    bool clientConnected() const { return connected_; }
    const std::vector<std::string>& received() const { return received_; }

    // For the script. ReadMessage appends what it read to received(); it is
    // false at the end of the stream (client gone) or at the time limit.
    bool ReadMessage(std::string& text, DWORD limitMs = 5000);
    bool WriteBytes(const std::string& bytes);
    bool WriteMessage(const std::string& text);
    // True when the client closed its end without sending more.
    bool WaitForClientClose(DWORD limitMs = 5000);

private:
    static DWORD WINAPI Run(void* self);
    DWORD Transfer(bool write, void* buffer, DWORD count, DWORD limitMs);
    bool ReadFull(void* buffer, DWORD count, DWORD limitMs);

    Script script_;
    DWORD connectLimit_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    HANDLE thread_ = nullptr;
    volatile bool connected_ = false;
    // The connect is started before the constructor returns: a client that
    // writes everything and closes at once is still seen.
    OVERLAPPED connect_ = {};
    BOOL connectDone_ = FALSE;
    DWORD connectError_ = 0;
    std::vector<std::string> received_;
};

// A little-endian count followed by the bytes: the wire form of one message.
std::string PipeFrame(const std::string& text);
std::string PipeCount(unsigned long count);

}  // namespace test
