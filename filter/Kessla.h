// Kessla, the content-filter rule engine of Vantry SMTP.
//
// The library exports three classes whole (every member function, the private
// ones included, and their virtual tables): CRule, one content-filter rule;
// CMessage, the abstract view of one mail message through which a rule
// inspects it; CMessageStream, the abstract byte stream over the content of
// one part of a message. Pellion uses CRule to carry rule settings between its
// protocol and the registry; the scanning service builds rules, implements
// CMessage and CMessageStream and calls CRule::CheckMessage.
//
// The layout of these classes is binary interface: the scanner is compiled
// against this header, so the order of the fields and of the virtual slots
// must never change.
#ifndef VANTRY_FILTER_KESSLA_H
#define VANTRY_FILTER_KESSLA_H

#if defined(_WIN32)
#if defined(KESSLA_BUILD)
#define KESSLA_API __declspec(dllexport)
#else
#define KESSLA_API __declspec(dllimport)
#endif
#else
#define KESSLA_API __attribute__((visibility("default")))
#endif

/*
 * ===========================================================================
 * What the system relies on from the scanning service
 * ===========================================================================
 *
 * Drennic, the mail-scanning service, is not part of this system. Everything
 * the system's programs rely on from it is listed here; whatever takes its
 * place (the stand-in in peers/, a test) meets exactly these items and nothing
 * more.
 *
 * Service. A Windows service named "Vantry SMTP Drennic" on the local machine.
 *   Ruvane stops and starts it through the service control manager and waits
 *   up to 60 seconds for the states stopped and running.
 *
 * Settings. Drennic reads its settings from HKEY_LOCAL_MACHINE
 *   "Software\Corvane\Ostel\Vantry SMTP\Drennic" (the scanner values, the
 *   folder paths Install_Path, Quarantine_Path, Log_Path, BLOCKED_MAIL_PATH,
 *   FILTER_MAIL_PATH, Deferred_Mail_Path, and the content-filter rules in the
 *   subkeys Filter_Rule_<i>, counted by No_of_Filter_Rules), and reads them
 *   again whenever it receives SET_PREFERENCES on its control pipe.
 *
 * Control pipe "\\.\pipe\DrennicConfig". One connection per command. A
 *   command is 8-bit text followed by one zero byte; no length prefix, no
 *   other framing. Pellion reads nothing back except after
 *   "GET_STATISTICS\r\n": Drennic then writes one line of NAME='value' items
 *   separated by single spaces (among them SMTP_NUMBER_SCAN,
 *   SMTP_NUMBER_DETECTED and SMTP_NUMBER_CLEANED), ended by a carriage return,
 *   a line feed or a zero byte, and ends the connection. The other commands
 *   (RESET_STATISTICS, SET_PREFERENCES, DELETE_<kind> <path>,
 *   SEND_<kind> <path>, and the forwarded control requests such as
 *   REJECT_INCOMING_MAIL) are written and the connection closed; Pellion relies
 *   on no effect of them beyond what their names ask.
 *
 * Mail folders and logs. Stored messages live in the quarantine, blocked,
 *   filtered and deferred folders, under names that begin with a decimal digit
 *   and have no extension: two files per stored message, three per deferred
 *   message. The logs live in the log folder as mail*.log and virus*.log.
 *   Pellion reads these files itself; it asks Drennic, through the pipe, to
 *   delete or resend them, since they are Drennic's.
 *
 * Content filtering. For each rule in force (IsActive nonzero; the library
 *   itself never tests it) and each message, Drennic calls
 *   CRule::CheckMessage with its own CMessage; on a result of 1 it asks the
 *   rule's BlockMessage and NotifySender what to do. Rules it makes with
 *   NewRule it frees with DeleteRule, since they live on the library's heap.
 *   CheckMessage only reads the rule, so one rule may be checked by several
 *   threads at once while nobody changes it.
 *
 * CMessage slot contract (parts are numbered from 0; the slot order is
 * binding):
 *   0  OpenPartStream(part): a stream over that part's content, positioned at
 *      its start, or null when there is none. The library may seek and read
 *      it freely and gives every stream back through slot 1, on every path.
 *   1  ClosePartStream(stream): releases a stream obtained from slot 0.
 *   2  GetHeaderText(which): called only with 1; the subject as NUL-terminated
 *      text, or null when there is none.
 *   3  GetHeader(which): never called by the library; reserved to the
 *      scanner's own use.
 *   4  DecodeName(out, raw): raw is the text after "name=" on a line of a
 *      nested part, up to the end of that line (a carriage return included).
 *      out holds exactly strlen(raw) + 1 bytes and arrives zero-filled; the
 *      operation writes the decoded name into it as one or more NUL-separated
 *      strings that together fit into that room.
 *   5  GetBodyTextCount(): the number of body texts held in memory.
 *   6  GetBodyText(index): one body text, NUL-terminated, or null.
 *   7  GetPartCount(): the number of parts (attachments and other body parts).
 *   8  GetPartName(part): the part's file name, never null (empty when the
 *      part has none). For a part that slot 10 reports as TNEF it is a path
 *      that the library can open for binary reading.
 *   9  GetPartType(part): the part's content type code; 103, 104 and 105 are
 *      the text types.
 *   10 IsPartTNEF(part): nonzero when the part is a TNEF stream.
 *   11 HasNestedMime(part): nonzero when the part itself holds MIME headers
 *      (a nested message).
 *   12 GetPartState(part): the part's state code; every check passes over a
 *      part whose code is 9.
 *   13 GetPartSize(part, 0): the number of bytes of the part's content, as
 *      slot 0's stream yields it; the second argument is always 0.
 *   14 ReportError(code, systemError): told of a failure of the library's
 *      own: 200 when the in-memory mapping for a nested part cannot be
 *      created, 201 when it cannot be mapped; systemError is the system's
 *      last-error code. Its effect is the scanner's.
 *
 * CMessageStream slot contract:
 *   0  Tell(): never called by the library; the current position, for the
 *      scanner's own use.
 *   1  Read(buffer, size, count): called with size 1: copies up to count
 *      bytes from the current position into buffer, advances, and returns
 *      the number of bytes copied.
 *   2  Seek(offset): sets the current position to offset bytes from the
 *      start of the content.
 *   3  AtEnd(): nonzero once the current position has reached the end of the
 *      content; in particular true after any read that returned fewer bytes
 *      than asked.
 *   4  GetLength(): never called by the library; the content's length, for
 *      the scanner's own use.
 *
 * Neither interface has a virtual destructor, on purpose: under the Itanium
 * C++ ABI (GCC, MinGW) a virtual destructor occupies two slots (complete and
 * deleting) and would move every slot after it. Streams are given back
 * through ClosePartStream and messages are destroyed by the code that made
 * them, through their own type; the destructors here are protected so that
 * nobody deletes through the interface by mistake.
 * ===========================================================================
 */

