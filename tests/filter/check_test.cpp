// The message check and its matcher, through a test message: the subject,
// attachment names with their asterisk marks, proximity, quoted-printable
// breaks, passed-over parts, the textPartsOnly split, the windowed content
// search and the return of every stream.
#include "TestMessage.h"

#include "filter/FindPhrase.h"
#include "filter/Kessla.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// The rule's windowed content search is private; the library names this class
// as its friend so that the tests can reach it.
class CRuleTestAccess {
public:
    static unsigned long FindStringInFile(CRule& rule, const char* phrase, CMessageStream* stream,
                                          int mode) {
        std::vector<char> copy(phrase, phrase + strlen(phrase) + 1);
        return rule.FindStringInFile(copy.data(), stream, mode);
    }
};

namespace {

using vtest::StreamBehaviour;
using vtest::TestMessage;
using vtest::TestStream;

enum : unsigned short { kSubject = 1, kBody = 2, kAttach = 4 };

CRule MakeRule(const std::string& primary, unsigned short flags, const std::string& secondary = "",
               int andFlag = 0, int proximity = 0) {
    CRule rule;
    std::vector<char> p(primary.begin(), primary.end());
    p.push_back('\0');
    std::vector<char> s(secondary.begin(), secondary.end());
    s.push_back('\0');
    rule.SetRule(p.data(), s.data(), proximity, andFlag, flags, 1, 1);
    return rule;
}

int Check(CRule& rule, TestMessage& message, bool textPartsOnly = false) {
    int result = rule.CheckMessage(&message, textPartsOnly);
    EXPECT_TRUE(message.AllStreamsReturned()) << "a stream was not given back";
    EXPECT_EQ(message.opens, message.closes);
    EXPECT_EQ(message.otherHeaderCalls, 0);
    return result;
}

// ---------------------------------------------------------------------------
// The matcher, against the plain position-by-position walk.

bool RefWord(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9');
}

unsigned char RefUpper(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 32) : u;
}

long RefFindPhrase(const char* text, const char* phrase, int mode) {
    size_t len = strlen(phrase);
    if (len > strlen(text))
        return -1;
    for (size_t p = 0; text[p] != '\0'; ++p) {
        if (RefUpper(text[p]) != RefUpper(phrase[0]))
            continue;
        if (mode == 0 && p > 0 && RefWord(text[p - 1]))
            continue;
        size_t i = p + 1;
        size_t j = 1;
        while (j < len) {
            while (text[i] == '\n' || text[i] == '\r' || text[i] == '=')
                ++i;
            if (RefUpper(phrase[j]) != RefUpper(text[i]))
                break;
            ++i;
            ++j;
        }
        if (j == len && !RefWord(text[i]))
            return static_cast<long>(p);
    }
    return -1;
}

long Find(const char* text, const char* phrase, int mode) {
    const char* m = FindPhrase(text, phrase, mode);
    return m == nullptr ? -1 : static_cast<long>(m - text);
}

TEST(Matcher, WordCharactersAreAsciiLettersAndDigits) {
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(IsWordChar(static_cast<char>(c)), RefWord(static_cast<char>(c))) << c;
}

TEST(Matcher, BoundariesCaseAndPassedOverCharacters) {
    EXPECT_EQ(Find("Re: Invoice attached", "invoice", 0), 4);
    EXPECT_EQ(Find("Re: Invoice attached", "voice", 0), -1);
    EXPECT_EQ(Find("Re: Invoice attached", "voice", 1), 6);
    EXPECT_EQ(Find("invoices", "invoice", 1), -1); // the end needs a boundary
    EXPECT_EQ(Find("invoice", "invoice", 0), 0);
    EXPECT_EQ(Find("inv=\r\noice due", "invoice", 0), 0);
    EXPECT_EQ(Find("i\n\r=nvoice", "invoice", 0), 0);
    EXPECT_EQ(Find("a=b", "a=b", 0), -1); // '=' past the first character
    EXPECT_EQ(Find("=ab", "=ab", 1), 0);  // but it may be the first
    EXPECT_EQ(Find("anything", "", 1), -1);
    EXPECT_EQ(Find("", "a", 1), -1);
    EXPECT_EQ(Find("ab", "abc", 1), -1);
    EXPECT_EQ(Find("\xc4rger \xe4rger", "\xe4rger", 0), 6); // no folding beyond ASCII
    EXPECT_EQ(Find("x-ray", "ray", 0), 2);                  // '-' is no word character
    EXPECT_EQ(Find("abc1", "abc", 1), -1);                  // digits are word characters
}

