// ScannerSettings: what Load makes of the values a Drennic key may hold, what
// Save writes, the rules' subkeys, the text limits from both sides, and saves
// that run at the same time.
#include "config/RegistryRule.h"
#include "config/ScannerSettings.h"
#include "regkey/RegKey.h"
#include "service/Settings.h"
#include "support/TempRoot.h"

#include "support/TestThread.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

std::unique_ptr<ScannerSettings> Loaded() {
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    s->Load();
    return s;
}

CRegKey& Scanner() {
    static CRegKey key;
    key.Close();
    key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1);
    return key;
}


int Apply(ScannerSettings& s, const std::string& line) {
    std::string copy = line + "\n";
    return s.ApplySetting(&copy[0]);
}

TEST(ScannerSettingsLoad, PortsKeepTheirLow16Bits) {
    vtest::TempRoot root;
    Scanner().Write("SMTP_SEND_PORT", static_cast<DWORD>(70000));
    Scanner().Write("SMTP_READ_PORT", static_cast<DWORD>(65535));
    auto s = Loaded();
    EXPECT_EQ(s->SMTP_SEND_PORT, 4464);
    EXPECT_EQ(s->SMTP_READ_PORT, 65535);
}

TEST(ScannerSettingsLoad, ScanThreadsAreCappedAt512Unsigned) {
    const DWORD stored[] = {511, 512, 513, 4294967295u};
    const int loaded[] = {511, 512, 512, 512};
    for (int i = 0; i < 4; ++i) {
        vtest::TempRoot root;
        Scanner().Write("SCAN_Max_Number_Threads", stored[i]);
        EXPECT_EQ(Loaded()->SCAN_Max_Number_Threads, loaded[i]) << stored[i];
    }
}

TEST(ScannerSettingsLoad, RuleCountAbove256LoadsTheFirst256AndTheSaveLeavesTheCount) {
    vtest::TempRoot root;
    Scanner().Write("No_of_Filter_Rules", static_cast<DWORD>(300));
    {
        // Rules in the last slot kept and the first slot left out.
        std::unique_ptr<ScannerSettings> s(new ScannerSettings);
        s->No_of_Filter_Rules = 300 > FILTER_RULE_SLOTS ? FILTER_RULE_SLOTS : 300;
        CRegistryRule rule;
        rule.SetDescription(const_cast<char*>("last"));
        ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_255"));
        ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_256"));
    }
    auto s = Loaded();
    EXPECT_EQ(s->No_of_Filter_Rules, 256u);
    ASSERT_NE(s->FilterRules[255], nullptr);
    EXPECT_STREQ(s->FilterRules[255]->GetDescription(), "last");
    EXPECT_EQ(s->FilterRules[0], nullptr);
    EXPECT_EQ(s->Save(), ERROR_SUCCESS);
    DWORD count = 0;
    Scanner().Read("No_of_Filter_Rules", count);
    EXPECT_EQ(count, 300u); // not what the load made of it
}

TEST(ScannerSettingsLoad, ListCountsOutOfRangeEmptyTheirLists) {
    vtest::TempRoot root;
    BYTE ip[SPAM_IP_LIST_BYTES] = {10, 0, 0, 1, 255, 255, 255, 255};
    Scanner().Write("SMTP_SPAM_IP_LIST", ip, sizeof(ip));
    std::unique_ptr<BYTE[]> domains(new BYTE[SPAM_DOMAIN_LIST_BYTES]());
    memcpy(domains.get(), "spam.example", 12);
    Scanner().Write("SMTP_SPAM_EMAIL_DOMAIN_LIST", domains.get(), SPAM_DOMAIN_LIST_BYTES);

    Scanner().Write("SMTP_SPAM_IP_LIST_COUNT", static_cast<DWORD>(2001));
    Scanner().Write("SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT", static_cast<DWORD>(301));
    auto s = Loaded();
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 0u);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].address[0], 0); // not read
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 0u);

    Scanner().Write("SMTP_SPAM_IP_LIST_COUNT", static_cast<DWORD>(2000));
    Scanner().Write("SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT", static_cast<DWORD>(300));
    s = Loaded();
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 2000u);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].address[0], 10);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].mask[3], 255);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 300u);
    EXPECT_STREQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST[0], "spam.example");

    // A list that cannot be read (larger than its size) empties it too.
    std::unique_ptr<BYTE[]> big(new BYTE[SPAM_IP_LIST_BYTES + 1]());
    Scanner().Write("SMTP_SPAM_IP_LIST", big.get(), SPAM_IP_LIST_BYTES + 1);
    EXPECT_EQ(Loaded()->SMTP_SPAM_IP_LIST_COUNT, 0u);
}

