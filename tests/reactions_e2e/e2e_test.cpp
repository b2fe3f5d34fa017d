// The reactions end to end: the host program loads the plug-in, which talks to
// the real pellion running as a service, which forwards to the real drennic;
// Shutdown stops and starts drennic through the service manager; Update starts
// the real quennel.
#include "PellionHarness.h"

#include "regkey/RegKey.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using vtest::Pellion;

namespace {

std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

struct HostRun {
    std::string output;
    int status = -1;
};

HostRun Host(const Pellion& pellion, const std::string& args) {
    vtest::CommandResult r = vtest::RunCommand(std::string("cd '") + pellion.root() + "' && '" +
                                               REACTIONHOST_EXE + "' " + args);
    return HostRun{r.output, r.exitStatus};
}

// The last line the host printed: "result 0x........".
std::string Result(const HostRun& run) {
    size_t at = run.output.rfind("result ");
    return at == std::string::npos ? std::string("<none>") : run.output.substr(at, 17);
}

DWORD Setting(const char* name) {
    DWORD value = 0xDEADBEEF;
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", 1);
    key.Read(name, value);
    return value;
}

void SetSetting(const char* name, DWORD value) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", 1);
    key.Write(name, value);
}

// The line of a setting in Pellion's get_config reply.
std::string ConfigLine(const Pellion& pellion, const std::string& key) {
    std::string reply = vtest::Ask(pellion.port(), "get_config\r\n");
    size_t at = reply.find("\n" + key + "='");
    if (at == std::string::npos)
        return "<missing>";
    size_t end = reply.find('\n', at + 1);
    return reply.substr(at + 1, end - at - 1);
}

} // namespace

TEST(ReactionsEndToEnd, BlockNamedAttachmentsDoAndUndoReachDrennic) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    HostRun done = Host(pellion, "--text '*.exe *.scr' Service_Reaction_BlockNamedAttachments_Do");
    EXPECT_EQ(done.output, "result 0x00000001\n");
    HostRun undone = Host(pellion, "Service_Reaction_BlockNamedAttachments_Undo 1");
    EXPECT_EQ(undone.output, "result 0x00000001\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(2);
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], Z("BLOCK_MAIL_WITH_NAMED_ATTACHMENTS *.exe *.scr"));
    EXPECT_EQ(record[1], Z("UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS"));
}

TEST(ReactionsEndToEnd, StopInboundMailDoAndUndoReachDrennic) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    EXPECT_EQ(Result(Host(pellion, "Service_Reaction_StopInboundMail_Do")), "result 0x00000001");
    EXPECT_EQ(Result(Host(pellion, "Service_Reaction_StopInboundMail_Undo 1")),
              "result 0x00000001");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(2);
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], Z("REJECT_INCOMING_MAIL"));
    EXPECT_EQ(record[1], Z("ACCEPT_INCOMING_MAIL"));
}

TEST(ReactionsEndToEnd, IncreaseScanSettingsRaisesThreeSettingsAndUndoRestoresThem) {
    Pellion pellion;
    SetSetting("SMTP_SCAN_COMPRESSED_FLAG", 0);
    SetSetting("SMTP_SCAN_MACROHEURISTICS", 7);
    SetSetting("SMTP_SCAN_PROGRAMHEURISTICS", 0xFFFFFFFF);
    ASSERT_TRUE(pellion.InstallAndStartBoth());

    HostRun done = Host(pellion, "Service_Reaction_IncreaseScanSettings_Do");
    EXPECT_EQ(done.output, "store: BeginReaction(IncreaseScanSettings) = 1\n"
                           "store: CreateRecord(0, 12) = 1\n"
                           "store: LockRecord(1) = bytes\n"
                           "store: UnlockRecord(1)\n"
                           "result 0x00000001\n");
    EXPECT_EQ(Setting("SMTP_SCAN_COMPRESSED_FLAG"), 1u);
    EXPECT_EQ(Setting("SMTP_SCAN_MACROHEURISTICS"), 1u);
    EXPECT_EQ(Setting("SMTP_SCAN_PROGRAMHEURISTICS"), 1u);
    EXPECT_EQ(ConfigLine(pellion, "SMTP_SCAN_COMPRESSED_FLAG"), "SMTP_SCAN_COMPRESSED_FLAG='1'");
    EXPECT_EQ(ConfigLine(pellion, "SMTP_SCAN_MACROHEURISTICS"), "SMTP_SCAN_MACROHEURISTICS='1'");
    EXPECT_EQ(ConfigLine(pellion, "SMTP_SCAN_PROGRAMHEURISTICS"),
              "SMTP_SCAN_PROGRAMHEURISTICS='1'");

    HostRun undone = Host(pellion, "Service_Reaction_IncreaseScanSettings_Undo 1");
    EXPECT_EQ(Result(undone), "result 0x00000001") << undone.output;
    EXPECT_EQ(Setting("SMTP_SCAN_COMPRESSED_FLAG"), 0u);
    EXPECT_EQ(Setting("SMTP_SCAN_MACROHEURISTICS"), 7u);
    EXPECT_EQ(Setting("SMTP_SCAN_PROGRAMHEURISTICS"), 0xFFFFFFFFu);
    EXPECT_EQ(ConfigLine(pellion, "SMTP_SCAN_PROGRAMHEURISTICS"),
              "SMTP_SCAN_PROGRAMHEURISTICS='-1'");

    // Each set_config makes Pellion tell Drennic to re-read its settings; the
    // plug-in's own commands follow.
    std::vector<std::string> record = pellion.drennic().WaitForRecord(4);
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[0], Z("SET_PREFERENCES"));
    EXPECT_EQ(record[1], Z("INCREASE_SCAN_SETTINGS"));
    EXPECT_EQ(record[2], Z("SET_PREFERENCES"));
    EXPECT_EQ(record[3], Z("DECREASE_SCAN_SETTINGS"));
}

