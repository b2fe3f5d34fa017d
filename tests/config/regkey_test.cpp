// The registry key wrapper as every user of the registry relies on it.
#include "regkey/RegKey.h"
#include "support/TempRoot.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// UTF-16 text in the seam's wide type (wchar_t on Windows, char16_t on POSIX).
typedef std::basic_string<WCHAR> WString;

TEST(CRegKey, CreateMakesMissingParentsAndOpenWithoutCreateFindsIt) {
    vtest::TempRoot root;
    CRegKey key;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C", 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.m_hKey, nullptr);
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C", 1), ERROR_SUCCESS);
    EXPECT_NE(key.m_hKey, nullptr);
    key.Close();
    EXPECT_EQ(key.m_hKey, nullptr);
    CRegKey parent;
    EXPECT_EQ(parent.Open(HKEY_LOCAL_MACHINE, "software\\a\\b", 0), ERROR_SUCCESS);
}

TEST(CRegKey, NumberReadOfLargerDataFailsAndLeavesTheNumber) {
    vtest::TempRoot root;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\T", 1), ERROR_SUCCESS);
    ASSERT_EQ(key.Write("Text", "twelve chars"), ERROR_SUCCESS);
    DWORD value = 42;
    EXPECT_NE(key.Read("Text", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(key.Read("Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 42u);
    ASSERT_EQ(key.Write("Port", static_cast<DWORD>(70000)), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Port", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 70000u);
    // The type is not checked: four bytes of binary data read as a number.
    const BYTE four[4] = {0x0F, 0x27, 0, 0};
    ASSERT_EQ(key.Write("Bin", four, 4), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Bin", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 9999u);
}

TEST(CRegKey, TextReadTakes76799BytesAndRefuses76800) {
    vtest::TempRoot root;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\T", 1), ERROR_SUCCESS);
    std::string fits(76798, 'x'); // 76,799 bytes with its terminator
    std::string tooLong(76799, 'y');
    ASSERT_EQ(key.Write("Fits", fits.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.Write("TooLong", tooLong.c_str()), ERROR_SUCCESS);
    std::vector<char> text(REGKEY_TEXT_BUFFER, 'q');
    text[0] = 'k';
    text[1] = '\0';
    EXPECT_NE(key.Read("TooLong", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "k");
    EXPECT_EQ(key.Read("Fits", text.data()), ERROR_SUCCESS);
    EXPECT_EQ(std::string(text.data()), fits);
    // Data without a terminator still ends up a text inside the buffer.
    std::vector<BYTE> raw(76799, 'z');
    ASSERT_EQ(key.Write("Raw", raw.data(), static_cast<DWORD>(raw.size())), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Raw", text.data()), ERROR_SUCCESS);
    EXPECT_EQ(strlen(text.data()), 76799u);
    // A text stops at its first zero byte.
    const BYTE twoTexts[] = {'a', 'b', 0, 'c', 0};
    ASSERT_EQ(key.Write("Two", twoTexts, sizeof(twoTexts)), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Two", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "ab");
}

TEST(CRegKey, BinaryReadReportsSizeAndNeededSize) {
    vtest::TempRoot root;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\T", 1), ERROR_SUCCESS);
    const BYTE data[6] = {1, 2, 3, 0, 5, 6};
    ASSERT_EQ(key.Write("B", data, 6), ERROR_SUCCESS);
    BYTE out[8] = {};
    DWORD size = sizeof(out);
    EXPECT_EQ(key.Read("B", out, size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(memcmp(out, data, 6), 0);
    size = 3;
    EXPECT_EQ(key.Read("B", out, size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
}

TEST(CRegKey, RelativeOpenComposesThePathAndNeedsNoOpenParent) {
    vtest::TempRoot root;
    CRegKey parent;
    ASSERT_EQ(parent.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane", 1), ERROR_SUCCESS);
    parent.Close();
    CRegKey child;
    ASSERT_EQ(child.Open(parent, "Rule_1", 1), ERROR_SUCCESS);
    EXPECT_STREQ(child.m_szPath, "Software\\Corvane\\Rule_1");
    EXPECT_EQ(child.m_hRoot, HKEY_LOCAL_MACHINE);
    ASSERT_EQ(child.Write("Active", static_cast<DWORD>(1)), ERROR_SUCCESS);
    child.Close();
    CRegKey again;
    DWORD active = 0;
    ASSERT_EQ(again.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Rule_1", 0), ERROR_SUCCESS);
    EXPECT_EQ(again.Read("Active", active), ERROR_SUCCESS);
    EXPECT_EQ(active, 1u);
}

TEST(CRegKey, OverlongPathsAreRefusedNotCut) {
    vtest::TempRoot root;
    CRegKey key;
    std::string longPath = "Software\\" + std::string(495, 'p'); // 504 characters
    EXPECT_NE(key.Open(HKEY_LOCAL_MACHINE, longPath.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(key.m_hKey, nullptr);
    // 499 characters fit; one more relative name would not.
    std::string fits = "Software\\" + std::string(490, 'p');
    ASSERT_EQ(fits.size(), 499u);
    CRegKey parent;
    parent.Open(HKEY_LOCAL_MACHINE, "Software", 1);
    CRegKey child;
    EXPECT_NE(child.Open(parent, std::string(490, 'p').c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(child.m_hKey, nullptr);
}

TEST(CRegKey, DeleteWorksUnderLocalMachineWhateverTheRoot) {
    vtest::TempRoot root;
    CRegKey machine;
    ASSERT_EQ(machine.Open(HKEY_LOCAL_MACHINE, "Software\\Gone", 1), ERROR_SUCCESS);
    machine.Close();
    CRegKey user;
    ASSERT_EQ(user.Open(HKEY_CURRENT_USER, "Software\\Gone", 1), ERROR_SUCCESS);
    user.Close();
    EXPECT_EQ(user.Delete("Software\\Gone"), ERROR_SUCCESS);
    CRegKey probe;
    EXPECT_EQ(probe.Open(HKEY_LOCAL_MACHINE, "Software\\Gone", 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(probe.Open(HKEY_CURRENT_USER, "Software\\Gone", 0), ERROR_SUCCESS);
}

TEST(CRegKey, DeleteValueRemovesOnlyThatValue) {
    vtest::TempRoot root;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\T", 1), ERROR_SUCCESS);
    key.Write("A", static_cast<DWORD>(1));
    key.Write("B", static_cast<DWORD>(2));
    EXPECT_EQ(key.DeleteValue("A"), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(key.Read("A", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Read("B", v), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteValue("A"), ERROR_FILE_NOT_FOUND);
}

TEST(CRegKeyW, TextWriteStoresTwoBytesPerCharacterAndTerminator) {
    vtest::TempRoot root;
    CRegKeyW key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, WIDE("Software\\Wide\\Key"), 1), ERROR_SUCCESS);
    const WCHAR text[] = WIDE("Vantry \u00e9t\u00e9");
    ASSERT_EQ(key.Write(WIDE("Name"), text), ERROR_SUCCESS);
    BYTE raw[64];
    DWORD size = sizeof(raw);
    ASSERT_EQ(key.Read(WIDE("Name"), raw, size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u * (10 + 1)); // ten characters and the terminator
    std::vector<WCHAR> back(REGKEY_TEXT_BUFFER / 2);
    ASSERT_EQ(key.Read(WIDE("Name"), back.data()), ERROR_SUCCESS);
    EXPECT_EQ(WString(back.data()), WString(text));
    DWORD port = 7;
    ASSERT_EQ(key.Write(WIDE("Port"), static_cast<DWORD>(9999)), ERROR_SUCCESS);
    EXPECT_EQ(key.Read(WIDE("Port"), port), ERROR_SUCCESS);
    EXPECT_EQ(port, 9999u);
    // The narrow wrapper sees the same key.
    CRegKey narrow;
    EXPECT_EQ(narrow.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\wide\\KEY", 0), ERROR_SUCCESS);
}

TEST(CRegKeyW, TextReadTakesAtMost38399Characters) {
    vtest::TempRoot root;
    CRegKeyW key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, WIDE("Software\\Wide"), 1), ERROR_SUCCESS);
    WString fits(38398, WIDE('w'));    // 76,798 bytes with its terminator
    WString tooLong(38399, WIDE('v')); // 76,800 bytes
    ASSERT_EQ(key.Write(WIDE("Fits"), fits.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.Write(WIDE("TooLong"), tooLong.c_str()), ERROR_SUCCESS);
    std::vector<WCHAR> text(REGKEY_TEXT_BUFFER / 2, 0);
    EXPECT_NE(key.Read(WIDE("TooLong"), text.data()), ERROR_SUCCESS);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(key.Read(WIDE("Fits"), text.data()), ERROR_SUCCESS);
    EXPECT_EQ(WString(text.data()), fits);
}

// A save rolled back leaves the registry as it was before the save began,
// on both targets: values changed get their old data and type back, values
// and keys it made are gone, a value it deleted is back. A save committed
// keeps everything, and a later rollback takes back only its own changes.
TEST(RegistrySave, ARollbackTakesBackEveryChangeOfTheSaveAndACommitKeepsThem) {
    vtest::TempRoot root;
    {
        CRegKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Save", 1), ERROR_SUCCESS);
        key.Write("Number", static_cast<DWORD>(4));
        key.Write("Text", "before");
        key.Write("Gone", "deleted by the save");
    }
    ASSERT_EQ(BeginRegistrySave(), ERROR_SUCCESS);
    {
        CRegKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Save", 1), ERROR_SUCCESS);
        EXPECT_EQ(key.Write("Number", "now a text"), ERROR_SUCCESS);
        EXPECT_EQ(key.Write("Text", "after"), ERROR_SUCCESS);
        EXPECT_EQ(key.Write("Text", "after again"), ERROR_SUCCESS);
        EXPECT_EQ(key.Write("New", static_cast<DWORD>(1)), ERROR_SUCCESS);
        EXPECT_EQ(key.DeleteValue("Gone"), ERROR_SUCCESS);
        CRegKey made;
        ASSERT_EQ(made.Open(key, "Made\\Deeper", 1), ERROR_SUCCESS);
        EXPECT_EQ(made.Write("Inside", "x"), ERROR_SUCCESS);
    }
    EXPECT_EQ(RollbackRegistrySave(), ERROR_SUCCESS);

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Save", 0), ERROR_SUCCESS);
    DWORD number = 0;
    EXPECT_EQ(key.Read("Number", number), ERROR_SUCCESS); // a number again
    EXPECT_EQ(number, 4u);
    std::vector<char> text(REGKEY_TEXT_BUFFER);
    EXPECT_EQ(key.Read("Text", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "before");
    EXPECT_EQ(key.Read("Gone", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "deleted by the save");
    EXPECT_EQ(key.Read("New", number), ERROR_FILE_NOT_FOUND);
    CRegKey made;
    EXPECT_EQ(made.Open(key, "Made\\Deeper", 0), ERROR_FILE_NOT_FOUND);

    // Committed: kept. Then a rollback of the next save leaves it.
    ASSERT_EQ(BeginRegistrySave(), ERROR_SUCCESS);
    EXPECT_EQ(key.Write("Text", "committed"), ERROR_SUCCESS);
    EXPECT_EQ(CommitRegistrySave(), ERROR_SUCCESS);
    ASSERT_EQ(BeginRegistrySave(), ERROR_SUCCESS);
    EXPECT_EQ(key.Write("Text", "rolled back"), ERROR_SUCCESS);
    EXPECT_EQ(RollbackRegistrySave(), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Text", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "committed");
    // Outside a save, writes are on their own.
    EXPECT_EQ(key.Write("Text", "plain"), ERROR_SUCCESS);
    EXPECT_EQ(key.Read("Text", text.data()), ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), "plain");
}

} // namespace
