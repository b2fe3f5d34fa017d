// The texts of Pellion's replies, read as a client reads them: status lines,
// the refusal of a client that is not admitted, get_config's key='value'
// lines and the text form of a content-filter rule.
#ifndef VANTRY_REMOTE_REMOTEREPLY_H
#define VANTRY_REMOTE_REMOTEREPLY_H

#include <string>

// The whole reply to a client that is not admitted, without its CR LF.
extern const char* const REMOTE_ACCESS_DENIED;

// A status line: "CODE " and one digit, alone or followed by a space and
// more (" MESSAGE " and a text). True with the digit in code and the text
// after " MESSAGE " (or an empty text) in message.
bool RemoteParseStatus(const char* line, int* code, std::string* message);

// A setting line of get_config, KEY='VALUE': true with its key and value.
// The value is everything between the first quote and the last character,
// which must be a quote (a value may hold quotes of its own).
bool RemoteSplitSetting(const std::string& line, std::string* key, std::string* value);

// The places a rule searches (get_config's location set).
const unsigned REMOTE_RULE_SUBJECT = 1;
const unsigned REMOTE_RULE_BODY = 2;
const unsigned REMOTE_RULE_ATTACHMENTS = 4;
// Longest text of a rule (description, phrases): Pellion refuses longer ones.
const size_t REMOTE_RULE_TEXT_MAX = 63;

// A content-filter rule in the text form get_config sends and set_config
// reads: description#primary#secondary#proximity#and#locations#block#notify#active.
struct RemoteRule {
    std::string description;
    std::string primary;
    std::string secondary;
    long proximity = 0;
    bool andFlag = false;
    unsigned locations = REMOTE_RULE_SUBJECT | REMOTE_RULE_BODY;
    bool block = true;
    bool notifySender = false;
    bool active = true;
};

// Reads a rule's value (the text between the quotes of a Filter_Rule_ line).
// The fields are split at runs of "#", as Pellion splits them; a value with
// other than nine fields is not a rule. get_config sends an empty text as
// one space; it is read back as empty.
bool RemoteParseRule(const std::string& value, RemoteRule* rule);

// The value of a set_config line for rule. Empty texts are sent as one space
// (an empty field would shift the fields after it).
std::string RemoteFormatRule(const RemoteRule& rule);

// Why a rule cannot travel in the text form (a "#", a quote at a text's
// end, a line break, a text longer than Pellion keeps), or an empty text.
std::string RemoteRuleProblem(const RemoteRule& rule);

#endif