TEST(ScannerSettingsLoad, TextsReadBackAsLongAsSetConfigAcceptsThem) {
    struct Limit {
        const char* key;
        int max;
    };
    const Limit limits[] = {
        {"SMTP_DEFAULT_DOMAIN", DEFAULT_DOMAIN_MAX},
        {"SMTP_VANTRY_ADMIN", VANTRY_ADMIN_MAX},
        {"SMTP_CONTENT_FILTER_TEXT", CONTENT_FILTER_TEXT_MAX},
        {"FILTER_ALERT_TEXT", FILTER_ALERT_TEXT_MAX},
        {"SMTP_DOMAIN_RELAY_TEXT", DOMAIN_RELAY_TEXT_MAX},
        {"SMTP_MAIL_EXCLUDE_RECIPIENT", EXCLUDE_LIST_MAX},
        {"SMTP_MAIL_EXCLUDE_SENDER", EXCLUDE_LIST_MAX},
        {"SMTP_BLOCK_LIST", BLOCK_LIST_MAX},
        {"SMTP_SCAN_ATTACHMENTS", SCAN_ATTACHMENTS_MAX},
        {"SMTP_DNS_IP", DNS_IP_MAX},
        {"SMTP_ALERT_TEXT", ALERT_TEXT_MAX},
        {"SMTP_DIRECT_SEND_INTERNAL_DOMAIN", DIRECT_SEND_DOMAIN_MAX},
        {"Quarantine_Path", QUARANTINE_PATH_MAX},
    };
    for (const Limit& limit : limits) {
        SCOPED_TRACE(limit.key);
        vtest::TempRoot root;
        std::unique_ptr<ScannerSettings> s(new ScannerSettings);
        const std::string longest(static_cast<size_t>(limit.max), 'v');
        // One more is refused; the longest is accepted, saved and read back
        // whole, and saved again unchanged.
        EXPECT_EQ(Apply(*s, std::string(limit.key) + "='" + longest + "v'"), APPLY_TOO_LONG);
        EXPECT_EQ(Apply(*s, std::string(limit.key) + "='" + longest + "'"), APPLY_OK);
        ASSERT_EQ(s->Save(), ERROR_SUCCESS);
        auto back = Loaded();
        ASSERT_EQ(back->Save(), ERROR_SUCCESS);
        std::unique_ptr<char[]> text(new char[REGKEY_TEXT_BUFFER + 8]);
        DWORD size = REGKEY_TEXT_BUFFER + 8;
        ASSERT_EQ(Scanner().Read(limit.key, reinterpret_cast<BYTE*>(text.get()), size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::string(text.get()), longest);
    }
}

TEST(ScannerSettingsLoad, StoredTextsLongerThanTheFieldKeepTheirStartAndOverlongOnesAreIgnored) {
    vtest::TempRoot root;
    Scanner().Write("SMTP_DEFAULT_DOMAIN", std::string(300, 'd').c_str());
    // 76,798 characters and the terminator: the most the text read takes.
    Scanner().Write("SMTP_ALERT_TEXT", std::string(76798, 'a').c_str());
    Scanner().Write("SMTP_SCAN_ATTACHMENTS", std::string(76799, 'x').c_str());
    Scanner().Write("SMTP_BLOCK_LIST", std::string(76801, 'b').c_str());
    auto s = Loaded();
    EXPECT_EQ(std::string(s->SMTP_DEFAULT_DOMAIN), std::string(256, 'd'));
    EXPECT_EQ(std::string(s->SMTP_ALERT_TEXT), std::string(1024, 'a'));
    EXPECT_STREQ(s->SMTP_SCAN_ATTACHMENTS, "");
    EXPECT_STREQ(s->SMTP_BLOCK_LIST, "");
}

TEST(ScannerSettingsRules, ASubkeyMissingAValueBeforeActiveLeavesAnEmptySlot) {
    const char* const values[] = {"Description", "PrimaryPhrase", "And",       "SecondaryPhrase",
                                  "Proximity",   "CheckSubject",  "CheckBody", "CheckAttach",
                                  "Block",       "NotifySender"};
    for (const char* missing : values) {
        SCOPED_TRACE(missing);
        vtest::TempRoot root;
        CRegistryRule rule;
        ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_0"));
        ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_1"));
        CRegKey sub;
        ASSERT_EQ(sub.Open(Scanner(), "Filter_Rule_1", 0), ERROR_SUCCESS);
        ASSERT_EQ(sub.DeleteValue(missing), ERROR_SUCCESS);
        sub.Close();
        Scanner().Write("No_of_Filter_Rules", static_cast<DWORD>(2));
        auto s = Loaded();
        EXPECT_NE(s->FilterRules[0], nullptr);
        EXPECT_EQ(s->FilterRules[1], nullptr);
        EXPECT_EQ(s->No_of_Filter_Rules, 2u);
    }
}

TEST(ScannerSettingsRules, ARuleWithoutActiveLoadsActive) {
    vtest::TempRoot root;
    CRegistryRule rule;
    rule.SetActive(0);
    ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_0"));
    CRegKey sub;
    ASSERT_EQ(sub.Open(Scanner(), "Filter_Rule_0", 0), ERROR_SUCCESS);
    ASSERT_EQ(sub.DeleteValue("Active"), ERROR_SUCCESS);
    sub.Close();
    Scanner().Write("No_of_Filter_Rules", static_cast<DWORD>(1));
    auto s = Loaded();
    ASSERT_NE(s->FilterRules[0], nullptr);
    EXPECT_EQ(s->FilterRules[0]->IsActive(), 1);
}

TEST(ScannerSettingsRules, FlagsWord7IsStoredAs124AndReadsBackAs7) {
    vtest::TempRoot root;
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    ASSERT_EQ(Apply(*s, "No_of_Filter_Rules='1'"), APPLY_OK);
    ASSERT_EQ(Apply(*s, "Filter_Rule_0='d#p#s#5#1#7#1#0#1'"), APPLY_OK);
    ASSERT_EQ(s->Save(), ERROR_SUCCESS);
    CRegKey sub;
    ASSERT_EQ(sub.Open(Scanner(), "Filter_Rule_0", 0), ERROR_SUCCESS);
    DWORD subject = 0, body = 0, attach = 0;
    sub.Read("CheckSubject", subject);
    sub.Read("CheckBody", body);
    sub.Read("CheckAttach", attach);
    EXPECT_EQ(subject, 1u);
    EXPECT_EQ(body, 2u);
    EXPECT_EQ(attach, 4u);
    auto back = Loaded();
    ASSERT_NE(back->FilterRules[0], nullptr);
    char p[64], q[64];
    int proximity = 0, andFlag = 0, block = 0, notify = 0;
    unsigned short flags = 0;
    back->FilterRules[0]->GetRule(p, q, proximity, andFlag, flags, block, notify);
    EXPECT_EQ(flags, 7);
    EXPECT_EQ(proximity, 5);
    EXPECT_STREQ(p, "p");
}

TEST(ScannerSettingsRules, AMissingSubkeyIsCreatedEmptyAndLoweredCountsLeaveSubkeys) {
    vtest::TempRoot root;
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    ASSERT_EQ(Apply(*s, "No_of_Filter_Rules='5'"), APPLY_OK);
    for (int i = 0; i < 5; ++i) {
        if (i != 1) {
            ASSERT_EQ(Apply(*s, "Filter_Rule_" + std::to_string(i) + "='r#p# #0#0#1#1#0#1'"),
                      APPLY_OK);
        }
    }
    ASSERT_EQ(s->Save(), ERROR_SUCCESS);
    auto back = Loaded();
    EXPECT_EQ(back->FilterRules[1], nullptr);
    CRegKey sub;
    EXPECT_EQ(sub.Open(Scanner(), "Filter_Rule_1", 0), ERROR_SUCCESS); // made, empty
    sub.Close();
    ASSERT_EQ(Apply(*back, "No_of_Filter_Rules='3'"), APPLY_OK);
    ASSERT_EQ(back->Save(), ERROR_SUCCESS);
    EXPECT_EQ(sub.Open(Scanner(), "Filter_Rule_4", 0), ERROR_SUCCESS);
    sub.Close();
    auto three = Loaded();
    EXPECT_EQ(three->No_of_Filter_Rules, 3u);
    EXPECT_EQ(three->FilterRules[4], nullptr);
}

TEST(ScannerSettingsRules, AStoredTextOf64CharactersOrMoreKeepsItsFirst63) {
    vtest::TempRoot root;
    CRegistryRule rule;
    ASSERT_TRUE(rule.SaveToRegistry(Scanner(), "Filter_Rule_0"));
    CRegKey sub;
    ASSERT_EQ(sub.Open(Scanner(), "Filter_Rule_0", 0), ERROR_SUCCESS);
    sub.Write("Description", std::string(100, 'd').c_str());
    sub.Close();
    Scanner().Write("No_of_Filter_Rules", static_cast<DWORD>(1));
    auto s = Loaded();
    ASSERT_NE(s->FilterRules[0], nullptr);
    EXPECT_EQ(std::string(s->FilterRules[0]->GetDescription()), std::string(63, 'd'));
}

struct LineCase {
    const char* line;
    int result;
};

TEST(ApplySetting, KeysValuesAndListsLineByLine) {
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    EXPECT_EQ(Apply(*s, "smtp_action = '2'"), APPLY_OK);
    EXPECT_EQ(s->SMTP_ACTION, 2);
    EXPECT_EQ(Apply(*s, "SMTP_SCAN_ATTACHMENTS_AVAILABLE='exe com'"), APPLY_OK);
    EXPECT_STREQ(s->SMTP_SCAN_ATTACHMENTS, "exe com");
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.0 1.2.3.4 255.255.255.255'"),
              APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 2u);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].mask[0], 255);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST[1].address[3], 4);
    EXPECT_EQ(Apply(*s, "SMTP_ACTION='2"), APPLY_OK); // the last character is cut: no digits
    EXPECT_EQ(s->SMTP_ACTION, 0);
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='a.example " + std::string(200, 'y') + "'"),
              APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 2u);
    EXPECT_EQ(std::string(s->SMTP_SPAM_EMAIL_DOMAIN_LIST[1]), std::string(200, 'y'));
    // A count line after its list lowers it.
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='1'"), APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 1u);
    EXPECT_EQ(Apply(*s, "No_of_Filter_Rules='3'"), APPLY_OK);
    EXPECT_EQ(Apply(*s, "Filter_Rule_2=' #win# #0#0#3#1#0#1'"), APPLY_OK);
    ASSERT_NE(s->FilterRules[2], nullptr);
    EXPECT_STREQ(s->FilterRules[2]->GetDescription(), " ");
    EXPECT_STREQ(s->FilterRules[2]->PrimaryPhrase, "win");
    EXPECT_EQ(s->FilterRules[2]->CheckBody, 2);
    EXPECT_EQ(Apply(*s, "Filter_Rule_1=''"), APPLY_NO_QUOTE);
}

