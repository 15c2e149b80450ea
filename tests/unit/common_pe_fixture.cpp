// Tiny programs for the test of tests/check_pe.sh; never registered as
// programs of the build.
#include <windows.h>

#ifdef VARN_FIXTURE_NEWER_IMPORT
// Vista and later; the XP headers of the build do not declare it.
extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64(void);
#endif

int main()
{
#ifdef VARN_FIXTURE_NEWER_IMPORT
    return static_cast<int>(GetTickCount64() & 1);
#else
    return static_cast<int>(GetTickCount() & 1);
#endif
}
