// Builds TNEF streams for the tests: the signature and key, attributes with
// their checksums, attachment titles, and property lists with plain, named,
// multi-value, object and text properties. Every length can also be given
// wrong on purpose, so that hostile streams are as easy to write as good ones.
#ifndef VANTRY_TESTS_FILTER_TNEFWRITER_H
#define VANTRY_TESTS_FILTER_TNEFWRITER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vtest {

// Little-endian pieces of a stream.
inline std::string Le16(uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
inline std::string Le32(uint32_t v) {
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}
inline std::string Pad4(const std::string& s) {
    return s + std::string((4 - s.size() % 4) % 4, '\0');
}
inline std::string Utf16(const std::string& ascii) {
    std::string out;
    for (unsigned char c : ascii)
        out += Le16(c);
    return out;
}

constexpr uint32_t kAttAttachTitle = 0x00018010u;
constexpr uint32_t kAttMAPIProps = 0x00069003u;
constexpr uint32_t kAttAttachment = 0x00069005u;
constexpr uint32_t kAttAttachRenddata = 0x00069002u;
constexpr uint32_t kAttAttachData = 0x0006800Fu;
constexpr uint16_t kPrDisplayName = 0x3001;
constexpr uint16_t kPrAttachFilename = 0x3704;
constexpr uint16_t kPrAttachLongFilename = 0x3707;
constexpr uint16_t kPtString8 = 0x001E;
constexpr uint16_t kPtUnicode = 0x001F;

// A property list, as the data of attMAPIProps or attAttachment.
class TnefProps {
public:
    // A text property with a count of 1: the length, then the bytes padded to
    // four. The text gets its terminator unless raw is set.
    TnefProps& Text(uint16_t id, const std::string& text, uint16_t type = kPtString8,
                    bool raw = false) {
        std::string value = raw ? text : text + std::string(type == kPtUnicode ? 2 : 1, '\0');
        return Property(Tag(id, type),
                        Le32(1) + Le32(static_cast<uint32_t>(value.size())) + Pad4(value));
    }
    TnefProps& Unicode(uint16_t id, const std::string& ascii) {
        return Text(id, Utf16(ascii), kPtUnicode);
    }
    TnefProps& Long(uint16_t id, uint32_t value) { return Property(Tag(id, 0x0003), Le32(value)); }
    TnefProps& Time(uint16_t id) { return Property(Tag(id, 0x0040), std::string(8, '\x11')); }
    TnefProps& MultiLong(uint16_t id, const std::vector<uint32_t>& values) {
        std::string data = Le32(static_cast<uint32_t>(values.size()));
        for (uint32_t v : values)
            data += Le32(v);
        return Property(Tag(id, 0x1003), data);
    }
    // Multi-value 16-bit integers (0x1002), each value padded to four bytes
    // as mail clients write them.
    TnefProps& MultiShort(uint16_t id, const std::vector<uint16_t>& values) {
        std::string data = Le32(static_cast<uint32_t>(values.size()));
        for (uint16_t v : values)
            data += Le16(v) + Le16(0);
        return Property(Tag(id, 0x1002), data);
    }
    TnefProps& MultiText(uint16_t id, const std::vector<std::string>& values,
                         uint16_t type = 0x101E) {
        std::string data = Le32(static_cast<uint32_t>(values.size()));
        for (const std::string& v : values)
            data += Le32(static_cast<uint32_t>(v.size() + 1)) + Pad4(v + '\0');
        return Property(Tag(id, type), data);
    }
    // An object (PT_OBJECT): count 1, length, a 16-byte interface identifier
    // and the object's bytes, padded.
    TnefProps& Object(uint16_t id, const std::string& bytes) {
        std::string value = std::string(16, '\x0A') + bytes;
        return Property(Tag(id, 0x000D),
                        Le32(1) + Le32(static_cast<uint32_t>(value.size())) + Pad4(value));
    }
    // A named property: set identifier, kind and (kind 1) a UTF-16 name, then
    // the value bytes as the type wants them.
    TnefProps& Named(uint16_t id, uint16_t type, const std::string& name,
                     const std::string& value) {
        std::string head = std::string(16, '\x5A');
        if (name.empty()) {
            head += Le32(0) + Le32(0x8205);
        } else {
            std::string n = Utf16(name) + Le16(0);
            head += Le32(1) + Le32(static_cast<uint32_t>(n.size())) + Pad4(n);
        }
        return Property(Tag(id, type), head + value);
    }
    // Anything, as given.
    TnefProps& Property(uint32_t tag, const std::string& rest) {
        body_ += Le32(tag) + rest;
        ++count_;
        return *this;
    }
    std::string Data() const { return Le32(count_) + body_; }
    std::string DataWithCount(uint32_t count) const { return Le32(count) + body_; }

    static uint32_t Tag(uint16_t id, uint16_t type) {
        return (static_cast<uint32_t>(id) << 16) | type;
    }

private:
    std::string body_;
    uint32_t count_ = 0;
};

class TnefWriter {
public:
    explicit TnefWriter(uint32_t signature = 0x223E9F78u) {
        bytes_ = Le32(signature) + Le16(0x0106);
    }

    // One attribute: level, identifier, length, data, checksum. The length
    // may be given wrong on purpose.
    TnefWriter& Attribute(uint8_t level, uint32_t id, const std::string& data) {
        return AttributeWithLength(level, id, data, static_cast<uint32_t>(data.size()));
    }
    TnefWriter& AttributeWithLength(uint8_t level, uint32_t id, const std::string& data,
                                    uint32_t length) {
        uint32_t sum = 0;
        for (unsigned char c : data)
            sum += c;
        bytes_ += static_cast<char>(level) + Le32(id) + Le32(length) + data + Le16(sum & 0xFFFF);
        return *this;
    }
    TnefWriter& Title(const std::string& name) {
        return Attribute(2, kAttAttachTitle, name + '\0');
    }
    TnefWriter& Attachment(const TnefProps& props) {
        return Attribute(2, kAttAttachment, props.Data());
    }
    TnefWriter& MessageProps(const TnefProps& props) {
        return Attribute(1, kAttMAPIProps, props.Data());
    }
    // The attachment's content, which the reader passes over.
    TnefWriter& Content(const std::string& bytes) { return Attribute(2, kAttAttachData, bytes); }
    TnefWriter& Raw(const std::string& bytes) {
        bytes_ += bytes;
        return *this;
    }

    const std::string& Bytes() const { return bytes_; }
    // The stream cut to its first n bytes.
    std::string Cut(size_t n) const { return bytes_.substr(0, n); }

private:
    std::string bytes_;
};

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

} // namespace vtest

#endif
