// The rule object: defaults, the flags word, the accessors, copying, the
// bounded texts and the binary layout the scanner is compiled against.
#include "filter/Kessla.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

bool FieldIsZeroFrom(const char (&field)[64], size_t from) {
    for (size_t i = from; i < sizeof(field); ++i)
        if (field[i] != '\0')
            return false;
    return true;
}

void ExpectDefaults(CRule& rule) {
    EXPECT_EQ(rule.Active, 1);
    EXPECT_EQ(rule.Proximity, 0);
    EXPECT_EQ(rule.And, 0);
    EXPECT_EQ(rule.CheckSubject, 1);
    EXPECT_EQ(rule.CheckBody, 0);
    EXPECT_EQ(rule.CheckAttach, 0);
    EXPECT_EQ(rule.Block, 1);
    EXPECT_EQ(rule.NotifySenderFlag, 1);
    EXPECT_TRUE(FieldIsZeroFrom(rule.Description, 0));
    EXPECT_TRUE(FieldIsZeroFrom(rule.PrimaryPhrase, 0));
    EXPECT_TRUE(FieldIsZeroFrom(rule.SecondaryPhrase, 0));

    char primary[64];
    char secondary[64];
    memset(primary, 'x', sizeof(primary));
    memset(secondary, 'x', sizeof(secondary));
    int proximity = -5, andFlag = -5, block = -5, notify = -5;
    unsigned short flags = 0xffff;
    rule.GetRule(primary, secondary, proximity, andFlag, flags, block, notify);
    EXPECT_STREQ(primary, "");
    EXPECT_STREQ(secondary, "");
    EXPECT_EQ(flags, 1);
    EXPECT_EQ(proximity, 0);
    EXPECT_EQ(andFlag, 0);
    EXPECT_EQ(block, 1);
    EXPECT_EQ(notify, 1);
    EXPECT_EQ(rule.BlockMessage(), 1);
    EXPECT_EQ(rule.NotifySender(), 1);
    EXPECT_EQ(rule.IsActive(), 1);
}

// Sets every field to a value other than its default.
void FillRule(CRule& rule) {
    char primary[] = "alpha";
    char secondary[] = "beta";
    rule.SetRule(primary, secondary, -17, 3, 6, 0, 0);
    char description[] = "no more invoices";
    rule.SetDescription(description);
    rule.SetActive(42);
}

void ExpectSameFields(const CRule& a, const CRule& b) {
    EXPECT_EQ(a.Active, b.Active);
    EXPECT_EQ(0, memcmp(a.Description, b.Description, 64));
    EXPECT_EQ(0, memcmp(a.PrimaryPhrase, b.PrimaryPhrase, 64));
    EXPECT_EQ(0, memcmp(a.SecondaryPhrase, b.SecondaryPhrase, 64));
    EXPECT_EQ(a.Proximity, b.Proximity);
    EXPECT_EQ(a.And, b.And);
    EXPECT_EQ(a.CheckSubject, b.CheckSubject);
    EXPECT_EQ(a.CheckBody, b.CheckBody);
    EXPECT_EQ(a.CheckAttach, b.CheckAttach);
    EXPECT_EQ(a.Block, b.Block);
    EXPECT_EQ(a.NotifySenderFlag, b.NotifySenderFlag);
}

TEST(RuleDefaults, NewRuleAndStackRuleHoldTheDefaults) {
    CRule onStack;
    ExpectDefaults(onStack);
    CRule* made = CRule::NewRule();
    ASSERT_NE(made, nullptr);
    ExpectDefaults(*made);
    CRule::DeleteRule(made);
    CRule::DeleteRule(nullptr);
}

TEST(RuleDefaults, HooksDoNothingAndReturnZero) {
    std::unique_ptr<CRule> rule(new CRule());
    FillRule(*rule);
    CRule before(*rule);
    CRule* base = rule.get();
    EXPECT_EQ(base->LoadRule(), 0);
    EXPECT_EQ(base->SaveRule(), 0);
    ExpectSameFields(*rule, before);
}

