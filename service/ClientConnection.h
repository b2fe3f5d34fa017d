// One accepted connection: admission, the request, its reply. Every request
// handler of the configuration protocol is an operation of this class.
#ifndef VANTRY_SERVICE_CLIENTCONNECTION_H
#define VANTRY_SERVICE_CLIENTCONNECTION_H

#include "service/ServerSocket.h"

#include <cstddef>
#include <string>

const int HOST_NAME_SIZE = 200;

// The request line: its buffer, and how long a client may take to send it.
// A client that sends nothing, or trickles its line, is cut off this many
// milliseconds after it was accepted (the accept loop counts its admission
// in it too), so that it cannot hold a place of an administrator for long,
// nor the service's stop.
const int REQUEST_BUFFER_SIZE = 512000;
const int REQUEST_WAIT_LIMIT = 10000;

// The scanner's control pipe: its name, the tries of a forwarded control
// command and the pause after each failed try, the statistics reply buffer,
// and how long the statistics reply may take in all (a scanner that accepts
// the command and never answers or never ends must not hold the service).
#define CONTROL_PIPE_NAME "\\\\.\\pipe\\DrennicConfig"
const int CONTROL_PIPE_ATTEMPTS = 10;
const DWORD CONTROL_PIPE_RETRY_PAUSE = 500;
const int STATISTICS_REPLY_SIZE = 10240;
const DWORD STATISTICS_READ_LIMIT = 5000;

// The wait for the refusal and for the other sends of the service.
const int SEND_WAIT_LIMIT = 3000;

// Every send waits at most this long for the client to take a byte; a client
// that takes none for so long (it stopped reading) has its connection closed
// and logged, so that it cannot hold the accept thread with a large reply.
const int SEND_PROGRESS_LIMIT = 30000;
// Bytes the system may queue for a client beyond what it has read.
const int CONNECTION_SEND_BUFFER = 65536;

// Slow readers. The accept loop's request thread serves every client in
// turn, so it waits on one client's reading at most REPLY_WAIT_LIMIT ms in
// all for one reply; what the client has not taken by then is kept, byte for
// byte, and finished in the background (service/ReplyBacklog.h). A reply
// that would keep more than PENDING_REPLY_LIMIT bytes is cut off there and
// logged (message 29): the largest configuration reply fits twice.
const int REPLY_WAIT_LIMIT = 250;
const size_t PENDING_REPLY_LIMIT = 1024 * 1024;

// set_config: each setting line must arrive within REQUEST_WAIT_LIMIT, and
// the whole list within this many milliseconds, so that a client trickling
// valid lines cannot hold the service either.
const int SET_CONFIG_TIME_LIMIT = 120000;

class ClientConnection : public ServerSocket {
public:
    explicit ClientConnection(SOCKET accepted);
    ~ClientConnection();

    int Receive(char* buffer, int size, int waitLimit, int& status);
    // One send of up to length bytes, once the socket takes data. The wait is
    // bounded by waitLimit (WAIT_NO_LIMIT: none of its own) and always by the
    // progress limit; when the progress limit passes, the connection is
    // reset (Abort) and logged (status SOCKET_STATUS_TIMEOUT), and every later
    // transfer fails (SOCKET_STATUS_FAILED).
    int SendBuffer(const char* data, int length, int waitLimit, int& status);
    int SendText(const char* text, int waitLimit, int& status);
    int SendAll(const char* data, int length, int waitLimit, int& status);

    // From now on the sends of this connection wait for the client at most
    // waitLimit ms together; once that is spent, every further byte is kept
    // (counted as sent) for the background, up to pendingLimit bytes. A send
    // that would keep more closes the connection, logs message 29 and fails
    // (SOCKET_STATUS_TIMEOUT), as the progress limit does. Without this call
    // the sends wait as the limits above say.
    void KeepSlowReplies(int waitLimit, size_t pendingLimit);
    // Hands over the socket and the bytes kept, when there are any: true,
    // and the connection no longer owns the socket.
    bool TakePendingReply(SOCKET& socket, std::string& bytes);
    // Reads one line, byte by byte; waitLimit bounds the whole line.
    int ReadLine(char* buffer, int size, int waitLimit, int& status);

