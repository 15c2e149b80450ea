#include "tray_core_pipe_server.h"

#include <sddl.h>

namespace test {

static const wchar_t* const controlPipe = L"\\\\.\\pipe\\VarnokeBackupPipe";

const wchar_t* const serviceOwnedPipe = L"O:BA";

PipeDescriptor::PipeDescriptor(const std::wstring& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sddl.empty())
        return;
    valid_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr) != FALSE;
    if (valid_) {
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor;
    }
}

PipeDescriptor::~PipeDescriptor()
{
    if (attributes_.lpSecurityDescriptor != nullptr)
        LocalFree(attributes_.lpSecurityDescriptor);
}

std::string PipeCount(unsigned long count)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    return bytes;
}

std::string PipeFrame(const std::string& text)
{
    return PipeCount(static_cast<unsigned long>(text.size())) + text;
}

ScriptedPipeServer::ScriptedPipeServer(Script script, DWORD connectLimitMs, const std::wstring& descriptor)
    : script_(std::move(script)), connectLimit_(connectLimitMs)
{
    PipeDescriptor security(descriptor);
    if (security.valid())
        pipe_ = CreateNamedPipeW(controlPipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1, 65536, 65536, 0,
                                 security.attributes());
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe_ != INVALID_HANDLE_VALUE && event_ != nullptr) {
        connect_.hEvent = event_;
        connectDone_ = ConnectNamedPipe(pipe_, &connect_);
        connectError_ = connectDone_ ? 0 : GetLastError();
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
}

ScriptedPipeServer::~ScriptedPipeServer()
{
    if (!Finish() && thread_ != nullptr) {
        // Closing the instance fails whatever the script still waits for.
        HANDLE pipe = pipe_;
        pipe_ = INVALID_HANDLE_VALUE;
        CloseHandle(pipe);
        WaitForSingleObject(thread_, 5000);
    }
    if (thread_ != nullptr)
        CloseHandle(thread_);
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    if (event_ != nullptr)
        CloseHandle(event_);
}

bool ScriptedPipeServer::Finish(DWORD limitMs)
{
    return thread_ == nullptr || WaitForSingleObject(thread_, limitMs) == WAIT_OBJECT_0;
}

DWORD WINAPI ScriptedPipeServer::Run(void* self)
{
    ScriptedPipeServer& server = *static_cast<ScriptedPipeServer*>(self);
    OVERLAPPED& overlapped = server.connect_;
    bool connected = server.connectDone_ != FALSE;
    if (!connected) {
        const DWORD error = server.connectError_;
        if (error == ERROR_PIPE_CONNECTED) {
            connected = true;
        } else if (error == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            if (WaitForSingleObject(server.event_, server.connectLimit_) == WAIT_OBJECT_0) {
                connected = GetOverlappedResult(server.pipe_, &overlapped, &ignored, TRUE) != FALSE;
            }
            // At the limit the connect stays pending: it was started on the
            // constructor's thread, where CancelIo cannot reach it from here.
            // Closing the instance below ends it; the record lives on in the object.
        }
    }
    server.connected_ = connected;
    if (connected && server.script_)
        server.script_(server);
    // Like the service, close the instance after the one exchange: a client
    // still waiting for a reply sees the end of the stream.
    CloseHandle(server.pipe_);
    server.pipe_ = INVALID_HANDLE_VALUE;
    return 0;
}

// One overlapped read or write, given up (and cancelled) at the limit.
DWORD ScriptedPipeServer::Transfer(bool write, void* buffer, DWORD count, DWORD limitMs)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    DWORD moved = 0;
    BOOL done = write ? WriteFile(pipe_, buffer, count, &moved, &overlapped)
                      : ReadFile(pipe_, buffer, count, &moved, &overlapped);
    if (done)
        return moved;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    if (WaitForSingleObject(event_, limitMs) != WAIT_OBJECT_0)
        CancelIo(pipe_);
    moved = 0;
    if (!GetOverlappedResult(pipe_, &overlapped, &moved, TRUE))
        return 0;
    return moved;
}

bool ScriptedPipeServer::ReadFull(void* buffer, DWORD count, DWORD limitMs)
{
    char* bytes = static_cast<char*>(buffer);
    DWORD got = 0;
    while (got < count) {
        DWORD moved = Transfer(false, bytes + got, count - got, limitMs);
        if (moved == 0)
            return false;
        got += moved;
    }
    return true;
}

bool ScriptedPipeServer::ReadMessage(std::string& text, DWORD limitMs)
{
    text.clear();
    unsigned char count[4];
    if (!ReadFull(count, 4, limitMs))
        return false;
    const DWORD size = count[0] | (count[1] << 8) | (count[2] << 16) | (static_cast<DWORD>(count[3]) << 24);
    if (size > 1 << 20)
        return false;
    std::string body(size, '\0');
    if (size > 0 && !ReadFull(&body[0], size, limitMs))
        return false;
    text = body;
    received_.push_back(body);
    return true;
}

bool ScriptedPipeServer::WriteBytes(const std::string& bytes)
{
    std::string copy = bytes;
    return copy.empty() || Transfer(true, &copy[0], static_cast<DWORD>(copy.size()), 5000) == copy.size();
}

bool ScriptedPipeServer::WriteMessage(const std::string& text) { return WriteBytes(PipeFrame(text)); }

bool ScriptedPipeServer::WaitForClientClose(DWORD limitMs)
{
    char byte;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    DWORD moved = 0;
    if (ReadFile(pipe_, &byte, 1, &moved, &overlapped))
        return false;  // the client sent something
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(event_, limitMs) != WAIT_OBJECT_0)
            CancelIo(pipe_);
        if (GetOverlappedResult(pipe_, &overlapped, &moved, TRUE))
            return false;
        error = GetLastError();
    }
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

}  // namespace test
