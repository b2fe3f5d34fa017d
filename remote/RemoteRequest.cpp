// Requests to Pellion over Winsock 1.1.
#include "remote/RemoteRequest.h"

#include <cstring>

namespace {

// Winsock for the length of one request.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        m_bStarted = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~WinsockSession() {
        if (m_bStarted)
            WSACleanup();
    }
    bool Started() const { return m_bStarted; }

private:
    bool m_bStarted;
};

// Waits until the socket can be read or written, at most wait milliseconds.
bool WaitReady(SOCKET s, bool forWriting, DWORD wait) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = static_cast<long>(wait / 1000);
    tv.tv_usec = static_cast<long>((wait % 1000) * 1000);
    int n = forWriting ? select(0, nullptr, &set, nullptr, &tv)
                       : select(0, &set, nullptr, nullptr, &tv);
    return n > 0;
}

RemoteOutcome Failed(RemoteOutcome outcome, int code, int* error) {
    if (error != nullptr)
        *error = code;
    return outcome;
}

// Sends size bytes of data whole.
RemoteOutcome SendWhole(SOCKET s, const char* data, size_t size, DWORD wait, int* error) {
    while (size > 0) {
        if (!WaitReady(s, true, wait))
            return Failed(REMOTE_TIMED_OUT, WSAETIMEDOUT, error);
        int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        int sent = send(s, data, chunk, 0);
        if (sent <= 0)
            return Failed(REMOTE_BROKEN, WSAGetLastError(), error);
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return REMOTE_DONE;
}

RemoteOutcome Converse(SOCKET s, const RemoteRequest& request, RemoteReplySink& sink, int* error) {
    const char* parts[2] = {request.line, request.lineEnd};
    for (const char* part : parts) {
        RemoteOutcome sent = SendWhole(s, part, part != nullptr ? strlen(part) : 0, request.wait,
                                       error);
        if (sent != REMOTE_DONE)
            return sent;
    }
    if (request.body != nullptr) {
        RemoteOutcome sent = SendWhole(s, request.body, request.bodySize, request.wait, error);
        if (sent != REMOTE_DONE)
            return sent;
    }
    if (request.closeSending)
        shutdown(s, 1);

    // The reply, until Pellion closes the connection or the sink stops. A
    // refused client's connection is closed with the request unread, which
    // may reset it once the reply has come: a reset after reply bytes ends
    // the reply like a close.
    char chunk[4096];
    bool received = false;
    for (;;) {
        if (!WaitReady(s, false, request.wait))
            return Failed(REMOTE_TIMED_OUT, WSAETIMEDOUT, error);
        int n = recv(s, chunk, sizeof(chunk), 0);
        if (n < 0 && received && WSAGetLastError() == WSAECONNRESET)
            return REMOTE_DONE;
        if (n < 0)
            return Failed(REMOTE_BROKEN, WSAGetLastError(), error);
        received = true;
        if (n == 0 || !sink.Data(chunk, static_cast<size_t>(n)))
            return REMOTE_DONE;
    }
}

} // namespace

const char* RemoteOutcomeText(RemoteOutcome outcome) {
    switch (outcome) {
    case REMOTE_DONE:
        return "done";
    case REMOTE_NO_HOST:
        return "host name does not resolve";
    case REMOTE_NO_CONNECTION:
        return "cannot connect";
    case REMOTE_TIMED_OUT:
        return "timed out";
    case REMOTE_BROKEN:
        return "connection failed";
    case REMOTE_BAD_REQUEST:
        return "bad request";
    }
    return "failed";
}

RemoteReplySink::~RemoteReplySink() {}
RemoteReplyReader::~RemoteReplyReader() {}

RemoteLineSplitter::RemoteLineSplitter(RemoteReplyReader& reader, char* buffer, size_t size)
    : m_reader(reader), m_buffer(buffer), m_size(size) {}

bool RemoteLineSplitter::Data(const char* bytes, size_t count) {
    for (size_t i = 0; i < count && !m_stopped; ++i) {
        char c = bytes[i];
        if (c == '\n') {
            if (!m_skipping) {
                if (m_used > 0 && m_buffer[m_used - 1] == '\r')
                    --m_used;
                m_buffer[m_used] = '\0';
                m_stopped = !m_reader.Line(m_buffer);
            }
            m_used = 0;
            m_skipping = false;
        } else if (!m_skipping) {
            if (m_used + 1 < m_size) {
                m_buffer[m_used++] = c;
            } else {
                // Hand the cut line out now; its rest is dropped.
                m_buffer[m_used] = '\0';
                m_stopped = !m_reader.Line(m_buffer);
                m_used = 0;
                m_skipping = true;
            }
        }
    }
    return !m_stopped;
}

void RemoteLineSplitter::Finish() {
    // A last line without a line end still counts.
    if (!m_stopped && m_used > 0 && !m_skipping) {
        m_buffer[m_used] = '\0';
        m_reader.Line(m_buffer);
    }
    m_used = 0;
}

RemoteOutcome RemoteExchange(const RemoteRequest& request, RemoteReplySink& sink, int* error) {
    if (error != nullptr)
        *error = 0;
    if (request.line == nullptr || request.host == nullptr || request.port <= 0 ||
        request.port > 65535)
        return Failed(REMOTE_BAD_REQUEST, WSAEINVAL, error);
    WinsockSession session;
    if (!session.Started())
        return Failed(REMOTE_BAD_REQUEST, WSASYSNOTREADY, error);

    SOCKADDR_IN address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(request.port));
    address.sin_addr.s_addr = inet_addr(request.host);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        HOSTENT* host = gethostbyname(request.host);
        if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
            return Failed(REMOTE_NO_HOST, WSAGetLastError(), error);
        memcpy(&address.sin_addr, host->h_addr_list[0], sizeof(address.sin_addr));
    }

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return Failed(REMOTE_BROKEN, WSAGetLastError(), error);
    if (connect(s, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)) != 0) {
        int code = WSAGetLastError();
        closesocket(s);
        return Failed(REMOTE_NO_CONNECTION, code, error);
    }
    RemoteOutcome outcome = Converse(s, request, sink, error);
    closesocket(s);
    return outcome;
}

RemoteOutcome RemoteExchangeLines(const RemoteRequest& request, RemoteReplyReader& reader,
                                  size_t lineSize, int* error) {
    char small[1024];
    if (lineSize < 2)
        lineSize = 2;
    char* buffer = lineSize <= sizeof(small) ? small : new char[lineSize];
    RemoteLineSplitter splitter(reader, buffer, lineSize);
    RemoteOutcome outcome = RemoteExchange(request, splitter, error);
    if (outcome == REMOTE_DONE)
        splitter.Finish();
    if (buffer != small)
        delete[] buffer;
    return outcome;
}

int RemoteConfiguredPort(bool* found) {
    if (found != nullptr)
        *found = false;
    HKEY key = nullptr;
    DWORD port = 9999;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (RegQueryValueExA(key, "Config_Port", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                             &size) == ERROR_SUCCESS &&
            size == sizeof(value)) {
            port = value & 0xFFFF;
            if (found != nullptr)
                *found = true;
        }
        RegCloseKey(key);
    }
    return static_cast<int>(port);
}
