// What each command of vantry asks of one gateway.
#include "tools/vantry/Commands.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vantry {

const Folder kFolders[4] = {
    {"quarantine", "qfile"},
    {"blocked", "blockedmsg"},
    {"filtered", "filteredmsg"},
    {"deferred", "deferredmsg"},
};

const Folder* FindFolder(const std::string& name) {
    for (const Folder& f : kFolders)
        if (name == f.name)
            return &f;
    return nullptr;
}

// ---- dates and filters ----------------------------------------------------------

namespace {

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool ParseSince(const std::string& text, std::string* digits) {
    std::string d;
    for (char c : text) {
        if (c >= '0' && c <= '9')
            d += c;
        else if (c != '-' && c != '/' && c != ':' && c != ' ' && c != 'T')
            return false;
    }
    if (d.size() < 8 || d.size() > 14 || d.size() % 2 != 0)
        return false;
    int month = std::atoi(d.substr(4, 2).c_str());
    int day = std::atoi(d.substr(6, 2).c_str());
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    d.resize(14, '0');
    *digits = d;
    return true;
}

std::string DateIn(const std::string& text, bool atStartOnly) {
    // A leading YYYY-MM-DD or YYYY/MM/DD, perhaps with a time after it.
    if (text.size() >= 10 && AllDigits(text.substr(0, 4)) && (text[4] == '-' || text[4] == '/') &&
        text[7] == text[4] && AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2))) {
        std::string d = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
        size_t p = 10;
        if (p < text.size() && (text[p] == ' ' || text[p] == 'T'))
            ++p;
        for (int part = 0; part < 3 && p + 2 <= text.size() && AllDigits(text.substr(p, 2));
             ++part) {
            d += text.substr(p, 2);
            p += 2;
            if (p < text.size() && text[p] == ':')
                ++p;
            else
                break;
        }
        return d;
    }
    // A run of eight digits or more: YYYYMMDD and perhaps the time.
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            if (atStartOnly)
                return std::string();
            continue;
        }
        size_t j = i;
        while (j < text.size() && isdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j - i >= 8)
            return text.substr(i, std::min<size_t>(j - i, 14));
        if (atStartOnly)
            return std::string();
        i = j;
    }
    return std::string();
}

namespace {

// Whether a date of up to 14 digits is on or after since (14 digits); the
// digits it lacks count as zero.
bool NotBefore(std::string date, const std::string& since) {
    date.resize(14, '0');
    return date >= since;
}

} // namespace

bool Filter::Name(const std::string& name) const {
    if (!since.empty()) {
        std::string date = DateIn(name, false);
        if (date.empty() || !NotBefore(date, since))
            return false;
    }
    return !hasMatch || std::regex_search(name, match);
}

namespace {

// Keeps the lines of a file that pass: with --since, a line that begins with
// a date decides for itself and the lines after it without one (a record's
// continuation); lines before the first dated line are dropped.
std::string FilterLines(const std::string& text, const Filter& filter) {
    if (filter.since.empty() && !filter.hasMatch)
        return text;
    std::string out;
    bool keep = filter.since.empty();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, next - start);
        if (!filter.since.empty()) {
            std::string date = DateIn(line, true);
            if (!date.empty())
                keep = NotBefore(date, filter.since);
        }
        if (keep && (!filter.hasMatch || std::regex_search(line, filter.match)))
            out += line;
        start = next;
    }
    return out;
}

} // namespace

// ---- asking ----------------------------------------------------------------------

RemoteOutcome Gateway::Ask(const std::string& line, const std::string* body, std::string* reply,
                           int* error) {
    class Collect : public RemoteReplySink {
    public:
        explicit Collect(std::string* out) : m_out(out) {}
        bool Data(const char* bytes, size_t count) override {
            m_out->append(bytes, count);
            return true;
        }

    private:
        std::string* m_out;
    } collect(reply);
    reply->clear();
    RemoteRequest request;
    request.host = m_target.host.c_str();
    request.port = m_target.port;
    request.wait = m_wait;
    request.line = line.c_str();
    request.lineEnd = "\n";
    if (body != nullptr) {
        request.body = body->data();
        request.bodySize = body->size();
    }
    return RemoteExchange(request, collect, error);
}

