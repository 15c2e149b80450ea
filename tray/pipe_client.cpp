#include "pipe_client.h"

#include "log.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <memory>

const wchar_t* const trayPipeName = L"\\\\.\\pipe\\VarnokeBackupPipe";
OpenPipeFunction openControlPipeFile = CreateFileW;

namespace {

const uint32_t replyBufferSize = 32768;  // a count of this or more is refused

// Commands the service answers only after their argument message: sent
// without one, the service would wait for it and the window with it.
bool NeedsArgument(const std::string& command) { return command == "ADD FOLDER" || command == "REMOVE FOLDER"; }

// Only LocalSystem or the Administrators group owns the service's pipe; no
// program without administrator rights can give an object either owner. Any
// other pipe of that name was made by some other program, which must be sent
// nothing: it would read the folders and restore requests and answer for the
// service. A refusal is logged once, here.
bool OwnedByService(HANDLE pipe)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
    bool accepted = false;
    if (result != ERROR_SUCCESS) {
        LogMessageA("Error: Could not read the owner of the control pipe (error %lu). Nothing was sent.",
                    static_cast<unsigned long>(result));
    } else if (owner == nullptr) {
        LogMessageA("Error: The control pipe has no owner, so it is not the service's. Nothing was sent.");
    } else if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        accepted = true;
    } else {
        char* text = nullptr;
        const bool named = ConvertSidToStringSidA(owner, &text) != FALSE;
        LogMessageA("Error: The control pipe is owned by %s, not by the service. Nothing was sent.",
                    named ? text : "an unreadable SID");
        if (named)
            LocalFree(text);
    }
    if (descriptor != nullptr)
        LocalFree(descriptor);
    return accepted;
}

}  // namespace

bool ReadPipeMessage(HANDLE pipe, std::string& text)
{
    text.clear();
    uint32_t count = 0;
    DWORD got = 0;
    if (!ReadFile(pipe, &count, sizeof count, &got, nullptr) || got < sizeof count)
        return false;
    if (count >= replyBufferSize)
        return false;  // the body stays in the pipe; the connection is closed anyway
    std::unique_ptr<char[]> buffer(new char[replyBufferSize]);
    DWORD delivered = 0;
    // One read, whatever it delivers: a short body gives the shorter text. An
    // empty body is not read at all: a read of no bytes from a pipe waits for
    // data that is not coming.
    if (count > 0)
        ReadFile(pipe, buffer.get(), count, &delivered, nullptr);
    if (delivered > count)
        delivered = count;
    buffer[delivered] = '\0';
    text = buffer.get();
    return true;
}

bool WritePipeMessage(HANDLE pipe, std::string text)
{
    const uint32_t count = static_cast<uint32_t>(text.size());
    DWORD written = 0;
    if (!WriteFile(pipe, &count, sizeof count, &written, nullptr) || written < sizeof count)
        return false;
    written = 0;
    if (!WriteFile(pipe, text.data(), count, &written, nullptr))
        return false;
    return written == count;
}

void WritePipeMessageOrThrow(HANDLE pipe, std::string text)
{
    if (!WritePipeMessage(pipe, text))
        throw static_cast<unsigned long>(2);
}

HANDLE OpenControlPipe()
{
    // No wait for a free instance: a busy or missing pipe fails at once.
    HANDLE pipe = openControlPipeFile(trayPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    // GENERIC_READ carries READ_CONTROL, so the owner can be read on this handle.
    if (pipe != INVALID_HANDLE_VALUE && !OwnedByService(pipe)) {
        CloseHandle(pipe);
        return INVALID_HANDLE_VALUE;
    }
    return pipe;
}

std::string SendPipeCommand(std::string command, std::string argument)
{
    if (argument.empty() && NeedsArgument(command))
        return std::string();
    HANDLE pipe = OpenControlPipe();
    if (pipe == INVALID_HANDLE_VALUE)
        return std::string();
    WritePipeMessage(pipe, command);
    if (!argument.empty())
        WritePipeMessage(pipe, argument);
    std::string reply;
    ReadPipeMessage(pipe, reply);
    CloseHandle(pipe);
    return reply;
}
