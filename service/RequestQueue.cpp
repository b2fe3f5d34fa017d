#include "service/RequestQueue.h"

#include <cstring>

void RequestQueue::Push(const unsigned char address[4], unsigned long id) {
    for (Source& source : m_sources) {
        if (memcmp(source.address, address, 4) == 0) {
            source.ids.push_back(id);
            return;
        }
    }
    Source source;
    memcpy(source.address, address, 4);
    source.ids.push_back(id);
    source.servedAt = 0;
    source.arrivedAt = ++m_clock;
    m_sources.push_back(source);
}

bool RequestQueue::Pop(unsigned long& id) {
    if (m_sources.empty())
        return false;
    size_t turn = 0;
    for (size_t i = 1; i < m_sources.size(); ++i) {
        const Source& s = m_sources[i];
        const Source& best = m_sources[turn];
        if (s.servedAt < best.servedAt ||
            (s.servedAt == best.servedAt && s.arrivedAt < best.arrivedAt))
            turn = i;
    }
    Source& source = m_sources[turn];
    id = source.ids.front();
    source.ids.pop_front();
    if (source.ids.empty())
        m_sources.erase(m_sources.begin() + static_cast<long>(turn));
    else
        source.servedAt = ++m_clock;
    return true;
}

bool RequestQueue::Remove(unsigned long id) {
    for (size_t i = 0; i < m_sources.size(); ++i) {
        std::deque<unsigned long>& ids = m_sources[i].ids;
        for (auto it = ids.begin(); it != ids.end(); ++it) {
            if (*it != id)
                continue;
            ids.erase(it);
            if (ids.empty())
                m_sources.erase(m_sources.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

size_t RequestQueue::Size() const {
    size_t n = 0;
    for (const Source& source : m_sources)
        n += source.ids.size();
    return n;
}
