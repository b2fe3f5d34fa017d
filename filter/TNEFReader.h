// The TNEF reader: walks a transport-neutral encapsulation stream (the
// winmail.dat of some mail clients) and hands every attachment name it finds
// to a visitor. It reads through CStreamTransport a bounded chunk at a time
// and skips by seeking, so the stream is never held in memory, and it trusts
// no length in the stream: every read and skip is checked against the end of
// the enclosing attribute and of the file.
#ifndef VANTRY_FILTER_TNEFREADER_H
#define VANTRY_FILTER_TNEFREADER_H

#include <cstddef>
#include <cstdint>

class CStreamTransport;

// Thrown by value on every fault of the stream; the reader catches it itself,
// it never leaves Parse.
class CTNEFException {};

// Called with every name, in the order found; returning true stops the parse.
typedef bool (*TNEFNameVisitor)(const char* name, void* context);

// The stream's signature, the first four bytes read as a little-endian number.
constexpr uint32_t kTNEFSignature = 0x223E9F78u;

class CTNEFReader {
public:
    // How a parse ended.
    enum EEnd {
        EndOfFile,  // the file ended right after a complete attribute
        OtherLevel, // a level byte other than 1 or 2
        Fault,      // a fault of the stream: truncated, out of bounds, too many properties
        Stopped,    // the visitor asked to stop
        NotTNEF     // no signature, or the file could not be read at all
    };

    // The longest name kept: what the 512-byte scratch buffer holds.
    static constexpr size_t kMaxName = 511;
    // A property list that claims more properties than this is a fault.
    static constexpr uint32_t kMaxProperties = 3000;

    CTNEFReader(CStreamTransport* file, TNEFNameVisitor visitor, void* context);
    CTNEFReader(const CTNEFReader&) = delete;
    CTNEFReader& operator=(const CTNEFReader&) = delete;

    // Reads the stream from its start. Names found before a fault have already
    // been handed to the visitor.
    EEnd Parse();

private:
    enum EFault { FaultBounds, FaultFatal, FaultStop };

    [[noreturn]] void Throw(EFault why);
    uint64_t Available() const;
    void ReadBytes(void* buffer, size_t count);
    size_t ReadSome(void* buffer, size_t count);
    uint8_t ReadByte();
    uint16_t ReadWord();
    uint32_t ReadLong();
    void Skip(uint64_t count);
    void ReadAttribute();
    void ReadPropertyList();
    bool ReadValue(uint32_t type, uint32_t id);
    void ReadName(uint64_t size, uint64_t textSize, bool utf16);

    CStreamTransport* m_File;
    TNEFNameVisitor m_Visitor;
    void* m_Context;

    int64_t m_Length; // of the file
    int64_t m_Pos;    // the reader's position in the stream
    int64_t m_Limit;  // no read or skip goes beyond this offset
    EFault m_Why;

    // Read-ahead: the bytes of the file from m_ChunkStart on.
    char m_Chunk[4096];
    int64_t m_ChunkStart;
    size_t m_ChunkLength;

    // Each text value is read here before it is handed on.
    char m_Scratch[512];
};

#endif
