#include "service/AcceptLoop.h"
#include "platform/bounded.h"
#include "service/Admission.h"
#include "service/ClientConnection.h"
#include "service/LineReader.h"
#include "service/LogEvent.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>

namespace {

const int ADMISSION_PENDING = -1;

// A lock made of an auto-reset event (signalled = free): the seam's
// primitive on both targets.
class EventLock {
public:
    explicit EventLock(HANDLE event) : m_hEvent(event) { WaitForSingleObject(m_hEvent, INFINITE); }
    ~EventLock() { SetEvent(m_hEvent); }
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;

private:
    HANDLE m_hEvent;
};

// A lookup of one address's name.
struct AdmissionJob {
    unsigned char address[4];
};

struct AdmissionDone {
    unsigned char address[4];
    char peerName[HOST_NAME_SIZE]; // "" for no name
};

// A reply the request thread could not finish, for the loop's backlog.
struct SlowReply {
    SOCKET socket;
    std::string bytes;
    char peerName[HOST_NAME_SIZE];
};

DWORD Elapsed(DWORD since, DWORD now) {
    return now - since; // wraps with the tick count
}

// The tick count rounded up: a time taken so is never before the moment it
// stands for, so that a pause counted from it is never short by the tick's
// fraction.
DWORD TickRoundedUp() {
    return GetTickCount() + 1;
}

// An IPv4 address (4 bytes, network order) as one number, a map's key.
unsigned long AddressKey(const unsigned char address[4]) {
    unsigned long key = 0;
    memcpy(&key, address, 4);
    return key;
}

// True when tick a comes after tick b (less than half the count's range on).
bool Later(DWORD a, DWORD b) {
    return a != b && a - b < 0x80000000u;
}

void SetBlocking(SOCKET s, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &mode);
}

} // namespace

// What the loop shares with its threads; freed by whichever lets go last, so
// that a thread still busy at the end (a name server that does not answer)
// never touches freed memory.
struct AcceptShared {
    HANDLE lock = nullptr;         // auto-reset event, signalled = free
    HANDLE jobReady = nullptr;     // auto-reset: a job was queued, or quit
    HANDLE requestReady = nullptr; // auto-reset: the slot was filled, or quit
    int refs = 1;
    bool quit = false;
    int replyWaitLimit = REPLY_WAIT_LIMIT;
    size_t pendingReplyLimit = PENDING_REPLY_LIMIT;

    // Lookups: those of addresses admitted before go first, and one lookup
    // thread (when there are several) takes only those, so that strangers'
    // stalled lookups never hold them.
    std::deque<AdmissionJob> firstJobs;
    std::deque<AdmissionJob> jobs;
    std::deque<AdmissionDone> done;
    int lookupThreads = 0; // started so far

    // Replies handed back by the request thread.
    std::deque<SlowReply> slowReplies;

    // The one request handed to the request thread and not yet taken.
    bool slotFull = false;
    SOCKET slotSocket = INVALID_SOCKET;
    std::string slotLine;
    char slotPeer[HOST_NAME_SIZE] = {};
    DWORD slotAnswerAt = 0; // the reply starts no sooner (tick count)
    // When the last request handed over was done, not yet taken by the loop.
    DWORD doneAt = 0;
    bool doneFresh = false;
    // The request thread has a request in hand.
    bool handling = false;

    bool Ready() const { return lock != nullptr && jobReady != nullptr && requestReady != nullptr; }

    void AddRef() {
        EventLock hold(lock);
        ++refs;
    }
    // Lets go of the object; the last one frees it.
    static void Release(AcceptShared* shared) {
        bool last;
        {
            EventLock hold(shared->lock);
            last = --shared->refs == 0;
        }
        if (!last)
            return;
        if (shared->slotFull)
            closesocket(shared->slotSocket);
        for (const SlowReply& reply : shared->slowReplies)
            closesocket(reply.socket);
        CloseHandle(shared->lock);
        CloseHandle(shared->jobReady);
        CloseHandle(shared->requestReady);
        delete shared;
    }
};

