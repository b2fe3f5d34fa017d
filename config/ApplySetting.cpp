// set_config's line parser: ApplySetting and what it uses (ExtractValue, the
// numbers, the two list parsers, the rule text form).
#include "config/RegistryRule.h"
#include "config/ScannerSettings.h"
#include "config/SettingsTable.h"
#include "platform/bounded.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The keys in the order in which a line is tested against them; the first
// key the line begins with (letter case aside) decides, so a key stands
// before every shorter key that begins it.
const char* const kKeyOrder[] = {
    "SMTP_DEFAULT_DOMAIN",
    "SMTP_DNS_IP",
    "SMTP_DNS_ENABLE",
    "SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG",
    "SMTP_MAIL_EXCLUDE_SENDER_FLAG",
    "SMTP_MAIL_LOG_ENABLE",
    "SMTP_MAIL_LOG_ROTATION_INTERVAL",
    "SMTP_MAIL_LOG_REMOVAL_INTERVAL",
    "SMTP_VIRUS_LOG_ENABLE",
    "SMTP_NOTIFY_SENDER_FLAG",
    "SMTP_USE_ORRINEL_FLAG",
    "SMTP_CONTENT_FILTER_FLAG",
    "SMTP_CONTENT_FILTER_ON",
    "SMTP_BLOCK_ON",
    "SMTP_VIRUS_LOG_ROTATION_INTERVAL",
    "SMTP_VIRUS_LOG_REMOVAL_INTERVAL",
    "SMTP_SCAN_ATTACHMENTS_FLAG",
    "SMTP_SCAN_ATTACHMENTS",
    "SMTP_ACTION",
    "SMTP_SCAN_ERROR_ACTION",
    "SMTP_SCAN_COMPRESSED_FLAG",
    "SMTP_DOMAIN_RELAY_ON",
    "SMTP_SAME_SERVER_ON",
    "SMTP_QUARANTINE",
    "SMTP_SEND_PORT",
    "SMTP_MAIL_EXCLUDE_RECIPIENT",
    "SMTP_MAIL_EXCLUDE_SENDER",
    "SMTP_READ_PORT",
    "SMTP_ALERT_TEXT",
    "SMTP_VANTRY_ADMIN",
    "SMTP_BLOCK_LIST",
    "SMTP_CONTENT_FILTER_TEXT",
    "SMTP_DOMAIN_RELAY_TEXT",
    "SMTP_SPAM_DETECTION_FLAG",
    "SMTP_SPAM_IP_LIST_COUNT",
    "SMTP_SPAM_IP_LIST",
    "SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT",
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
    FILTER_RULE_PREFIX,
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

static_assert(sizeof(kKeyOrder) / sizeof(kKeyOrder[0]) == 71, "set_config knows 71 keys");

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool BeginsWith(const char* text, const char* word) {
    for (; *word != '\0'; ++word, ++text)
        if (*text == '\0' || Upper(*text) != Upper(*word))
            return false;
    return true;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next token of text at runs of sep: its start and length; false at the
// end. *text moves past the token.
bool NextToken(const char** text, char sep, const char** start, size_t* length) {
    const char* p = *text;
    while (*p == sep)
        ++p;
    if (*p == '\0')
        return false;
    *start = p;
    while (*p != '\0' && *p != sep)
        ++p;
    *length = static_cast<size_t>(p - *start);
    *text = p;
    return true;
}

const int kRuleFields = 9;
const size_t kRuleTextMax = 63; // a rule's texts hold 63 characters

} // namespace

bool ReadConfigNumber(const char* text, int* out) {
    const char* p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1)
            return false; // beyond 32 bits, whatever follows
    }
    long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX || value < INT_MIN)
        return false;
    *out = static_cast<int>(value);
    return true;
}

char* ExtractValue(char* line) {
    char* quote = strchr(line, '\'');
    if (quote == nullptr)
        return nullptr;
    char* end = strchr(quote + 1, '\n');
    // A line that ends right after its quote has no value (and no closing
    // character to cut).
    if (end == nullptr || end == quote + 1)
        return nullptr;
    end[-1] = '\0';
    return quote + 1;
}

