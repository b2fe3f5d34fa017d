// vantry: the administrator's client of Pellion, for one gateway or a fleet.
// The command line is read with CLI11, the records printed as aligned tables
// or, with --json, one JSON object per line (nlohmann's JSON). See the
// README's "vantry" section, `vantry --help` and vantry(1).
#include "remote/RemoteRequest.h"
#include "tools/vantry/Commands.h"
#include "tools/vantry/Vantry.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#define VANTRY_IS_TERMINAL(stream) (_isatty(_fileno(stream)) != 0)
#else
#include <unistd.h>
#define VANTRY_IS_TERMINAL(stream) (isatty(fileno(stream)) != 0)
#endif

namespace vantry {
namespace {

int UsageError(const std::string& why) {
    fprintf(stderr, "vantry: %s\n", why.c_str());
    return EXIT_USAGE;
}

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

// A file or mail name as the gateway lists it: one line, no folder part.
bool CheckNames(const std::vector<std::string>& names, std::string* why) {
    for (const std::string& name : names) {
        if (name.empty() || name[0] == '.' || name.find_first_of("/\\:\r\n") != std::string::npos) {
            *why = "'" + name + "' is not a name the gateway lists (no folder, no leading dot)";
            return false;
        }
    }
    return true;
}

std::string Cell(const Json& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>() ? "yes" : "no";
    if (value.is_null())
        return "-";
    return value.dump();
}

void PrintTable(const Columns& columns, const std::vector<Json>& rows) {
    std::vector<size_t> width;
    for (const auto& c : columns)
        width.push_back(c.second.size());
    std::vector<std::vector<std::string>> cells;
    for (const Json& row : rows) {
        std::vector<std::string> line;
        for (size_t i = 0; i < columns.size(); ++i) {
            auto it = row.find(columns[i].first);
            line.push_back(it == row.end() ? std::string() : Cell(*it));
            width[i] = std::max(width[i], line.back().size());
        }
        cells.push_back(line);
    }
    auto print = [&](const std::vector<std::string>& line) {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            out += line[i];
            if (i + 1 < line.size())
                out += std::string(width[i] - line[i].size() + 2, ' ');
        }
        printf("%s\n", out.c_str());
    };
    std::vector<std::string> heading;
    for (const auto& c : columns)
        heading.push_back(c.second);
    print(heading);
    for (const auto& line : cells)
        print(line);
}

// Records without columns (status): "name: value", nested objects flattened.
void PrintPairs(const Json& row, const std::string& prefix) {
    for (auto it = row.begin(); it != row.end(); ++it) {
        if (it.key() == "type")
            continue;
        if (it->is_object())
            PrintPairs(*it, prefix + it.key() + ".");
        else
            printf("%s%s: %s\n", prefix.c_str(), it.key().c_str(), Cell(*it).c_str());
    }
}

void PrintHuman(const Command& command, const HostResult& result) {
    if (!result.text.empty()) {
        fwrite(result.text.data(), 1, result.text.size(), stdout);
    } else if (!result.rows.empty()) {
        bool changes = result.rows[0]["type"] == "change";
        if (result.rows[0]["type"] == "export")
            printf("wrote %s (%d settings)\n", result.rows[0]["file"].get<std::string>().c_str(),
                   result.rows[0]["settings"].get<int>());
        else if (changes)
            PrintTable({{"key", "KEY"}, {"old", "OLD"}, {"new", "NEW"}}, result.rows);
        else if (!command.columns.empty())
            PrintTable(command.columns, result.rows);
        else
            for (const Json& row : result.rows)
                PrintPairs(row, "");
    }
    if (result.exit == EXIT_DONE && result.status != "ok")
        printf("%s\n", result.status.c_str());
}

std::string MetricName(const std::string& name) {
    std::string out = "vantry_";
    for (char c : name)
        out += isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_';
    return out;
}

std::string Label(const std::string& host) {
    std::string out;
    for (char c : host) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return "{host=\"" + out + "\"}";
}

// The statistics in Prometheus' text format, each metric's samples together.
void PrintPrometheus(const std::vector<HostResult>& results) {
    printf("# HELP vantry_gateway_up Whether the gateway answered (1) or not (0).\n"
           "# TYPE vantry_gateway_up gauge\n");
    for (const HostResult& r : results)
        printf("vantry_gateway_up%s %d\n", Label(r.host).c_str(), r.exit == EXIT_DONE ? 1 : 0);
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> samples;
    std::map<std::string, bool> answered;
    for (const HostResult& r : results) {
        for (const Json& row : r.rows) {
            std::string name = row.at("name").get<std::string>();
            std::string value = row.at("value").get<std::string>();
            char* end = nullptr;
            strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0')
                continue; // "Unknown": the scanner did not answer
            answered[r.host] = true;
            if (samples.find(name) == samples.end())
                order.push_back(name);
            samples[name].emplace_back(r.host, value);
        }
    }
    printf("# HELP vantry_scanner_up Whether the gateway's scanner answered its statistics request.\n"
           "# TYPE vantry_scanner_up gauge\n");
    for (const HostResult& r : results)
        if (r.exit == EXIT_DONE)
            printf("vantry_scanner_up%s %d\n", Label(r.host).c_str(), answered[r.host] ? 1 : 0);
    for (const std::string& name : order) {
        std::string metric = MetricName(name);
        printf("# HELP %s The scanner's %s statistic.\n# TYPE %s counter\n", metric.c_str(),
               name.c_str(), metric.c_str());
        for (const auto& s : samples[name])
            printf("%s%s %s\n", metric.c_str(), Label(s.first).c_str(), s.second.c_str());
    }
}

int Report(const Command& command, const std::vector<HostResult>& results, bool json,
           bool prometheus) {
    int worst = EXIT_DONE;
    for (const HostResult& r : results) {
        worst = std::max(worst, r.exit);
        if (r.exit != EXIT_DONE)
            fprintf(stderr, "vantry: %s: %s\n", r.host.c_str(), r.message.c_str());
    }
    if (json) {
        for (const HostResult& r : results) {
            for (const Json& row : r.rows) {
                Json line;
                line["host"] = r.host;
                for (auto it = row.begin(); it != row.end(); ++it)
                    line[it.key()] = *it;
                printf("%s\n", line.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
            }
            Json done;
            done["host"] = r.host;
            done["type"] = "result";
            done["command"] = command.name;
            done["status"] = r.status;
            done["exit"] = r.exit;
            done["message"] = r.message;
            printf("%s\n", done.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
        }
        return worst;
    }
    if (prometheus) {
        PrintPrometheus(results);
        return worst;
    }
    if (results.size() == 1) {
        PrintHuman(command, results[0]);
        return worst;
    }
    std::vector<Json> table;
    for (const HostResult& r : results) {
        if (!r.rows.empty() || !r.text.empty()) {
            printf("== %s ==\n", r.host.c_str());
            HostResult quiet = r;
            quiet.status = "ok";
            PrintHuman(command, quiet);
        }
        Json row;
        row["host"] = r.host;
        row["status"] = r.status;
        row["exit"] = r.exit;
        row["message"] = r.message;
        table.push_back(row);
    }
    PrintTable({{"host", "HOST"}, {"status", "STATUS"}, {"exit", "EXIT"}, {"message", "MESSAGE"}},
               table);
    return worst;
}

} // namespace
} // namespace vantry

int main(int argc, char** argv) {
    using namespace vantry;
    CLI::App app{"vantry: the administrator's client of Vantry SMTP gateways (Pellion), for one "
                 "gateway or a fleet.\nExit status: 0 done, 1 refused or failed on a gateway, 2 "
                 "usage, 3 not admitted, 4 cannot connect or timed out; the worst of all hosts."};
    app.require_subcommand(1, 1);
    app.fallthrough();
    std::vector<std::string> hostArgs;
    std::string hostsFile;
    int port = 0;
    int timeout = 30;
    int parallel = 8;
    bool json = false;
    app.add_option("--host", hostArgs, "a gateway, HOST or HOST:PORT (repeat for more)")
        ->type_name("HOST[:PORT]");
    app.add_option("--hosts", hostsFile, "a file of gateways, one HOST[:PORT] a line")
        ->type_name("FILE");
    app.add_option("--port", port,
                   "the port of hosts given without one (default: Config_Port of this machine, "
                   "else 9999)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--timeout", timeout, "seconds each wait for a gateway may take (default 30)")
        ->check(CLI::Range(1, 3600));
    app.add_option("--parallel", parallel, "gateways asked at once (default 8)")
        ->check(CLI::Range(1, 64));
    app.add_flag("--json", json, "one JSON object per line instead of tables");

    const std::vector<std::string> folderNames = {"quarantine", "blocked", "filtered", "deferred"};
    Command command;
    bool prometheus = false;
    std::string since;
    std::string match;
    auto addFilters = [&](CLI::App* sub) {
        sub->add_option("--since", since, "only names or lines dated on or after DATE")
            ->type_name("YYYY-MM-DD[ hh:mm[:ss]]");
        sub->add_option("--match", match, "only names or lines that match REGEX")
            ->type_name("REGEX");
    };

    // status, stats
    CLI::App* status = app.add_subcommand("status", "server type, versions, statistics, scanner");
    CLI::App* stats = app.add_subcommand("stats", "the scanner's statistics");
    stats->add_flag("--prometheus", prometheus, "in Prometheus' text exposition format");

    // config
    CLI::App* config = app.add_subcommand("config", "read and change the scanner settings");
    config->require_subcommand(1, 1);
    std::vector<std::string> keys;
    std::vector<std::string> assignments;
    std::string file;
    CLI::App* configGet = config->add_subcommand("get", "print settings (all, or the KEYs)");
    configGet->add_option("KEY", keys, "setting names");
    CLI::App* configSet =
        config->add_subcommand("set", "change settings in one request, all or nothing");
    configSet->add_option("KEY=VALUE", assignments, "settings and their new values")->required();
    CLI::App* configExport = config->add_subcommand("export", "write every setting to FILE");
    configExport->add_option("FILE", file, "the file to write ('-' for standard output)")
        ->required();
    CLI::App* configImport = config->add_subcommand("import", "load the settings of FILE");
    configImport->add_option("FILE", file, "a file written by config export")->required();

    // rules
    CLI::App* rules = app.add_subcommand("rules", "the content-filter rules");
    rules->require_subcommand(1, 1);
    RuleEdit edit;
    std::string where = "subject,body";
    bool noBlock = false;
    bool disabled = false;
    CLI::App* rulesList = rules->add_subcommand("list", "the rules as a table");
    CLI::App* rulesAdd = rules->add_subcommand("add", "add a rule");
    rulesAdd->add_option("--phrase", edit.rule.primary, "the phrase looked for")->required();
    rulesAdd->add_option("--second-phrase", edit.rule.secondary, "a second phrase");
    rulesAdd->add_option("--proximity", edit.rule.proximity,
                         "words the second phrase may stand from the first")
        ->check(CLI::Range(0, 65535));
    rulesAdd->add_flag("--both", edit.rule.andFlag, "both phrases must be found");
    rulesAdd->add_option("--where", where, "subject, body, attachments, comma-separated")
        ->type_name("PLACES");
    rulesAdd->add_flag("--no-block", noBlock, "do not block a matching message");
    rulesAdd->add_flag("--notify-sender", edit.rule.notifySender, "tell the sender");
    rulesAdd->add_flag("--disabled", disabled, "add the rule switched off");
    rulesAdd->add_option("--description", edit.rule.description, "what the rule is for");
    rulesAdd->add_option("--at", edit.index, "its place in the list (default: the end)")
        ->check(CLI::NonNegativeNumber);
    CLI::App* rulesRemove = rules->add_subcommand("remove", "remove rule INDEX");
    CLI::App* rulesEnable = rules->add_subcommand("enable", "switch rule INDEX on");
    CLI::App* rulesDisable = rules->add_subcommand("disable", "switch rule INDEX off");
    for (CLI::App* sub : {rulesRemove, rulesEnable, rulesDisable})
        sub->add_option("INDEX", edit.index, "the rule's # in rules list")
            ->required()
            ->check(CLI::NonNegativeNumber);
    CLI::App* rulesMove = rules->add_subcommand("move", "move rule INDEX to place TO");
    rulesMove->add_option("INDEX", edit.index, "the rule's # in rules list")
        ->required()
        ->check(CLI::NonNegativeNumber);
    rulesMove->add_option("TO", edit.to, "its new #")->required()->check(CLI::NonNegativeNumber);

    // mail
    CLI::App* mail = app.add_subcommand("mail", "the quarantine, blocked, filtered and deferred "
                                                "folders");
    mail->require_subcommand(1, 1);
    std::string folderName;
    std::vector<std::string> names;
    std::vector<std::string> sizeFolders;
    CLI::App* mailList = mail->add_subcommand("list", "the names in FOLDER");
    CLI::App* mailShow = mail->add_subcommand("show", "print messages of FOLDER");
    CLI::App* mailDelete = mail->add_subcommand("delete", "have the scanner delete messages");
    CLI::App* mailRelease = mail->add_subcommand("release", "have the scanner send messages on");
    for (CLI::App* sub : {mailList, mailShow, mailDelete, mailRelease}) {
        sub->add_option("FOLDER", folderName, "quarantine, blocked, filtered or deferred")
            ->required()
            ->check(CLI::IsMember(folderNames));
        if (sub != mailList)
            sub->add_option("NAME", names, "message names as mail list shows them")->required();
    }
    addFilters(mailList);
    addFilters(mailShow);
    CLI::App* mailSize = mail->add_subcommand("size", "bytes and messages of folders");
    mailSize->add_option("FOLDER", sizeFolders, "folders (default: all four)")
        ->check(CLI::IsMember(folderNames));

    // logs
    CLI::App* logs = app.add_subcommand("logs", "the mail, virus and deferred-message logs");
    logs->require_subcommand(1, 1);
    std::string kind;
    CLI::App* logsList = logs->add_subcommand("list", "the mail or virus log files");
    logsList->add_option("LOG", kind, "mail or virus")
        ->required()
        ->check(CLI::IsMember({"mail", "virus", "deferred"}));
    CLI::App* logsShow = logs->add_subcommand("show", "print log files");
    logsShow->add_option("LOG", kind, "mail, virus or deferred")
        ->required()
        ->check(CLI::IsMember({"mail", "virus", "deferred"}));
    logsShow->add_option("NAME", names, "file names as logs list shows them")->required();
    addFilters(logsList);
    addFilters(logsShow);

    // scanner
    CLI::App* scanner = app.add_subcommand("scanner", "control commands for the scanner");
    scanner->require_subcommand(1, 1);
    std::vector<std::string> patterns;
    bool typed = false;
    bool named = false;
    CLI::App* reject = scanner->add_subcommand("reject-mail", "refuse inbound mail");
    CLI::App* accept = scanner->add_subcommand("accept-mail", "accept inbound mail again");
    CLI::App* block = scanner->add_subcommand(
        "block-attachments", "block mail with attachments (all, or those named by PATTERNs)");
    block->add_option("PATTERN", patterns, "attachment names, such as *.exe");
    block->add_flag("--typed", typed, "the PATTERNs are types, not names");
    CLI::App* unblock = scanner->add_subcommand("unblock-attachments", "lift a block");
    unblock->add_flag("--named", named, "lift the block of named attachments");
    unblock->add_flag("--typed", typed, "lift the block of typed attachments");
    CLI::App* increase = scanner->add_subcommand("increase", "raise the scan settings");
    CLI::App* decrease = scanner->add_subcommand("decrease", "lower the scan settings");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_DONE : EXIT_USAGE;
    }

