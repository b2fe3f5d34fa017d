#include "service/AcceptLoop.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "service/Service.h"

HANDLE g_hStopEvent = nullptr;
HANDLE g_hAcceptThreadDoneEvent = nullptr;

namespace {

// One connection at a time, from accept to close: what the service falls back
// to when the threads of the loop cannot be started.
void ServeOneAtATime(ServerSocket* server) {
    // The stop is looked at between connections: a connection being served
    // is finished first, and an idle wait lasts at most 500 ms.
    while (WaitForSingleObject(g_hStopEvent, 0) != WAIT_OBJECT_0) {
        int status = 0;
        SOCKET accepted = server->Accept(500, status);
        if (status == SOCKET_STATUS_FAILED) {
            // A failing listener must not spin: pause as an idle wait would.
            WaitForSingleObject(g_hStopEvent, 500);
            continue;
        }
        if (status != SOCKET_STATUS_DONE)
            continue;
        ClientConnection connection(accepted);
        connection.Serve();
    }
}

} // namespace

DWORD WINAPI AcceptThread(LPVOID listening) {
    ServerSocket* server = static_cast<ServerSocket*>(listening);
    {
        AcceptLoop loop(server->m_socket, g_hStopEvent);
        if (loop.Start())
            loop.Run();
        else
            ServeOneAtATime(server);
    }
    LogMessage(IDS_SHUTDOWN, EVENTLOG_INFORMATION_TYPE);
    SetEvent(g_hAcceptThreadDoneEvent);
    return 0;
}