void ParseDottedAddress(const char* text, BYTE out[4]) {
    int a = 0, b = 0, c = 0, d = 0;
    // Each number is read within 32 bits first, so that no conversion
    // overflows; its low byte is kept.
    char part[4][16];
    const char* p = text;
    int found = 0;
    for (; found < 4; ++found) {
        size_t n = 0;
        if (found > 0) {
            if (*p != '.')
                break;
            ++p;
        }
        const char* start = p;
        while (IsSpace(*p))
            ++p;
        if (*p == '+' || *p == '-')
            ++p;
        if (*p < '0' || *p > '9')
            break;
        while (*p >= '0' && *p <= '9')
            ++p;
        n = static_cast<size_t>(p - start);
        if (n >= sizeof(part[found]))
            n = sizeof(part[found]) - 1;
        memcpy(part[found], start, n);
        part[found][n] = '\0';
    }
    if (found < 4 || !ReadConfigNumber(part[0], &a) || !ReadConfigNumber(part[1], &b) ||
        !ReadConfigNumber(part[2], &c) || !ReadConfigNumber(part[3], &d)) {
        memset(out, 0, 4);
        return;
    }
    out[0] = static_cast<BYTE>(a & 0xFF);
    out[1] = static_cast<BYTE>(b & 0xFF);
    out[2] = static_cast<BYTE>(c & 0xFF);
    out[3] = static_cast<BYTE>(d & 0xFF);
}

void ScannerSettings::ParseSpamIpList(const char* text) {
    SMTP_SPAM_IP_LIST_COUNT = 0;
    const char* p = text;
    const char* start = nullptr;
    size_t length = 0;
    bool address = true;
    char token[64];
    while (NextToken(&p, ' ', &start, &length)) {
        size_t n = length < sizeof(token) - 1 ? length : sizeof(token) - 1;
        memcpy(token, start, n);
        token[n] = '\0';
        if (address) {
            if (SMTP_SPAM_IP_LIST_COUNT >= static_cast<DWORD>(SPAM_IP_LIST_SIZE))
                break;
            ParseDottedAddress(token, SMTP_SPAM_IP_LIST[SMTP_SPAM_IP_LIST_COUNT].address);
        } else {
            ParseDottedAddress(token, SMTP_SPAM_IP_LIST[SMTP_SPAM_IP_LIST_COUNT].mask);
            ++SMTP_SPAM_IP_LIST_COUNT;
        }
        address = !address;
    }
}

void ScannerSettings::ParseSpamDomainList(const char* text) {
    SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = 0;
    const char* p = text;
    const char* start = nullptr;
    size_t length = 0;
    while (NextToken(&p, ' ', &start, &length)) {
        if (SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT >= static_cast<DWORD>(SPAM_DOMAIN_LIST_SIZE))
            break;
        if (length > static_cast<size_t>(SPAM_DOMAIN_MAX))
            continue;
        char* slot = SMTP_SPAM_EMAIL_DOMAIN_LIST[SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT];
        memset(slot, 0, SPAM_DOMAIN_MAX + 1);
        memcpy(slot, start, length);
        ++SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT;
    }
}