// The number a setting was given, as get_config would print it.
std::string NumberOf(ScannerSettings& s, const std::string& key) {
    if (key == "SMTP_SEND_PORT")
        return std::to_string(s.SMTP_SEND_PORT);
    if (key == "SMTP_READ_PORT")
        return std::to_string(s.SMTP_READ_PORT);
    if (key == "SCAN_Max_Number_Threads")
        return std::to_string(s.SCAN_Max_Number_Threads);
    if (key == "No_of_Filter_Rules")
        return std::to_string(s.No_of_Filter_Rules);
    if (key == "SMTP_SPAM_IP_LIST_COUNT")
        return std::to_string(s.SMTP_SPAM_IP_LIST_COUNT);
    if (key == "SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT")
        return std::to_string(s.SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT);
    return std::to_string(s.SMTP_ACTION);
}

// Each number at both ends of what its setting holds: the ends are taken as
// sent, one past them is refused and leaves the setting as it was.
TEST(ApplySetting, NumbersBeyondWhatTheSettingHoldsAreRefusedNotCut) {
    struct Range {
        const char* key;
        const char* lowest;
        const char* below;
        const char* highest;
        const char* above;
    };
    const Range ranges[] = {
        {"SMTP_SEND_PORT", "0", "-1", "65535", "65536"},
        {"SMTP_READ_PORT", "0", "-1", "65535", "70000"},
        {"SCAN_Max_Number_Threads", "0", "-1", "512", "513"},
        {"No_of_Filter_Rules", "0", "-1", "256", "257"},
        {"SMTP_SPAM_IP_LIST_COUNT", "0", "-1", "2000", "2001"},
        {"SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT", "0", "-1", "300", "301"},
        {"SMTP_ACTION", "-2147483648", "-2147483649", "2147483647", "2147483648"},
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.key);
        std::unique_ptr<ScannerSettings> s(new ScannerSettings);
        const std::string key = std::string(r.key) + "='";
        for (const char* kept : {r.lowest, r.highest}) {
            EXPECT_EQ(Apply(*s, key + kept + "'"), APPLY_OK);
            EXPECT_EQ(NumberOf(*s, r.key), kept);
        }
        for (const char* refused : {r.below, r.above}) {
            EXPECT_EQ(Apply(*s, key + refused + "'"), APPLY_TOO_LONG) << refused;
            EXPECT_EQ(NumberOf(*s, r.key), r.highest);
        }
    }
}

