// The schedule lock of the scheduler object itself, against another process
// (the real quennel) holding the schedule mutex: a stop ends the wait at once.
#include "PellionHarness.h"
#include "update/AutoUpdateScheduler.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LockRun {
    AutoUpdateScheduler* scheduler;
    DWORD took;
};

DWORD WINAPI LockAndUnlock(LPVOID param) {
    LockRun* run = static_cast<LockRun*>(param);
    DWORD start = GetTickCount();
    HANDLE mutex = run->scheduler->LockSchedule();
    run->took = GetTickCount() - start;
    run->scheduler->UnlockSchedule(mutex);
    return 0;
}

TEST(ScheduleLock, StopEndsTheWaitForAMutexHeldElsewhere) {
    vtest::TempRoot root;
    ASSERT_EQ(
        vtest::RunCommand(std::string("'") + QUENNEL_EXE + "' install-into-place 'C:\\Holder'")
            .exitStatus,
        0);
    char line[] = "\"C:\\Holder\\quennel.exe\" hold-schedule 3";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                               nullptr, nullptr, &si, &pi));
    // Held once the holder's own wait for it is over: a probe of ours times out.
    HANDLE probe = CreateMutexA(nullptr, FALSE, SCHEDULE_MUTEX_NAME);
    DWORD start = GetTickCount();
    DWORD got = WAIT_OBJECT_0;
    while (GetTickCount() - start < 10000) {
        got = WaitForSingleObject(probe, 0);
        if (got != WAIT_OBJECT_0)
            break;
        ReleaseMutex(probe); // the holder has not taken it yet
        Sleep(20);
    }
    ASSERT_EQ(got, static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(probe);

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    AutoUpdateScheduler* scheduler = new AutoUpdateScheduler("C:\\Holder\\", stop);
    LockRun run = {scheduler, 0};
    HANDLE thread = CreateThread(nullptr, 0, LockAndUnlock, &run, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT)); // waiting
    SetEvent(stop);
    EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    EXPECT_GE(run.took, 300u);
    EXPECT_LT(run.took, 5000u);
    CloseHandle(thread);
    delete scheduler; // never started: the service deletes it itself
    CloseHandle(stop);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

} // namespace
