// The client side of Pellion's configuration protocol: one request per TCP
// connection, the request as the first line, the reply read until Pellion
// closes the connection. Marrish, vantry and vantry-ask all make their
// requests here, so that there is one way of connecting, sending, waiting and
// reading.
//
// No function keeps a connection, a thread or any global state: requests may
// run on several threads at once (Winsock is started and stopped around each).
#ifndef VANTRY_REMOTE_REMOTEREQUEST_H
#define VANTRY_REMOTE_REMOTEREQUEST_H

#include "platform/win32.h"

#include <cstddef>

// What became of one request.
enum RemoteOutcome {
    REMOTE_DONE = 0,       // sent whole; the reply read to its end (or the reader stopped)
    REMOTE_NO_HOST,        // the host name does not resolve
    REMOTE_NO_CONNECTION,  // nothing accepted the connection
    REMOTE_TIMED_OUT,      // a wait limit passed while sending or reading
    REMOTE_BROKEN,         // the connection failed while sending or reading
    REMOTE_BAD_REQUEST,    // no request, a port outside 1..65535, or Winsock did not start
};

// Short English words for an outcome ("cannot connect", "timed out", ...).
const char* RemoteOutcomeText(RemoteOutcome outcome);

// Receives a reply's bytes as they come. Return false to stop reading.
class RemoteReplySink {
public:
    virtual ~RemoteReplySink();
    virtual bool Data(const char* bytes, size_t count) = 0;
};

// What a request's reply lines are handed to. Lines come without their line
// end ("\n" or "\r\n").
class RemoteReplyReader {
public:
    virtual ~RemoteReplyReader();
    // Return false to stop reading (the rest of the reply is not read).
    virtual bool Line(const char* line) = 0;
};

// Cuts a reply into lines for a reader, in a buffer the caller gives. A line
// longer than the buffer is handed out cut to it, and its rest is skipped.
// Finish hands out a last line that came without a line end.
class RemoteLineSplitter : public RemoteReplySink {
public:
    RemoteLineSplitter(RemoteReplyReader& reader, char* buffer, size_t size);
    bool Data(const char* bytes, size_t count) override;
    void Finish();

private:
    RemoteReplyReader& m_reader;
    char* m_buffer;
    size_t m_size;
    size_t m_used = 0;
    bool m_skipping = false;
    bool m_stopped = false;
};

// One request. The bytes sent are line, lineEnd and then body (each may be
// null); with closeSending the client's side is shut after them, which ends a
// request that Pellion would otherwise read further lines of.
struct RemoteRequest {
    const char* host = "localhost";
    int port = 9999;
    DWORD wait = 30000; // milliseconds for each wait to send or to read
    const char* line = nullptr;
    const char* lineEnd = "\n";
    const char* body = nullptr;
    size_t bodySize = 0;
    bool closeSending = false;
};

// Makes the request and hands the reply to sink. error, when given, receives
// the Winsock code of a failure (WSAETIMEDOUT when a wait limit passed).
RemoteOutcome RemoteExchange(const RemoteRequest& request, RemoteReplySink& sink, int* error);

// The same, the reply cut into lines of at most lineSize - 1 characters.
RemoteOutcome RemoteExchangeLines(const RemoteRequest& request, RemoteReplyReader& reader,
                                  size_t lineSize, int* error);

// Pellion's Config_Port from this machine's registry, or 9999 when it is not
// set (*found, when given, tells which). The service keeps the low 16 bits of
// the value, and so does this.
int RemoteConfiguredPort(bool* found = nullptr);

#endif
