#include <doctest/doctest.h>

#include "test_support.h"
#include "text.h"
#include "timestamp.h"


TEST_CASE("formats follow the C runtime's printf rules")
{
    const unsigned long long biggest = 18446744073709551615ull;
    // Narrow formats: "%s" narrow, "%S" wide.
    CHECK(FormatString("%s|%S|%I64u|%I64X", "ab", L"cd", biggest, 0xABCull) ==
          "ab|cd|18446744073709551615|ABC");
    CHECK(FormatString("%04d%02d %lu %d%%", 7, 3, 4294967295ul, -5) == "000703 4294967295 -5%");
    // Wide formats: "%s" wide, "%S" narrow.
    CHECK(FormatWString(L"%s|%S|%I64u|%I64X", L"\u00e9\u20ac", "cd", biggest, 0xDEADBEEFCAFEull) ==
          L"\u00e9\u20ac|cd|18446744073709551615|DEADBEEFCAFE");
    CHECK(FormatWString(L"%04d%02d%02d %lu", 2023, 12, 8, 3758101044ul) == L"20231208 3758101044");
    // Only the format is interpreted: a percent sign inside an argument stays.
    CHECK(FormatString("<%s>", "100% %s %d %n") == "<100% %s %d %n>");
    CHECK(FormatWString(L"<%s>", L"50% %S %I64u") == L"<50% %S %I64u>");
    CHECK(FormatString("") == "");
    CHECK(FormatWString(L"") == L"");
}

TEST_CASE("FormatString cuts a result longer than 32767 bytes instead of overrunning its buffer")
{
    const size_t lengths[] = {0, 1, 32766, 32767, 32768, 100000};
    for (size_t length : lengths) {
        CAPTURE(length);
        const std::string argument(length, 'a');
        const std::string result = FormatString("%s", argument.c_str());
        CHECK(result == argument.substr(0, formatStringLimit));
    }
    // Values that only together pass the limit.
    const std::string half(20000, 'h');
    const std::string result = FormatString("%s-%s", half.c_str(), half.c_str());
    CHECK(result.size() == formatStringLimit);
    CHECK(result.compare(0, 20001, half + "-") == 0);
    // The wide formatter has no such limit.
    const std::wstring wide(100000, L'w');
    CHECK(FormatWString(L"%s.", wide.c_str()) == wide + L".");
}

TEST_CASE("FormatString cuts a long UTF-8 result between characters")
{
    for (const test::CutCase& c : test::Utf8CutCases(formatStringLimit)) {
        CAPTURE(c.name);
        const std::string result = FormatString("%s", c.text.c_str());
        CHECK(result.size() == c.kept);
        CHECK((result == c.text.substr(0, c.kept)));  // not decomposed: the texts are long
    }
}

TEST_CASE("a format the runtime cannot measure gives the empty text")
{
    CHECK(FormatWString(nullptr) == L"");
    CHECK(FormatString(nullptr) == "");
}

TEST_CASE("ToLowerAscii changes only the bytes A to Z")
{
    struct Case {
        const char* text;
        const char* lower;
    } cases[] = {
        {"ABCXYZ abcxyz 019", "abcxyz abcxyz 019"},
        {"@[`{", "@[`{"},                                // neighbours of the two letter ranges
        {"C:\\Dir\\\xC3\x84RGER.TXT", "c:\\dir\\\xC3\x84rger.txt"},  // UTF-8 of a capital A umlaut stays
        {"\xC1\xD6\xDE\xFF", "\xC1\xD6\xDE\xFF"},        // Latin-1 capitals stay
        {"", ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CHECK(ToLowerAscii(c.text) == c.lower);
    }
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string lowered = ToLowerAscii(all);
    REQUIRE(lowered.size() == 256);
    for (int b = 0; b < 256; ++b) {
        CAPTURE(b);
        CHECK(static_cast<unsigned char>(lowered[b]) == ((b >= 'A' && b <= 'Z') ? b + 0x20 : b));
    }
}

TEST_CASE("UTF-8 and UTF-16 conversions")
{
    struct Case {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"plain", L"plain"},
        {"C:\\B\xC3\xA4""ckup\\\xE2\x82\xAC", L"C:\\B\u00e4ckup\\\u20ac"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},  // a surrogate pair is four bytes
    };
    for (const Case& c : cases) {
        CAPTURE(c.utf8);
        std::wstring wide = L"stale";
        CHECK(Utf8ToWide(c.utf8, wide, CP_UTF8));
        CHECK(wide == c.wide);
        std::string utf8 = "stale";
        CHECK(WideToUtf8(c.wide, utf8, CP_UTF8));
        CHECK(utf8 == c.utf8);
    }

    std::wstring wide;
    // Invalid UTF-8 is replaced, not refused.
    CHECK(Utf8ToWide("a\xFF" "b\xC3", wide, CP_UTF8));
    CHECK(wide.size() >= 3);
    CHECK(wide.find(L'\uFFFD') != std::wstring::npos);
    CHECK(wide.substr(0, 2) == L"a\uFFFD");
    // Both read up to the first zero.
    CHECK(Utf8ToWide(std::string("ab\0cd", 5), wide, CP_UTF8));
    CHECK(wide == L"ab");
    std::string utf8;
    CHECK(WideToUtf8(std::wstring(L"ab\0cd", 5), utf8, CP_UTF8));
    CHECK(utf8 == "ab");

    // A code page the system does not know: false and an empty result.
    wide = L"stale";
    CHECK_FALSE(Utf8ToWide("abc", wide, 12345));
    CHECK(wide.empty());
    utf8 = "stale";
    CHECK_FALSE(WideToUtf8(L"abc", utf8, 12345));
    CHECK(utf8.empty());
}

