// get_config: the status line, then one key='value' line per scanner setting,
// each ended by "\n", in the reply's fixed order.
#include "config/RegistryRule.h"
#include "config/ScannerSettings.h"
#include "config/SettingsTable.h"
#include "platform/bounded.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The reply's lines that are not plain settings.
const char kAttachmentsAvailable[] = "*SMTP_SCAN_ATTACHMENTS_AVAILABLE";
const char kRules[] = "*rules";

// The lines of the reply, in order: each a setting of the table, or one of
// the markers above.
const char* const kReplyOrder[] = {
    "SMTP_READ_PORT",
    "SMTP_SEND_PORT",
    "SMTP_SCAN_ATTACHMENTS_FLAG",
    "SMTP_ACTION",
    "SMTP_SCAN_ERROR_ACTION",
    "SMTP_MAIL_EXCLUDE_SENDER_FLAG",
    "SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG",
    "SMTP_MAIL_LOG_ENABLE",
    "SMTP_VIRUS_LOG_ENABLE",
    "SMTP_QUARANTINE",
    "SMTP_DNS_ENABLE",
    "SMTP_VIRUS_LOG_ROTATION_INTERVAL",
    "SMTP_VIRUS_LOG_REMOVAL_INTERVAL",
    "SMTP_MAIL_LOG_ROTATION_INTERVAL",
    "SMTP_MAIL_LOG_REMOVAL_INTERVAL",
    "SMTP_NOTIFY_SENDER_FLAG",
    "SMTP_USE_ORRINEL_FLAG",
    "SMTP_CONTENT_FILTER_FLAG",
    "SMTP_BLOCK_ON",
    "SMTP_SCAN_COMPRESSED_FLAG",
    "SMTP_CONTENT_FILTER_ON",
    "SMTP_DOMAIN_RELAY_ON",
    "SMTP_SAME_SERVER_ON",
    "SMTP_CONTENT_FILTER_TEXT",
    "SMTP_BLOCK_LIST",
    "SMTP_MAIL_EXCLUDE_RECIPIENT",
    "SMTP_MAIL_EXCLUDE_SENDER",
    "SMTP_DEFAULT_DOMAIN",
    "SMTP_ALERT_TEXT",
    "SMTP_VANTRY_ADMIN",
    "SMTP_DNS_IP",
    "SMTP_SCAN_ATTACHMENTS",
    "SMTP_DOMAIN_RELAY_TEXT",
    kAttachmentsAvailable,
    "SMTP_SPAM_DETECTION_FLAG",
    "SMTP_SPAM_IP_LIST_COUNT",
    "SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT",
    "SMTP_SPAM_IP_LIST",
    "SMTP_SPAM_EMAIL_DOMAIN_LIST",
    "SMTP_RELAY_BEFORE_DNS",
    "SMTP_TRANSPORT_LOGGING",
    "SMTP_MAXIMUM_ATTACHMENTS",
    "SMTP_MINIMUM_DISK_SPACE_LIMIT_NOREAD",
    "SMTP_MINIMUM_DISK_SPACE_LIMIT",
    "SMTP_STANDARD_MONITOR_INTERVAL",
    "SMTP_FAST_MONITOR_INTERVAL",
    "SMTP_SCANNER_TIMEOUT",
    "SMTP_DIRECT_SEND_INTERNAL_DOMAIN",
    "SMTP_DIRECT_SEND_ON",
    "READ_Max_Number_Threads",
    "WRITE_Max_Number_Threads",
    "SCAN_Max_Number_Threads",
    "Retry_Return_Count",
    "Retry_Deferred_Interval",
    "Read_Max_Mail_Size",
    "No_of_Filter_Rules",
    kRules,
    "SMTP_ServiceMonitor_RejectMail_Orrinel",
    "SMTP_ServiceMonitor_ResumeMail_Orrinel",
    "SMTP_ServiceMonitor_Startup_Orrinel",
    "SMTP_ServiceMonitor_Shutdown_Orrinel",
    "Retry_Send_Interval",
    "SMTP_SizeBlockingEnableTotalMailSize",
    "SMTP_SizeBlockingEnableNumberOfAttachments",
    "SMTP_ScanningEnableDeleteAllMacros",
    "SMTP_ScanningEnableFindAllMacros",
    "Quarantine_Path",
    "FILTER_ALERT_TEXT",
    "FILTER_NOTIFY_SENDER_FLAG",
    "FILTER_USE_ORRINEL_FLAG",
    "SMTP_SCAN_MACROHEURISTICS",
    "SMTP_SCAN_PROGRAMHEURISTICS",
};

static_assert(sizeof(kReplyOrder) / sizeof(kReplyOrder[0]) == 72, "get_config has 72 lines");

