#pragma once
// Shared set-up of the backup tests: the real state database in the Data
// folder, the stop byte, the settings key, a log capture, and a driver that
// runs the real watcher loop on a clock the test controls.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service_state.h"
#include "test_support.h"

namespace backup_test {

struct Row {
    std::string path;
    uint64_t attributes;
    uint64_t parentId;
    uint64_t selfId;
    std::string modificationTime;
    uint64_t size;
    uint64_t volumeId;
    std::string localPath;
};

// How long the fixture's connection waits for a lock another connection holds.
const int lockWaitMs = 250;

// The service state the backup code runs on, torn down at the end of the scope.
class ServiceState {
public:
    ServiceState();
    ~ServiceState();
    ServiceState(const ServiceState&) = delete;
    ServiceState& operator=(const ServiceState&) = delete;

    volatile uint8_t stop = 0;
    test::MachineFolders folders;
    test::SettingsScope settings;
    test::LogCapture log;
};

std::vector<Row> FileRows(sqlite3* database, const char* order = "rowid");
void AddRow(const Row& row);
size_t CountOf(const std::string& text, const std::string& piece);

std::wstring MachineFolder(const std::wstring& destination);  // destination\VarnBack\<computer>
// Stored versions (36-character names) in a machine folder.
std::vector<std::wstring> StoredNames(const std::wstring& machineFolder);
bool IsUuidText(const std::wstring& text);

// Runs directoryWatcher on this thread for the given number of wake-ups; the
// clock advances by stepMs at each (from stepMs at the first). beforeCycle(n)
// runs just before cycle n (1-based). Returns the number of sleeps made: one
// more than wakeUps when the watcher ran to the stop the driver sets.
// When not 0, the clock read of that number (1-based) in the next RunWatcher
// throws std::bad_alloc, as an allocation failure inside a cycle would.
extern int throwAtClockRead;

int RunWatcher(std::vector<WatchedFolder*>& folders, int wakeUps, unsigned long long stepMs,
               std::function<void(int)> beforeCycle = std::function<void(int)>());

}  // namespace backup_test
