#pragma once
// The tests delete the per-machine Varnoke folders and the backup settings of
// the Wine prefix they run in. tools/setup.sh marks the prefixes it makes for
// them (the template that system tests copy, and the unit tests' prefix) with
// this file; a program of the tests runs only where it finds it, so that a
// prefix with a live service (the main job's, a user's) is never wiped.
// Header-only, for the test drivers that link none of the test support.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace test {

const wchar_t* const testPrefixMark = L"C:\\varn-test-prefix.txt";
const int foreignPrefixExitCode = 3;

// True in a marked prefix. Elsewhere it says why on stderr, and the caller
// ends with foreignPrefixExitCode before it touches anything.
inline bool InTestPrefix()
{
    if (GetFileAttributesW(testPrefixMark) != INVALID_FILE_ATTRIBUTES)
        return true;
    const char* prefix = getenv("WINEPREFIX");
    fprintf(stderr,
            "Refusing to run: this Wine prefix%s%s%s is not a VarnBack test prefix (C:\\varn-test-prefix.txt is "
            "missing). The tests delete C:\\ProgramData\\Varnoke and the backup settings of the prefix they run "
            "in. Test prefixes are the wineprefix and wineprefix-template folders of a build, which "
            "tools/setup.sh makes and marks; run it again to restore a lost mark.\n",
            prefix ? " (" : "", prefix ? prefix : "", prefix ? ")" : "");
    fflush(stderr);
    return false;
}

}  // namespace test
