#pragma once
// Text helpers shared by both programs. Format strings follow the Microsoft C
// runtime's printf rules: in a wide format "%s" is wide and "%S" narrow, in a
// narrow format the reverse; "%I64u" and "%I64X" take unsigned 64-bit values.
#include <windows.h>
#include <cstdarg>
#include <string>
#include <vector>

// Largest narrow text FormatString returns; longer results are cut to it.
const size_t formatStringLimit = 32767;

std::string FormatString(const char* format, ...);
std::string FormatStringV(const char* format, va_list arguments);
std::wstring FormatWString(const wchar_t* format, ...);
std::wstring FormatWStringV(const wchar_t* format, va_list arguments);

// How many of the first `limit` bytes of a longer UTF-8 text a cut keeps: the
// limit, or less where it would split a character, so that a lead byte among
// the last three kept whose sequence needs bytes past the limit goes with what
// follows it. Bytes that form no character are cut at the limit.
size_t Utf8CutLength(const char* text, size_t limit);

std::string ToLowerAscii(std::string text);

bool Utf8ToWide(std::string text, std::wstring& out, UINT codePage);
bool WideToUtf8(std::wstring text, std::string& out, UINT codePage);

// Inner empty pieces are kept, an empty last piece is dropped.
void SplitWString(std::vector<std::wstring>& out, std::wstring text, std::wstring delimiter);
void SplitString(std::vector<std::string>& out, std::string text, std::string delimiter);

std::wstring Win32ErrorTextW(DWORD code);

// The text as a SQLite LIKE pattern that matches only itself, for a statement
// that says "escape '^'": '%', '_' and '^' are preceded by '^'. ASCII letters
// still match in any case, as Windows compares names. '^' rather than a
// character no name may hold: the service logs its patterns, and they read as
// they always have.
std::string LiteralLikePattern(std::string text);
