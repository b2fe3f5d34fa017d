// get_config and set_config against the real service: the exact bytes of the
// replies, the registry left behind, the events logged.
#include "PellionHarness.h"
#include "regkey/RegKey.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"
#include "support/RegistrySnapshot.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using vtest::Ask;
using vtest::Client;
using vtest::Pellion;

// The reply of get_config on a machine whose Drennic key is empty: every
// default of the scanner settings, in the reply's order, each line ended by a
// line feed, one empty line before the attachment types this service
// supports (its own default here).
const char kDefaultReply[] =
    "CODE 1\r\n"
    "SMTP_READ_PORT='25'\n"
    "SMTP_SEND_PORT='25'\n"
    "SMTP_SCAN_ATTACHMENTS_FLAG='1'\n"
    "SMTP_ACTION='1'\n"
    "SMTP_SCAN_ERROR_ACTION='1'\n"
    "SMTP_MAIL_EXCLUDE_SENDER_FLAG='0'\n"
    "SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG='0'\n"
    "SMTP_MAIL_LOG_ENABLE='1'\n"
    "SMTP_VIRUS_LOG_ENABLE='1'\n"
    "SMTP_QUARANTINE='1'\n"
    "SMTP_DNS_ENABLE='0'\n"
    "SMTP_VIRUS_LOG_ROTATION_INTERVAL='7'\n"
    "SMTP_VIRUS_LOG_REMOVAL_INTERVAL='7'\n"
    "SMTP_MAIL_LOG_ROTATION_INTERVAL='7'\n"
    "SMTP_MAIL_LOG_REMOVAL_INTERVAL='7'\n"
    "SMTP_NOTIFY_SENDER_FLAG='0'\n"
    "SMTP_USE_ORRINEL_FLAG='0'\n"
    "SMTP_CONTENT_FILTER_FLAG='1'\n"
    "SMTP_BLOCK_ON='0'\n"
    "SMTP_SCAN_COMPRESSED_FLAG='0'\n"
    "SMTP_CONTENT_FILTER_ON='0'\n"
    "SMTP_DOMAIN_RELAY_ON='0'\n"
    "SMTP_SAME_SERVER_ON='0'\n"
    "SMTP_CONTENT_FILTER_TEXT=''\n"
    "SMTP_BLOCK_LIST=''\n"
    "SMTP_MAIL_EXCLUDE_RECIPIENT=''\n"
    "SMTP_MAIL_EXCLUDE_SENDER=''\n"
    "SMTP_DEFAULT_DOMAIN=''\n"
    "SMTP_ALERT_TEXT=''\n"
    "SMTP_VANTRY_ADMIN=''\n"
    "SMTP_DNS_IP=''\n"
    "SMTP_SCAN_ATTACHMENTS=''\n"
    "SMTP_DOMAIN_RELAY_TEXT=''\n"
    "\n"
    "SMTP_SCAN_ATTACHMENTS_AVAILABLE='application application/octet-stream text text/html "
    "text/enriched text/plain'\n"
    "SMTP_SPAM_DETECTION_FLAG='0'\n"
    "SMTP_SPAM_IP_LIST_COUNT='0'\n"
    "SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='0'\n"
    "SMTP_SPAM_IP_LIST=''\n"
    "SMTP_SPAM_EMAIL_DOMAIN_LIST=''\n"
    "SMTP_RELAY_BEFORE_DNS='1'\n"
    "SMTP_TRANSPORT_LOGGING='0'\n"
    "SMTP_MAXIMUM_ATTACHMENTS='200'\n"
    "SMTP_MINIMUM_DISK_SPACE_LIMIT_NOREAD='50000000'\n"
    "SMTP_MINIMUM_DISK_SPACE_LIMIT='100000000'\n"
    "SMTP_STANDARD_MONITOR_INTERVAL='120'\n"
    "SMTP_FAST_MONITOR_INTERVAL='30'\n"
    "SMTP_SCANNER_TIMEOUT='900000'\n"
    "SMTP_DIRECT_SEND_INTERNAL_DOMAIN=''\n"
    "SMTP_DIRECT_SEND_ON='0'\n"
    "READ_Max_Number_Threads='100'\n"
    "WRITE_Max_Number_Threads='100'\n"
    "SCAN_Max_Number_Threads='1'\n"
    "Retry_Return_Count='2'\n"
    "Retry_Deferred_Interval='60'\n"
    "Read_Max_Mail_Size='134217728'\n"
    "No_of_Filter_Rules='0'\n"
    "SMTP_ServiceMonitor_RejectMail_Orrinel='1'\n"
    "SMTP_ServiceMonitor_ResumeMail_Orrinel='1'\n"
    "SMTP_ServiceMonitor_Startup_Orrinel='1'\n"
    "SMTP_ServiceMonitor_Shutdown_Orrinel='1'\n"
    "Retry_Send_Interval='259200'\n"
    "SMTP_SizeBlockingEnableTotalMailSize='1'\n"
    "SMTP_SizeBlockingEnableNumberOfAttachments='1'\n"
    "SMTP_ScanningEnableDeleteAllMacros='1'\n"
    "SMTP_ScanningEnableFindAllMacros='1'\n"
    "Quarantine_Path='C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\'\n"
    "FILTER_ALERT_TEXT=''\n"
    "FILTER_NOTIFY_SENDER_FLAG='0'\n"
    "FILTER_USE_ORRINEL_FLAG='0'\n"
    "SMTP_SCAN_MACROHEURISTICS='0'\n"
    "SMTP_SCAN_PROGRAMHEURISTICS='0'\n";