TEST(RuleFlags, WordSevenGivesFieldsOneTwoFourAndSevenBack) {
    CRule rule;
    char p[] = "x";
    char s[] = "y";
    rule.SetRule(p, s, 0, 0, 7, 1, 1);
    EXPECT_EQ(rule.CheckSubject, 1);
    EXPECT_EQ(rule.CheckBody, 2);
    EXPECT_EQ(rule.CheckAttach, 4);
    char po[64], so[64];
    int prox, andFlag, block, notify;
    unsigned short flags = 0;
    rule.GetRule(po, so, prox, andFlag, flags, block, notify);
    EXPECT_EQ(flags, 7);
}

TEST(RuleFlags, EachBitAloneAndHighBitsIgnored) {
    struct Case {
        unsigned short in;
        int subject, body, attach;
        unsigned short out;
    } cases[] = {
        {8, 0, 0, 0, 0}, {0xfff8, 0, 0, 0, 0}, {1, 1, 0, 0, 1},      {2, 0, 2, 0, 2},
        {4, 0, 0, 4, 4}, {5, 1, 0, 4, 5},      {0xffff, 1, 2, 4, 7}, {0x0106, 0, 2, 4, 6},
    };
    for (const Case& c : cases) {
        CRule rule;
        char p[] = "x";
        rule.SetRule(p, p, 0, 0, c.in, 1, 1);
        EXPECT_EQ(rule.CheckSubject, c.subject) << c.in;
        EXPECT_EQ(rule.CheckBody, c.body) << c.in;
        EXPECT_EQ(rule.CheckAttach, c.attach) << c.in;
        char po[64], so[64];
        int prox, andFlag, block, notify;
        unsigned short flags = 0xabcd;
        rule.GetRule(po, so, prox, andFlag, flags, block, notify);
        EXPECT_EQ(flags, c.out) << c.in;
    }
}

TEST(RuleFlags, AnyNonzeroFieldReadsAsSet) {
    // Pellion's registry rule may hold 1 in every flag field.
    CRule rule;
    rule.CheckSubject = 0;
    rule.CheckBody = 1;
    rule.CheckAttach = -3;
    char po[64], so[64];
    int prox, andFlag, block, notify;
    unsigned short flags = 0;
    rule.GetRule(po, so, prox, andFlag, flags, block, notify);
    EXPECT_EQ(flags, 6);
}

TEST(RuleAccessors, SetRuleStoresItsArgumentsAndLeavesDescriptionAndActive) {
    CRule rule;
    char description[] = "kept";
    rule.SetDescription(description);
    rule.SetActive(0);
    char p[] = "Primary";
    char s[] = "Secondary";
    rule.SetRule(p, s, -12, 9, 3, 77, 88);
    EXPECT_STREQ(rule.Description, "kept");
    EXPECT_EQ(rule.Active, 0);
    EXPECT_STREQ(rule.PrimaryPhrase, "Primary");
    EXPECT_STREQ(rule.SecondaryPhrase, "Secondary");
    EXPECT_EQ(rule.Proximity, -12);
    EXPECT_EQ(rule.And, 9);
    EXPECT_EQ(rule.BlockMessage(), 77);
    EXPECT_EQ(rule.NotifySender(), 88);

    char po[64], so[64];
    int prox = 0, andFlag = 0, block = 0, notify = 0;
    unsigned short flags = 0;
    rule.GetRule(po, so, prox, andFlag, flags, block, notify);
    EXPECT_STREQ(po, "Primary");
    EXPECT_STREQ(so, "Secondary");
    EXPECT_EQ(prox, -12);
    EXPECT_EQ(andFlag, 9);
    EXPECT_EQ(flags, 3);
    EXPECT_EQ(block, 77);
    EXPECT_EQ(notify, 88);
}

TEST(RuleAccessors, SetDescriptionAndSetActiveChangeNothingElse) {
    CRule rule;
    FillRule(rule);
    CRule before(rule);
    char text[] = "another";
    rule.SetDescription(text);
    EXPECT_STREQ(rule.GetDescription(), "another");
    rule.SetActive(-9);
    EXPECT_EQ(rule.IsActive(), -9);
    rule.SetDescription(before.Description);
    rule.SetActive(before.Active);
    ExpectSameFields(rule, before);
}

TEST(RuleAccessors, DescriptionAddressIsTheFieldAndFollowsLaterText) {
    CRule rule;
    char* address = rule.GetDescription();
    EXPECT_EQ(address, rule.Description);
    char first[] = "a fairly long first description";
    rule.SetDescription(first);
    char second[] = "short";
    rule.SetDescription(second);
    EXPECT_EQ(rule.GetDescription(), address);
    EXPECT_STREQ(address, "short");
    // The rest of the field is zero-filled, not left with the old text.
    EXPECT_TRUE(FieldIsZeroFrom(rule.Description, strlen("short")));
}