namespace {

// A lookup thread: takes an address, finds its confirmed short name, hands
// it back.
DWORD WINAPI AdmissionThread(LPVOID param) {
    AcceptShared* shared = static_cast<AcceptShared*>(param);
    // The first thread keeps to the known addresses, as long as another one
    // takes the rest.
    int index;
    {
        EventLock hold(shared->lock);
        index = shared->lookupThreads++;
    }
    for (;;) {
        WaitForSingleObject(shared->jobReady, index == 0 ? 50 : 250);
        AdmissionJob job;
        {
            EventLock hold(shared->lock);
            if (shared->quit)
                break;
            const bool reserved = index == 0 && shared->lookupThreads > 1;
            std::deque<AdmissionJob>* from = &shared->firstJobs;
            if (from->empty() && !reserved)
                from = &shared->jobs;
            if (from->empty())
                continue;
            job = from->front();
            from->pop_front();
            if (!shared->firstJobs.empty() || !shared->jobs.empty())
                SetEvent(shared->jobReady); // wake another thread for the rest
        }
        AdmissionDone done;
        memcpy(done.address, job.address, 4);
        FindPeerShortName(job.address, done.peerName, sizeof(done.peerName));
        EventLock hold(shared->lock);
        shared->done.push_back(done);
    }
    AcceptShared::Release(shared);
    return 0;
}

// The request thread: one request at a time, each answered no sooner than
// the time the loop set for it (see FeedRequestThread).
DWORD WINAPI RequestThread(LPVOID param) {
    AcceptShared* shared = static_cast<AcceptShared*>(param);
    for (;;) {
        WaitForSingleObject(shared->requestReady, 250);
        SOCKET socket;
        std::string line;
        char peer[HOST_NAME_SIZE];
        DWORD answerAt;
        {
            EventLock hold(shared->lock);
            if (!shared->slotFull) {
                if (shared->quit)
                    break;
                continue;
            }
            socket = shared->slotSocket;
            line.swap(shared->slotLine);
            BoundedCopy(peer, sizeof(peer), shared->slotPeer);
            answerAt = shared->slotAnswerAt;
            shared->slotSocket = INVALID_SOCKET;
            shared->slotFull = false;
            shared->handling = true;
        }
        const DWORD now = GetTickCount();
        if (Later(answerAt, now))
            Sleep(answerAt - now);
        // The handlers get the request in a buffer of the full request size,
        // as they always have; one owner frees it.
        std::unique_ptr<char[]> request(new (std::nothrow) char[REQUEST_BUFFER_SIZE]);
        if (request) {
            memcpy(request.get(), line.data(), line.size());
            request[line.size()] = '\0';
            ClientConnection connection(socket);
            BoundedCopy(connection.m_szPeerName, sizeof(connection.m_szPeerName), peer);
            // The handlers wait on the socket themselves, for a slow reader
            // not long: what it does not take in time goes to the backlog.
            SetBlocking(socket, true);
            connection.KeepSlowReplies(shared->replyWaitLimit, shared->pendingReplyLimit);
            connection.DispatchRequest(request.get(), static_cast<int>(line.size()));
            SlowReply reply;
            if (connection.TakePendingReply(reply.socket, reply.bytes)) {
                BoundedCopy(reply.peerName, sizeof(reply.peerName), peer);
                EventLock hold(shared->lock);
                shared->slowReplies.push_back(SlowReply());
                SlowReply& kept = shared->slowReplies.back();
                kept.socket = reply.socket;
                kept.bytes.swap(reply.bytes);
                BoundedCopy(kept.peerName, sizeof(kept.peerName), reply.peerName);
            }
        } else {
            closesocket(socket); // no buffer: no reply, as before
        }
        EventLock hold(shared->lock);
        shared->handling = false;
        shared->doneAt = TickRoundedUp();
        shared->doneFresh = true;
    }
    AcceptShared::Release(shared);
    return 0;
}

} // namespace

struct AcceptLoop::Held {
    unsigned long id;
    SOCKET socket;
    unsigned char address[4];
    DWORD acceptedAt;
    DWORD admittedAt; // when the admission was granted
    int admission; // ADMISSION_PENDING or an AdmissionResult
    bool lineDone;
    bool refusing;
    bool queued; // admitted and complete: in m_ready
    bool noPause; // the client closed its side before its line feed
    unsigned long lineSeq; // when the line ended, in order (0: not yet)
    DWORD refusedAt;
    std::string line;
    char peerName[HOST_NAME_SIZE];
};

