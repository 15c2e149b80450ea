#include <doctest/doctest.h>

#include "pipe_framing.h"
#include "service_pipe_fixture.h"
#include "service_state.h"

#include <memory>
#include <vector>

using pipetest::CountBytes;
using pipetest::PipePair;

namespace {

const char* const overflowLine =
    "Reading from named pipe would have caused a buffer overflow. The read has been aborted.";

// The stop byte for the scope; a helper thread sets it after a time limit, so
// a read that would wait for ever ends instead of hanging the test.
class StopByte {
public:
    explicit StopByte(DWORD limitMilliseconds = 10000) : limit_(limitMilliseconds)
    {
        serviceStopFlag = &byte_;
        done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        guard_ = CreateThread(nullptr, 0, Guard, this, 0, nullptr);
    }
    ~StopByte()
    {
        SetEvent(done_);
        WaitForSingleObject(guard_, 5000);
        CloseHandle(guard_);
        CloseHandle(done_);
        serviceStopFlag = nullptr;
    }
    void Set(bool on) { byte_ = on ? 1 : 0; }
    bool IsSet() const { return byte_ != 0; }

private:
    static DWORD WINAPI Guard(LPVOID self)
    {
        StopByte* stop = static_cast<StopByte*>(self);
        if (WaitForSingleObject(stop->done_, stop->limit_) == WAIT_TIMEOUT)
            stop->byte_ = 1;
        return 0;
    }
    volatile uint8_t byte_ = 0;
    DWORD limit_;
    HANDLE done_ = nullptr;
    HANDLE guard_ = nullptr;
};

}  // namespace

TEST_CASE("ReadMessage takes counts up to 32767 and refuses larger ones, leaving the body")
{
    struct Case {
        uint32_t count;
        bool accepted;
    };
    const Case cases[] = {{32767, true}, {32768, false}, {0xFFFFFFFFu, false}};
    for (const Case& c : cases) {
        CAPTURE(c.count);
        test::LogCapture log;
        StopByte stop;
        PipePair pair;
        const std::string body(c.count <= 40000 ? c.count : 100, 'b');
        REQUIRE(pair.ClientWrite(CountBytes(c.count) + body));
        std::string text = "stale";
        CHECK(ReadMessage(pair.server, text, &pair.overlapped) == c.accepted);
        if (c.accepted) {
            CHECK(text == body);
            CHECK(log.text().find(overflowLine) == std::string::npos);
        } else {
            CHECK(text.empty());
            CHECK(pipetest::Occurrences(log.text(), overflowLine) == 1);
            // Not drained: the next four bytes are taken from the refused body.
            char next[4] = {};
            CHECK(PipeRead(pair.server, next, 4, &pair.overlapped) == 4);
            CHECK(std::string(next, 4) == "bbbb");
        }
    }
}

TEST_CASE("ReadMessage cuts at a zero byte, and fails without a whole count or body")
{
    StopByte stop;
    SUBCASE("zero byte and empty body")
    {
        PipePair pair;
        REQUIRE(pair.ClientWrite(CountBytes(5) + std::string("ab\0cd", 5) + CountBytes(0) + CountBytes(2) + "ok"));
        std::string text;
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "ab");
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "");
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "ok");
    }
    // A message the client did not finish is not taken, not even in part.
    const std::string unfinished[] = {std::string("\x05\x00", 2), CountBytes(10) + "abcd"};
    for (const std::string& bytes : unfinished) {
        CAPTURE(bytes.size());
        PipePair pair;
        REQUIRE(pair.ClientWrite(bytes));
        pair.CloseClient();
        std::string text = "stale";
        CHECK_FALSE(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text.empty());
        CHECK_FALSE(ReadMessage(pair.server, text, &pair.overlapped));
    }
}

