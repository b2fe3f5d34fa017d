#include "service/ServerSocket.h"

ServerSocket::ServerSocket() : m_socket(INVALID_SOCKET) {
    WSAStartup(MAKEWORD(1, 1), &m_wsaData);
}

ServerSocket::~ServerSocket() {
    Close();
}

void ServerSocket::Create(int& status) {
    m_socket = socket(AF_INET, SOCK_STREAM, 0);
    status = m_socket == INVALID_SOCKET ? SOCKET_STATUS_FAILED : SOCKET_STATUS_DONE;
}

void ServerSocket::SetOption(int option) {
    int on = 1;
    setsockopt(m_socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&on), sizeof(on));
}

void ServerSocket::Bind(const struct sockaddr* address, int length, int& status) {
    status = bind(m_socket, address, length) == 0 ? SOCKET_STATUS_DONE : SOCKET_STATUS_FAILED;
}

void ServerSocket::Listen(int& status) {
    status = listen(m_socket, 5) == 0 ? SOCKET_STATUS_DONE : SOCKET_STATUS_FAILED;
}

bool ServerSocket::WaitReady(bool forWrite, int waitLimit, int& status) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(m_socket, &set);
    struct timeval limit;
    struct timeval* pLimit = nullptr;
    if (waitLimit >= 0) {
        limit.tv_sec = waitLimit / 1000;
        limit.tv_usec = (waitLimit % 1000) * 1000;
        pLimit = &limit;
    }
    int rc = forWrite ? select(0, nullptr, &set, nullptr, pLimit)
                      : select(0, &set, nullptr, nullptr, pLimit);
    if (rc == SOCKET_ERROR) {
        status = SOCKET_STATUS_FAILED;
        return false;
    }
    if (rc == 0 || !FD_ISSET(m_socket, &set)) {
        status = SOCKET_STATUS_TIMEOUT;
        return false;
    }
    status = SOCKET_STATUS_DONE;
    return true;
}

SOCKET ServerSocket::Accept(int waitLimit, int& status) {
    if (!WaitReady(false, waitLimit, status))
        return INVALID_SOCKET;
    SOCKET client = accept(m_socket, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        status = SOCKET_STATUS_FAILED;
        return INVALID_SOCKET;
    }
    status = SOCKET_STATUS_DONE;
    return client;
}

void ServerSocket::Close() {
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}