AcceptLoop::AcceptLoop(SOCKET listener, HANDLE stopEvent, const AcceptLimits& limits)
    : m_listener(listener), m_hStop(stopEvent), m_limits(limits), m_shared(new AcceptShared),
      m_hRequestThread(nullptr), m_phAdmissionThreads(nullptr), m_nAdmissionThreads(0),
      m_backlog(limits.backlog), m_nextId(1), m_acceptPausedUntil(0), m_acceptPaused(false) {
    NameLimits names;
    names.keepMs = limits.nameKeepMs;
    names.noNameKeepMs = limits.noNameKeepMs;
    names.refreshAfterMs = limits.nameRefreshMs;
    names.capacity = limits.namesKept;
    m_names = KnownNames(names);
    m_shared->lock = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    m_shared->jobReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_shared->requestReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_shared->replyWaitLimit = limits.replyWaitLimit;
    m_shared->pendingReplyLimit = limits.pendingReplyLimit;
    if (gethostname(m_localHostName, sizeof(m_localHostName)) != 0)
        m_localHostName[0] = '\0';
    m_localHostName[sizeof(m_localHostName) - 1] = '\0';
    if (m_limits.maxReading > FD_SETSIZE - 1)
        m_limits.maxReading = FD_SETSIZE - 1;
    if (m_limits.admissionThreads < 1)
        m_limits.admissionThreads = 1;
    // One more thread, for the addresses admitted before.
    m_phAdmissionThreads = new HANDLE[static_cast<size_t>(m_limits.admissionThreads) + 1];
}

AcceptLoop::~AcceptLoop() {
    for (Held* held : m_held) {
        closesocket(held->socket);
        delete held;
    }
    m_held.clear();
    if (m_shared != nullptr) {
        if (m_shared->Ready()) {
            {
                EventLock hold(m_shared->lock);
                m_shared->quit = true;
            }
            AcceptShared::Release(m_shared);
        } else {
            // Never shared with a thread: the handles that were made go.
            if (m_shared->lock != nullptr)
                CloseHandle(m_shared->lock);
            if (m_shared->jobReady != nullptr)
                CloseHandle(m_shared->jobReady);
            if (m_shared->requestReady != nullptr)
                CloseHandle(m_shared->requestReady);
            delete m_shared;
        }
    }
    if (m_hRequestThread != nullptr)
        CloseHandle(m_hRequestThread);
    for (int i = 0; i < m_nAdmissionThreads; ++i)
        CloseHandle(m_phAdmissionThreads[i]);
    delete[] m_phAdmissionThreads;
}

bool AcceptLoop::Start() {
    if (!m_shared->Ready())
        return false;
    m_shared->AddRef();
    m_hRequestThread = CreateThread(nullptr, 0, RequestThread, m_shared, 0, nullptr);
    if (m_hRequestThread == nullptr) {
        AcceptShared::Release(m_shared);
        return false;
    }
    for (int i = 0; i < m_limits.admissionThreads + 1; ++i) {
        m_shared->AddRef();
        HANDLE thread = CreateThread(nullptr, 0, AdmissionThread, m_shared, 0, nullptr);
        if (thread == nullptr) {
            AcceptShared::Release(m_shared);
            break;
        }
        m_phAdmissionThreads[m_nAdmissionThreads++] = thread;
    }
    if (m_nAdmissionThreads == 0) {
        // No admission: end the request thread again; Run is not called.
        EventLock hold(m_shared->lock);
        m_shared->quit = true;
        SetEvent(m_shared->requestReady);
        return false;
    }
    SetBlocking(m_listener, false);
    return true;
}

bool AcceptLoop::IsReading(const Held& held) const {
    return !held.lineDone && !held.refusing;
}

int AcceptLoop::CountFrom(const unsigned char address[4]) const {
    int count = 0;
    for (const Held* held : m_held)
        if (memcmp(held->address, address, 4) == 0)
            ++count;
    return count;
}

size_t AcceptLoop::FindHeld(unsigned long id) const {
    for (size_t i = 0; i < m_held.size(); ++i)
        if (m_held[i]->id == id)
            return i;
    return m_held.size();
}

