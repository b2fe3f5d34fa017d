// A mail message as Drennic hands it to Kessla: parsed once with GMime, then
// presented through CMessage and CMessageStream.
//
// What the rule engine sees of a message:
// - the subject (GetHeaderText(1)), decoded from RFC 2047 into UTF-8;
// - the body texts: the text/* leaves of the message itself that are no
//   attachment (no file name, no "attachment" disposition), decoded from their
//   transfer encoding and held in memory;
// - the parts: every other leaf, at any depth, and every nested message
//   (message/rfc822 and the like) as one part of its own, whose content is the
//   nested message with its own headers; the leaves inside a nested message
//   are parts too, so that their names and contents are searched like the
//   others. A part's content is its bytes decoded from the transfer encoding,
//   made when first asked for and kept for the life of the message, so that
//   every rule reads the same bytes without decoding them again;
// - a TNEF part (application/ms-tnef, application/vnd.ms-tnef, or a part named
//   winmail.dat) is written, decoded, into a file of its own in the temporary
//   folder, and its name is that file's path, which the engine opens itself.
//   The file is removed when the message is destroyed.
#ifndef VANTRY_PEERS_DRENNIC_MIMEMESSAGE_H
#define VANTRY_PEERS_DRENNIC_MIMEMESSAGE_H

#include "filter/Kessla.h"

#include <string>
#include <vector>

// Content type codes of the parts; 103 to 105 are the text types the engine
// knows.
enum DrennicPartType {
    DRENNIC_TYPE_APPLICATION = 1,
    DRENNIC_TYPE_IMAGE = 2,
    DRENNIC_TYPE_AUDIO = 3,
    DRENNIC_TYPE_VIDEO = 4,
    DRENNIC_TYPE_MESSAGE = 5,
    DRENNIC_TYPE_OTHER = 7,
    DRENNIC_TYPE_TEXT_PLAIN = 103,
    DRENNIC_TYPE_TEXT_HTML = 104,
    DRENNIC_TYPE_TEXT_OTHER = 105,
};

// Nesting of containers (multiparts and nested messages) beyond this many
// levels is not scanned: such a message is deferred. Real mail stays far
// below; a deeper one is built to tire a scanner.
const int DRENNIC_MAX_NESTING = 32;
// A message with more container headers than this is not handed to the MIME
// parser at all (it is deferred): the parser descends one level per
// container, and this keeps its depth well inside the scanning thread's stack.
const int DRENNIC_MAX_CONTAINERS = 1000;

// Starts GMime; once per process, before the first message.
void DrennicMimeInit();

// The stream over one part's content: a view of bytes the message keeps.
class CDrennicStream final : public CMessageStream {
public:
    CDrennicStream(const char* data, unsigned long length);
    ~CDrennicStream() = default;

    long Tell() override;
    int Read(char* buffer, int size, int count) override;
    void Seek(long offset) override;
    int AtEnd() override;
    unsigned long GetLength() override;

private:
    const char* m_data;
    unsigned long m_length;
    unsigned long m_position;
};

struct DrennicPart; // one part, with its GMime object (MimeMessage.cpp)

class CDrennicMessage final : public CMessage {
public:
    enum Result {
        PARSED,
        UNPARSABLE,    // GMime made no message of the bytes
        TOO_DEEP,      // containers nested beyond DRENNIC_MAX_NESTING
        TOO_MANY,      // more than DRENNIC_MAX_CONTAINERS container headers
        TEMP_FAILED,   // a TNEF part's file could not be written
    };

    // tempPrefix: where TNEF files go, as a Windows path prefix to which a
    // file name is appended (a folder ending in a backslash, or a folder and
    // the start of a name). Each file is <tempPrefix><n>.tnef.
    explicit CDrennicMessage(const char* tempPrefix);
    // Removes every temporary file the message made.
    ~CDrennicMessage();
    CDrennicMessage(const CDrennicMessage&) = delete;
    CDrennicMessage& operator=(const CDrennicMessage&) = delete;

    // Parses the bytes (kept by the caller for the life of the message). On a
    // result other than PARSED, why says what went wrong.
    Result Parse(const char* bytes, size_t length, std::string* why);

    // What the log and the stored message's note show.
    const std::string& From() const { return m_from; }
    const std::string& To() const { return m_to; }
    const std::string& Subject() const { return m_subject; }
    // How many streams are out (opened and not yet given back).
    int OpenStreams() const { return m_openStreams; }
    // The temporary files the message holds now.
    const std::vector<std::string>& TempFiles() const { return m_tempFiles; }

    CMessageStream* OpenPartStream(int part) override;
    void ClosePartStream(CMessageStream* stream) override;
    char* GetHeaderText(int which) override;
    void* GetHeader(int which) override;
    // raw: the text after "name=" up to the end of its line. Writes the name
    // into out (strlen(raw) + 1 zero bytes): quotes and backslash escapes
    // removed, RFC 2047 encoded words and an RFC 2231 extended value
    // (charset'language'%XX) decoded into UTF-8; cut to the room there is.
    void DecodeName(char* out, const char* raw) override;
    int GetBodyTextCount() override;
    char* GetBodyText(int index) override;
    int GetPartCount() override;
    char* GetPartName(int part) override;
    int GetPartType(int part) override;
    int IsPartTNEF(int part) override;
    int HasNestedMime(int part) override;
    int GetPartState(int part) override;
    unsigned long GetPartSize(int part, int reserved) override;
    void ReportError(int code, unsigned long systemError) override;

    // The errors the engine reported, in order.
    const std::vector<int>& ReportedErrors() const { return m_errors; }

private:
    DrennicPart* Part(int part);
    // The part's content, decoded once; false when it cannot be made.
    bool Content(DrennicPart* part);
    Result Walk(void* object, int depth, bool inNested, std::string* why);
    Result AddLeaf(void* object, bool inNested, std::string* why);
    bool WriteTemp(DrennicPart* part);

    std::string m_tempPrefix;
    void* m_message; // GMimeMessage*
    std::string m_subject;
    bool m_hasSubject;
    std::string m_from;
    std::string m_to;
    std::vector<std::string> m_bodyTexts;
    std::vector<DrennicPart*> m_parts;
    std::vector<std::string> m_tempFiles;
    std::vector<int> m_errors;
    int m_openStreams;
};

#endif