TEST(Matcher, AgreesWithThePlainWalkOnRandomTexts) {
    std::mt19937 rng(20261207);
    // A small alphabet makes matches, near misses and passed-over runs
    // frequent; the high byte checks that nothing beyond ASCII is folded.
    const char alphabet[] = {'a', 'A', 'b',  'B',  'c',    '1',   ' ',
                             '.', '=', '\r', '\n', '\xe1', '\xc1'};
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 1);
    long matches = 0;
    for (int round = 0; round < 60000; ++round) {
        size_t textLen = std::uniform_int_distribution<size_t>(0, round % 7 == 0 ? 300 : 70)(rng);
        size_t phraseLen = std::uniform_int_distribution<size_t>(0, 4)(rng);
        std::string text, phrase;
        for (size_t i = 0; i < textLen; ++i)
            text.push_back(alphabet[pick(rng)]);
        for (size_t i = 0; i < phraseLen; ++i)
            phrase.push_back(alphabet[pick(rng) % 8]); // mostly without passed-over characters
        if (round % 5 == 0 && phraseLen > 1)
            phrase[1] = alphabet[pick(rng)];
        for (int mode = 0; mode <= 1; ++mode) {
            long expected = RefFindPhrase(text.c_str(), phrase.c_str(), mode);
            long got = Find(text.c_str(), phrase.c_str(), mode);
            ASSERT_EQ(got, expected)
                << "mode " << mode << " phrase '" << phrase << "' text '" << text << "'";
            matches += expected >= 0;
        }
    }
    // The inputs must exercise matches, not only misses.
    EXPECT_GT(matches, 10000);
}

// The window form of the plain walk: the walk over window[from, limit), limit
// at the first zero byte; when the window's end is open and reached by the
// searchable text, a candidate that runs into it stops the walk, undecided.
long RefFindInWindow(const std::string& window, size_t from, const char* phrase, int mode,
                     bool endIsOpen, size_t* undecided) {
    const char* text = window.c_str();
    const size_t none = static_cast<size_t>(-1);
    *undecided = none;
    size_t limit = from + strlen(text + from);
    size_t openAt = endIsOpen && limit == window.size() ? limit : none;
    size_t len = strlen(phrase);
    if (len == 0 || (openAt == none && len > limit - from))
        return -1;
    for (size_t p = from; p < limit; ++p) {
        if (RefUpper(text[p]) != RefUpper(phrase[0]))
            continue;
        if (mode == 0 && p > 0 && RefWord(text[p - 1]))
            continue;
        size_t i = p + 1;
        size_t j = 1;
        bool open = false;
        while (j < len) {
            while (text[i] == '\n' || text[i] == '\r' || text[i] == '=')
                ++i;
            if (RefUpper(phrase[j]) != RefUpper(text[i])) {
                open = i == openAt;
                break;
            }
            ++i;
            ++j;
        }
        if (j == len)
            open = i == openAt;
        if (open) {
            *undecided = p;
            return -1;
        }
        if (j == len && !RefWord(text[i]))
            return static_cast<long>(p);
    }
    return -1;
}

long FindInWindow(const std::string& window, size_t from, const char* phrase, int mode,
                  bool endIsOpen, size_t* undecided) {
    const char* m =
        FindPhraseInWindow(window.c_str(), from, window.size(), phrase, mode, endIsOpen, undecided);
    return m == nullptr ? -1 : static_cast<long>(m - window.c_str());
}

// Each instruction set the matcher can use on this machine, widest last; the
// matcher is left at the widest.
class MatcherLevels {
public:
    std::vector<int> levels;
    MatcherLevels() {
        for (int level = MatcherPlain; level <= MatcherBestLevel(); ++level)
            levels.push_back(level);
    }
    ~MatcherLevels() { LimitMatcherLevel(MatcherAvx2); }
};

// The matcher searches with the widest instruction set the processor offers,
// on both targets: SSE2 at least on x86 (the 32-bit Windows build included),
// AVX2 where the processor and the system have it. Otherwise the tests below,
// which walk every level up to the best, would leave the fast paths untried.
TEST(Matcher, BestLevelIsTheWidestTheProcessorOffers) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    int expected = __builtin_cpu_supports("avx2") ? MatcherAvx2 : MatcherSse2;
    EXPECT_EQ(MatcherBestLevel(), expected);
    EXPECT_EQ(LimitMatcherLevel(MatcherAvx2), expected);
#else
    EXPECT_GE(MatcherBestLevel(), MatcherPlain);
#endif
}

// The phrase as it may stand in a text: each character after the first may
// be preceded by passed-over characters, and letters may change case.
std::string Plant(const std::string& phrase, std::mt19937& rng) {
    const char passed[] = {'\n', '\r', '='};
    std::string out;
    for (size_t j = 0; j < phrase.size(); ++j) {
        if (j > 0 && rng() % 4 == 0) {
            for (unsigned n = 1 + rng() % 3; n > 0; --n)
                out.push_back(passed[rng() % 3]);
        }
        char c = phrase[j];
        if (rng() % 3 == 0 && isalpha(static_cast<unsigned char>(c)))
            c = static_cast<char>(c ^ 0x20);
        out.push_back(c);
    }
    return out;
}