void AcceptLoop::CloseHeld(size_t index) {
    Held* held = m_held[index];
    closesocket(held->socket);
    if (held->admission == ADMISSION_PENDING) {
        // The last connection that waits for its address's lookup: the
        // lookup is not worth doing any more, unless it has begun.
        bool others = false;
        for (const Held* h : m_held)
            if (h != held && h->admission == ADMISSION_PENDING &&
                memcmp(h->address, held->address, 4) == 0)
                others = true;
        bool dropped = false;
        if (!others) {
            EventLock hold(m_shared->lock);
            for (std::deque<AdmissionJob>* jobs : {&m_shared->firstJobs, &m_shared->jobs}) {
                for (auto job = jobs->begin(); job != jobs->end() && !dropped; ++job) {
                    if (memcmp(job->address, held->address, 4) == 0) {
                        jobs->erase(job);
                        dropped = true;
                        break;
                    }
                }
            }
        }
        if (dropped)
            m_names.Dropped(held->address);
    }
    if (held->queued)
        m_ready.Remove(held->id);
    m_held.erase(m_held.begin() + static_cast<long>(index));
    delete held;
}

// Makes room for a new connection from address; false when there is none
// (every connection it could close has a complete request).
bool AcceptLoop::MakeRoom(const unsigned char address[4]) {
    // The oldest connection matching, refused ones first: they only wait
    // for their close.
    auto oldest = [this](const unsigned char* from, bool refusing) -> size_t {
        for (size_t i = 0; i < m_held.size(); ++i) {
            const Held& h = *m_held[i];
            if (from != nullptr && memcmp(h.address, from, 4) != 0)
                continue;
            if (refusing ? h.refusing : IsReading(h))
                return i;
        }
        return m_held.size();
    };
    // The address that holds the most connections that are still reading.
    auto greediest = [this]() -> const unsigned char* {
        const unsigned char* best = nullptr;
        int bestCount = 0;
        for (const Held* h : m_held) {
            if (!IsReading(*h))
                continue;
            int count = 0;
            for (const Held* other : m_held)
                if (IsReading(*other) && memcmp(other->address, h->address, 4) == 0)
                    ++count;
            if (count > bestCount) {
                bestCount = count;
                best = h->address;
            }
        }
        return best;
    };

    if (CountFrom(address) >= m_limits.maxPerAddress) {
        size_t victim = oldest(address, true);
        if (victim == m_held.size())
            victim = oldest(address, false);
        if (victim == m_held.size())
            return false;
        CloseHeld(victim);
        return true;
    }
    if (static_cast<int>(m_held.size()) >= m_limits.maxHeld) {
        size_t victim = oldest(nullptr, true);
        if (victim == m_held.size()) {
            const unsigned char* from = greediest();
            if (from == nullptr)
                return false;
            unsigned char copy[4];
            memcpy(copy, from, 4);
            victim = oldest(copy, false);
        }
        if (victim == m_held.size())
            return false;
        CloseHeld(victim);
    }
    int reading = 0;
    for (const Held* h : m_held)
        if (IsReading(*h))
            ++reading;
    if (reading >= m_limits.maxReading) {
        const unsigned char* from = greediest();
        if (from == nullptr)
            return false;
        unsigned char copy[4];
        memcpy(copy, from, 4);
        size_t victim = oldest(copy, false);
        if (victim == m_held.size())
            return false;
        CloseHeld(victim);
    }
    return true;
}

void AcceptLoop::AcceptNew() {
    // Drain what the backlog holds, a bounded number per round.
    for (int round = 0; round < 32; ++round) {
        SOCKET s = accept(m_listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                // Out of descriptors, say: do not spin on the listener.
                m_acceptPaused = true;
                m_acceptPausedUntil = GetTickCount() + 100;
            }
            return;
        }
        SetBlocking(s, false);
        unsigned char address[4] = {0, 0, 0, 0};
        struct sockaddr_in peer;
        int length = sizeof(peer);
        memset(&peer, 0, sizeof(peer));
        if (getpeername(s, reinterpret_cast<struct sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET)
            memcpy(address, &peer.sin_addr, 4);
        if (!MakeRoom(address)) {
            closesocket(s);
            continue;
        }
        Held* held = new Held;
        held->id = m_nextId++;
        held->socket = s;
        memcpy(held->address, address, 4);
        held->acceptedAt = GetTickCount();
        held->admittedAt = 0;
        held->admission = ADMISSION_PENDING;
        held->lineDone = false;
        held->refusing = false;
        held->queued = false;
        held->noPause = false;
        held->lineSeq = 0;
        held->refusedAt = 0;
        held->peerName[0] = '\0';
        m_held.push_back(held);
        Admit(*held);
    }
}

