// The TNEF search: the reader on written streams (titles, property lists with
// named, multi-value, object and UTF-16 properties, hostile lengths, truncated
// streams) and on three public TNEF files, and the whole attachment check over
// TNEF parts through a test message.
#include "TestMessage.h"
#include "TnefWriter.h"

#include "filter/Kessla.h"
#include "filter/StreamTransport.h"
#include "filter/TNEFReader.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using vtest::Le32;
using vtest::TnefProps;
using vtest::TnefWriter;

#ifndef VANTRY_TNEF_DATA
#define VANTRY_TNEF_DATA "tests/filter/data"
#endif

bool Collect(const char* name, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(name);
    return false;
}

struct Parsed {
    std::vector<std::string> names;
    CTNEFReader::EEnd end = CTNEFReader::NotTNEF;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Parsed ParseFile(const std::string& path) {
    Parsed parsed;
    CStreamTransport file;
    if (!file.Open(path.c_str()))
        return parsed;
    CTNEFReader reader(&file, Collect, &parsed.names);
    parsed.end = reader.Parse();
    file.Close();
    return parsed;
}

class TnefTest : public ::testing::Test {
protected:
    std::string Write(const std::string& bytes, const std::string& name = "winmail.dat") {
        std::string path = root_.path() + "/" + name;
        EXPECT_TRUE(vtest::WriteFile(path, bytes));
        return path;
    }
    Parsed Parse(const std::string& bytes) { return ParseFile(Write(bytes)); }

    // The attachment check of a rule with only CheckAttach set, over one TNEF
    // part whose file holds the given bytes.
    int Check(const std::string& phrase, const std::string& bytes) {
        return CheckPath(phrase, Write(bytes));
    }
    int CheckPath(const std::string& phrase, const std::string& path) {
        CRule rule;
        std::vector<char> p(phrase.begin(), phrase.end());
        p.push_back('\0');
        char empty[1] = {0};
        rule.SetRule(p.data(), empty, 0, 0, 4, 1, 1);
        vtest::TestMessage message;
        message.AddPart(path, 7).tnef = 1;
        int result = rule.CheckMessage(&message, true);
        EXPECT_TRUE(message.AllStreamsReturned());
        return result;
    }

