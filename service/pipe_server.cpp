#include "pipe_server.h"

#include "control_thread.h"
#include "log.h"
#include "pipe_commands.h"
#include "pipe_framing.h"
#include "service_state.h"
#include "text.h"

#include <vector>

CreatePipeFunction createPipeInstance = CreateNamedPipeW;
ClosePipeFunction closePipeInstance = CloseHandle;
AllocateSidFunction allocatePipeSid = AllocateAndInitializeSid;

namespace {

const DWORD pipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
// The served instance is closed only once the next one exists, so the name is
// never free for another program to take: two instances at most, one served
// (or just served) and one waiting. Every instance of a name gives the same number.
const DWORD pipeInstances = 2;
const DWORD pipeBufferSize = 65536;
// A stop while no client is connected is seen within one connect poll.
const DWORD connectPollMilliseconds = 500;
// Pauses after a failed instance creation: a quick retry first (on Windows the
// instance just closed lingers until its client has closed its end too), then
// a calm pace while the name stays taken.
const DWORD quickRetryMilliseconds = 100;
const DWORD calmRetryMilliseconds = 1000;

// Who may open the pipe. The default descriptor of a LocalSystem pipe lets
// everyone, anonymous users too, open it for reading and so hold the one
// instance; this one admits LocalSystem and administrators only. A network
// logon is refused by a deny entry for NETWORK placed first: XP knows no
// remote-client refusal flag. Its owner is set too (see Build).
class PipeSecurity {
public:
    PipeSecurity() { ZeroMemory(&attributes_, sizeof attributes_); }
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    bool Built() const { return attributes_.lpSecurityDescriptor != nullptr; }
    // False, with the failed step's error as the last error, when it could not be built.
    bool Build();
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    std::vector<DWORD> acl_;  // DWORD-aligned, as an ACL must be
    std::vector<DWORD> owner_;  // the owner's SID, as long as the descriptor
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};

bool PipeSecurity::Build()
{
    struct Entry {
        bool allowed;
        BYTE count;
        DWORD first, second;
    };
    const Entry entries[] = {
        {false, 1, SECURITY_NETWORK_RID, 0},
        {true, 1, SECURITY_LOCAL_SYSTEM_RID, 0},
        {true, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
    };
    const size_t entryCount = sizeof entries / sizeof entries[0];
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID sids[entryCount] = {};
    bool ok = true;
    DWORD aclSize = sizeof(ACL);
    for (size_t i = 0; ok && i < entryCount; ++i) {
        ok = allocatePipeSid(&ntAuthority, entries[i].count, entries[i].first, entries[i].second, 0, 0, 0, 0, 0, 0,
                             &sids[i]) != FALSE;
        if (ok)  // an allowed and a denied entry have the same size
            aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sids[i]);
    }
    ACL* acl = nullptr;
    if (ok) {
        acl_.assign((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        acl = reinterpret_cast<ACL*>(acl_.data());
        ok = InitializeAcl(acl, aclSize, ACL_REVISION) != FALSE;
    }
    for (size_t i = 0; ok && i < entryCount; ++i)
        ok = (entries[i].allowed ? AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sids[i])
                                 : AddAccessDeniedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sids[i])) != FALSE;
    // The control centre talks only to a pipe owned by LocalSystem or the
    // Administrators group, owners no program without administrator rights can
    // give an object; left unset, the owner would be the token's default. The
    // group, because a service run under an administrator's account may set it
    // as well as a LocalSystem one (it could not set LocalSystem).
    const size_t ownerEntry = 2;  // Administrators
    if (ok) {
        const DWORD ownerSize = GetLengthSid(sids[ownerEntry]);
        owner_.assign((ownerSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        ok = CopySid(ownerSize, owner_.data(), sids[ownerEntry]) != FALSE;
    }
    ok = ok && InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
         SetSecurityDescriptorOwner(&descriptor_, owner_.data(), FALSE);
    const DWORD error = GetLastError();
    for (PSID sid : sids) {
        if (sid != nullptr)
            FreeSid(sid);  // the entries hold copies
    }
    if (ok) {
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    SetLastError(error);
    return ok;
}

// The system's text of an error, without the line end it comes with.
std::wstring ErrorText(DWORD code)
{
    std::wstring text = Win32ErrorTextW(code);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// Pauses in pieces no longer than a connect poll, so a stop is seen as soon.
void PauseBeforeRetry(DWORD milliseconds)
{
    while (milliseconds > 0 && !StopRequested()) {
        const DWORD piece = milliseconds < connectPollMilliseconds ? milliseconds : connectPollMilliseconds;
        pipeWait(nullptr, piece);
        milliseconds -= piece;
    }
}

}  // namespace

DWORD WINAPI ClientControl(LPVOID parameter)
{
    ClientControlArgs* args = static_cast<ClientControlArgs*>(parameter);
    LogMessageA("ClientControl() Entry");

    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    HANDLE connectionEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connectionEvent == nullptr) {
        LogMessageA("Error: ClientControl() Could not create manual reset event for named pipe");
        LogMessageA("ClientControl() Error Exit");
        return 1;
    }
    overlapped.hEvent = connectionEvent;

    PipeSecurity security;
    bool securityFailed = false;  // said once
    unsigned long failedCreations = 0;  // in a row
    // The instance last served (or given up on), kept until the next one exists.
    HANDLE served = INVALID_HANDLE_VALUE;
    while (!StopRequested()) {
        // Never offered with the default descriptor: without its own, no pipe.
        if (!security.Built()) {
            if (!security.Build()) {
                const DWORD error = GetLastError();
                if (!securityFailed)
                    LogMessageA(
                        "ClientControl() Could not build the security descriptor of named pipe %S, error %lu( %S). Retrying every %lu ms.",
                        pipeName, error, ErrorText(error).c_str(), static_cast<unsigned long>(calmRetryMilliseconds));
                securityFailed = true;
                PauseBeforeRetry(calmRetryMilliseconds);
                continue;
            }
        }
        // Holding none, the service asks for the first instance of the name or
        // none: a program that took the name first must not share it with the
        // service and receive the control centre's requests. Holding its own,
        // that flag would refuse the service's next instance.
        const DWORD openMode =
            served == INVALID_HANDLE_VALUE ? pipeOpenMode | FILE_FLAG_FIRST_PIPE_INSTANCE : pipeOpenMode;
        HANDLE pipe = createPipeInstance(pipeName, openMode, pipeMode, pipeInstances, pipeBufferSize, pipeBufferSize,
                                         0, security.Attributes());
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Logged once per outage, and only when the quick retry did not help.
            // On Windows the instance closed before lingers until its client has
            // closed its end, and counts until then.
            if (++failedCreations == 2) {
                LogMessageA("ClientControl() Could not create named pipe %S", pipeName);
                LogMessageA("ClientControl() Named pipe creation error %lu( %S). Retrying every %lu ms.", error,
                            ErrorText(error).c_str(), static_cast<unsigned long>(calmRetryMilliseconds));
            }
            PauseBeforeRetry(failedCreations == 1 ? quickRetryMilliseconds : calmRetryMilliseconds);
            continue;
        }
        if (served != INVALID_HANDLE_VALUE) {
            // Nothing is flushed and the instance is not disconnected: the
            // client still reads what it has not read yet.
            LogMessageA("ClientControl() Closed Pipe");
            closePipeInstance(served);
            served = INVALID_HANDLE_VALUE;
        }
        if (failedCreations >= 2)
            LogMessageA("ClientControl() Created named pipe %S after %lu failed attempts", pipeName,
                        failedCreations);
        failedCreations = 0;
        LogMessageA("ClientControl() Created Pipe, waiting for connection ...");
        // An overlapped connect that completes at once means a client is there.
        DWORD code = ConnectNamedPipe(pipe, &overlapped) ? ERROR_PIPE_CONNECTED : GetLastError();
        bool done = false;
        while (!StopRequested() && !done) {
            if (code == ERROR_PIPE_CONNECTED) {
                LogMessageA("ClientControl() Pipe connected");
                ProcessPipeMessage(args, pipe, &overlapped);
                done = true;
            } else if (code == ERROR_IO_PENDING) {
                if (pipeWait(connectionEvent, connectPollMilliseconds) == WAIT_OBJECT_0) {
                    LogMessageA("ClientControl() Pending Pipe connection appears to have succeeded");
                    DWORD ignored = 0;
                    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                    code = ERROR_PIPE_CONNECTED;
                }
            } else {
                LogMessageA("ClientControl() Unknown error code %lu( %S). Aborting.", code,
                            Win32ErrorTextW(code).c_str());
                done = true;
            }
        }
        // A connect still pending at a stop is ended before the instance goes,
        // so nothing completes into the record after this thread has left it.
        if (!done && code == ERROR_IO_PENDING)
            CancelPipeOperation(pipe, &overlapped);
        served = pipe;
    }
    // At the stop whatever instance is held goes, waiting or served.
    if (served != INVALID_HANDLE_VALUE) {
        LogMessageA("ClientControl() Closed Pipe");
        closePipeInstance(served);
    }

    CloseHandle(connectionEvent);
    LogMessageA("ClientControl() Standard Exit");
    return 0;
}
