// Marrish against a small configuration service on a loopback port: the exact
// request each operation sends, and which answers count as success.
#include "remote/marrish/Marrish.h"

#include "FakePellion.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CommandCase {
    int (RemoteCommandHandler::*command)();
    const char* word;
};

const CommandCase kCommands[] = {
    {&RemoteCommandHandler::SendCommand_BlockMailWithAttachments, "BLOCK_MAIL_WITH_ATTACHMENTS"},
    {&RemoteCommandHandler::SendCommand_UnblockMailWithAttachments,
     "UNBLOCK_MAIL_WITH_ATTACHMENTS"},
    {&RemoteCommandHandler::SendCommand_UnblockMailWithNamedAttachments,
     "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS"},
    {&RemoteCommandHandler::SendCommand_UnblockMailWithTypedAttachments,
     "UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS"},
    {&RemoteCommandHandler::SendCommand_RejectIncomingMail, "REJECT_INCOMING_MAIL"},
    {&RemoteCommandHandler::SendCommand_AcceptIncomingMail, "ACCEPT_INCOMING_MAIL"},
    {&RemoteCommandHandler::SendCommand_IncreaseScanSettings, "INCREASE_SCAN_SETTINGS"},
    {&RemoteCommandHandler::SendCommand_DecreaseScanSettings, "DECREASE_SCAN_SETTINGS"},
};

} // namespace

TEST(Marrish, EachCommandSendsItsWordAsOneLine) {
    vtest::FakePellion pellion;
    for (const CommandCase& c : kCommands) {
        RemoteAccess access("localhost", pellion.port(), 1);
        EXPECT_EQ((access.*c.command)(), 1) << c.word;
    }
    auto requests = pellion.requests();
    ASSERT_EQ(requests.size(), sizeof(kCommands) / sizeof(kCommands[0]));
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i], std::string(kCommands[i].word) + "\n");
}

TEST(Marrish, ListCommandsCarryTheirListAfterOneSpace) {
    vtest::FakePellion pellion;
    RemoteAccess access("127.0.0.1", pellion.port(), 1);
    char names[] = "*.exe *.scr";
    char types[] = "\x82xe"; // bytes of the OEM page pass unchanged
    EXPECT_EQ(access.SendCommand_BlockMailWithNamedAttachments(names), 1);
    EXPECT_EQ(access.SendCommand_BlockMailWithTypedAttachments(types), 1);
    auto requests = pellion.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS *.exe *.scr\n");
    EXPECT_EQ(requests[1], "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS \x82xe\n");
}

TEST(Marrish, ListThatCannotTravelInOneLineIsNotSent) {
    vtest::FakePellion pellion;
    RemoteAccess access("localhost", pellion.port(), 1);
    char empty[] = "";
    char lineFeed[] = "*.exe\nREJECT_INCOMING_MAIL";
    char carriageReturn[] = "*.exe\r";
    std::string longList(MARRISH_REQUEST_SIZE, 'a');
    EXPECT_EQ(access.SendCommand_BlockMailWithNamedAttachments(nullptr), 0);
    EXPECT_EQ(access.SendCommand_BlockMailWithNamedAttachments(empty), 0);
    EXPECT_EQ(access.SendCommand_BlockMailWithNamedAttachments(lineFeed), 0);
    EXPECT_EQ(access.SendCommand_BlockMailWithTypedAttachments(carriageReturn), 0);
    EXPECT_EQ(access.SendCommand_BlockMailWithTypedAttachments(&longList[0]), 0);
    EXPECT_TRUE(pellion.requests().empty());
    // The longest list that fits still goes.
    std::string fits(MARRISH_REQUEST_SIZE - 1 - strlen("BLOCK_MAIL_WITH_TYPED_ATTACHMENTS "), 'b');
    EXPECT_EQ(access.SendCommand_BlockMailWithTypedAttachments(&fits[0]), 1);
    ASSERT_EQ(pellion.requests().size(), 1u);
}

TEST(Marrish, OnlyCode0IsSuccess) {
    struct Case {
        const char* reply;
        int expected;
    } cases[] = {
        {"CODE 0\r\n", 1},
        {"CODE 0\n", 1},
        {"CODE 0 MESSAGE done\r\n", 1},
        {"CODE 0", 1},
        {"CODE 3\r\n", 0},
        {"CODE 3 MESSAGE not delivered\r\n", 0},
        {"CODE 00\r\n", 0},
        {"CODE 1\r\n", 0},
        {"ACCESS_DENIED\r\n", 0},
        {"", 0},
        {"code 0\r\n", 0},
    };
    vtest::FakePellion pellion;
    for (const Case& c : cases) {
        pellion.set_command_reply(c.reply);
        RemoteAccess access("localhost", pellion.port(), 1);
        EXPECT_EQ(access.SendCommand_RejectIncomingMail(), c.expected) << c.reply;
    }
}

