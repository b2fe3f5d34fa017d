// The schedule lock of the scheduler object itself, against another process
// (the real quennel) holding the schedule mutex: a stop ends the wait at once.
#include "PellionHarness.h"
#include "update/AutoUpdateScheduler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

// Both ends of the wait on the main thread's clock: the main thread notes the
// start before the thread exists, the thread notes the end.
struct LockRun {
    AutoUpdateScheduler* scheduler;
    DWORD ended;
};

DWORD WINAPI LockAndUnlock(LPVOID param) {
    LockRun* run = static_cast<LockRun*>(param);
    HANDLE mutex = run->scheduler->LockSchedule();
    run->ended = GetTickCount();
    run->scheduler->UnlockSchedule(mutex);
    return 0;
}

TEST(ScheduleLock, StopEndsTheWaitForAMutexHeldElsewhere) {
    vtest::TempRoot root;
    ASSERT_EQ(
        vtest::RunCommand(std::string("'") + QUENNEL_EXE + "' install-into-place 'C:\\Holder'")
            .exitStatus,
        0);
    // The holder keeps the mutex far longer than the test; it is ended below.
    char line[] = "\"C:\\Holder\\quennel.exe\" hold-schedule 3600";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                               nullptr, nullptr, &si, &pi));
    // Held once the holder's own wait for it is over: a probe of ours times out.
    HANDLE probe = CreateMutexA(nullptr, FALSE, SCHEDULE_MUTEX_NAME);
    DWORD start = GetTickCount();
    DWORD got = WAIT_OBJECT_0;
    while (GetTickCount() - start < vtest::kSafetyMs) {
        got = WaitForSingleObject(probe, 0);
        if (got != WAIT_OBJECT_0)
            break;
        ReleaseMutex(probe); // the holder has not taken it yet
        Sleep(20);
    }
    ASSERT_EQ(got, static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    AutoUpdateScheduler* scheduler = new AutoUpdateScheduler("C:\\Holder\\", stop);
    LockRun run = {scheduler, 0};
    DWORD began = GetTickCount();
    HANDLE thread = CreateThread(nullptr, 0, LockAndUnlock, &run, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT)); // waiting
    SetEvent(stop);
    EXPECT_EQ(WaitForSingleObject(thread, vtest::kSafetyMs), WAIT_OBJECT_0);
    // It ended at the stop, not at the mutex's 30-second limit, and the
    // holder still has the mutex: the stop, not a release, ended the wait.
    EXPECT_GE(run.ended - began, 300u);
    EXPECT_LT(run.ended - began, static_cast<DWORD>(SCHEDULE_LOCK_WAIT_MS));
    EXPECT_EQ(WaitForSingleObject(probe, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(probe);
    CloseHandle(thread);
    delete scheduler; // never started: the service deletes it itself
    CloseHandle(stop);
    kill(static_cast<pid_t>(pi.dwProcessId), SIGKILL);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, vtest::kSafetyMs), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

} // namespace