TEST(RuleCopy, CopyConstructorAndAssignmentCopyEveryField) {
    CRule source;
    FillRule(source);
    CRule copied(source);
    ExpectSameFields(copied, source);

    CRule assigned;
    assigned = source;
    ExpectSameFields(assigned, source);
    EXPECT_EQ(assigned.Active, 42);

    CRule& self = assigned;
    assigned = self;
    ExpectSameFields(assigned, source);
}

TEST(RuleCopy, CopiesOfDerivedRulesKeepTheirOwnHooks) {
    struct Counting : CRule {
        int loads = 0;
        int LoadRule() override { return ++loads; }
    };
    Counting derived;
    FillRule(derived);
    CRule plain(derived);
    ExpectSameFields(plain, derived);
    CRule* asBase = &plain;
    EXPECT_EQ(asBase->LoadRule(), 0);
    CRule* derivedBase = &derived;
    EXPECT_EQ(derivedBase->LoadRule(), 1);
}

TEST(RuleTexts, LongTextsAreCutAt63AndStayTerminated) {
    const std::vector<size_t> lengths = {62, 63, 64, 65, 100, 1000};
    for (size_t len : lengths) {
        std::string text(len, 'q');
        std::vector<char> p(text.begin(), text.end());
        p.push_back('\0');
        std::vector<char> s = p;
        std::vector<char> d = p;
        CRule rule;
        rule.SetRule(p.data(), s.data(), 0, 0, 1, 1, 1);
        rule.SetDescription(d.data());
        size_t kept = len < 63 ? len : 63;
        EXPECT_EQ(strnlen(rule.PrimaryPhrase, 64), kept) << len;
        EXPECT_EQ(strnlen(rule.SecondaryPhrase, 64), kept) << len;
        EXPECT_EQ(strnlen(rule.Description, 64), kept) << len;
        EXPECT_EQ(rule.Description[63], '\0');

        // GetRule writes 64 bytes at most into each buffer.
        char guarded[64 + 16];
        memset(guarded, 0x5a, sizeof(guarded));
        char other[64];
        int prox, andFlag, block, notify;
        unsigned short flags;
        rule.GetRule(guarded, other, prox, andFlag, flags, block, notify);
        EXPECT_EQ(strnlen(guarded, 64), kept);
        for (size_t i = 64; i < sizeof(guarded); ++i)
            EXPECT_EQ(guarded[i], 0x5a) << "byte " << i << " written past the buffer";
    }
}

TEST(RuleTexts, UnterminatedSourcesAreReadOnlyWithinTheirField) {
    // 64 bytes on the heap without a terminator: reading past them is caught
    // by the address sanitizer.
    std::unique_ptr<char[]> raw(new char[64]);
    memset(raw.get(), 'z', 64);
    CRule rule;
    rule.SetDescription(raw.get());
    rule.SetRule(raw.get(), raw.get(), 0, 0, 0, 0, 0);
    EXPECT_EQ(strnlen(rule.Description, 64), 63u);
    EXPECT_EQ(strnlen(rule.PrimaryPhrase, 64), 63u);

    // A derived rule may fill a field directly and leave it unterminated; a
    // copy of that rule is terminated all the same.
    CRule filled;
    memset(filled.PrimaryPhrase, 'w', 64);
    CRule copy(filled);
    EXPECT_EQ(strnlen(copy.PrimaryPhrase, 64), 63u);
}

TEST(RuleTexts, NullTextsLeaveEmptyFields) {
    CRule rule;
    FillRule(rule);
    rule.SetRule(nullptr, nullptr, 0, 0, 1, 1, 1);
    rule.SetDescription(nullptr);
    EXPECT_TRUE(FieldIsZeroFrom(rule.PrimaryPhrase, 0));
    EXPECT_TRUE(FieldIsZeroFrom(rule.SecondaryPhrase, 0));
    EXPECT_TRUE(FieldIsZeroFrom(rule.Description, 0));
}