class CStreamTransport;
class CMessage;
class CMessageStream;
class CRuleTestAccess;

// One content-filter rule: two phrases, how they combine, where to look for
// them, and what to do when they are found. Every integer is 32 bits wide.
class KESSLA_API CRule {
public:
    CRule();
    CRule(const CRule& other);
    CRule& operator=(const CRule& other);

    // The virtual table: LoadRule (slot 0), SaveRule (slot 1), then the
    // destructor (slot 2; its complete and deleting forms). The order of
    // these declarations makes the order of the slots. LoadRule and SaveRule
    // are hooks for derived classes (Pellion's registry-backed rule); here
    // both do nothing and return 0.
    virtual int LoadRule();
    virtual int SaveRule();
    virtual ~CRule();

    // Allocates a default rule on the library's own heap; null when memory is
    // exhausted. Such a rule must be freed by DeleteRule.
    static CRule* NewRule();
    static void DeleteRule(CRule* rule);

    void SetRule(char* primaryPhrase, char* secondaryPhrase, int proximity, int andFlag,
                 unsigned short flags, int block, int notifySender);
    void GetRule(char* primaryPhrase, char* secondaryPhrase, int& proximity, int& andFlag,
                 unsigned short& flags, int& block, int& notifySender);
    void SetDescription(char* description);
    char* GetDescription();
    void SetActive(int active);
    int IsActive();
    int BlockMessage();
    int NotifySender();