bool ScannerKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SCANNER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST(GetConfig, WithoutTheDrennicKeyRepliesEveryDefaultAndCreatesTheKey) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    // The service reads its own settings from the scanner key at start-up;
    // take the key away so that the request meets a machine without it.
    CRegKey remover;
    remover.Delete(SCANNER_KEY);
    ASSERT_FALSE(ScannerKeyExists());

    EXPECT_EQ(Ask(pellion.port(), "get_config\r\n"), kDefaultReply);
    EXPECT_TRUE(ScannerKeyExists());
    // Reading writes nothing: the key is there, empty.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SCANNER_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[256];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

} // namespace

namespace {

// The value of key in a get_config reply, or "(missing)".
std::string ReplyValue(const std::string& reply, const std::string& key) {
    std::string head = "\n" + key + "='";
    size_t at = reply.find(head);
    if (at == std::string::npos)
        return "(missing)";
    at += head.size();
    size_t end = reply.find("'\n", at);
    return reply.substr(at, end - at);
}

TEST(SetConfig, OneSettingIsSavedAnsweredAndReadBack) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nsmtp_action = '2'\r\n\r\n"), "CODE 0\r\n");
    std::string reply = Ask(pellion.port(), "get_config\r\n");
    EXPECT_EQ(ReplyValue(reply, "SMTP_ACTION"), "2");
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 0), ERROR_SUCCESS);
    DWORD action = 0;
    EXPECT_EQ(key.Read("SMTP_ACTION", action), ERROR_SUCCESS);
    EXPECT_EQ(action, 2u);
}

} // namespace

namespace {

// The lines of a reply after its status line.
std::string Lines(const std::string& reply) {
    size_t at = reply.find("\r\n");
    return at == std::string::npos ? std::string() : reply.substr(at + 2);
}

TEST(SetConfig, AGetConfigReplySentBackStopsAtItsEmptyLineAndSavesTheLinesBeforeIt) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    const std::string reply = Ask(pellion.port(), "get_config\r\n");
    ASSERT_EQ(reply.compare(0, 8, "CODE 1\r\n"), 0);
    // Change one value before the empty line and one after it; sending the
    // reply back restores the first and never reaches the second.
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
    key.Write("SMTP_ACTION", static_cast<DWORD>(5));
    key.Write("Retry_Send_Interval", static_cast<DWORD>(77));
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\n" + Lines(reply)), "CODE 0\r\n");
    DWORD action = 0, retry = 0;
    key.Read("SMTP_ACTION", action);
    key.Read("Retry_Send_Interval", retry);
    EXPECT_EQ(action, 1u);
    EXPECT_EQ(retry, 77u);
}

