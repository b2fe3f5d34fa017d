// The message Drennic scans: GMime's tree of the message, laid out as the
// rule engine reads a message (see MimeMessage.h).
#include "peers/drennic/MimeMessage.h"

#include "platform/bounded.h"
#include "platform/win32.h"

#include <gmime/gmime.h>

#include <climits>
#include <cstring>
#include <new>

struct DrennicPart {
    GMimeObject* object = nullptr; // a leaf (GMimePart) or a GMimeMessagePart; borrowed
    std::string name;
    int type = DRENNIC_TYPE_OTHER;
    int tnef = 0;
    int nested = 0;
    bool made = false; // content decoded
    std::string content;
};

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(const char* text, const char* end, const char* word) {
    for (; *word != '\0'; ++word, ++text)
        if (text >= end || Lower(*text) != *word)
            return false;
    return true;
}

// Counts the Content-Type header fields that open a container (multipart/ or
// message/), folded values included. Bodies are counted too: a line that
// looks like such a header anywhere counts, which only errs on the safe side.
int CountContainers(const char* bytes, size_t length) {
    const char* end = bytes + length;
    int count = 0;
    const char* line = bytes;
    while (line < end) {
        if (StartsWithNoCase(line, end, "content-type:")) {
            const char* v = line + strlen("content-type:");
            while (v < end && (*v == ' ' || *v == '\t' || *v == '\r' || *v == '\n'))
                ++v;
            if (StartsWithNoCase(v, end, "multipart/") || StartsWithNoCase(v, end, "message/"))
                ++count;
        }
        const void* next = memchr(line, '\n', static_cast<size_t>(end - line));
        if (next == nullptr)
            break;
        line = static_cast<const char*>(next) + 1;
    }
    return count;
}

int TypeCode(GMimeContentType* type) {
    if (type == nullptr)
        return DRENNIC_TYPE_TEXT_PLAIN; // RFC 2045's default
    const char* media = g_mime_content_type_get_media_type(type);
    const char* sub = g_mime_content_type_get_media_subtype(type);
    if (media == nullptr)
        return DRENNIC_TYPE_OTHER;
    if (g_ascii_strcasecmp(media, "text") == 0) {
        if (sub != nullptr && g_ascii_strcasecmp(sub, "plain") == 0)
            return DRENNIC_TYPE_TEXT_PLAIN;
        if (sub != nullptr && g_ascii_strcasecmp(sub, "html") == 0)
            return DRENNIC_TYPE_TEXT_HTML;
        return DRENNIC_TYPE_TEXT_OTHER;
    }
    struct Row {
        const char* media;
        int code;
    };
    static const Row kTypes[] = {{"application", DRENNIC_TYPE_APPLICATION},
                                 {"image", DRENNIC_TYPE_IMAGE},
                                 {"audio", DRENNIC_TYPE_AUDIO},
                                 {"video", DRENNIC_TYPE_VIDEO},
                                 {"message", DRENNIC_TYPE_MESSAGE}};
    for (const Row& row : kTypes)
        if (g_ascii_strcasecmp(media, row.media) == 0)
            return row.code;
    return DRENNIC_TYPE_OTHER;
}

bool IsTnefPart(GMimeContentType* type, const std::string& name) {
    if (type != nullptr && g_mime_content_type_is_type(type, "application", "ms-tnef"))
        return true;
    if (type != nullptr && g_mime_content_type_is_type(type, "application", "vnd.ms-tnef"))
        return true;
    return g_ascii_strcasecmp(name.c_str(), "winmail.dat") == 0;
}