TEST(Matcher, EveryInstructionSetAgreesWithThePlainWalkOnPlantedPhrases) {
    // Phrases of up to twelve characters, rare and common ones, sometimes with
    // a passed-over character in them; texts of up to 1,500 bytes that hold
    // them, cut by passed-over characters and in changed case, and near
    // misses, at every offset against the vector blocks.
    const char alphabet[] = {'t', 'h', 'e', 'a', 'n', 'd', 'c', 'o',  'q',  'z',    ' ',   '.',
                             '1', 'T', 'H', 'E', 'Q', '-', '=', '\n', '\r', '\xe4', '\xc4'};
    MatcherLevels all;
    ASSERT_GE(all.levels.size(), 1u);
    for (int level : all.levels) {
        ASSERT_EQ(LimitMatcherLevel(level), level);
        std::mt19937 rng(4242 + level);
        long matches = 0, undecided = 0, straddled = 0;
        for (int round = 0; round < 25000; ++round) {
            size_t phraseLen = 1 + rng() % 12;
            std::string phrase;
            for (size_t i = 0; i < phraseLen; ++i)
                phrase.push_back(alphabet[rng() % (round % 9 == 0 ? 20 : 15)]);
            std::string text;
            size_t textLen = rng() % (round % 10 == 0 ? 1500 : 120);
            while (text.size() < textLen) {
                if (rng() % 8 == 0) {
                    std::string planted = Plant(phrase, rng);
                    straddled += planted.size() != phrase.size();
                    if (rng() % 4 == 0) // a near miss: one character changed
                        planted[rng() % planted.size()] = alphabet[rng() % 20];
                    text += planted;
                } else {
                    text.push_back(alphabet[rng() % 23]);
                }
            }
            for (int mode = 0; mode <= 1; ++mode) {
                long expected = RefFindPhrase(text.c_str(), phrase.c_str(), mode);
                ASSERT_EQ(Find(text.c_str(), phrase.c_str(), mode), expected)
                    << "level " << level << " mode " << mode << " phrase '" << phrase << "' text '"
                    << text << "'";
                matches += expected >= 0;
                // As a window, from its start or after a byte before it, with
                // its end open or closed.
                for (size_t from = 0; from <= 1 && from <= text.size(); ++from) {
                    for (int open = 0; open <= 1; ++open) {
                        size_t wantUndecided = 0, gotUndecided = 0;
                        long want = RefFindInWindow(text, from, phrase.c_str(), mode, open != 0,
                                                    &wantUndecided);
                        long got = FindInWindow(text, from, phrase.c_str(), mode, open != 0,
                                                &gotUndecided);
                        ASSERT_EQ(got, want)
                            << "level " << level << " window from " << from << " open " << open
                            << " phrase '" << phrase << "' text '" << text << "'";
                        ASSERT_EQ(gotUndecided, wantUndecided)
                            << "level " << level << " window from " << from << " open " << open
                            << " phrase '" << phrase << "' text '" << text << "'";
                        undecided += wantUndecided != static_cast<size_t>(-1);
                    }
                }
            }
        }
        EXPECT_GT(matches, 5000) << "level " << level;
        EXPECT_GT(undecided, 1000) << "level " << level;
        EXPECT_GT(straddled, 10000) << "level " << level;
    }
}

