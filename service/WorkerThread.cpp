#include "service/WorkerThread.h"

WorkerThread::WorkerThread() : m_hThread(nullptr), m_dwThreadId(0) {}

WorkerThread::~WorkerThread() {
    if (m_hThread != nullptr)
        CloseHandle(m_hThread);
}

void WorkerThread::Run() {}

BOOL WorkerThread::Start() {
    std::lock_guard<std::mutex> hold(m_startLock);
    m_hThread = CreateThread(nullptr, 0, ThreadRoutine, this, 0, &m_dwThreadId);
    return m_hThread != nullptr;
}

DWORD WINAPI WorkerThread::ThreadRoutine(LPVOID param) {
    WorkerThread* self = static_cast<WorkerThread*>(param);
    { std::lock_guard<std::mutex> started(self->m_startLock); }
    self->Run();
    delete self;
    return 0;
}
