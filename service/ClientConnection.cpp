#include "service/ClientConnection.h"
#include "platform/bounded.h"
#include "service/LogEvent.h"
#include "service/Admission.h"

#include <cstring>
#include <vector>

ClientConnection::ClientConnection(SOCKET accepted)
    : m_sendProgressLimit(SEND_PROGRESS_LIMIT), m_lineWaitLimit(REQUEST_WAIT_LIMIT),
      m_configTimeLimit(SET_CONFIG_TIME_LIMIT), m_bNonBlocking(false), m_replyWaitLeft(-1),
      m_pendingLimit(0) {
    m_socket = accepted;
    // A bounded send buffer, as Windows gives one: what the progress limit
    // watches is the client's reading, not how much the system will queue
    // for it (Linux grows a buffer to megabytes, more than a whole reply).
    int sendBuffer = CONNECTION_SEND_BUFFER;
    if (m_socket != INVALID_SOCKET)
        setsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                   sizeof(sendBuffer));
    m_szPeerName[0] = '\0';
    m_nRequestLength = -1;
    char name[HOST_NAME_SIZE];
    if (gethostname(name, sizeof(name)) != 0)
        name[0] = '\0';
    name[sizeof(name) - 1] = '\0';
    BoundedCopy(m_szLocalHostName, sizeof(m_szLocalHostName), name);
}

ClientConnection::~ClientConnection() {
    Close();
}

namespace {

// What is left of a wait of limit milliseconds begun at start (WAIT_NO_LIMIT
// stays).
int Remaining(int limit, DWORD start) {
    if (limit < 0)
        return limit;
    DWORD spent = GetTickCount() - start;
    return spent >= static_cast<DWORD>(limit) ? 0 : limit - static_cast<int>(spent);
}

} // namespace

// Non-blocking, so that a send takes what the socket has room for and never
// blocks past the waits of the transfers. Set at the first transfer rather
// than at construction, since whoever hands the socket over may have set it
// blocking after constructing this object.
void ClientConnection::MakeNonBlocking() {
    if (m_bNonBlocking)
        return;
    u_long on = 1;
    if (ioctlsocket(m_socket, FIONBIO, &on) == 0)
        m_bNonBlocking = true;
}

int ClientConnection::Receive(char* buffer, int size, int waitLimit, int& status) {
    if (buffer == nullptr) {
        status = SOCKET_STATUS_NO_BUFFER;
        return 0;
    }
    if (m_socket == INVALID_SOCKET) {
        status = SOCKET_STATUS_FAILED;
        return 0;
    }
    MakeNonBlocking();
    const DWORD start = GetTickCount();
    for (;;) {
        if (!WaitReady(false, Remaining(waitLimit, start), status))
            return 0;
        int n = recv(m_socket, buffer, size, 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK)
                continue; // readable went away again; wait on
            status = SOCKET_STATUS_FAILED;
            return 0;
        }
        status = SOCKET_STATUS_DONE;
        return n;
    }
}

int ClientConnection::SendBuffer(const char* data, int length, int waitLimit, int& status) {
    if (data == nullptr) {
        status = SOCKET_STATUS_NO_BUFFER;
        return 0;
    }
    if (m_socket == INVALID_SOCKET) {
        status = SOCKET_STATUS_FAILED;
        return 0;
    }
    MakeNonBlocking();
    // Once bytes are kept for later, the rest follows them, in order.
    if (m_replyWaitLeft == 0 || !m_pending.empty())
        return KeepForLater(data, length, status);
    const bool progressBound = waitLimit < 0 || waitLimit >= m_sendProgressLimit;
    int limit = progressBound ? m_sendProgressLimit : waitLimit;
    // The reply's own wait, when it is the nearer bound.
    const int budget = m_replyWaitLeft;
    const bool replyBound = budget >= 0 && budget < limit;
    if (replyBound)
        limit = budget;
    const DWORD start = GetTickCount();
    for (;;) {
        const bool ready = WaitReady(true, Remaining(limit, start), status);
        if (budget > 0) {
            if (!ready && replyBound && status == SOCKET_STATUS_TIMEOUT) {
                m_replyWaitLeft = 0;
                return KeepForLater(data, length, status);
            }
            const int left = Remaining(budget, start);
            m_replyWaitLeft = left > 0 ? left : ready ? 1 : 0;
        }
        if (!ready) {
            if (status == SOCKET_STATUS_TIMEOUT && progressBound) {
                LogMessage(IDS_CLIENT_NOT_READING, EVENTLOG_WARNING_TYPE, m_szPeerName);
                Abort();
            }
            return 0;
        }
        int n = send(m_socket, data, length, 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            status = SOCKET_STATUS_FAILED;
            return 0;
        }
        status = SOCKET_STATUS_DONE;
        return n;
    }
}