TEST(Matcher, AZeroByteEndsTheWindowAtEveryPlaceForEveryInstructionSet) {
    // A window whose content holds zero bytes: the text ends at the first,
    // wherever it falls (before the first place an anchor can be, in a vector
    // block, at a block's edge, in the scalar tail), the end is then closed,
    // and nothing after it is found, not even the phrase itself.
    const char* phrases[] = {"jazz bar", "the winner", "and", "q", "contraband"};
    MatcherLevels all;
    for (int level : all.levels) {
        ASSERT_EQ(LimitMatcherLevel(level), level);
        std::mt19937 rng(777 + level);
        for (int round = 0; round < 4000; ++round) {
            const char* phrase = phrases[round % 5];
            std::string text;
            size_t textLen = 1 + rng() % (round % 4 == 0 ? 1100 : 140);
            while (text.size() < textLen) {
                unsigned r = rng() % 10;
                if (r == 0)
                    text += Plant(phrase, rng);
                else if (r == 1)
                    text.push_back(' ');
                else
                    text.push_back("thezjab qrwinocd"[rng() % 16]);
            }
            // One or two zero bytes; the first sometimes among the first few.
            size_t zero = round % 3 == 0 ? rng() % 12 : rng() % text.size();
            if (zero < text.size())
                text[zero] = '\0';
            if (round % 2 == 0)
                text[rng() % text.size()] = '\0';
            for (int mode = 0; mode <= 1; ++mode) {
                for (size_t from = 0; from <= 1 && from <= text.size(); ++from) {
                    for (int open = 0; open <= 1; ++open) {
                        size_t wantUndecided = 0, gotUndecided = 0;
                        long want =
                            RefFindInWindow(text, from, phrase, mode, open != 0, &wantUndecided);
                        long got = FindInWindow(text, from, phrase, mode, open != 0, &gotUndecided);
                        ASSERT_EQ(got, want) << "level " << level << " from " << from << " open "
                                             << open << " phrase '" << phrase << "' round "
                                             << round;
                        ASSERT_EQ(gotUndecided, wantUndecided)
                            << "level " << level << " from " << from << " open " << open
                            << " phrase '" << phrase << "' round " << round;
                    }
                }
            }
        }
        // The phrase right after a zero byte, at every offset of a block.
        for (size_t pad = 0; pad < 70; ++pad) {
            std::string text = std::string(pad, '.') + std::string(1, '\0') + "jazz bar";
            size_t undecided = 0;
            EXPECT_EQ(FindInWindow(text, 0, "jazz bar", 0, false, &undecided), -1)
                << "level " << level << " pad " << pad;
            text[pad] = '.';
            EXPECT_EQ(FindInWindow(text, 0, "jazz bar", 0, false, &undecided),
                      static_cast<long>(pad + 1))
                << "level " << level << " pad " << pad;
        }
    }
}