TEST(SetConfig, EveryKindOfValueReadsBackAsSent) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    const std::string lines = "SMTP_READ_PORT='2525'\n"
                              "SMTP_SEND_PORT='65535'\n"
                              "SMTP_ACTION='-3'\n"
                              "SMTP_MINIMUM_DISK_SPACE_LIMIT='2147483647'\n"
                              "SMTP_DEFAULT_DOMAIN='mail.example.com'\n"
                              "SMTP_ALERT_TEXT='A virus was found: it''s gone #1'\n"
                              "SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.0 192.168.1.7 255.255.255.0'\n"
                              "SMTP_SPAM_EMAIL_DOMAIN_LIST='spam.example junk.example'\n"
                              "No_of_Filter_Rules='4'\n"
                              "Filter_Rule_0='Casino#casino# #0#0#3#1#0#1'\n"
                              "Filter_Rule_1=' #win#money#20#1#7#0#1#0'\n"
                              "Filter_Rule_3='Tail#*.scr# #0#0#4#1#1#1'\n"
                              "Quarantine_Path='D:\\Quarantine\\'\n";
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\n" + lines + "\r\n"), "CODE 0\r\n");
    const std::string reply = Ask(pellion.port(), "get_config\r\n");
    // Each line comes back as it was sent, the rules in slot order with the
    // empty slot 2 left out, the lists' counts from what was parsed.
    size_t from = 0;
    for (size_t end; (end = lines.find('\n', from)) != std::string::npos; from = end + 1) {
        std::string line = lines.substr(from, end - from + 1);
        EXPECT_NE(reply.find("\n" + line), std::string::npos) << line;
    }
    EXPECT_NE(reply.find("\nSMTP_SPAM_IP_LIST_COUNT='2'\n"), std::string::npos);
    EXPECT_NE(reply.find("\nSMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='2'\n"), std::string::npos);
    EXPECT_NE(reply.find("Filter_Rule_1=' #win#money#20#1#7#0#1#0'\nFilter_Rule_3="),
              std::string::npos);
    EXPECT_EQ(reply.find("Filter_Rule_2="), std::string::npos);
}

TEST(SetConfig, RefusalsAnswerCode2AndLeaveTheRegistryAsItWas) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    ASSERT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION='4'\r\n\r\n"), "CODE 0\r\n");
    const std::string before = vtest::RegistrySnapshot(SCANNER_KEY);
    const std::string prefix = "CODE 2 MESSAGE Error validating config parameter read from socket "
                               "- the config parameter received ";
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_QUARANTINE='0'\r\nSMTP_ACTION=2\r\n\r\n"),
              prefix + "is not in the expected format.\r\n");
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_QUARANTINE='0'\r\nSMTP_DEFAULT_DOMAIN='" +
                                      std::string(257, 'd') + "'\r\n\r\n"),
              prefix + "exceeds the expected parameter size.\r\n");
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_QUARANTINE='0'\r\nBOGUS='1'\r\n\r\n"),
              prefix + "is not recognized.\r\n");
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_QUARANTINE='0'\r\n SMTP_ACTION='2'\r\n\r\n"),
              prefix + "is not recognized.\r\n");
    EXPECT_EQ(vtest::RegistrySnapshot(SCANNER_KEY), before);
    EXPECT_TRUE(pellion.HasEvent("Error validating config parameter read from socket - the config "
                                 "parameter received is not recognized.",
                                 EVENTLOG_ERROR_TYPE));
    // 256 characters are accepted.
    EXPECT_EQ(Ask(pellion.port(),
                  "set_config\r\nSMTP_DEFAULT_DOMAIN='" + std::string(256, 'd') + "'\r\n\r\n"),
              "CODE 0\r\n");
    EXPECT_EQ(ReplyValue(Ask(pellion.port(), "get_config\r\n"), "SMTP_DEFAULT_DOMAIN"),
              std::string(256, 'd'));
}

TEST(SetConfig, AClientSilentMidWayIsCutOffAtTheWaitLimitAndNothingIsSaved) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    ASSERT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION='4'\r\n\r\n"), "CODE 0\r\n");
    const std::string before = vtest::RegistrySnapshot(SCANNER_KEY);
    Client client(pellion.port());
    client.Send("set_config\r\nSMTP_ACTION='2'\r\nSMTP_QUARANTINE='0'\r\n");
    DWORD sent = GetTickCount();
    EXPECT_EQ(client.ReadAll(40000), "CODE 3 MESSAGE Error reading config from socket\r\n");
    EXPECT_GE(client.closedAt - sent, static_cast<DWORD>(REQUEST_WAIT_LIMIT) - 100);
    EXPECT_EQ(vtest::RegistrySnapshot(SCANNER_KEY), before);
    EXPECT_TRUE(pellion.HasEvent("Error reading config from socket", EVENTLOG_ERROR_TYPE));
}