bool Ask(Gateway& gateway, const std::string& line, const std::string* body, HostResult& result,
         std::string* reply) {
    int error = 0;
    RemoteOutcome outcome = gateway.Ask(line, body, reply, &error);
    if (outcome != REMOTE_DONE) {
        result.exit = outcome == REMOTE_BAD_REQUEST ? EXIT_USAGE : EXIT_UNREACHABLE;
        result.status = outcome == REMOTE_TIMED_OUT ? "timed out" : "unreachable";
        if (outcome == REMOTE_NO_HOST)
            result.message = "host name '" + gateway.target().host + "' does not resolve";
        else if (outcome == REMOTE_NO_CONNECTION)
            result.message = "cannot connect to port " + std::to_string(gateway.target().port) +
                             " (error " + std::to_string(error) + "); is Pellion running?";
        else
            result.message = std::string(RemoteOutcomeText(outcome)) + " (error " +
                             std::to_string(error) + ")";
        return false;
    }
    if (*reply == std::string(REMOTE_ACCESS_DENIED) + "\r\n") {
        result.exit = EXIT_NOT_ADMITTED;
        result.status = "not admitted";
        result.message = "the gateway refused this client (ACCESS_DENIED); add this machine's "
                         "name to its Allowed_Clients";
        return false;
    }
    return true;
}

std::vector<std::string> Lines(const std::string& reply) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find('\n', start);
        size_t stop = end == std::string::npos ? reply.size() : end;
        std::string line = reply.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = stop + 1;
    }
    return lines;
}

void Refused(HostResult& result, int code, const std::string& message) {
    result.exit = EXIT_REFUSED;
    result.status = code == 2 ? "refused" : "failed";
    result.message = message.empty() ? "the gateway answered CODE " + std::to_string(code)
                                     : message;
}

