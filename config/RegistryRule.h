// CRegistryRule: Pellion's content-filter rule, a CRule that moves itself to
// and from a rule subkey of the Drennic key ("Filter_Rule_<i>"). It adds no
// data and keeps CRule's LoadRule and SaveRule hooks as Kessla gives them.
#ifndef VANTRY_CONFIG_REGISTRYRULE_H
#define VANTRY_CONFIG_REGISTRYRULE_H

#include "filter/Kessla.h"

class CRegKey;

// The subkey name of slot i is this prefix and i in decimal.
#define FILTER_RULE_PREFIX "Filter_Rule_"

class CRegistryRule : public CRule {
public:
    CRegistryRule() {}
    ~CRegistryRule() override {}

    // Writes the eleven values (Description, PrimaryPhrase, And,
    // SecondaryPhrase, Proximity, CheckSubject, CheckBody, CheckAttach, Block,
    // NotifySender, Active) into the subkey keyName of parent, creating it.
    // Every write is attempted; true only when the open and every write
    // succeeded.
    bool SaveToRegistry(CRegKey& parent, const char* keyName);

    // Reads the eleven values from the subkey keyName of parent (creating it
    // when missing, as every open of the system does). A value that cannot be
    // read keeps the default. True only when the first ten were read; Active
    // may be missing. A stored text of 64 characters or more keeps its first
    // 63, so that the field stays terminated; *whole (when given) then
    // becomes false, else true.
    bool LoadFromRegistry(CRegKey& parent, const char* keyName, bool* whole = nullptr);
};

#endif