void ClientConnection::Abort() {
    if (m_socket == INVALID_SOCKET)
        return;
    linger reset = {};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof(reset));
    Close();
}

void ClientConnection::KeepSlowReplies(int waitLimit, size_t pendingLimit) {
    m_replyWaitLeft = waitLimit < 0 ? 0 : waitLimit;
    m_pendingLimit = pendingLimit;
}

int ClientConnection::KeepForLater(const char* data, int length, int& status) {
    const size_t n = static_cast<size_t>(length < 0 ? 0 : length);
    if (n > m_pendingLimit - m_pending.size()) {
        LogMessage(IDS_CLIENT_NOT_READING, EVENTLOG_WARNING_TYPE, m_szPeerName);
        std::string().swap(m_pending);
        Abort();
        status = SOCKET_STATUS_TIMEOUT;
        return 0;
    }
    m_pending.append(data, n);
    status = SOCKET_STATUS_DONE;
    return static_cast<int>(n);
}

bool ClientConnection::TakePendingReply(SOCKET& socket, std::string& bytes) {
    if (m_pending.empty() || m_socket == INVALID_SOCKET)
        return false;
    socket = m_socket;
    m_socket = INVALID_SOCKET;
    bytes.swap(m_pending);
    std::string().swap(m_pending);
    return true;
}

int ClientConnection::SendText(const char* text, int waitLimit, int& status) {
    if (text == nullptr) {
        status = SOCKET_STATUS_NO_BUFFER;
        return 0;
    }
    return SendBuffer(text, static_cast<int>(strlen(text)), waitLimit, status);
}

int ClientConnection::SendAll(const char* data, int length, int waitLimit, int& status) {
    int left = length;
    while (left > 0) {
        int sent = SendBuffer(data + (length - left), left, waitLimit, status);
        if (status != SOCKET_STATUS_DONE)
            return sent;
        if (sent == 0)
            break;
        left -= sent;
    }
    return length - left;
}

int ClientConnection::ReadLine(char* buffer, int size, int waitLimit, int& status) {
    int capacity = size - 1;
    if (buffer == nullptr || capacity <= 0) {
        if (buffer != nullptr && size > 0)
            buffer[0] = '\0';
        status = SOCKET_STATUS_DONE;
        return 0;
    }
    const DWORD start = GetTickCount();
    int stored = 0;
    for (;;) {
        int wait = waitLimit;
        if (waitLimit >= 0) {
            DWORD spent = GetTickCount() - start;
            wait = spent >= static_cast<DWORD>(waitLimit) ? 0 : waitLimit - static_cast<int>(spent);
        }
        char byte;
        int n = Receive(&byte, 1, wait, status);
        if (n != 1) {
            if (status == SOCKET_STATUS_DONE) {
                buffer[stored] = '\0';
                return stored;
            }
            buffer[stored] = '\0';
            return 0;
        }
        buffer[stored] = byte;
        if (byte == '\n') {
            buffer[stored + 1] = '\0'; // stored < capacity here, so this is inside
            return stored;
        }
        ++stored;
        if (stored >= capacity) {
            buffer[stored] = '\0';
            return capacity;
        }
    }
}

void ClientConnection::Serve() {
    unsigned char address[4] = {0, 0, 0, 0};
    struct sockaddr_in peer;
    int length = sizeof(peer);
    memset(&peer, 0, sizeof(peer));
    if (getpeername(m_socket, reinterpret_cast<struct sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET)
        memcpy(address, &peer.sin_addr, 4);
    // An address that cannot be read (0.0.0.0) has no name and is refused.
    AdmissionResult admission =
        AdmitPeer(address, m_szLocalHostName, m_szPeerName, sizeof(m_szPeerName));
    if (admission == ADMISSION_GRANTED) {
        Dispatch();
        return;
    }
    // Without the list nobody is admitted: refused like a stranger, but
    // without the warning (the cause is logged already, once).
    if (admission != ADMISSION_UNKNOWN)
        LogMessage(IDS_UNAUTHORIZED_CLIENT, EVENTLOG_WARNING_TYPE, m_szPeerName);
    static const char kDenied[] = "ACCESS_DENIED\r\n";
    int status = 0;
    SendAll(kDenied, sizeof(kDenied) - 1, SEND_WAIT_LIMIT, status);
    Sleep(2000);
    Close();
}
