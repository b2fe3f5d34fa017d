// set_config and get_config driven directly over a loopback pair: the
// refusals and what they leave in the registry (nothing), the limits on a
// client that stops sending or stops reading, a save that fails half-way.
#include "ConnectionPair.h"
#include "config/RegistryRule.h"
#include "config/ScannerSettings.h"
#include "regkey/RegKey.h"
#ifndef _WIN32
#include "platform/posix/eventlog_reader.h"
#endif
#include "service/ClientConnection.h"
#include "service/Settings.h"
#include "support/RegistrySnapshot.h"
#include "support/TempRoot.h"

#include "support/TestThread.h"
#include <sstream>
#include <set>
#include <map>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#ifndef _WIN32
#include <sqlite3.h>
#endif

namespace {

using vtest::ConnectionPair;
using vtest::RegistrySnapshot;

const char kTooLong[] = "CODE 2 MESSAGE Error validating config parameter read from socket - the "
                        "config parameter received exceeds the expected parameter size.\r\n";
const char kBadFormat[] = "CODE 2 MESSAGE Error validating config parameter read from socket - "
                          "the config parameter received is not in the expected format.\r\n";
const char kUnknown[] = "CODE 2 MESSAGE Error validating config parameter read from socket - the "
                        "config parameter received is not recognized.\r\n";
const char kReadFailed[] = "CODE 3 MESSAGE Error reading config from socket\r\n";

struct Result {
    int returned = -1;
    std::string reply;
    DWORD elapsed = 0;
};

// Runs set_config with the lines the client sends (after the request line,
// which the dispatcher has read), then closes the service's end.
Result SetConfig(const std::string& lines, int lineWait = 2000, bool closeSending = false) {
    ConnectionPair pair;
    pair.service().m_lineWaitLimit = lineWait;
    vtest::TestThread sender([&] {
        pair.Send(lines);
        if (closeSending)
            pair.CloseSending();
    });
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    Result result;
    DWORD start = GetTickCount();
    result.returned = pair.service().ReceiveConfig(buffer.get(), -1);
    result.elapsed = GetTickCount() - start;
    sender.join();
    pair.CloseService();
    result.reply = pair.ReadAll();
    return result;
}

std::string Loaded(const char* field) {
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    s->Load();
    std::string f(field);
    if (f == "SMTP_ACTION")
        return std::to_string(s->SMTP_ACTION);
    if (f == "SMTP_DEFAULT_DOMAIN")
        return s->SMTP_DEFAULT_DOMAIN;
    if (f == "SMTP_QUARANTINE")
        return std::to_string(s->SMTP_QUARANTINE);
    return "?";
}

// A configuration already saved, so that "unchanged" means something.
void SaveStartingConfiguration() {
    Result r = SetConfig("SMTP_ACTION='4'\nSMTP_DEFAULT_DOMAIN='start.example'\n\n");
    ASSERT_EQ(r.reply, "CODE 0\r\n");
}

// Whether text was logged as an error; the event log is read back on POSIX
// only (Wine keeps no records).
bool Logged(const std::string& text) {
#ifndef _WIN32
    for (const auto& e : vplat::ReadEventLog("Pellion", EVENTLOG_ERROR_TYPE))
        if (!e.strings.empty() && e.strings[0] == text)
            return true;
    return false;
#else
    (void)text;
    return true;
#endif
}

// The reply text without "CODE n MESSAGE " and "\r\n".
std::string MessageOf(const char* reply) {
    std::string r(reply);
    return r.substr(15, r.size() - 17);
}

// count address/mask pairs of a spam IP list.
std::string Pairs(int count) {
    std::string pairs;
    for (int i = 0; i < count; ++i)
        pairs += (i > 0 ? " 10.0.0." : "10.0.0.") + std::to_string(i % 256) + " 255.255.255.255";
    return pairs;
}

struct Refusal {
    const char* name;
    std::string lines;
    const char* reply;
};

TEST(ReceiveConfig, EachRefusalSavesNothingNotEvenTheLinesBeforeIt) {
    const Refusal cases[] = {
        {"no quote", "SMTP_QUARANTINE='0'\nSMTP_ACTION=2\r\n\r\n", kBadFormat},
        {"value before key", "SMTP_QUARANTINE='0'\nFOO=1\n\n", kBadFormat},
        {"too long", "SMTP_QUARANTINE='0'\nSMTP_DEFAULT_DOMAIN='" + std::string(257, 'd') + "'\n\n",
         kTooLong},
        {"unknown key", "SMTP_QUARANTINE='0'\nFOO='1'\n\n", kUnknown},
        {"blank before key", "SMTP_QUARANTINE='0'\n SMTP_ACTION='2'\n\n", kUnknown},
        {"END with CR is no end line", "SMTP_QUARANTINE='0'\nEND\r\n", kBadFormat},
        {"ends right after its quote", "SMTP_QUARANTINE='0'\nSMTP_ACTION='\n\n", kBadFormat},
        {"number beyond 32 bits", "SMTP_QUARANTINE='0'\nSMTP_ACTION='2147483648'\n\n", kTooLong},
        {"negative beyond 32 bits", "SMTP_QUARANTINE='0'\nSMTP_ACTION='-2147483649'\n\n", kTooLong},
        {"spam IP count above 2000", "SMTP_QUARANTINE='0'\nSMTP_SPAM_IP_LIST_COUNT='2001'\n\n",
         kTooLong},
        {"negative domain count", "SMTP_QUARANTINE='0'\nSMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='-1'\n\n",
         kTooLong},
        {"rule with eight fields",
         "SMTP_QUARANTINE='0'\nNo_of_Filter_Rules='1'\nFilter_Rule_0='d#p#s#0#0#1#1#0'\n\n",
         kBadFormat},
        {"port above 16 bits", "SMTP_QUARANTINE='0'\nSMTP_SEND_PORT='70000'\n\n", kTooLong},
        {"scan threads above the cap", "SMTP_QUARANTINE='0'\nSCAN_Max_Number_Threads='600'\n\n",
         kTooLong},
        {"rule count above the slots", "SMTP_QUARANTINE='0'\nNo_of_Filter_Rules='300'\n\n",
         kTooLong},
        {"rule numbers beyond what the rule holds",
         "No_of_Filter_Rules='1'\nFilter_Rule_0='d#p#s#70000#5#15#2#-1#9'\n\n", kTooLong},
        {"rule with a # in its description",
         "No_of_Filter_Rules='1'\nFilter_Rule_0='a#b#p#s#0#0#1#1#0#1'\n\n", kBadFormat},
        {"rule index at the count", "No_of_Filter_Rules='1'\nFilter_Rule_1='d#p#s#0#0#1#1#0#1'\n\n",
         kTooLong},
        {"rule index landing on slot 1 by its low 16 bits",
         "No_of_Filter_Rules='2'\nFilter_Rule_65537='d#p#s#0#0#1#1#0#1'\n\n", kTooLong},
        {"spam IP token that does not parse", "SMTP_QUARANTINE='0'\nSMTP_SPAM_IP_LIST='a b'\n\n",
         kTooLong},
        {"spam IP count above the entries given",
         "SMTP_SPAM_IP_LIST='1.1.1.1 0.0.0.0'\nSMTP_SPAM_IP_LIST_COUNT='2'\n\n", kTooLong},
        {"rule text of 64 characters",
         "SMTP_QUARANTINE='0'\nNo_of_Filter_Rules='1'\nFilter_Rule_0='" + std::string(64, 'x') +
             "#p#s#0#0#1#1#0#1'\n\n",
         kTooLong},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        vtest::TempRoot root;
        SaveStartingConfiguration();
        const std::string before = RegistrySnapshot(SCANNER_KEY);
        Result r = SetConfig(c.lines);
        EXPECT_EQ(r.returned, 0);
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
        EXPECT_TRUE(Logged(MessageOf(c.reply)));
    }
}

TEST(ReceiveConfig, AcceptedLinesAtTheirLimitsAreSavedAndReadBack) {
    struct Accepted {
        const char* name;
        std::string lines;
    };
    const Accepted cases[] = {
        {"256-character domain", "SMTP_DEFAULT_DOMAIN='" + std::string(256, 'd') + "'\n\n"},
        {"END without CR ends the list", "SMTP_ACTION='7'\nEND\n"},
        {"largest 32-bit number", "SMTP_ACTION='2147483647'\n\n"},
        {"smallest 32-bit number", "SMTP_ACTION='-2147483648'\n\n"},
        {"rule text of 63 characters", "No_of_Filter_Rules='1'\nFilter_Rule_0='" +
                                           std::string(63, 'x') + "#p#s#0#0#1#1#0#1'\n\n"},
        {"largest port", "SMTP_SEND_PORT='65535'\n\n"},
        {"scan threads at the cap", "SCAN_Max_Number_Threads='512'\n\n"},
        {"rule numbers at their largest",
         "No_of_Filter_Rules='256'\nFilter_Rule_255='d#p#s#65535#1#7#1#1#1'\n\n"},
        {"spam IP count before its list of 2000",
         "SMTP_SPAM_IP_LIST_COUNT='2000'\nSMTP_SPAM_IP_LIST='" + Pairs(2000) + "'\n\n"},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.name);
        vtest::TempRoot root;
        Result r = SetConfig(c.lines);
        EXPECT_EQ(r.returned, 1);
        EXPECT_EQ(r.reply, "CODE 0\r\n");
    }
    vtest::TempRoot root;
    SetConfig("SMTP_DEFAULT_DOMAIN='" + std::string(256, 'd') + "'\nSMTP_ACTION='-2147483648'\n\n");
    EXPECT_EQ(Loaded("SMTP_DEFAULT_DOMAIN"), std::string(256, 'd'));
    EXPECT_EQ(Loaded("SMTP_ACTION"), "-2147483648");
}

