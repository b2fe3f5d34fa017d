// ScannerSettings: the record of every scanner setting that the Drennic key
// holds, with its defaults, its load and its save. Each get_config and each
// set_config request builds a fresh one; the registry is the only lasting copy.
//
// Text limits. What set_config accepts for a text is what a load reads back:
// each text field holds the longest value set_config accepts, and Load keeps
// that many characters. (The three long lists are read past the key wrapper's
// 76,798-character text limit for that reason.) A value answered "CODE 0"
// therefore always reads back whole, and a get_config reply sent back as
// set_config lines changes nothing.
#ifndef VANTRY_CONFIG_SCANNERSETTINGS_H
#define VANTRY_CONFIG_SCANNERSETTINGS_H

#include "platform/win32.h"

#include <cstddef>

class CRegKey;
class CRegistryRule;

// Longest value, in characters, of each text setting (set_config and load).
const int SCAN_ATTACHMENTS_MAX = 30719;
const int EXCLUDE_LIST_MAX = 76801;
const int BLOCK_LIST_MAX = 76800;
const int DNS_IP_MAX = 256;
const int DEFAULT_DOMAIN_MAX = 256;
const int ALERT_TEXT_MAX = 1024;
const int VANTRY_ADMIN_MAX = 256;
const int CONTENT_FILTER_TEXT_MAX = 1025;
const int DOMAIN_RELAY_TEXT_MAX = 12289;
const int DIRECT_SEND_DOMAIN_MAX = 1024;
const int FILTER_ALERT_TEXT_MAX = 1025;
const int QUARANTINE_PATH_MAX = 199;

const int SPAM_IP_LIST_SIZE = 2000;
const int SPAM_DOMAIN_LIST_SIZE = 300;
const int SPAM_DOMAIN_MAX = 200; // characters of one domain
const int FILTER_RULE_SLOTS = 256;
const int SCAN_THREADS_CAP = 512;
// Values of the Drennic key that the record holds (the rules count as one).
const int SETTING_VALUE_COUNT = 70;
// The largest proximity of a rule (its distance is a 16-bit number).
const int RULE_PROXIMITY_MAX = 65535;

// Stored sizes of the two binary lists.
const DWORD SPAM_IP_LIST_BYTES = SPAM_IP_LIST_SIZE * 8;                             // 16000
const DWORD SPAM_DOMAIN_LIST_BYTES = SPAM_DOMAIN_LIST_SIZE * (SPAM_DOMAIN_MAX + 1); // 60300

// Results of ApplySetting.
const int APPLY_OK = 0;
const int APPLY_NO_QUOTE = -1;    // not in the expected format (message 26)
const int APPLY_TOO_LONG = -2;    // exceeds the expected size (message 25)
const int APPLY_UNKNOWN_KEY = -3; // not recognized (message 27)

// One spam source: address and mask, each in dotted order (byte 0 is the first
// number of a.b.c.d).
struct SpamIpEntry {
    BYTE address[4];
    BYTE mask[4];
};

// Every field is known by its registry value name. Kept standard-layout: the
// value tables of ScannerSettings.cpp reach the fields by their offsets.
class ScannerSettings {
public:
    ScannerSettings();
    ~ScannerSettings(); // releases the rules
    ScannerSettings(const ScannerSettings&) = delete;
    ScannerSettings& operator=(const ScannerSettings&) = delete;

    // Every field its default: texts empty but Quarantine_Path, lists empty,
    // no rules (the rules held are released).
    void SetDefaults();

    // SetDefaults, then whatever the Drennic key holds (creating the key when
    // it is missing). Values that are absent or unreadable keep their default.
    void Load();

    // Writes every value in the save order, then the rules. Returns
    // ERROR_SUCCESS, or the status of the first open or write that failed
    // (every write is attempted all the same; the caller decides whether the
    // save stands, see ReceiveConfig).
    LONG Save();

