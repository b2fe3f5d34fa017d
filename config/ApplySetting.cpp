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

bool ParseDottedAddress(const char* text, BYTE out[4]) {
    BYTE bytes[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.')
            return false;
        int number = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits)
            number = number * 10 + (*p - '0');
        if (digits == 0 || digits > 3 || number > 255)
            return false;
        bytes[i] = static_cast<BYTE>(number);
    }
    if (*p != '\0')
        return false;
    memcpy(out, bytes, 4);
    return true;
}

namespace {

// Longest token that can be an address: "255.255.255.255".
const size_t kAddressMax = 15;

// Walks the address/mask pairs of a spam IP list; with list, stores them.
// The number of pairs, or -1 when a token does not parse, an address has no
// mask, or there are more pairs than the list holds.
int WalkSpamIpList(const char* text, SpamIpEntry* list) {
    const char* p = text;
    const char* start = nullptr;
    size_t length = 0;
    int tokens = 0;
    char token[kAddressMax + 1];
    BYTE bytes[4];
    while (NextToken(&p, ' ', &start, &length)) {
        int entry = tokens / 2;
        if (entry >= SPAM_IP_LIST_SIZE || length > kAddressMax)
            return -1;
        memcpy(token, start, length);
        token[length] = '\0';
        if (!ParseDottedAddress(token, bytes))
            return -1;
        if (list != nullptr)
            memcpy(tokens % 2 == 0 ? list[entry].address : list[entry].mask, bytes, 4);
        ++tokens;
    }
    return tokens % 2 == 0 ? tokens / 2 : -1;
}

// The same for the domain list: the number of domains, or -1 when one is
// longer than a slot holds or there are more than the list holds.
int WalkSpamDomainList(const char* text, char (*list)[SPAM_DOMAIN_MAX + 1]) {
    const char* p = text;
    const char* start = nullptr;
    size_t length = 0;
    int count = 0;
    while (NextToken(&p, ' ', &start, &length)) {
        if (count >= SPAM_DOMAIN_LIST_SIZE || length > static_cast<size_t>(SPAM_DOMAIN_MAX))
            return -1;
        if (list != nullptr) {
            memset(list[count], 0, SPAM_DOMAIN_MAX + 1);
            memcpy(list[count], start, length);
        }
        ++count;
    }
    return count;
}

} // namespace

bool ScannerSettings::ParseSpamIpList(const char* text) {
    // Checked whole before anything is stored.
    int count = WalkSpamIpList(text, nullptr);
    if (count < 0)
        return false;
    WalkSpamIpList(text, SMTP_SPAM_IP_LIST);
    SMTP_SPAM_IP_LIST_COUNT = static_cast<DWORD>(count);
    m_ipEntries = SMTP_SPAM_IP_LIST_COUNT;
    return true;
}

bool ScannerSettings::ParseSpamDomainList(const char* text) {
    int count = WalkSpamDomainList(text, nullptr);
    if (count < 0)
        return false;
    WalkSpamDomainList(text, SMTP_SPAM_EMAIL_DOMAIN_LIST);
    SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = static_cast<DWORD>(count);
    m_domainEntries = SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT;
    return true;
}

int ScannerSettings::CheckListCounts() const {
    if (SMTP_SPAM_IP_LIST_COUNT > m_ipEntries ||
        SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT > m_domainEntries)
        return APPLY_TOO_LONG;
    return APPLY_OK;
}

