#pragma once
// What the control centre passes when it opens the control pipe: a recorder in
// place of the open call for a scope. The open itself still happens, so the
// requests still reach the server. For tests that link the control centre's core.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pipe_client.h"

namespace test {

struct PipeOpen {
    std::wstring name;
    DWORD access, share;
    bool security;
    DWORD disposition, flags;
    bool templateFile;
};

// The parameters as one line, for comparisons that show what differed.
inline std::string PipeOpenText(const PipeOpen& open)
{
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, " access %08lx share %lu security %s disposition %lu flags %08lx template %s",
                  static_cast<unsigned long>(open.access), static_cast<unsigned long>(open.share),
                  open.security ? "given" : "none", static_cast<unsigned long>(open.disposition),
                  static_cast<unsigned long>(open.flags), open.templateFile ? "given" : "none");
    return std::string(open.name.begin(), open.name.end()) + numbers;
}

// Read and write, not shared, opened as it exists, and the server may at most
// identify the caller.
inline std::string ControlCentrePipeOpen()
{
    return PipeOpenText({L"\\\\.\\pipe\\VarnokeBackupPipe", GENERIC_READ | GENERIC_WRITE, 0, false, OPEN_EXISTING,
                         SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, false});
}

// Pipes under the control pipe's name with their descriptors in SDDL, and
// what the control centre makes of each: it talks only to a pipe owned by
// LocalSystem or the Administrators group; for any other it writes the line
// to its log and sends nothing.
struct PipeOwnerCase {
    const wchar_t* descriptor;  // "" for none
    bool accepted;
    const char* line;  // the log's line for a refused pipe
};
inline std::vector<PipeOwnerCase> PipeOwnerCases()
{
    return {
        {L"O:BA", true, ""},
        {L"O:SY", true, ""},
        {L"O:BU", false, "Error: The control pipe is owned by S-1-5-32-545, not by the service. Nothing was sent."},
        {L"O:S-1-5-21-1-2-3-1001", false,
         "Error: The control pipe is owned by S-1-5-21-1-2-3-1001, not by the service. Nothing was sent."},
        {L"", false, "Error: The control pipe has no owner, so it is not the service's. Nothing was sent."},
        // An access list without an owner: Wine gives the pipe its token's default owner.
        {L"D:(A;;GA;;;WD)", false,
         "Error: The control pipe is owned by S-1-5-21-0-0-0-513, not by the service. Nothing was sent."},
    };
}

// Opens come from the calling thread alone (the control centre's GUI thread).
class PipeOpenRecorder {
public:
    PipeOpenRecorder()
    {
        Current() = this;
        openControlPipeFile = Open;
    }
    ~PipeOpenRecorder()
    {
        openControlPipeFile = CreateFileW;
        Current() = nullptr;
    }
    PipeOpenRecorder(const PipeOpenRecorder&) = delete;
    PipeOpenRecorder& operator=(const PipeOpenRecorder&) = delete;
    const std::vector<PipeOpen>& opens() const { return opens_; }

private:
    static PipeOpenRecorder*& Current()
    {
        static PipeOpenRecorder* recorder = nullptr;
        return recorder;
    }
    static HANDLE WINAPI Open(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
    {
        Current()->opens_.push_back(
            {name, access, share, security != nullptr, disposition, flags, templateFile != nullptr});
        return CreateFileW(name, access, share, security, disposition, flags, templateFile);
    }
    std::vector<PipeOpen> opens_;
};

}  // namespace test