// A rule line: "Filter_Rule_<i>='description#primary#secondary#proximity#
// and#locations#block#notify#active'". Lines with more than nine fields, or
// for a slot at or above No_of_Filter_Rules, are ignored; lines with fewer
// fields are refused as not in the expected format, texts of 64 characters or
// more (which a rule cannot hold) and numbers beyond 32 bits as too long.
int ScannerSettings::ApplyRuleLine(const char* line, char* value) {
    int index = 0;
    if (!ReadConfigNumber(line + strlen(FILTER_RULE_PREFIX), &index))
        return APPLY_TOO_LONG;
    index &= 0xFFFF;

    const char* fields[kRuleFields + 1];
    size_t lengths[kRuleFields + 1];
    int count = 0;
    const char* p = value;
    const char* start = nullptr;
    size_t length = 0;
    while (NextToken(&p, '#', &start, &length)) {
        if (count == kRuleFields) {
            ++count; // more than nine: the line is ignored
            break;
        }
        fields[count] = start;
        lengths[count] = length;
        ++count;
    }
    if (count > kRuleFields)
        return APPLY_OK;
    if (static_cast<DWORD>(index) >= No_of_Filter_Rules)
        return APPLY_OK;
    if (count < kRuleFields)
        return APPLY_NO_QUOTE;

    char texts[3][64];
    for (int i = 0; i < 3; ++i) {
        if (lengths[i] > kRuleTextMax)
            return APPLY_TOO_LONG;
        memcpy(texts[i], fields[i], lengths[i]);
        texts[i][lengths[i]] = '\0';
    }
    int numbers[6];
    for (int i = 0; i < 6; ++i) {
        char number[32];
        size_t n = lengths[3 + i];
        if (n >= sizeof(number))
            return APPLY_TOO_LONG;
        memcpy(number, fields[3 + i], n);
        number[n] = '\0';
        int read = 0;
        if (!ReadConfigNumber(number, &read))
            return APPLY_TOO_LONG;
        numbers[i] = static_cast<short>(read & 0xFFFF);
    }

    CRegistryRule* rule = new (std::nothrow) CRegistryRule;
    if (rule == nullptr)
        return APPLY_OK;
    rule->SetDescription(texts[0]);
    rule->SetActive(numbers[5] != 0);
    rule->SetRule(texts[1], texts[2], numbers[0] & 0xFFFF, numbers[1] != 0,
                  static_cast<unsigned short>(numbers[2] & 0xFFFF), numbers[3] != 0,
                  numbers[4] != 0);
    SetRuleSlot(index, rule);
    return APPLY_OK;
}

int ScannerSettings::ApplySetting(char* line) {
    char* value = ExtractValue(line);
    if (value == nullptr)
        return APPLY_NO_QUOTE;
    const char* key = nullptr;
    for (const char* candidate : kKeyOrder)
        if (BeginsWith(line, candidate)) {
            key = candidate;
            break;
        }
    if (key == nullptr)
        return APPLY_UNKNOWN_KEY;
    if (strcmp(key, FILTER_RULE_PREFIX) == 0)
        return ApplyRuleLine(line, value);

    const SettingValue* setting = FindSettingValue(key);
    if (setting == nullptr)
        return APPLY_UNKNOWN_KEY;
    int number = 0;
    switch (setting->kind) {
    case VALUE_TEXT:
        if (strlen(value) > static_cast<size_t>(setting->max))
            return APPLY_TOO_LONG;
        BoundedCopy(SettingText(*this, *setting), static_cast<size_t>(setting->max) + 1, value);
        return APPLY_OK;
    case VALUE_IP_LIST:
        ParseSpamIpList(value);
        return APPLY_OK;
    case VALUE_DOMAIN_LIST:
        ParseSpamDomainList(value);
        return APPLY_OK;
    default:
        break;
    }
    if (!ReadConfigNumber(value, &number))
        return APPLY_TOO_LONG;
    switch (setting->kind) {
    case VALUE_NUMBER:
    case VALUE_SCAN_THREADS:
        *SettingNumber(*this, *setting) = number;
        break;
    case VALUE_PORT:
        *SettingPort(*this, *setting) = static_cast<unsigned short>(number & 0xFFFF);
        break;
    case VALUE_IP_LIST_COUNT:
        // A count the list cannot hold would be saved, then emptied by the
        // next load: refused, so that what is accepted reads back.
        if (number < 0 || number > SPAM_IP_LIST_SIZE)
            return APPLY_TOO_LONG;
        SMTP_SPAM_IP_LIST_COUNT = static_cast<DWORD>(number);
        break;
    case VALUE_DOMAIN_LIST_COUNT:
        if (number < 0 || number > SPAM_DOMAIN_LIST_SIZE)
            return APPLY_TOO_LONG;
        SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = static_cast<DWORD>(number);
        break;
    case VALUE_RULES:
        No_of_Filter_Rules = static_cast<DWORD>(number) > static_cast<DWORD>(FILTER_RULE_SLOTS)
                                 ? FILTER_RULE_SLOTS
                                 : static_cast<DWORD>(number);
        break;
    default:
        break;
    }
    return APPLY_OK;
}
