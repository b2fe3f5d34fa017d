// A thread for tests, made through the seam's CreateThread, since the Windows
// target's runtime has no std::thread. Joined when destroyed.
#ifndef VANTRY_TESTS_SUPPORT_TESTTHREAD_H
#define VANTRY_TESTS_SUPPORT_TESTTHREAD_H

#include "platform/win32.h"

#include <functional>

namespace vtest {

class TestThread {
public:
    template <typename F> explicit TestThread(F body) : body_(new std::function<void()>(body)) {
        handle_ = CreateThread(nullptr, 0, &TestThread::Run, body_, 0, nullptr);
    }
    ~TestThread() {
        join();
        delete body_;
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    void join() {
        if (handle_ != nullptr) {
            WaitForSingleObject(handle_, INFINITE);
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    static DWORD WINAPI Run(LPVOID body) {
        (*static_cast<std::function<void()>*>(body))();
        return 0;
    }

    std::function<void()>* body_;
    HANDLE handle_ = nullptr;
};

} // namespace vtest

#endif
