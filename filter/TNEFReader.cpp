#include "filter/TNEFReader.h"

#include "filter/StreamTransport.h"

#include <cassert>
#include <cstring>

namespace {

// Attribute identifiers acted upon.
constexpr uint32_t kAttAttachTitle = 0x00018010u;
constexpr uint32_t kAttMAPIProps = 0x00069003u;
constexpr uint32_t kAttAttachment = 0x00069005u;

// Property identifiers whose text is a name.
constexpr uint32_t kPrDisplayName = 0x3001u;
constexpr uint32_t kPrAttachFilename = 0x3704u;
constexpr uint32_t kPrAttachLongFilename = 0x3707u;

constexpr uint32_t kMultiValue = 0x1000u;

uint64_t RoundUp4(uint64_t n) {
    return (n + 3) & ~static_cast<uint64_t>(3);
}

bool IsCountedType(uint32_t type) {
    if (type & kMultiValue)
        return true;
    switch (type) {
    case 0x000D:
    case 0x001E:
    case 0x001F:
    case 0x0102:
        return true;
    default:
        return false;
    }
}

bool IsNameProperty(uint32_t id) {
    return id == kPrDisplayName || id == kPrAttachFilename || id == kPrAttachLongFilename;
}

} // namespace

CTNEFReader::CTNEFReader(CStreamTransport* file, TNEFNameVisitor visitor, void* context)
    : m_File(file), m_Visitor(visitor), m_Context(context), m_Length(0), m_Pos(0), m_Limit(0),
      m_Why(FaultBounds), m_ChunkStart(0), m_ChunkLength(0) {
    m_Scratch[0] = '\0';
}

void CTNEFReader::Throw(EFault why) {
    m_Why = why;
    throw CTNEFException();
}

// Every read of the stream comes through here: never beyond m_Limit, and
// through the read-ahead chunk, so that the many small fields cost few calls.
void CTNEFReader::ReadBytes(void* buffer, size_t count) {
    if (count > Available())
        Throw(FaultBounds);
    char* out = static_cast<char*>(buffer);
    while (count > 0) {
        if (m_Pos < m_ChunkStart || m_Pos >= m_ChunkStart + static_cast<int64_t>(m_ChunkLength)) {
            m_ChunkLength = 0;
            m_ChunkStart = m_Pos;
            if (!m_File->Seek(static_cast<long>(m_Pos)))
                Throw(FaultBounds);
            // m_Pos < m_Limit <= m_Length here: count bytes were available.
            assert(m_Pos < m_Length);
            int64_t left = m_Length - m_Pos;
            size_t want = left < static_cast<int64_t>(sizeof(m_Chunk)) ? static_cast<size_t>(left)
                                                                       : sizeof(m_Chunk);
            long got = m_File->Read(m_Chunk, want);
            if (got <= 0)
                Throw(FaultBounds); // the file ended early, or failed
            m_ChunkLength = static_cast<size_t>(got);
        }
        size_t offset = static_cast<size_t>(m_Pos - m_ChunkStart);
        size_t n = m_ChunkLength - offset;
        if (n > count)
            n = count;
        memcpy(out, m_Chunk + offset, n);
        out += n;
        count -= n;
        m_Pos += static_cast<int64_t>(n);
    }
}

// Bytes left before m_Limit; none once the position has passed it (the seek
// to the end of an attribute that the file cuts short goes beyond it).
uint64_t CTNEFReader::Available() const {
    return m_Pos < m_Limit ? static_cast<uint64_t>(m_Limit - m_Pos) : 0;
}

// As many of count bytes as lie before m_Limit. A read that yields no byte at
// all is a fault; a short one is not.
size_t CTNEFReader::ReadSome(void* buffer, size_t count) {
    uint64_t available = Available();
    size_t n = count < available ? count : static_cast<size_t>(available);
    if (n == 0 && count > 0)
        Throw(FaultBounds);
    ReadBytes(buffer, n);
    return n;
}

uint8_t CTNEFReader::ReadByte() {
    unsigned char b[1];
    ReadBytes(b, 1);
    return b[0];
}