TEST(Matcher, PhraseStraddlingAPassedOverCharacterAtTheAnchor) {
    // In "jazz bar" the rarest character is z (the first), so the search
    // keys on it: passed-over characters right before it, right after it and
    // around the characters next to it must not hide the phrase.
    struct Case {
        const char* text;
        long mode0;
        long mode1;
    };
    const Case cases[] = {
        {"the jazz bar", 4, 4},
        {"the ja=\r\nzz bar", 4, 4},    // just before the anchor
        {"the jaz=\r\nz bar", 4, 4},    // just after it
        {"the j\na\rz\n=z bar", 4, 4},  // around both its neighbours
        {"the jazz =\r\nbar.", 4, 4},   // further on
        {"the JA\nZZ BAR", 4, 4},       // and in the other case
        {"the jaz\r\nx bar", -1, -1},   // a near miss after the break
        {"the ja\r\nz bar", -1, -1},    // one z short
        {"thejaz=\r\nz bar", -1, 3},    // inside a word: mode 1 only
        {"the jaz=\r\nz barn", -1, -1}, // the end needs a boundary
        {"=\r\njazz bar", 3, 3},        // passed-over characters ahead
        {"jazz bar", 0, 0},
        {"jaz=\nz bar", 0, 0},
    };
    MatcherLevels all;
    for (int level : all.levels) {
        ASSERT_EQ(LimitMatcherLevel(level), level);
        for (const Case& c : cases) {
            // Also placed at every offset of a long text, so that the anchor
            // falls at each place of a vector block and in the scalar tail.
            for (size_t pad = 0; pad < 70; ++pad) {
                std::string text = std::string(pad, '.') + c.text;
                long shift = static_cast<long>(pad);
                EXPECT_EQ(Find(text.c_str(), "jazz bar", 0), c.mode0 < 0 ? -1 : c.mode0 + shift)
                    << "level " << level << " text '" << text << "'";
                EXPECT_EQ(Find(text.c_str(), "jazz bar", 1), c.mode1 < 0 ? -1 : c.mode1 + shift)
                    << "level " << level << " text '" << text << "'";
                EXPECT_EQ(Find((text + std::string(40, ' ')).c_str(), "jazz bar", 0),
                          c.mode0 < 0 ? -1 : c.mode0 + shift)
                    << "level " << level << " text '" << text << "'";
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Subject and the pair test.

TEST(CheckSubject, CaseInsensitiveWholeWords) {
    TestMessage m;
    m.Subject("Re: Invoice attached");
    CRule invoice = MakeRule("invoice", kSubject);
    EXPECT_EQ(Check(invoice, m), 1);
    CRule voice = MakeRule("voice", kSubject);
    EXPECT_EQ(Check(voice, m), 0);
    CRule off = MakeRule("invoice", 0);
    EXPECT_EQ(Check(off, m), 0);
    TestMessage noSubject;
    EXPECT_EQ(Check(invoice, noSubject), 0);
}

TEST(CheckSubject, AsteriskIsAnOrdinaryCharacterOutsideNames) {
    TestMessage plain;
    plain.Subject("virus.exe");
    CRule star = MakeRule("*exe", kSubject);
    EXPECT_EQ(Check(star, plain), 0);
    TestMessage withStar;
    withStar.Subject("run *exe now");
    EXPECT_EQ(Check(star, withStar), 1);
}

TEST(CheckSubject, EmptyPhrasesAndNoChecksNeverMatch) {
    TestMessage m;
    m.Subject("anything at all");
    m.Body("anything at all");
    m.AddPart("anything", 7, "anything at all");
    CRule empty = MakeRule("", kSubject | kBody | kAttach);
    EXPECT_EQ(Check(empty, m), 0);
    EXPECT_EQ(m.opens, 2); // content is still opened (and given back)
    CRule none = MakeRule("anything", 0);
    EXPECT_EQ(Check(none, m), 0);
    EXPECT_EQ(m.opens, 2); // but not without a check that reads it
}

TEST(CheckSubject, AndWithEmptySecondaryFailsSubjectAndBodyButNotNames) {
    TestMessage m;
    m.Subject("invoice");
    m.Body("invoice");
    CRule rule = MakeRule("invoice", kSubject | kBody | kAttach, "", 1, 0);
    EXPECT_EQ(Check(rule, m), 0);
    m.AddPart("invoice.pdf", 7);
    EXPECT_EQ(Check(rule, m), 1);
}

TEST(CheckProximity, DistanceBetweenFirstMatchesMustStayUnderProximity) {
    TestMessage nearby;
    nearby.Subject("alpha beta");
    TestMessage distant;
    distant.Subject("alpha ............ beta");
    TestMessage exactTen;
    exactTen.Subject("alpha ... beta"); // starts 10 apart
    TestMessage nine;
    nine.Subject("alpha .. beta"); // starts 9 apart

    CRule ten = MakeRule("alpha", kSubject, "beta", 1, 10);
    EXPECT_EQ(Check(ten, nearby), 1);
    EXPECT_EQ(Check(ten, distant), 0);
    EXPECT_EQ(Check(ten, exactTen), 0);
    EXPECT_EQ(Check(ten, nine), 1);

    CRule any = MakeRule("alpha", kSubject, "beta", 1, 0);
    EXPECT_EQ(Check(any, distant), 1);

    CRule negative = MakeRule("alpha", kSubject, "beta", 1, -10);
    EXPECT_EQ(Check(negative, nearby), 0);
    EXPECT_EQ(Check(negative, distant), 0);

    // Order does not matter: the distance is absolute.
    TestMessage reversed;
    reversed.Subject("beta alpha");
    EXPECT_EQ(Check(ten, reversed), 1);

    // Without And the secondary phrase and Proximity play no part.
    CRule single = MakeRule("alpha", kSubject, "absent", 0, -10);
    EXPECT_EQ(Check(single, distant), 1);
}

TEST(CheckProximity, OnlyTheFirstMatchOfEachPhraseCounts) {
    TestMessage m;
    m.Subject("alpha .................... beta ......................alpha beta");
    CRule ten = MakeRule("alpha", kSubject, "beta", 1, 10);
    EXPECT_EQ(Check(ten, m), 0);
}

TEST(CheckProximity, BodyPartsUseStreamOffsetsInOnePart) {
    std::string gap(3000, '.');
    TestMessage m;
    m.AddPart("a.txt", 104, "alpha " + gap + " beta");
    CRule ten = MakeRule("alpha", kBody, "beta", 1, 10);
    EXPECT_EQ(Check(ten, m), 0);
    CRule wide = MakeRule("alpha", kBody, "beta", 1, 3008);
    EXPECT_EQ(Check(wide, m), 1); // starts 3007 apart
    CRule justShort = MakeRule("alpha", kBody, "beta", 1, 3007);
    EXPECT_EQ(Check(justShort, m), 0);
    CRule negative = MakeRule("alpha", kBody, "beta", 1, -1);
    EXPECT_EQ(Check(negative, m), 0);

    // Both phrases must lie in the same part.
    TestMessage split;
    split.AddPart("a.txt", 104, "alpha");
    split.AddPart("b.txt", 104, "beta");
    CRule any = MakeRule("alpha", kBody, "beta", 1, 0);
    EXPECT_EQ(Check(any, split), 0);
}

// ---------------------------------------------------------------------------
// Attachment names and their asterisk marks.

TEST(CheckAttachNames, AsteriskMarksPlaceTheMatchInTheName) {
    struct Case {
        const char* name;
        const char* phrase;
        int expected;
    } cases[] = {
        {"virus.exe", "*exe", 1},    {"virus.exe", "*vir", 0},
        {"virus.exe", "virus*", 1},  {"virus.exe", "*virus", 0},
        {"virus.exe", "*virus*", 1}, {"exe.exe", "*exe", 0},
        {"virus.exe", "exe", 1},     {"virus.exe", "vir", 0},
        {"myvoice.txt", "voice", 1}, {"virus.exe", "*", 0},
        {"virus.exe", "**", 0},      {"a.exe", "*a.exe*", 1},
        {"VIRUS.EXE", "*exe", 1},    {"", "*exe", 0},
    };
    for (const Case& c : cases) {
        TestMessage m;
        m.AddPart(c.name, 7).noStream = true;
        CRule rule = MakeRule(c.phrase, kAttach);
        EXPECT_EQ(Check(rule, m), c.expected) << c.name << " / " << c.phrase;
    }
}

TEST(CheckAttachNames, SecondaryAndProximityPlayNoPart) {
    TestMessage m;
    m.AddPart("invoice.pdf", 7).noStream = true;
    CRule rule = MakeRule("invoice", kAttach, "absent", 1, -5);
    EXPECT_EQ(Check(rule, m), 1);
}

TEST(CheckAttachNames, PassedOverPartsAreNeitherNamedNorRead) {
    TestMessage m;
    vtest::TestPart& p = m.AddPart("virus.exe", 7, "virus inside");
    p.state = 9;
    CRule names = MakeRule("virus", kAttach | kBody);
    EXPECT_EQ(Check(names, m), 0);
    EXPECT_EQ(m.opens, 0);
    p.state = 8;
    EXPECT_EQ(Check(names, m), 1);
}

TEST(CheckAttachNames, UnopenableTnefPartIsSkippedWithoutNameTest) {
    TestMessage m;
    m.AddPart("/nonexistent-folder/virus.exe", 7).tnef = 1;
    m.Part(0).noStream = true;
    CRule rule = MakeRule("virus", kAttach);
    EXPECT_EQ(Check(rule, m), 0);
    m.Part(0).tnef = 0;
    EXPECT_EQ(Check(rule, m), 1);
}

// ---------------------------------------------------------------------------
// Part contents and the textPartsOnly split.

TEST(CheckContents, TextPartsOnlySplitsTheTwoChecks) {
    // Type 104: a text part. Type 7: any other.
    TestMessage text;
    text.AddPart("a.txt", 104, "pay the invoice today");
    TestMessage other;
    other.AddPart("a.bin", 7, "pay the invoice today");

    CRule attach = MakeRule("invoice", kAttach);
    CRule body = MakeRule("invoice", kBody);

    EXPECT_EQ(Check(attach, text, true), 0);
    EXPECT_EQ(Check(body, text, true), 1);
    EXPECT_EQ(Check(attach, text, false), 0); // text types are the body check's
    EXPECT_EQ(Check(body, text, false), 1);

    EXPECT_EQ(Check(attach, other, true), 0);
    EXPECT_EQ(Check(body, other, true), 0);
    EXPECT_EQ(other.opens, 0);
    EXPECT_EQ(Check(attach, other, false), 1);
    EXPECT_EQ(Check(body, other, false), 1);

    // The name of a part of type 7 is still tested with textPartsOnly.
    TestMessage named;
    named.AddPart("invoice.bin", 7, "nothing here");
    EXPECT_EQ(Check(attach, named, true), 1);
}

TEST(CheckContents, AttachmentContentUsesTheWorkingPhraseInMode1) {
    TestMessage m;
    m.AddPart("a.bin", 7, "header myvoice trailer");
    // Mode 1: a match may begin inside a word; the leading asterisk is
    // removed from the working phrase.
    CRule attach = MakeRule("*voice", kAttach);
    EXPECT_EQ(Check(attach, m, false), 1);
    // The body check takes the stored phrase in mode 0: no whole word.
    CRule body = MakeRule("voice", kBody);
    EXPECT_EQ(Check(body, m, false), 0);
    CRule bodyStar = MakeRule("*voice", kBody);
    EXPECT_EQ(Check(bodyStar, m, false), 0);
}

TEST(CheckContents, QuotedPrintableSoftBreakIsPassedOver) {
    TestMessage texts;
    texts.Body("Please pay the inv=\r\noice by Friday");
    CRule rule = MakeRule("invoice", kBody);
    EXPECT_EQ(Check(rule, texts), 1);

    TestMessage parts;
    parts.AddPart("body.txt", 104, "Please pay the inv=\r\noice by Friday");
    EXPECT_EQ(Check(rule, parts), 1);

    TestMessage equals;
    equals.Body("a=b and a=b");
    CRule withEquals = MakeRule("a=b", kBody | kSubject);
    equals.Subject("a=b");
    EXPECT_EQ(Check(withEquals, equals), 0);
}

TEST(CheckContents, NullBodyTextsAndMissingStreamsArePassedOver) {
    TestMessage m;
    m.NullBody();
    m.Body("the invoice");
    m.AddPart("x.txt", 104, "invoice").noStream = true;
    CRule rule = MakeRule("invoice", kBody);
    EXPECT_EQ(Check(rule, m), 1);

    TestMessage onlyMissing;
    onlyMissing.NullBody();
    onlyMissing.AddPart("x.txt", 104, "invoice").noStream = true;
    EXPECT_EQ(Check(rule, onlyMissing), 0);
}

TEST(CheckOrder, SubjectThenNamesThenBodyTextsThenBodyParts) {
    CRule all = MakeRule("invoice", kSubject | kBody | kAttach);

    TestMessage subject;
    subject.Subject("invoice");
    subject.AddPart("invoice.bin", 7, "invoice");
    EXPECT_EQ(Check(all, subject), 1);
    EXPECT_EQ(subject.opens, 0);

    TestMessage name;
    name.AddPart("invoice.bin", 7, "invoice");
    EXPECT_EQ(Check(all, name), 1);
    EXPECT_EQ(name.opens, 0);

    TestMessage bodyText;
    bodyText.Body("invoice");
    bodyText.AddPart("a.txt", 104, "invoice");
    EXPECT_EQ(Check(all, bodyText), 1);
    EXPECT_EQ(bodyText.opens, 0);

    // The attachment check reads part 0's content before the body check.
    TestMessage content;
    content.AddPart("a.txt", 104, "invoice");
    content.AddPart("b.bin", 7, "invoice");
    EXPECT_EQ(Check(all, content), 1);
    ASSERT_EQ(content.openedParts.size(), 1u);
    EXPECT_EQ(content.openedParts[0], 1);
}

TEST(CheckStreams, EveryStreamIsGivenBackOnEveryPath) {
    CRule attachHit = MakeRule("target", kAttach | kBody);
    CRule bodyHit = MakeRule("target", kBody, "second", 1, 0);
    CRule miss = MakeRule("absent", kAttach | kBody, "second", 1, 0);
    for (int variant = 0; variant < 3; ++variant) {
        TestMessage m;
        m.AddPart("a.bin", 7, "nothing");
        m.AddPart("b.bin", 7, "the target and the second");
        m.AddPart("c.txt", 104, "target only");
        m.AddPart("d.txt", 104, "second target").noStream = true;
        CRule& rule = variant == 0 ? attachHit : variant == 1 ? bodyHit : miss;
        int expected = variant == 2 ? 0 : 1;
        EXPECT_EQ(Check(rule, m), expected) << variant;
        EXPECT_GT(m.opens, 0);
    }
}

// ---------------------------------------------------------------------------
// The windowed content search.

std::string Filler(size_t n) {
    static const char words[] = "lorem ipsum dolor sit amet consectetur adipiscing elit ";
    std::string s;
    while (s.size() < n)
        s += words;
    s.resize(n);
    return s;
}

unsigned long FindIn(const std::string& content, const char* phrase, int mode,
                     StreamBehaviour behaviour = StreamBehaviour()) {
    std::vector<char> bytes(content.begin(), content.end());
    TestStream stream(bytes, behaviour);
    CRule rule;
    unsigned long at = CRuleTestAccess::FindStringInFile(rule, phrase, &stream, mode);
    EXPECT_FALSE(stream.overrun) << "the search did not stop";
    return at;
}

TEST(CheckWindows, StraddlingPhrasesReportTheirTrueOffset) {
    const char* phrase = "invoice";
    for (size_t at : {0ul, 500ul, 1000ul, 1010ul, 1016ul, 1017ul, 1018ul, 1020ul, 1023ul, 1024ul,
                      1025ul, 1030ul, 2000ul, 2030ul, 2034ul, 2040ul, 2050ul, 5000ul}) {
        std::string content = Filler(6000);
        content.replace(at, 9, std::string(at == 0 ? "" : " ") + "invoice ");
        size_t start = at == 0 ? 0 : at + 1;
        EXPECT_EQ(FindIn(content, phrase, 0), start + 1) << at;
        EXPECT_EQ(FindIn(content, phrase, 1), start + 1) << at;
    }
    EXPECT_EQ(FindIn(Filler(6000), "invoice", 0), 0ul);
    EXPECT_EQ(FindIn("", "invoice", 0), 0ul);
}

TEST(CheckWindows, AnEarlyZeroByteHidesTheRestOfItsWindow) {
    std::string content = "start";
    content.push_back('\0');
    content += " invoice ";
    TestMessage m;
    m.AddPart("body.txt", 104, content + Filler(300));
    CRule rule = MakeRule("invoice", kBody);
    EXPECT_EQ(Check(rule, m), 0);

    // Beyond the first window the text is searched again.
    std::string longer = content + Filler(1500) + " invoice " + Filler(10);
    std::vector<char> bytes(longer.begin(), longer.end());
    TestStream stream(bytes, StreamBehaviour());
    EXPECT_EQ(CRuleTestAccess::FindStringInFile(rule, "invoice", &stream, 0),
              content.size() + 1500 + 2);
}

TEST(CheckWindows, ShortReadsWithoutEndStillAdvanceAndFind) {
    // A stream that gives a few bytes per read and never says it has ended
    // must neither loop forever nor miss a phrase longer than one read.
    std::string content = Filler(5000);
    content.replace(3000, 9, " invoice ");
    for (int chunk : {1, 3, 7, 100, 1023}) {
        StreamBehaviour lying;
        lying.maxChunk = chunk;
        lying.atEndAfterShortRead = false;
        EXPECT_EQ(FindIn(content, "invoice", 0, lying), 3002ul) << chunk;
        lying.neverAtEnd = true;
        EXPECT_EQ(FindIn(content, "invoice", 0, lying), 3002ul) << chunk;
        EXPECT_EQ(FindIn(Filler(5000), "invoice", 0, lying), 0ul) << chunk;
    }
}

TEST(CheckWindows, LongPhrasesEndTheSearch) {
    std::string content = Filler(3000);
    std::string huge(1500, 'a');
    EXPECT_EQ(FindIn(content, huge.c_str(), 1), 0ul);
    std::string window(1024, 'a');
    EXPECT_EQ(FindIn(window + " " + Filler(3000), window.c_str(), 0), 0ul);
    std::string longest(1023, 'a');
    EXPECT_EQ(FindIn(longest + " " + Filler(3000), longest.c_str(), 0), 1ul);
    EXPECT_EQ(FindIn(Filler(3000) + " " + longest + " " + Filler(3000), longest.c_str(), 0),
              3002ul);
    EXPECT_EQ(FindIn(content, "", 1), 0ul);
}

TEST(CheckWindows, WindowEdgesDoNotMakeWholeWords) {
    // "invoices" cut after "invoice" by the end of the first window.
    std::string cut = Filler(3000);
    cut.replace(1016, 10, " invoices ");
    EXPECT_EQ(FindIn(cut, "invoice", 0), 0ul);
    EXPECT_EQ(FindIn(cut, "invoice", 1), 0ul);
    EXPECT_EQ(FindIn(cut, "invoices", 0), 1018ul);

    // "xinvoice" where the next window starts at the "i": the byte before the
    // window still counts.
    std::string start = Filler(3000);
    start.replace(1015, 10, " xinvoice ");
    EXPECT_EQ(FindIn(start, "invoice", 0), 0ul);
    EXPECT_EQ(FindIn(start, "invoice", 1), 1018ul);

    // A phrase cut by a soft line break right across the window's end.
    std::string soft = Filler(3000);
    soft.replace(1015, 12, " inv=\r\noice ");
    EXPECT_EQ(FindIn(soft, "invoice", 0), 1017ul);
}

TEST(CheckWindows, AgreesWithOneSearchOverTheWholeContent) {
    // Without zero bytes in the content, the windowed search reports what one
    // search over the whole content reports, wherever the windows fall.
    std::mt19937 rng(7);
    const char alphabet[] = {'a', 'A', 'b', ' ', '.', '=', '\r', '\n', 'c'};
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 1);
    long found = 0;
    for (int round = 0; round < 1500; ++round) {
        size_t size = std::uniform_int_distribution<size_t>(0, 4200)(rng);
        std::string content;
        for (size_t i = 0; i < size; ++i)
            content.push_back(alphabet[pick(rng)]);
        std::string phrase;
        size_t len = std::uniform_int_distribution<size_t>(1, 6)(rng);
        for (size_t i = 0; i < len; ++i)
            phrase.push_back("aAbc"[rng() % 4]);
        int mode = static_cast<int>(rng() % 2);
        long expected = RefFindPhrase(content.c_str(), phrase.c_str(), mode);
        StreamBehaviour behaviour;
        // Streams that give short reads without having ended (and so do not
        // report the end after them).
        if (round % 3 == 1) {
            behaviour.maxChunk = 1 + static_cast<int>(rng() % 700);
            behaviour.atEndAfterShortRead = false;
        }
        unsigned long got = FindIn(content, phrase.c_str(), mode, behaviour);
        ASSERT_EQ(got, static_cast<unsigned long>(expected + 1))
            << "round " << round << " phrase '" << phrase << "' size " << size;
        found += expected >= 0;
    }
    EXPECT_GT(found, 300);
}

} // namespace
