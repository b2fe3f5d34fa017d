// A file read through the runtime's low-level, descriptor-based functions: the
// TNEF reader walks an attachment's file with it, attribute by attribute,
// without holding the file in memory. No constructor or destructor of its own:
// the attachment check declares one, calls Open, and calls Close after the
// search.
#ifndef VANTRY_FILTER_STREAMTRANSPORT_H
#define VANTRY_FILTER_STREAMTRANSPORT_H

class CStreamTransport {
public:
    // Opens the file read-only in binary mode; false when it did not open.
    bool Open(const char* path);
    // The number of bytes read (0 at the end or on failure).
    long Read(void* buffer, unsigned long count);
    long Tell();
    long GetLength();
    // Moves to an absolute offset.
    bool Seek(long offset);
    void Close();

    // The file descriptor, -1 when the file failed to open.
    int m_File;
};

#endif
