// The socket wrapper, and the status values of every transfer and accept.
#ifndef VANTRY_SERVICE_SERVERSOCKET_H
#define VANTRY_SERVICE_SERVERSOCKET_H

#include "platform/win32.h"

const int SOCKET_STATUS_DONE = 0;
const int SOCKET_STATUS_FAILED = -1;
const int SOCKET_STATUS_TIMEOUT = 10020; // the wait passed or the socket was not ready
const int SOCKET_STATUS_NO_BUFFER = -101;

// Wait limits are milliseconds; this one means none.
const int WAIT_NO_LIMIT = -1;

class ServerSocket {
public:
    // Starts Windows Sockets 1.1; nothing releases it.
    ServerSocket();
    ~ServerSocket();

    void Create(int& status);
    void SetOption(int option);
    void Bind(const struct sockaddr* address, int length, int& status);
    void Listen(int& status);
    SOCKET Accept(int waitLimit, int& status);
    void Close();

    WSADATA m_wsaData;
    SOCKET m_socket;

protected:
    // Waits until the socket is readable (or writable); the status as the
    // transfers report it.
    bool WaitReady(bool forWrite, int waitLimit, int& status);
};

#endif
