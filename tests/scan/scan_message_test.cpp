// Drennic's message over GMime, as the real Kessla reads it: the corpus with
// its rules, the layout of parts, names decoded, faulty messages, the limits,
// and the rules read from the scanner key.
#include "ScanCorpus.h"
#include "peers/drennic/Drennic.h"
#include "peers/drennic/MimeMessage.h"
#include "peers/drennic/RuleSet.h"
#include "peers/drennic/Scanner.h"
#include "platform/win32.h"
#include "regkey/RegKey.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using vtest::CorpusCase;
using vtest::RuleSpec;

const char kTemp[] = "C:\\Temp\\";

CRule* MakeRule(const RuleSpec& wanted, int block = 1) {
    CRule* rule = CRule::NewRule();
    std::vector<char> primary(wanted.primary.begin(), wanted.primary.end());
    std::vector<char> secondary(wanted.secondary.begin(), wanted.secondary.end());
    primary.push_back('\0');
    secondary.push_back('\0');
    rule->SetRule(primary.data(), secondary.data(), wanted.proximity, wanted.andFlag, wanted.flags, block,
                  0);
    return rule;
}

int TempFiles() {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\Temp\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int n = 0;
    do
        n += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    while (FindNextFileA(search, &found));
    FindClose(search);
    return n;
}

