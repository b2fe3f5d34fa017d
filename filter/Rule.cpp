// The rule object: its defaults, copying, accessors and allocation, and the
// special members of the two interfaces the scanner implements.
#include "filter/Kessla.h"

#include "platform/bounded.h"

#include <cstring>
#include <new>

namespace {

const size_t kFieldSize = 64;

// Copies a text into a 64-byte field (one of the rule's, or a caller's buffer
// of that size). At most 64 bytes of the source are looked at, since it need
// not be terminated within any distance we know of (Pellion's registry rule
// reads straight into the fields); the rest of the field is zero-filled. A
// text of 64 characters or more is cut at 63, so that the field stays
// terminated for every reader (the matcher, the protocol replies, the
// registry).
void CopyField(char* field, const char* text) {
    char head[kFieldSize];
    size_t n = text != nullptr ? strnlen(text, kFieldSize - 1) : 0;
    if (n > 0)
        memcpy(head, text, n);
    head[n] = '\0';
    memset(field, 0, kFieldSize);
    BoundedCopy(field, kFieldSize, head);
}

} // namespace

CRule::CRule()
    : Active(1), Proximity(0), And(0), CheckSubject(1), CheckBody(0), CheckAttach(0), Block(1),
      NotifySenderFlag(1) {
    memset(Description, 0, sizeof(Description));
    memset(PrimaryPhrase, 0, sizeof(PrimaryPhrase));
    memset(SecondaryPhrase, 0, sizeof(SecondaryPhrase));
}

CRule::CRule(const CRule& other) {
    *this = other;
}

CRule& CRule::operator=(const CRule& other) {
    if (this == &other)
        return *this;
    CopyField(Description, other.Description);
    CopyField(PrimaryPhrase, other.PrimaryPhrase);
    CopyField(SecondaryPhrase, other.SecondaryPhrase);
    Proximity = other.Proximity;
    And = other.And;
    CheckSubject = other.CheckSubject;
    CheckBody = other.CheckBody;
    CheckAttach = other.CheckAttach;
    Block = other.Block;
    Active = other.Active;
    NotifySenderFlag = other.NotifySenderFlag;
    return *this;
}

CRule::~CRule() {}

CRule* CRule::NewRule() {
    return new (std::nothrow) CRule();
}

void CRule::DeleteRule(CRule* rule) {
    delete rule;
}

void CRule::SetRule(char* primaryPhrase, char* secondaryPhrase, int proximity, int andFlag,
                    unsigned short flags, int block, int notifySender) {
    CopyField(PrimaryPhrase, primaryPhrase);
    CopyField(SecondaryPhrase, secondaryPhrase);
    Proximity = proximity;
    And = andFlag;
    CheckSubject = flags & 1;
    CheckBody = flags & 2;
    CheckAttach = flags & 4;
    Block = block;
    NotifySenderFlag = notifySender;
}

void CRule::GetRule(char* primaryPhrase, char* secondaryPhrase, int& proximity, int& andFlag,
                    unsigned short& flags, int& block, int& notifySender) {
    if (primaryPhrase != nullptr)
        CopyField(primaryPhrase, PrimaryPhrase);
    if (secondaryPhrase != nullptr)
        CopyField(secondaryPhrase, SecondaryPhrase);
    proximity = Proximity;
    andFlag = And;
    unsigned short word = 0;
    if (CheckSubject)
        word = 1;
    if (CheckBody)
        word = static_cast<unsigned short>(word + 2);
    if (CheckAttach)
        word = static_cast<unsigned short>(word + 4);
    flags = word;
    block = Block;
    notifySender = NotifySenderFlag;
}

void CRule::SetDescription(char* description) {
    CopyField(Description, description);
}

char* CRule::GetDescription() {
    return Description;
}

void CRule::SetActive(int active) {
    Active = active;
}

int CRule::IsActive() {
    return Active;
}

int CRule::BlockMessage() {
    return Block;
}

int CRule::NotifySender() {
    return NotifySenderFlag;
}

int CRule::LoadRule() {
    return 0;
}

int CRule::SaveRule() {
    return 0;
}

// The interfaces' data belongs to the scanner: the default constructors leave
// it as they find it.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
CMessage::CMessage() {}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

CMessage::CMessage(const CMessage& other) : m_ScannerData(other.m_ScannerData) {}

CMessage& CMessage::operator=(const CMessage& other) {
    m_ScannerData = other.m_ScannerData;
    return *this;
}

CMessage::~CMessage() {}

CMessageStream::CMessageStream() {}

CMessageStream::CMessageStream(const CMessageStream&) {}

CMessageStream& CMessageStream::operator=(const CMessageStream&) {
    return *this;
}

CMessageStream::~CMessageStream() {}