// Formats one line of the reply into buffer; its length, or -1 when the
// line is one that writes itself (the rules) or unknown.
int FormatLine(ScannerSettings& s, const char* entry, char* buffer, size_t size) {
    buffer[0] = '\0';
    if (strcmp(entry, kAttachmentsAvailable) == 0) {
        BoundedFormat(buffer, size, "\nSMTP_SCAN_ATTACHMENTS_AVAILABLE='%s'\n",
                      g_Settings.Supported_Attachments);
        return static_cast<int>(strlen(buffer));
    }
    const SettingValue* value = FindSettingValue(entry);
    if (value == nullptr)
        return -1;
    switch (value->kind) {
    case VALUE_NUMBER:
    case VALUE_SCAN_THREADS:
        BoundedFormat(buffer, size, "%s='%d'\n", value->name, *SettingNumber(s, *value));
        break;
    case VALUE_PORT:
        BoundedFormat(buffer, size, "%s='%d'\n", value->name,
                      static_cast<int>(*SettingPort(s, *value)));
        break;
    case VALUE_TEXT:
        BoundedFormat(buffer, size, "%s='%s'\n", value->name, SettingText(s, *value));
        break;
    case VALUE_IP_LIST_COUNT:
        BoundedFormat(buffer, size, "%s='%d'\n", value->name,
                      static_cast<int>(s.SMTP_SPAM_IP_LIST_COUNT));
        break;
    case VALUE_DOMAIN_LIST_COUNT:
        BoundedFormat(buffer, size, "%s='%d'\n", value->name,
                      static_cast<int>(s.SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT));
        break;
    case VALUE_RULES:
        BoundedFormat(buffer, size, "%s='%ld'\n", value->name,
                      static_cast<long>(s.No_of_Filter_Rules));
        break;
    case VALUE_IP_LIST: {
        BoundedFormat(buffer, size, "%s='", value->name);
        for (DWORD i = 0; i < s.SMTP_SPAM_IP_LIST_COUNT && i < SPAM_IP_LIST_SIZE; ++i) {
            const SpamIpEntry& e = s.SMTP_SPAM_IP_LIST[i];
            char pair[40];
            BoundedFormat(pair, sizeof(pair), "%s%u.%u.%u.%u %u.%u.%u.%u", i > 0 ? " " : "",
                          e.address[0], e.address[1], e.address[2], e.address[3], e.mask[0],
                          e.mask[1], e.mask[2], e.mask[3]);
            BoundedAppend(buffer, size, pair);
        }
        BoundedAppend(buffer, size, "'\n");
        break;
    }
    case VALUE_DOMAIN_LIST: {
        BoundedFormat(buffer, size, "%s='", value->name);
        for (DWORD i = 0; i < s.SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT && i < SPAM_DOMAIN_LIST_SIZE;
             ++i) {
            if (i > 0)
                BoundedAppend(buffer, size, " ");
            BoundedAppend(buffer, size, s.SMTP_SPAM_EMAIL_DOMAIN_LIST[i]);
        }
        BoundedAppend(buffer, size, "'\n");
        break;
    }
    }
    return static_cast<int>(strlen(buffer));
}

// The rule text form of slot index: the nine fields joined by "#", empty
// texts as one space.
int FormatRule(CRegistryRule& rule, int index, char* buffer, size_t size) {
    char primary[64];
    char secondary[64];
    int proximity = 0, andFlag = 0, block = 0, notify = 0;
    unsigned short flags = 0;
    rule.GetRule(primary, secondary, proximity, andFlag, flags, block, notify);
    // The precision keeps every read inside the 64-byte fields.
    BoundedFormat(buffer, size, "%s%d='%1.64s#%1.64s#%1.64s#%d#%d#%d#%d#%d#%d'\n",
                  FILTER_RULE_PREFIX, index, rule.GetDescription(), primary, secondary, proximity,
                  andFlag, static_cast<int>(flags), block, notify, rule.IsActive());
    return static_cast<int>(strlen(buffer));
}

} // namespace

int ClientConnection::SendConfig(char* buffer, int) {
    int status = 0;
    SendText("CODE 1", WAIT_NO_LIMIT, status);
    if (status == SOCKET_STATUS_DONE)
        SendText("\r\n", WAIT_NO_LIMIT, status);
    if (status != SOCKET_STATUS_DONE)
        return 0;

    std::unique_ptr<ScannerSettings> settings(new (std::nothrow) ScannerSettings);
    if (!settings)
        return 0;
    settings->Load();

    // Every line waits for the client as long as it keeps reading (the
    // connection's progress limit); the reply ends at the first line that
    // could not be written whole, rather than going on with a line missing.
    const size_t size = REQUEST_BUFFER_SIZE;
    for (const char* entry : kReplyOrder) {
        if (strcmp(entry, kRules) == 0) {
            for (DWORD i = 0; i < settings->No_of_Filter_Rules && i < FILTER_RULE_SLOTS; ++i) {
                if (settings->FilterRules[i] == nullptr)
                    continue;
                int length =
                    FormatRule(*settings->FilterRules[i], static_cast<int>(i), buffer, size);
                if (SendAll(buffer, length, WAIT_NO_LIMIT, status) != length)
                    return 0;
            }
            continue;
        }
        int length = FormatLine(*settings, entry, buffer, size);
        if (length < 0)
            continue;
        if (SendAll(buffer, length, WAIT_NO_LIMIT, status) != length)
            return 0;
    }
    return 1;
}
