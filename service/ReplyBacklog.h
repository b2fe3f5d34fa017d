// Replies that their clients did not take while the request thread could
// wait for them (ClientConnection::KeepSlowReplies): the accept loop sends
// what is left of each as its client reads, beside everything else, so that
// a slow or stalled reader costs the others nothing but memory, and that
// bounded.
//
// Bounds: the bytes kept by all replies together and their number; when a
// new reply would pass either, the oldest replies are dropped (connection
// closed, message 29) until it fits. A reply whose client takes no byte for
// the progress limit is dropped the same way. A reply sent whole is closed
// as the request thread closes a connection.
#ifndef VANTRY_SERVICE_REPLYBACKLOG_H
#define VANTRY_SERVICE_REPLYBACKLOG_H

#include "platform/win32.h"
#include "service/ClientConnection.h"

#include <cstddef>
#include <string>
#include <vector>

struct BacklogLimits {
    // All replies' bytes together: about ten largest configuration replies
    // whose clients do not read.
    size_t totalBytes = 4 * 1024 * 1024;
    // Replies at once: one select() set holds their sockets (64 on Winsock).
    int maxReplies = 32;
    // Milliseconds a client may take no byte of its reply.
    int progressLimit = SEND_PROGRESS_LIMIT;
};

class ReplyBacklog {
public:
    explicit ReplyBacklog(const BacklogLimits& limits = BacklogLimits());
    // Closes what is left, unsent.
    ~ReplyBacklog();
    ReplyBacklog(const ReplyBacklog&) = delete;
    ReplyBacklog& operator=(const ReplyBacklog&) = delete;

    // Takes over socket (non-blocking from here) with the bytes still to be
    // sent; peerName names the client in message 29. now starts its
    // progress clock.
    void Add(SOCKET socket, std::string& bytes, const char* peerName, DWORD now);
    // Adds every socket to writable.
    void Watch(fd_set* writable) const;
    // Sends to every socket in writable what it takes; a finished reply is
    // closed, a failed one closed without a message.
    void Send(fd_set* writable, DWORD now);
    // Drops the replies whose clients took nothing for the progress limit.
    void Expire(DWORD now);
    // Milliseconds until the next reply's progress limit passes (limit when
    // that is later, or there is no reply).
    DWORD NextExpiry(DWORD now, DWORD limit) const;
    // Closes every reply, unsent, without a message.
    void CloseAll();

    size_t Count() const { return m_replies.size(); }
    size_t Bytes() const { return m_bytes; }

private:
    struct Reply {
        SOCKET socket;
        std::string bytes;
        size_t sent;
        DWORD progressAt;
        char peerName[HOST_NAME_SIZE];
    };
    // Closes reply index; logs message 29 when dropped.
    void Close(size_t index, bool dropped);

    BacklogLimits m_limits;
    std::vector<Reply*> m_replies; // oldest first
    size_t m_bytes;                // unsent bytes of all replies
};

#endif