    vtest::TempRoot root_;
};

// --- written streams: what the reader collects -----------------------------

TEST_F(TnefTest, CollectsTitlesAndNamePropertiesInStreamOrder) {
    TnefWriter w;
    w.MessageProps(
        TnefProps().Text(0x0037, "Subject: report.doc").Text(vtest::kPrDisplayName, "Sender Name"));
    w.Title("REPORT.DOC");
    w.Content(std::string(3000, 'Z'));
    w.Attachment(TnefProps()
                     .Long(0x0E21, 7)
                     .Text(vtest::kPrAttachFilename, "QUARTE~1.DOC")
                     .Text(vtest::kPrAttachLongFilename, "Quarterly Report.doc")
                     .Text(vtest::kPrDisplayName, "Quarterly Report"));
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(p.names, (std::vector<std::string>{"Sender Name", "REPORT.DOC", "QUARTE~1.DOC",
                                                 "Quarterly Report.doc", "Quarterly Report"}));
}

TEST_F(TnefTest, PassesOverNamedMultiValueAndObjectPropertiesExactly) {
    // Every property before the long file name must be consumed to the byte,
    // or the name after them is lost or read out of step.
    TnefProps props;
    props.Named(0x8001, vtest::kPtString8, "X-Attachment-Name",
                Le32(1) + Le32(10) + vtest::Pad4(std::string("virus.exe") + '\0'));
    props.Named(0x8002, 0x0003, "", Le32(42));
    props.Named(0x8003, 0x000B, "odd", Le32(1)); // a name of 4 UTF-16 units: padded
    props.MultiLong(0x1234, {1, 2, 3});
    props.MultiText(0x1235, {"a", "bcdef", "virus.exe"});
    props.MultiShort(0x1236, {2, 2, 2});
    props.Property(TnefProps::Tag(0x1237, 0x1048), Le32(2) + std::string(32, '\x03'));
    props.Object(0x3701, "an embedded message that mentions virus.exe");
    props.Object(0x3702, "short");
    // An object shorter than an interface identifier is skipped whole.
    props.Property(TnefProps::Tag(0x3703, 0x000D), Le32(1) + Le32(5) + vtest::Pad4("tiny!"));
    props.Time(0x0E06);
    props.Property(TnefProps::Tag(0x0E07, 0x0048), std::string(16, '\x04'));
    props.Property(TnefProps::Tag(0x0E08, 0x0014), std::string(8, '\x05'));
    props.Text(0x3705, "not a name", 0x0102);
    props.Text(vtest::kPrAttachLongFilename, "after.txt");
    TnefWriter w;
    w.Attachment(props).Title("next.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(p.names, (std::vector<std::string>{"after.txt", "next.doc"}));
}

TEST_F(TnefTest, MultiValuedNamePropertyGivesEveryValue) {
    TnefWriter w;
    w.Attachment(TnefProps().MultiText(vtest::kPrAttachLongFilename, {"one.txt", "two.exe"}));
    EXPECT_EQ(Parse(w.Bytes()).names, (std::vector<std::string>{"one.txt", "two.exe"}));
}

TEST_F(TnefTest, Utf16NamesAreSearchedAsText) {
    TnefWriter w;
    w.Attachment(
        TnefProps()
            .Unicode(vtest::kPrAttachLongFilename, "Quarterly Report.doc")
            .MultiText(vtest::kPrDisplayName,
                       {vtest::Utf16("virus.exe"), std::string("\x41\x00\xAC\x20\x42\x00", 6)},
                       0x101F));
    Parsed p = Parse(w.Bytes());
    // Units beyond Latin-1 (here the euro sign) become '?'.
    EXPECT_EQ(p.names, (std::vector<std::string>{"Quarterly Report.doc", "virus.exe", "A?B"}));
    EXPECT_EQ(p.end, CTNEFReader::EndOfFile);
}

TEST_F(TnefTest, LongValuesGiveAtMost511BytesAndTheRestIsPassedOver) {
    std::string head(500, 'x');
    std::string title600 = head + "payload.exe" + std::string(89, 'T'); // 600 bytes
    ASSERT_EQ(title600.size(), 600u);
    std::string title512 = std::string(512, 'y');
    TnefWriter w;
    w.Attribute(2, vtest::kAttAttachTitle, title600);
    w.Attribute(2, vtest::kAttAttachTitle, title512);
    w.Attachment(TnefProps().Text(vtest::kPrAttachLongFilename, std::string(700, 'L') + ".exe"));
    w.Title("next.doc");
    Parsed p = Parse(w.Bytes());
    ASSERT_EQ(p.names.size(), 4u);
    EXPECT_EQ(p.names[0], head + "payload.exe");
    EXPECT_EQ(p.names[1], std::string(511, 'y'));
    EXPECT_EQ(p.names[2], std::string(511, 'L'));
    EXPECT_EQ(p.names[3], "next.doc");
    EXPECT_EQ(p.end, CTNEFReader::EndOfFile);
}

TEST_F(TnefTest, PaddingAfterATextIsNotPartOfTheName) {
    // Length 9, padded to 12 with bytes that would otherwise glue onto the name.
    TnefProps props;
    props.Property(TnefProps::Tag(vtest::kPrAttachLongFilename, vtest::kPtString8),
                   Le32(1) + Le32(9) + "virus.exeAAA");
    TnefWriter w;
    w.Attachment(props);
    EXPECT_EQ(Parse(w.Bytes()).names, (std::vector<std::string>{"virus.exe"}));
}

TEST_F(TnefTest, PropertyCountAbove3000EndsTheParseAndEarlierNamesStay) {
    TnefProps many;
    for (int i = 0; i < 3000; ++i)
        many.Long(0x0E20, static_cast<uint32_t>(i));
    TnefWriter ok;
    ok.Attachment(many).Title("after3000.doc");
    EXPECT_EQ(Parse(ok.Bytes()).names, (std::vector<std::string>{"after3000.doc"}));

    TnefWriter w;
    w.Title("first.doc");
    w.Attribute(2, vtest::kAttAttachment,
                TnefProps().Text(vtest::kPrAttachLongFilename, "inside.doc").DataWithCount(3001));
    w.Title("later.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::Fault);
    EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc"}));
}

TEST_F(TnefTest, TruncatedStreamsKeepTheNamesBeforeTheCut) {
    TnefWriter w;
    w.Title("first.doc");
    size_t afterFirst = w.Bytes().size();
    w.Title("second.doc");
    size_t afterSecond = w.Bytes().size();
    // The second title: level, identifier and length (9 bytes), the value
    // "second.doc" and its terminator (11), the checksum (2).
    size_t valueStart = afterFirst + 9;
    ASSERT_EQ(afterSecond, valueStart + 11 + 2);

    Parsed whole = Parse(w.Cut(afterSecond));
    EXPECT_EQ(whole.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(whole.names, (std::vector<std::string>{"first.doc", "second.doc"}));

    Parsed atBoundary = Parse(w.Cut(afterFirst));
    EXPECT_EQ(atBoundary.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(atBoundary.names, (std::vector<std::string>{"first.doc"}));

    // Cut in the framing, or right after it: no byte of the value is there.
    for (size_t cut = afterFirst + 1; cut <= valueStart; ++cut) {
        Parsed p = Parse(w.Cut(cut));
        EXPECT_EQ(p.end, CTNEFReader::Fault) << "cut at " << cut;
        EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc"})) << "cut at " << cut;
    }
    // Cut inside the value: the name as far as it goes; from the cut after its
    // last character on (terminator, checksum), the whole name.
    const std::string second = "second.doc";
    for (size_t cut = valueStart + 1; cut < afterSecond; ++cut) {
        size_t have = cut - valueStart < second.size() ? cut - valueStart : second.size();
        Parsed p = Parse(w.Cut(cut));
        EXPECT_EQ(p.end, CTNEFReader::Fault) << "cut at " << cut;
        EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc", second.substr(0, have)}))
            << "cut at " << cut;
    }
}

TEST_F(TnefTest, LastAttributeDeclaredOneByteLongerThanWhatFollows) {
    TnefProps props;
    props.Long(0x0E21, 7)
        .Text(vtest::kPrAttachFilename, "INVOIC~1.EXE")
        .Unicode(vtest::kPrAttachLongFilename, "invoice 2026.exe")
        .Text(vtest::kPrDisplayName, "invoice");
    const std::string data = props.Data();
    TnefWriter w;
    w.Title("first.doc");
    size_t before = w.Bytes().size();
    // The checksum is left off as well: the file ends with the data, one byte
    // short of what the length declares.
    w.AttributeWithLength(2, vtest::kAttAttachment, data, static_cast<uint32_t>(data.size() + 1));
    std::string bytes = w.Cut(w.Bytes().size() - 2);
    ASSERT_EQ(bytes.size(), before + 9 + data.size());
    Parsed p = Parse(bytes);
    EXPECT_EQ(p.end, CTNEFReader::Fault);
    EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc", "INVOIC~1.EXE", "invoice 2026.exe",
                                                 "invoice"}));
    EXPECT_EQ(Check("invoice", bytes), 1);
    EXPECT_EQ(Check("2026.exe", bytes), 1);

    // Declared exactly: the same names, and the parse ends at the end of the file.
    TnefWriter exact;
    exact.Title("first.doc").Attachment(props);
    EXPECT_EQ(Parse(exact.Bytes()).names, p.names);
    EXPECT_EQ(Parse(exact.Bytes()).end, CTNEFReader::EndOfFile);

    // A title declared one byte longer than its value, checksum left off.
    TnefWriter title;
    title.AttributeWithLength(2, vtest::kAttAttachTitle, "virus.exe", 10);
    Parsed t = Parse(title.Cut(title.Bytes().size() - 2));
    EXPECT_EQ(t.names, (std::vector<std::string>{"virus.exe"}));
    EXPECT_EQ(t.end, CTNEFReader::Fault);
}

TEST_F(TnefTest, MultiValueShortsTakeFourBytesEach) {
    // Every count around the odd one, where two bytes a value would leave the
    // list two bytes short of a multiple of four.
    for (uint32_t count = 0; count <= 5; ++count) {
        std::vector<uint16_t> values;
        for (uint32_t v = 0; v < count; ++v)
            values.push_back(static_cast<uint16_t>(0x4141 + v));
        TnefProps props;
        props.MultiShort(0x1236, values)
            .Text(vtest::kPrAttachLongFilename, "Quarterly Report.doc")
            .Long(0x0E21, 3)
            .Text(vtest::kPrDisplayName, "Report");
        TnefWriter w;
        w.Attachment(props).Title("next.doc");
        Parsed p = Parse(w.Bytes());
        EXPECT_EQ(p.end, CTNEFReader::EndOfFile) << count << " values";
        EXPECT_EQ(p.names, (std::vector<std::string>{"Quarterly Report.doc", "Report", "next.doc"}))
            << count << " values";
        EXPECT_EQ(Check("quarterly report", w.Bytes()), 1) << count << " values";
    }
}

TEST_F(TnefTest, OtherLevelEndsTheParse) {
    TnefWriter w;
    w.Title("first.doc").Raw(std::string(1, '\x4B')).Title("hidden.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::OtherLevel);
    EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc"}));
}

// --- hostile lengths: every one ends quickly, nothing read out of bounds ----

TEST_F(TnefTest, AttributeLengthBeyondTheFileIsReadAsFarAsTheFileGoes) {
    // The title's value runs to the end of the file: its name is read up to
    // its terminator, and the title after it lies inside the lying attribute.
    TnefWriter w;
    w.Title("first.doc");
    w.AttributeWithLength(2, vtest::kAttAttachTitle, std::string("late.doc") + '\0', 0xFFFFFFF0u);
    w.Title("never.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::Fault);
    EXPECT_EQ(p.names, (std::vector<std::string>{"first.doc", "late.doc"}));
}

TEST_F(TnefTest, ValueCountsThatLieEndAtTheirAttribute) {
    // Each list below claims far more than its attribute holds; the next
    // attribute must still be read, and in step.
    std::vector<TnefProps> lists(6);
    lists[0].Property(TnefProps::Tag(0x1234, 0x1003), Le32(0xFFFFFFFFu) + Le32(1));
    lists[1].Property(TnefProps::Tag(0x1234, 0x1001), Le32(0xFFFFFFFFu)); // unknown type
    lists[2].Property(TnefProps::Tag(0x1234, 0x1002), Le32(0x7FFFFFFFu) + "ab");
    lists[3].Property(TnefProps::Tag(vtest::kPrAttachLongFilename, vtest::kPtString8),
                      Le32(1) + Le32(0xFFFFFFFFu) + "virus.exe");
    lists[4].Property(TnefProps::Tag(0x3701, 0x000D),
                      Le32(1) + Le32(0xFFFFFFFDu) + std::string(20, 'o'));
    lists[5].Named(0x8000, 0x0003, "", "").Property(0, ""); // kind 0 then nothing: runs off
    for (size_t i = 0; i < lists.size(); ++i) {
        TnefWriter w;
        w.Attachment(lists[i]).Title("next.doc");
        Parsed p = Parse(w.Bytes());
        EXPECT_EQ(p.end, CTNEFReader::EndOfFile) << "list " << i;
        // The name whose length runs past its attribute is read as far as
        // the attribute goes.
        std::vector<std::string> expected = {"next.doc"};
        if (i == 3)
            expected.insert(expected.begin(), "virus.exe");
        EXPECT_EQ(p.names, expected) << "list " << i;
    }
}

TEST_F(TnefTest, NamedPropertyNameLengthThatWouldWrapIsBounded) {
    TnefProps props;
    props.Property(TnefProps::Tag(0x8001, 0x0003),
                   std::string(16, 'G') + Le32(1) + Le32(0xFFFFFFFEu) + Le32(5));
    TnefWriter w;
    w.Attachment(props).Title("next.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.names, (std::vector<std::string>{"next.doc"}));
}

TEST_F(TnefTest, NamesAcrossReadAheadBoundaries) {
    // Titles placed so that each crosses a 4096-byte boundary of the file at a
    // different offset; the content attributes between them are passed over.
    TnefWriter w;
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        w.Content(std::string(4096 - 11 - 3 * i, 'c'));
        std::string name = "name-" + std::to_string(i) + ".bin";
        w.Title(name);
        expected.push_back(name);
    }
    w.Content(std::string(200000, 'c'));
    w.Title("last.doc");
    expected.push_back("last.doc");
    Parsed p = Parse(w.Bytes());
    EXPECT_EQ(p.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(p.names, expected);
}

TEST_F(TnefTest, ReaderRefusesWhatIsNotTNEF) {
    EXPECT_EQ(Parse("").end, CTNEFReader::NotTNEF);
    EXPECT_EQ(Parse(TnefWriter(0x223E9F79u).Title("x.doc").Bytes()).end, CTNEFReader::NotTNEF);
    EXPECT_EQ(ParseFile(root_.path() + "/missing.dat").end, CTNEFReader::NotTNEF);
}

// --- the three public files -------------------------------------------------

TEST(TnefFiles, NamesOfThePublicFiles) {
    // The sources' test data by its host path: a root that maps the host (Z:).
    vtest::TempRoot root;
    Parsed christmas = ParseFile(VANTRY_TNEF_DATA "/christmas.tnef");
    EXPECT_EQ(christmas.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(christmas.names,
              (std::vector<std::string>{"KITTEN~1.JPG", "kitten-playing-with-a-christmas-tree.jpg",
                                        "kitten-playing-with-a-christmas-tree.jpg",
                                        "Untitled Attachment", "Build a train table",
                                        "Untitled Attachment", "Christmas Celebration!"}));

    Parsed winmail = ParseFile(VANTRY_TNEF_DATA "/winmail-mimekit.tnef");
    EXPECT_EQ(winmail.end, CTNEFReader::EndOfFile);
    EXPECT_EQ(winmail.names, (std::vector<std::string>{
                                 "Untitled Attachment", "Picture (Device Independent Bitmap)",
                                 "Untitled Attachment", "Picture (Device Independent Bitmap)"}));

    // Each image's title, then its short name, long name and display name;
    // the garbage level byte after them ends the parse.
    Parsed panic = ParseFile(VANTRY_TNEF_DATA "/panic-teamwork.tnef");
    EXPECT_EQ(panic.end, CTNEFReader::OtherLevel);
    std::vector<std::string> images;
    for (const char* n : {"image001.jpg", "image002.jpg", "image003.png"})
        images.insert(images.end(), 4, n);
    EXPECT_EQ(panic.names, images);
}

// Where each name of a whole file ends: the offset just past its last
// character, found by looking for its text with its terminator (narrow or
// UTF-16) after where the name before it starts. The cut test below checks
// these offsets from both sides, so a wrong one cannot pass unnoticed.
std::vector<size_t> NameEnds(const std::string& bytes, const std::vector<std::string>& names) {
    std::vector<size_t> ends;
    size_t from = 0;
    for (const std::string& name : names) {
        size_t narrow = bytes.find(name + '\0', from);
        size_t wide = bytes.find(vtest::Utf16(name) + std::string(2, '\0'), from);
        if (narrow == std::string::npos && wide == std::string::npos)
            return {};
        if (narrow <= wide) {
            ends.push_back(narrow + name.size());
            from = narrow + 1;
        } else {
            ends.push_back(wide + 2 * name.size());
            from = wide + 1;
        }
    }
    return ends;
}

TEST_F(TnefTest, PublicFilesCutAnywhereInTheirLastBytesKeepEveryNameBeforeTheCut) {
    // Each file's last attribute is large (an embedded object, or content
    // after a garbage level byte), so every cut in its last 2,000 bytes lies
    // after all its names; christmas.tnef's last name sits in the same
    // attribute as the object that the cut goes through.
    for (const char* file : {"christmas.tnef", "winmail-mimekit.tnef", "panic-teamwork.tnef"}) {
        std::string source = std::string(VANTRY_TNEF_DATA) + "/" + file;
        std::string bytes = ReadAll(source);
        ASSERT_GT(bytes.size(), 2000u) << file;
        std::vector<std::string> full = ParseFile(source).names;
        ASSERT_FALSE(full.empty()) << file;
        std::vector<size_t> ends = NameEnds(bytes, full);
        ASSERT_EQ(ends.size(), full.size()) << file << ": a name's text was not found";

        // One copy, cut shorter and shorter: the reader can get no byte past
        // the cut, and under AddressSanitizer no short read may run it out of
        // its own buffers.
        std::string path = Write(bytes, file);
        for (size_t cut = bytes.size(); cut + 2000 > bytes.size(); --cut) {
            std::filesystem::resize_file(path, cut);
            Parsed p = ParseFile(path);
            std::vector<std::string> expected;
            for (size_t k = 0; k < full.size() && ends[k] <= cut; ++k)
                expected.push_back(full[k]);
            ASSERT_EQ(p.names, expected) << file << " cut at " << cut;
        }

        // Each name from both sides: cut right after its last character it is
        // found whole; one byte earlier, as far as it goes, and it is the last
        // name found.
        for (size_t k = 0; k < full.size(); ++k) {
            std::vector<std::string> expected(full.begin(), full.begin() + static_cast<long>(k));
            expected.push_back(full[k].substr(0, full[k].size() - 1));
            EXPECT_EQ(Parse(bytes.substr(0, ends[k] - 1)).names, expected)
                << file << " cut before the end of name " << k;
            expected.back() = full[k];
            EXPECT_EQ(Parse(bytes.substr(0, ends[k])).names, expected)
                << file << " cut at the end of name " << k;
        }
    }
}

TEST_F(TnefTest, RuleFindsNamesInThePublicFilesAndNothingElse) {
    std::string christmas = VANTRY_TNEF_DATA "/christmas.tnef";
    EXPECT_EQ(CheckPath("christmas-tree.jpg", christmas), 1);
    EXPECT_EQ(CheckPath("*kitten*", christmas), 1); // asterisks dropped; mode 1
    EXPECT_EQ(CheckPath("Christmas Celebration", christmas), 1);
    EXPECT_EQ(CheckPath("train table", christmas), 1);
    EXPECT_EQ(CheckPath("Microsoft Mail", christmas), 0); // the message class: not a name
    EXPECT_EQ(CheckPath("kitt", christmas), 0);           // must end on a word boundary
    EXPECT_EQ(CheckPath("Independent Bitmap", VANTRY_TNEF_DATA "/winmail-mimekit.tnef"), 1);
    EXPECT_EQ(CheckPath("image003.png", VANTRY_TNEF_DATA "/panic-teamwork.tnef"), 1);
    EXPECT_EQ(CheckPath("image004", VANTRY_TNEF_DATA "/panic-teamwork.tnef"), 0);
}

// --- the attachment check over TNEF parts -----------------------------------

TEST_F(TnefTest, RuleMatchesTitleAndLongFilename) {
    TnefWriter titled;
    titled.Title("REPORT.DOC");
    EXPECT_EQ(Check("report", titled.Bytes()), 1);
    EXPECT_EQ(Check("port", titled.Bytes()), 1); // may begin inside a word
    EXPECT_EQ(Check("repo", titled.Bytes()), 0); // must end on one
    EXPECT_EQ(Check("invoice", titled.Bytes()), 0);

    TnefWriter props;
    props.Attachment(TnefProps().Text(vtest::kPrAttachLongFilename, "Quarterly Report.doc"));
    EXPECT_EQ(Check("report", props.Bytes()), 1);
    TnefWriter wide;
    wide.Attachment(TnefProps().Unicode(vtest::kPrAttachLongFilename, "Quarterly Report.doc"));
    EXPECT_EQ(Check("report", wide.Bytes()), 1);
}

TEST_F(TnefTest, RuleDoesNotParseWithoutSignatureAndValidFirstLevel) {
    TnefWriter w;
    w.Title("REPORT.DOC");
    std::string level3 = w.Bytes();
    level3[6] = 3;
    EXPECT_EQ(Check("report", w.Bytes()), 1);
    EXPECT_EQ(Check("report", level3), 0);
    std::string level1 = w.Bytes();
    level1[6] = 1;
    EXPECT_EQ(Check("report", level1), 1);
    EXPECT_EQ(Check("report", w.Cut(6)), 0);
    EXPECT_EQ(Check("report", TnefWriter(0x78563412u).Title("REPORT.DOC").Bytes()), 0);
    // A part whose file cannot be opened is passed over.
    EXPECT_EQ(CheckPath("report", root_.path() + "/absent.dat"), 0);
    EXPECT_EQ(CheckPath("report", root_.path()), 0); // a folder
}

TEST_F(TnefTest, RuleStillSearchesNamesBeforeAFault) {
    TnefWriter w;
    w.Title("invoice.pdf");
    w.Attribute(2, vtest::kAttAttachment,
                TnefProps().Text(vtest::kPrAttachLongFilename, "virus.exe").DataWithCount(3001));
    w.Title("later.doc");
    EXPECT_EQ(Check("invoice", w.Bytes()), 1);
    EXPECT_EQ(Check("virus", w.Bytes()), 0);
    EXPECT_EQ(Check("later", w.Bytes()), 0);
    // Cut inside the second name: "second.d" is there, and is searched.
    TnefWriter cut;
    cut.Title("invoice.pdf").Title("second.doc");
    EXPECT_EQ(Check("invoice", cut.Cut(cut.Bytes().size() - 5)), 1);
    EXPECT_EQ(Check("second", cut.Cut(cut.Bytes().size() - 5)), 1);
    EXPECT_EQ(Check("second.doc", cut.Cut(cut.Bytes().size() - 5)), 0);
    EXPECT_EQ(Check("second.doc", cut.Cut(cut.Bytes().size() - 3)), 1);
}

// --- the file class ---------------------------------------------------------

TEST_F(TnefTest, StreamTransportReadsSeeksAndReportsLength) {
    std::string path = Write("0123456789", "ten.bin");
    CStreamTransport file;
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_EQ(file.GetLength(), 10);
    char buf[16] = {0};
    EXPECT_EQ(file.Read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(file.Tell(), 4);
    EXPECT_TRUE(file.Seek(8));
    EXPECT_EQ(file.Read(buf, 16), 2);
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(file.Read(buf, 16), 0);
    EXPECT_FALSE(file.Seek(-1));
    file.Close();
    EXPECT_EQ(file.m_File, -1);

    CStreamTransport missing;
    EXPECT_FALSE(missing.Open((root_.path() + "/none").c_str()));
    EXPECT_EQ(missing.m_File, -1);
    EXPECT_EQ(missing.Read(buf, 4), 0);
    EXPECT_EQ(missing.GetLength(), -1);
    EXPECT_FALSE(missing.Open(root_.path().c_str())); // folders do not open
}

} // namespace