// Decides at once with the name kept for the address, or waits for its
// lookup: the one already asked for, or a new one.
void AcceptLoop::Admit(Held& held) {
    char name[HOST_NAME_SIZE];
    switch (m_names.Find(held.address, GetTickCount(), name, sizeof(name))) {
    case NAME_USE:
        Decide(held, name);
        return;
    case NAME_USE_AND_REFRESH:
        AskLookup(held.address, true);
        Decide(held, name);
        return;
    case NAME_WAIT:
        return; // the lookup under way decides this one too
    case NAME_LOOK_UP:
        AskLookup(held.address, false);
        return;
    case NAME_LOOK_UP_FIRST:
        AskLookup(held.address, true);
        return;
    }
}

void AcceptLoop::AskLookup(const unsigned char address[4], bool first) {
    AdmissionJob job;
    memcpy(job.address, address, 4);
    EventLock hold(m_shared->lock);
    (first ? m_shared->firstJobs : m_shared->jobs).push_back(job);
    SetEvent(m_shared->jobReady);
}

// The decision for one connection, with the list as it stands now.
void AcceptLoop::Decide(Held& held, const char* peerName) {
    const AdmissionResult result = DecideAdmission(peerName, m_localHostName);
    if (result == ADMISSION_REFUSED)
        LogMessage(IDS_UNAUTHORIZED_CLIENT, EVENTLOG_WARNING_TYPE, peerName);
    ApplyAdmission(held, result, peerName);
}

void AcceptLoop::LineDone(Held& held, bool withoutPause) {
    held.lineDone = true;
    held.noPause = withoutPause;
    held.lineSeq = m_nextId++;
    if (held.admission == ADMISSION_GRANTED && !held.queued) {
        held.queued = true;
        m_ready.Push(held.address, held.id);
    }
}

// Reads what has come of the line, never past its line feed: a peek shows
// the bytes, and only those up to the line feed are taken.
void AcceptLoop::ReadLinePart(Held& held) {
    const size_t capacity = static_cast<size_t>(REQUEST_BUFFER_SIZE - 1);
    char chunk[8192];
    const size_t want = LinePeekSize(held.line.size(), capacity, sizeof(chunk));
    int n = recv(held.socket, chunk, static_cast<int>(want), MSG_PEEK);
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return;
        CloseHeld(FindHeld(held.id)); // the read failed: no reply
        return;
    }
    const LineStep step = NextLineStep(chunk, static_cast<size_t>(n), held.line.size(), capacity);
    if (step.take > 0) {
        int got = recv(held.socket, chunk, static_cast<int>(step.take), 0);
        if (got != static_cast<int>(step.take)) {
            CloseHeld(FindHeld(held.id));
            return;
        }
        held.line.append(chunk, step.keep);
    }
    switch (step.end) {
    case LINE_MORE:
        return;
    case LINE_COMPLETE:
    case LINE_CUT: // the rest stays unread
        LineDone(held, false);
        return;
    case LINE_CLOSED_PARTIAL:
        // What came is the request; nobody waits for more of it.
        LineDone(held, true);
        return;
    case LINE_CLOSED_EMPTY:
        // Closed before a byte: nothing was asked, nothing is answered.
        CloseHeld(FindHeld(held.id));
        return;
    }
}

void AcceptLoop::ApplyAdmission(Held& held, int result, const char* peerName) {
    held.admission = result;
    BoundedCopy(held.peerName, sizeof(held.peerName), peerName);
    if (result == ADMISSION_GRANTED) {
        held.admittedAt = TickRoundedUp();
        m_names.Admitted(held.address);
        if (held.lineDone && !held.queued) {
            held.queued = true;
            m_ready.Push(held.address, held.id);
        }
        return;
    }
    // Refused (the warning is logged), or nobody is admitted since the list
    // cannot be read (logged once, by the admission): the refusal, then the
    // close after the pause, on the loop's clock. A send that does not go
    // through changes nothing.
    static const char kDenied[] = "ACCESS_DENIED\r\n";
    send(held.socket, kDenied, static_cast<int>(sizeof(kDenied) - 1), 0);
    held.refusing = true;
    held.refusedAt = GetTickCount();
}

