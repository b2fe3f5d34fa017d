#include "service/WorkerThread.h"

WorkerThread::WorkerThread() : m_hThread(nullptr), m_dwThreadId(0), m_hStarted(nullptr) {}

WorkerThread::~WorkerThread() {
    if (m_hThread != nullptr)
        CloseHandle(m_hThread);
}

void WorkerThread::Run() {}

BOOL WorkerThread::Start() {
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (started == nullptr)
        return FALSE;
    m_hStarted = started;
    m_hThread = CreateThread(nullptr, 0, ThreadRoutine, this, 0, &m_dwThreadId);
    if (m_hThread == nullptr) {
        m_hStarted = nullptr;
        CloseHandle(started);
        return FALSE;
    }
    // From here on the thread may free the object: only the local is used.
    SetEvent(started);
    return TRUE;
}

DWORD WINAPI WorkerThread::ThreadRoutine(LPVOID param) {
    WorkerThread* self = static_cast<WorkerThread*>(param);
    WaitForSingleObject(self->m_hStarted, INFINITE);
    CloseHandle(self->m_hStarted);
    self->m_hStarted = nullptr;
    self->Run();
    delete self;
    return 0;
}