// A rule line is taken only when the rule holds every field as sent.
TEST(ApplySetting, RuleLinesTheRuleCannotHoldAreRefused) {
    const LineCase cases[] = {
        {"Filter_Rule_2='d#p#s#65535#1#7#1#1#1'", APPLY_OK},
        {"Filter_Rule_0='d#p#s#0#0#0#0#0#0'", APPLY_OK},
        {"Filter_Rule_2='d#p#s#70000#5#15#2#-1#9'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#65536#1#7#1#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#-1#1#7#1#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#2#7#1#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#1#8#1#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#1#-1#1#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#1#7#2#1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#1#7#1#-1#1'", APPLY_TOO_LONG},
        {"Filter_Rule_2='d#p#s#0#1#7#1#1#9'", APPLY_TOO_LONG},
        // a "#" in the description: ten fields
        {"Filter_Rule_2='a#b#p#s#0#0#1#1#0#1'", APPLY_NO_QUOTE},
        {"Filter_Rule_2='p#s#0#0#1#1#0#1'", APPLY_NO_QUOTE},
        // slots: the count is 3
        {"Filter_Rule_3='d#p#s#0#0#1#1#0#1'", APPLY_TOO_LONG},
        {"Filter_Rule_65537='d#p#s#0#0#1#1#0#1'", APPLY_TOO_LONG},
        {"Filter_Rule_-1='d#p#s#0#0#1#1#0#1'", APPLY_TOO_LONG},
        {"Filter_Rule_4294967298='d#p#s#0#0#1#1#0#1'", APPLY_TOO_LONG},
    };
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    ASSERT_EQ(Apply(*s, "No_of_Filter_Rules='3'"), APPLY_OK);
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        CRegistryRule* before[3] = {s->FilterRules[0], s->FilterRules[1], s->FilterRules[2]};
        EXPECT_EQ(Apply(*s, c.line), c.result);
        for (int i = 0; c.result != APPLY_OK && i < 3; ++i)
            EXPECT_EQ(s->FilterRules[i], before[i]) << i;
    }
    ASSERT_NE(s->FilterRules[2], nullptr);
    char primary[64], secondary[64];
    int proximity = 0, andFlag = 0, block = 0, notify = 0;
    unsigned short flags = 0;
    s->FilterRules[2]->GetRule(primary, secondary, proximity, andFlag, flags, block, notify);
    EXPECT_EQ(proximity, 65535);
    EXPECT_EQ(andFlag, 1);
    EXPECT_EQ(flags, 7);
    EXPECT_EQ(block + notify + s->FilterRules[2]->IsActive(), 3);
    EXPECT_EQ(s->FilterRules[1], nullptr);
}

