// Version and statistics replies.
#include "store/VersionInfo.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "service/Settings.h"

#include <cstring>
#include <vector>

VersionInfo g_VersionInfo;

namespace {

// Statistics when Drennic cannot be asked.
const char* const kStatisticsFallback = "SMTP_NUMBER_SCAN='Unknown' SMTP_NUMBER_DETECTED='Unknown' "
                                        "SMTP_NUMBER_CLEANED='Unknown'\r\n";

// How long the statistics text may wait for the client to take it.
const int STATISTICS_SEND_WAIT_LIMIT = 10000;

void ReadText(CRegKey& key, const char* name, char* field, std::vector<char>& work) {
    work[0] = '\0';
    if (key.Read(name, work.data()) == ERROR_SUCCESS)
        BoundedCopy(field, VERSION_TEXT_SIZE, work.data());
}

void SendLine(ClientConnection& connection, const char* text) {
    int status = 0;
    connection.SendText(text, WAIT_NO_LIMIT, status);
    connection.SendText("\r\n", WAIT_NO_LIMIT, status);
}

} // namespace

void ReadVersionInfo() {
    VersionInfo& v = g_VersionInfo;
    BoundedCopy(v.szDrennicVer, sizeof(v.szDrennicVer), "unknown");
    BoundedCopy(v.szEngineVer, sizeof(v.szEngineVer), "unknown");
    BoundedCopy(v.szVirDefVer, sizeof(v.szVirDefVer), "unknown");
    BoundedCopy(v.szVirDefDate, sizeof(v.szVirDefDate), "unknown");
    v.dwExtraVirDefNVirs = 0;
    v.dwExtraVirDefNVars = 0;

    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 1) != ERROR_SUCCESS) {
        LogMessage(IDS_OPEN_REGISTRY_FAILED, EVENTLOG_ERROR_TYPE, PRODUCT_KEY);
        return;
    }
    std::vector<char> work(REGKEY_TEXT_BUFFER);
    ReadText(key, "szDrennicVer", v.szDrennicVer, work);
    ReadText(key, "szEngineVer", v.szEngineVer, work);
    ReadText(key, "szVirDefVer", v.szVirDefVer, work);
    ReadText(key, "szVirDefDate", v.szVirDefDate, work);
    DWORD number = 0;
    if (key.Read("dwExtraVirDefNVirs", number) == ERROR_SUCCESS)
        v.dwExtraVirDefNVirs = number;
    number = 0;
    if (key.Read("dwExtraVirDefNVars", number) == ERROR_SUCCESS)
        v.dwExtraVirDefNVars = number;
    key.Close();
}

void FormatVersionText(const VersionInfo& info, char* text, size_t size) {
    // The numbers are shown as the signed 32-bit values they are read as.
    BoundedFormat(text, size,
                  "SMTP_DRENNIC_VERSION='%s'\nSMTP_ENGINE_VERSION='%s'\nSMTP_DAT_VERSION='%s'\n"
                  "SMTP_DAT_DATE='%s'\nSMTP_EXTRADAT_NVIRUS='%ld'\nSMTP_EXTRADAT_NVARIANT='%ld'",
                  info.szDrennicVer, info.szEngineVer, info.szVirDefVer, info.szVirDefDate,
                  static_cast<long>(static_cast<LONG>(info.dwExtraVirDefNVirs)),
                  static_cast<long>(static_cast<LONG>(info.dwExtraVirDefNVars)));
}

int ClientConnection::SendVersion(char*, int) {
    char text[VERSION_REPLY_SIZE];
    FormatVersionText(g_VersionInfo, text, sizeof(text));
    SendLine(*this, text);
    return 1;
}

int ClientConnection::SendDrennicVersion(char*, int) {
    SendLine(*this, g_VersionInfo.szDrennicVer);
    return 1;
}

int ClientConnection::SendEngineVersion(char*, int) {
    SendLine(*this, g_VersionInfo.szEngineVer);
    return 1;
}

int ClientConnection::SendStatistics(char*, int) {
    // QueryStatistics ends what it read with a zero byte; the whole buffer is
    // cleared first all the same, so that the walk below always ends inside.
    char reply[STATISTICS_REPLY_SIZE];
    memset(reply, 0, sizeof(reply));
    if (!QueryStatistics(reply))
        BoundedCopy(reply, sizeof(reply), kStatisticsFallback);
    // One item a line: a space after a closing quote becomes a line feed; the
    // text ends at its first zero byte, carriage return or line feed.
    size_t end = 0;
    while (end < sizeof(reply) - 1 && reply[end] != '\0' && reply[end] != '\r' &&
           reply[end] != '\n') {
        if (reply[end] == ' ' && end > 0 && reply[end - 1] == '\'')
            reply[end] = '\n';
        ++end;
    }
    reply[end] = '\0';
    int status = 0;
    SendAll(reply, static_cast<int>(end), STATISTICS_SEND_WAIT_LIMIT, status);
    SendText("\r\n", WAIT_NO_LIMIT, status);
    return 1;
}
