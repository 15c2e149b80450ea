#pragma once
bool PruneVersions(int maxVersions);