// Everything a GMime memory stream holds, as bytes.
std::string TakeBytes(GMimeStream* stream) {
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (array == nullptr || array->len == 0)
        return std::string();
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::string AddressText(InternetAddressList* list) {
    if (list == nullptr)
        return std::string();
    char* text = internet_address_list_to_string(list, nullptr, FALSE);
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

// The value of a parameter as it stands after "name=": quoted (with
// backslash escapes) or bare up to the next ';' or line end, without the
// blanks around it.
std::string ParameterValue(const char* raw) {
    const char* p = raw;
    while (*p == ' ' || *p == '\t')
        ++p;
    std::string value;
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p) {
            if (*p == '\\' && p[1] != '\0')
                ++p;
            value.push_back(*p);
        }
        return value;
    }
    for (; *p != '\0' && *p != ';' && *p != '\r' && *p != '\n'; ++p)
        value.push_back(*p);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// An RFC 2231 extended value, charset'language'%XX..., into UTF-8; false when
// the value does not have that form.
bool DecodeExtendedValue(const std::string& value, std::string* out) {
    size_t first = value.find('\'');
    if (first == std::string::npos || first == 0)
        return false;
    size_t second = value.find('\'', first + 1);
    if (second == std::string::npos || value.find('\'', second + 1) != std::string::npos)
        return false;
    for (size_t i = 0; i < first; ++i) {
        char c = value[i];
        if (!g_ascii_isalnum(c) && c != '-' && c != '_' && c != '.' && c != ':')
            return false;
    }
    std::string bytes;
    for (size_t i = second + 1; i < value.size(); ++i) {
        int high = i + 2 < value.size() && value[i] == '%' ? HexValue(value[i + 1]) : -1;
        int low = high >= 0 ? HexValue(value[i + 2]) : -1;
        if (value[i] == '%' && high >= 0 && low >= 0) {
            bytes.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            bytes.push_back(value[i]);
        }
    }
    std::string charset = value.substr(0, first);
    gsize written = 0;
    gchar* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                 charset.c_str(), nullptr, &written, nullptr);
    if (converted != nullptr) {
        out->assign(converted, written);
        g_free(converted);
    } else {
        out->swap(bytes); // an unknown charset: the bytes as they are
    }
    return true;
}

// A parameter of a header field as the field itself writes it (RFC 2231 and
// RFC 2047 decoded), or "" when it has none. GMime drops every parameter of a
// Content-Type whose type it cannot read ("application-x-gzip; name=...",
// "application; name=...") and takes the part for application/octet-stream;
// the sender's name for the file still stands in the field.
std::string RawParameter(GMimeObject* object, const char* field, const char* parameter) {
    const char* raw = g_mime_object_get_header(object, field);
    const char* semicolon = raw != nullptr ? strchr(raw, ';') : nullptr;
    if (semicolon == nullptr)
        return std::string();
    GMimeParamList* list = g_mime_param_list_parse(nullptr, semicolon + 1);
    if (list == nullptr)
        return std::string();
    GMimeParam* param = g_mime_param_list_get_parameter(list, parameter);
    const char* value = param != nullptr ? g_mime_param_get_value(param) : nullptr;
    std::string result = value != nullptr ? value : "";
    g_object_unref(list);
    return result;
}

// A leaf's file name: GMime's (the disposition's filename, else the type's
// name), else the same read from the fields as they stand.
std::string LeafName(GMimeObject* object) {
    const char* filename = g_mime_part_get_filename(GMIME_PART(object));
    if (filename != nullptr && *filename != '\0')
        return filename;
    std::string name = RawParameter(object, "Content-Disposition", "filename");
    return name.empty() ? RawParameter(object, "Content-Type", "name") : name;
}

} // namespace

void DrennicMimeInit() {
    g_mime_init();
}

// --- the stream ---

CDrennicStream::CDrennicStream(const char* data, unsigned long length)
    : CMessageStream(), m_data(data), m_length(length), m_position(0) {}

long CDrennicStream::Tell() {
    return static_cast<long>(m_position);
}

int CDrennicStream::Read(char* buffer, int size, int count) {
    if (buffer == nullptr || size <= 0 || count <= 0 || m_position >= m_length)
        return 0;
    unsigned long long want = static_cast<unsigned long long>(size) * count;
    if (want > INT_MAX)
        want = INT_MAX;
    unsigned long left = m_length - m_position;
    unsigned long n = want < left ? static_cast<unsigned long>(want) : left;
    memcpy(buffer, m_data + m_position, n);
    m_position += n;
    return static_cast<int>(n);
}

void CDrennicStream::Seek(long offset) {
    unsigned long to = offset < 0 ? 0 : static_cast<unsigned long>(offset);
    m_position = to < m_length ? to : m_length;
}

int CDrennicStream::AtEnd() {
    // The position only stops short of the end when a read filled what was
    // asked, so "at the end" is also "after every short read".
    return m_position >= m_length ? 1 : 0;
}

unsigned long CDrennicStream::GetLength() {
    return m_length;
}

// --- the message ---

