#include <doctest/doctest.h>

#include "text.h"

TEST_CASE("narrow and wide formats follow the C runtime's rules")
{
    CHECK(FormatString("%s|%S|%I64u|%I64X", "ab", L"cd", 18446744073709551615ull, 0xABCull) ==
          "ab|cd|18446744073709551615|ABC");
    CHECK(FormatWString(L"%s|%S|%I64u", L"ab", "cd", 5ull) == L"ab|cd|5");
}
