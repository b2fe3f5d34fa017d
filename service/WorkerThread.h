// A thread that owns its object: once Run returns, the thread destroys it.
#ifndef VANTRY_SERVICE_WORKERTHREAD_H
#define VANTRY_SERVICE_WORKERTHREAD_H

#include "platform/win32.h"

class WorkerThread {
public:
    WorkerThread();
    virtual ~WorkerThread();
    virtual void Run();

    // Starts the thread at once; non-zero when it was created. A started
    // object must be on the heap: its thread deletes it after Run.
    BOOL Start();

protected:
    HANDLE m_hThread;
    DWORD m_dwThreadId;

private:
    static DWORD WINAPI ThreadRoutine(LPVOID param);
    // Signalled by Start once the handle is stored, so that a Run that returns
    // at once cannot delete the object under Start's feet; the thread closes it.
    HANDLE m_hStarted;
};

#endif
