// The whole gateway with real mail: the real pellion and drennic as services,
// rules set through set_config or the administrator's client, messages dropped
// into the pickup folder, and what an administrator then sees through the
// configuration protocol and the client.
#include "PellionHarness.h"
#include "ScanCorpus.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using vtest::Ask;
using vtest::Pellion;

// The administrator's client against port: its exit status and its output.
int Vantry(unsigned short port, const std::string& arguments, std::string* out = nullptr) {
    std::string command =
        std::string(VANTRY_TOOL) + " --port " + std::to_string(port) + " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), pipe)) > 0;)
        text.append(buf, n);
    int status = pclose(pipe);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Gateway : public Pellion {
public:
    std::string Folder(const std::string& name) const {
        return root() + "/drive_c/Program Files/Corvane/Ostel/Vantry SMTP/" + name + "/";
    }
    bool Start() { return InstallAndStartBoth(); }

    // Drops a message as a careful writer does: under a hidden name, then
    // renamed into place.
    void Drop(const std::string& name, const std::string& bytes) {
        std::string hidden = Folder("Pickup") + "." + name;
        {
            std::ofstream out(hidden, std::ios::binary);
            out << bytes;
        }
        std::rename(hidden.c_str(), (Folder("Pickup") + name).c_str());
    }

    std::vector<std::string> Names(const std::string& folder) const {
        std::vector<std::string> names;
        DIR* dir = opendir(Folder(folder).c_str());
        if (dir == nullptr)
            return names;
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    // The mail log's lines, oldest first.
    std::vector<std::string> MailLog() const {
        std::vector<std::string> lines;
        for (const std::string& name : Names("Log")) {
            std::ifstream in(Folder("Log") + name);
            std::string line;
            while (std::getline(in, line))
                lines.push_back(line);
        }
        return lines;
    }
    // Waits until the mail log holds count lines (30 s at most).
    std::vector<std::string> WaitForLog(size_t count) {
        DWORD start = GetTickCount();
        std::vector<std::string> lines = MailLog();
        while (lines.size() < count && GetTickCount() - start < 30000) {
            Sleep(20);
            lines = MailLog();
        }
        return lines;
    }

    size_t ScanStarts() {
        size_t n = 0;
        for (const std::string& text : drennic().EventTexts(EVENTLOG_INFORMATION_TYPE))
            n += text.compare(0, 9, "Scanning ") == 0 ? 1 : 0;
        return n;
    }
    // set_config with these lines; waits until Drennic has read the key again.
    std::string Configure(const std::string& lines) {
        size_t before = ScanStarts();
        std::string reply = Ask(port(), "set_config\r\n" + lines + "\r\n");
        DWORD start = GetTickCount();
        while (ScanStarts() <= before && GetTickCount() - start < 30000)
            Sleep(20);
        return reply;
    }
};

// A rule line of set_config from a corpus rule (blocking, active).
std::string RuleLine(int slot, const vtest::RuleSpec& r) {
    return "Filter_Rule_" + std::to_string(slot) + "='corpus#" + r.primary + "#" +
           (r.secondary.empty() ? " " : r.secondary) + "#" + std::to_string(r.proximity) + "#" +
           std::to_string(r.andFlag) + "#" + std::to_string(r.flags) + "#1#0#1'\r\n";
}

TEST(ScanGateway, WalkThroughAddRuleDropFilteredShowReleaseOutbound) {
    Gateway gateway;
    ASSERT_TRUE(gateway.Start());
    const unsigned short port = gateway.port();
    // Nothing filtered yet, and the filter is off: a message passes.
    std::string exe = vtest::CorpusFile("attach-exe.eml");
    gateway.Drop("first.eml", exe);
    std::vector<std::string> log = gateway.WaitForLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(" PASSED "), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("(first.eml) content filter off"), std::string::npos) << log[0];

    // Add a rule with the administrator's client: attachments whose names
    // end in exe; and turn the filter on.
    EXPECT_EQ(Vantry(port, "rules add --phrase '*exe' --where attachments "
                           "--description 'Block programs'"),
              0);
    EXPECT_EQ(Vantry(port, "config set SMTP_CONTENT_FILTER_ON=1"), 0);
    gateway.Drop("sample.eml", exe);
    log = gateway.WaitForLog(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find(" FILTERED "), std::string::npos) << log[1];
    EXPECT_NE(log[1].find("(sample.eml) rule Filter_Rule_0 (Block programs, phrase '*exe') "
                          "matched; from Alice Sender <alice@example.com>; subject 'Update'"),
              std::string::npos)
        << log[1];
    // Listed as filtered: one message, two files (the message and its note).
    std::vector<std::string> filtered = gateway.Names("Filter");
    ASSERT_EQ(filtered.size(), 2u);
    const std::string name = filtered[0];
    EXPECT_EQ(filtered[1], name + ".inf");
    EXPECT_EQ(Ask(port, "get_filteredmsg_list\r\n"), "CODE 1\r\n" + name + "\r\nCODE 0\r\n");
    std::string listed;
    EXPECT_EQ(Vantry(port, "mail list filtered", &listed), 0);
    EXPECT_NE(listed.find(name), std::string::npos) << listed;
    EXPECT_EQ(Ask(port, "getsize_filteredmsg\r\n").substr(Ask(port, "getsize_filteredmsg\r\n").find(' ')),
              " 1\r\n");
    // Shown: the message as it came (line ends as line feeds).
    std::string shown = Ask(port, "get_filteredmsg " + name + "\r\n");
    std::string lf = exe;
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;)
        lf.replace(at, 2, "\n");
    EXPECT_EQ(shown, "CODE 1\r\n" + lf + "\r\n");
    // The mail log as an administrator reads it.
    std::string logs = Ask(port, "get_maillog_list\r\n");
    ASSERT_EQ(logs.compare(0, 12, "CODE 1\r\nmail"), 0) << logs;
    std::string logName = logs.substr(8, logs.find("\r\n", 8) - 8);
    std::string served = Ask(port, "get_maillog " + logName + "\r\n");
    EXPECT_NE(served.find("FILTERED " + name + " (sample.eml)"), std::string::npos) << served;
    std::string stats = Ask(port, "get_statistics\r\n");
    for (const char* item : {"SMTP_NUMBER_SCAN='2'", "SMTP_NUMBER_DETECTED='1'",
                             "SMTP_NUMBER_FILTERED='1'", "SMTP_NUMBER_DEFERRED='0'"})
        EXPECT_NE(stats.find(item), std::string::npos) << item << " in " << stats;

    // Released: it goes to the outbound folder, its note goes away.
    EXPECT_EQ(Vantry(port, "mail release filtered " + name), 0);
    DWORD start = GetTickCount();
    while (!gateway.Names("Filter").empty() && GetTickCount() - start < 10000)
        Sleep(20);
    EXPECT_TRUE(gateway.Names("Filter").empty());
    std::vector<std::string> outbound = gateway.Names("Outbound");
    ASSERT_EQ(outbound.size(), 2u); // the first message, which passed, and this one
    EXPECT_NE(std::find(outbound.begin(), outbound.end(), name), outbound.end());
    EXPECT_EQ(vtest::ReadBytes(gateway.Folder("Outbound") + name), exe);
    EXPECT_TRUE(gateway.Names("Pickup").empty());

    // Deleting a filtered message takes its note too.
    gateway.Drop("again.eml", exe);
    gateway.WaitForLog(3);
    filtered = gateway.Names("Filter");
    ASSERT_EQ(filtered.size(), 2u);
    EXPECT_EQ(Ask(port, "delete_filteredmsg " + filtered[0] + "\r\n"), "CODE 0\r\n");
    start = GetTickCount();
    while (!gateway.Names("Filter").empty() && GetTickCount() - start < 10000)
        Sleep(20);
    EXPECT_TRUE(gateway.Names("Filter").empty());

    // The rule switched off again (SET_PREFERENCES re-reads it): it passes.
    gateway.Configure("Filter_Rule_0='Block programs#*exe# #0#0#4#1#0#0'\r\n");
    gateway.Drop("later.eml", exe);
    log = gateway.WaitForLog(4);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[3].find("PASSED"), std::string::npos) << log[3];
    EXPECT_NE(log[3].find("no rule matched (0 checked)"), std::string::npos) << log[3];
}