// The request thread waits on a client's reading only briefly: what a client
// does not take is sent in the background, byte for byte, while the next
// clients are served; a client that takes nothing for the progress limit is
// cut off there (message 29).
TEST(GetConfig, AClientThatNeverReadsHoldsNobodyAndIsCutOffAtTheProgressLimit) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    // A reply far larger than what the sockets hold while nobody reads.
    ASSERT_EQ(
        Ask(pellion.port(), "set_config\r\nSMTP_MAIL_EXCLUDE_SENDER='" + std::string(76801, 's') +
                                "'\r\nSMTP_MAIL_EXCLUDE_RECIPIENT='" + std::string(76801, 'r') +
                                "'\r\nSMTP_BLOCK_LIST='" + std::string(76800, 'b') + "'\r\n\r\n"),
        "CODE 0\r\n");
    const std::string whole = Ask(pellion.port(), "get_config\r\n");
    ASSERT_GT(whole.size(), 200000u);
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    auto connectSmall = [&]() {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        int small = 2048;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof(small));
        SOCKADDR_IN remote = {};
        remote.sin_family = AF_INET;
        remote.sin_addr.s_addr = inet_addr("127.0.0.1");
        remote.sin_port = htons(pellion.port());
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)), 0);
        send(s, "get_config\r\n", 12, 0);
        return s;
    };
    SOCKET stuck = connectSmall();
    SOCKET slow = connectSmall();
    DWORD start = GetTickCount();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(stuck, &readable);
    timeval wait = {15, 0};
    ASSERT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1) << "the get_config reply never began";
    // The next administrator is not held by the stuck client's reading.
    Client next(pellion.port());
    next.Send("get_server_type\r\n");
    EXPECT_EQ(next.ReadAll(60000), "NT_SMTP\r\n");
    EXPECT_LT(next.closedAt - start, static_cast<DWORD>(SEND_PROGRESS_LIMIT) / 2);
    // The slow reader, reading now, gets every byte of the reply.
    std::string got;
    for (;;) {
        char buf[4096];
        int n = recv(slow, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    closesocket(slow);
    EXPECT_TRUE(got == whole) << got.size() << " bytes of " << whole.size();
    // The stuck one is cut off at the progress limit, not before.
    std::string part;
    for (;;) {
        char buf[4096];
        int n = recv(stuck, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        if (part.empty())
            Sleep(static_cast<DWORD>(SEND_PROGRESS_LIMIT) + 2000); // take nothing for that long
        part.append(buf, static_cast<size_t>(n));
    }
    EXPECT_GE(GetTickCount() - start, static_cast<DWORD>(SEND_PROGRESS_LIMIT));
    EXPECT_LT(part.size(), whole.size());
    EXPECT_EQ(part, whole.substr(0, part.size()));
    closesocket(stuck);
    EXPECT_TRUE(pellion.HasEvent("Configuration client 'localhost' stopped reading the reply; the "
                                 "connection was closed",
                                 EVENTLOG_WARNING_TYPE));
}

} // namespace

namespace {

TEST(SetConfig, SetPreferencesReachesDrennicAfterASaveAndNotAfterARefusal) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    const std::string refused = "CODE 2 MESSAGE Error validating config parameter read from "
                                "socket - the config parameter received is not recognized.\r\n";
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION='2'\r\nBOGUS='1'\r\n\r\n"), refused);
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION='2'\r\n\r\n"), "CODE 0\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(1);
    ASSERT_EQ(record.size(), 1u); // nothing came of the refused request before it
    EXPECT_EQ(record[0], std::string("SET_PREFERENCES", 15) + '\0');
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION=3\r\n\r\n").compare(0, 6, "CODE 2"),
              0);
    Sleep(1000);
    EXPECT_EQ(pellion.drennic().Record().size(), 1u);
}

} // namespace

