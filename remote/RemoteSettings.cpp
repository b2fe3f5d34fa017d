// The table of the scanner settings, in the order of the get_config reply.
#include "remote/RemoteSettings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

const RemoteSetting kRemoteSettings[] = {
    {"SMTP_READ_PORT", REMOTE_PORT},
    {"SMTP_SEND_PORT", REMOTE_PORT},
    {"SMTP_SCAN_ATTACHMENTS_FLAG", REMOTE_NUMBER},
    {"SMTP_ACTION", REMOTE_NUMBER},
    {"SMTP_SCAN_ERROR_ACTION", REMOTE_NUMBER},
    {"SMTP_MAIL_EXCLUDE_SENDER_FLAG", REMOTE_NUMBER},
    {"SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG", REMOTE_NUMBER},
    {"SMTP_MAIL_LOG_ENABLE", REMOTE_NUMBER},
    {"SMTP_VIRUS_LOG_ENABLE", REMOTE_NUMBER},
    {"SMTP_QUARANTINE", REMOTE_NUMBER},
    {"SMTP_DNS_ENABLE", REMOTE_NUMBER},
    {"SMTP_VIRUS_LOG_ROTATION_INTERVAL", REMOTE_NUMBER},
    {"SMTP_VIRUS_LOG_REMOVAL_INTERVAL", REMOTE_NUMBER},
    {"SMTP_MAIL_LOG_ROTATION_INTERVAL", REMOTE_NUMBER},
    {"SMTP_MAIL_LOG_REMOVAL_INTERVAL", REMOTE_NUMBER},
    {"SMTP_NOTIFY_SENDER_FLAG", REMOTE_NUMBER},
    {"SMTP_USE_ORRINEL_FLAG", REMOTE_NUMBER},
    {"SMTP_CONTENT_FILTER_FLAG", REMOTE_NUMBER},
    {"SMTP_BLOCK_ON", REMOTE_NUMBER},
    {"SMTP_SCAN_COMPRESSED_FLAG", REMOTE_NUMBER},
    {"SMTP_CONTENT_FILTER_ON", REMOTE_NUMBER},
    {"SMTP_DOMAIN_RELAY_ON", REMOTE_NUMBER},
    {"SMTP_SAME_SERVER_ON", REMOTE_NUMBER},
    {"SMTP_CONTENT_FILTER_TEXT", REMOTE_TEXT},
    {"SMTP_BLOCK_LIST", REMOTE_TEXT},
    {"SMTP_MAIL_EXCLUDE_RECIPIENT", REMOTE_TEXT},
    {"SMTP_MAIL_EXCLUDE_SENDER", REMOTE_TEXT},
    {"SMTP_DEFAULT_DOMAIN", REMOTE_TEXT},
    {"SMTP_ALERT_TEXT", REMOTE_TEXT},
    {"SMTP_VANTRY_ADMIN", REMOTE_TEXT},
    {"SMTP_DNS_IP", REMOTE_TEXT},
    {"SMTP_SCAN_ATTACHMENTS", REMOTE_TEXT},
    {"SMTP_DOMAIN_RELAY_TEXT", REMOTE_TEXT},
    {"SMTP_SPAM_DETECTION_FLAG", REMOTE_NUMBER},
    {"SMTP_SPAM_IP_LIST_COUNT", REMOTE_NUMBER},
    {"SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT", REMOTE_NUMBER},
    {"SMTP_SPAM_IP_LIST", REMOTE_TEXT},
    {"SMTP_SPAM_EMAIL_DOMAIN_LIST", REMOTE_TEXT},
    {"SMTP_RELAY_BEFORE_DNS", REMOTE_NUMBER},
    {"SMTP_TRANSPORT_LOGGING", REMOTE_NUMBER},
    {"SMTP_MAXIMUM_ATTACHMENTS", REMOTE_NUMBER},
    {"SMTP_MINIMUM_DISK_SPACE_LIMIT_NOREAD", REMOTE_NUMBER},
    {"SMTP_MINIMUM_DISK_SPACE_LIMIT", REMOTE_NUMBER},
    {"SMTP_STANDARD_MONITOR_INTERVAL", REMOTE_NUMBER},
    {"SMTP_FAST_MONITOR_INTERVAL", REMOTE_NUMBER},
    {"SMTP_SCANNER_TIMEOUT", REMOTE_NUMBER},
    {"SMTP_DIRECT_SEND_INTERNAL_DOMAIN", REMOTE_TEXT},
    {"SMTP_DIRECT_SEND_ON", REMOTE_NUMBER},
    {"READ_Max_Number_Threads", REMOTE_NUMBER},
    {"WRITE_Max_Number_Threads", REMOTE_NUMBER},
    {"SCAN_Max_Number_Threads", REMOTE_NUMBER},
    {"Retry_Return_Count", REMOTE_NUMBER},
    {"Retry_Deferred_Interval", REMOTE_NUMBER},
    {"Read_Max_Mail_Size", REMOTE_NUMBER},
    {"No_of_Filter_Rules", REMOTE_NUMBER},
    {"SMTP_ServiceMonitor_RejectMail_Orrinel", REMOTE_NUMBER},
    {"SMTP_ServiceMonitor_ResumeMail_Orrinel", REMOTE_NUMBER},
    {"SMTP_ServiceMonitor_Startup_Orrinel", REMOTE_NUMBER},
    {"SMTP_ServiceMonitor_Shutdown_Orrinel", REMOTE_NUMBER},
    {"Retry_Send_Interval", REMOTE_NUMBER},
    {"SMTP_SizeBlockingEnableTotalMailSize", REMOTE_NUMBER},
    {"SMTP_SizeBlockingEnableNumberOfAttachments", REMOTE_NUMBER},
    {"SMTP_ScanningEnableDeleteAllMacros", REMOTE_NUMBER},
    {"SMTP_ScanningEnableFindAllMacros", REMOTE_NUMBER},
    {"Quarantine_Path", REMOTE_TEXT},
    {"FILTER_ALERT_TEXT", REMOTE_TEXT},
    {"FILTER_NOTIFY_SENDER_FLAG", REMOTE_NUMBER},
    {"FILTER_USE_ORRINEL_FLAG", REMOTE_NUMBER},
    {"SMTP_SCAN_MACROHEURISTICS", REMOTE_NUMBER},
    {"SMTP_SCAN_PROGRAMHEURISTICS", REMOTE_NUMBER},
};
const size_t kRemoteSettingCount = sizeof(kRemoteSettings) / sizeof(kRemoteSettings[0]);

const char* const REMOTE_RULE_PREFIX = "Filter_Rule_";

namespace {

bool SameName(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

} // namespace

const RemoteSetting* RemoteFindSetting(const char* key) {
    for (size_t i = 0; i < kRemoteSettingCount; ++i)
        if (SameName(kRemoteSettings[i].key, key))
            return &kRemoteSettings[i];
    return nullptr;
}

size_t RemoteSettingOrder(const RemoteSetting* setting) {
    return static_cast<size_t>(setting - kRemoteSettings);
}

int RemoteRuleSlot(const char* key) {
    size_t n = strlen(REMOTE_RULE_PREFIX);
    if (strncmp(key, REMOTE_RULE_PREFIX, n) != 0)
        return -1;
    const char* digits = key + n;
    if (*digits < '0' || *digits > '9' || strlen(digits) > 3 || (digits[0] == '0' && digits[1]))
        return -1;
    for (const char* p = digits; *p; ++p)
        if (*p < '0' || *p > '9')
            return -1;
    int slot = atoi(digits);
    return slot < REMOTE_RULE_SLOTS ? slot : -1;
}