TEST_CASE("a message that reaches the pipe in pieces is read whole")
{
    struct Case {
        const char* name;
        std::string first, later;
    };
    const std::string whole = CountBytes(13) + "C:\\Data\\Fotos";
    const Case cases[] = {
        {"count in two", whole.substr(0, 2), whole.substr(2)},
        {"body in two", whole.substr(0, 11), whole.substr(11)},
        {"count alone", whole.substr(0, 4), whole.substr(4)},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.name));
        test::LogCapture log;
        StopByte stop;
        PipePair pair;
        REQUIRE(pair.ClientWrite(c.first));
        std::string text;
        pipetest::LateWrite rest(pair, c.later + CountBytes(2) + "ok", 300);
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(rest.Finish());
        CHECK(text == "C:\\Data\\Fotos");
        // The next message is read in step.
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "ok");
        CHECK(log.text().find("Connection dropped") == std::string::npos);
    }
}

TEST_CASE("a client that sends nothing, or stops within a message, is dropped at the bound")
{
    struct Case {
        const char* name;
        std::string bytes;  // all the client sends, at once
        bool trickle;       // one byte every 100 ms: each arrives within a poll, the whole not within the bound
    };
    const Case cases[] = {
        {"nothing", "", false},
        {"half a count", std::string("\x05\x00", 2), false},
        {"part of the body", CountBytes(20) + "C:\\Data", false},
        {"a trickle", CountBytes(16) + std::string(16, 't'), true},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.name));
        test::LogCapture log;
        StopByte stop;
        pipetest::ClientTimeout bound(600);
        PipePair pair;
        pipetest::PollRecorder recorder;
        std::unique_ptr<pipetest::LateWrite> trickle;
        if (c.trickle)
            trickle.reset(new pipetest::LateWrite(pair, c.bytes, 0, 100));
        else if (!c.bytes.empty())
            REQUIRE(pair.ClientWrite(c.bytes));
        std::string text = "stale";
        CHECK_FALSE(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text.empty());
        CHECK_FALSE(stop.IsSet());
        CHECK(HasOverlappedIoCompleted(&pair.overlapped));
        CHECK(pipetest::Occurrences(
                  log.text(), "Named pipe client sent no whole message within 600 ms. Connection dropped.") == 1);
        // Each wait is one 200 ms poll of the read's own event.
        const std::vector<pipetest::Poll> polls = recorder.polls();
        CHECK_FALSE(polls.empty());
        for (const pipetest::Poll& poll : polls) {
            CHECK(poll.event == pair.overlapped.hEvent);
            CHECK(poll.milliseconds == 200);
        }
        // Dropped: the client's end is cut off, the rest of the trickle with it.
        DWORD written = 0;
        CHECK_FALSE(WriteFile(pair.client, "x", 1, &written, nullptr));
        if (trickle)
            CHECK_FALSE(trickle->Finish());
    }
}

TEST_CASE("a reply the client does not take is given up at the bound, waiting on the write's event")
{
    test::LogCapture log;
    StopByte stop;
    pipetest::ClientTimeout bound(1000);
    PipePair pair(512);
    pipetest::PollRecorder recorder;
    const unsigned long long cpuBefore = pipetest::ThreadCpuMilliseconds();
    WriteMessage(pair.server, std::string(1 << 16, 'r'), &pair.overlapped);
    const unsigned long long cpu = pipetest::ThreadCpuMilliseconds() - cpuBefore;
    CHECK_FALSE(stop.IsSet());
    CHECK(HasOverlappedIoCompleted(&pair.overlapped));
    CHECK(pipetest::Occurrences(log.text(),
                                "Named pipe client took no whole reply within 1000 ms. Connection dropped.") == 1);
    const std::vector<pipetest::Poll> polls = recorder.polls();
    CHECK_FALSE(polls.empty());
    for (const pipetest::Poll& poll : polls) {
        CHECK(poll.event == pair.overlapped.hEvent);
        CHECK(poll.milliseconds == 200);
    }
    // Waiting, not spinning: a poll loop without waits burns about a third of the time.
    MESSAGE("CPU time of the waiting thread: " << cpu << " ms");
    CHECK(cpu < 100);
    char byte;
    DWORD got = 0;
    CHECK_FALSE(ReadFile(pair.client, &byte, 1, &got, nullptr));
}