TEST(ParseDottedAddress, FourNumbersOf0To255JoinedByDotsAndNothingElse) {
    const std::pair<const char*, bool> cases[] = {
        {"0.0.0.0", true},       {"255.255.255.255", true}, {"010.1.2.3", true},
        {"256.0.0.0", false},    {"0.0.0.256", false},      {"1.2.3", false},
        {"1.2.3.4.5", false},    {"1.2.3.4x", false},       {"a", false},
        {"+1.2.3.4", false},     {"1.-2.3.4", false},       {"1..2.3", false},
        {" 1.2.3.4", false},     {"0001.2.3.4", false},     {"", false},
    };
    for (const auto& c : cases) {
        BYTE out[4] = {9, 9, 9, 9};
        EXPECT_EQ(ParseDottedAddress(c.first, out), c.second) << c.first;
        if (!c.second) {
            EXPECT_EQ(out[0] + out[1] + out[2] + out[3], 36) << c.first; // untouched
        }
    }
    BYTE out[4];
    ASSERT_TRUE(ParseDottedAddress("192.168.1.7", out));
    EXPECT_EQ(out[0], 192);
    EXPECT_EQ(out[3], 7);
}

std::string Repeated(const std::string& item, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
        text += item;
    return text;
}

// A list line is taken whole or refused with the list as it was; each way a
// list can end (paired, unpaired, at its size, past it).
TEST(ApplySetting, SpamListsAreTakenWholeOrRefused) {
    const LineCase cases[] = {
        {"SMTP_SPAM_IP_LIST=''", APPLY_OK},
        {"SMTP_SPAM_IP_LIST='a b'", APPLY_TOO_LONG},
        {"SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.0 1.2.3.4'", APPLY_TOO_LONG},
        {"SMTP_SPAM_IP_LIST='10.0.0.0 255.0.0.256'", APPLY_TOO_LONG},
        {"SMTP_SPAM_EMAIL_DOMAIN_LIST=''", APPLY_OK},
    };
    std::unique_ptr<ScannerSettings> s(new ScannerSettings);
    ASSERT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST='1.1.1.1 255.255.255.255'"), APPLY_OK);
    ASSERT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='x.example'"), APPLY_OK);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(Apply(*s, cases[i].line), cases[i].result) << cases[i].line;
        EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 1u);
        EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].address[0], 1);
        EXPECT_EQ(s->SMTP_SPAM_IP_LIST[0].mask[0], 255);
    }
    const std::string pair = "1.2.3.4 255.255.255.0 ";
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST='" + Repeated(pair, 2001) + "'"), APPLY_TOO_LONG);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 1u);
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST='" + Repeated(pair, 2000) + "'"), APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 2000u);
    EXPECT_EQ(Apply(*s, cases[0].line), APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_IP_LIST_COUNT, 0u);

    EXPECT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='a.example " + std::string(201, 'x') + "'"),
              APPLY_TOO_LONG);
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='" + Repeated("d.example ", 301) + "'"),
              APPLY_TOO_LONG);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 1u);
    EXPECT_STREQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST[0], "x.example");
    EXPECT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='" + Repeated("d.example ", 300) + "'"),
              APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 300u);
    EXPECT_EQ(Apply(*s, cases[4].line), APPLY_OK);
    EXPECT_EQ(s->SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT, 0u);
}

