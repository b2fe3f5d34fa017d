// The host program: it loads the plug-in, keeps the undo records in a file
// between processes, and refuses a record to another reaction.
#include "FakePellion.h"
#include "regkey/RegKey.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

struct HostRun {
    std::string output;
    int status = -1;
};

HostRun Host(const std::string& args) {
    HostRun run;
    std::string command = std::string("'") + REACTIONHOST_EXE + "' " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        run.output.append(buf, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class HostProgram : public ::testing::Test {
protected:
    void SetUp() override {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 1);
        key.Write("Config_Port", static_cast<DWORD>(pellion_.port()));
        store_ = root_.path() + "/records.store";
    }
    std::string StoreArg() const { return "--store '" + store_ + "' "; }

    vtest::TempRoot root_;
    vtest::FakePellion pellion_;
    std::string store_;
};

} // namespace

TEST_F(HostProgram, PreDoPrintsTheDescription) {
    HostRun run = Host("Service_Reaction_IncreaseScanSettings_PreDo");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "result 0x00000001\ninfo 1 12 0 1\n");
}

TEST_F(HostProgram, DoAndUndoInTwoProcessesShareTheRecord) {
    pellion_.set_settings(0, 1, 0);
    HostRun done = Host(StoreArg() + "Service_Reaction_IncreaseScanSettings_Do");
    EXPECT_EQ(done.output, "store: BeginReaction(IncreaseScanSettings) = 1\n"
                           "store: CreateRecord(0, 12) = 1\n"
                           "store: LockRecord(1) = bytes\n"
                           "store: UnlockRecord(1)\n"
                           "result 0x00000001\n");
    EXPECT_EQ(pellion_.macro() + pellion_.program() + pellion_.compressed(), 3);
    // The earlier values: macro 1, program 0, compressed 0.
    EXPECT_EQ(ReadFile(store_),
              "reactionhost-store 1 2\n1 IncreaseScanSettings 12 010000000000000000000000\n");

    HostRun undone = Host(StoreArg() + "Service_Reaction_IncreaseScanSettings_Undo 1");
    EXPECT_EQ(undone.output, "store: EndReaction(IncreaseScanSettings) = 1\n"
                             "store: LockRecord(1) = bytes\n"
                             "store: UnlockRecord(1)\n"
                             "store: DeleteRecord(1)\n"
                             "result 0x00000001\n");
    EXPECT_EQ(pellion_.compressed(), 0);
    EXPECT_EQ(pellion_.macro(), 1);
    EXPECT_EQ(pellion_.program(), 0);
    EXPECT_EQ(ReadFile(store_), "reactionhost-store 1 2\n");

    // The token is spent: a second undo finds no record and changes nothing.
    size_t before = pellion_.requests().size();
    HostRun again = Host(StoreArg() + "Service_Reaction_IncreaseScanSettings_Undo 1");
    EXPECT_NE(again.output.find("LockRecord(1) = null"), std::string::npos);
    EXPECT_NE(again.output.find("result 0x00000000"), std::string::npos);
    EXPECT_EQ(pellion_.requests().size(), before + 1); // get_config only
}

TEST_F(HostProgram, RecordOfAnotherReactionIsRefused) {
    {
        std::ofstream out(store_);
        out << "reactionhost-store 1 8\n7 SomeOtherReaction 12 010000000100000001000000\n";
    }
    pellion_.set_settings(1, 1, 1);
    HostRun run = Host(StoreArg() + "Service_Reaction_IncreaseScanSettings_Undo 7");
    EXPECT_NE(run.output.find("LockRecord(7) = null"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("result 0x00000000"), std::string::npos) << run.output;
    EXPECT_EQ(ReadFile(store_),
              "reactionhost-store 1 8\n7 SomeOtherReaction 12 010000000100000001000000\n");
    EXPECT_EQ(pellion_.compressed() + pellion_.macro() + pellion_.program(), 3);
    for (const std::string& r : pellion_.requests())
        EXPECT_EQ(r, "get_config\n");
}

TEST_F(HostProgram, ContextOptionsReachThePlugin) {
    EXPECT_EQ(Host("--stamp 0x02030150 Service_Reaction_StopInboundMail_Do").output,
              "result 0x80000002\n");
    EXPECT_EQ(Host("--null-context Service_Reaction_StopInboundMail_Do").output,
              "result 0x80000001\n");
    EXPECT_EQ(Host("Service_Reaction_StopInboundMail_Undo 0").output, "result 0x80000001\n");
    EXPECT_EQ(Host("Wizard_Reaction_Shutdown_DataVerify ''").output, "result 0x80000001\n");
    EXPECT_EQ(Host("--null-data Wizard_Reaction_Shutdown_DataVerify").output,
              "result 0x80000001\n");
    EXPECT_EQ(Host("Wizard_Reaction_Shutdown_DataVerify now").output, "result 0x00000001\n");
    EXPECT_EQ(
        Host("--text-offset-zero --text '*.exe' Service_Reaction_BlockNamedAttachments_Do").output,
        "result 0x00000000\n");
    EXPECT_EQ(Host("--no-parameters Service_Reaction_BlockNamedAttachments_Do").output,
              "result 0x00000000\n");
    EXPECT_TRUE(pellion_.requests().empty());
    EXPECT_EQ(Host("--text '*.exe *.scr' Service_Reaction_BlockNamedAttachments_Do").output,
              "result 0x00000001\n");
    ASSERT_EQ(pellion_.requests().size(), 1u);
    EXPECT_EQ(pellion_.requests()[0], "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS *.exe *.scr\n");
    EXPECT_EQ(
        Host("--refuse-begin " + StoreArg() + "Service_Reaction_IncreaseScanSettings_Do").output,
        "store: BeginReaction(IncreaseScanSettings) = 0\nresult 0x80000001\n");
}

TEST_F(HostProgram, UsageErrorsExitWithStatus2) {
    EXPECT_EQ(Host("").status, 2);
    EXPECT_EQ(Host("NotAnExport").status, 2);
    EXPECT_EQ(Host("Service_Reaction_Nothing_Do").status, 2);
    EXPECT_EQ(Host("Service_Reaction_StopInboundMail_Undo").status, 2);
    EXPECT_EQ(Host("--library /no/such/lib.so Service_Reaction_StopInboundMail_Do").status, 2);
    EXPECT_TRUE(pellion_.requests().empty());
}
#endif
