#include "service/ReplyBacklog.h"
#include "platform/bounded.h"
#include "service/LogEvent.h"

ReplyBacklog::ReplyBacklog(const BacklogLimits& limits) : m_limits(limits), m_bytes(0) {
    if (m_limits.maxReplies < 1)
        m_limits.maxReplies = 1;
}

ReplyBacklog::~ReplyBacklog() {
    CloseAll();
}

void ReplyBacklog::Close(size_t index, bool dropped) {
    Reply* reply = m_replies[index];
    if (dropped)
        LogMessage(IDS_CLIENT_NOT_READING, EVENTLOG_WARNING_TYPE, reply->peerName);
    closesocket(reply->socket);
    m_bytes -= reply->bytes.size() - reply->sent;
    m_replies.erase(m_replies.begin() + static_cast<long>(index));
    delete reply;
}

void ReplyBacklog::Add(SOCKET socket, std::string& bytes, const char* peerName, DWORD now) {
    const size_t size = bytes.size();
    // A reply larger than all may keep is dropped itself; else the oldest
    // make room.
    if (size > m_limits.totalBytes) {
        LogMessage(IDS_CLIENT_NOT_READING, EVENTLOG_WARNING_TYPE, peerName);
        closesocket(socket);
        return;
    }
    while (!m_replies.empty() && (static_cast<int>(m_replies.size()) >= m_limits.maxReplies ||
                                  m_bytes + size > m_limits.totalBytes))
        Close(0, true);
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
    Reply* reply = new Reply;
    reply->socket = socket;
    reply->bytes.swap(bytes);
    reply->sent = 0;
    reply->progressAt = now;
    BoundedCopy(reply->peerName, sizeof(reply->peerName), peerName);
    m_replies.push_back(reply);
    m_bytes += size;
}

void ReplyBacklog::Watch(fd_set* writable) const {
    for (const Reply* reply : m_replies)
        FD_SET(reply->socket, writable);
}

void ReplyBacklog::Send(fd_set* writable, DWORD now) {
    for (size_t i = 0; i < m_replies.size();) {
        Reply& reply = *m_replies[i];
        if (!FD_ISSET(reply.socket, writable)) {
            ++i;
            continue;
        }
        const size_t left = reply.bytes.size() - reply.sent;
        const int chunk = left > 65536 ? 65536 : static_cast<int>(left);
        int n = send(reply.socket, reply.bytes.data() + reply.sent, chunk, 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                ++i;
                continue;
            }
            Close(i, false); // the client has gone
            continue;
        }
        if (n > 0) {
            reply.sent += static_cast<size_t>(n);
            m_bytes -= static_cast<size_t>(n);
            reply.progressAt = now;
        }
        if (reply.sent == reply.bytes.size()) {
            Close(i, false);
            continue;
        }
        ++i;
    }
}

void ReplyBacklog::Expire(DWORD now) {
    for (size_t i = 0; i < m_replies.size();) {
        if (now - m_replies[i]->progressAt >= static_cast<DWORD>(m_limits.progressLimit))
            Close(i, true);
        else
            ++i;
    }
}

DWORD ReplyBacklog::NextExpiry(DWORD now, DWORD limit) const {
    for (const Reply* reply : m_replies) {
        const DWORD spent = now - reply->progressAt;
        const DWORD progress = static_cast<DWORD>(m_limits.progressLimit);
        const DWORD left = spent >= progress ? 0 : progress - spent;
        if (left < limit)
            limit = left;
    }
    return limit;
}

void ReplyBacklog::CloseAll() {
    while (!m_replies.empty())
        Close(m_replies.size() - 1, false);
}