TEST(RuleLayout, FieldsLieInTheirOrderAsThirtyTwoBitIntegers) {
    static_assert(sizeof(int) == 4, "every integer of the rule is 32 bits wide");
    CRule r;
    auto at = [&r](const void* field) {
        return static_cast<size_t>(static_cast<const char*>(field) -
                                   reinterpret_cast<const char*>(&r));
    };
    EXPECT_EQ(at(&r.Active), sizeof(void*)); // right after the table pointer
    EXPECT_LT(at(&r.Active), at(&r.Description));
    EXPECT_EQ(at(&r.PrimaryPhrase), at(&r.Description) + 64);
    EXPECT_EQ(at(&r.SecondaryPhrase), at(&r.PrimaryPhrase) + 64);
    EXPECT_EQ(at(&r.Proximity), at(&r.SecondaryPhrase) + 64);
    EXPECT_EQ(at(&r.And), at(&r.Proximity) + 4);
    EXPECT_EQ(at(&r.CheckSubject), at(&r.And) + 4);
    EXPECT_EQ(at(&r.CheckBody), at(&r.CheckSubject) + 4);
    EXPECT_EQ(at(&r.CheckAttach), at(&r.CheckBody) + 4);
    EXPECT_EQ(at(&r.Block), at(&r.CheckAttach) + 4);
    EXPECT_EQ(at(&r.NotifySenderFlag), at(&r.Block) + 4);
}

#if defined(__GNUC__) && !defined(_MSC_VER)
// Under the Itanium C++ ABI a pointer to a virtual member function holds
// 1 + the byte offset of its slot in the virtual table.
template <typename F> long SlotOf(F member) {
    struct Raw {
        ptrdiff_t ptr;
        ptrdiff_t adj;
    } raw;
    static_assert(sizeof(member) == sizeof(raw), "Itanium member pointer");
    memcpy(&raw, &member, sizeof(raw));
    if ((raw.ptr & 1) == 0)
        return -1; // not virtual
    return static_cast<long>((raw.ptr - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

TEST(RuleLayout, VirtualSlotsKeepTheirBindingOrder) {
    EXPECT_EQ(SlotOf(&CRule::LoadRule), 0);
    EXPECT_EQ(SlotOf(&CRule::SaveRule), 1);

    EXPECT_EQ(SlotOf(&CMessage::OpenPartStream), 0);
    EXPECT_EQ(SlotOf(&CMessage::ClosePartStream), 1);
    EXPECT_EQ(SlotOf(&CMessage::GetHeaderText), 2);
    EXPECT_EQ(SlotOf(&CMessage::GetHeader), 3);
    EXPECT_EQ(SlotOf(&CMessage::DecodeName), 4);
    EXPECT_EQ(SlotOf(&CMessage::GetBodyTextCount), 5);
    EXPECT_EQ(SlotOf(&CMessage::GetBodyText), 6);
    EXPECT_EQ(SlotOf(&CMessage::GetPartCount), 7);
    EXPECT_EQ(SlotOf(&CMessage::GetPartName), 8);
    EXPECT_EQ(SlotOf(&CMessage::GetPartType), 9);
    EXPECT_EQ(SlotOf(&CMessage::IsPartTNEF), 10);
    EXPECT_EQ(SlotOf(&CMessage::HasNestedMime), 11);
    EXPECT_EQ(SlotOf(&CMessage::GetPartState), 12);
    EXPECT_EQ(SlotOf(&CMessage::GetPartSize), 13);
    EXPECT_EQ(SlotOf(&CMessage::ReportError), 14);

    EXPECT_EQ(SlotOf(&CMessageStream::Tell), 0);
    EXPECT_EQ(SlotOf(&CMessageStream::Read), 1);
    EXPECT_EQ(SlotOf(&CMessageStream::Seek), 2);
    EXPECT_EQ(SlotOf(&CMessageStream::AtEnd), 3);
    EXPECT_EQ(SlotOf(&CMessageStream::GetLength), 4);
}

TEST(RuleLayout, InterfacesHoldOnlyTheirTableAndTheirData) {
    // CMessage: the table pointer and one 32-bit value; CMessageStream: the
    // table pointer alone.
    EXPECT_EQ(sizeof(CMessageStream), sizeof(void*));
    EXPECT_LE(sizeof(CMessage), 2 * sizeof(void*));
    EXPECT_GT(sizeof(CMessage), sizeof(void*));
}
#endif

} // namespace
