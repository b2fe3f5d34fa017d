// Reading a request line as its bytes come, on a non-blocking socket: the
// accept loop peeks at what has arrived and takes only the bytes up to the
// line feed, so that the further lines of set_config stay for its handler.
//
// NextLineStep is the rule, a pure function; the loop does the socket calls.
#ifndef VANTRY_SERVICE_LINEREADER_H
#define VANTRY_SERVICE_LINEREADER_H

#include <cstddef>

// What a step leaves the line as.
enum LineEnd {
    LINE_MORE,           // not ended yet: wait for more bytes
    LINE_COMPLETE,       // a line feed ended it
    LINE_CUT,            // the capacity is reached; the rest stays unread
    LINE_CLOSED_PARTIAL, // the client closed its side after some bytes
    LINE_CLOSED_EMPTY,   // the client closed its side before any byte
};

struct LineStep {
    size_t take;  // bytes to receive (those peeked, up to the line feed)
    size_t keep;  // of them, the bytes that belong to the line (no line feed)
    LineEnd end;
};

// The most to peek at with stored bytes of capacity already kept: never
// more than the line can still hold, nor more than chunk.
size_t LinePeekSize(size_t stored, size_t capacity, size_t chunk);

// One step: peeked holds the n bytes a peek returned (n == 0: the client
// closed its side), stored bytes of the line are kept already.
LineStep NextLineStep(const char* peeked, size_t n, size_t stored, size_t capacity);

#endif
