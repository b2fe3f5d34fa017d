// The requests that are complete and admitted, waiting for the request
// thread. One source address must not hold the others with a backlog of its
// own: the queue takes turns across source addresses, one request per
// address in turn, so that a request waits behind at most one request of
// each other address that is waiting (and the one being handled).
//
// A pure container of request ids; the accept loop owns the connections.
#ifndef VANTRY_SERVICE_REQUESTQUEUE_H
#define VANTRY_SERVICE_REQUESTQUEUE_H

#include <cstddef>
#include <deque>
#include <vector>

class RequestQueue {
public:
    // Queues request id from address (4 bytes, network order), behind the
    // requests of the same address.
    void Push(const unsigned char address[4], unsigned long id);
    // The next request: the first one of the address whose turn it is, that
    // is the waiting address served least recently since it began waiting
    // (an address that has not been served since is first; among those, the
    // one that began waiting first). False when nothing waits.
    bool Pop(unsigned long& id);
    // Takes a request out wherever it waits; false when it is not queued.
    bool Remove(unsigned long id);
    bool Empty() const { return m_sources.empty(); }
    size_t Size() const;
    void Clear() { m_sources.clear(); }

private:
    struct Source {
        unsigned char address[4];
        std::deque<unsigned long> ids;
        // 0 until the address is served while waiting, then the turn it was
        // served in; an address with nothing left waiting is forgotten.
        unsigned long long servedAt;
        unsigned long long arrivedAt;
    };
    std::vector<Source> m_sources;
    unsigned long long m_clock = 0;
};

#endif
