// vantry against the real service and scanner stand-in: every subcommand,
// its JSON lines against the fields the README documents, export and import,
// rule edits read back through get_config, bad input, and a fleet.
#include "PellionHarness.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

using vtest::Pellion;
using Json = nlohmann::ordered_json;

struct Outcome {
    std::string out;
    std::string err;
    int exit = -1;
};

// vantry with arguments against port (none: the registry's Config_Port);
// standard output and error apart.
Outcome Vantry(const std::string& arguments, int port = 0) {
    static int serial = 0;
    std::string errFile = "/tmp/vantry-test-" + std::to_string(getpid()) + "-" +
                          std::to_string(++serial) + ".err";
    std::string command = std::string(VANTRY_TOOL) + (port ? " --port " + std::to_string(port) : "") +
                          " " + arguments + " 2>" + errFile;
    FILE* pipe = popen(command.c_str(), "r");
    Outcome run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        run.out.append(buf, n);
    int status = pclose(pipe);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errFile);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    unlink(errFile.c_str());
    return run;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The fields of each JSON record type, as the README's table lists them:
// lines "| `type` | `field`, `field`, ... |" in its vantry section.
std::map<std::string, std::set<std::string>> DocumentedFields() {
    std::map<std::string, std::set<std::string>> fields;
    std::istringstream readme(ReadText(VANTRY_README));
    std::string line;
    bool inTable = false;
    while (std::getline(readme, line)) {
        if (line.find("<!-- vantry-json-fields -->") != std::string::npos) {
            inTable = true;
            continue;
        }
        if (!inTable)
            continue;
        if (line.empty())
            break;
        if (line.compare(0, 3, "| `") != 0)
            continue;
        size_t typeEnd = line.find('`', 3);
        std::string type = line.substr(3, typeEnd - 3);
        size_t cell = line.find('|', typeEnd);
        std::string rest = line.substr(cell + 1);
        for (size_t p = rest.find('`'); p != std::string::npos; p = rest.find('`', p)) {
            size_t q = rest.find('`', p + 1);
            fields[type].insert(rest.substr(p + 1, q - p - 1));
            p = q + 1;
        }
    }
    return fields;
}

// Every line of out is a JSON object whose type is documented, with exactly
// the documented fields; the records.
std::vector<Json> CheckJson(const std::string& out) {
    static const auto documented = DocumentedFields();
    std::vector<Json> records;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Json record = Json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << line;
        if (!record.is_object())
            continue;
        std::string type = record.value("type", "");
        auto doc = documented.find(type);
        EXPECT_NE(doc, documented.end()) << "undocumented type: " << line;
        if (doc == documented.end())
            continue;
        std::set<std::string> have;
        for (auto it = record.begin(); it != record.end(); ++it)
            have.insert(it.key());
        EXPECT_EQ(have, doc->second) << line;
        records.push_back(record);
    }
    return records;
}

const Json* Result(const std::vector<Json>& records) {
    for (const Json& r : records)
        if (r["type"] == "result")
            return &r;
    return nullptr;
}

// The running gateway with its mail folders made on disk.
class Gateway : public Pellion {
public:
    std::string Folder(const std::string& name) const {
        std::string path = root() + "/drive_c/Program Files/Corvane/Ostel/Vantry SMTP/" + name + "/";
        vtest::RunCommand("mkdir -p '" + path + "'");
        return path;
    }
    std::string Config() { return vtest::Ask(port(), "get_config\n"); }
};

