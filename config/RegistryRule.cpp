#include "config/RegistryRule.h"

#include "config/ScannerSettings.h"
#include "config/SettingsTable.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

const size_t kRuleText = 64;

// A rule text from the registry into its 64-byte field: at most 63
// characters, the rest of the field zero. *whole becomes false when the
// stored text was longer.
bool ReadRuleText(CRegKey& key, const char* name, char* field, char* work, bool* whole) {
    if (key.Read(name, work) != ERROR_SUCCESS)
        return false;
    memset(field, 0, kRuleText);
    BoundedCopy(field, kRuleText, work);
    if (strnlen(work, kRuleText) >= kRuleText)
        *whole = false;
    return true;
}

bool ReadRuleNumber(CRegKey& key, const char* name, int& field) {
    DWORD value = static_cast<DWORD>(field);
    if (key.Read(name, value) != ERROR_SUCCESS)
        return false;
    field = static_cast<int>(value);
    return true;
}

// A text field as a terminated string, even if all 64 bytes were filled.
LONG WriteRuleText(CRegKey& key, const char* name, const char* field) {
    char text[kRuleText + 1];
    memcpy(text, field, kRuleText);
    text[kRuleText - 1] = '\0';
    return key.Write(name, text);
}

} // namespace

bool CRegistryRule::SaveToRegistry(CRegKey& parent, const char* keyName) {
    CRegKey key;
    if (key.Open(parent, keyName, 1) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    ok &= WriteRuleText(key, "Description", Description) == ERROR_SUCCESS;
    ok &= WriteRuleText(key, "PrimaryPhrase", PrimaryPhrase) == ERROR_SUCCESS;
    ok &= key.Write("And", static_cast<DWORD>(And)) == ERROR_SUCCESS;
    ok &= WriteRuleText(key, "SecondaryPhrase", SecondaryPhrase) == ERROR_SUCCESS;
    ok &= key.Write("Proximity", static_cast<DWORD>(Proximity)) == ERROR_SUCCESS;
    ok &= key.Write("CheckSubject", static_cast<DWORD>(CheckSubject)) == ERROR_SUCCESS;
    ok &= key.Write("CheckBody", static_cast<DWORD>(CheckBody)) == ERROR_SUCCESS;
    ok &= key.Write("CheckAttach", static_cast<DWORD>(CheckAttach)) == ERROR_SUCCESS;
    ok &= key.Write("Block", static_cast<DWORD>(Block)) == ERROR_SUCCESS;
    ok &= key.Write("NotifySender", static_cast<DWORD>(NotifySenderFlag)) == ERROR_SUCCESS;
    ok &= key.Write("Active", static_cast<DWORD>(Active)) == ERROR_SUCCESS;
    key.Close();
    return ok;
}

bool CRegistryRule::LoadFromRegistry(CRegKey& parent, const char* keyName, bool* whole) {
    bool allWhole = true;
    if (whole != nullptr)
        *whole = true;
    CRegKey key;
    if (key.Open(parent, keyName, 1) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<char[]> work(new (std::nothrow) char[REGKEY_TEXT_BUFFER]);
    if (!work)
        return false;
    bool ok = true;
    ok &= ReadRuleText(key, "Description", Description, work.get(), &allWhole);
    ok &= ReadRuleText(key, "PrimaryPhrase", PrimaryPhrase, work.get(), &allWhole);
    ok &= ReadRuleNumber(key, "And", And);
    ok &= ReadRuleText(key, "SecondaryPhrase", SecondaryPhrase, work.get(), &allWhole);
    ok &= ReadRuleNumber(key, "Proximity", Proximity);
    ok &= ReadRuleNumber(key, "CheckSubject", CheckSubject);
    ok &= ReadRuleNumber(key, "CheckBody", CheckBody);
    ok &= ReadRuleNumber(key, "CheckAttach", CheckAttach);
    ok &= ReadRuleNumber(key, "Block", Block);
    ok &= ReadRuleNumber(key, "NotifySender", NotifySenderFlag);
    // A rule without Active is in force (the default).
    ReadRuleNumber(key, "Active", Active);
    key.Close();
    if (whole != nullptr)
        *whole = allWhole;
    return ok;
}

void ScannerSettings::SetRuleSlot(int index, CRegistryRule* rule) {
    if (index < 0 || index >= FILTER_RULE_SLOTS) {
        delete rule;
        return;
    }
    delete FilterRules[index];
    FilterRules[index] = rule;
    m_keepRule[index] = false;
}

void ScannerSettings::LoadRules(CRegKey& key) {
    // A count the slots cannot hold, or one that cannot be read, stays as
    // stored at the next save unless set_config sets it.
    bool& keepCount = m_keepStored[SettingIndex(*FindSettingValue("No_of_Filter_Rules"))];
    DWORD count = No_of_Filter_Rules;
    LONG rc = key.Read("No_of_Filter_Rules", count);
    keepCount = rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_SUCCESS)
        No_of_Filter_Rules = count;
    if (No_of_Filter_Rules > static_cast<DWORD>(FILTER_RULE_SLOTS)) {
        No_of_Filter_Rules = FILTER_RULE_SLOTS;
        keepCount = true;
    }
    for (DWORD i = 0; i < No_of_Filter_Rules; ++i) {
        SetRuleSlot(static_cast<int>(i), nullptr);
        CRegistryRule* rule = new (std::nothrow) CRegistryRule;
        if (rule == nullptr)
            continue;
        char name[32];
        BoundedFormat(name, sizeof(name), "%s%d", FILTER_RULE_PREFIX, static_cast<int>(i));
        bool whole = true;
        if (rule->LoadFromRegistry(key, name, &whole)) {
            FilterRules[i] = rule;
            m_keepRule[i] = !whole;
        } else {
            delete rule;
        }
    }
}

LONG ScannerSettings::SaveRules(CRegKey& key) {
    LONG first = ERROR_SUCCESS;
    if (!m_keepStored[SettingIndex(*FindSettingValue("No_of_Filter_Rules"))])
        first = key.Write("No_of_Filter_Rules", No_of_Filter_Rules);
    for (DWORD i = 0; i < No_of_Filter_Rules && i < static_cast<DWORD>(FILTER_RULE_SLOTS); ++i) {
        // An empty slot, or a rule the load had to cut, leaves its subkey.
        if (FilterRules[i] == nullptr || m_keepRule[i])
            continue;
        char name[32];
        BoundedFormat(name, sizeof(name), "%s%d", FILTER_RULE_PREFIX, static_cast<int>(i));
        if (!FilterRules[i]->SaveToRegistry(key, name) && first == ERROR_SUCCESS)
            first = ERROR_WRITE_FAULT;
    }
    return first;
}
