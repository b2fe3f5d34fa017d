// The accept thread's work: every client connection from accept to the moment
// its request is handed over, for many connections at once.
//
// What the handlers are promised stays as it was: one request is handled at
// a time, on one thread (the request thread), each after a pause of 1000 ms.
// What changes is everything around that. A connection that has not sent its
// whole line, that is refused, or whose client is slow to read its reply,
// holds nobody else:
//
//  - the accept thread runs one loop over non-blocking sockets with select():
//    it accepts, reads request lines as their bytes come (service/LineReader.h),
//    refuses, closes refused connections on a timer 2000 ms after the
//    refusal, and sends the rest of the replies that slow clients did not
//    take in time (service/ReplyBacklog.h);
//  - the name lookups (the reverse lookup and its forward confirmation) run
//    on a few lookup threads, so that a slow name server stalls neither the
//    loop nor the requests. Which address is looked up when, and how long a
//    name is kept, is service/KnownNames.h: an administrator's address is
//    refreshed before its name expires and goes ahead of strangers. The
//    decision itself (Allowed_Clients, read from the registry for every
//    connection, and the match) is made on the loop;
//  - complete, admitted requests wait in a queue that takes turns across
//    source addresses (service/RequestQueue.h). A client that closed its
//    side before its line feed is answered without the pause, since nobody
//    waits to read more of its line; one that closed before sending a byte
//    asked nothing and is closed without a reply;
//  - what one source address can hold at once, and what all hold together,
//    is bounded (see AcceptLimits); a new connection makes room by closing
//    the oldest connection that has not finished its line, never one whose
//    request is complete.
//
// The loop uses only Windows Sockets 1.1 (select, ioctlsocket FIONBIO,
// recv with MSG_PEEK) and the seam's threads and events, so the Windows
// target runs the same code.
#ifndef VANTRY_SERVICE_ACCEPTLOOP_H
#define VANTRY_SERVICE_ACCEPTLOOP_H

#include "platform/win32.h"
#include "service/ClientConnection.h"
#include "service/KnownNames.h"
#include "service/ReplyBacklog.h"
#include "service/RequestQueue.h"

#include <map>
#include <vector>

struct AcceptShared;

// The limits of the loop. The service uses the defaults; tests shorten them.
struct AcceptLimits {
    // The pause before each request is handled.
    int requestPause = 1000;
    // From accept to a complete, admitted request: a connection that is not
    // there by then is closed without a reply. Bounds a silent or trickling
    // client, and a reverse lookup that does not come back.
    int requestWaitLimit = REQUEST_WAIT_LIMIT;
    // From the refusal to the close.
    int refusalPause = 2000;
    // Connections one source address may hold at once (reading, waiting for
    // admission, refused and waiting for the close, complete and queued).
    int maxPerAddress = 8;
    // Connections all addresses together may hold.
    int maxHeld = 128;
    // Connections whose line is still being read: one select() set holds them
    // with the listening socket (64 sockets, FD_SETSIZE of Winsock 1.1).
    int maxReading = 63;
    // Threads that look names up; one more looks up only the addresses
    // admitted before (service/KnownNames.h).
    int admissionThreads = 8;
    // How long a name found for an address is used for its next connections
    // without a new lookup: a confirmed name, and no name (a lookup that
    // failed may succeed soon).
    int nameKeepMs = 300000;
    int noNameKeepMs = 30000;
    // From this age on, a name that admitted its address is refreshed in
    // the background when the address connects again.
    int nameRefreshMs = 150000;
    // Addresses whose names are kept at once; the oldest lookup goes first.
    int namesKept = 1024;
    // Slow readers: what the request thread waits on one client's reading
    // for a reply, what one reply may keep for the background, and the
    // background's bounds (service/ReplyBacklog.h).
    int replyWaitLimit = REPLY_WAIT_LIMIT;
    size_t pendingReplyLimit = PENDING_REPLY_LIMIT;
    BacklogLimits backlog;
    // After the stop, what was accepted may finish this long; then whatever
    // is left is closed without a reply. Within the stop's wait hint of
    // 31000 ms together with the request being handled.
    int stopDrainLimit = 20000;
};

class AcceptLoop {
public:
    // listener is a listening socket, made non-blocking here; stopEvent ends
    // the loop (after the drain). Neither is owned.
    AcceptLoop(SOCKET listener, HANDLE stopEvent, const AcceptLimits& limits = AcceptLimits());
    ~AcceptLoop();

    // Starts the request thread and the admission threads. False when they
    // cannot all be started: the caller then serves one connection at a time.
    bool Start();

    // Serves until stopEvent is signalled and what was accepted is done (at
    // most stopDrainLimit ms more), then ends the other threads (waiting for
    // the request being handled, bounded).
    void Run();

private:
    struct Held;

    void AcceptNew();
    bool MakeRoom(const unsigned char address[4]);
    void ReadLinePart(Held& held);
    void LineDone(Held& held, bool withoutPause);
    void Admit(Held& held);
    void AskLookup(const unsigned char address[4], bool first);
    void Decide(Held& held, const char* peerName);
    void TakeAdmissions();
    void ApplyAdmission(Held& held, int result, const char* peerName);
    void TakeSlowReplies();
    void ExpireTimers(DWORD now);
    DWORD AnswerAt(const Held& held);
    void FeedRequestThread();
    void CloseHeld(size_t index);
    size_t FindHeld(unsigned long id) const;
    int CountFrom(const unsigned char address[4]) const;
    bool IsReading(const Held& held) const;
    bool Busy() const;
    // Closes what is left, ends the request and admission threads (bounded).
    void Finish();

    SOCKET m_listener;
    HANDLE m_hStop;
    AcceptLimits m_limits;
    AcceptShared* m_shared;
    HANDLE m_hRequestThread;
    HANDLE* m_phAdmissionThreads;
    int m_nAdmissionThreads;
    std::vector<Held*> m_held; // oldest first
    RequestQueue m_ready;      // complete, admitted: their turns
    KnownNames m_names;
    ReplyBacklog m_backlog;
    char m_localHostName[HOST_NAME_SIZE];
    unsigned long m_nextId;
    DWORD m_acceptPausedUntil;
    bool m_acceptPaused;
    // Per admitted address (its four bytes), when its last request was
    // done; kept for one pause.
    std::map<unsigned long, DWORD> m_answered;
    unsigned long m_handedAddress = 0; // of the request handed over last
};

#endif
