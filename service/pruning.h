#pragma once
#include <string>

#include "globals.h"

bool PruneVersions(int maxVersions);

// The select of the versions one call prunes.
extern const char* const selectEarliestVersions;

// The version limit a MaxVersions text stands for: the decimal number it begins
// with, as the runtime reads it, or defaultVersionLimit when it begins with none.
int VersionLimitFromText(const std::wstring& text);
