// The remote-access library, over the protocol's client library.
#include "remote/marrish/Marrish.h"

#include "platform/bounded.h"
#include "remote/RemoteReply.h"

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

// Status lines: "CODE <n>", perhaps followed by " MESSAGE <text>".
bool IsCode(const char* line, int wanted) {
    int code = -1;
    return RemoteParseStatus(line, &code, nullptr) && code == wanted;
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
    bool Is(int code) const { return m_bSeen && IsCode(m_szFirst, code); }

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
            m_bStatusOk = IsCode(line, 1);
            return m_bStatusOk;
        }
        // Setting lines are "<key>='<value>'"; the first line of each key is
        // taken (the three keys are numbers Pellion prints once).
        std::string key;
        std::string value;
        if (!RemoteSplitSetting(line, &key, &value))
            return true;
        for (int i = 0; i < GPS_SETTING_COUNT; ++i) {
            if (!m_bFound[i] && key == kGPSSettings[i].key && ParseNumber(value.c_str(), m_values[i]))
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
    return status.Is(0) ? 1 : 0;
}

bool RemoteAccess::Request(const char* requestLine, const char* body, RemoteReplyReader& reader) {
    RemoteRequest request;
    request.host = m_szHost;
    request.port = m_nPort;
    request.wait = m_dwWait;
    request.line = requestLine;
    request.body = body;
    request.bodySize = body != nullptr ? strlen(body) : 0;
    return RemoteExchangeLines(request, reader, kLineSize, &m_nLastError) == REMOTE_DONE;
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
    return status.Is(0) ? 1 : 0;
}
