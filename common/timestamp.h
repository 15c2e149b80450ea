#pragma once
// The stored form of a last-write time: "YYYYMMDD HHMMSS.mmm", in the clock of
// the FILETIME given (the service stores UTC). Text order is time order.
#include <windows.h>
#include <string>

std::wstring FileTimeToStamp(FILETIME time);

// Text that is not a well-formed stamp of a valid date gives the zero FILETIME.
FILETIME StampToFileTime(std::string stamp);
