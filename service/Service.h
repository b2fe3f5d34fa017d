// Pellion's service identity and the process-wide state of its service shell.
#ifndef VANTRY_SERVICE_SERVICE_H
#define VANTRY_SERVICE_SERVICE_H

#include "platform/win32.h"

#define PELLION_SERVICE_NAME "Vantry SMTP Pellion"
#define PELLION_DISPLAY_NAME "Corvane Vantry SMTP Pellion"

class MailProxyServiceClass;

// Set while ServiceMain runs.
extern MailProxyServiceClass* g_pRunningService;
// Created by Run; the control handler signals the first, the accept thread
// the second. Both manual-reset, never reset.
extern HANDLE g_hStopEvent;
extern HANDLE g_hAcceptThreadDoneEvent;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
// Reports a state to the service control manager; non-zero on success.
BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// The accept thread: serves every client connection, one at a time, until
// StopEvent is signalled. Its argument is the listening ServerSocket.
DWORD WINAPI AcceptThread(LPVOID listening);

#endif
