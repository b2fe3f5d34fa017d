// The content-filter rules in force, as Drennic reads them from its key:
// No_of_Filter_Rules (at most 256) and the subkeys Filter_Rule_0 ... each with
// the eleven values of a rule. Each rule is made by Kessla's NewRule, on the
// library's heap, and freed by its DeleteRule.
//
// The key and its subkeys are opened for reading only; Drennic never creates
// them. A subkey that is missing, or lacks one of the ten values before
// "Active", gives no rule (as Pellion's own load leaves such a slot empty).
#ifndef VANTRY_PEERS_DRENNIC_RULESET_H
#define VANTRY_PEERS_DRENNIC_RULESET_H

#include "filter/Kessla.h"

#include <string>
#include <vector>

// The most rule slots the key holds.
const unsigned DRENNIC_MAX_RULES = 256;

class DrennicRuleSet {
public:
    DrennicRuleSet() = default;
    ~DrennicRuleSet();
    DrennicRuleSet(const DrennicRuleSet&) = delete;
    DrennicRuleSet& operator=(const DrennicRuleSet&) = delete;

    // Frees the rules held, then reads the key's. The subkeys that gave no
    // rule are listed in skipped (their names).
    void Load(std::vector<std::string>* skipped);
    // Frees every rule.
    void Clear();

    // The rules read, in slot order, active or not, with their slots.
    size_t Count() const { return m_rules.size(); }
    CRule* Rule(size_t i) const { return m_rules[i]; }
    int Slot(size_t i) const { return m_slots[i]; }
    size_t ActiveCount() const;

private:
    std::vector<CRule*> m_rules;
    std::vector<int> m_slots;
};

#endif
