#pragma once
// The filelist rows of the backup pass.
#include "file_record.h"

bool LoadKnownFiles(KnownFileMap& known, std::string folder);
bool InsertFileRow(FileRecord record);
bool DeleteFileRows(uint64_t selfId, uint64_t volumeId);
