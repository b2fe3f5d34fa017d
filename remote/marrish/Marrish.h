// Marrish: the remote-access library. It reaches Pellion, the configuration
// service, over its TCP configuration port through the protocol's one client
// library (remote/RemoteRequest.h), as an administrator's client does:
// one connection per request, the request as the first line (ended by a line
// feed), Pellion's reply read until it closes the connection.
//
// - RemoteAccess: the way to one configuration service (host and port). Every
//   request makes a new connection.
// - RemoteCommandHandler: the control commands that Pellion forwards to the
//   scanning service. Each returns nonzero only when Pellion answered
//   "CODE 0"; a refusal (ACCESS_DENIED, "CODE 3"), a connection that could
//   not be made, a reply that did not come within the wait limit, or an
//   argument that cannot travel in one request line all give 0.
// - RemotePreferences: the scanner's settings as Pellion holds them. Load is
//   a get_config, Save a set_config of the settings the GPS record carries.
//
// No operation keeps a connection, a thread or any global state; objects may
// be used on several threads as long as each object stays on one.
#ifndef VANTRY_REMOTE_MARRISH_MARRISH_H
#define VANTRY_REMOTE_MARRISH_MARRISH_H

#include "platform/win32.h"
#include "remote/RemoteRequest.h"

#include <cstddef>

// Room for a host name, terminator included.
const int MARRISH_HOST_SIZE = 256;
// Room for one request line, terminator included: the longest control word
// (35 characters), a space and an argument of up to 259 bytes, the longest
// text the reaction plug-in sends, with room to spare.
const int MARRISH_REQUEST_SIZE = 512;
// How long a control command waits for Pellion's answer. Pellion tries the
// scanner's pipe ten times, 500 ms apart, before it answers, so a command
// may take five seconds and more.
const DWORD MARRISH_COMMAND_WAIT = 30000;
// How long a preferences exchange waits for each part of Pellion's reply.
const DWORD MARRISH_PREFERENCES_WAIT = 10000;

class RemoteAccess;

// The control commands. Each makes Pellion receive the request word of the
// same meaning (the word in the comment), which Pellion forwards unchanged to
// the scanning service.
class RemoteCommandHandler {
public:
    virtual ~RemoteCommandHandler();

    int SendCommand_BlockMailWithAttachments();   // BLOCK_MAIL_WITH_ATTACHMENTS
    int SendCommand_UnblockMailWithAttachments(); // UNBLOCK_MAIL_WITH_ATTACHMENTS
    // BLOCK_MAIL_WITH_NAMED_ATTACHMENTS, a space and the names as given. A
    // null or empty list, or one that holds a line break (it would end the
    // request line early), is not sent: 0.
    int SendCommand_BlockMailWithNamedAttachments(char* names);
    int SendCommand_UnblockMailWithNamedAttachments(); // UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS
    // BLOCK_MAIL_WITH_TYPED_ATTACHMENTS, a space and the types; as above.
    int SendCommand_BlockMailWithTypedAttachments(char* types);
    int SendCommand_UnblockMailWithTypedAttachments(); // UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS
    int SendCommand_RejectIncomingMail();              // REJECT_INCOMING_MAIL
    int SendCommand_AcceptIncomingMail();              // ACCEPT_INCOMING_MAIL
    int SendCommand_IncreaseScanSettings();            // INCREASE_SCAN_SETTINGS
    int SendCommand_DecreaseScanSettings();            // DECREASE_SCAN_SETTINGS

protected:
    // Sends "<word>" or "<word> <argument>" as one request; nonzero when the
    // answer was "CODE 0".
    virtual int SendControl(const char* word, const char* argument) = 0;
};

class RemoteAccess : public RemoteCommandHandler {
public:
    // The configuration service at host (a name or a dotted address) and
    // port. commandMode is 1 for an object that sends control commands (its
    // requests wait MARRISH_COMMAND_WAIT for the answer) and 0 for the one a
    // RemotePreferences object uses (MARRISH_PREFERENCES_WAIT). Nothing is
    // contacted until a request is made.
    RemoteAccess(const char* host, int port, int commandMode);
    ~RemoteAccess() override;

    // One request: connects, sends requestLine and a line feed, then body as
    // given (may be null), and hands every reply line (RemoteReplyReader of
    // remote/RemoteRequest.h; lines of more than 1023 characters are cut) to
    // reader until Pellion closes the connection or the reader stops. Returns true when the
    // connection was made, everything was sent and the reply was read to its
    // end; false otherwise (LastError() says why: a Winsock code, or
    // WSAETIMEDOUT when a wait limit passed).
    bool Request(const char* requestLine, const char* body, RemoteReplyReader& reader);

    const char* Host() const { return m_szHost; }
    int Port() const { return m_nPort; }
    int LastError() const { return m_nLastError; }

protected:
    int SendControl(const char* word, const char* argument) override;

private:
    char m_szHost[MARRISH_HOST_SIZE];
    int m_nPort;
    DWORD m_dwWait;
    int m_nLastError;
};

// The global preferences record. The plug-in that raises the scan level
// reads and writes three 32-bit settings of it, at fixed byte offsets; each is
// the value of the scanner setting named beside it, as get_config reports it
// and set_config stores it. The space between them is reserved and zero.
struct GPS {
    DWORD dwScanCompressed; // 0: SMTP_SCAN_COMPRESSED_FLAG (scan inside compressed files)
    BYTE reserved1[684];
    DWORD dwScanMacroHeuristics; // 688: SMTP_SCAN_MACROHEURISTICS (macro heuristics)
    BYTE reserved2[65592];
    DWORD dwScanProgramHeuristics; // 66284: SMTP_SCAN_PROGRAMHEURISTICS (program heuristics)
};

static_assert(offsetof(GPS, dwScanCompressed) == 0, "GPS layout");
static_assert(offsetof(GPS, dwScanMacroHeuristics) == 688, "GPS layout");
static_assert(offsetof(GPS, dwScanProgramHeuristics) == 66284, "GPS layout");

// The settings the GPS record carries: the byte offset of each and the name
// of the setting in the configuration protocol.
struct GPSSetting {
    size_t offset;
    const char* key;
};
const int GPS_SETTING_COUNT = 3;
extern const GPSSetting kGPSSettings[GPS_SETTING_COUNT];

class BasePreferences {
public:
    BasePreferences();
    // Loads the preferences from wherever they are kept; nonzero on success.
    virtual int Load() = 0;
    // Writes them back; nonzero on success.
    virtual int Save() = 0;
    virtual ~BasePreferences();

    GPS* GetGPS() { return &m_gps; }

protected:
    GPS m_gps;
};

// The preferences as the configuration service at host and port holds them.
// The object is large (the GPS record); make it on the heap.
class RemotePreferences : public BasePreferences {
public:
    RemotePreferences(const char* host, int port);
    ~RemotePreferences() override;

    // get_config: nonzero when Pellion answered "CODE 1" and its reply held
    // every setting of the GPS record as a number; the record then holds
    // them. On failure the record is left as it was.
    int Load() override;
    // set_config with one line for each setting of the GPS record and an end
    // line; nonzero when Pellion answered "CODE 0". Pellion keeps every
    // other setting as it was.
    int Save() override;

private:
    RemoteAccess m_access;
};

#endif
