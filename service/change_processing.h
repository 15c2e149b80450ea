#pragma once
#include "file_record.h"

void ProcessChanges(const ScanList& found, KnownFileMap& current, KnownFileMap& known);