TEST_CASE("splitting keeps inner empty pieces and drops an empty last one")
{
    struct Case {
        std::string text;
        std::string delimiter;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a\tb", "\t", {"a", "b"}},
        {"a\t", "\t", {"a"}},
        {"\ta", "\t", {"", "a"}},
        {"a\t\tb", "\t", {"a", "", "b"}},
        {"\t", "\t", {""}},
        {"", "\t", {}},
        {"abc", "\t", {"abc"}},
        {"20231208 192051.000", ".", {"20231208 192051", "000"}},
        {"a::b:c::", "::", {"a", "b:c"}},
        {"aXbxc", "x", {"aXb", "c"}},  // case-sensitive
        // An empty delimiter gives the text as one piece instead of never ending.
        {"abc", "", {"abc"}},
        {"", "", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.delimiter);
        std::vector<std::string> out = {"stale"};
        SplitString(out, c.text, c.delimiter);
        CHECK(out == c.pieces);
    }

    struct WideCase {
        std::wstring text;
        std::wstring delimiter;
        std::vector<std::wstring> pieces;
    } wideCases[] = {
        {L"D:\\dir\\file", L"\\", {L"D:", L"dir", L"file"}},
        {L"\\\\server\\share\\", L"\\", {L"", L"", L"server", L"share"}},
        {L"\u00e9\t\u20ac", L"\t", {L"\u00e9", L"\u20ac"}},
        {L"", L"\\", {}},
        {L"abc", L"", {L"abc"}},
    };
    for (const WideCase& c : wideCases) {
        CAPTURE(c.pieces.size());
        std::vector<std::wstring> out = {L"stale"};
        SplitWString(out, c.text, c.delimiter);
        CHECK(out == c.pieces);
    }
}

static bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_CASE("Win32ErrorTextW gives the system's text or the fallback")
{
    const std::wstring notFound = Win32ErrorTextW(ERROR_FILE_NOT_FOUND);
    CHECK(notFound.size() > 2);
    CHECK(EndsWith(notFound, L"\r\n"));
    CHECK(notFound.find(L"Unknown error message") == std::wstring::npos);

    // A system text with an insert is returned as it stands, never expanded.
    const std::wstring withInsert = Win32ErrorTextW(ERROR_BAD_EXE_FORMAT);
    CHECK(withInsert.find(L"%1") != std::wstring::npos);
    CHECK(EndsWith(withInsert, L"\r\n"));

    struct Case {
        DWORD code;
        const wchar_t* text;
    } cases[] = {
        {0x2000FFFFu, L"Unknown error message with code 536936447 (Win32)"},
        {0xE0001234u, L"Unknown error message with code 3758101044 (Win32)"},  // unsigned decimal
    };
    for (const Case& c : cases) {
        CAPTURE(c.code);
        CHECK(Win32ErrorTextW(c.code) == c.text);
    }
}