TEST(ReactionsEndToEnd, ShutdownStopsDrennicAndUndoStartsIt) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    HostRun done = Host(pellion, "Service_Reaction_Shutdown_Do");
    EXPECT_EQ(done.output, "result 0x00000001\n");
    EXPECT_EQ(pellion.drennic().Query().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    HostRun undone = Host(pellion, "Service_Reaction_Shutdown_Undo 1");
    EXPECT_EQ(undone.output, "result 0x00000001\n");
    EXPECT_EQ(pellion.drennic().Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    // A second start is refused by the service manager: the work failed.
    EXPECT_EQ(Host(pellion, "Service_Reaction_Shutdown_Undo 1").output, "result 0x00000000\n");
    // Pellion was never asked.
    EXPECT_TRUE(pellion.drennic().Record().empty());
}

TEST(ReactionsEndToEnd, CommandThatCannotReachDrennicIsAFailure) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart()); // Drennic is not running
    DWORD start = GetTickCount();
    EXPECT_EQ(Host(pellion, "Service_Reaction_StopInboundMail_Do").output, "result 0x00000000\n");
    // Pellion tried the pipe ten times, 500 ms apart, before it answered.
    EXPECT_GE(GetTickCount() - start, 4500u);
    EXPECT_EQ(Host(pellion, "--text '*.exe' Service_Reaction_BlockTypedAttachments_Do").output,
              "result 0x00000000\n");
}

TEST(ReactionsEndToEnd, MissingConfigPortSendsNothingAndCreatesThePellionKey) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 1),
              ERROR_SUCCESS);
    ASSERT_EQ(key.DeleteValue("Config_Port"), ERROR_SUCCESS);
    key.Close();
    EXPECT_EQ(Host(pellion, "Service_Reaction_BlockAllAttachments_Do").output,
              "result 0x00000000\n");
    EXPECT_EQ(Host(pellion, "Service_Reaction_IncreaseScanSettings_Do").output,
              "store: BeginReaction(IncreaseScanSettings) = 1\nresult 0x00000000\n");
    Sleep(300);
    EXPECT_TRUE(pellion.drennic().Record().empty());
}

TEST(ReactionsEndToEnd, UpdateStartsQuennelWithAutoupdate) {
    Pellion pellion; // the platform root; no service is needed
    std::string folder = pellion.root() + "/drive_c/Vantry Gateway";
    ASSERT_EQ(vtest::RunCommand("mkdir -p '" + folder + "' && cp '" + QUENNEL_EXE + "' '" + folder +
                                "/quennel.exe'")
                  .exitStatus,
              0);
    {
        CRegKeyW key;
        key.Open(HKEY_LOCAL_MACHINE, WIDE("Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic"), 1);
        key.Write(WIDE("Install_Path"), WIDE("C:\\Vantry Gateway"));
    }
    HostRun done = Host(pellion, "Service_Reaction_Update_Do");
    EXPECT_EQ(done.output, "store: BeginReaction(AutoUpdate) = 1\nresult 0x00000001\n");
    std::string log;
    vtest::WaitUntil([&] {
        // (Read here: a shell's "No such file" would be a line too.)
        std::ifstream file(folder + "/quennel.log", std::ios::binary);
        std::stringstream all;
        all << file.rdbuf();
        log = all.str();
        return log.find('\n') != std::string::npos;
    });
    EXPECT_NE(log.find("\trun\t1\tautoupdate\n"), std::string::npos) << log;
    EXPECT_EQ(Host(pellion, "Service_Reaction_Update_Undo 1").output,
              "store: EndReaction(AutoUpdate) = 1\nresult 0x00000001\n");
}
TEST(ReactionsEndToEnd, RefusedCallsSendNothing) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    struct Case {
        const char* args;
        const char* output;
    } cases[] = {
        {"--null-context Service_Reaction_StopInboundMail_Do", "result 0x80000001\n"},
        {"--stamp 0x02030150 Service_Reaction_StopInboundMail_Do", "result 0x80000002\n"},
        {"--stamp 0x02030150 Service_Reaction_IncreaseScanSettings_Do", "result 0x80000002\n"},
        {"Service_Reaction_StopInboundMail_Undo 0", "result 0x80000001\n"},
        {"Service_Reaction_IncreaseScanSettings_Undo 0", "result 0x80000001\n"},
        {"Wizard_Reaction_BlockNamedAttachments_DataVerify ''", "result 0x80000001\n"},
        {"--text-offset-zero --text '*.exe' Service_Reaction_BlockNamedAttachments_Do",
         "result 0x00000000\n"},
        {"--refuse-begin Service_Reaction_IncreaseScanSettings_Do",
         "store: BeginReaction(IncreaseScanSettings) = 0\nresult 0x80000001\n"},
        {"--refuse-end Service_Reaction_IncreaseScanSettings_Undo 1",
         "store: EndReaction(IncreaseScanSettings) = 0\nresult 0x80000001\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Host(pellion, c.args).output, c.output) << c.args;
    Sleep(300);
    EXPECT_TRUE(pellion.drennic().Record().empty());
    // No set_config came: the setting was never written.
    EXPECT_EQ(Setting("SMTP_SCAN_COMPRESSED_FLAG"), 0xDEADBEEFu);
}
#endif
