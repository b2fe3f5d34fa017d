// get_config and set_config against the real service: the exact bytes of the
// replies, the registry left behind, the events logged.
#include "PellionHarness.h"
#include "regkey/RegKey.h"
#include "service/Settings.h"

#include <gtest/gtest.h>
#include <string>

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
