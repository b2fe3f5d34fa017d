// The service entry, its status reports and its control handler.
#ifndef VANTRY_PELLION_SERVICEENTRY_H
#define VANTRY_PELLION_SERVICEENTRY_H

#include "platform/win32.h"

class MailProxyServiceClass;

// Set while ServiceMain runs.
extern MailProxyServiceClass* g_pRunningService;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
// Reports a state to the service control manager; non-zero on success.
BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

#endif