namespace {

Json Row(const char* type) {
    Json row;
    row["type"] = type;
    return row;
}

// The first line of a reply as a status line; false (result marked) when it
// is a refusal, or not the code wanted.
bool ExpectCode(const std::string& reply, int wanted, HostResult& result) {
    std::vector<std::string> lines = Lines(reply);
    int code = -1;
    std::string message;
    if (lines.empty() || !RemoteParseStatus(lines[0].c_str(), &code, &message)) {
        result.exit = EXIT_REFUSED;
        result.status = "failed";
        result.message = "unexpected reply: " + (lines.empty() ? std::string("nothing") : lines[0]);
        return false;
    }
    if (code != wanted) {
        Refused(result, code, message);
        return false;
    }
    return true;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

// get_config: every KEY='VALUE' line in reply order.
bool GetConfig(Gateway& gateway, HostResult& result, Settings* settings) {
    std::string reply;
    if (!Ask(gateway, "get_config", nullptr, result, &reply) || !ExpectCode(reply, 1, result))
        return false;
    std::vector<std::string> lines = Lines(reply);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string key;
        std::string value;
        if (RemoteSplitSetting(lines[i], &key, &value))
            settings->emplace_back(key, value);
    }
    return true;
}

struct ListedRule {
    int slot;
    std::string value;
    RemoteRule rule;
};

std::vector<ListedRule> RulesOf(const Settings& settings) {
    std::vector<ListedRule> rules;
    for (const auto& s : settings) {
        int slot = RemoteRuleSlot(s.first.c_str());
        ListedRule r;
        if (slot >= 0 && RemoteParseRule(s.second, &r.rule)) {
            r.slot = slot;
            r.value = s.second;
            rules.push_back(r);
        }
    }
    return rules;
}

std::string Where(unsigned locations) {
    std::string out;
    const char* names[3] = {"subject", "body", "attachments"};
    for (int i = 0; i < 3; ++i) {
        if (locations & (1u << i)) {
            if (!out.empty())
                out += ",";
            out += names[i];
        }
    }
    return out;
}

Json RuleRow(int index, const RemoteRule& rule) {
    Json row = Row("rule");
    row["index"] = index;
    row["active"] = rule.active;
    row["description"] = rule.description;
    row["phrase"] = rule.primary;
    row["second_phrase"] = rule.secondary;
    row["proximity"] = rule.proximity;
    row["both"] = rule.andFlag;
    row["where"] = Where(rule.locations);
    row["block"] = rule.block;
    row["notify_sender"] = rule.notifySender;
    return row;
}

bool SameNumber(const std::string& a, const std::string& b) {
    char* endA = nullptr;
    char* endB = nullptr;
    long long x = std::strtoll(a.c_str(), &endA, 10);
    long long y = std::strtoll(b.c_str(), &endB, 10);
    if (*endA != '\0' || *endB != '\0' || a.empty() || b.empty())
        return a == b;
    return static_cast<uint32_t>(x) == static_cast<uint32_t>(y);
}

// One set_config of values, after get_config showed which of them change.
// Unchanged when none would.
void WriteChanges(Gateway& gateway, HostResult& result, const std::vector<SettingValue>& values) {
    Settings current;
    if (!GetConfig(gateway, result, &current))
        return;
    std::map<std::string, std::string> now(current.begin(), current.end());
    std::string body;
    std::vector<Json> changes;
    for (const SettingValue& v : values) {
        auto found = now.find(v.key);
        bool have = found != now.end();
        bool same = have && (v.setting != nullptr && v.setting->kind != REMOTE_TEXT
                                 ? SameNumber(found->second, v.value)
                                 : found->second == v.value);
        if (same)
            continue;
        body += v.key + "='" + v.value + "'\n";
        Json row = Row("change");
        row["key"] = v.key;
        row["old"] = have ? Json(found->second) : Json(nullptr);
        row["new"] = v.value;
        changes.push_back(row);
    }
    if (changes.empty()) {
        result.status = "unchanged";
        return;
    }
    body += "\n";
    std::string reply;
    if (!Ask(gateway, "set_config", &body, result, &reply) || !ExpectCode(reply, 0, result))
        return;
    result.status = "changed";
    result.rows = changes;
}

std::string Stripped(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n'))
        s.pop_back();
    return s;
}

// A file's contents from get_<word> NAME: "CODE 1", the text, a closing CR LF.
bool FetchFile(Gateway& gateway, HostResult& result, const std::string& request,
               std::string* text) {
    std::string reply;
    if (!Ask(gateway, request, nullptr, result, &reply) || !ExpectCode(reply, 1, result))
        return false;
    size_t start = reply.find('\n') + 1;
    size_t end = reply.size();
    if (end >= start + 2 && reply.compare(end - 2, 2, "\r\n") == 0)
        end -= 2;
    *text = reply.substr(start, end - start);
    return true;
}

// A folder listing from get_<word>_list. An empty folder is answered with
// CODE 3 as a folder that cannot be read is: both are an empty list here.
bool FetchList(Gateway& gateway, HostResult& result, const std::string& request,
               std::vector<std::string>* names) {
    std::string reply;
    if (!Ask(gateway, request, nullptr, result, &reply))
        return false;
    std::vector<std::string> lines = Lines(reply);
    int code = -1;
    std::string message;
    if (lines.empty() || !RemoteParseStatus(lines[0].c_str(), &code, &message)) {
        result.exit = EXIT_REFUSED;
        result.status = "failed";
        result.message = "unexpected reply to " + request;
        return false;
    }
    if (code == 3)
        return true;
    if (code != 1) {
        Refused(result, code, message);
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        int end = -1;
        if (RemoteParseStatus(lines[i].c_str(), &end, nullptr) && end == 0)
            break;
        names->push_back(lines[i]);
    }
    return true;
}

const char* LogWord(const std::string& kind) {
    return kind == "mail" ? "maillog" : kind == "virus" ? "viruslog" : "deferredmsglog";
}

} // namespace

// ---- the commands ------------------------------------------------------------------

