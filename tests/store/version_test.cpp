// The version values of the product key and the three version replies.
#include "StoreTest.h"
#include "regkey/RegKey.h"
#include "store/VersionInfo.h"

#include <gtest/gtest.h>

namespace {

using vtest::Call;

void SetProductValue(const char* name, const char* text) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 1);
    key.Write(name, text);
}

void SetProductValue(const char* name, DWORD value) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 1);
    key.Write(name, value);
}

const char* const kDefaults = "SMTP_DRENNIC_VERSION='unknown'\nSMTP_ENGINE_VERSION='unknown'\n"
                              "SMTP_DAT_VERSION='unknown'\nSMTP_DAT_DATE='unknown'\n"
                              "SMTP_EXTRADAT_NVIRUS='0'\nSMTP_EXTRADAT_NVARIANT='0'\r\n";

TEST(ReadVersionInfo, EmptyProductKeyGivesTheDefaults) {
    vtest::TempRoot root;
    ReadVersionInfo();
    EXPECT_EQ(Call(&ClientConnection::SendVersion, "get_version", -1), kDefaults);
    EXPECT_EQ(Call(&ClientConnection::SendDrennicVersion, "get_drennic_version", -1),
              "unknown\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendEngineVersion, "get_engine_version", -1), "unknown\r\n");
    EXPECT_TRUE(vtest::EventTexts().empty());
}

TEST(ReadVersionInfo, PresentValuesReplaceTheirDefaultsAndRemovedOnesReturnToThem) {
    vtest::TempRoot root;
    SetProductValue("szDrennicVer", "4.2.1");
    SetProductValue("szEngineVer", "engine 9");
    SetProductValue("szVirDefVer", "");
    SetProductValue("szVirDefDate", "2026-12-07");
    SetProductValue("dwExtraVirDefNVirs", 0x80000000u);
    SetProductValue("dwExtraVirDefNVars", 0xFFFFFFFFu);
    ReadVersionInfo();
    EXPECT_EQ(Call(&ClientConnection::SendVersion, "get_version", -1),
              "SMTP_DRENNIC_VERSION='4.2.1'\nSMTP_ENGINE_VERSION='engine 9'\nSMTP_DAT_VERSION=''\n"
              "SMTP_DAT_DATE='2026-12-07'\nSMTP_EXTRADAT_NVIRUS='-2147483648'\n"
              "SMTP_EXTRADAT_NVARIANT='-1'\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendDrennicVersion, "", -1), "4.2.1\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendEngineVersion, "", -1), "engine 9\r\n");

    SetProductValue("dwExtraVirDefNVirs", 0x7FFFFFFFu);
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 1);
        key.DeleteValue("szDrennicVer");
        key.DeleteValue("dwExtraVirDefNVars");
    }
    ReadVersionInfo();
    EXPECT_EQ(Call(&ClientConnection::SendVersion, "get_version", -1),
              "SMTP_DRENNIC_VERSION='unknown'\nSMTP_ENGINE_VERSION='engine 9'\n"
              "SMTP_DAT_VERSION=''\nSMTP_DAT_DATE='2026-12-07'\n"
              "SMTP_EXTRADAT_NVIRUS='2147483647'\nSMTP_EXTRADAT_NVARIANT='0'\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendDrennicVersion, "", -1), "unknown\r\n");
}

TEST(ReadVersionInfo, LongTextsAreCutAndTheReplyKeepsItsSixLines) {
    vtest::TempRoot root;
    const std::string longText(5000, 'v');
    for (const char* name : {"szDrennicVer", "szEngineVer", "szVirDefVer", "szVirDefDate"})
        SetProductValue(name, longText.c_str());
    ReadVersionInfo();
    const std::string cut(VERSION_TEXT_SIZE - 1, 'v');
    EXPECT_EQ(Call(&ClientConnection::SendVersion, "get_version", -1),
              "SMTP_DRENNIC_VERSION='" + cut + "'\nSMTP_ENGINE_VERSION='" + cut +
                  "'\nSMTP_DAT_VERSION='" + cut + "'\nSMTP_DAT_DATE='" + cut +
                  "'\nSMTP_EXTRADAT_NVIRUS='0'\nSMTP_EXTRADAT_NVARIANT='0'\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendEngineVersion, "", -1), cut + "\r\n");
}

} // namespace
