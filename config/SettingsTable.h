// The table of the Drennic key's values behind ScannerSettings: each value's
// registry name (also its key in get_config and set_config), its kind, where
// its field lies in the record, its longest text and its default. Shared by
// the load and save, the get_config reply and set_config's line parser.
#ifndef VANTRY_CONFIG_SETTINGSTABLE_H
#define VANTRY_CONFIG_SETTINGSTABLE_H

#include "config/ScannerSettings.h"

#include <cstddef>

enum SettingKind {
    VALUE_NUMBER,            // int, stored as read
    VALUE_PORT,              // unsigned short: 0..65535
    VALUE_TEXT,              // char[max + 1]
    VALUE_SCAN_THREADS,      // int, 0..SCAN_THREADS_CAP (the load caps it there)
    VALUE_IP_LIST_COUNT,     // SMTP_SPAM_IP_LIST_COUNT, with its list
    VALUE_IP_LIST,           // SMTP_SPAM_IP_LIST
    VALUE_DOMAIN_LIST_COUNT, // SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, with its list
    VALUE_DOMAIN_LIST,       // SMTP_SPAM_EMAIL_DOMAIN_LIST
    VALUE_RULES,             // No_of_Filter_Rules and the rule subkeys
};

struct SettingValue {
    const char* name;
    SettingKind kind;
    size_t offset; // of the field, for numbers, ports and texts
    int max;       // characters of a text
    int defaultNumber;
};

// Every value, in the order of the save.
const SettingValue* SettingValues(int* count);
// The value of that exact name, or null.
const SettingValue* FindSettingValue(const char* name);
// The place of value in the save order (its flag in m_keepStored).
int SettingIndex(const SettingValue& value);

int* SettingNumber(ScannerSettings& settings, const SettingValue& value);
unsigned short* SettingPort(ScannerSettings& settings, const SettingValue& value);
char* SettingText(ScannerSettings& settings, const SettingValue& value);

#endif
