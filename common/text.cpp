#include "text.h"

#include <cstdio>
#include <cwchar>
#include <memory>

// The underscore printf functions are always the C runtime's own, with its
// "%s"/"%S" rules, whatever __USE_MINGW_ANSI_STDIO says; measure and format with
// the same family.

std::string FormatStringV(const char* format, va_list arguments)
{
    if (format == nullptr)
        return std::string();
    // Zeroed: should the runtime stop early without a terminator (a wide
    // argument it cannot convert), the text ends at what it wrote.
    std::unique_ptr<char[]> buffer(new char[formatStringLimit + 1]());
    // Bounded: texts of up to 32767 bytes come from the pipe, and a longer result
    // (-1 here) is cut rather than written past the buffer, between characters.
    int written = _vsnprintf(buffer.get(), formatStringLimit, format, arguments);
    if (written < 0 || static_cast<size_t>(written) > formatStringLimit)
        buffer[Utf8CutLength(buffer.get(), formatStringLimit)] = '\0';
    else
        buffer[written] = '\0';
    return std::string(buffer.get());
}

size_t Utf8CutLength(const char* text, size_t limit)
{
    for (size_t back = 1; back <= 3 && back <= limit; ++back) {
        const unsigned char byte = static_cast<unsigned char>(text[limit - back]);
        if ((byte & 0xC0) == 0x80)
            continue;  // a continuation byte: its lead lies further back
        const size_t size = (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3 : (byte & 0xF8) == 0xF0 ? 4 : 1;
        return size > back ? limit - back : limit;
    }
    return limit;
}

std::string FormatString(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string result = FormatStringV(format, arguments);
    va_end(arguments);
    return result;
}

std::wstring FormatWStringV(const wchar_t* format, va_list arguments)
{
    if (format == nullptr)
        return std::wstring();
    va_list measure;
    va_copy(measure, arguments);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length < 0)
        return std::wstring();  // a format the runtime rejects
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[length + 1]);
    int written = _vsnwprintf(buffer.get(), length + 1, format, arguments);
    buffer[(written >= 0 && written <= length) ? written : length] = L'\0';
    return std::wstring(buffer.get());
}

std::wstring FormatWString(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::wstring result = FormatWStringV(format, arguments);
    va_end(arguments);
    return result;
}

std::string ToLowerAscii(std::string text)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        result += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
    return result;
}

bool Utf8ToWide(std::string text, std::wstring& out, UINT codePage)
{
    out.clear();
    int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (length == 0) {
        printf("Last error is %lu\n", GetLastError());
        return false;
    }
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[length + 1]());
    if (MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.get(), length) != length)
        return false;
    buffer[length] = L'\0';
    out = buffer.get();
    return true;
}

bool WideToUtf8(std::wstring text, std::string& out, UINT codePage)
{
    out.clear();
    int count = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size() + 1),
                                    nullptr, 0, nullptr, nullptr);
    if (count == 0) {
        wprintf(L"Could not convert string. Win32 error code %lu\n", GetLastError());
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[count]);
    if (WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size() + 1),
                            buffer.get(), count, nullptr, nullptr) != count)
        return false;
    out.assign(buffer.get(), strnlen(buffer.get(), count));
    return true;
}

template <typename Text>
static void SplitText(std::vector<Text>& out, const Text& text, const Text& delimiter)
{
    out.clear();
    if (delimiter.empty()) {
        // An empty delimiter would be found at the same place for ever.
        if (!text.empty())
            out.push_back(text);
        return;
    }
    size_t start = 0;
    size_t found;
    while ((found = text.find(delimiter, start)) != Text::npos) {
        out.push_back(text.substr(start, found - start));
        start = found + delimiter.size();
    }
    if (start < text.size())
        out.push_back(text.substr(start));
}

void SplitWString(std::vector<std::wstring>& out, std::wstring text, std::wstring delimiter)
{
    SplitText(out, text, delimiter);
}

void SplitString(std::vector<std::string>& out, std::string text, std::string delimiter)
{
    SplitText(out, text, delimiter);
}

std::wstring Win32ErrorTextW(DWORD code)
{
    const DWORD size = 131072;
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[size]);
    // Inserts are left as they stand: no arguments are supplied, and expanding
    // %1 without them would read an argument list that is not there.
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer.get(), size, nullptr);
    if (length == 0)
        return FormatWString(L"Unknown error message with code %lu (Win32)", code);
    return std::wstring(buffer.get(), length);
}

std::string LiteralLikePattern(std::string text)
{
    std::string pattern;
    for (char c : text) {
        if (c == '%' || c == '_' || c == '^')
            pattern += '^';
        pattern += c;
    }
    return pattern;
}