Command MakeStatus() {
    Command c;
    c.name = "status";
    c.run = [](Gateway& gateway, HostResult& result) {
        std::string reply;
        if (!Ask(gateway, "get_server_type", nullptr, result, &reply))
            return;
        Json row = Row("status");
        row["server_type"] = Stripped(reply);
        if (!Ask(gateway, "get_version", nullptr, result, &reply))
            return;
        for (const std::string& line : Lines(reply)) {
            std::string key;
            std::string value;
            if (!RemoteSplitSetting(line, &key, &value) || key.compare(0, 5, "SMTP_") != 0)
                continue;
            std::string name = key.substr(5);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char ch) { return static_cast<char>(tolower(ch)); });
            if (name == "extradat_nvirus" || name == "extradat_nvariant")
                row[name] = std::atol(value.c_str());
            else
                row[name] = value;
        }
        if (!Ask(gateway, "get_statistics", nullptr, result, &reply))
            return;
        Json stats = Json::object();
        bool answers = false;
        for (const std::string& line : Lines(reply)) {
            std::string key;
            std::string value;
            if (!RemoteSplitSetting(line, &key, &value))
                continue;
            stats[key] = value;
            answers = answers || value != "Unknown";
        }
        // Pellion answers "Unknown" for every count when the scanner's pipe
        // does not answer.
        row["scanner"] = answers ? "answers" : "does not answer";
        row["statistics"] = stats;
        result.rows.push_back(row);
    };
    return c;
}

Command MakeStats() {
    Command c;
    c.name = "stats";
    c.columns = {{"name", "NAME"}, {"value", "VALUE"}};
    c.run = [](Gateway& gateway, HostResult& result) {
        std::string reply;
        if (!Ask(gateway, "get_statistics", nullptr, result, &reply))
            return;
        for (const std::string& line : Lines(reply)) {
            std::string key;
            std::string value;
            if (!RemoteSplitSetting(line, &key, &value))
                continue;
            Json row = Row("stat");
            row["name"] = key;
            row["value"] = value;
            result.rows.push_back(row);
        }
    };
    return c;
}

Command MakeConfigGet(const std::vector<std::string>& keys) {
    Command c;
    c.name = "config get";
    c.columns = {{"key", "KEY"}, {"value", "VALUE"}};
    c.run = [keys](Gateway& gateway, HostResult& result) {
        Settings settings;
        if (!GetConfig(gateway, result, &settings))
            return;
        for (const auto& s : settings) {
            if (RemoteRuleSlot(s.first.c_str()) >= 0)
                continue; // vantry rules list shows them
            if (!keys.empty() && std::find(keys.begin(), keys.end(), s.first) == keys.end())
                continue;
            Json row = Row("setting");
            row["key"] = s.first;
            row["value"] = s.second;
            result.rows.push_back(row);
        }
    };
    return c;
}

Command MakeConfigSet(const std::vector<SettingValue>& values) {
    Command c;
    c.name = "config set";
    c.columns = {{"key", "KEY"}, {"old", "OLD"}, {"new", "NEW"}};
    c.run = [values](Gateway& gateway, HostResult& result) { WriteChanges(gateway, result, values); };
    return c;
}

std::string ExportText(const Settings& settings) {
    std::string text = "# Vantry SMTP scanner settings (vantry config export); "
                       "load with vantry config import\n";
    for (const auto& s : settings) {
        if (RemoteFindSetting(s.first.c_str()) == nullptr && RemoteRuleSlot(s.first.c_str()) < 0)
            continue; // SMTP_SCAN_ATTACHMENTS_AVAILABLE is the service's, not a setting
        text += s.first + "='" + s.second + "'\n";
    }
    return text;
}

Command MakeConfigExport(const std::string& file) {
    Command c;
    c.name = "config export";
    c.run = [file](Gateway& gateway, HostResult& result) {
        Settings settings;
        if (!GetConfig(gateway, result, &settings))
            return;
        std::string text = ExportText(settings);
        Json row = Row("export");
        row["file"] = file;
        row["settings"] = static_cast<int>(std::count(text.begin(), text.end(), '\n')) - 1;
        row["text"] = text;
        if (file == "-") {
            result.text = text;
            result.rows.push_back(row);
            return;
        }
        FILE* out = fopen(file.c_str(), "wb");
        bool written = out != nullptr && fwrite(text.data(), 1, text.size(), out) == text.size();
        if (out != nullptr && fclose(out) != 0)
            written = false;
        if (!written) {
            result.exit = EXIT_USAGE;
            result.status = "failed";
            result.message = "cannot write " + file;
            return;
        }
        result.rows.push_back(row);
    };
    return c;
}