// Each message of the corpus through a gateway of its own making: both rules
// set, the message dropped, and the matching rule named in the mail log.
void FilterEachMessage(vtest::Corpus which) {
    Gateway gateway;
    ASSERT_TRUE(gateway.Start());
    std::vector<vtest::CorpusCase> cases = vtest::ReadCorpus(which);
    ASSERT_GE(cases.size(), 30u);
    size_t lines = 0;
    for (const vtest::CorpusCase& c : cases) {
        // The rule that must not match stands first: had it matched, it
        // would have decided.
        ASSERT_EQ(gateway.Configure(std::string("SMTP_CONTENT_FILTER_ON='1'\r\n") +
                                    "SMTP_CONTENT_FILTER_FLAG='" + (c.allParts ? "0" : "1") +
                                    "'\r\nNo_of_Filter_Rules='2'\r\n" + RuleLine(0, c.noMatch) +
                                    RuleLine(1, c.match)),
                  "CODE 0\r\n")
            << c.file;
        // The pickup folder takes plain names: public/mail/x.eml is dropped
        // as public-mail-x.eml.
        std::string name = c.file;
        std::replace(name.begin(), name.end(), '/', '-');
        gateway.Drop(name, vtest::CorpusFile(c.file));
        std::vector<std::string> log = gateway.WaitForLog(++lines);
        ASSERT_EQ(log.size(), lines) << c.file;
        EXPECT_NE(log.back().find(" FILTERED "), std::string::npos) << log.back();
        EXPECT_NE(log.back().find("(" + name + ") rule Filter_Rule_1 "), std::string::npos)
            << log.back();
    }
    EXPECT_EQ(gateway.Names("Filter").size(), 2 * cases.size());
    EXPECT_TRUE(gateway.Names("Drennic/Temp").empty());
}