TEST(ReceiveConfig, AClientThatFallsSilentMidWayIsCutOffAtTheWaitLimitAndNothingIsSaved) {
    vtest::TempRoot root;
    SaveStartingConfiguration();
    const std::string before = RegistrySnapshot(SCANNER_KEY);
    ConnectionPair pair;
    pair.service().m_lineWaitLimit = 300;
    pair.Send("SMTP_ACTION='2'\nSMTP_QUARANTINE='0'\n"); // and then nothing
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    DWORD start = GetTickCount();
    EXPECT_EQ(pair.service().ReceiveConfig(buffer.get(), -1), 0);
    EXPECT_GE(GetTickCount() - start, 290u);
    pair.CloseService();
    EXPECT_EQ(pair.ReadAll(), kReadFailed);
    EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
    EXPECT_TRUE(Logged("Error reading config from socket"));
}

TEST(ReceiveConfig, AClientTricklingLinesIsCutOffAtTheRequestLimit) {
    vtest::TempRoot root;
    SaveStartingConfiguration();
    const std::string before = RegistrySnapshot(SCANNER_KEY);
    ConnectionPair pair;
    pair.service().m_lineWaitLimit = 400;
    pair.service().m_configTimeLimit = 600;
    bool stop = false;
    vtest::TestThread trickle([&] {
        // A valid line well within the line limit, again and again.
        for (int i = 0; i < 40 && !stop; ++i) {
            pair.Send("SMTP_ACTION='2'\n");
            Sleep(50);
        }
    });
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    DWORD start = GetTickCount();
    EXPECT_EQ(pair.service().ReceiveConfig(buffer.get(), -1), 0);
    DWORD took = GetTickCount() - start;
    stop = true;
    trickle.join();
    EXPECT_GE(took, 590u);
    pair.CloseService();
    EXPECT_EQ(pair.ReadAll(), kReadFailed);
    EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
}

