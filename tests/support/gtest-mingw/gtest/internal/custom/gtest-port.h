// GoogleTest's customisation point, for the Windows target only (the folder is
// put before GoogleTest's own headers by the top CMakeLists.txt).
//
// Debian's MinGW uses the win32 thread model, whose runtime has no std::mutex
// or std::condition_variable. GoogleTest's Windows build is otherwise made of
// Win32 critical sections and threads; only its Notification (which its own
// tests use) is written with the standard ones. This one waits on the flag.
#ifndef VANTRY_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H
#define VANTRY_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H

#ifdef _WIN32
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : notified_(0) {}
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { InterlockedExchange(&notified_, 1); }

    void WaitForNotification() {
        while (InterlockedCompareExchange(&notified_, 1, 1) == 0)
            Sleep(1);
    }

private:
    volatile LONG notified_;
};

} // namespace internal
} // namespace testing
#endif

#endif