static FILETIME MakeFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                             WORD milliseconds)
{
    SYSTEMTIME calendar = {};
    calendar.wYear = year;
    calendar.wMonth = month;
    calendar.wDay = day;
    calendar.wHour = hour;
    calendar.wMinute = minute;
    calendar.wSecond = second;
    calendar.wMilliseconds = milliseconds;
    FILETIME time = {};
    REQUIRE(SystemTimeToFileTime(&calendar, &time));
    return time;
}

static unsigned long long Ticks(FILETIME time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

TEST_CASE("time stamps are YYYYMMDD HHMMSS.mmm and read back to the same time")
{
    struct Case {
        FILETIME time;
        const wchar_t* stamp;
    } cases[] = {
        {MakeFileTime(2023, 12, 8, 19, 20, 51, 0), L"20231208 192051.000"},
        {MakeFileTime(1999, 1, 2, 3, 4, 5, 678), L"19990102 030405.678"},
        {MakeFileTime(1601, 1, 1, 0, 0, 0, 0), L"16010101 000000.000"},
        {MakeFileTime(9999, 12, 31, 23, 59, 59, 999), L"99991231 235959.999"},
    };
    for (const Case& c : cases) {
        CAPTURE(Ticks(c.time));
        const std::wstring stamp = FileTimeToStamp(c.time);
        CHECK(stamp == c.stamp);
        std::string narrow;
        REQUIRE(WideToUtf8(stamp, narrow, CP_UTF8));
        CHECK(Ticks(StampToFileTime(narrow)) == Ticks(c.time));
    }
}

TEST_CASE("time stamp text order is time order")
{
    const FILETIME times[] = {
        MakeFileTime(1999, 12, 31, 23, 59, 59, 999), MakeFileTime(2000, 1, 1, 0, 0, 0, 0),
        MakeFileTime(2000, 1, 1, 0, 0, 0, 5),        MakeFileTime(2000, 1, 1, 0, 0, 0, 500),
        MakeFileTime(2000, 1, 1, 0, 0, 1, 0),        MakeFileTime(2000, 1, 10, 0, 0, 0, 0),
        MakeFileTime(2000, 10, 1, 0, 0, 0, 0),       MakeFileTime(2023, 12, 8, 9, 0, 0, 0),
        MakeFileTime(2023, 12, 8, 19, 0, 0, 0),
    };
    for (size_t i = 1; i < sizeof times / sizeof times[0]; ++i) {
        CAPTURE(i);
        REQUIRE(Ticks(times[i - 1]) < Ticks(times[i]));
        CHECK(FileTimeToStamp(times[i - 1]) < FileTimeToStamp(times[i]));
    }
    // Two stamps of one second differ only in their last three characters.
    const std::wstring a = FileTimeToStamp(MakeFileTime(2023, 12, 8, 19, 20, 51, 0));
    const std::wstring b = FileTimeToStamp(MakeFileTime(2023, 12, 8, 19, 20, 51, 250));
    CHECK(a.substr(0, 16) == b.substr(0, 16));
    CHECK(a.substr(16) == L"000");
    CHECK(b.substr(16) == L"250");
}

TEST_CASE("reading a time stamp")
{
    const unsigned long long expected = Ticks(MakeFileTime(2023, 12, 8, 19, 20, 51, 0));
    // No blank between date and time reads the same.
    CHECK(Ticks(StampToFileTime("20231208192051.000")) == expected);
    // The digits after the point count milliseconds: ".5" is 5 ms, not half a second.
    CHECK(Ticks(StampToFileTime("20231208 192051.5")) == Ticks(MakeFileTime(2023, 12, 8, 19, 20, 51, 5)));
    CHECK(Ticks(StampToFileTime("20231208 192051.050")) == Ticks(MakeFileTime(2023, 12, 8, 19, 20, 51, 50)));

    // Text that is not a stamp of a valid date and time gives the zero time.
    const char* malformed[] = {
        "20231208 192051",        // no point
        "20231208 192051.000.1",  // two points
        "20231208 192051.",       // nothing after the point
        ".000",                   // nothing before it
        "",
        "garbage.000",
        "20231308 192051.000",  // month 13
        "20230230 120000.000",  // 30 February
        "20231200 120000.000",  // day 0
        "20231208 256051.000",  // hour 25
        "20231208 196051.000",  // minute 60
    };
    for (const char* stamp : malformed) {
        CAPTURE(stamp);
        CHECK(Ticks(StampToFileTime(stamp)) == 0);
    }
}