uint16_t CTNEFReader::ReadWord() {
    unsigned char b[2];
    ReadBytes(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t CTNEFReader::ReadLong() {
    unsigned char b[4];
    ReadBytes(b, 4);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// The bounded skip: a fault when it would pass m_Limit. Only the position
// moves; the next read seeks there.
void CTNEFReader::Skip(uint64_t count) {
    if (count > Available())
        Throw(FaultBounds);
    m_Pos += static_cast<int64_t>(count);
}

CTNEFReader::EEnd CTNEFReader::Parse() {
    if (m_File == nullptr)
        return NotTNEF;
    long length = m_File->GetLength();
    if (length < 6)
        return NotTNEF;
    m_Length = length;
    m_Pos = 0;
    m_Limit = m_Length;
    m_ChunkLength = 0;
    try {
        if (ReadLong() != kTNEFSignature)
            return NotTNEF;
        ReadWord(); // the key, not used
        for (;;) {
            if (m_Pos == m_Length)
                return EndOfFile;
            uint8_t level = ReadByte();
            if (level != 1 && level != 2)
                return OtherLevel;
            ReadAttribute();
        }
    } catch (const CTNEFException&) {
        return m_Why == FaultStop ? Stopped : Fault;
    }
}

void CTNEFReader::ReadAttribute() {
    int64_t start = m_Pos;
    uint32_t id = ReadLong();
    uint32_t length = ReadLong();
    // Sixty-four bits: start + 8 + length cannot wrap, and every attribute
    // moves the parse forward by at least its eleven bytes of framing.
    int64_t end = start + 8 + static_cast<int64_t>(length);
    // An attribute that runs past the end of the file (a file cut short, or a
    // length one too large) is read as far as the file goes: its names that
    // lie before the end are found, and the checksum read below, which yields
    // nothing there, ends the parse. A scanner that dropped the whole
    // attribute would let its names through unseen.
    m_Limit = end < m_Length ? end : m_Length;
    if (id == kAttAttachTitle) {
        ReadName(length, length, false);
    } else if (id == kAttMAPIProps || id == kAttAttachment) {
        try {
            ReadPropertyList();
        } catch (const CTNEFException&) {
            // A list that runs past its attribute ends there; the seek to the
            // attribute's end below puts the parse back in step. Everything
            // else ends the parse.
            if (m_Why != FaultBounds)
                throw;
        }
    }
    m_Limit = m_Length;
    m_Pos = end;
    ReadWord(); // the checksum, not verified
}

void CTNEFReader::ReadPropertyList() {
    uint32_t count = ReadLong();
    if (count > kMaxProperties)
        Throw(FaultFatal);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t tag = ReadLong();
        uint32_t type = tag & 0xFFFFu;
        uint32_t id = tag >> 16;
        if (id >= 0x8000u) {
            // A named property: set identifier, kind, and an ID or a name.
            Skip(16);
            uint32_t kind = ReadLong();
            uint32_t value = ReadLong();
            if (kind != 0)
                Skip(RoundUp4(value));
        }
        uint32_t values = IsCountedType(type) ? ReadLong() : 1;
        // Every known value takes at least four bytes of the attribute, so a
        // count that lies ends at the attribute's end; a value of an unknown
        // type takes nothing, so it is "read" once, not a count of times.
        for (uint32_t v = 0; v < values; ++v) {
            if (!ReadValue(type, id))
                break;
        }
    }
}

// One value of the given type; false for a type of unknown layout, of which
// nothing is consumed.
bool CTNEFReader::ReadValue(uint32_t type, uint32_t id) {
    switch (type) {
    case 0x0002:
    case 0x0003:
    case 0x0004:
    case 0x000B:
    case 0x1003:
    case 0x1004:
        Skip(4);
        return true;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
    case 0x1005:
    case 0x1006:
    case 0x1007:
    case 0x1014:
    case 0x1040:
        Skip(8);
        return true;
    case 0x0048:
    case 0x1048:
        Skip(16);
        return true;
    case 0x1002:
        // Multi-value 16-bit integers: each value is padded to four bytes in
        // the files mail clients write; reading two would put every property
        // after the list out of step.
        Skip(4);
        return true;
    case 0x000D: {
        uint32_t length = ReadLong();
        uint64_t padded = RoundUp4(length);
        if (length >= 16) {
            char iid[16];
            ReadBytes(iid, sizeof(iid)); // the interface identifier, not used
            Skip(padded - 16);
        } else {
            Skip(padded);
        }
        return true;
    }
    case 0x001E:
    case 0x001F:
    case 0x0102:
    case 0x101E:
    case 0x101F:
    case 0x1102: {
        uint32_t length = ReadLong();
        uint64_t padded = RoundUp4(length);
        if (IsNameProperty(id))
            ReadName(padded, length, type == 0x001F || type == 0x101F);
        else
            Skip(padded);
        return true;
    }
    default:
        return false;
    }
}

// A value of size bytes as a name: its first kMaxName bytes at most, up to the
// first zero byte and never beyond textSize (the value's own length: the
// padding after it is not part of the name). A UTF-16 value is turned into
// narrow text, unit by unit, so that its characters are searched rather than
// stopping at the zero high byte of its first one; units beyond Latin-1 become
// '?'. A value that its attribute or the file cuts short gives the name as far
// as it goes (a value of which no byte is there is a fault), and the skip of
// the rest, after the name has been handed on, then faults.
void CTNEFReader::ReadName(uint64_t size, uint64_t textSize, bool utf16) {
    size_t want = size < kMaxName ? static_cast<size_t>(size) : kMaxName;
    size_t take = ReadSome(m_Scratch, want);
    size_t text = textSize < take ? static_cast<size_t>(textSize) : take;
    size_t n = 0;
    if (utf16) {
        // Narrow text is never longer than the UTF-16 it comes from, so the
        // conversion can run in place.
        for (size_t i = 0; i + 1 < text; i += 2) {
            unsigned unit =
                static_cast<unsigned char>(m_Scratch[i]) |
                (static_cast<unsigned>(static_cast<unsigned char>(m_Scratch[i + 1])) << 8);
            if (unit == 0)
                break;
            m_Scratch[n++] = unit < 0x100 ? static_cast<char>(unit) : '?';
        }
    } else {
        while (n < text && m_Scratch[n] != '\0')
            ++n;
    }
    m_Scratch[n] = '\0';
    if (m_Visitor != nullptr && m_Visitor(m_Scratch, m_Context))
        Throw(FaultStop);
    Skip(size - take);
}
