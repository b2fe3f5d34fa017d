// A connected loopback pair: the service's end as a ClientConnection, the
// client's end as a plain socket, so that handlers can be driven directly
// with short limits.
#ifndef VANTRY_TESTS_CONFIG_CONNECTIONPAIR_H
#define VANTRY_TESTS_CONFIG_CONNECTIONPAIR_H

#include "platform/win32.h"
#include "service/ClientConnection.h"

#include <cstring>
#include <memory>
#include <string>

namespace vtest {

class ConnectionPair {
public:
    // clientReceiveBuffer > 0 makes the client's receive buffer that small
    // (before connecting), so that a reply soon fills it when nobody reads.
    explicit ConnectionPair(int clientReceiveBuffer = 0) {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
        SOCKADDR_IN addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        int len = sizeof(addr);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        listen(listener, 1);
        client_ = socket(AF_INET, SOCK_STREAM, 0);
        if (clientReceiveBuffer > 0)
            setsockopt(client_, SOL_SOCKET, SO_RCVBUF,
                       reinterpret_cast<const char*>(&clientReceiveBuffer),
                       sizeof(clientReceiveBuffer));
        connect(client_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        SOCKET accepted = accept(listener, nullptr, nullptr);
        closesocket(listener);
        if (clientReceiveBuffer > 0) {
            int small = clientReceiveBuffer;
            setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                       sizeof(small));
        }
        service_.reset(new ClientConnection(accepted));
        BoundedPeer("tester");
    }
    ~ConnectionPair() {
        if (client_ != INVALID_SOCKET)
            closesocket(client_);
    }

    ClientConnection& service() { return *service_; }
    SOCKET client() const { return client_; }

    void Send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            int n = send(client_, text.data() + done, static_cast<int>(text.size() - done), 0);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    void CloseSending() { shutdown(client_, 1); }
    // The client goes away with a reset, as a crashed client does.
    void ResetClient() {
        linger reset = {};
        reset.l_onoff = 1;
        setsockopt(client_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                   sizeof(reset));
        closesocket(client_);
        client_ = INVALID_SOCKET;
    }

    // Everything the service sent until it closed its end (or nothing came
    // for limitMs).
    std::string ReadAll(int limitMs = 5000) {
        std::string all;
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(client_, &set);
            timeval tv = {limitMs / 1000, (limitMs % 1000) * 1000};
            if (select(0, &set, nullptr, nullptr, &tv) <= 0)
                return all;
            char buf[65536];
            int n = recv(client_, buf, sizeof(buf), 0);
            if (n <= 0)
                return all;
            all.append(buf, static_cast<size_t>(n));
        }
    }

    // What the service sent until it contains end (or nothing came for
    // limitMs, or it closed).
    std::string ReadUntil(const std::string& end, int limitMs = 5000) {
        std::string all;
        while (all.find(end) == std::string::npos) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(client_, &set);
            timeval tv = {limitMs / 1000, (limitMs % 1000) * 1000};
            if (select(0, &set, nullptr, nullptr, &tv) <= 0)
                break;
            char buf[4096];
            int n = recv(client_, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            all.append(buf, static_cast<size_t>(n));
        }
        return all;
    }

    // The service's end closes, as the accept thread does after a request.
    void CloseService() { service_.reset(); }

private:
    void BoundedPeer(const char* name) {
        service_->m_szPeerName[0] = '\0';
        strncat(service_->m_szPeerName, name, sizeof(service_->m_szPeerName) - 1);
    }

    SOCKET client_ = INVALID_SOCKET;
    std::unique_ptr<ClientConnection> service_;
};

} // namespace vtest

#endif
