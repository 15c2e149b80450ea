#pragma once
// Fixtures for the tests of the service's shared state, folder walk and filelist rows.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "file_record.h"
#include "service_state.h"
#include "test_support.h"

namespace svctest {

// The service's connection on a fresh database file for the scope; the two
// locks are made once per process, as the control thread would.
class DatabaseScope {
public:
    explicit DatabaseScope(bool withTables = true);
    ~DatabaseScope();
    DatabaseScope(const DatabaseScope&) = delete;
    DatabaseScope& operator=(const DatabaseScope&) = delete;

    const std::string& path() const { return path_; }
    void Exec(const std::string& sql);
    // Every row of a query as texts; NULL reads as "<null>".
    std::vector<std::vector<std::string>> Query(const std::string& sql);
    std::string QueryText(const std::string& sql);  // first column of the first row

private:
    test::TempFolder folder_;
    std::string path_;
};

// Points the service's stop byte at a byte of the scope.
class StopByteScope {
public:
    StopByteScope();
    ~StopByteScope();
    volatile uint8_t byte;
};

bool SetWriteTime(const std::wstring& path, const FILETIME& time);
FILETIME MakeFileTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

// The record whose path is folder + "\" + relative, or null.
const FileRecord* Find(const ScanList& list, const std::string& folder, const std::string& relative);

// Walks folder with an empty map, stores every record as a row and loads the
// rows back: the known state a later pass starts from.
KnownFileMap StoreFirstPass(const std::string& folder, ScanList* firstWalk = nullptr);

}  // namespace svctest