// Each "[key]" section's value lines of before stand in the same section of
// after.
void ExpectEveryValueKept(const std::string& before, const std::string& after) {
    auto sections = [](const std::string& snapshot) {
        std::map<std::string, std::set<std::string>> out;
        std::istringstream in(snapshot);
        std::string line, section;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '[')
                section = line;
            out[section].insert(line);
        }
        return out;
    };
    const auto kept = sections(after);
    for (const auto& key : sections(before)) {
        auto now = kept.find(key.first);
        ASSERT_NE(now, kept.end()) << key.first << " is gone";
        for (const std::string& value : key.second)
            EXPECT_EQ(now->second.count(value), 1u) << key.first << ": " << value << " changed";
    }
}

// Values another tool stored that the load cannot take whole: the save of
// some other setting leaves each exactly as stored, and a line that sets one
// replaces it.
TEST(ReceiveConfig, ValuesTheLoadCouldNotTakeWholeStayAsStoredWhenAnotherKeyIsSet) {
    vtest::TempRoot root;
    ASSERT_EQ(SetConfig("\n").reply, "CODE 0\r\n"); // every value present
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
    key.Write("SMTP_SEND_PORT", static_cast<DWORD>(70000));
    key.Write("SMTP_READ_PORT", static_cast<DWORD>(65535)); // whole: written back the same
    key.Write("SCAN_Max_Number_Threads", static_cast<DWORD>(513));
    key.Write("SMTP_DEFAULT_DOMAIN", std::string(257, 'd').c_str());
    key.Write("SMTP_VANTRY_ADMIN", std::string(256, 'v').c_str()); // whole
    key.Write("SMTP_ALERT_TEXT", std::string(76798, 'a').c_str());
    key.Write("SMTP_SCAN_ATTACHMENTS", std::string(76799, 'x').c_str());
    key.Write("SMTP_BLOCK_LIST", std::string(76801, 'b').c_str());
    BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    key.Write("SMTP_ACTION", eight, sizeof(eight));
    BYTE ip[SPAM_IP_LIST_BYTES] = {10, 0, 0, 1, 255, 255, 255, 255};
    key.Write("SMTP_SPAM_IP_LIST", ip, sizeof(ip));
    key.Write("SMTP_SPAM_IP_LIST_COUNT", static_cast<DWORD>(2001));
    std::unique_ptr<BYTE[]> domains(new BYTE[SPAM_DOMAIN_LIST_BYTES + 1]());
    key.Write("SMTP_SPAM_EMAIL_DOMAIN_LIST", domains.get(), SPAM_DOMAIN_LIST_BYTES + 1);
    key.Write("SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT", static_cast<DWORD>(1));
    key.Write("No_of_Filter_Rules", static_cast<DWORD>(257));
    CRegistryRule rule;
    ASSERT_TRUE(rule.SaveToRegistry(key, "Filter_Rule_0"));
    ASSERT_TRUE(rule.SaveToRegistry(key, "Filter_Rule_1"));
    CRegKey sub;
    ASSERT_EQ(sub.Open(key, "Filter_Rule_0", 0), ERROR_SUCCESS);
    sub.Write("Description", std::string(64, 'r').c_str());
    sub.Close();
    ASSERT_EQ(sub.Open(key, "Filter_Rule_1", 0), ERROR_SUCCESS);
    sub.Write("Description", std::string(63, 'w').c_str()); // whole
    sub.Close();
    std::unique_ptr<ScannerSettings>(new ScannerSettings)->Load(); // makes the empty subkeys
    const std::string planted = vtest::RegistrySnapshot(SCANNER_KEY);

    ASSERT_EQ(SetConfig("SMTP_QUARANTINE='0'\n\n").reply, "CODE 0\r\n");
    key.Write("SMTP_QUARANTINE", static_cast<DWORD>(1));
    // Every value stored before stands unchanged in its key (the save may add
    // the defaults of values that were absent: a load reads, it writes nothing).
    ExpectEveryValueKept(planted, vtest::RegistrySnapshot(SCANNER_KEY));

    // Set by a request: each is written as set.
    ASSERT_EQ(SetConfig("SMTP_SEND_PORT='26'\nSCAN_Max_Number_Threads='512'\n"
                        "SMTP_DEFAULT_DOMAIN='d'\nSMTP_ALERT_TEXT='a'\nSMTP_BLOCK_LIST='b'\n"
                        "SMTP_ACTION='3'\nSMTP_SPAM_IP_LIST='1.2.3.4 255.0.0.0'\n"
                        "SMTP_SPAM_EMAIL_DOMAIN_LIST='x.example'\nNo_of_Filter_Rules='2'\n"
                        "Filter_Rule_0='n#p#s#0#0#1#1#0#1'\n\n")
                  .reply,
              "CODE 0\r\n");
    std::unique_ptr<ScannerSettings> back(new ScannerSettings);
    back->Load();
    EXPECT_EQ(back->SMTP_SEND_PORT, 26);
    EXPECT_EQ(back->SCAN_Max_Number_Threads, 512);
    EXPECT_STREQ(back->SMTP_DEFAULT_DOMAIN, "d");
    EXPECT_STREQ(back->SMTP_ALERT_TEXT, "a");
    EXPECT_STREQ(back->SMTP_BLOCK_LIST, "b");
    EXPECT_EQ(back->SMTP_ACTION, 3);
    EXPECT_EQ(back->SMTP_SPAM_IP_LIST_COUNT, 1u);
    EXPECT_EQ(back->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 1u);
    EXPECT_EQ(back->No_of_Filter_Rules, 2u);
    ASSERT_NE(back->FilterRules[0], nullptr);
    EXPECT_STREQ(back->FilterRules[0]->GetDescription(), "n");
    // The values no line set are still as planted.
    std::string scan(76800, '\0');
    DWORD size = static_cast<DWORD>(scan.size());
    EXPECT_EQ(key.Read("SMTP_SCAN_ATTACHMENTS", reinterpret_cast<BYTE*>(&scan[0]), size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 76800u);
}

// Each way the list can end: only an end line saves; the end of the
// connection, between lines or in one, is a client cut off half-way.
TEST(ReceiveConfig, OnlyAnEndLineSavesAndAClosedConnectionSavesNothing) {
    struct Ending {
        const char* name;
        const char* lines;
        int returned;
    };
    const Ending endings[] = {
        {"empty line", "SMTP_ACTION='3'\n\n", 1},
        {"empty line with CR", "SMTP_ACTION='3'\r\n\r\n", 1},
        {"three characters", "SMTP_ACTION='3'\nEND\n", 1},
        {"closed after a whole line", "SMTP_ACTION='3'\n", 0},
        {"closed before any line", "", 0},
        {"closed in a line", "SMTP_ACTION='3'\nSMTP_QUARANTINE='0", 0},
        {"closed in a short line", "SMTP_ACTION='3'\nEN", 0},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        vtest::TempRoot root;
        SaveStartingConfiguration();
        const std::string before = RegistrySnapshot(SCANNER_KEY);
        Result r = SetConfig(e.lines, 2000, true);
        EXPECT_EQ(r.returned, e.returned);
        if (e.returned == 1) {
            EXPECT_EQ(r.reply, "CODE 0\r\n");
            EXPECT_EQ(Loaded("SMTP_ACTION"), "3");
        } else {
            EXPECT_EQ(r.reply, kReadFailed);
            EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
        }
    }
}

TEST(ReceiveConfig, ALineLongerThanTheBufferIsRefusedAsTooLong) {
    vtest::TempRoot root;
    SaveStartingConfiguration();
    const std::string before = RegistrySnapshot(SCANNER_KEY);
    Result r = SetConfig("SMTP_BLOCK_LIST='" + std::string(REQUEST_BUFFER_SIZE, 'b') + "'\n\n");
    EXPECT_EQ(r.returned, 0);
    EXPECT_EQ(r.reply, kTooLong);
    EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
}

#ifndef _WIN32
// Makes every write of the named value fail inside the registry itself, as a
// full disk or a broken store would, half-way through a save.
void BreakWritesOf(const std::string& root, const char* valueFold) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/registry.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    std::string sql = std::string("CREATE TRIGGER break_insert BEFORE INSERT ON reg_values WHEN "
                                  "NEW.fold = '") +
                      valueFold +
                      "' BEGIN SELECT RAISE(ABORT, 'broken'); END;"
                      "CREATE TRIGGER break_update BEFORE UPDATE ON reg_values WHEN NEW.fold = '" +
                      valueFold + "' BEGIN SELECT RAISE(ABORT, 'broken'); END;";
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

TEST(ReceiveConfig, AWriteFailingHalfWayLeavesThePreviousConfigurationAndTheClientIsTold) {
    vtest::TempRoot root;
    SaveStartingConfiguration();
    const std::string before = RegistrySnapshot(SCANNER_KEY);
    // Retry_Deferred_Interval is written after some fifty other values and
    // before the rules.
    BreakWritesOf(root.path(), "retry_deferred_interval");
    Result r = SetConfig("SMTP_ACTION='9'\nSMTP_SEND_PORT='2525'\nNo_of_Filter_Rules='1'\n"
                         "Filter_Rule_0='d#p#s#0#0#1#1#0#1'\n\n");
    EXPECT_EQ(r.returned, 0);
    const std::string text =
        "Error saving config to registry Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic";
    EXPECT_EQ(r.reply, "CODE 3 MESSAGE " + text + "\r\n");
    EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
    EXPECT_EQ(Loaded("SMTP_ACTION"), "4");
    EXPECT_TRUE(Logged(text));
}
#else
// Windows keeps no registry transaction: the save records what it changes and
// takes it back itself. Here it fails where it makes its first rule key: a
// key under a volatile key must be volatile too, and the save makes lasting
// ones. By then some fifty values have been written.
TEST(ReceiveConfig, AWriteFailingHalfWayIsTakenBackWhereTheRegistryKeepsNoTransaction) {
    vtest::TempRoot root;
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, SCANNER_KEY, 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &h,
                                             nullptr));
    RegCloseKey(h);
    SaveStartingConfiguration();
    const std::string before = RegistrySnapshot(SCANNER_KEY);
    Result r = SetConfig("SMTP_ACTION='9'\nSMTP_SEND_PORT='2525'\nSMTP_DNS_IP='10.0.0.53'\n"
                         "No_of_Filter_Rules='1'\nFilter_Rule_0='d#p#s#0#0#1#1#0#1'\n\n");
    EXPECT_EQ(r.returned, 0);
    EXPECT_EQ(r.reply, "CODE 3 MESSAGE Error saving config to registry "
                       "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic\r\n");
    EXPECT_EQ(RegistrySnapshot(SCANNER_KEY), before);
    EXPECT_EQ(Loaded("SMTP_ACTION"), "4");
    // A save that succeeds afterwards keeps nothing of the record.
    Result ok = SetConfig("SMTP_ACTION='7'\n\n");
    EXPECT_EQ(ok.reply, "CODE 0\r\n");
    EXPECT_EQ(Loaded("SMTP_ACTION"), "7");
}
#endif

