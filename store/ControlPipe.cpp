// The client side of the scanner's control pipe: one connection per command,
// the command's text and its zero byte in one write.
#include "platform/bounded.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"

#include <cstdarg>
#include <cstring>

namespace {

// The fixed commands are copied into a work buffer of this size first.
const int COMMAND_WORK_SIZE = 200;
// How often the statistics reader looks for Drennic's next byte.
const DWORD STATISTICS_POLL = 5;

// A message of the string table formatted as LogMessage formats it.
void FormatMessageText(UINT id, char* out, size_t size, ...) {
    char format[MESSAGE_TEXT_SIZE];
    out[0] = '\0';
    if (LoadStringA(GetModuleHandleA(nullptr), id, format, sizeof(format)) <= 0)
        return;
    va_list args;
    va_start(args, size);
    BoundedFormatV(out, size, format, args);
    va_end(args);
}

// Reads the reply one byte per ReadFile, into reply (size bytes, the last kept
// for the terminator). A byte is asked for only once one is there, so that the
// time limit holds: Drennic ending its side, a full buffer or the limit end
// the reply. The number of successful reads.
DWORD ReadStatisticsReply(HANDLE pipe, char* reply, DWORD size) {
    DWORD count = 0;
    const DWORD start = GetTickCount();
    while (count + 1 < size) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break; // Drennic has ended the connection and everything is read
        if (available == 0) {
            if (GetTickCount() - start >= STATISTICS_READ_LIMIT)
                break;
            Sleep(STATISTICS_POLL);
            continue;
        }
        DWORD n = 0;
        if (!ReadFile(pipe, reply + count, 1, &n, nullptr) || n != 1)
            break;
        ++count;
    }
    reply[count] = '\0';
    return count;
}

} // namespace

HANDLE ClientConnection::OpenControlPipe(int attempts) {
    int tries = 0;
    for (;;) {
        HANDLE pipe =
            CreateFileA(CONTROL_PIPE_NAME, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        ++tries;
        Sleep(CONTROL_PIPE_RETRY_PAUSE);
        if (tries >= attempts)
            return INVALID_HANDLE_VALUE;
    }
}

bool ClientConnection::WriteControlPipe(HANDLE pipe, const char* text, bool closeAfter,
                                        bool reportError) {
    if (pipe == INVALID_HANDLE_VALUE || pipe == nullptr)
        return false;
    if (text == nullptr || text[0] == '\0') {
        if (closeAfter)
            CloseHandle(pipe);
        return false;
    }
    const DWORD length = static_cast<DWORD>(strlen(text)) + 1; // the zero byte too
    DWORD written = 0;
    const bool ok = WriteFile(pipe, text, length, &written, nullptr) && written == length;
    if (!ok && reportError)
        LogMessage(IDS_CONFIG_REQUEST_FAILED, EVENTLOG_WARNING_TYPE, m_szLocalHostName);
    if (closeAfter)
        CloseHandle(pipe);
    return ok;
}

namespace {

// RESET_STATISTICS and SET_PREFERENCES: one try, nothing read back.
void SendFixedCommand(ClientConnection& connection, const char* command) {
    char work[COMMAND_WORK_SIZE];
    BoundedCopy(work, sizeof(work), command);
    HANDLE pipe = connection.OpenControlPipe(1);
    bool written = connection.WriteControlPipe(pipe, work, false, false);
    if (!written)
        LogMessage(IDS_CONFIG_REQUEST_FAILED, EVENTLOG_WARNING_TYPE, connection.m_szLocalHostName);
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
}

} // namespace

int ClientConnection::SendResetStatistics(char*, int) {
    // No reply at all, whether the command reached the scanner or not.
    SendFixedCommand(*this, "RESET_STATISTICS");
    return 1;
}

void ClientConnection::SendSetPreferences() {
    SendFixedCommand(*this, "SET_PREFERENCES");
}

bool ClientConnection::QueryStatistics(char* reply) {
    char work[COMMAND_WORK_SIZE];
    BoundedCopy(work, sizeof(work), "GET_STATISTICS\r\n");
    reply[0] = '\0';
    bool answered = false;
    HANDLE pipe = OpenControlPipe(1);
    if (pipe != INVALID_HANDLE_VALUE) {
        if (WriteControlPipe(pipe, work, false, false))
            answered = ReadStatisticsReply(pipe, reply, STATISTICS_REPLY_SIZE) > 0;
        CloseHandle(pipe);
    }
    if (!answered) {
        reply[0] = '\0';
        LogMessage(IDS_CONFIG_REQUEST_FAILED, EVENTLOG_WARNING_TYPE, m_szLocalHostName);
    }
    return answered;
}

int ClientConnection::ForwardControlCommand(char* request, int) {
    // The request line as it came: its case, its argument, a carriage return
    // if the client sent one.
    HANDLE pipe = OpenControlPipe(CONTROL_PIPE_ATTEMPTS);
    const bool opened = pipe != INVALID_HANDLE_VALUE;
    const bool written = WriteControlPipe(pipe, request, true, true);
    int status = 0;
    if (!written) {
        // A command that never reached the scanner is not reported as done:
        // the client (an administrator, or a reaction of the plug-in) must
        // not believe that mail is refused or attachments blocked.
        if (!opened)
            LogMessage(IDS_CONFIG_REQUEST_FAILED, EVENTLOG_WARNING_TYPE, m_szLocalHostName);
        char text[MESSAGE_FORMAT_SIZE];
        FormatMessageText(IDS_CONFIG_REQUEST_FAILED, text, sizeof(text), m_szLocalHostName);
        SendReply("CODE 3", text);
        return 0;
    }
    SendText("CODE 0", WAIT_NO_LIMIT, status);
    SendText("\r\n", WAIT_NO_LIMIT, status);
    return 1;
}