    // The admission check (service/Admission.h), then Dispatch for an
    // admitted client; a refused one gets "ACCESS_DENIED\r\n" and is closed
    // 2000 ms later. The accept thread does the same for many connections at
    // once (service/AcceptLoop.h); this is the one-connection form.
    void Serve();
    // Waits 1000 ms, reads the request line and handles it.
    void Dispatch();
    // Handles a request line already read: request holds its length bytes
    // (the line feed removed) and a NUL after them. Finds the command and
    // calls its handler, or answers "Invalid Request".
    void DispatchRequest(char* request, int length);
    // Writes "CODE n[ MESSAGE text]\r\n".
    void SendReply(const char* code, const char* message);
    // Closes the connection with a reset instead of an orderly end, so that
    // the client sees a reply that was cut short as cut, not as ended.
    void Abort();

    // Handlers. A handler gets the request text and, where the command has
    // one, a mail category.
    int SendServerType(char* request, int category);
    int CommandNotAvailable(char* request, int category);

    // Scanner configuration (config/).
    int SendConfig(char* request, int category);
    // Non-zero when the whole configuration was accepted and saved.
    int ReceiveConfig(char* request, int category);

    // The scanner's control pipe (store/ControlPipe.cpp). Each command is one
    // connection to "\\.\pipe\DrennicConfig": its text and one zero byte in
    // one WriteFile, then the handle is closed. A command that did not reach
    // the scanner is logged as message 15 (warning) with this machine's name.
    //
    // reset_statistics: writes RESET_STATISTICS (one try); no reply at all.
    int SendResetStatistics(char* request, int category);
    // After a saved set_config: writes SET_PREFERENCES (one try).
    void SendSetPreferences();
    // The ten control words: writes the request line as it came (its case,
    // its argument, a carriage return if it had one), trying the pipe up to
    // CONTROL_PIPE_ATTEMPTS times; answers "CODE 0" only when it was written,
    // else "CODE 3 MESSAGE " and message 15's text.
    int ForwardControlCommand(char* request, int category);
    // Opens the pipe, trying up to attempts times; a 500 ms sleep follows every
    // failed try, the last one too. The handle, or INVALID_HANDLE_VALUE.
    HANDLE OpenControlPipe(int attempts);
    // Writes text and its zero byte with one WriteFile; true when written. An
    // invalid handle is false at once (nothing logged, nothing closed); an
    // empty or missing text is false; a failed write logs message 15 when
    // reportError is set. closeAfter closes the handle in every case but the
    // first.
    bool WriteControlPipe(HANDLE pipe, const char* text, bool closeAfter, bool reportError);
    // The GET_STATISTICS exchange (one try): reply receives Drennic's answer,
    // one byte per ReadFile, until Drennic ends the connection, the buffer is
    // full (STATISTICS_REPLY_SIZE - 1 bytes) or STATISTICS_READ_LIMIT passes;
    // a zero byte always follows what was read. True when at least one byte
    // came; otherwise message 15 is logged and reply is empty.
    bool QueryStatistics(char* reply);

    // Mail folders and logs (store/MailFolders.cpp); category is a MailCategory.
    int SendFileList(char* request, int category);
    int SendFileContents(char* request, int category);
    int RequestFileSend(char* request, int category);
    int RequestFileDelete(char* request, int category);
    int SendFolderSize(char* request, int category);
    int SetCategoryFolder(char* request, int category);

    // Version and statistics (store/VersionInfo.cpp).
    int SendVersion(char* request, int category);
    int SendDrennicVersion(char* request, int category);
    int SendEngineVersion(char* request, int category);
    int SendStatistics(char* request, int category);

    char m_szPeerName[HOST_NAME_SIZE];
    char m_szLocalHostName[HOST_NAME_SIZE];
    // The bytes of the request line as read, zero bytes included (a handler's
    // text ends at the first of them); -1 before a line was read.
    int m_nRequestLength;

    // The limits of this connection, in milliseconds: SEND_PROGRESS_LIMIT,
    // REQUEST_WAIT_LIMIT (per set_config line) and SET_CONFIG_TIME_LIMIT.
    // Tests shorten them.
    int m_sendProgressLimit;
    int m_lineWaitLimit;
    int m_configTimeLimit;

private:
    // Keeps length bytes for the background (see KeepSlowReplies).
    int KeepForLater(const char* data, int length, int& status);
    // set_config's refusals: logs message id (formatted with argument) as an
    // error and answers code with its text.
    void RefuseConfig(const char* code, UINT id, const char* argument);
    void MakeNonBlocking();
    bool m_bNonBlocking;
    // KeepSlowReplies: the wait left (-1: no such bound), the bytes kept and
    // their limit.
    int m_replyWaitLeft;
    std::string m_pending;
    size_t m_pendingLimit;
};

#endif