TEST(Marrish, NoServiceOnThePortIsFailure) {
    unsigned short port;
    {
        vtest::FakePellion gone;
        port = gone.port();
    }
    RemoteAccess access("localhost", port, 1);
    EXPECT_EQ(access.SendCommand_AcceptIncomingMail(), 0);
    EXPECT_NE(access.LastError(), 0);
    RemoteAccess noPort("localhost", 0, 1);
    EXPECT_EQ(noPort.SendCommand_AcceptIncomingMail(), 0);
    RemoteAccess badPort("localhost", 65536, 1);
    EXPECT_EQ(badPort.SendCommand_AcceptIncomingMail(), 0);
}

TEST(Marrish, GpsSettingsSitAtTheirOffsets) {
    ASSERT_EQ(GPS_SETTING_COUNT, 3);
    EXPECT_EQ(kGPSSettings[0].offset, 0u);
    EXPECT_STREQ(kGPSSettings[0].key, "SMTP_SCAN_COMPRESSED_FLAG");
    EXPECT_EQ(kGPSSettings[1].offset, 688u);
    EXPECT_STREQ(kGPSSettings[1].key, "SMTP_SCAN_MACROHEURISTICS");
    EXPECT_EQ(kGPSSettings[2].offset, 66284u);
    EXPECT_STREQ(kGPSSettings[2].key, "SMTP_SCAN_PROGRAMHEURISTICS");
}

TEST(Marrish, LoadIsAGetConfigAndFillsTheThreeSettings) {
    vtest::FakePellion pellion;
    pellion.set_settings(7, -1, 0);
    RemotePreferences preferences("localhost", pellion.port());
    ASSERT_EQ(preferences.Load(), 1);
    GPS* gps = preferences.GetGPS();
    EXPECT_EQ(gps->dwScanCompressed, 7u);
    EXPECT_EQ(gps->dwScanMacroHeuristics, 0xFFFFFFFFu);
    EXPECT_EQ(gps->dwScanProgramHeuristics, 0u);
    auto requests = pellion.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "get_config\n");
}

TEST(Marrish, LoadFailsAndKeepsTheRecordWhenTheReplyIsIncomplete) {
    const char* keys[] = {"SMTP_SCAN_COMPRESSED_FLAG", "SMTP_SCAN_MACROHEURISTICS",
                          "SMTP_SCAN_PROGRAMHEURISTICS"};
    for (const char* key : keys) {
        vtest::FakePellion pellion;
        pellion.set_settings(1, 1, 1);
        pellion.omit_setting(key);
        RemotePreferences preferences("localhost", pellion.port());
        preferences.GetGPS()->dwScanCompressed = 42;
        EXPECT_EQ(preferences.Load(), 0) << key;
        EXPECT_EQ(preferences.GetGPS()->dwScanCompressed, 42u) << key;
    }
    vtest::FakePellion refusing;
    refusing.set_config_status("ACCESS_DENIED\r\n");
    RemotePreferences preferences("localhost", refusing.port());
    EXPECT_EQ(preferences.Load(), 0);
}

TEST(Marrish, SaveIsASetConfigOfTheThreeSettings) {
    vtest::FakePellion pellion;
    RemotePreferences preferences("localhost", pellion.port());
    GPS* gps = preferences.GetGPS();
    gps->dwScanCompressed = 1;
    gps->dwScanMacroHeuristics = 0xFFFFFFFF;
    gps->dwScanProgramHeuristics = 0;
    ASSERT_EQ(preferences.Save(), 1);
    auto requests = pellion.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "set_config\n"
                           "SMTP_SCAN_COMPRESSED_FLAG='1'\n"
                           "SMTP_SCAN_MACROHEURISTICS='-1'\n"
                           "SMTP_SCAN_PROGRAMHEURISTICS='0'\n"
                           "\n");
    EXPECT_EQ(pellion.compressed(), 1);
    EXPECT_EQ(pellion.macro(), -1);
    EXPECT_EQ(pellion.program(), 0);

    pellion.set_save_reply("CODE 2 MESSAGE refused\r\n");
    EXPECT_EQ(preferences.Save(), 0);
}