void AcceptLoop::TakeAdmissions() {
    std::deque<AdmissionDone> done;
    {
        EventLock hold(m_shared->lock);
        done.swap(m_shared->done);
    }
    const DWORD now = GetTickCount();
    for (const AdmissionDone& d : done) {
        m_names.Found(d.address, d.peerName, now);
        // Every connection from the address that waits for it, oldest first;
        // a decision may close a connection, so by id.
        // Those whose lines ended are queued in the order the lines ended.
        std::vector<const Held*> pending;
        for (const Held* h : m_held)
            if (h->admission == ADMISSION_PENDING && memcmp(h->address, d.address, 4) == 0)
                pending.push_back(h);
        std::stable_sort(pending.begin(), pending.end(), [](const Held* a, const Held* b) {
            return (a->lineSeq != 0 ? a->lineSeq : ULONG_MAX) <
                   (b->lineSeq != 0 ? b->lineSeq : ULONG_MAX);
        });
        std::vector<unsigned long> waiting;
        for (const Held* h : pending)
            waiting.push_back(h->id);
        for (unsigned long id : waiting) {
            size_t index = FindHeld(id);
            if (index < m_held.size())
                Decide(*m_held[index], d.peerName);
        }
    }
}

void AcceptLoop::ExpireTimers(DWORD now) {
    for (size_t i = 0; i < m_held.size();) {
        const Held& h = *m_held[i];
        bool expired = h.refusing
                           ? Elapsed(h.refusedAt, now) >= static_cast<DWORD>(m_limits.refusalPause)
                           : !h.queued && Elapsed(h.acceptedAt, now) >=
                                              static_cast<DWORD>(m_limits.requestWaitLimit);
        if (expired)
            CloseHeld(i);
        else
            ++i;
    }
}

// Replies the request thread handed back go to the backlog.
void AcceptLoop::TakeSlowReplies() {
    std::deque<SlowReply> replies;
    {
        EventLock hold(m_shared->lock);
        replies.swap(m_shared->slowReplies);
    }
    const DWORD now = GetTickCount();
    for (SlowReply& reply : replies)
        m_backlog.Add(reply.socket, reply.bytes, reply.peerName, now);
}

// When a request handed over now may be answered (called under the shared
// lock). A client that closed its side before its line feed has nothing more
// to send: at once. Any other: one pause after its client was admitted, and
// one after its address's previous request was done. The pause runs from the
// admission, not from the turn, so the pauses of different addresses
// overlap: another address ahead costs a client the handling of one request,
// not a pause of its own, while one address still gets one answer per pause.
DWORD AcceptLoop::AnswerAt(const Held& held) {
    const DWORD now = GetTickCount();
    const DWORD pause = static_cast<DWORD>(m_limits.requestPause);
    // The request done last is the one handed over last: a request is
    // handed over only when the thread is free.
    if (m_shared->doneFresh) {
        m_answered[m_handedAddress] = m_shared->doneAt;
        m_shared->doneFresh = false;
    }
    for (auto it = m_answered.begin(); it != m_answered.end();) {
        if (Later(now, it->second + pause))
            it = m_answered.erase(it);
        else
            ++it;
    }
    if (held.noPause)
        return now;
    DWORD at = held.admittedAt + pause;
    auto previous = m_answered.find(AddressKey(held.address));
    if (previous != m_answered.end() && Later(previous->second + pause, at))
        at = previous->second + pause;
    return at;
}

void AcceptLoop::FeedRequestThread() {
    if (m_ready.Empty())
        return;
    // Handed over only when the request thread is free, so that the turn is
    // decided at the last moment: a request that arrives while another is
    // handled waits for that one only.
    EventLock hold(m_shared->lock);
    if (m_shared->slotFull || m_shared->handling)
        return;
    unsigned long id = 0;
    m_ready.Pop(id);
    size_t index = FindHeld(id);
    if (index == m_held.size())
        return;
    Held* held = m_held[index];
    m_shared->slotSocket = held->socket;
    m_shared->slotLine.swap(held->line);
    BoundedCopy(m_shared->slotPeer, sizeof(m_shared->slotPeer), held->peerName);
    m_shared->slotAnswerAt = AnswerAt(*held);
    m_handedAddress = AddressKey(held->address);
    m_shared->slotFull = true;
    SetEvent(m_shared->requestReady);
    m_held.erase(m_held.begin() + static_cast<long>(index));
    delete held;
}

bool AcceptLoop::Busy() const {
    if (!m_held.empty() || m_backlog.Count() > 0)
        return true;
    EventLock hold(m_shared->lock);
    return m_shared->slotFull || m_shared->handling || !m_shared->slowReplies.empty();
}