    // The gateways.
    std::vector<Target> targets;
    const int defaultPort = port > 0 ? port : RemoteConfiguredPort();
    std::vector<std::string> hostTexts = hostArgs;
    if (!hostsFile.empty()) {
        std::string text;
        if (!ReadFile(hostsFile, &text))
            return UsageError("cannot read " + hostsFile);
        for (std::string line : Lines(text)) {
            line.erase(0, line.find_first_not_of(" \t"));
            line.erase(line.find_last_not_of(" \t") + 1);
            if (!line.empty() && line[0] != '#')
                hostTexts.push_back(line);
        }
    }
    for (const std::string& text : hostTexts) {
        Target target;
        std::string why;
        if (!ParseTarget(text, defaultPort, &target, &why))
            return UsageError(why);
        targets.push_back(target);
    }
    if (targets.empty()) {
        if (!hostsFile.empty())
            return UsageError(hostsFile + " names no host");
        targets.push_back(Target{"localhost", defaultPort});
    }

    Filter filter;
    if (!since.empty() && !ParseSince(since, &filter.since))
        return UsageError("--since: '" + since + "' is not a date YYYY-MM-DD[ hh:mm[:ss]]");
    if (!match.empty()) {
        try {
            filter.match = std::regex(match, std::regex::ECMAScript);
            filter.hasMatch = true;
        } catch (const std::regex_error&) {
            return UsageError("--match: '" + match + "' is not a regular expression");
        }
    }
    std::string why;