TEST(ScanGateway, EveryCorpusMessageIsFilteredByItsRuleAndNotByTheOther) {
    FilterEachMessage(vtest::Corpus::Own);
}

TEST(ScanGateway, EveryPublicMessageIsFilteredByItsRuleAndNotByTheOther) {
    FilterEachMessage(vtest::Corpus::Public);
}

TEST(ScanGateway, FaultyMailIsDeferredOrScannedAndDrennicGoesOn) {
    Gateway gateway;
    ASSERT_TRUE(gateway.Start());
    std::string exe = vtest::CorpusFile("attach-exe.eml");
    ASSERT_EQ(gateway.Configure("SMTP_CONTENT_FILTER_ON='1'\r\nRead_Max_Mail_Size='" +
                                std::to_string(exe.size()) +
                                "'\r\nNo_of_Filter_Rules='1'\r\n"
                                "Filter_Rule_0='programs#*exe# #0#0#4#1#0#1'\r\n"),
              "CODE 0\r\n");
    std::string tnef = vtest::CorpusFile("tnef-panic.eml");
    std::string longName(10000 - 4, 'n');
    struct Row {
        const char* name;
        std::string bytes;
        const char* decision;
        std::string why;
        DWORD limit; // Read_Max_Mail_Size for it
    } rows[] = {
        {"at-limit.eml", exe, "FILTERED", "rule Filter_Rule_0", DWORD(exe.size())},
        {"over-limit.eml", exe + "x", "DEFERRED",
         std::to_string(exe.size() + 1) + " bytes, more than Read_Max_Mail_Size (" +
             std::to_string(exe.size()) + ")",
         DWORD(exe.size())},
        {"empty.eml", "", "DEFERRED", "not a mail message", 134217728},
        {"deep.eml", vtest::NestedMessages(200), "DEFERRED", "nested deeper than 32 levels",
         134217728},
        {"truncated.eml", exe.substr(0, exe.rfind("--mix-9--") - 5), "FILTERED",
         "rule Filter_Rule_0", 134217728},
        {"tnef-cut.eml", tnef.substr(0, tnef.size() / 2), "PASSED", "no rule matched", 134217728},
        {"long-name.eml",
         vtest::WithAttachment("Content-Type: application/octet-stream; name=\"" + longName +
                                   ".exe\"\r\nContent-Transfer-Encoding: base64\r\n",
                               "!!broken==base64"),
         "FILTERED", "rule Filter_Rule_0", 134217728},
    };
    size_t lines = 0;
    DWORD limit = DWORD(exe.size());
    for (const Row& row : rows) {
        if (row.limit != limit)
            gateway.Configure("Read_Max_Mail_Size='" + std::to_string(row.limit) + "'\r\n");
        limit = row.limit;
        gateway.Drop(row.name, row.bytes);
        std::vector<std::string> log = gateway.WaitForLog(++lines);
        ASSERT_EQ(log.size(), lines) << row.name;
        EXPECT_NE(log.back().find(std::string(" ") + row.decision + " "), std::string::npos)
            << log.back();
        EXPECT_NE(log.back().find(row.why), std::string::npos) << log.back();
        EXPECT_EQ(gateway.drennic().Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }

    // Three deferred messages, three files each; the log says why.
    std::vector<std::string> deferred = gateway.Names("Deferred");
    ASSERT_EQ(deferred.size(), 9u);
    EXPECT_EQ(Ask(gateway.port(), "getsize_deferredmsg\r\n").substr(
                  Ask(gateway.port(), "getsize_deferredmsg\r\n").find(' ')),
              " 3\r\n");
    EXPECT_EQ(deferred[1], deferred[0] + ".inf");
    EXPECT_EQ(deferred[2], deferred[0] + ".log");
    std::string why = Ask(gateway.port(), "get_deferredmsglog " + deferred[2] + "\r\n");
    EXPECT_NE(why.find(" deferred: " + rows[1].why + "\n"), std::string::npos) << why;
    EXPECT_EQ(Ask(gateway.port(), "get_deferredmsg_list\r\n"),
              "CODE 1\r\n" + deferred[0] + "\r\n" + deferred[3] + "\r\n" + deferred[6] +
                  "\r\nCODE 0\r\n");
    EXPECT_EQ(vtest::ReadBytes(gateway.Folder("Deferred") + deferred[0]), exe + "x");
    EXPECT_TRUE(gateway.Names("Drennic/Temp").empty());
    EXPECT_TRUE(gateway.Names("Pickup").empty());
    std::string stats = Ask(gateway.port(), "get_statistics\r\n");
    EXPECT_NE(stats.find("SMTP_NUMBER_DEFERRED='3'"), std::string::npos) << stats;
    EXPECT_NE(stats.find("SMTP_NUMBER_FILTERED='3'"), std::string::npos) << stats;
}

} // namespace