// A count may lower its list, never raise it above the entries the list was
// given (by the load or its list line, before or after the count line).
TEST(CheckListCounts, ACountAboveTheEntriesGivenIsRefused) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        int result;
    };
    const Case cases[] = {
        {"as loaded", {}, APPLY_OK},
        {"loaded count again", {"SMTP_SPAM_IP_LIST_COUNT='2'"}, APPLY_OK},
        {"lowered", {"SMTP_SPAM_IP_LIST_COUNT='1'"}, APPLY_OK},
        {"lowered, raised again", {"SMTP_SPAM_IP_LIST_COUNT='0'", "SMTP_SPAM_IP_LIST_COUNT='2'"},
         APPLY_OK},
        {"above the loaded list", {"SMTP_SPAM_IP_LIST_COUNT='3'"}, APPLY_TOO_LONG},
        {"count before its list",
         {"SMTP_SPAM_IP_LIST_COUNT='3'", "SMTP_SPAM_IP_LIST='1.1.1.1 0.0.0.0 2.2.2.2 0.0.0.0 "
                                         "3.3.3.3 0.0.0.0'"},
         APPLY_OK},
        {"count after a shorter list",
         {"SMTP_SPAM_IP_LIST='1.1.1.1 0.0.0.0'", "SMTP_SPAM_IP_LIST_COUNT='2'"}, APPLY_TOO_LONG},
        {"domains above the loaded list", {"SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='2'"},
         APPLY_TOO_LONG},
        {"domains at the loaded list", {"SMTP_SPAM_EMAIL_DOMAIN_LIST_COUNT='1'"}, APPLY_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vtest::TempRoot root;
        {
            std::unique_ptr<ScannerSettings> s(new ScannerSettings);
            ASSERT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST='9.9.9.9 0.0.0.0 8.8.8.8 0.0.0.0 7.7.7.7 0.0.0.0'"),
                      APPLY_OK);
            ASSERT_EQ(Apply(*s, "SMTP_SPAM_IP_LIST_COUNT='2'"), APPLY_OK);
            ASSERT_EQ(Apply(*s, "SMTP_SPAM_EMAIL_DOMAIN_LIST='a.example'"), APPLY_OK);
            ASSERT_EQ(s->Save(), ERROR_SUCCESS);
        }
        auto s = Loaded();
        for (const std::string& line : c.lines)
            ASSERT_EQ(Apply(*s, line), APPLY_OK) << line;
        EXPECT_EQ(s->CheckListCounts(), c.result);
    }
}

