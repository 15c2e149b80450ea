#include "service_state.h"

const std::string serviceNameA = "VarnBack";
const std::wstring databaseFileName = L"\\SystemState2.trdb";
const std::string databaseFileNameA = "\\SystemState2.trdb";

sqlite3* databaseConnection = nullptr;
int lastDatabaseResult = 0;
char* databaseErrorText = nullptr;
std::string databasePath;
std::vector<std::string> watchDirectories;
std::vector<std::string> watchUsers;

volatile uint8_t* serviceStopFlag = nullptr;
volatile BOOL copyStopFlag = FALSE;

CRITICAL_SECTION watchListLock;
CRITICAL_SECTION fileRowsLock;
