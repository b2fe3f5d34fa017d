// Text conversion between UTF-16 and the ANSI, OEM and UTF-8 code pages, as
// Windows does it with WC_NO_BEST_FIT_CHARS.
#include "platform/win32.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string ToPage(UINT page, const std::u16string& text, BOOL* usedDefault = nullptr,
                   const char* defaultChar = nullptr) {
    char out[64] = {};
    std::basic_string<WCHAR> wide(text.begin(), text.end());
    int n = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, out, sizeof(out),
                                defaultChar, usedDefault);
    return n > 0 ? std::string(out, static_cast<size_t>(n - 1)) : std::string("<failed>");
}

} // namespace

TEST(CodePage, AsciiIsUnchangedInEveryPage) {
    for (UINT page : {437u, 1252u}) {
        BOOL used = TRUE;
        EXPECT_EQ(ToPage(page, u"*.exe *.scr", &used), "*.exe *.scr") << page;
        EXPECT_FALSE(used) << page;
    }
}

TEST(CodePage, OemPage437HasItsOwnLettersAndLines) {
    BOOL used = TRUE;
    // e acute, u umlaut, a box-drawing line.
    EXPECT_EQ(ToPage(437, u"\u00e9\u00fc\u2500", &used), "\x82\x81\xc4");
    EXPECT_FALSE(used);
    EXPECT_EQ(ToPage(1252, u"\u00e9\u00fc", &used), "\xe9\xfc");
    EXPECT_FALSE(used);
}

TEST(CodePage, MissingCharacterBecomesTheDefaultAndIsReported) {
    BOOL used = FALSE;
    EXPECT_EQ(ToPage(437, u"a\u0416b", &used), "a?b"); // Cyrillic Zhe is not in 437
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToPage(437, u"a\u0416b", &used, "#"), "a#b");
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToPage(1252, u"\u2500", &used), "?"); // a box line is not in 1252
    EXPECT_TRUE(used);
    // No look-alike: a with macron is not turned into a.
    used = FALSE;
    EXPECT_EQ(ToPage(437, u"\u0101", &used), "?");
    EXPECT_TRUE(used);
}

TEST(CodePage, SurrogatePairIsOneCharacter) {
    BOOL used = FALSE;
    if (!vtest::UnderWine()) { // Wine puts a default character for each half of the pair
        EXPECT_EQ(ToPage(437, u"x\U0001F600y", &used), "x?y");
        EXPECT_TRUE(used);
    }
    WCHAR wide[] = {'x', 0xD83D, 0xDE00, 0};
    char out[16] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, sizeof(out), nullptr, nullptr), 6);
    EXPECT_STREQ(out, "x\xf0\x9f\x98\x80");
}

TEST(CodePage, EveryByteOf437ComesBackAsItself) {
    for (int b = 1; b < 256; ++b) {
        char in[2] = {static_cast<char>(b), 0};
        WCHAR wide[4] = {};
        ASSERT_EQ(MultiByteToWideChar(437, 0, in, -1, wide, 4), 2) << b;
        char back[4] = {};
        BOOL used = TRUE;
        ASSERT_EQ(WideCharToMultiByte(437, WC_NO_BEST_FIT_CHARS, wide, -1, back, sizeof(back),
                                      nullptr, &used),
                  2)
            << b;
        EXPECT_EQ(static_cast<unsigned char>(back[0]), b);
        EXPECT_FALSE(used) << b;
    }
}

TEST(CodePage, SizeQueryAndBufferBoundary) {
    const WCHAR text[] = {'a', 'b', 'c', 0};
    EXPECT_EQ(WideCharToMultiByte(437, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(437, 0, text, 3, nullptr, 0, nullptr, nullptr), 3);
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(WideCharToMultiByte(437, 0, text, -1, out, 4, nullptr, nullptr), 4);
    EXPECT_STREQ(out, "abc");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(437, 0, text, -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePage, BadArgumentsAreRefused) {
    const WCHAR text[] = {'a', 0};
    char out[8];
    BOOL used;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(437, 0, text, 0, out, sizeof(out), nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Wine converts UTF-8 whatever the default-character pointer and the
    // flags say; Windows refuses both.
    if (vtest::UnderWine())
        return;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof(out), nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, text, -1, out, sizeof(out),
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(CodePage, Utf8ToWide) {
    WCHAR out[8] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xc3\xa9!", -1, out, 8), 3);
    EXPECT_EQ(out[0], 0x00E9);
    EXPECT_EQ(out[1], '!');
    // A byte that starts nothing becomes U+FFFD, or fails when asked to.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xff", -1, out, 8), 3);
    EXPECT_EQ(out[1], 0xFFFD);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xff", -1, out, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    // Four bytes give a surrogate pair.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", -1, out, 8), 3);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE00);
}

#ifndef _WIN32
// On this platform the OEM and ANSI pages are fixed; on Windows they are the
// machine's.
TEST(CodePage, OemAndAnsiPagesArePages437And1252) {
    EXPECT_EQ(ToPage(CP_OEMCP, u"\u00e9\u2500"), "\x82\xc4");
    EXPECT_EQ(ToPage(CP_ACP, u"\u00e9\u20ac"), "\xe9\x80");
}
#endif