TEST(ExtractValue, CutsTheCharacterBeforeTheLineFeed) {
    char a[] = "K='v'\n";
    EXPECT_STREQ(ExtractValue(a), "v");
    char b[] = "K='it's'\n";
    EXPECT_STREQ(ExtractValue(b), "it's");
    char c[] = "K=v\n";
    EXPECT_EQ(ExtractValue(c), nullptr);
    char d[] = "K='\n";
    EXPECT_EQ(ExtractValue(d), nullptr);
    char e[] = "K=''\n";
    EXPECT_STREQ(ExtractValue(e), "");
}

#ifndef _WIN32
// Two administrators save whole, different configurations again and again
// while a third reads: every read sees one save whole, never a mixture. (The
// Windows registry gives these programs no transaction.)
TEST(ScannerSettingsSave, ConcurrentSavesNeverLeaveAMixture) {
    vtest::TempRoot root;
    auto save = [](int tag) {
        std::unique_ptr<ScannerSettings> s(new ScannerSettings);
        s->SMTP_ACTION = tag;
        s->Retry_Send_Interval = tag;
        s->SMTP_SCAN_PROGRAMHEURISTICS = tag;
        snprintf(s->SMTP_DEFAULT_DOMAIN, sizeof(s->SMTP_DEFAULT_DOMAIN), "%d", tag);
        for (int round = 0; round < 15; ++round) {
            ASSERT_EQ(RegBeginTransactionV(), ERROR_SUCCESS);
            ASSERT_EQ(s->Save(), ERROR_SUCCESS);
            ASSERT_EQ(RegCommitTransactionV(), ERROR_SUCCESS);
        }
    };
    vtest::TestThread a([&] { save(111); });
    vtest::TestThread b([&] { save(222); });
    int mixtures = 0;
    for (int i = 0; i < 20; ++i) {
        auto s = Loaded();
        if (s->SMTP_ACTION == 1 && s->Retry_Send_Interval == 259200)
            continue; // before the first save
        if (s->SMTP_ACTION != s->Retry_Send_Interval ||
            s->SMTP_ACTION != s->SMTP_SCAN_PROGRAMHEURISTICS ||
            std::to_string(s->SMTP_ACTION) != s->SMTP_DEFAULT_DOMAIN)
            ++mixtures;
    }
    a.join();
    b.join();
    EXPECT_EQ(mixtures, 0);
    auto last = Loaded();
    EXPECT_TRUE(last->SMTP_ACTION == 111 || last->SMTP_ACTION == 222);
    EXPECT_EQ(last->SMTP_ACTION, last->Retry_Send_Interval);
}
#endif

} // namespace
