// Pellion's service identity and the process-wide state of its service shell.
#ifndef VANTRY_SERVICE_SERVICE_H
#define VANTRY_SERVICE_SERVICE_H

#include "platform/win32.h"

#define PELLION_SERVICE_NAME "Vantry SMTP Pellion"
#define PELLION_DISPLAY_NAME "Corvane Vantry SMTP Pellion"

// Created by Run; the control handler signals the first, the accept thread
// the second. Both manual-reset, never reset.
extern HANDLE g_hStopEvent;
extern HANDLE g_hAcceptThreadDoneEvent;

// The accept thread: serves every client connection, one at a time, until
// StopEvent is signalled. Its argument is the listening ServerSocket.
DWORD WINAPI AcceptThread(LPVOID listening);

#endif