CDrennicMessage::CDrennicMessage(const char* tempPrefix)
    : CMessage(), m_tempPrefix(tempPrefix != nullptr ? tempPrefix : ""), m_message(nullptr),
      m_hasSubject(false), m_openStreams(0) {
    m_ScannerData = 0;
}

CDrennicMessage::~CDrennicMessage() {
    for (const std::string& path : m_tempFiles)
        DeleteFileA(path.c_str());
    for (DrennicPart* part : m_parts)
        delete part;
    if (m_message != nullptr)
        g_object_unref(static_cast<GMimeMessage*>(m_message));
}

CDrennicMessage::Result CDrennicMessage::Parse(const char* bytes, size_t length, std::string* why) {
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    if (CountContainers(bytes, length) > DRENNIC_MAX_CONTAINERS) {
        *why = "more than " + std::to_string(DRENNIC_MAX_CONTAINERS) + " nested parts";
        return TOO_MANY;
    }
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes, length);
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    if (message == nullptr) {
        *why = "not a mail message (no header could be read)";
        return UNPARSABLE;
    }
    m_message = message;
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    if (headers == nullptr || g_mime_header_list_get_count(headers) == 0) {
        *why = "not a mail message (no header fields)";
        return UNPARSABLE;
    }
    const char* subject = g_mime_message_get_subject(message);
    m_hasSubject = subject != nullptr;
    m_subject = subject != nullptr ? subject : "";
    m_from = AddressText(g_mime_message_get_from(message));
    m_to = AddressText(g_mime_message_get_to(message));
    GMimeObject* root = g_mime_message_get_mime_part(message);
    if (root == nullptr)
        return PARSED;
    return Walk(root, 1, false, why);
}

CDrennicMessage::Result CDrennicMessage::Walk(void* node, int depth, bool inNested,
                                              std::string* why) {
    GMimeObject* object = static_cast<GMimeObject*>(node);
    if (GMIME_IS_MULTIPART(object) || GMIME_IS_MESSAGE_PART(object)) {
        if (depth > DRENNIC_MAX_NESTING) {
            *why = "parts nested deeper than " + std::to_string(DRENNIC_MAX_NESTING) + " levels";
            return TOO_DEEP;
        }
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count; ++i) {
            Result r = Walk(g_mime_multipart_get_part(multipart, i), depth + 1, inNested, why);
            if (r != PARSED)
                return r;
        }
        return PARSED;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        DrennicPart* part = new DrennicPart;
        part->object = object;
        part->type = DRENNIC_TYPE_MESSAGE;
        part->nested = inner != nullptr ? 1 : 0;
        const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
        if (name == nullptr)
            name = g_mime_object_get_content_type_parameter(object, "name");
        part->name = name != nullptr ? name : "";
        m_parts.push_back(part);
        if (inner == nullptr)
            return PARSED;
        GMimeObject* body = g_mime_message_get_mime_part(inner);
        return body != nullptr ? Walk(body, depth + 1, true, why) : PARSED;
    }
    if (GMIME_IS_PART(object))
        return AddLeaf(object, inNested, why);
    return PARSED;
}

CDrennicMessage::Result CDrennicMessage::AddLeaf(void* node, bool inNested, std::string* why) {
    GMimeObject* object = static_cast<GMimeObject*>(node);
    GMimeContentType* type = g_mime_object_get_content_type(object);
    std::string name = LeafName(object);
    int code = TypeCode(type);
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    bool attachment =
        disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);

    DrennicPart* part = new DrennicPart;
    part->object = object;
    part->name = name;
    part->type = code;
    if (!inNested && !attachment && name.empty() && code >= DRENNIC_TYPE_TEXT_PLAIN) {
        Content(part);
        m_bodyTexts.push_back(part->content);
        delete part;
        return PARSED;
    }
    m_parts.push_back(part);
    if (IsTnefPart(type, name)) {
        part->tnef = 1;
        if (!WriteTemp(part)) {
            *why = "the TNEF part " + name + " could not be written to a temporary file";
            return TEMP_FAILED;
        }
    }
    return PARSED;
}