void AcceptLoop::Run() {
    bool stopping = false;
    DWORD stopSeenAt = 0;
    for (;;) {
        DWORD now = GetTickCount();
        if (!stopping && WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0) {
            stopping = true;
            stopSeenAt = now;
        }
        TakeAdmissions();
        TakeSlowReplies();
        now = GetTickCount(); // after the refusals just made
        ExpireTimers(now);
        m_backlog.Expire(now);
        FeedRequestThread();
        if (stopping) {
            if (!Busy()) {
                Finish();
                return;
            }
            if (Elapsed(stopSeenAt, now) >= static_cast<DWORD>(m_limits.stopDrainLimit)) {
                Finish();
                return;
            }
        }

        if (m_acceptPaused && Elapsed(m_acceptPausedUntil, now) < 0x80000000u)
            m_acceptPaused = false;
        fd_set readable;
        FD_ZERO(&readable);
        bool listening = !stopping && !m_acceptPaused;
        if (listening)
            FD_SET(m_listener, &readable);
        for (const Held* h : m_held)
            if (IsReading(*h))
                FD_SET(h->socket, &readable);
        fd_set writable;
        FD_ZERO(&writable);
        m_backlog.Watch(&writable);

        // Short waits while another thread may hand something back; else
        // until the nearest deadline, and never long, so that the stop is
        // seen soon.
        DWORD wait = 250;
        {
            EventLock hold(m_shared->lock);
            if (!m_shared->firstJobs.empty() || !m_shared->jobs.empty() || !m_ready.Empty() ||
                m_shared->slotFull || m_shared->handling)
                wait = 20;
        }
        for (const Held* h : m_held) {
            if (h->admission == ADMISSION_PENDING)
                wait = 20;
            DWORD deadline = h->refusing
                                 ? h->refusedAt + static_cast<DWORD>(m_limits.refusalPause)
                                 : h->acceptedAt + static_cast<DWORD>(m_limits.requestWaitLimit);
            if (h->queued)
                continue;
            DWORD left = Elapsed(now, deadline) < 0x80000000u ? deadline - now : 0;
            if (left < wait)
                wait = left;
        }
        wait = m_backlog.NextExpiry(now, wait);
        if (readable.fd_count == 0 && writable.fd_count == 0) {
            // Windows' select() refuses empty sets.
            Sleep(wait);
            continue;
        }
        struct timeval limit;
        limit.tv_sec = static_cast<long>(wait / 1000);
        limit.tv_usec = static_cast<long>((wait % 1000) * 1000);
        int rc = select(0, readable.fd_count > 0 ? &readable : nullptr,
                        writable.fd_count > 0 ? &writable : nullptr, nullptr, &limit);
        if (rc == SOCKET_ERROR) {
            Sleep(20);
            continue;
        }
        if (rc == 0)
            continue;
        if (writable.fd_count > 0)
            m_backlog.Send(&writable, GetTickCount());
        if (readable.fd_count == 0)
            continue;
        if (listening && FD_ISSET(m_listener, &readable))
            AcceptNew();
        // Read by id: reading may close a connection, accepting may have
        // closed others.
        std::vector<unsigned long> ids;
        for (const Held* h : m_held)
            if (IsReading(*h) && FD_ISSET(h->socket, &readable))
                ids.push_back(h->id);
        for (unsigned long id : ids) {
            size_t index = FindHeld(id);
            if (index < m_held.size() && IsReading(*m_held[index]))
                ReadLinePart(*m_held[index]);
        }
    }
}

void AcceptLoop::Finish() {
    while (!m_held.empty())
        CloseHeld(m_held.size() - 1);
    m_ready.Clear();
    m_backlog.CloseAll();
    {
        EventLock hold(m_shared->lock);
        m_shared->quit = true;
        // A request still in the slot after the drain limit is not handled.
        if (m_shared->slotFull) {
            closesocket(m_shared->slotSocket);
            m_shared->slotSocket = INVALID_SOCKET;
            m_shared->slotFull = false;
        }
        SetEvent(m_shared->requestReady);
        SetEvent(m_shared->jobReady);
    }
    // The request in hand is finished first (bounded: its sends have their
    // own limits); a lookup that hangs in the resolver is left behind, its
    // thread lets go of the shared state when it comes back.
    if (m_hRequestThread != nullptr)
        WaitForSingleObject(m_hRequestThread, 8000);
    if (m_nAdmissionThreads > 0)
        WaitForMultipleObjects(static_cast<DWORD>(m_nAdmissionThreads), m_phAdmissionThreads, TRUE,
                               2000);
}
