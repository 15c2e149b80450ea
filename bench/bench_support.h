#pragma once
// What the benchmark programs share: a clock, and a filelist table filled the
// way the service fills it.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "sqlite3.h"

// Seconds on the performance counter.
inline double BenchNow()
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

inline bool BenchExec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    fprintf(stderr, "bench: %s\n", error != nullptr ? error : "?");
    sqlite3_free(error);
    return false;
}

// Creates the filelist table, as the service does, and begins one transaction
// for the rows; the statement that inserts one, or null.
inline sqlite3_stmt* BenchBeginFileList(sqlite3* db)
{
    if (!BenchExec(db, "create table filelist( path text, user text, attributes sqlite3_uint64, parentid "
                       "sqlite3_uint64,\t\t\tself_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, "
                       "volume_id sqlite3_uint64, localpath text); begin;"))
        return nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "insert into filelist values( ?1, ?2, ?3, ?4, ?5, ?6,?7, ?8, ?9);", -1, &insert, nullptr);
    return insert;
}

// One stored version of a file, as the service writes its row.
inline bool BenchAddRow(sqlite3_stmt* insert, const std::string& path, uint64_t selfId, const std::string& stamp,
                        uint64_t size, uint64_t volumeId)
{
    sqlite3_bind_text(insert, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, " ", -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, FILE_ATTRIBUTE_ARCHIVE);
    sqlite3_bind_int64(insert, 4, 7);
    sqlite3_bind_int64(insert, 5, static_cast<sqlite3_int64>(selfId));
    sqlite3_bind_text(insert, 6, stamp.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 7, static_cast<sqlite3_int64>(size));
    sqlite3_bind_int64(insert, 8, static_cast<sqlite3_int64>(volumeId));
    sqlite3_bind_text(insert, 9, "\\\\?\\C:\\dest\\VarnBack\\PC\\uuid", -1, SQLITE_STATIC);
    const bool done = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return done;
}

// Commits the rows and lets go of the insert.
inline bool BenchEndFileList(sqlite3* db, sqlite3_stmt* insert, bool filled)
{
    sqlite3_finalize(insert);
    return filled && BenchExec(db, "commit;");
}
