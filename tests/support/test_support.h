#pragma once
// Small fixtures for tests that run under Wine in the build's prefix.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace test {

// A fresh, empty folder under C:\varntest, removed with everything in it at
// the end of the scope.
class TempFolder {
public:
    explicit TempFolder(const std::wstring& label = L"t");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Removes a file or a folder tree; missing paths are fine.
void RemoveTree(const std::wstring& path);

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);  // "" when it cannot be read
bool FileExists(const std::wstring& path);
std::vector<std::wstring> ListFolder(const std::wstring& folder);  // names, without . and ..

// How often piece occurs in text, occurrences not overlapping.
size_t Occurrences(const std::string& text, const std::string& piece);

// Polls the condition every 100 ms; false when it still fails after the limit.
bool WaitFor(DWORD limitMs, const std::function<bool()>& condition);

// The state of the service VarnBack through a handle of the test's own; 0 when
// it is not installed.
DWORD ServiceState();

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// Narrow texts longer than limit bytes, each with the length a cut that keeps
// whole UTF-8 characters leaves: ASCII (cut at the limit), characters of two,
// three and four bytes with the limit falling at every place inside one and
// just after one, and stray continuation bytes that form no character (cut at
// the limit).
struct CutCase {
    std::string name;
    std::string text;
    size_t kept;
};
std::vector<CutCase> Utf8CutCases(size_t limit);

// The backup settings key, emptied at the start and removed at the end of the scope.
class SettingsScope {
public:
    SettingsScope();
    ~SettingsScope();
    void Set(const std::wstring& name, const std::wstring& value);          // REG_SZ
    void SetDword(const std::wstring& name, DWORD value);                   // REG_DWORD
    void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD size);
};

// Makes the per-machine Data and Logs folders (and the folders above them) for
// the scope; removes the Varnoke folder tree again when the last such scope ends.
class MachineFolders {
public:
    MachineFolders();
    ~MachineFolders();
    std::wstring data() const;
    std::wstring logs() const;
};

// Opens the program's log writer on a fresh first file in the Logs folder for
// the scope; text() is everything written to it so far. The writer is reset at
// the end, so later log calls do nothing.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    std::wstring fileName() const;

private:
    MachineFolders folders_;
};

}  // namespace test
