#pragma once
// A test's own server for the control pipe: one instance under the real pipe
// name, one client, a script run on a thread of its own. Every wait is bounded.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace test {

// A descriptor, in SDDL, that names the Administrators group as owner: what
// the control centre asks of the service's pipe before it sends anything.
extern const wchar_t* const serviceOwnedPipe;  // L"O:BA"

// Security attributes made from a descriptor in SDDL; none (the default
// descriptor) for an empty text. A text that is no descriptor is not valid.
class PipeDescriptor {
public:
    explicit PipeDescriptor(const std::wstring& sddl);
    ~PipeDescriptor();
    PipeDescriptor(const PipeDescriptor&) = delete;
    PipeDescriptor& operator=(const PipeDescriptor&) = delete;
    bool valid() const { return valid_; }
    SECURITY_ATTRIBUTES* attributes() { return attributes_.lpSecurityDescriptor != nullptr ? &attributes_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_ = {};
    bool valid_ = true;
};

class ScriptedPipeServer {
public:
    using Script = std::function<void(ScriptedPipeServer&)>;

    // The instance exists when the constructor returns, made with the
    // descriptor given in SDDL ("" for none; none is made for a text that is
    // no descriptor); the script runs once a client
    // has connected (or not at all when none comes within the limit), and the
    // instance is closed when it returns.
    explicit ScriptedPipeServer(Script script, DWORD connectLimitMs = 10000,
                                const std::wstring& descriptor = serviceOwnedPipe);
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
