#include "timestamp.h"

#include "text.h"

#include <cstdio>
#include <vector>

std::wstring FileTimeToStamp(FILETIME time)
{
    SYSTEMTIME calendar = {};
    FileTimeToSystemTime(&time, &calendar);
    return FormatWString(L"%04d%02d%02d %02d%02d%02d.%03d", calendar.wYear, calendar.wMonth,
                         calendar.wDay, calendar.wHour, calendar.wMinute, calendar.wSecond,
                         calendar.wMilliseconds);
}

FILETIME StampToFileTime(std::string stamp)
{
    FILETIME result = {0, 0};
    std::vector<std::string> pieces;
    SplitString(pieces, stamp, ".");
    if (pieces.size() != 2)
        return result;
    SYSTEMTIME calendar = {};
    sscanf(pieces[0].c_str(), "%04hu%02hu%02hu %02hu%02hu%02hu", &calendar.wYear, &calendar.wMonth,
           &calendar.wDay, &calendar.wHour, &calendar.wMinute, &calendar.wSecond);
    sscanf(pieces[1].c_str(), "%03hu", &calendar.wMilliseconds);
    FILETIME converted;
    if (SystemTimeToFileTime(&calendar, &converted))
        result = converted;
    return result;
}
