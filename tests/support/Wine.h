// Whether the test runs under Wine. The platform tests state what Windows
// does; where Wine is known to answer otherwise, a test says so by name and
// skips only that check under Wine (the list is in the README).
#ifndef VANTRY_TESTS_SUPPORT_WINE_H
#define VANTRY_TESTS_SUPPORT_WINE_H

#include "platform/win32.h"

namespace vtest {

inline bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace vtest

#endif
