#include "pellion/MailProxyServiceClass.h"
#include "service/LogEvent.h"
#include "pellion/ServiceEntry.h"
#include "service/Service.h"
#include "service/Settings.h"

#include <cstring>

MailProxyServiceClass::MailProxyServiceClass() {
    memset(&m_address, 0, sizeof(m_address));
}

int MailProxyServiceClass::InitSocket() {
    int status = 0;
    m_socket.Create(status);
    if (status != SOCKET_STATUS_DONE) {
        LogMessage(IDS_CREATE_SOCKET_FAILED, EVENTLOG_ERROR_TYPE, static_cast<int>(GetLastError()));
        return 0;
    }
    memset(&m_address, 0, sizeof(m_address));
    char hostName[200];
    if (gethostname(hostName, sizeof(hostName)) != 0)
        hostName[0] = '\0';
    hostName[sizeof(hostName) - 1] = '\0';
    m_socket.SetOption(SO_REUSEADDR);
    m_socket.SetOption(SO_KEEPALIVE);
    m_socket.SetOption(SO_DONTLINGER);
    struct hostent* host = gethostbyname(hostName);
    if (host == nullptr)
        return 0;
    m_address.sin_family = static_cast<short>(host->h_addrtype);
    m_address.sin_port = htons(g_Settings.Config_Port);
    m_address.sin_addr.s_addr = htonl(INADDR_ANY);
    m_socket.Bind(reinterpret_cast<const struct sockaddr*>(&m_address), sizeof(m_address), status);
    if (status != SOCKET_STATUS_DONE) {
        LogMessage(IDS_BIND_FAILED, EVENTLOG_ERROR_TYPE, static_cast<int>(GetLastError()));
        m_socket.Close();
        return 0;
    }
    m_socket.Listen(status);
    if (status != SOCKET_STATUS_DONE) {
        LogMessage(IDS_LISTEN_FAILED, EVENTLOG_ERROR_TYPE, static_cast<int>(GetLastError()));
        m_socket.Close();
        return 0;
    }
    return 1;
}

void MailProxyServiceClass::Run(DWORD, LPSTR*) {
    AutoUpdateScheduler* scheduler = nullptr;
    HANDLE schedulerFinished = nullptr;
    bool schedulerStarted = false;
    HANDLE acceptThread = nullptr;

    do {
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 2000))
            break;
        ReadSettings();
        ReadVersionInfo();
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000))
            break;
        if (!InitSocket()) {
            LogMessage(IDS_INIT_SOCKET_FAILED, EVENTLOG_ERROR_TYPE);
            break;
        }
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000))
            break;
        g_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_hAcceptThreadDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000))
            break;
        scheduler = new AutoUpdateScheduler(g_Settings.Install_Path, g_hStopEvent);
        schedulerFinished = scheduler->FinishedEvent();
        AutoUpdateSchedule schedule;
        ReadAutoUpdateSettings(schedule);
        scheduler->Configure(schedule);
        if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000))
            break;
        schedulerStarted = scheduler->Start() != 0;
        if (!schedulerStarted)
            LogMessage(IDS_SCHEDULER_THREAD_FAILED, EVENTLOG_INFORMATION_TYPE);
        acceptThread = CreateThread(nullptr, 0, AcceptThread, &m_socket, 0, nullptr);
        if (acceptThread == nullptr) {
            LogMessage(IDS_ACCEPT_THREAD_FAILED, EVENTLOG_INFORMATION_TYPE);
            break;
        }
        if (ReportServiceStatus(SERVICE_RUNNING, 0, 0)) {
            HANDLE both[2] = {g_hStopEvent, g_hAcceptThreadDoneEvent};
            WaitForMultipleObjects(2, both, TRUE, INFINITE);
        }
    } while (false);

    // The accept thread uses the listening socket and the events; when the
    // running report failed it was never told to stop, so tell it and wait.
    if (acceptThread != nullptr) {
        SetEvent(g_hStopEvent);
        WaitForSingleObject(g_hAcceptThreadDoneEvent, INFINITE);
        CloseHandle(acceptThread);
    }
    // A started scheduler owns itself: StopEvent ends its loop and its thread
    // frees it. Every sleep and wait of the scheduler ends at StopEvent, so this
    // takes moments; the bound is a safety net: a thread that does not end in
    // time keeps its object and StopEvent to the end of the process.
    if (schedulerStarted) {
        SetEvent(g_hStopEvent);
        if (WaitForSingleObject(schedulerFinished, 35000) == WAIT_OBJECT_0) {
            CloseHandle(schedulerFinished);
        } else {
            g_hStopEvent = nullptr; // still in use by that thread: never closed
        }
    } else {
        delete scheduler;
    }
    if (g_hStopEvent != nullptr) {
        CloseHandle(g_hStopEvent);
        g_hStopEvent = nullptr;
    }
    if (g_hAcceptThreadDoneEvent != nullptr) {
        CloseHandle(g_hAcceptThreadDoneEvent);
        g_hAcceptThreadDoneEvent = nullptr;
    }
}
