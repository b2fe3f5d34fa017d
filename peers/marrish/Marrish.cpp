// The remote-access library over Winsock 1.1.
#include "peers/marrish/Marrish.h"

#include "platform/bounded.h"

#include <cstring>

const GPSSetting kGPSSettings[GPS_SETTING_COUNT] = {
    {offsetof(GPS, dwScanCompressed), "SMTP_SCAN_COMPRESSED_FLAG"},
    {offsetof(GPS, dwScanMacroHeuristics), "SMTP_SCAN_MACROHEURISTICS"},
    {offsetof(GPS, dwScanProgramHeuristics), "SMTP_SCAN_PROGRAMHEURISTICS"},
};

namespace {

// Reply lines longer than this are cut: every line this library looks at
// (status lines and the GPS settings) is far shorter.
const int kLineSize = 1024;

// Winsock for the length of one request.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        m_bStarted = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~WinsockSession() {
        if (m_bStarted)
            WSACleanup();
    }
    bool Started() const { return m_bStarted; }

private:
    bool m_bStarted;
};

// Waits until the socket can be read or written, at most wait milliseconds.
bool WaitReady(SOCKET s, bool forWriting, DWORD wait) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = static_cast<long>(wait / 1000);
    tv.tv_usec = static_cast<long>((wait % 1000) * 1000);
    int n = forWriting ? select(0, nullptr, &set, nullptr, &tv)
                       : select(0, &set, nullptr, nullptr, &tv);
    return n > 0;
}

// Status lines: "CODE <n>", perhaps followed by " MESSAGE <text>".
bool IsCode(const char* line, const char* code) {
    size_t n = strlen(code);
    return strncmp(line, code, n) == 0 && (line[n] == '\0' || line[n] == ' ');
}

// Remembers the first line of a reply.
class StatusReader : public RemoteReplyReader {
public:
    StatusReader() { m_szFirst[0] = '\0'; }
    bool Line(const char* line) override {
        if (!m_bSeen) {
            BoundedCopy(m_szFirst, sizeof(m_szFirst), line);
            m_bSeen = true;
        }
        return true;
    }
    bool Is(const char* code) const { return m_bSeen && IsCode(m_szFirst, code); }

private:
    char m_szFirst[64];
    bool m_bSeen = false;
};

// Reads a decimal number as get_config prints it ("%d"): an optional minus
// sign and digits, the whole of value. Out-of-range numbers are refused.
bool ParseNumber(const char* value, DWORD& out) {
    const char* p = value;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (*p < '0' || *p > '9')
        return false;
    unsigned long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > 0xFFFFFFFFull)
            return false;
    }
    if (*p != '\0')
        return false;
    if (negative) {
        if (n > 0x80000000ull)
            return false;
        out = static_cast<DWORD>(0u - static_cast<DWORD>(n));
    } else {
        out = static_cast<DWORD>(n);
    }
    return true;
}

// Takes the GPS settings out of a get_config reply.
class ConfigReader : public RemoteReplyReader {
public:
    ConfigReader() {
        for (int i = 0; i < GPS_SETTING_COUNT; ++i)
            m_bFound[i] = false;
    }

    bool Line(const char* line) override {
        if (m_nLines++ == 0) {
            m_bStatusOk = IsCode(line, "CODE 1");
            return m_bStatusOk;
        }
        // Setting lines are "<key>='<value>'"; the first line of each key is
        // taken (the three keys are numbers Pellion prints once).
        for (int i = 0; i < GPS_SETTING_COUNT; ++i) {
            if (m_bFound[i])
                continue;
            size_t n = strlen(kGPSSettings[i].key);
            if (strncmp(line, kGPSSettings[i].key, n) != 0 || line[n] != '=' || line[n + 1] != '\'')
                continue;
            char value[32];
            const char* start = line + n + 2;
            const char* end = strchr(start, '\'');
            if (end == nullptr || end[1] != '\0' || end - start >= static_cast<long>(sizeof(value)))
                return true;
            memcpy(value, start, static_cast<size_t>(end - start));
            value[end - start] = '\0';
            if (ParseNumber(value, m_values[i]))
                m_bFound[i] = true;
        }
        return true;
    }

