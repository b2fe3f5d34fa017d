// A service program started from a console, not by the service control
// manager: its dispatcher cannot connect, and says so with 1063 whatever its
// table holds (a missing or empty table included). Stated through the Win32
// calls, in this test program itself, so that it holds against Windows too.
#include "platform/win32.h"
#include "support/TempRoot.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

namespace {

bool gMainRan = false;

void WINAPI NeverRuns(DWORD, LPSTR*) {
    gMainRan = true;
}

TEST(ServiceDispatcherFromAConsole, FailsWith1063WhateverTheTable) {
    vtest::TempRoot root;
    // Wine looks at the table first: it answers 87 for an empty table (and
    // would read through a missing one).
    if (!vtest::UnderWine()) {
        SetLastError(0);
        EXPECT_FALSE(StartServiceCtrlDispatcherA(nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

        SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
        SetLastError(0);
        EXPECT_FALSE(StartServiceCtrlDispatcherA(empty));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

        char name[] = "Half";
        SERVICE_TABLE_ENTRYA noMain[] = {{name, nullptr}, {nullptr, nullptr}};
        SetLastError(0);
        EXPECT_FALSE(StartServiceCtrlDispatcherA(noMain));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    }

    // A proper table fails the same way, at once, and runs nothing.
    char service[] = "Vantry SMTP Pellion";
    SERVICE_TABLE_ENTRYA table[] = {{service, NeverRuns}, {nullptr, nullptr}};
    SetLastError(0);
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_FALSE(gMainRan);
}

} // namespace
