#include <doctest/doctest.h>

#include "pipe_framing.h"
#include "service_pipe_fixture.h"
#include "service_state.h"

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

TEST_CASE("ReadMessage cuts at a zero byte, takes a short body and fails without a whole count")
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
    SUBCASE("a short body is taken, and what follows starts the next message")
    {
        PipePair pair;
        REQUIRE(pair.ClientWrite(CountBytes(10) + "abcd"));
        std::string text;
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "abcd");
        REQUIRE(pair.ClientWrite(CountBytes(2) + "ef"));
        CHECK(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text == "ef");
    }
    SUBCASE("half a count, then the client leaves")
    {
        PipePair pair;
        REQUIRE(pair.ClientWrite(std::string("\x05\x00", 2)));
        pair.CloseClient();
        std::string text = "stale";
        CHECK_FALSE(ReadMessage(pair.server, text, &pair.overlapped));
        CHECK(text.empty());
        CHECK_FALSE(ReadMessage(pair.server, text, &pair.overlapped));
    }
}

TEST_CASE("WriteMessage sends the count and the text, with no bound of its own")
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
    big.assign(big.size(), 'z');  // whatever reaches the client now came from before the cancel
    const std::string arrived = pair.ClientRead(static_cast<DWORD>(big.size()), 1000);
    CHECK(arrived.size() < big.size());
    CHECK(arrived.find('z') == std::string::npos);
}
