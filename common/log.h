#pragma once
// The program's log file: UTF-8 with a byte-order mark, a version line, then one
// line per call with the UTC time in front. One lock per process serialises all
// writers. Calls made before OpenLogFile, or after the writer gave up on
// creating a file, do nothing.
#include <string>

// The values that differ between the two programs; each program links exactly
// one definition (varn_logcfg_service or varn_logcfg_tray).
struct LogWriterConfig {
    const wchar_t* baseName;
    unsigned long long rotateAfter;  // a file is replaced after the entry that makes the count exceed this
};
extern const LogWriterConfig logWriterConfig;

// The argument is not used: the program's fixed base name takes its place.
void OpenLogFile(std::wstring baseName);
void LogMessageW(const wchar_t* format, ...);
void LogMessageA(const char* format, ...);

// Longest narrow message that still fits a whole entry; longer ones are cut.
const size_t logNarrowMessageLimit = 32768 - 25;
// Attempts at creating a file, in OpenLogFile and again in each rotation,
// before the writer gives up and goes quiet for the rest of the run.
const int logCreateAttempts = 16;

// For tests: closes the file and returns the writer to its start state.
void ResetLogWriterForTest();
