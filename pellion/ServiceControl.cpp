// The service entry, status reporting and the control handler.
#include "service/LogEvent.h"
#include "pellion/MailProxyServiceClass.h"
#include "pellion/ServiceEntry.h"
#include "service/Service.h"

MailProxyServiceClass* g_pRunningService = nullptr;

namespace {
SERVICE_STATUS gStatus;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
// Never reset: a stop after start-up continues the count.
DWORD gCheckPoint = 1;
} // namespace

BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    gStatus.dwCurrentState = state;
    gStatus.dwWin32ExitCode = exitCode;
    gStatus.dwWaitHint = waitHint;
    gStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        gStatus.dwCheckPoint = 0;
    else
        gStatus.dwCheckPoint = gCheckPoint++;
    BOOL ok = SetServiceStatus(gStatusHandle, &gStatus);
    if (!ok)
        LogMessage(IDS_SET_STATUS_FAILED, EVENTLOG_INFORMATION_TYPE);
    return ok;
}

void WINAPI ServiceControlHandler(DWORD control) {
    gStatus.dwWaitHint = 0;
    if (control == SERVICE_CONTROL_STOP) {
        gStatus.dwCurrentState = SERVICE_STOP_PENDING;
        gStatus.dwWaitHint = 31000;
        if (g_hStopEvent != nullptr)
            SetEvent(g_hStopEvent);
    }
    ReportServiceStatus(gStatus.dwCurrentState, 0, gStatus.dwWaitHint);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    MailProxyServiceClass service;
    g_pRunningService = &service;
    LogMessage(IDS_STARTUP, EVENTLOG_INFORMATION_TYPE);
    gStatusHandle = RegisterServiceCtrlHandlerA(PELLION_SERVICE_NAME, ServiceControlHandler);
    if (gStatusHandle == nullptr) {
        LogMessage(IDS_REGISTER_HANDLER_FAILED, EVENTLOG_ERROR_TYPE);
    } else {
        gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        gStatus.dwServiceSpecificExitCode = 0;
        if (ReportServiceStatus(SERVICE_START_PENDING, 0, 3000))
            service.Run(argc, argv);
        ReportServiceStatus(SERVICE_STOPPED, 0, 0);
    }
    g_pRunningService = nullptr;
}
