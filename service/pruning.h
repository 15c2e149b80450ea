#pragma once

bool PruneVersions(int maxVersions);

// The select of the versions one call prunes.
extern const char* const selectEarliestVersions;