bool NormalizeValue(const RemoteSetting& setting, const std::string& value, std::string* sent,
                    std::string* why) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        *why = "a value is one line";
        return false;
    }
    if (setting.kind == REMOTE_TEXT) {
        *sent = value;
        return true;
    }
    char* end = nullptr;
    long long n = std::strtoll(value.c_str(), &end, 10);
    bool number = !value.empty() && *end == '\0' && !isspace(static_cast<unsigned char>(value[0]));
    if (setting.kind == REMOTE_PORT && (!number || n < 0 || n > 65535)) {
        *why = std::string(setting.key) + " is a port, 0 to 65535";
        return false;
    }
    if (!number || n < -2147483648LL || n > 4294967295LL) {
        *why = std::string(setting.key) + " is a number from -2147483648 to 4294967295";
        return false;
    }
    *sent = std::to_string(static_cast<long long>(static_cast<int32_t>(static_cast<uint32_t>(n))));
    return true;
}

bool ParseImport(const std::string& text, std::vector<SettingValue>* values, std::string* why) {
    std::vector<std::string> lines = Lines(text);
    std::map<std::string, bool> seen;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::string at = "line " + std::to_string(i + 1) + ": ";
        if (line.empty() || line[0] == '#')
            continue;
        SettingValue v;
        if (!RemoteSplitSetting(line, &v.key, &v.value)) {
            *why = at + "not KEY='VALUE'";
            return false;
        }
        if (v.key == "SMTP_SCAN_ATTACHMENTS_AVAILABLE")
            continue; // the service's own list, as get_config shows it
        v.setting = RemoteFindSetting(v.key.c_str());
        v.ruleSlot = RemoteRuleSlot(v.key.c_str());
        if (v.setting == nullptr && v.ruleSlot < 0) {
            *why = at + "no setting named " + v.key;
            return false;
        }
        if (v.setting != nullptr) {
            v.key = v.setting->key;
            std::string sent;
            if (!NormalizeValue(*v.setting, v.value, &sent, why)) {
                *why = at + *why;
                return false;
            }
            v.value = sent;
        } else {
            RemoteRule rule;
            if (!RemoteParseRule(v.value, &rule)) {
                *why = at + "a rule has nine fields separated by '#'";
                return false;
            }
        }
        if (seen[v.key]) {
            *why = at + v.key + " is given twice";
            return false;
        }
        seen[v.key] = true;
        values->push_back(v);
    }
    // Reply order: No_of_Filter_Rules before the rules, as set_config needs.
    const size_t countAt = RemoteSettingOrder(RemoteFindSetting("No_of_Filter_Rules"));
    auto order = [countAt](const SettingValue& v) {
        return v.setting != nullptr ? RemoteSettingOrder(v.setting) * 1000
                                    : countAt * 1000 + 1 + static_cast<size_t>(v.ruleSlot);
    };
    std::stable_sort(values->begin(), values->end(),
                     [&](const SettingValue& a, const SettingValue& b) { return order(a) < order(b); });
    return true;
}

Command MakeConfigImport(const std::vector<SettingValue>& values) {
    Command c = MakeConfigSet(values);
    c.name = "config import";
    return c;
}

Command MakeRulesList() {
    Command c;
    c.name = "rules list";
    c.columns = {{"index", "#"},         {"active", "ACTIVE"},       {"block", "BLOCK"},
                 {"notify_sender", "NOTIFY"}, {"where", "WHERE"},    {"proximity", "PROXIMITY"},
                 {"both", "BOTH"},       {"phrase", "PHRASE"},       {"second_phrase", "SECOND"},
                 {"description", "DESCRIPTION"}};
    c.run = [](Gateway& gateway, HostResult& result) {
        Settings settings;
        if (!GetConfig(gateway, result, &settings))
            return;
        std::vector<ListedRule> rules = RulesOf(settings);
        for (size_t i = 0; i < rules.size(); ++i)
            result.rows.push_back(RuleRow(static_cast<int>(i), rules[i].rule));
    };
    return c;
}