bool CDrennicMessage::WriteTemp(DrennicPart* part) {
    if (!Content(part))
        return false;
    std::string path = m_tempPrefix + std::to_string(m_tempFiles.size()) + ".tnef";
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // Listed before the write, so that a file cut short is removed too.
    m_tempFiles.push_back(path);
    size_t done = 0;
    bool ok = true;
    while (ok && done < part->content.size()) {
        size_t chunk = part->content.size() - done;
        if (chunk > (1u << 24))
            chunk = 1u << 24;
        DWORD written = 0;
        ok = WriteFile(file, part->content.data() + done, static_cast<DWORD>(chunk), &written,
                       nullptr) &&
             written > 0;
        done += written;
    }
    CloseHandle(file);
    if (ok)
        part->name = path;
    return ok;
}

bool CDrennicMessage::Content(DrennicPart* part) {
    if (part->made)
        return true;
    GMimeStream* out = g_mime_stream_mem_new();
    bool ok = true;
    if (part->nested) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part->object));
        ok = inner != nullptr &&
             g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out) >= 0;
    } else if (GMIME_IS_PART(part->object)) {
        GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part->object));
        // A part without content (nothing after its headers) is empty.
        if (content != nullptr)
            ok = g_mime_data_wrapper_write_to_stream(content, out) >= 0;
    }
    if (ok)
        part->content = TakeBytes(out);
    g_object_unref(out);
    part->made = ok;
    return ok;
}

DrennicPart* CDrennicMessage::Part(int part) {
    if (part < 0 || static_cast<size_t>(part) >= m_parts.size())
        return nullptr;
    return m_parts[static_cast<size_t>(part)];
}

CMessageStream* CDrennicMessage::OpenPartStream(int index) {
    DrennicPart* part = Part(index);
    if (part == nullptr || !Content(part))
        return nullptr;
    CDrennicStream* stream = new (std::nothrow)
        CDrennicStream(part->content.data(), static_cast<unsigned long>(part->content.size()));
    if (stream != nullptr)
        ++m_openStreams;
    return stream;
}

void CDrennicMessage::ClosePartStream(CMessageStream* stream) {
    if (stream == nullptr)
        return;
    --m_openStreams;
    delete static_cast<CDrennicStream*>(stream);
}

char* CDrennicMessage::GetHeaderText(int which) {
    if (which != 1 || !m_hasSubject)
        return nullptr;
    return &m_subject[0];
}

void* CDrennicMessage::GetHeader(int) {
    return nullptr;
}

void CDrennicMessage::DecodeName(char* out, const char* raw) {
    if (out == nullptr || raw == nullptr)
        return;
    const size_t room = strlen(raw);
    std::string value = ParameterValue(raw);
    std::string decoded;
    if (value.find("=?") != std::string::npos) {
        char* text = g_mime_utils_header_decode_text(nullptr, value.c_str());
        decoded = text != nullptr ? text : value;
        g_free(text);
    } else if (!DecodeExtendedValue(value, &decoded)) {
        decoded = value;
    }
    size_t n = decoded.size() < room ? decoded.size() : room;
    memcpy(out, decoded.data(), n);
}

int CDrennicMessage::GetBodyTextCount() {
    return static_cast<int>(m_bodyTexts.size());
}

char* CDrennicMessage::GetBodyText(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_bodyTexts.size())
        return nullptr;
    return &m_bodyTexts[static_cast<size_t>(index)][0];
}

int CDrennicMessage::GetPartCount() {
    return static_cast<int>(m_parts.size());
}

char* CDrennicMessage::GetPartName(int index) {
    static char empty[1] = {'\0'};
    DrennicPart* part = Part(index);
    return part != nullptr ? &part->name[0] : empty;
}

int CDrennicMessage::GetPartType(int index) {
    DrennicPart* part = Part(index);
    return part != nullptr ? part->type : DRENNIC_TYPE_OTHER;
}

int CDrennicMessage::IsPartTNEF(int index) {
    DrennicPart* part = Part(index);
    return part != nullptr ? part->tnef : 0;
}

int CDrennicMessage::HasNestedMime(int index) {
    DrennicPart* part = Part(index);
    return part != nullptr ? part->nested : 0;
}

int CDrennicMessage::GetPartState(int index) {
    // 9 would have every check pass the part over; Drennic passes over none.
    return Part(index) != nullptr ? 0 : 9;
}

unsigned long CDrennicMessage::GetPartSize(int index, int) {
    DrennicPart* part = Part(index);
    if (part == nullptr || !Content(part))
        return 0;
    return static_cast<unsigned long>(part->content.size());
}

void CDrennicMessage::ReportError(int code, unsigned long) {
    m_errors.push_back(code);
}