TEST_CASE("the stop byte ends a read or a write right after the poll in which it is set")
{
    for (const bool write : {false, true}) {
        CAPTURE(write);
        test::LogCapture log;
        StopByte stop;
        PipePair pair(512);
        pipetest::PollRecorder recorder([&](size_t number, const pipetest::Poll&) {
            if (number == 3)
                stop.Set(true);
        });
        std::string big(1 << 16, 's');
        char buffer[4];
        if (write)
            CHECK_FALSE(PipeWrite(pair.server, big.data(), static_cast<DWORD>(big.size()), &pair.overlapped));
        else
            CHECK(PipeRead(pair.server, buffer, sizeof buffer, &pair.overlapped) == 0);
        CHECK(recorder.polls().size() == 3);
        CHECK(HasOverlappedIoCompleted(&pair.overlapped));
        CHECK(log.text().find("Connection dropped") == std::string::npos);
        // A stop is no drop: the client's end is still connected.
        DWORD written = 0;
        CHECK(WriteFile(pair.client, "x", 1, &written, nullptr));
    }
}

TEST_CASE("WriteMessage sends the count and the text, with no size limit of its own")
{
    StopByte stop;
    PipePair pair;
    const std::string texts[] = {"OK", "", std::string(40000, 'w'), "C:\\Users\\J\xc3\xb6rg"};
    for (const std::string& text : texts) {
        WriteMessage(pair.server, text, &pair.overlapped);
        CHECK(pair.ClientRead(4) == CountBytes(static_cast<uint32_t>(text.size())));
        CHECK(pair.ClientRead(static_cast<DWORD>(text.size())) == text);
    }
}

TEST_CASE("a read given up on the stop byte is cancelled before its buffer goes")
{
    StopByte stop;
    PipePair pair;
    stop.Set(true);
    {
        char abandoned[4] = {};
        CHECK(PipeRead(pair.server, abandoned, sizeof abandoned, &pair.overlapped) == 0);
        CHECK(HasOverlappedIoCompleted(&pair.overlapped));
    }
    // Had the read stayed outstanding it would take the first four bytes.
    stop.Set(false);
    REQUIRE(pair.ClientWrite("wxyz1234"));
    char fresh[4] = {};
    CHECK(PipeRead(pair.server, fresh, sizeof fresh, &pair.overlapped) == 4);
    CHECK(std::string(fresh, 4) == "wxyz");
}

TEST_CASE("a read ends on the stop byte while it waits, and at once when the client has left")
{
    SUBCASE("stop while waiting")
    {
        StopByte stop(600);  // sets the byte after 600 ms
        PipePair pair;
        char buffer[4];
        CHECK(PipeRead(pair.server, buffer, sizeof buffer, &pair.overlapped) == 0);
        CHECK(HasOverlappedIoCompleted(&pair.overlapped));
    }
    SUBCASE("client gone")
    {
        StopByte stop;
        PipePair pair;
        pair.CloseClient();
        char buffer[4];
        CHECK(PipeRead(pair.server, buffer, sizeof buffer, &pair.overlapped) == 0);
        CHECK_FALSE(PipeWrite(pair.server, "abcd", 4, &pair.overlapped));
    }
}

TEST_CASE("a write given up on the stop byte is cancelled before its buffer goes")
{
    StopByte stop;
    PipePair pair(512);
    std::string big(1 << 20, 'q');
    // The client reads nothing, so the write cannot complete at once.
    stop.Set(true);
    CHECK_FALSE(PipeWrite(pair.server, big.data(), static_cast<DWORD>(big.size()), &pair.overlapped));
    CHECK(HasOverlappedIoCompleted(&pair.overlapped));
    // Had the write stayed outstanding, a client that reads would now get all of it.
    const std::string arrived = pair.ClientRead(static_cast<DWORD>(big.size()), 1000);
    CHECK(arrived.size() < big.size());
}
