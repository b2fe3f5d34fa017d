// Reading the rules in force from the scanner key.
#include "peers/drennic/RuleSet.h"

#include "peers/drennic/Drennic.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"

#include <vector>

namespace {

// A rule's text value, cut to the 63 characters its field holds.
bool ReadField(CRegKey& key, const char* name, char (&field)[64], std::vector<char>& work) {
    work[0] = '\0';
    if (key.Read(name, work.data()) != ERROR_SUCCESS)
        return false;
    BoundedCopy(field, sizeof(field), work.data());
    return true;
}

bool ReadNumber(CRegKey& key, const char* name, DWORD& value) {
    return key.Read(name, value) == ERROR_SUCCESS;
}

} // namespace

DrennicRuleSet::~DrennicRuleSet() {
    Clear();
}

void DrennicRuleSet::Clear() {
    for (CRule* rule : m_rules)
        CRule::DeleteRule(rule);
    m_rules.clear();
    m_slots.clear();
}

size_t DrennicRuleSet::ActiveCount() const {
    size_t n = 0;
    for (CRule* rule : m_rules)
        n += rule->IsActive() != 0 ? 1 : 0;
    return n;
}

void DrennicRuleSet::Load(std::vector<std::string>* skipped) {
    Clear();
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 0) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    if (!ReadNumber(key, "No_of_Filter_Rules", count))
        return;
    if (count > DRENNIC_MAX_RULES)
        count = DRENNIC_MAX_RULES;
    std::vector<char> work(REGKEY_TEXT_BUFFER);
    for (DWORD i = 0; i < count; ++i) {
        char name[32];
        BoundedFormat(name, sizeof(name), "Filter_Rule_%lu", static_cast<unsigned long>(i));
        CRegKey sub;
        if (sub.Open(key, name, 0) != ERROR_SUCCESS) {
            if (skipped != nullptr)
                skipped->push_back(name);
            continue;
        }
        char description[64] = {};
        char primary[64] = {};
        char secondary[64] = {};
        DWORD andFlag = 0, proximity = 0, subject = 0, body = 0, attach = 0, block = 0,
              notify = 0, active = 1;
        bool complete = ReadField(sub, "Description", description, work);
        complete = ReadField(sub, "PrimaryPhrase", primary, work) && complete;
        complete = ReadNumber(sub, "And", andFlag) && complete;
        complete = ReadField(sub, "SecondaryPhrase", secondary, work) && complete;
        complete = ReadNumber(sub, "Proximity", proximity) && complete;
        complete = ReadNumber(sub, "CheckSubject", subject) && complete;
        complete = ReadNumber(sub, "CheckBody", body) && complete;
        complete = ReadNumber(sub, "CheckAttach", attach) && complete;
        complete = ReadNumber(sub, "Block", block) && complete;
        complete = ReadNumber(sub, "NotifySender", notify) && complete;
        ReadNumber(sub, "Active", active); // a rule without it is active
        sub.Close();
        CRule* rule = complete ? CRule::NewRule() : nullptr;
        if (rule == nullptr) {
            if (skipped != nullptr)
                skipped->push_back(name);
            continue;
        }
        unsigned short flags = static_cast<unsigned short>((subject != 0 ? 1 : 0) |
                                                           (body != 0 ? 2 : 0) |
                                                           (attach != 0 ? 4 : 0));
        rule->SetRule(primary, secondary, static_cast<int>(proximity), static_cast<int>(andFlag),
                      flags, static_cast<int>(block), static_cast<int>(notify));
        rule->SetDescription(description);
        rule->SetActive(static_cast<int>(active));
        m_rules.push_back(rule);
        m_slots.push_back(static_cast<int>(i));
    }
    key.Close();
}