Command MakeRulesEdit(const RuleEdit& edit) {
    static const char* const kNames[] = {"rules add", "rules remove", "rules enable",
                                         "rules disable", "rules move"};
    Command c;
    c.name = kNames[edit.kind];
    c.columns = MakeRulesList().columns;
    c.run = [edit](Gateway& gateway, HostResult& result) {
        Settings settings;
        if (!GetConfig(gateway, result, &settings))
            return;
        std::vector<ListedRule> listed = RulesOf(settings);
        std::vector<RemoteRule> rules;
        for (const ListedRule& r : listed)
            rules.push_back(r.rule);
        const int count = static_cast<int>(rules.size());
        auto outOfRange = [&](int index, bool end) {
            if (index >= 0 && (index < count || (end && index == count)))
                return false;
            result.exit = EXIT_USAGE;
            result.status = "no such rule";
            result.message = "no rule " + std::to_string(index) + "; the gateway has " +
                             std::to_string(count) + (count == 1 ? " rule" : " rules");
            return true;
        };
        switch (edit.kind) {
        case RULE_ADD: {
            if (count >= REMOTE_RULE_SLOTS) {
                result.exit = EXIT_REFUSED;
                result.status = "refused";
                result.message = "the gateway holds 256 rules, the most it keeps";
                return;
            }
            int at = edit.index < 0 ? count : edit.index;
            if (outOfRange(at, true))
                return;
            rules.insert(rules.begin() + at, edit.rule);
            break;
        }
        case RULE_REMOVE:
            if (outOfRange(edit.index, false))
                return;
            rules.erase(rules.begin() + edit.index);
            break;
        case RULE_ENABLE:
        case RULE_DISABLE:
            if (outOfRange(edit.index, false))
                return;
            rules[static_cast<size_t>(edit.index)].active = edit.kind == RULE_ENABLE;
            break;
        case RULE_MOVE: {
            if (outOfRange(edit.index, false) || outOfRange(edit.to, false))
                return;
            RemoteRule moved = rules[static_cast<size_t>(edit.index)];
            rules.erase(rules.begin() + edit.index);
            rules.insert(rules.begin() + edit.to, moved);
            break;
        }
        }
        // The whole list, renumbered from 0, in one set_config; unchanged when
        // it is the list the gateway holds (in the same slots).
        std::string body = "No_of_Filter_Rules='" + std::to_string(rules.size()) + "'\n";
        bool same = rules.size() == listed.size();
        for (size_t i = 0; i < rules.size(); ++i) {
            std::string value = RemoteFormatRule(rules[i]);
            if (same && (listed[i].slot != static_cast<int>(i) ||
                         RemoteFormatRule(listed[i].rule) != value))
                same = false;
            body += REMOTE_RULE_PREFIX + std::to_string(i) + "='" + value + "'\n";
        }
        for (size_t i = 0; i < rules.size(); ++i)
            result.rows.push_back(RuleRow(static_cast<int>(i), rules[i]));
        if (same) {
            result.status = "unchanged";
            return;
        }
        body += "\n";
        std::string reply;
        if (!Ask(gateway, "set_config", &body, result, &reply) || !ExpectCode(reply, 0, result)) {
            result.rows.clear();
            return;
        }
        result.status = "changed";
    };
    return c;
}

Command MakeMailList(const Folder& folder, const Filter& filter) {
    Command c;
    c.name = "mail list";
    c.columns = {{"folder", "FOLDER"}, {"name", "NAME"}};
    c.run = [folder, filter](Gateway& gateway, HostResult& result) {
        std::vector<std::string> names;
        if (!FetchList(gateway, result, std::string("get_") + folder.word + "_list", &names))
            return;
        for (const std::string& name : names) {
            if (!filter.Name(name))
                continue;
            Json row = Row("mail");
            row["folder"] = folder.name;
            row["name"] = name;
            result.rows.push_back(row);
        }
    };
    return c;
}

Command MakeMailShow(const Folder& folder, const std::vector<std::string>& names,
                     const Filter& filter) {
    Command c;
    c.name = "mail show";
    c.run = [folder, names, filter](Gateway& gateway, HostResult& result) {
        for (const std::string& name : names) {
            std::string text;
            if (!FetchFile(gateway, result, std::string("get_") + folder.word + " " + name, &text))
                return;
            text = FilterLines(text, filter);
            Json row = Row("message");
            row["folder"] = folder.name;
            row["name"] = name;
            row["text"] = text;
            result.rows.push_back(row);
            result.text += text;
        }
    };
    return c;
}