    bool Complete() const {
        if (!m_bStatusOk)
            return false;
        for (int i = 0; i < GPS_SETTING_COUNT; ++i)
            if (!m_bFound[i])
                return false;
        return true;
    }
    DWORD Value(int i) const { return m_values[i]; }

private:
    int m_nLines = 0;
    bool m_bStatusOk = false;
    bool m_bFound[GPS_SETTING_COUNT];
    DWORD m_values[GPS_SETTING_COUNT] = {};
};

DWORD& GpsField(GPS& gps, int i) {
    return *reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(&gps) + kGPSSettings[i].offset);
}

} // namespace

// ---- RemoteCommandHandler ---------------------------------------------------

RemoteCommandHandler::~RemoteCommandHandler() {}

int RemoteCommandHandler::SendCommand_BlockMailWithAttachments() {
    return SendControl("BLOCK_MAIL_WITH_ATTACHMENTS", nullptr);
}
int RemoteCommandHandler::SendCommand_UnblockMailWithAttachments() {
    return SendControl("UNBLOCK_MAIL_WITH_ATTACHMENTS", nullptr);
}
int RemoteCommandHandler::SendCommand_BlockMailWithNamedAttachments(char* names) {
    if (names == nullptr || *names == '\0')
        return 0;
    return SendControl("BLOCK_MAIL_WITH_NAMED_ATTACHMENTS", names);
}
int RemoteCommandHandler::SendCommand_UnblockMailWithNamedAttachments() {
    return SendControl("UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS", nullptr);
}
int RemoteCommandHandler::SendCommand_BlockMailWithTypedAttachments(char* types) {
    if (types == nullptr || *types == '\0')
        return 0;
    return SendControl("BLOCK_MAIL_WITH_TYPED_ATTACHMENTS", types);
}
int RemoteCommandHandler::SendCommand_UnblockMailWithTypedAttachments() {
    return SendControl("UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS", nullptr);
}
int RemoteCommandHandler::SendCommand_RejectIncomingMail() {
    return SendControl("REJECT_INCOMING_MAIL", nullptr);
}
int RemoteCommandHandler::SendCommand_AcceptIncomingMail() {
    return SendControl("ACCEPT_INCOMING_MAIL", nullptr);
}
int RemoteCommandHandler::SendCommand_IncreaseScanSettings() {
    return SendControl("INCREASE_SCAN_SETTINGS", nullptr);
}
int RemoteCommandHandler::SendCommand_DecreaseScanSettings() {
    return SendControl("DECREASE_SCAN_SETTINGS", nullptr);
}

RemoteReplyReader::~RemoteReplyReader() {}

// ---- RemoteAccess -------------------------------------------------------------

RemoteAccess::RemoteAccess(const char* host, int port, int commandMode)
    : m_nPort(port), m_dwWait(commandMode ? MARRISH_COMMAND_WAIT : MARRISH_PREFERENCES_WAIT),
      m_nLastError(0) {
    BoundedCopy(m_szHost, sizeof(m_szHost), host);
}

RemoteAccess::~RemoteAccess() {}

int RemoteAccess::SendControl(const char* word, const char* argument) {
    char request[MARRISH_REQUEST_SIZE];
    bool fit = argument == nullptr
                   ? BoundedCopy(request, sizeof(request), word)
                   : BoundedFormat(request, sizeof(request), "%s %s", word, argument);
    // A cut request or one with a line break would reach the scanner as
    // something else than was asked for.
    if (!fit || strpbrk(request, "\r\n") != nullptr) {
        m_nLastError = WSAEINVAL;
        return 0;
    }
    StatusReader status;
    if (!Request(request, nullptr, status))
        return 0;
    return status.Is("CODE 0") ? 1 : 0;
}

