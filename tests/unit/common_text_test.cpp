#include <doctest/doctest.h>

#include "text.h"

TEST_CASE("narrow and wide formats follow the C runtime's rules")
{
    CHECK(FormatString("%s|%S|%I64u|%I64X", "ab", L"cd", 18446744073709551615ull, 0xABCull) ==
          "ab|cd|18446744073709551615|ABC");
    CHECK(FormatWString(L"%s|%S|%I64u", L"ab", "cd", 5ull) == L"ab|cd|5");
}

#include "log.h"
#include "test_support.h"

TEST_CASE("a log capture sees the lines written")
{
    test::LogCapture log;
    LogMessageA("narrow %s %d", "x", 5);
    LogMessageW(L"wide %s", L"\u00e9");
    const std::string text = log.text();
    CHECK(text.find(" narrow x 5\r\n") != std::string::npos);
    CHECK(text.find(" wide \xc3\xa9\r\n") != std::string::npos);
}
