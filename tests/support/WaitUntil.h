// Waiting in tests: for the event, never for a time. A wait ends as soon as
// its condition holds; the safety bound only ends a wait for an event that
// never comes, and lies far beyond what any step takes on a loaded machine
// (and within the time limits ctest gives a test, so that such a wait fails
// with its message rather than being killed).
#ifndef VANTRY_TESTS_SUPPORT_WAITUNTIL_H
#define VANTRY_TESTS_SUPPORT_WAITUNTIL_H

#include "platform/win32.h"

namespace vtest {

const DWORD kSafetyMs = 60000;

// Looks at the condition until it holds (true) or the bound has passed
// (false, after one last look).
template <typename Condition> bool WaitUntil(Condition holds, DWORD safetyMs = kSafetyMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (holds())
            return true;
        if (GetTickCount() - start >= safetyMs)
            return holds();
        Sleep(20);
    }
}

} // namespace vtest

#endif