Command MakeMailAction(const Folder& folder, const std::vector<std::string>& names, bool release) {
    Command c;
    c.name = release ? "mail release" : "mail delete";
    c.columns = {{"folder", "FOLDER"}, {"name", "NAME"}, {"action", "ACTION"}, {"result", "RESULT"}};
    c.run = [folder, names, release](Gateway& gateway, HostResult& result) {
        const std::string word = std::string(release ? "send_" : "delete_") + folder.word;
        for (const std::string& name : names) {
            std::string reply;
            if (!Ask(gateway, word + " " + name, nullptr, result, &reply))
                return;
            Json row = Row("action");
            row["folder"] = folder.name;
            row["name"] = name;
            row["action"] = release ? "release" : "delete";
            // Pellion answers CODE 0 when the scanner took the request, and
            // CODE 3 (then CODE 0) when it could not be reached.
            std::vector<std::string> lines = Lines(reply);
            int code = -1;
            std::string message;
            if (lines.empty() || !RemoteParseStatus(lines[0].c_str(), &code, &message))
                code = -1;
            row["result"] = code == 0 ? "done" : "failed";
            result.rows.push_back(row);
            if (code != 0)
                Refused(result, code < 0 ? 3 : code,
                        code < 0 ? "unexpected reply to " + word : message);
        }
    };
    return c;
}

Command MakeMailSize(const std::vector<const Folder*>& folders) {
    Command c;
    c.name = "mail size";
    c.columns = {{"folder", "FOLDER"}, {"bytes", "BYTES"}, {"messages", "MESSAGES"}};
    c.run = [folders](Gateway& gateway, HostResult& result) {
        for (const Folder* folder : folders) {
            std::string reply;
            if (!Ask(gateway, std::string("getsize_") + folder->word, nullptr, result, &reply))
                return;
            // "BYTES MESSAGES" and a line end.
            char* end = nullptr;
            long long bytes = std::strtoll(reply.c_str(), &end, 10);
            char* last = nullptr;
            long long messages = std::strtoll(end, &last, 10);
            if (end == reply.c_str() || *end != ' ' || last == end || (*last != '\r' && *last != '\n')) {
                result.exit = EXIT_REFUSED;
                result.status = "failed";
                result.message = "unexpected reply to getsize_" + std::string(folder->word);
                return;
            }
            Json row = Row("folder");
            row["folder"] = folder->name;
            row["bytes"] = bytes;
            row["messages"] = messages;
            result.rows.push_back(row);
        }
    };
    return c;
}

Command MakeLogsList(const std::string& kind, const Filter& filter) {
    Command c;
    c.name = "logs list";
    c.columns = {{"log", "LOG"}, {"name", "NAME"}};
    c.run = [kind, filter](Gateway& gateway, HostResult& result) {
        std::vector<std::string> names;
        if (!FetchList(gateway, result, std::string("get_") + LogWord(kind) + "_list", &names))
            return;
        for (const std::string& name : names) {
            if (!filter.Name(name))
                continue;
            Json row = Row("log");
            row["log"] = kind;
            row["name"] = name;
            result.rows.push_back(row);
        }
    };
    return c;
}

Command MakeLogsShow(const std::string& kind, const std::vector<std::string>& names,
                     const Filter& filter) {
    Command c;
    c.name = "logs show";
    c.run = [kind, names, filter](Gateway& gateway, HostResult& result) {
        for (const std::string& name : names) {
            std::string text;
            if (!FetchFile(gateway, result, std::string("get_") + LogWord(kind) + " " + name, &text))
                return;
            text = FilterLines(text, filter);
            Json row = Row("log_text");
            row["log"] = kind;
            row["name"] = name;
            row["text"] = text;
            result.rows.push_back(row);
            result.text += text;
        }
    };
    return c;
}

Command MakeScanner(const std::string& name, const std::string& request) {
    Command c;
    c.name = "scanner " + name;
    c.run = [request](Gateway& gateway, HostResult& result) {
        std::string reply;
        if (!Ask(gateway, request, nullptr, result, &reply) || !ExpectCode(reply, 0, result))
            return;
        result.status = "done";
    };
    return c;
}

} // namespace vantry
