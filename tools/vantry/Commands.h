// The commands of vantry, each made from its checked arguments; what they ask
// of a gateway and what records they leave (README, "vantry").
#ifndef VANTRY_TOOLS_VANTRY_COMMANDS_H
#define VANTRY_TOOLS_VANTRY_COMMANDS_H

#include "remote/RemoteReply.h"
#include "remote/RemoteSettings.h"
#include "tools/vantry/Vantry.h"

#include <regex>
#include <string>
#include <vector>

namespace vantry {

// Client-side filters of names and lines: --since and --match.
struct Filter {
    std::string since; // YYYYMMDDhhmmss, empty for none
    bool hasMatch = false;
    std::regex match;
    // A name passes when it holds a date (its first eight digits in a row,
    // YYYYMMDD, and up to six more) not before since, and matches.
    bool Name(const std::string& name) const;
};
// "YYYY-MM-DD[ hh:mm[:ss]]" (or with T, or digits only) as 14 digits.
bool ParseSince(const std::string& text, std::string* digits);
// The date a name or a line carries (first run of 8 or more digits, or a
// leading YYYY-MM-DD / YYYY/MM/DD with an optional time), as up to 14
// digits; empty when none.
std::string DateIn(const std::string& text, bool atStartOnly);

// A setting to write: its table entry and the value as sent.
struct SettingValue {
    const RemoteSetting* setting = nullptr; // null for a rule
    int ruleSlot = -1;
    std::string key;
    std::string value;
};
// Checks value against the setting's kind; the value to send (numbers in the
// signed form get_config prints) or false with why.
bool NormalizeValue(const RemoteSetting& setting, const std::string& value, std::string* sent,
                    std::string* why);

// The four mail folders and their request words.
struct Folder {
    const char* name;    // quarantine, blocked, filtered, deferred
    const char* word;    // qfile, blockedmsg, filteredmsg, deferredmsg
};
const Folder* FindFolder(const std::string& name);
extern const Folder kFolders[4];

enum RuleEditKind { RULE_ADD, RULE_REMOVE, RULE_ENABLE, RULE_DISABLE, RULE_MOVE };
struct RuleEdit {
    RuleEditKind kind = RULE_ADD;
    RemoteRule rule; // for RULE_ADD
    int index = -1;  // the rule edited (position in the list); for RULE_ADD where (-1 the end)
    int to = -1;     // RULE_MOVE: its new position
};

Command MakeStatus();
Command MakeStats();
Command MakeConfigGet(const std::vector<std::string>& keys);
Command MakeConfigSet(const std::vector<SettingValue>& values);
Command MakeConfigExport(const std::string& file);
Command MakeConfigImport(const std::vector<SettingValue>& values);
Command MakeRulesList();
Command MakeRulesEdit(const RuleEdit& edit);
Command MakeMailList(const Folder& folder, const Filter& filter);
Command MakeMailShow(const Folder& folder, const std::vector<std::string>& names,
                     const Filter& filter);
Command MakeMailAction(const Folder& folder, const std::vector<std::string>& names, bool release);
Command MakeMailSize(const std::vector<const Folder*>& folders);
Command MakeLogsList(const std::string& kind, const Filter& filter);
Command MakeLogsShow(const std::string& kind, const std::vector<std::string>& names,
                     const Filter& filter);
Command MakeScanner(const std::string& name, const std::string& request);

// The export file's text for a get_config reply's settings (KEY, VALUE in
// reply order): a comment line, then KEY='VALUE' lines.
std::string ExportText(const std::vector<std::pair<std::string, std::string>>& settings);
// Reads an export file's text into values in reply order; false with why
// (line number and reason).
bool ParseImport(const std::string& text, std::vector<SettingValue>* values, std::string* why);

} // namespace vantry

#endif