    if (status->parsed()) {
        command = MakeStatus();
    } else if (stats->parsed()) {
        command = MakeStats();
    } else if (configGet->parsed()) {
        std::vector<std::string> canonical;
        for (const std::string& key : keys) {
            const RemoteSetting* setting = RemoteFindSetting(key.c_str());
            if (setting == nullptr && key != "SMTP_SCAN_ATTACHMENTS_AVAILABLE")
                return UsageError("no setting named " + key);
            canonical.push_back(setting != nullptr ? setting->key : key);
        }
        command = MakeConfigGet(canonical);
    } else if (configSet->parsed()) {
        std::vector<SettingValue> values;
        std::set<std::string> seen;
        for (const std::string& a : assignments) {
            size_t equals = a.find('=');
            if (equals == std::string::npos)
                return UsageError("'" + a + "' is not KEY=VALUE");
            SettingValue v;
            std::string key = a.substr(0, equals);
            v.setting = RemoteFindSetting(key.c_str());
            if (v.setting == nullptr) {
                if (RemoteRuleSlot(key.c_str()) >= 0 ||
                    key.compare(0, 12, REMOTE_RULE_PREFIX) == 0)
                    return UsageError("rules are changed with vantry rules, not config set");
                return UsageError("no setting named " + key + " (vantry config get lists them)");
            }
            v.key = v.setting->key;
            if (!NormalizeValue(*v.setting, a.substr(equals + 1), &v.value, &why))
                return UsageError(why);
            if (!seen.insert(v.key).second)
                return UsageError(v.key + " is given twice");
            values.push_back(v);
        }
        std::stable_sort(values.begin(), values.end(), [](const SettingValue& x, const SettingValue& y) {
            return RemoteSettingOrder(x.setting) < RemoteSettingOrder(y.setting);
        });
        command = MakeConfigSet(values);
    } else if (configExport->parsed()) {
        if (targets.size() != 1)
            return UsageError("config export reads one gateway");
        command = MakeConfigExport(file);
    } else if (configImport->parsed()) {
        std::string text;
        if (!ReadFile(file, &text))
            return UsageError("cannot read " + file);
        std::vector<SettingValue> values;
        if (!ParseImport(text, &values, &why))
            return UsageError(file + ": " + why);
        command = MakeConfigImport(values);
    } else if (rulesList->parsed()) {
        command = MakeRulesList();
    } else if (rules->parsed()) {
        if (rulesAdd->parsed()) {
            edit.kind = RULE_ADD;
            edit.rule.block = !noBlock;
            edit.rule.active = !disabled;
            edit.rule.locations = 0;
            std::stringstream places(where);
            std::string place;
            while (std::getline(places, place, ',')) {
                if (place == "subject")
                    edit.rule.locations |= REMOTE_RULE_SUBJECT;
                else if (place == "body")
                    edit.rule.locations |= REMOTE_RULE_BODY;
                else if (place == "attachments")
                    edit.rule.locations |= REMOTE_RULE_ATTACHMENTS;
                else
                    return UsageError("--where: '" + place +
                                      "' is not subject, body or attachments");
            }
            std::string problem = RemoteRuleProblem(edit.rule);
            if (!problem.empty())
                return UsageError("rules add: " + problem);
        } else {
            edit.kind = rulesRemove->parsed()    ? RULE_REMOVE
                        : rulesEnable->parsed()  ? RULE_ENABLE
                        : rulesDisable->parsed() ? RULE_DISABLE
                                                 : RULE_MOVE;
        }
        command = MakeRulesEdit(edit);
    } else if (mail->parsed()) {
        if (mailSize->parsed()) {
            std::vector<const Folder*> folders;
            for (const std::string& f : sizeFolders)
                folders.push_back(FindFolder(f));
            if (folders.empty())
                for (const Folder& f : kFolders)
                    folders.push_back(&f);
            command = MakeMailSize(folders);
        } else {
            const Folder* folder = FindFolder(folderName);
            if (!CheckNames(names, &why))
                return UsageError(why);
            if (mailList->parsed())
                command = MakeMailList(*folder, filter);
            else if (mailShow->parsed())
                command = MakeMailShow(*folder, names, filter);
            else
                command = MakeMailAction(*folder, names, mailRelease->parsed());
        }
    } else if (logsList->parsed()) {
        if (kind == "deferred")
            return UsageError("the deferred-message log has no listing; show it by name: "
                              "vantry logs show deferred NAME");
        command = MakeLogsList(kind, filter);
    } else if (logsShow->parsed()) {
        if (!CheckNames(names, &why))
            return UsageError(why);
        command = MakeLogsShow(kind, names, filter);
    } else if (scanner->parsed()) {
        std::string request;
        std::string list;
        for (const std::string& p : patterns) {
            if (p.empty() || p.find_first_of(" \r\n") != std::string::npos)
                return UsageError("'" + p + "' is not an attachment pattern (one word)");
            list += (list.empty() ? "" : " ") + p;
        }
        std::string name;
        if (reject->parsed()) {
            name = "reject-mail";
            request = "REJECT_INCOMING_MAIL";
        } else if (accept->parsed()) {
            name = "accept-mail";
            request = "ACCEPT_INCOMING_MAIL";
        } else if (block->parsed()) {
            name = "block-attachments";
            if (list.empty() && typed)
                return UsageError("block-attachments --typed needs the types");
            request = list.empty() ? "BLOCK_MAIL_WITH_ATTACHMENTS"
                      : typed      ? "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS " + list
                                   : "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS " + list;
        } else if (unblock->parsed()) {
            name = "unblock-attachments";
            if (named && typed)
                return UsageError("unblock-attachments takes --named or --typed, not both");
            request = named   ? "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS"
                      : typed ? "UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS"
                              : "UNBLOCK_MAIL_WITH_ATTACHMENTS";
        } else if (increase->parsed()) {
            name = "increase";
            request = "INCREASE_SCAN_SETTINGS";
        } else if (decrease->parsed()) {
            name = "decrease";
            request = "DECREASE_SCAN_SETTINGS";
        }
        command = MakeScanner(name, request);
    }
    if (!command.run)
        return UsageError("no command given (vantry --help)");

    bool progress = targets.size() > 1 && VANTRY_IS_TERMINAL(stderr);
    std::vector<HostResult> results =
        RunFleet(command, targets, static_cast<DWORD>(timeout) * 1000, parallel, progress);
    int worst = Report(command, results, json, prometheus && !json);
    fflush(stdout);
    return worst;
}
