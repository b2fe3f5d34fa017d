// Reading Pellion's reply texts.
#include "remote/RemoteReply.h"

#include <cstdlib>
#include <cstring>
#include <vector>

const char* const REMOTE_ACCESS_DENIED = "ACCESS_DENIED";

bool RemoteParseStatus(const char* line, int* code, std::string* message) {
    if (line == nullptr || strncmp(line, "CODE ", 5) != 0 || line[5] < '0' || line[5] > '9' ||
        (line[6] != '\0' && line[6] != ' '))
        return false;
    if (code != nullptr)
        *code = line[5] - '0';
    if (message != nullptr) {
        const char* rest = line + 6;
        *message = strncmp(rest, " MESSAGE ", 9) == 0 ? rest + 9 : "";
    }
    return true;
}

bool RemoteSplitSetting(const std::string& line, std::string* key, std::string* value) {
    size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= line.size() ||
        line[equals + 1] != '\'' || line.size() < equals + 3 || line.back() != '\'')
        return false;
    *key = line.substr(0, equals);
    *value = line.substr(equals + 2, line.size() - equals - 3);
    return true;
}

namespace {

// A number field as Pellion reads it: optional sign and digits, the whole field.
bool NumberField(const std::string& field, long* out) {
    if (field.empty())
        return false;
    char* end = nullptr;
    long n = strtol(field.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    *out = n;
    return true;
}

std::string TextField(const std::string& field) {
    return field == " " ? std::string() : field;
}

std::string Wire(const std::string& text) {
    return text.empty() ? std::string(" ") : text;
}

} // namespace

bool RemoteParseRule(const std::string& value, RemoteRule* rule) {
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && value[i] == '#')
            ++i;
        if (i >= value.size())
            break;
        size_t end = value.find('#', i);
        if (end == std::string::npos)
            end = value.size();
        fields.push_back(value.substr(i, end - i));
        i = end;
    }
    if (fields.size() != 9)
        return false;
    long numbers[6];
    for (int n = 0; n < 6; ++n)
        if (!NumberField(fields[3 + n], &numbers[n]))
            return false;
    rule->description = TextField(fields[0]);
    rule->primary = TextField(fields[1]);
    rule->secondary = TextField(fields[2]);
    rule->proximity = numbers[0];
    rule->andFlag = numbers[1] != 0;
    rule->locations = static_cast<unsigned>(numbers[2]) & 0xFFFF;
    rule->block = numbers[3] != 0;
    rule->notifySender = numbers[4] != 0;
    rule->active = numbers[5] != 0;
    return true;
}

std::string RemoteFormatRule(const RemoteRule& rule) {
    return Wire(rule.description) + "#" + Wire(rule.primary) + "#" + Wire(rule.secondary) + "#" +
           std::to_string(rule.proximity) + "#" + (rule.andFlag ? "1" : "0") + "#" +
           std::to_string(rule.locations & 0xFFFF) + "#" + (rule.block ? "1" : "0") + "#" +
           (rule.notifySender ? "1" : "0") + "#" + (rule.active ? "1" : "0");
}

std::string RemoteRuleProblem(const RemoteRule& rule) {
    const std::string* texts[3] = {&rule.description, &rule.primary, &rule.secondary};
    const char* names[3] = {"description", "phrase", "second phrase"};
    for (int i = 0; i < 3; ++i) {
        const std::string& t = *texts[i];
        if (t.find('#') != std::string::npos)
            return std::string("the ") + names[i] + " holds a '#', which separates a rule's fields";
        if (t.find_first_of("\r\n") != std::string::npos)
            return std::string("the ") + names[i] + " holds a line break";
        if (t.size() > REMOTE_RULE_TEXT_MAX)
            return std::string("the ") + names[i] + " is longer than " +
                   std::to_string(REMOTE_RULE_TEXT_MAX) + " characters";
    }
    if (rule.primary.empty() || rule.primary == " ")
        return "a rule needs a phrase";
    if (rule.proximity < 0 || rule.proximity > 65535)
        return "the proximity is a number from 0 to 65535";
    if ((rule.locations & 7) == 0 || (rule.locations & ~7u) != 0)
        return "a rule searches the subject, the body or the attachments";
    return std::string();
}