    // 1 when the rule matches the message, 0 when it does not.
    int CheckMessage(CMessage* message, bool textPartsOnly);

    // The rule's data, in this order. The three texts always hold at most 63
    // characters and their terminator.
    int Active;
    char Description[64];
    char PrimaryPhrase[64];
    char SecondaryPhrase[64];
    int Proximity;
    int And;
    int CheckSubject;
    int CheckBody;
    int CheckAttach;
    int Block;
    // The notify-sender field. C++ gives a class one member per name, and the
    // accessor NotifySender() keeps the plain name; the registry value of this
    // field is still called "NotifySender".
    int NotifySenderFlag;

private:
    friend class CRuleTestAccess;

    unsigned long FindStringInFile(char* phrase, CMessageStream* stream, int mode);
    unsigned long FindStringInTNEF(char* phrase, CStreamTransport* file);
    int IsTNEF(char* header);
    bool IsNamePhraseInNestedMime(char* phrase, CMessage* message, int part) const;
    bool CreateMemoryMapFile(void*& mapping, char*& view, unsigned long size,
                             CMessage* message) const;
    bool ReadAttachmentIntoMemory(char* buffer, unsigned long size, CMessage* message,
                                  int part) const;
    char* FindLineEnd(char* text) const;
    bool FindPhraseInName(char* value, char* phrase, CMessage* message) const;
};

// The message as the scanner presents it. All fifteen operations are pure;
// their slot order is binding (see the contract above).
class KESSLA_API CMessage {
public:
    CMessage();
    CMessage(const CMessage& other);
    CMessage& operator=(const CMessage& other);

    virtual CMessageStream* OpenPartStream(int part) = 0;              // slot 0
    virtual void ClosePartStream(CMessageStream* stream) = 0;          // slot 1
    virtual char* GetHeaderText(int which) = 0;                        // slot 2
    virtual void* GetHeader(int which) = 0;                            // slot 3
    virtual void DecodeName(char* out, const char* raw) = 0;           // slot 4
    virtual int GetBodyTextCount() = 0;                                // slot 5
    virtual char* GetBodyText(int index) = 0;                          // slot 6
    virtual int GetPartCount() = 0;                                    // slot 7
    virtual char* GetPartName(int part) = 0;                           // slot 8
    virtual int GetPartType(int part) = 0;                             // slot 9
    virtual int IsPartTNEF(int part) = 0;                              // slot 10
    virtual int HasNestedMime(int part) = 0;                           // slot 11
    virtual int GetPartState(int part) = 0;                            // slot 12
    virtual unsigned long GetPartSize(int part, int reserved) = 0;     // slot 13
    virtual void ReportError(int code, unsigned long systemError) = 0; // slot 14

protected:
    ~CMessage();

    // Belongs to the implementing side; the library never reads it.
    unsigned int m_ScannerData;
};

// The content of one part of a message. Five pure operations, no data.
class KESSLA_API CMessageStream {
public:
    CMessageStream();
    CMessageStream(const CMessageStream& other);
    CMessageStream& operator=(const CMessageStream& other);

    virtual long Tell() = 0;                                 // slot 0
    virtual int Read(char* buffer, int size, int count) = 0; // slot 1
    virtual void Seek(long offset) = 0;                      // slot 2
    virtual int AtEnd() = 0;                                 // slot 3
    virtual unsigned long GetLength() = 0;                   // slot 4

protected:
    ~CMessageStream();
};

#endif