namespace {

// What set_config answers CODE 0 reads back as sent; what it cannot keep so is
// refused with the registry left byte for byte as it was and no word to
// Drennic. One starting configuration (with a spam entry left behind a
// lowered count, rules in slots 0 and 1), then each refused request, then the
// largest values kept, read back through get_config.
TEST(SetConfig, RefusedRequestsLeaveTheRegistryAsItWasAndAcceptedOnesReadBackAsSent) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    ASSERT_EQ(Ask(pellion.port(), "set_config\r\nSMTP_ACTION='4'\r\n"
                                  "SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.0 10.9.9.9 255.255.255.255'\r\n"
                                  "SMTP_SPAM_IP_LIST_COUNT='1'\r\nNo_of_Filter_Rules='2'\r\n"
                                  "Filter_Rule_0='a#p#s#0#0#1#1#0#1'\r\n"
                                  "Filter_Rule_1='b#p#s#0#0#1#1#0#1'\r\n\r\n"),
              "CODE 0\r\n");
    const std::string tooLong = "CODE 2 MESSAGE Error validating config parameter read from socket "
                                "- the config parameter received exceeds the expected parameter "
                                "size.\r\n";
    const std::string badFormat = "CODE 2 MESSAGE Error validating config parameter read from "
                                  "socket - the config parameter received is not in the expected "
                                  "format.\r\n";
    const std::string cutOff = "CODE 3 MESSAGE Error reading config from socket\r\n";
    struct Refused {
        const char* lines;
        const std::string& reply;
        bool endLine;
    };
    const Refused refused[] = {
        {"SMTP_SEND_PORT='70000'\r\n", tooLong, true},
        {"SMTP_READ_PORT='-1'\r\n", tooLong, true},
        {"SCAN_Max_Number_Threads='600'\r\n", tooLong, true},
        {"No_of_Filter_Rules='257'\r\n", tooLong, true},
        {"Filter_Rule_1='d#p#s#70000#5#15#2#-1#9'\r\n", tooLong, true},
        {"Filter_Rule_1='a#b#p#s#0#0#1#1#0#1'\r\n", badFormat, true},
        {"Filter_Rule_2='d#p#s#0#0#1#1#0#1'\r\n", tooLong, true},
        {"Filter_Rule_65537='d#p#s#0#0#1#1#0#1'\r\n", tooLong, true},
        {"SMTP_SPAM_IP_LIST='a b'\r\n", tooLong, true},
        {"SMTP_SPAM_IP_LIST='1.2.3.4 255.255.255.0 5.6.7.8'\r\n", tooLong, true},
        {"SMTP_SPAM_IP_LIST_COUNT='2'\r\n", tooLong, true}, // the entry left behind
        {"SMTP_ACTION='2'\r\n", cutOff, false},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.lines);
        const std::string before = vtest::RegistrySnapshot(SCANNER_KEY);
        Client client(pellion.port());
        client.Send(std::string("set_config\r\nSMTP_QUARANTINE='0'\r\n") + r.lines +
                    (r.endLine ? "\r\n" : ""));
        client.CloseSending();
        EXPECT_EQ(client.ReadAll(), r.reply);
        EXPECT_EQ(vtest::RegistrySnapshot(SCANNER_KEY), before);
    }
    // Drennic heard of the first save and then of this command, nothing
    // between: requests are handled in turn, so a refused request's
    // SET_PREFERENCES would stand before it.
    ASSERT_EQ(Ask(pellion.port(), "ACCEPT_INCOMING_MAIL\r\n"), "CODE 0\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(2);
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[1], std::string("ACCEPT_INCOMING_MAIL\r", 21) + '\0');

    const std::string accepted = "SMTP_SEND_PORT='65535'\n"
                                 "SMTP_READ_PORT='0'\n"
                                 "SCAN_Max_Number_Threads='512'\n"
                                 "SMTP_SPAM_IP_LIST_COUNT='1'\n"
                                 "SMTP_SPAM_IP_LIST='255.255.255.255 0.0.0.0'\n"
                                 "SMTP_SPAM_EMAIL_DOMAIN_LIST='" +
                                 std::string(200, 'y') + "'\n" +
                                 "No_of_Filter_Rules='256'\n"
                                 "Filter_Rule_0=' #win# #0#0#0#0#0#0'\n"
                                 "Filter_Rule_255='d#p#s#65535#1#7#1#1#1'\n";
    EXPECT_EQ(Ask(pellion.port(), "set_config\r\n" + accepted + "\r\n"), "CODE 0\r\n");
    const std::string reply = Ask(pellion.port(), "get_config\r\n");
    size_t from = 0;
    for (size_t end; (end = accepted.find('\n', from)) != std::string::npos; from = end + 1) {
        std::string line = accepted.substr(from, end - from + 1);
        EXPECT_NE(reply.find("\n" + line), std::string::npos) << line;
    }
}

} // namespace