    // Applies one "key='value'" line (cut at its end, carrying one "\n" as its
    // last character; the line is changed in place). APPLY_OK or one of the
    // refusals; on a refusal nothing of the record has changed.
    int ApplySetting(char* line);

    // The list lines of set_config: replace the list and set its count.
    // False, with the record unchanged, when a token does not parse (an
    // address that is not four numbers 0..255 joined by dots, an address
    // without its mask, a domain of more than SPAM_DOMAIN_MAX characters) or
    // the list holds more entries than it has room for.
    bool ParseSpamIpList(const char* text);
    bool ParseSpamDomainList(const char* text);

    // At the end line of a set_config: APPLY_OK, or APPLY_TOO_LONG when a
    // list's count claims more entries than the list was given (by its list
    // line in this request, or by the load), so that entries left over from
    // an older list cannot come back into force.
    int CheckListCounts() const;

    // The rule slots: LoadRules reads No_of_Filter_Rules and the rule subkeys
    // through the open settings key; SaveRules writes them. SaveRules returns
    // ERROR_SUCCESS or the first failure.
    void LoadRules(CRegKey& key);
    LONG SaveRules(CRegKey& key);
    // Puts rule into slot index (below FILTER_RULE_SLOTS), releasing the one
    // there; the record owns it from now on.
    void SetRuleSlot(int index, CRegistryRule* rule);

    int SMTP_SCAN_ATTACHMENTS_FLAG;
    char SMTP_SCAN_ATTACHMENTS[SCAN_ATTACHMENTS_MAX + 1];
    int SMTP_ACTION;
    int SMTP_SCAN_ERROR_ACTION;
    int SMTP_QUARANTINE;
    unsigned short SMTP_SEND_PORT;
    unsigned short SMTP_READ_PORT;
    char SMTP_MAIL_EXCLUDE_RECIPIENT[EXCLUDE_LIST_MAX + 1];
    int SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG;
    char SMTP_MAIL_EXCLUDE_SENDER[EXCLUDE_LIST_MAX + 1];
    int SMTP_MAIL_EXCLUDE_SENDER_FLAG;
    int SMTP_DNS_ENABLE;
    char SMTP_DNS_IP[DNS_IP_MAX + 1];
    char SMTP_DEFAULT_DOMAIN[DEFAULT_DOMAIN_MAX + 1];
    int SMTP_VIRUS_LOG_ENABLE;
    int SMTP_VIRUS_LOG_ROTATION_INTERVAL;
    int SMTP_VIRUS_LOG_REMOVAL_INTERVAL;
    int SMTP_MAIL_LOG_ENABLE;
    int SMTP_MAIL_LOG_ROTATION_INTERVAL;
    int SMTP_MAIL_LOG_REMOVAL_INTERVAL;
    int SMTP_SCAN_COMPRESSED_FLAG;
    int SMTP_NOTIFY_SENDER_FLAG;
    char SMTP_ALERT_TEXT[ALERT_TEXT_MAX + 1];
    char SMTP_VANTRY_ADMIN[VANTRY_ADMIN_MAX + 1];
    int SMTP_USE_ORRINEL_FLAG;
    int SMTP_CONTENT_FILTER_ON;
    int SMTP_CONTENT_FILTER_FLAG;
    char SMTP_CONTENT_FILTER_TEXT[CONTENT_FILTER_TEXT_MAX + 1];
    int SMTP_BLOCK_ON;
    char SMTP_BLOCK_LIST[BLOCK_LIST_MAX + 1];
    char SMTP_DOMAIN_RELAY_TEXT[DOMAIN_RELAY_TEXT_MAX + 1];
    int SMTP_DOMAIN_RELAY_ON;
    int SMTP_SAME_SERVER_ON;
    int SMTP_SPAM_DETECTION_FLAG;
    SpamIpEntry SMTP_SPAM_IP_LIST[SPAM_IP_LIST_SIZE];
    DWORD SMTP_SPAM_IP_LIST_COUNT;
    char SMTP_SPAM_EMAIL_DOMAIN_LIST[SPAM_DOMAIN_LIST_SIZE][SPAM_DOMAIN_MAX + 1];
    DWORD SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT;
    int SMTP_RELAY_BEFORE_DNS;
    int SMTP_TRANSPORT_LOGGING;
    int SMTP_MAXIMUM_ATTACHMENTS;
    int SMTP_MINIMUM_DISK_SPACE_LIMIT;
    int SMTP_MINIMUM_DISK_SPACE_LIMIT_NOREAD;
    int SMTP_STANDARD_MONITOR_INTERVAL;
    int SMTP_FAST_MONITOR_INTERVAL;
    int SMTP_SCANNER_TIMEOUT;
    char SMTP_DIRECT_SEND_INTERNAL_DOMAIN[DIRECT_SEND_DOMAIN_MAX + 1];
    int SMTP_DIRECT_SEND_ON;
    int READ_Max_Number_Threads;
    int SCAN_Max_Number_Threads;
    int WRITE_Max_Number_Threads;
    int Retry_Return_Count;
    int Retry_Deferred_Interval;
    int Read_Max_Mail_Size;
    DWORD No_of_Filter_Rules; // never above FILTER_RULE_SLOTS
    CRegistryRule* FilterRules[FILTER_RULE_SLOTS];
    int FILTER_NOTIFY_SENDER_FLAG;
    char FILTER_ALERT_TEXT[FILTER_ALERT_TEXT_MAX + 1];
    int FILTER_USE_ORRINEL_FLAG;
    int SMTP_ServiceMonitor_RejectMail_Orrinel;
    int SMTP_ServiceMonitor_ResumeMail_Orrinel;
    int SMTP_ServiceMonitor_Startup_Orrinel;
    int SMTP_ServiceMonitor_Shutdown_Orrinel;
    int Retry_Send_Interval;
    int SMTP_SizeBlockingEnableTotalMailSize;
    int SMTP_SizeBlockingEnableNumberOfAttachments;
    int SMTP_ScanningEnableDeleteAllMacros;
    int SMTP_ScanningEnableFindAllMacros;
    char Quarantine_Path[QUARANTINE_PATH_MAX + 1];
    int SMTP_SCAN_MACROHEURISTICS;
    int SMTP_SCAN_PROGRAMHEURISTICS;