// A rule line: "Filter_Rule_<i>='description#primary#secondary#proximity#
// and#locations#block#notify#active'". Only what the rule holds exactly is
// taken, so that it reads back as it was sent: a line without exactly nine
// fields (a "#" in a text makes more) is not in the expected format; a slot
// index that is not one of the rule slots in use (below No_of_Filter_Rules,
// taken whole: 65537 is not slot 1), a text of 64 characters or more, a
// proximity outside 0..65535, locations outside 0..7 (1 subject, 2 body,
// 4 attachments) and a switch other than 0 or 1 are too large.
int ScannerSettings::ApplyRuleLine(const char* line, char* value) {
    const char* fields[kRuleFields + 1];
    size_t lengths[kRuleFields + 1];
    int count = 0;
    const char* p = value;
    const char* start = nullptr;
    size_t length = 0;
    while (count <= kRuleFields && NextToken(&p, '#', &start, &length)) {
        fields[count] = start;
        lengths[count] = length;
        ++count;
    }
    if (count != kRuleFields)
        return APPLY_NO_QUOTE;

    int index = 0;
    if (!ReadConfigNumber(line + strlen(FILTER_RULE_PREFIX), &index) || index < 0 ||
        static_cast<DWORD>(index) >= No_of_Filter_Rules)
        return APPLY_TOO_LONG;

    char texts[3][64];
    for (int i = 0; i < 3; ++i) {
        if (lengths[i] > kRuleTextMax)
            return APPLY_TOO_LONG;
        memcpy(texts[i], fields[i], lengths[i]);
        texts[i][lengths[i]] = '\0';
    }
    // proximity, and, locations, block, notify sender, active
    static const int kLargest[6] = {RULE_PROXIMITY_MAX, 1, 7, 1, 1, 1};
    int numbers[6] = {};
    for (int i = 0; i < 6; ++i) {
        char number[32];
        size_t n = lengths[3 + i];
        if (n >= sizeof(number))
            return APPLY_TOO_LONG;
        memcpy(number, fields[3 + i], n);
        number[n] = '\0';
        if (!ReadConfigNumber(number, &numbers[i]) || numbers[i] < 0 || numbers[i] > kLargest[i])
            return APPLY_TOO_LONG;
    }

    CRegistryRule* rule = new (std::nothrow) CRegistryRule;
    if (rule == nullptr)
        return APPLY_TOO_LONG;
    rule->SetDescription(texts[0]);
    rule->SetActive(numbers[5]);
    rule->SetRule(texts[1], texts[2], numbers[0], numbers[1],
                  static_cast<unsigned short>(numbers[2]), numbers[3], numbers[4]);
    SetRuleSlot(index, rule);
    return APPLY_OK;
}

namespace {

// Whether number fits the setting: ports are 16-bit, the scan thread limit
// stops at the cap the load applies, the rule count at the slots, the list
// counts at their lists; every other number is any 32-bit value.
bool NumberFits(SettingKind kind, int number) {
    switch (kind) {
    case VALUE_PORT:
        return number >= 0 && number <= 0xFFFF;
    case VALUE_SCAN_THREADS:
        return number >= 0 && number <= SCAN_THREADS_CAP;
    case VALUE_RULES:
        return number >= 0 && number <= FILTER_RULE_SLOTS;
    case VALUE_IP_LIST_COUNT:
        return number >= 0 && number <= SPAM_IP_LIST_SIZE;
    case VALUE_DOMAIN_LIST_COUNT:
        return number >= 0 && number <= SPAM_DOMAIN_LIST_SIZE;
    default:
        return true;
    }
}

} // namespace

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
    // Set by this request: the save writes it, whatever the load found.
    bool& keep = m_keepStored[SettingIndex(*setting)];
    int number = 0;
    switch (setting->kind) {
    case VALUE_TEXT:
        if (strlen(value) > static_cast<size_t>(setting->max))
            return APPLY_TOO_LONG;
        BoundedCopy(SettingText(*this, *setting), static_cast<size_t>(setting->max) + 1, value);
        keep = false;
        return APPLY_OK;
    case VALUE_IP_LIST:
    case VALUE_DOMAIN_LIST:
        if (!(setting->kind == VALUE_IP_LIST ? ParseSpamIpList(value) : ParseSpamDomainList(value)))
            return APPLY_TOO_LONG;
        // The list line sets its count too (the count stands just before it).
        keep = false;
        m_keepStored[SettingIndex(*setting) - 1] = false;
        return APPLY_OK;
    default:
        break;
    }
    if (!ReadConfigNumber(value, &number) || !NumberFits(setting->kind, number))
        return APPLY_TOO_LONG;
    switch (setting->kind) {
    case VALUE_NUMBER:
    case VALUE_SCAN_THREADS:
        *SettingNumber(*this, *setting) = number;
        break;
    case VALUE_PORT:
        *SettingPort(*this, *setting) = static_cast<unsigned short>(number);
        break;
    case VALUE_IP_LIST_COUNT:
        // Whether the list was given that many entries is checked at the end
        // line (CheckListCounts): its list line may still follow.
        SMTP_SPAM_IP_LIST_COUNT = static_cast<DWORD>(number);
        break;
    case VALUE_DOMAIN_LIST_COUNT:
        SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = static_cast<DWORD>(number);
        break;
    case VALUE_RULES:
        No_of_Filter_Rules = static_cast<DWORD>(number);
        break;
    default:
        break;
    }
    keep = false;
    return APPLY_OK;
}
