// A client of the control pipe for the pipe tests: runs a script of pipe
// operations from a file and writes what it saw to another file.
//
//   service_pipe_client SCRIPT OUTPUT
//
// Script lines ("H" is a connection number 0-7; TEXT is escaped, see
// service_pipe_script.h, and runs to the end of the line):
//   open H            connect, retrying for up to 20 s      -> "open H ok" | "open H failed CODE"
//   tryopen H         one attempt                           -> "tryopen H ok" | "tryopen H failed CODE"
//   send H TEXT       one message: count, then body (two writes, as the control centre does)
//   fill H N C        one message of N bytes C
//   raw H TEXT        the bytes as they stand, one write
//   count H N         a bare 4-byte count
//   random H N SEED   N pseudo-random bytes
//   read H            one message                           -> "reply H TEXT" | "noreply H" | "toolong H N"
//   drain H           read until the server closes          -> "closed H BYTES"
//   close H
//   sleep MS
//   flood MS          open and at once close, as often as possible for MS ms -> "flood ATTEMPTS CONNECTED"
//   mark TEXT         -> "mark TEXT" (lets a test see how far the script got)
// Failed writes print "writefailed H CODE". The program ends itself after 90 s.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "service_pipe_script.h"

namespace {

const wchar_t* const controlPipe = L"\\\\.\\pipe\\VarnokeBackupPipe";
const DWORD openRetryMilliseconds = 20000;
const DWORD lifetimeMilliseconds = 90000;
const int connectionSlots = 8;

HANDLE connections[connectionSlots];
FILE* output = nullptr;

void Say(const std::string& line)
{
    std::fputs(line.c_str(), output);
    std::fputc('\n', output);
    std::fflush(output);
}

DWORD WINAPI Watchdog(LPVOID)
{
    Sleep(lifetimeMilliseconds);
    Say("timeout");
    ExitProcess(3);
}

HANDLE OpenPipe() { return CreateFileW(controlPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); }

bool WriteAll(int slot, const void* data, DWORD size)
{
    DWORD written = 0;
    if (size == 0)
        return true;
    if (WriteFile(connections[slot], data, size, &written, nullptr) && written == size)
        return true;
    Say("writefailed " + std::to_string(slot) + " " + std::to_string(GetLastError()));
    return false;
}

void SendMessageText(int slot, const std::string& body)
{
    const uint32_t count = static_cast<uint32_t>(body.size());
    if (WriteAll(slot, &count, sizeof count))
        WriteAll(slot, body.data(), count);
}

// Reads exactly size bytes; false at the end of the connection.
bool ReadAll(int slot, void* data, DWORD size)
{
    char* at = static_cast<char*>(data);
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(connections[slot], at, size, &got, nullptr) || got == 0)
            return false;
        at += got;
        size -= got;
    }
    return true;
}

void ReadReply(int slot)
{
    const std::string name = std::to_string(slot);
    uint32_t count = 0;
    if (!ReadAll(slot, &count, sizeof count)) {
        Say("noreply " + name);
        return;
    }
    if (count >= 32768) {
        Say("toolong " + name + " " + std::to_string(count));
        return;
    }
    std::string body(count, '\0');
    if (count > 0 && !ReadAll(slot, &body[0], count)) {
        Say("noreply " + name);
        return;
    }
    Say("reply " + name + " " + pipescript::Escape(body));
}

void Drain(int slot)
{
    unsigned long long total = 0;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(connections[slot], buffer, sizeof buffer, &got, nullptr) && got > 0)
        total += got;
    Say("closed " + std::to_string(slot) + " " + std::to_string(total));
}

void Flood(DWORD milliseconds)
{
    unsigned long attempts = 0, connected = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        ++attempts;
        HANDLE pipe = OpenPipe();
        if (pipe != INVALID_HANDLE_VALUE) {
            ++connected;
            CloseHandle(pipe);
        }
    }
    Say("flood " + std::to_string(attempts) + " " + std::to_string(connected));
}

void RunLine(const std::string& line)
{
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb.empty())
        return;
    if (verb == "sleep") {
        DWORD ms = 0;
        words >> ms;
        Sleep(ms);
        return;
    }
    if (verb == "flood") {
        DWORD ms = 0;
        words >> ms;
        Flood(ms);
        return;
    }
    if (verb == "mark") {
        Say(line);
        return;
    }
    int slot = -1;
    words >> slot;
    if (slot < 0 || slot >= connectionSlots) {
        Say("badline " + line);
        return;
    }
    const std::string name = std::to_string(slot);
    // TEXT runs from after the single blank that follows the connection number.
    std::string rest;
    const size_t verbEnd = line.find(' ');
    const size_t slotEnd = verbEnd == std::string::npos ? std::string::npos : line.find(' ', verbEnd + 1);
    if (slotEnd != std::string::npos)
        rest = line.substr(slotEnd + 1);

    if (verb == "open" || verb == "tryopen") {
        const DWORD start = GetTickCount();
        HANDLE pipe;
        while ((pipe = OpenPipe()) == INVALID_HANDLE_VALUE && verb == "open" &&
               GetTickCount() - start < openRetryMilliseconds)
            Sleep(2);
        if (pipe == INVALID_HANDLE_VALUE) {
            Say(verb + " " + name + " failed " + std::to_string(GetLastError()));
            return;
        }
        connections[slot] = pipe;
        Say(verb + " " + name + " ok");
    } else if (verb == "send") {
        SendMessageText(slot, pipescript::Unescape(rest));
    } else if (verb == "fill") {
        unsigned long size = 0;
        std::string fillCharacter;
        words >> size >> fillCharacter;
        SendMessageText(slot, std::string(size, fillCharacter.empty() ? 'x' : fillCharacter[0]));
    } else if (verb == "raw") {
        const std::string bytes = pipescript::Unescape(rest);
        WriteAll(slot, bytes.data(), static_cast<DWORD>(bytes.size()));
    } else if (verb == "count") {
        unsigned long long value = 0;
        words >> value;
        const uint32_t count = static_cast<uint32_t>(value);
        WriteAll(slot, &count, sizeof count);
    } else if (verb == "random") {
        unsigned long size = 0, seed = 0;
        words >> size >> seed;
        std::string bytes(size, '\0');
        for (char& c : bytes) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 16);
        }
        WriteAll(slot, bytes.data(), static_cast<DWORD>(bytes.size()));
    } else if (verb == "read") {
        ReadReply(slot);
    } else if (verb == "drain") {
        Drain(slot);
    } else if (verb == "close") {
        CloseHandle(connections[slot]);
        connections[slot] = INVALID_HANDLE_VALUE;
    } else {
        Say("badline " + line);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    output = std::fopen(argv[2], "wb");
    if (output == nullptr)
        return 2;
    for (HANDLE& connection : connections)
        connection = INVALID_HANDLE_VALUE;
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr)
        CloseHandle(watchdog);

    FILE* script = std::fopen(argv[1], "rb");
    if (script == nullptr)
        return 2;
    std::string line;
    int c;
    while ((c = std::fgetc(script)) != EOF) {
        if (c == '\n') {
            RunLine(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty())
        RunLine(line);
    std::fclose(script);
    Say("end");
    std::fclose(output);
    return 0;
}
