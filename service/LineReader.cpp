#include "service/LineReader.h"

#include <cstring>

size_t LinePeekSize(size_t stored, size_t capacity, size_t chunk) {
    const size_t room = stored < capacity ? capacity - stored : 0;
    return room < chunk ? room : chunk;
}

LineStep NextLineStep(const char* peeked, size_t n, size_t stored, size_t capacity) {
    LineStep step = {0, 0, LINE_MORE};
    if (n == 0) {
        step.end = stored == 0 ? LINE_CLOSED_EMPTY : LINE_CLOSED_PARTIAL;
        return step;
    }
    const void* feed = memchr(peeked, '\n', n);
    if (feed != nullptr) {
        step.keep = static_cast<size_t>(static_cast<const char*>(feed) - peeked);
        step.take = step.keep + 1;
        step.end = LINE_COMPLETE;
        return step;
    }
    step.take = step.keep = n;
    step.end = stored + n >= capacity ? LINE_CUT : LINE_MORE;
    return step;
}
