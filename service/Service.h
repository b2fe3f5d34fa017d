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

// The accept thread: runs the accept loop (service/AcceptLoop.h), which admits
// and reads many connections at once and hands complete requests, one at a
// time, to its request thread, until StopEvent is signalled and what was
// accepted is finished. Its argument is the listening ServerSocket.
DWORD WINAPI AcceptThread(LPVOID listening);

#endif
