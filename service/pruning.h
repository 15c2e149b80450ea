#pragma once
#include <string>

bool PruneVersions(int maxVersions);

// The versions kept per file when MaxVersions is absent: what the control centre shows then.
const int defaultVersionLimit = 5;

// The version limit a MaxVersions text stands for: a whole decimal number
// (an optional sign, then digits only), or defaultVersionLimit for anything else.
int VersionLimitFromText(const std::wstring& text);
