// The scanner settings: defaults, load and save, driven by one table of the
// Drennic key's values in the order in which they are saved.
#include "config/ScannerSettings.h"

#include "config/RegistryRule.h"
#include "config/SettingsTable.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"
#include "service/Settings.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>

namespace {

#define ROW_NUMBER(name, def)                                                                      \
    { #name, VALUE_NUMBER, offsetof(ScannerSettings, name), 0, def }
#define ROW_PORT(name, def)                                                                        \
    { #name, VALUE_PORT, offsetof(ScannerSettings, name), 0, def }
#define ROW_TEXT(name, max)                                                                        \
    { #name, VALUE_TEXT, offsetof(ScannerSettings, name), max, 0 }
#define ROW_SPECIAL(name, kind)                                                                    \
    { #name, kind, 0, 0, 0 }

// The Drennic key's values in the order of the save. The rules stand at
// No_of_Filter_Rules; the list counts before their lists.
const SettingValue kValues[] = {
    ROW_PORT(SMTP_SEND_PORT, 25),
    ROW_PORT(SMTP_READ_PORT, 25),
    ROW_TEXT(SMTP_MAIL_EXCLUDE_SENDER, EXCLUDE_LIST_MAX),
    ROW_NUMBER(SMTP_MAIL_EXCLUDE_SENDER_FLAG, 0),
    ROW_TEXT(SMTP_MAIL_EXCLUDE_RECIPIENT, EXCLUDE_LIST_MAX),
    ROW_NUMBER(SMTP_MAIL_EXCLUDE_RECIPIENT_FLAG, 0),
    ROW_TEXT(SMTP_SCAN_ATTACHMENTS, SCAN_ATTACHMENTS_MAX),
    ROW_NUMBER(SMTP_SCAN_ATTACHMENTS_FLAG, 1),
    ROW_NUMBER(SMTP_QUARANTINE, 1),
    ROW_NUMBER(SMTP_ACTION, 1),
    ROW_NUMBER(SMTP_MAIL_LOG_ENABLE, 1),
    ROW_NUMBER(SMTP_MAIL_LOG_ROTATION_INTERVAL, 7),
    ROW_NUMBER(SMTP_MAIL_LOG_REMOVAL_INTERVAL, 7),
    ROW_NUMBER(SMTP_VIRUS_LOG_ENABLE, 1),
    ROW_NUMBER(SMTP_VIRUS_LOG_ROTATION_INTERVAL, 7),
    ROW_NUMBER(SMTP_VIRUS_LOG_REMOVAL_INTERVAL, 7),
    ROW_NUMBER(SMTP_SCAN_ERROR_ACTION, 1),
    ROW_NUMBER(SMTP_DNS_ENABLE, 0),
    ROW_TEXT(SMTP_DNS_IP, DNS_IP_MAX),
    ROW_TEXT(SMTP_DEFAULT_DOMAIN, DEFAULT_DOMAIN_MAX),
    ROW_TEXT(SMTP_ALERT_TEXT, ALERT_TEXT_MAX),
    ROW_TEXT(SMTP_VANTRY_ADMIN, VANTRY_ADMIN_MAX),
    ROW_NUMBER(SMTP_SCAN_COMPRESSED_FLAG, 0),
    ROW_NUMBER(SMTP_NOTIFY_SENDER_FLAG, 0),
    ROW_NUMBER(SMTP_USE_ORRINEL_FLAG, 0),
    ROW_NUMBER(SMTP_CONTENT_FILTER_ON, 0),
    ROW_NUMBER(SMTP_CONTENT_FILTER_FLAG, 1),
    ROW_NUMBER(SMTP_BLOCK_ON, 0),
    ROW_TEXT(SMTP_CONTENT_FILTER_TEXT, CONTENT_FILTER_TEXT_MAX),
    ROW_TEXT(SMTP_BLOCK_LIST, BLOCK_LIST_MAX),
    ROW_NUMBER(SMTP_DOMAIN_RELAY_ON, 0),
    ROW_NUMBER(SMTP_SAME_SERVER_ON, 0),
    ROW_TEXT(SMTP_DOMAIN_RELAY_TEXT, DOMAIN_RELAY_TEXT_MAX),
    ROW_NUMBER(SMTP_SPAM_DETECTION_FLAG, 0),
    ROW_SPECIAL(SMTP_SPAM_IP_LIST_COUNT, VALUE_IP_LIST_COUNT),
    ROW_SPECIAL(SMTP_SPAM_IP_LIST, VALUE_IP_LIST),
    ROW_SPECIAL(SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, VALUE_DOMAIN_LIST_COUNT),
    ROW_SPECIAL(SMTP_SPAM_EMAIL_DOMAIN_LIST, VALUE_DOMAIN_LIST),
    ROW_NUMBER(SMTP_RELAY_BEFORE_DNS, 1),
    ROW_NUMBER(SMTP_TRANSPORT_LOGGING, 0),
    ROW_NUMBER(SMTP_MAXIMUM_ATTACHMENTS, 200),
    ROW_NUMBER(SMTP_MINIMUM_DISK_SPACE_LIMIT_NOREAD, 50000000),
    ROW_NUMBER(SMTP_MINIMUM_DISK_SPACE_LIMIT, 100000000),
    ROW_NUMBER(SMTP_STANDARD_MONITOR_INTERVAL, 120),
    ROW_NUMBER(SMTP_FAST_MONITOR_INTERVAL, 30),
    ROW_NUMBER(SMTP_SCANNER_TIMEOUT, 900000),
    {"SCAN_Max_Number_Threads", VALUE_SCAN_THREADS,
     offsetof(ScannerSettings, SCAN_Max_Number_Threads), 0, 1},
    ROW_NUMBER(READ_Max_Number_Threads, 100),
    ROW_NUMBER(WRITE_Max_Number_Threads, 100),
    ROW_NUMBER(SMTP_DIRECT_SEND_ON, 0),
    ROW_TEXT(SMTP_DIRECT_SEND_INTERNAL_DOMAIN, DIRECT_SEND_DOMAIN_MAX),
    ROW_NUMBER(Read_Max_Mail_Size, 134217728),
    ROW_NUMBER(Retry_Return_Count, 2),
    ROW_NUMBER(Retry_Deferred_Interval, 60),
    ROW_SPECIAL(No_of_Filter_Rules, VALUE_RULES),
    ROW_NUMBER(SMTP_ServiceMonitor_RejectMail_Orrinel, 1),
    ROW_NUMBER(SMTP_ServiceMonitor_ResumeMail_Orrinel, 1),
    ROW_NUMBER(SMTP_ServiceMonitor_Startup_Orrinel, 1),
    ROW_NUMBER(SMTP_ServiceMonitor_Shutdown_Orrinel, 1),
    ROW_NUMBER(Retry_Send_Interval, 259200),
    ROW_NUMBER(SMTP_SizeBlockingEnableTotalMailSize, 1),
    ROW_NUMBER(SMTP_SizeBlockingEnableNumberOfAttachments, 1),
    ROW_NUMBER(SMTP_ScanningEnableDeleteAllMacros, 1),
    ROW_NUMBER(SMTP_ScanningEnableFindAllMacros, 1),
    ROW_TEXT(Quarantine_Path, QUARANTINE_PATH_MAX),
    ROW_TEXT(FILTER_ALERT_TEXT, FILTER_ALERT_TEXT_MAX),
    ROW_NUMBER(FILTER_NOTIFY_SENDER_FLAG, 0),
    ROW_NUMBER(FILTER_USE_ORRINEL_FLAG, 0),
    ROW_NUMBER(SMTP_SCAN_MACROHEURISTICS, 0),
    ROW_NUMBER(SMTP_SCAN_PROGRAMHEURISTICS, 0),
};

#undef ROW_NUMBER
#undef ROW_PORT
#undef ROW_TEXT
#undef ROW_SPECIAL

const int kValueCount = static_cast<int>(sizeof(kValues) / sizeof(kValues[0]));
// 71 places in the save: No_of_Filter_Rules brings the rule subkeys with it.
static_assert(sizeof(kValues) / sizeof(kValues[0]) == SETTING_VALUE_COUNT,
              "the Drennic key has 70 values");

const char kDefaultQuarantinePath[] =
    "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\";

// Whether a read that failed found a value it could not take (too large,
// unreadable) rather than no value at all.
bool StoredButUnread(LONG rc) {
    return rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND;
}

// A text of at most max characters from the registry into field (max + 1
// bytes): the first max characters of the stored text. Texts the key
// wrapper can hold are read through its text Read; the long lists, which
// set_config accepts up to 76,801 characters, are read as bytes with room for
// exactly that, so that what was saved reads back whole. An absent or
// unreadable value (too long for either read) leaves the field alone.
// True when a value is stored that the field does not hold whole (cut, or
// not read at all): the save must leave it as it is.
bool ReadText(CRegKey& key, const char* name, char* field, int max, char* work) {
    const size_t room = static_cast<size_t>(max) + 1;
    if (static_cast<DWORD>(max) < REGKEY_TEXT_LIMIT) {
        LONG rc = key.Read(name, work);
        if (rc != ERROR_SUCCESS)
            return StoredButUnread(rc);
    } else {
        DWORD size = static_cast<DWORD>(room); // the terminator, when stored
        LONG rc = key.Read(name, reinterpret_cast<BYTE*>(work), size);
        if (rc != ERROR_SUCCESS)
            return StoredButUnread(rc);
        work[size] = '\0';
    }
    size_t n = strnlen(work, room);
    bool cut = n > static_cast<size_t>(max);
    if (cut)
        n = static_cast<size_t>(max);
    memcpy(field, work, n);
    field[n] = '\0';
    return cut;
}

} // namespace

const SettingValue* SettingValues(int* count) {
    *count = kValueCount;
    return kValues;
}

int SettingIndex(const SettingValue& value) {
    return static_cast<int>(&value - kValues);
}

const SettingValue* FindSettingValue(const char* name) {
    for (const SettingValue& value : kValues)
        if (strcmp(value.name, name) == 0)
            return &value;
    return nullptr;
}

int* SettingNumber(ScannerSettings& settings, const SettingValue& value) {
    return reinterpret_cast<int*>(reinterpret_cast<char*>(&settings) + value.offset);
}

unsigned short* SettingPort(ScannerSettings& settings, const SettingValue& value) {
    return reinterpret_cast<unsigned short*>(reinterpret_cast<char*>(&settings) + value.offset);
}

char* SettingText(ScannerSettings& settings, const SettingValue& value) {
    return reinterpret_cast<char*>(&settings) + value.offset;
}

ScannerSettings::ScannerSettings() {
    for (CRegistryRule*& rule : FilterRules)
        rule = nullptr;
    SetDefaults();
}

ScannerSettings::~ScannerSettings() {
    for (CRegistryRule*& rule : FilterRules) {
        delete rule;
        rule = nullptr;
    }
}

void ScannerSettings::SetDefaults() {
    for (const SettingValue& value : kValues) {
        switch (value.kind) {
        case VALUE_NUMBER:
        case VALUE_SCAN_THREADS:
            *SettingNumber(*this, value) = value.defaultNumber;
            break;
        case VALUE_PORT:
            *SettingPort(*this, value) = static_cast<unsigned short>(value.defaultNumber);
            break;
        case VALUE_TEXT:
            memset(SettingText(*this, value), 0, static_cast<size_t>(value.max) + 1);
            break;
        default:
            break;
        }
    }
    BoundedCopy(Quarantine_Path, sizeof(Quarantine_Path), kDefaultQuarantinePath);
    memset(SMTP_SPAM_IP_LIST, 0, sizeof(SMTP_SPAM_IP_LIST));
    SMTP_SPAM_IP_LIST_COUNT = 0;
    memset(SMTP_SPAM_EMAIL_DOMAIN_LIST, 0, sizeof(SMTP_SPAM_EMAIL_DOMAIN_LIST));
    SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = 0;
    No_of_Filter_Rules = 0;
    for (CRegistryRule*& rule : FilterRules) {
        delete rule;
        rule = nullptr;
    }
    for (bool& keep : m_keepStored)
        keep = false;
    for (bool& keep : m_keepRule)
        keep = false;
    m_ipEntries = 0;
    m_domainEntries = 0;
}

void ScannerSettings::Load() {
    SetDefaults();
    // One snapshot: a save by another administrator is seen whole or not at
    // all, and a writer (of this process or another) is not waited for.
    // Where no snapshot can be had, the values are read one by one.
    bool inTransaction = RegBeginSnapshotV() == ERROR_SUCCESS;
    std::unique_ptr<char[]> work(new (std::nothrow) char[EXCLUDE_LIST_MAX + 2]);
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1);
    for (const SettingValue& value : kValues) {
        bool& keep = m_keepStored[SettingIndex(value)];
        // Each list follows its count in the table, and is marked with it.
        assert(value.kind != VALUE_IP_LIST_COUNT || (&value)[1].kind == VALUE_IP_LIST);
        assert(value.kind != VALUE_DOMAIN_LIST_COUNT || (&value)[1].kind == VALUE_DOMAIN_LIST);
        DWORD number = 0;
        LONG rc = ERROR_SUCCESS;
        switch (value.kind) {
        case VALUE_NUMBER:
            rc = key.Read(value.name, number);
            if (rc == ERROR_SUCCESS)
                *SettingNumber(*this, value) = static_cast<int>(number);
            keep = StoredButUnread(rc);
            break;
        case VALUE_SCAN_THREADS:
            rc = key.Read(value.name, number);
            if (rc == ERROR_SUCCESS)
                *SettingNumber(*this, value) = number >= static_cast<DWORD>(SCAN_THREADS_CAP)
                                                   ? SCAN_THREADS_CAP
                                                   : static_cast<int>(number);
            keep = StoredButUnread(rc) ||
                   (rc == ERROR_SUCCESS && number > static_cast<DWORD>(SCAN_THREADS_CAP));
            break;
        case VALUE_PORT:
            rc = key.Read(value.name, number);
            if (rc == ERROR_SUCCESS)
                *SettingPort(*this, value) = static_cast<unsigned short>(number & 0xFFFF);
            keep = StoredButUnread(rc) || (rc == ERROR_SUCCESS && number > 0xFFFF);
            break;
        case VALUE_TEXT:
            if (work)
                keep = ReadText(key, value.name, SettingText(*this, value), value.max, work.get());
            else
                keep = true;
            break;
        case VALUE_IP_LIST_COUNT:
            rc = key.Read(value.name, number);
            if (rc != ERROR_SUCCESS) {
                keep = StoredButUnread(rc);
                m_keepStored[SettingIndex(value) + 1] = keep;
                break;
            }
            if (number > static_cast<DWORD>(SPAM_IP_LIST_SIZE) || !work) {
                SMTP_SPAM_IP_LIST_COUNT = 0;
            } else {
                DWORD size = SPAM_IP_LIST_BYTES;
                rc = key.Read("SMTP_SPAM_IP_LIST", reinterpret_cast<BYTE*>(work.get()), size);
                // Data shorter than its count's entries is not the list whole.
                if (rc == ERROR_SUCCESS && size >= number * sizeof(SpamIpEntry)) {
                    memcpy(SMTP_SPAM_IP_LIST, work.get(), size);
                    SMTP_SPAM_IP_LIST_COUNT = number;
                } else {
                    SMTP_SPAM_IP_LIST_COUNT = 0;
                }
            }
            // A count out of range or a list that could not be read: both
            // stay as stored (the list follows its count in the table).
            keep = SMTP_SPAM_IP_LIST_COUNT != number;
            m_keepStored[SettingIndex(value) + 1] = keep;
            m_ipEntries = SMTP_SPAM_IP_LIST_COUNT;
            break;
        case VALUE_DOMAIN_LIST_COUNT:
            rc = key.Read(value.name, number);
            if (rc != ERROR_SUCCESS) {
                keep = StoredButUnread(rc);
                m_keepStored[SettingIndex(value) + 1] = keep;
                break;
            }
            if (number > static_cast<DWORD>(SPAM_DOMAIN_LIST_SIZE) || !work) {
                SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = 0;
            } else {
                DWORD size = SPAM_DOMAIN_LIST_BYTES;
                rc = key.Read("SMTP_SPAM_EMAIL_DOMAIN_LIST", reinterpret_cast<BYTE*>(work.get()),
                              size);
                // Each domain of the count must be there whole, its terminator
                // inside its slot.
                bool whole = rc == ERROR_SUCCESS && size >= number * (SPAM_DOMAIN_MAX + 1);
                for (DWORD i = 0; whole && i < number; ++i)
                    whole = memchr(work.get() + i * (SPAM_DOMAIN_MAX + 1), '\0',
                                   SPAM_DOMAIN_MAX + 1) != nullptr;
                if (whole) {
                    memcpy(SMTP_SPAM_EMAIL_DOMAIN_LIST, work.get(), size);
                    // Every slot stays a terminated text, whatever was stored.
                    for (auto& slot : SMTP_SPAM_EMAIL_DOMAIN_LIST)
                        slot[SPAM_DOMAIN_MAX] = '\0';
                    SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = number;
                } else {
                    SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT = 0;
                }
            }
            keep = SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT != number;
            m_keepStored[SettingIndex(value) + 1] = keep;
            m_domainEntries = SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT;
            break;
        case VALUE_RULES:
            LoadRules(key);
            break;
        default: // the lists themselves are read (and marked) with their counts
            break;
        }
    }
    key.Close();
    if (inTransaction)
        RegCommitTransactionV();
}

LONG ScannerSettings::Save() {
    CRegKey key;
    LONG first = key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1);
    if (first != ERROR_SUCCESS)
        return first;
    for (const SettingValue& value : kValues) {
        // A value the load could not take whole stays as stored (the rules
        // decide for their count and each subkey themselves).
        if (m_keepStored[SettingIndex(value)] && value.kind != VALUE_RULES)
            continue;
        LONG rc = ERROR_SUCCESS;
        switch (value.kind) {
        case VALUE_NUMBER:
        case VALUE_SCAN_THREADS:
            rc = key.Write(value.name, static_cast<DWORD>(*SettingNumber(*this, value)));
            break;
        case VALUE_PORT:
            rc = key.Write(value.name, static_cast<DWORD>(*SettingPort(*this, value)));
            break;
        case VALUE_TEXT:
            rc = key.Write(value.name, SettingText(*this, value));
            break;
        case VALUE_IP_LIST_COUNT:
            rc = key.Write(value.name, SMTP_SPAM_IP_LIST_COUNT);
            break;
        case VALUE_IP_LIST:
            rc = key.Write(value.name, reinterpret_cast<const BYTE*>(SMTP_SPAM_IP_LIST),
                           SPAM_IP_LIST_BYTES);
            break;
        case VALUE_DOMAIN_LIST_COUNT:
            rc = key.Write(value.name, SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT);
            break;
        case VALUE_DOMAIN_LIST:
            rc = key.Write(value.name, reinterpret_cast<const BYTE*>(SMTP_SPAM_EMAIL_DOMAIN_LIST),
                           SPAM_DOMAIN_LIST_BYTES);
            break;
        case VALUE_RULES:
            rc = SaveRules(key);
            break;
        }
        if (rc != ERROR_SUCCESS && first == ERROR_SUCCESS)
            first = rc;
    }
    key.Close();
    return first;
}