bool RemoteAccess::Request(const char* requestLine, const char* body, RemoteReplyReader& reader) {
    m_nLastError = 0;
    if (requestLine == nullptr || m_nPort <= 0 || m_nPort > 65535) {
        m_nLastError = WSAEINVAL;
        return false;
    }
    WinsockSession session;
    if (!session.Started()) {
        m_nLastError = WSASYSNOTREADY;
        return false;
    }

    SOCKADDR_IN address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(m_nPort));
    address.sin_addr.s_addr = inet_addr(m_szHost);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        HOSTENT* host = gethostbyname(m_szHost);
        if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
            m_nLastError = WSAGetLastError();
            return false;
        }
        memcpy(&address.sin_addr, host->h_addr_list[0], sizeof(address.sin_addr));
    }

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        m_nLastError = WSAGetLastError();
        return false;
    }
    if (connect(s, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)) != 0) {
        m_nLastError = WSAGetLastError();
        closesocket(s);
        return false;
    }

    // The request line, its line feed and the body, each sent whole.
    const char* parts[3] = {requestLine, "\n", body};
    for (const char* part : parts) {
        size_t left = part != nullptr ? strlen(part) : 0;
        while (left > 0) {
            if (!WaitReady(s, true, m_dwWait)) {
                m_nLastError = WSAETIMEDOUT;
                closesocket(s);
                return false;
            }
            int chunk = left > 65536 ? 65536 : static_cast<int>(left);
            int sent = send(s, part, chunk, 0);
            if (sent <= 0) {
                m_nLastError = WSAGetLastError();
                closesocket(s);
                return false;
            }
            part += sent;
            left -= static_cast<size_t>(sent);
        }
    }

    // The reply, line by line, until Pellion closes the connection.
    char line[kLineSize];
    int used = 0;
    bool skipping = false; // the rest of a line too long for the buffer
    bool done = false;
    bool ok = true;
    while (!done) {
        if (!WaitReady(s, false, m_dwWait)) {
            m_nLastError = WSAETIMEDOUT;
            ok = false;
            break;
        }
        char chunk[4096];
        int n = recv(s, chunk, sizeof(chunk), 0);
        if (n < 0) {
            m_nLastError = WSAGetLastError();
            ok = false;
            break;
        }
        if (n == 0) {
            // A last line without a line end still counts.
            if (used > 0 && !skipping) {
                line[used] = '\0';
                reader.Line(line);
            }
            break;
        }
        for (int i = 0; i < n && !done; ++i) {
            char c = chunk[i];
            if (c == '\n') {
                if (!skipping) {
                    if (used > 0 && line[used - 1] == '\r')
                        --used;
                    line[used] = '\0';
                    if (!reader.Line(line))
                        done = true;
                }
                used = 0;
                skipping = false;
            } else if (!skipping) {
                if (used < kLineSize - 1) {
                    line[used++] = c;
                } else {
                    // Hand the cut line out now; its rest is dropped.
                    line[used] = '\0';
                    if (!reader.Line(line))
                        done = true;
                    used = 0;
                    skipping = true;
                }
            }
        }
    }
    closesocket(s);
    return ok;
}

// ---- Preferences --------------------------------------------------------------

BasePreferences::BasePreferences() {
    memset(&m_gps, 0, sizeof(m_gps));
}

BasePreferences::~BasePreferences() {}

RemotePreferences::RemotePreferences(const char* host, int port) : m_access(host, port, 0) {}

RemotePreferences::~RemotePreferences() {}

int RemotePreferences::Load() {
    ConfigReader config;
    if (!m_access.Request("get_config", nullptr, config) || !config.Complete())
        return 0;
    for (int i = 0; i < GPS_SETTING_COUNT; ++i)
        GpsField(m_gps, i) = config.Value(i);
    return 1;
}

int RemotePreferences::Save() {
    // One line per setting, numbers signed as get_config prints them, then
    // the end line.
    char body[GPS_SETTING_COUNT * 64 + 2];
    body[0] = '\0';
    for (int i = 0; i < GPS_SETTING_COUNT; ++i) {
        char setting[64];
        BoundedFormat(setting, sizeof(setting), "%s='%ld'\n", kGPSSettings[i].key,
                      static_cast<long>(static_cast<LONG>(GpsField(m_gps, i))));
        BoundedAppend(body, sizeof(body), setting);
    }
    BoundedAppend(body, sizeof(body), "\n");
    StatusReader status;
    if (!m_access.Request("set_config", body, status))
        return 0;
    return status.Is("CODE 0") ? 1 : 0;
}