class ScanMessage : public ::testing::Test {
protected:
    void SetUp() override {
        static bool started = false;
        if (!started)
            DrennicMimeInit();
        started = true;
        ASSERT_TRUE(CreateDirectoryA("C:\\", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(CreateDirectoryA("C:\\Temp", nullptr));
    }
    // Parses, checks the rule, and asserts what every scan must leave: every
    // stream given back, and no temporary file once the message is gone.
    int Check(const std::string& bytes, const RuleSpec& wanted, bool textPartsOnly = true,
              CDrennicMessage::Result expected = CDrennicMessage::PARSED) {
        int result = -1;
        {
            CDrennicMessage message(kTemp);
            std::string why;
            EXPECT_EQ(message.Parse(bytes.data(), bytes.size(), &why), expected) << why;
            CRule* rule = MakeRule(wanted);
            if (expected == CDrennicMessage::PARSED)
                result = rule->CheckMessage(&message, textPartsOnly);
            else
                EXPECT_FALSE(why.empty());
            CRule::DeleteRule(rule);
            EXPECT_EQ(message.OpenStreams(), 0);
        }
        EXPECT_EQ(TempFiles(), 0);
        return result;
    }
    vtest::TempRoot root_;
};

TEST_F(ScanMessage, EachCorpusMessageMatchesItsRuleAndNotTheOther) {
    std::vector<CorpusCase> cases = vtest::ReadCorpus();
    ASSERT_GE(vtest::ReadCorpus(vtest::Corpus::Public).size(), 30u);
    ASSERT_GE(vtest::ReadCorpus(vtest::Corpus::Own).size(), 30u);
    for (const CorpusCase& c : cases) {
        std::string bytes = vtest::CorpusFile(c.file);
        ASSERT_FALSE(bytes.empty()) << c.file;
        EXPECT_EQ(Check(bytes, c.match, !c.allParts), 1) << c.file << " " << c.match.primary;
        EXPECT_EQ(Check(bytes, c.noMatch, !c.allParts), 0) << c.file << " " << c.noMatch.primary;
    }
}

TEST_F(ScanMessage, PartsAreLaidOutAsTheEngineReadsThem) {
    std::string bytes = vtest::CorpusFile("tnef-mimekit.eml");
    CDrennicMessage message(kTemp);
    ASSERT_EQ(message.Parse(bytes.data(), bytes.size(), nullptr), CDrennicMessage::PARSED);
    EXPECT_STREQ(message.GetHeaderText(1), "Picture");
    EXPECT_EQ(message.GetHeaderText(2), nullptr);
    ASSERT_EQ(message.GetBodyTextCount(), 1);
    EXPECT_STREQ(message.GetBodyText(0), "Picture.\r\n");
    EXPECT_EQ(message.GetBodyText(1), nullptr);
    ASSERT_EQ(message.GetPartCount(), 1);
    // The TNEF part's name is its file, which holds the decoded stream.
    EXPECT_EQ(message.IsPartTNEF(0), 1);
    ASSERT_EQ(message.TempFiles().size(), 1u);
    EXPECT_STREQ(message.GetPartName(0), message.TempFiles()[0].c_str());
    std::string tnef = vtest::ReadBytes(VANTRY_SCAN_CORPUS "/../../filter/data/winmail-mimekit.tnef");
    EXPECT_EQ(message.GetPartSize(0, 0), tnef.size());
    HANDLE file = CreateFileA(message.GetPartName(0), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<char> head(8);
    DWORD got = 0;
    ReadFile(file, head.data(), 8, &got, nullptr);
    CloseHandle(file);
    EXPECT_EQ(std::string(head.data(), got), tnef.substr(0, 8));
    // Out of range: a name that is empty, a state that passes the part over.
    EXPECT_STREQ(message.GetPartName(5), "");
    EXPECT_EQ(message.GetPartState(-1), 9);
    EXPECT_EQ(message.GetPartState(0), 0);
    EXPECT_EQ(message.OpenPartStream(1), nullptr);

    // A nested message is one part with headers of its own; its leaves follow.
    std::string nested = vtest::CorpusFile("nested-rfc822.eml");
    CDrennicMessage fwd(kTemp);
    ASSERT_EQ(fwd.Parse(nested.data(), nested.size(), nullptr), CDrennicMessage::PARSED);
    ASSERT_EQ(fwd.GetPartCount(), 3);
    EXPECT_EQ(fwd.HasNestedMime(0), 1);
    EXPECT_EQ(fwd.GetPartType(0), DRENNIC_TYPE_MESSAGE);
    EXPECT_EQ(fwd.GetPartType(1), DRENNIC_TYPE_TEXT_PLAIN);
    EXPECT_STREQ(fwd.GetPartName(2), "payload.js");
    EXPECT_EQ(fwd.GetPartType(2), DRENNIC_TYPE_APPLICATION);
    EXPECT_EQ(fwd.HasNestedMime(2), 0);
    CMessageStream* stream = fwd.OpenPartStream(0);
    ASSERT_NE(stream, nullptr);
    std::vector<char> all(fwd.GetPartSize(0, 0) + 10);
    int n = stream->Read(all.data(), 1, static_cast<int>(all.size()));
    EXPECT_EQ(static_cast<unsigned long>(n), fwd.GetPartSize(0, 0));
    EXPECT_EQ(stream->AtEnd(), 1);
    std::string text(all.data(), static_cast<size_t>(n));
    EXPECT_EQ(text.find("From: Alice Sender"), 0u);
    EXPECT_NE(text.find("name=\"payload.js\""), std::string::npos);
    fwd.ClosePartStream(stream);
    // The leaf is decoded from base64.
    stream = fwd.OpenPartStream(2);
    char leaf[16] = {};
    EXPECT_EQ(stream->Read(leaf, 1, 15), 8);
    EXPECT_STREQ(leaf, "alert(1)");
    fwd.ClosePartStream(stream);
    EXPECT_EQ(fwd.OpenStreams(), 0);
}

TEST_F(ScanMessage, StreamReadsSeeksAndEndsAtItsBounds) {
    const char data[] = "0123456789";
    CDrennicStream s(data, 10);
    char buf[16] = {};
    EXPECT_EQ(s.AtEnd(), 0);
    EXPECT_EQ(s.Read(buf, 1, 4), 4);
    EXPECT_EQ(s.Tell(), 4);
    EXPECT_EQ(s.AtEnd(), 0);
    EXPECT_EQ(s.Read(buf, 1, 6), 6); // exactly to the end
    EXPECT_EQ(s.AtEnd(), 1);
    EXPECT_EQ(s.Read(buf, 1, 1), 0);
    s.Seek(9);
    EXPECT_EQ(s.AtEnd(), 0);
    EXPECT_EQ(s.Read(buf, 1, 5), 1); // short read: at the end
    EXPECT_EQ(buf[0], '9');
    EXPECT_EQ(s.AtEnd(), 1);
    s.Seek(-3);
    EXPECT_EQ(s.Tell(), 0);
    s.Seek(50);
    EXPECT_EQ(s.Tell(), 10);
    EXPECT_EQ(s.AtEnd(), 1);
    EXPECT_EQ(s.Read(nullptr, 1, 3), 0);
    EXPECT_EQ(s.GetLength(), 10u);
    CDrennicStream empty(data, 0);
    EXPECT_EQ(empty.AtEnd(), 1);
}

TEST_F(ScanMessage, DecodeNameUndoesQuotesEncodedWordsAndExtendedValues) {
    struct Case {
        const char* raw;
        const char* name;
    } cases[] = {
        {"\"virus.exe\"\r", "virus.exe"},
        {" \"a \\\"quoted\\\" name.doc\"; size=3\r", "a \"quoted\" name.doc"},
        {"bare.zip; charset=x\r", "bare.zip"},
        {"bare name.zip  \r", "bare name.zip"},
        {"\"=?UTF-8?B?w5xiZXJzaWNodC5kb2N4?=\"", "\xc3\x9c" "bersicht.docx"},
        {"=?iso-8859-1?Q?R=E9sum=E9.pdf?=\r", "R\xc3\xa9sum\xc3\xa9.pdf"},
        {"UTF-8''R%C3%A9sum%C3%A9%20final.pdf\r", "R\xc3\xa9sum\xc3\xa9 final.pdf"},
        {"iso-8859-1'en'caf%E9.txt", "caf\xc3\xa9.txt"},
        {"\"John's file.txt\"", "John's file.txt"},
        {"x-unknown-charset''a%41b", "aAb"},
        {"\"unterminated", "unterminated"},
        {"", ""},
    };
    CDrennicMessage message(kTemp);
    for (const Case& c : cases) {
        size_t room = strlen(c.raw) + 1;
        std::vector<char> out(room + 8, '\0');
        memset(out.data() + room, 'G', 8); // guard bytes past the room
        message.DecodeName(out.data(), c.raw);
        EXPECT_STREQ(out.data(), c.name) << c.raw;
        EXPECT_EQ(std::string(out.data() + room, 8), "GGGGGGGG") << c.raw;
    }
    // A decoded name longer than its raw text is cut to the room there is:
    // each byte 0x80 of windows-1252 is three bytes of UTF-8.
    const char* raw = "windows-1252''\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80";
    size_t room = strlen(raw) + 1;
    std::vector<char> out(room + 8, '\0');
    memset(out.data() + room, 'G', 8);
    message.DecodeName(out.data(), raw);
    EXPECT_EQ(out[room - 1], '\0');
    EXPECT_EQ(strlen(out.data()), room - 1);
    EXPECT_EQ(std::string(out.data() + room, 8), "GGGGGGGG");
}

TEST_F(ScanMessage, AnAttachmentKeepsItsNameWhenGMimeCannotReadItsType) {
    struct Case {
        const char* headers;
        const char* name;
    } cases[] = {
        {"Content-Type: application-x-gzip; name=\"document.xml.gz\"\r\n", "document.xml.gz"},
        {"Content-Type: application;\r\n name*=UTF-8''r%C3%A9sum%C3%A9.exe\r\n", "r\xc3\xa9sum\xc3\xa9.exe"},
        {"Content-Type: application/; name=\"=?UTF-8?B?w5xiZXJzaWNodC5kb2N4?=\"\r\n",
         "\xc3\x9c" "bersicht.docx"},
        {"Content-Type: text; name=\"a.vbs\"\r\nContent-Disposition: attachment; filename=b.exe\r\n",
         "b.exe"},
        {"Content-Type: application/octet-stream; name=\"read.exe\"\r\n", "read.exe"},
        {"Content-Type: application-x-gzip\r\n", ""},
        {"Content-Type: application; charset=x\r\n", ""},
    };
    for (const Case& c : cases) {
        std::string bytes = vtest::WithAttachment(c.headers, "MZ");
        CDrennicMessage message(kTemp);
        ASSERT_EQ(message.Parse(bytes.data(), bytes.size(), nullptr), CDrennicMessage::PARSED);
        ASSERT_EQ(message.GetPartCount(), 1) << c.headers;
        EXPECT_STREQ(message.GetPartName(0), c.name) << c.headers;
    }
    EXPECT_EQ(Check(vtest::WithAttachment(cases[3].headers, "MZ"), vtest::ParseRule("4|*exe")), 1);
}

TEST_F(ScanMessage, ATextPartIsABodyTextUnlessItIsAnAttachment) {
    const std::string inner = "From: x@example.com\r\nSubject: inner\r\n\r\nhello\r\n";
    struct Case {
        const char* headers;
        std::string body;
        int bodies;      // body texts: "See the attachment." and this one, or that alone
        int parts;       // this part, and the leaf of a nested message
        const char* name; // of the first part
    } cases[] = {
        {"Content-Type: text/plain\r\n", "notes", 2, 0, ""},
        {"Content-Type: text/plain\r\nContent-Disposition: attachment\r\n", "notes", 1, 1, ""},
        {"Content-Type: text/plain\r\nContent-Disposition: inline; filename=n.txt\r\n", "notes", 1, 1,
         "n.txt"},
        {"Content-Type: message/rfc822\r\nContent-Disposition: attachment; filename=fwd.eml\r\n",
         inner, 1, 2, "fwd.eml"},
        {"Content-Type: message/rfc822; name=\"fwd2.eml\"\r\n", inner, 1, 2, "fwd2.eml"},
    };
    for (const Case& c : cases) {
        std::string bytes = vtest::WithAttachment(c.headers, c.body);
        CDrennicMessage message(kTemp);
        ASSERT_EQ(message.Parse(bytes.data(), bytes.size(), nullptr), CDrennicMessage::PARSED);
        EXPECT_EQ(message.GetBodyTextCount(), c.bodies) << c.headers;
        ASSERT_EQ(message.GetPartCount(), c.parts) << c.headers;
        EXPECT_STREQ(message.GetPartName(0), c.name) << c.headers;
    }
}

TEST_F(ScanMessage, NestingAndContainerLimitsHoldOnBothSides) {
    RuleSpec exe = vtest::ParseRule("4|*exe");
    // A root multipart is level 1.
    EXPECT_EQ(Check(vtest::NestedMultiparts(DRENNIC_MAX_NESTING), exe), 1);
    Check(vtest::NestedMultiparts(DRENNIC_MAX_NESTING + 1), exe, true, CDrennicMessage::TOO_DEEP);
    // So is each nested message.
    EXPECT_EQ(Check(vtest::NestedMessages(DRENNIC_MAX_NESTING), exe), 1);
    Check(vtest::NestedMessages(DRENNIC_MAX_NESTING + 1), exe, true, CDrennicMessage::TOO_DEEP);
    Check(vtest::NestedMessages(200), exe, true, CDrennicMessage::TOO_DEEP);
    // Container headers are counted before parsing, folded ones too.
    std::string body;
    for (int i = 0; i < DRENNIC_MAX_CONTAINERS - 1; ++i)
        body += "Content-Type: multipart/mixed\r\n";
    body += "content-type:\r\n\tmessage/rfc822\r\n";
    std::string atLimit = vtest::Header("many") + "\r\n" + body;
    EXPECT_EQ(Check(atLimit, vtest::ParseRule("2|multipart")), 1);
    Check(atLimit + "Content-Type: message/partial\r\n", vtest::ParseRule("2|multipart"), true,
          CDrennicMessage::TOO_MANY);
}

TEST_F(ScanMessage, FaultyMessagesAreScannedOrRefusedAndLeaveNothing) {
    std::string tnefMail = vtest::CorpusFile("tnef-christmas.eml");
    // Cut short anywhere: scanned as far as it goes. Inside the TNEF part the
    // names before the cut are still found.
    for (size_t cut : {size_t(10), size_t(300), tnefMail.size() / 3, tnefMail.size() - 40}) {
        std::string truncated = tnefMail.substr(0, cut);
        Check(truncated, vtest::ParseRule("4|kitten"));
    }
    // A TNEF part cut short keeps the names read before the cut (each
    // attachment's names follow its data).
    std::string panic = vtest::CorpusFile("tnef-panic.eml");
    size_t body = panic.find("Content-Transfer-Encoding: base64");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(Check(panic.substr(0, body + 50000), vtest::ParseRule("4|image002")), 1);
    EXPECT_EQ(Check(panic.substr(0, body + 50000), vtest::ParseRule("4|image003")), 0);
    // A TNEF stream cut after its header: nothing to find, nothing left.
    EXPECT_EQ(Check(vtest::WithAttachment("Content-Type: application/ms-tnef; name=\"winmail.dat\"\r\n"
                                          "Content-Transfer-Encoding: base64\r\n",
                                          "eJ8+IgAA"),
                    vtest::ParseRule("4|winmail")),
              0);
    // Broken base64 and quoted-printable decode to what can be decoded.
    EXPECT_EQ(Check(vtest::WithAttachment("Content-Type: application/octet-stream; name=\"a.bin\"\r\n"
                                          "Content-Transfer-Encoding: base64\r\n",
                                          "!!!!U0VDUkVU***\r\n====\r\nQUJD=x"),
                    vtest::ParseRule("4|a.bin")),
              1);
    EXPECT_EQ(Check(vtest::WithAttachment("Content-Type: text/plain; name=\"q.txt\"\r\n"
                                          "Content-Transfer-Encoding: quoted-printable\r\n",
                                          "broken =ZZ escape and =\r\nsoft =4"),
                    vtest::ParseRule("2|escape")),
              1);
    // An unknown transfer encoding is taken as it stands.
    EXPECT_EQ(Check(vtest::WithAttachment("Content-Type: text/plain; name=\"u.txt\"\r\n"
                                          "Content-Transfer-Encoding: x-martian\r\n",
                                          "plain words"),
                    vtest::ParseRule("2|words")),
              1);
    // A name of 10,000 characters is searched whole.
    std::string longName(10000 - 4, 'n');
    longName += ".exe";
    std::string longMail = vtest::WithAttachment(
        "Content-Type: application/octet-stream; name=\"" + longName + "\"\r\n", "MZ");
    EXPECT_EQ(Check(longMail, vtest::ParseRule("4|*exe")), 1);
    EXPECT_EQ(Check(longMail, vtest::ParseRule("4|*com")), 0);
    // Nothing GMime can read as a message.
    Check(std::string(), vtest::ParseRule("1|x"), true, CDrennicMessage::UNPARSABLE);
    Check(std::string("\r\n\r\nno headers at all\r\n"), vtest::ParseRule("1|x"), true,
          CDrennicMessage::UNPARSABLE);
}

TEST_F(ScanMessage, TheFirstBlockingMatchDecidesAndInactiveRulesAreNotChecked) {
    std::string bytes = vtest::CorpusFile("attach-exe.eml");
    CDrennicMessage message(kTemp);
    ASSERT_EQ(message.Parse(bytes.data(), bytes.size(), nullptr), CDrennicMessage::PARSED);
    struct Row {
        const char* rules; // per rule: M matches and blocks, m matches without blocking,
                           // x does not match, i matches but is inactive
        int matched;
        bool block;
        int checked;
    } rows[] = {
        {"", -1, false, 0},   {"x", -1, false, 1},  {"M", 0, true, 1},   {"xM", 1, true, 2},
        {"mM", 1, true, 2},   {"mx", 0, false, 2},  {"iM", 1, true, 1},  {"Mx", 0, true, 1},
        {"mmx", 0, false, 3}, {"ii", -1, false, 0},
    };
    for (const Row& row : rows) {
        DrennicRuleSet set;
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 1);
        key.Write("No_of_Filter_Rules", static_cast<DWORD>(strlen(row.rules)));
        for (size_t i = 0; i < strlen(row.rules); ++i) {
            CRegKey sub;
            sub.Open(key, ("Filter_Rule_" + std::to_string(i)).c_str(), 1);
            char c = row.rules[i];
            sub.Write("Description", "");
            sub.Write("PrimaryPhrase", c == 'x' ? "*com" : "*exe");
            sub.Write("And", DWORD(0));
            sub.Write("SecondaryPhrase", "");
            sub.Write("Proximity", DWORD(0));
            sub.Write("CheckSubject", DWORD(0));
            sub.Write("CheckBody", DWORD(0));
            sub.Write("CheckAttach", DWORD(4));
            sub.Write("Block", DWORD(c == 'm' ? 0 : 1));
            sub.Write("NotifySender", DWORD(0));
            sub.Write("Active", DWORD(c == 'i' ? 0 : 1));
        }
        set.Load(nullptr);
        ASSERT_EQ(set.Count(), strlen(row.rules));
        DrennicVerdict v = CheckRules(set, &message, true);
        EXPECT_EQ(v.matched, row.matched) << row.rules;
        EXPECT_EQ(v.block, row.block) << row.rules;
        EXPECT_EQ(v.checked, row.checked) << row.rules;
    }
}

TEST_F(ScanMessage, RulesAreReadFromTheKeyAsPellionWritesThem) {
    DrennicRuleSet set;
    std::vector<std::string> skipped;
    set.Load(&skipped); // no key at all: no rule, and the key is not made
    EXPECT_EQ(set.Count(), 0u);
    CRegKey probe;
    EXPECT_NE(probe.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 0), ERROR_SUCCESS);

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 1), ERROR_SUCCESS);
    auto writeRule = [&](int slot, const char* leaveOut) {
        CRegKey sub;
        sub.Open(key, ("Filter_Rule_" + std::to_string(slot)).c_str(), 1);
        const char* texts[] = {"Description", "PrimaryPhrase", "SecondaryPhrase"};
        for (const char* t : texts)
            if (strcmp(t, leaveOut) != 0)
                sub.Write(t, (std::string(t) + std::to_string(slot) +
                              std::string(70, slot == 2 ? 'z' : '\0').c_str())
                                 .c_str());
        const char* numbers[] = {"And", "Proximity", "CheckSubject", "CheckBody",
                                 "CheckAttach", "Block", "NotifySender", "Active"};
        DWORD value = 1;
        for (const char* n : numbers)
            if (strcmp(n, leaveOut) != 0)
                sub.Write(n, value++);
    };
    writeRule(0, "Active"); // without Active: active
    writeRule(1, "And");    // incomplete: no rule
    writeRule(2, "");       // texts longer than a field: cut to 63
    // slot 3 has no subkey at all
    writeRule(4, "");
    key.Write("No_of_Filter_Rules", DWORD(4)); // slot 4 lies beyond the count
    set.Load(&skipped);
    ASSERT_EQ(set.Count(), 2u);
    EXPECT_EQ(skipped, (std::vector<std::string>{"Filter_Rule_1", "Filter_Rule_3"}));
    EXPECT_EQ(set.Slot(0), 0);
    EXPECT_EQ(set.Slot(1), 2);
    CRule* r = set.Rule(0);
    EXPECT_STREQ(r->GetDescription(), "Description0");
    EXPECT_STREQ(r->PrimaryPhrase, "PrimaryPhrase0");
    EXPECT_STREQ(r->SecondaryPhrase, "SecondaryPhrase0");
    EXPECT_EQ(r->And, 1);
    EXPECT_EQ(r->Proximity, 2);
    EXPECT_EQ(r->CheckSubject, 1);
    EXPECT_EQ(r->CheckBody, 2);
    EXPECT_EQ(r->CheckAttach, 4);
    EXPECT_EQ(r->BlockMessage(), 6);
    EXPECT_EQ(r->NotifySender(), 7);
    EXPECT_EQ(r->IsActive(), 1);
    EXPECT_EQ(strlen(set.Rule(1)->PrimaryPhrase), 63u);
    EXPECT_EQ(set.Rule(1)->IsActive(), 8);
    EXPECT_EQ(set.ActiveCount(), 2u);

    // A count above the slots is cut to 256; a reload replaces what was held.
    key.Write("No_of_Filter_Rules", DWORD(100000));
    skipped.clear();
    set.Load(&skipped);
    EXPECT_EQ(set.Count(), 3u); // slots 0, 2 and 4
    EXPECT_EQ(skipped.size(), DRENNIC_MAX_RULES - 3);
    EXPECT_EQ(skipped.back(), "Filter_Rule_255");
    set.Clear();
    EXPECT_EQ(set.Count(), 0u);
}

} // namespace