TEST(Vantry, EverySubcommandAnswersWithDocumentedRecords) {
    Gateway gw;
    WriteText(gw.Folder("Quarantine") + "20261201083000", "Subject: one\n");
    WriteText(gw.Folder("Quarantine") + "20261205090000", "Subject: two\nline two\n");
    WriteText(gw.Folder("Log") + "mail20261201.log",
              "2026-12-01 08:00 old entry\n2026-12-07 09:00 new entry\n  its second line\n");
    WriteText(gw.Folder("Log") + "virus20261203.log", "2026-12-03 found EICAR\n");
    WriteText(gw.Folder("Deferred") + "deferred.log", "2026-12-02 deferred one\n");
    ASSERT_TRUE(gw.InstallAndStartBoth());
    const int port = gw.port();
    struct Case {
        std::string args;
        int exit;
        std::string status;   // the result record's status
        std::string contains; // in the records' dump
        std::string absent = "\x01"; // not in it
    } cases[] = {
        {"status", 0, "ok", "\"scanner\":\"answers\""},
        {"stats", 0, "ok", "SMTP_NUMBER_SCAN"},
        {"config get SMTP_ACTION smtp_read_port", 0, "ok", "\"key\":\"SMTP_READ_PORT\""},
        {"config set SMTP_DEFAULT_DOMAIN=mail.example SMTP_ACTION=2", 0, "changed",
         "\"new\":\"mail.example\""},
        {"config set SMTP_DEFAULT_DOMAIN=mail.example SMTP_ACTION=002", 0, "unchanged", ""},
        {"config export -", 0, "ok", "SMTP_DEFAULT_DOMAIN='mail.example'"},
        {"rules add --phrase winner --where body,attachments --description prize", 0, "changed",
         "\"where\":\"body,attachments\""},
        {"rules list", 0, "ok", "\"phrase\":\"winner\""},
        {"rules disable 0", 0, "changed", "\"active\":false"},
        {"rules enable 0", 0, "changed", "\"active\":true"},
        {"rules enable 0", 0, "unchanged", "\"active\":true"},
        {"rules add --phrase lottery --at 0", 0, "changed", "\"phrase\":\"lottery\""},
        {"rules move 1 0", 0, "changed", "\"index\":0,\"active\":true,\"description\":\"prize\""},
        {"rules remove 1", 0, "changed", "winner"},
        {"mail list quarantine", 0, "ok", "20261205090000"},
        {"mail list quarantine --since 2026-12-03", 0, "ok", "\"name\":\"20261205090000\"",
         "20261201083000"},
        {"mail list quarantine --since '2026-12-05 09:00'", 0, "ok", "20261205090000"},
        {"mail list quarantine --since '2026-12-05 09:00:01'", 0, "ok", "", "20261205090000"},
        {"mail list quarantine --match '1201'", 0, "ok", "\"name\":\"20261201083000\"",
         "20261205090000"},
        {"mail list blocked", 0, "ok", ""},
        {"mail show quarantine 20261205090000", 0, "ok", "line two"},
        {"mail size", 0, "ok", "\"folder\":\"quarantine\",\"bytes\":35,\"messages\":1"},
        {"mail delete quarantine 20261201083000", 0, "ok", "\"result\":\"done\""},
        {"mail release quarantine 20261205090000", 0, "ok", "\"action\":\"release\""},
        {"logs list mail", 0, "ok", "mail20261201.log"},
        {"logs list virus", 0, "ok", "virus20261203.log"},
        {"logs show mail mail20261201.log --since 2026-12-05", 0, "ok",
         "new entry\\n  its second line", "old entry"},
        {"logs show deferred deferred.log --match deferred", 0, "ok", "deferred one"},
        {"scanner reject-mail", 0, "done", ""},
        {"scanner accept-mail", 0, "done", ""},
        {"scanner block-attachments '*.exe' '*.scr'", 0, "done", ""},
        {"scanner block-attachments --typed exe", 0, "done", ""},
        {"scanner unblock-attachments --named", 0, "done", ""},
        {"scanner increase", 0, "done", ""},
        {"scanner decrease", 0, "done", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome run = Vantry("--json " + c.args, port);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        std::vector<Json> records = CheckJson(run.out);
        const Json* result = Result(records);
        ASSERT_NE(result, nullptr) << run.out;
        EXPECT_EQ((*result)["status"], c.status);
        EXPECT_EQ((*result)["command"], c.args.substr(0, c.args.find(' ', c.args.find(' ') + 1) ==
                                                                std::string::npos
                                                            ? c.args.size()
                                                            : c.args.find(' ', c.args.find(' ') + 1)))
            << "the command's two words";
        std::string all;
        for (const Json& r : records)
            all += r.dump();
        EXPECT_NE(all.find(c.contains), std::string::npos) << all;
        EXPECT_EQ(all.find(c.absent), std::string::npos) << all;
    }
    // What the scanner received, in order: the control words as sent.
    std::vector<std::string> record = gw.drennic().Record();
    std::string joined;
    for (const std::string& r : record)
        joined += r + "|";
    for (const char* word : {"DELETE_QFILE", "SEND_QFILE", "REJECT_INCOMING_MAIL",
                             "ACCEPT_INCOMING_MAIL", "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS *.exe *.scr",
                             "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS exe",
                             "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS", "INCREASE_SCAN_SETTINGS",
                             "DECREASE_SCAN_SETTINGS"})
        EXPECT_NE(joined.find(word), std::string::npos) << word << " in " << joined;

    // The human forms: an aligned table, the file's text, Prometheus' format.
    Outcome table = Vantry("rules list", port);
    EXPECT_EQ(table.out.compare(0, 4, "#  A"), 0) << table.out;
    EXPECT_NE(table.out.find("prize"), std::string::npos);
    EXPECT_EQ(Vantry("logs show virus virus20261203.log", port).out, "2026-12-03 found EICAR\n");
    Outcome prom = Vantry("stats --prometheus", port);
    EXPECT_NE(prom.out.find("# TYPE vantry_smtp_number_scan counter\n"
                            "vantry_smtp_number_scan{host=\"localhost:" +
                            std::to_string(port) + "\"} "),
              std::string::npos)
        << prom.out;
    EXPECT_NE(prom.out.find("vantry_scanner_up{host=\"localhost:" + std::to_string(port) + "\"} 1"),
              std::string::npos);
}

TEST(Vantry, ExportIntoAFreshRootAndImportGivesTheSameFile) {
    const std::string first = "/tmp/vantry-export-" + std::to_string(getpid()) + "-1";
    const std::string second = "/tmp/vantry-export-" + std::to_string(getpid()) + "-2";
    {
        Gateway source;
        ASSERT_TRUE(source.InstallAndStart());
        ASSERT_EQ(Vantry("config set SMTP_DEFAULT_DOMAIN=\"it's here\" SMTP_READ_PORT=2525 "
                         "SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.0' SMTP_ACTION=-3",
                         source.port())
                      .exit,
                  0);
        ASSERT_EQ(Vantry("rules add --phrase 'a b' --second-phrase c --both --proximity 4", source.port()).exit, 0);
        ASSERT_EQ(Vantry("rules add --phrase d --disabled --no-block --notify-sender", source.port()).exit, 0);
        Outcome exported = Vantry("config export " + first, source.port());
        ASSERT_EQ(exported.exit, 0) << exported.err;
    }
    Gateway fresh;
    ASSERT_TRUE(fresh.InstallAndStart());
    Outcome imported = Vantry("config import " + first, fresh.port());
    EXPECT_EQ(imported.exit, 0) << imported.err;
    EXPECT_NE(imported.out.find("changed"), std::string::npos);
    ASSERT_EQ(Vantry("config export " + second, fresh.port()).exit, 0);
    std::string text = ReadText(first);
    EXPECT_EQ(ReadText(second), text);
    EXPECT_NE(text.find("\nSMTP_DEFAULT_DOMAIN='it's here'\n"), std::string::npos);
    EXPECT_NE(text.find("\nFilter_Rule_1=' #d# #0#0#3#0#1#0'\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SMTP_SCAN_ATTACHMENTS_AVAILABLE"), std::string::npos);
    // A second import changes nothing and says so.
    Outcome again = Vantry("config import " + first, fresh.port());
    EXPECT_EQ(again.exit, 0);
    EXPECT_EQ(again.out, "unchanged\n");
    unlink(first.c_str());
    unlink(second.c_str());
}

TEST(Vantry, RuleEditsReadBackThroughGetConfig) {
    Gateway gw;
    ASSERT_TRUE(gw.InstallAndStart());
    const int port = gw.port();
    struct Step {
        std::string args;
        std::vector<std::string> rules; // the Filter_Rule_ lines get_config then sends
    } steps[] = {
        {"rules add --phrase alpha", {"Filter_Rule_0=' #alpha# #0#0#3#1#0#1'"}},
        {"rules add --phrase beta --where attachments --description b",
         {"Filter_Rule_0=' #alpha# #0#0#3#1#0#1'", "Filter_Rule_1='b#beta# #0#0#4#1#0#1'"}},
        {"rules disable 1",
         {"Filter_Rule_0=' #alpha# #0#0#3#1#0#1'", "Filter_Rule_1='b#beta# #0#0#4#1#0#0'"}},
        {"rules move 1 0",
         {"Filter_Rule_0='b#beta# #0#0#4#1#0#0'", "Filter_Rule_1=' #alpha# #0#0#3#1#0#1'"}},
        {"rules remove 0", {"Filter_Rule_0=' #alpha# #0#0#3#1#0#1'"}},
        {"rules remove 0", {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args);
        Outcome run = Vantry(step.args, port);
        EXPECT_EQ(run.exit, 0) << run.err;
        std::string config = gw.Config();
        std::vector<std::string> rules;
        std::istringstream lines(config);
        std::string line;
        while (std::getline(lines, line))
            if (line.compare(0, 12, "Filter_Rule_") == 0)
                rules.push_back(line);
        EXPECT_EQ(rules, step.rules);
        EXPECT_NE(config.find("\nNo_of_Filter_Rules='" + std::to_string(step.rules.size()) + "'\n"),
                  std::string::npos);
    }
}

TEST(Vantry, BadInputIsAClearErrorAndChangesNothing) {
    Gateway gw;
    ASSERT_TRUE(gw.InstallAndStart());
    const int port = gw.port();
    ASSERT_EQ(Vantry("rules add --phrase kept", port).exit, 0);
    const std::string before = gw.Config();
    struct Case {
        std::string args;
        int exit;
        std::string err;
    } cases[] = {
        {"config set NO_SUCH_KEY=1", 2, "no setting named NO_SUCH_KEY"},
        {"config set SMTP_ACTIONX=1", 2, "no setting named SMTP_ACTIONX"},
        {"config get NO_SUCH_KEY", 2, "no setting named NO_SUCH_KEY"},
        {"config set SMTP_ACTION=two", 2, "SMTP_ACTION is a number"},
        {"config set SMTP_ACTION=4294967296", 2, "SMTP_ACTION is a number"},
        {"config set SMTP_READ_PORT=65536", 2, "is a port"},
        {"config set SMTP_ACTION=5 SMTP_DEFAULT_DOMAIN=" + std::string(257, 'd'), 1,
         "exceeds the expected parameter size"},
        {"config set Filter_Rule_0=x", 2, "vantry rules"},
        {"rules add --phrase 'a#b'", 2, "'#'"},
        {"rules add --phrase " + std::string(64, 'p'), 2, "longer than 63"},
        {"rules add --phrase x --where inbox", 2, "inbox"},
        {"rules remove 1", 2, "no rule 1; the gateway has 1 rule"},
        {"rules move 0 5", 2, "no rule 5"},
        {"mail list outbox", 2, "outbox"},
        {"mail show quarantine ../Log/mail.log", 2, "not a name"},
        {"logs list deferred", 2, "no listing"},
        {"mail list quarantine --since yesterday", 2, "--since"},
        {"--host no-such-host.invalid status", 4, "does not resolve"},
        {"--host 127.0.0.1:0 status", 2, "port"},
        {"frobnicate", 2, "subcommand"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome run = Vantry(c.args, port);
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("changed"), std::string::npos);
    }
    EXPECT_EQ(gw.Config(), before);
}

TEST(Vantry, AFleetShowsEachGatewaysOutcomeAndExitsWithTheWorst) {
    Gateway up;
    ASSERT_TRUE(up.InstallAndStart());
    Gateway refusing;
    refusing.SetServiceValue("Allowed_Clients", "mailgw");
    ASSERT_TRUE(refusing.InstallAndStart());
    Gateway stopped; // installed, never started: nothing listens on its port
    ASSERT_TRUE(stopped.Install());
    const std::string hosts = "/tmp/vantry-hosts-" + std::to_string(getpid());
    WriteText(hosts, "# the fleet\n127.0.0.1:" + std::to_string(up.port()) + "\n\n127.0.0.1:" +
                         std::to_string(refusing.port()) + "\n");
    const std::string all =
        "--hosts " + hosts + " --host 127.0.0.1:" + std::to_string(stopped.port());
    Outcome run = Vantry(all + " config set SMTP_ACTION=7");
    EXPECT_EQ(run.exit, 4);
    const std::string upLine = "127.0.0.1:" + std::to_string(up.port()) + "  changed";
    EXPECT_NE(run.out.find(upLine), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("not admitted  3"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("unreachable   4"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("ACCESS_DENIED"), std::string::npos);
    EXPECT_NE(run.err.find("is Pellion running?"), std::string::npos);
    EXPECT_NE(up.Config().find("\nSMTP_ACTION='7'\n"), std::string::npos);

    std::vector<Json> records = CheckJson(Vantry("--json " + all + " status").out);
    std::map<std::string, int> exits;
    for (const Json& r : records)
        if (r["type"] == "result")
            exits[r["host"]] = r["exit"];
    EXPECT_EQ(exits.size(), 3u);
    EXPECT_EQ(exits["127.0.0.1:" + std::to_string(up.port())], 0);
    EXPECT_EQ(exits["127.0.0.1:" + std::to_string(refusing.port())], 3);
    EXPECT_EQ(exits["127.0.0.1:" + std::to_string(stopped.port())], 4);
    // Without the stopped one, the worst is the refusal.
    EXPECT_EQ(Vantry("--hosts " + hosts + " status").exit, 3);
    unlink(hosts.c_str());
}

} // namespace