// A large configuration: three long lists at their limits, so that the reply
// is far larger than what the sockets buffer.
void SaveLargeConfiguration() {
    Result r = SetConfig("SMTP_MAIL_EXCLUDE_SENDER='" + std::string(EXCLUDE_LIST_MAX, 's') +
                         "'\nSMTP_MAIL_EXCLUDE_RECIPIENT='" + std::string(EXCLUDE_LIST_MAX, 'r') +
                         "'\nSMTP_BLOCK_LIST='" + std::string(BLOCK_LIST_MAX, 'b') + "'\n\n");
    ASSERT_EQ(r.reply, "CODE 0\r\n");
}

TEST(SendConfig, AClientThatNeverReadsIsCutOffAtTheProgressLimit) {
    vtest::TempRoot root;
    SaveLargeConfiguration();
    ConnectionPair pair(4096);
    pair.service().m_sendProgressLimit = 500;
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    DWORD start = GetTickCount();
    EXPECT_EQ(pair.service().SendConfig(buffer.get(), -1), 0);
    EXPECT_GE(GetTickCount() - start, 490u);
    // The connection is closed at once: what the client finds is a cut reply
    // and then the end.
    EXPECT_EQ(pair.service().m_socket, INVALID_SOCKET);
    std::string got = pair.ReadAll();
    EXPECT_EQ(got.compare(0, 8, "CODE 1\r\n"), 0);
    EXPECT_LT(got.size(), 3u * 76800u);
#ifndef _WIN32
    bool logged = false;
    for (const auto& e : vplat::ReadEventLog("Pellion", EVENTLOG_WARNING_TYPE))
        logged |= !e.strings.empty() &&
                  e.strings[0] == "Configuration client 'tester' stopped reading the reply; the "
                                  "connection was closed";
    EXPECT_TRUE(logged);
#endif
}

TEST(SendConfig, AClientThatReadsSlowlyGetsTheWholeReply) {
    vtest::TempRoot root;
    SaveLargeConfiguration();
    ConnectionPair pair(4096);
    pair.service().m_sendProgressLimit = 1000;
    std::string got;
    vtest::TestThread reader([&] {
        // Pauses shorter than the limit between reads.
        for (;;) {
            Sleep(20);
            std::string part = pair.ReadAll(200);
            got += part;
            if (part.empty() && pair.service().m_socket == INVALID_SOCKET)
                break;
            if (got.find("SMTP_SCAN_PROGRAMHEURISTICS='0'\n") != std::string::npos)
                break;
        }
    });
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    EXPECT_EQ(pair.service().SendConfig(buffer.get(), -1), 1);
    reader.join();
    EXPECT_NE(got.find("SMTP_BLOCK_LIST='" + std::string(BLOCK_LIST_MAX, 'b') + "'\n"),
              std::string::npos);
    EXPECT_NE(got.find("SMTP_SCAN_PROGRAMHEURISTICS='0'\n"), std::string::npos);
}

} // namespace
