// The time shown for a stored version in the user's own locale, which Wine
// takes from LC_ALL: tray_core.cmake runs this program once per locale below,
// one hour ahead of UTC all year. A 24-hour clock without a day-half marker in
// every locale: en-US and ko-KR have 12-hour patterns, with the marker after
// and before the time; en-GB has a 24-hour one.
#include <doctest/doctest.h>

#include "stored_files.h"
#include "test_support.h"

#include <cstdlib>
#include <string>

TEST_CASE("stored times read as a 24-hour clock without AM or PM in the user's locale")
{
    const char* const stamps[] = {"20240131 235959.000", "20230701 120000.000", "20240131 225959.000"};
    struct Locale {
        const char* name;  // the LC_ALL value
        LCID id;
        const char* shown[3];  // UTF-8, for the stamps above
    };
    const Locale locales[] = {
        {"en_US.UTF-8", 0x0409,
         {"Thursday, February 1, 2024 0:59:59", "Saturday, July 1, 2023 13:00:00",
          "Wednesday, January 31, 2024 23:59:59"}},
        {"en_GB.UTF-8", 0x0809,
         {"Thursday, 1 February 2024 00:59:59", "Saturday, 1 July 2023 13:00:00",
          "Wednesday, 31 January 2024 23:59:59"}},
        {"ko_KR.UTF-8", 0x0412,
         {"2024년 2월 1일 목요일 0:59:59", "2023년 7월 1일 토요일 13:00:00", "2024년 1월 31일 수요일 23:59:59"}},
    };
    const char* setting = getenv("LC_ALL");
    const std::string name = setting != nullptr ? setting : "";
    const Locale* locale = nullptr;
    for (const Locale& l : locales)
        if (name == l.name)
            locale = &l;
    CAPTURE(name);
    REQUIRE(locale != nullptr);
    REQUIRE(GetUserDefaultLCID() == locale->id);  // the locale really is the user's

    for (int i = 0; i < 3; ++i) {
        CAPTURE(std::string(stamps[i]));
        CHECK(test::Utf8(StampToDisplayText(stamps[i])) == std::string(locale->shown[i]));
    }
}