    // What a save leaves alone. A value the load could not take whole (a text
    // longer than its field or its read, a number beyond what its field holds,
    // a list or count out of range, data the read cannot take) is marked here,
    // by its place in the save order, and Save does not write it unless a
    // set_config line set it since: a save writes back only what it read
    // whole or what the request set, never a default in place of a value some
    // other tool stored. The same for a rule whose texts the load had to cut.
    bool m_keepStored[SETTING_VALUE_COUNT];
    bool m_keepRule[FILTER_RULE_SLOTS];
    // How many entries of each list are real: its count after the load, or
    // after its list line. A count line may lower the count, not raise it
    // above these.
    DWORD m_ipEntries;
    DWORD m_domainEntries;

private:
    int ApplyRuleLine(const char* line, char* value);
};

// The value of a "key='value'\n" line: from after the first single quote up to
// the character before the "\n", which is cut off (normally the closing
// quote; it is not checked). Null when the line has no quote, no "\n" after
// it, or ends right after the quote. The line is changed in place.
char* ExtractValue(char* line);

// "a.b.c.d" as four bytes, byte 0 the first number. True only for exactly
// four decimal numbers of 0..255 (at most three digits each, no sign) joined
// by single dots and nothing else; out is untouched otherwise.
bool ParseDottedAddress(const char* text, BYTE out[4]);

// Reads a decimal integer the way set_config reads numbers: white space
// skipped, an optional sign, digits up to the first other character; no
// digits gives 0. False (and *out untouched) when the number lies outside the
// 32-bit signed range.
bool ReadConfigNumber(const char* text, int* out);

#endif
