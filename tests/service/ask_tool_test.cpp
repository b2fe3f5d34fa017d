// The administrator's client, vantry-ask, against the real service.
#include "PellionHarness.h"

#include <gtest/gtest.h>

namespace {

using vtest::Pellion;
using vtest::RunCommand;

std::string Ask(unsigned short port, const std::string& arguments) {
    return std::string(VANTRY_ASK_TOOL) + " --port " + std::to_string(port) + " " + arguments;
}

TEST(AskTool, PrintsTheReplyAndTellsARefusalByItsExitStatus) {
    Pellion pellion;
    pellion.SetServiceValue("Server_Type", "GATEWAY 2");
    ASSERT_TRUE(pellion.InstallAndStart());
    auto reply = RunCommand(Ask(pellion.port(), "GET_SERVER_TYPE"));
    EXPECT_EQ(reply.exitStatus, 0);
    EXPECT_EQ(reply.output, "GATEWAY 2\n");
    // The words of the request are one line.
    reply = RunCommand(Ask(pellion.port(), "no such command"));
    EXPECT_EQ(reply.exitStatus, 0);
    EXPECT_EQ(reply.output, "CODE 3 MESSAGE Invalid Request\n");
    // The bytes as they came.
    reply = RunCommand(Ask(pellion.port(), "--raw get_server_type"));
    EXPECT_EQ(reply.output, "GATEWAY 2\r\n");

    pellion.SetServiceValue("Allowed_Clients", "mailgw");
    reply = RunCommand(Ask(pellion.port(), "get_server_type"));
    EXPECT_EQ(reply.exitStatus, 3);
    EXPECT_NE(reply.output.find("ACCESS_DENIED\n"), std::string::npos);
    EXPECT_NE(reply.output.find("Allowed_Clients"), std::string::npos);
}

TEST(AskTool, TakesThePortFromTheRegistryAndSendsSetConfigLinesFromItsInput) {
    Pellion pellion; // writes a free Config_Port into this root's registry
    ASSERT_TRUE(pellion.InstallAndStart());
    const std::string tool = std::string(VANTRY_ASK_TOOL);
    auto reply = RunCommand("printf \"SMTP_DEFAULT_DOMAIN='mail.example'\\r\\n\\r\\n\" | '" + tool +
                            "' --stdin set_config");
    EXPECT_EQ(reply.exitStatus, 0);
    EXPECT_EQ(reply.output, "CODE 0\n");
    reply = RunCommand("'" + tool + "' get_config");
    EXPECT_EQ(reply.exitStatus, 0);
    EXPECT_EQ(reply.output.compare(0, 7, "CODE 1\n"), 0);
    EXPECT_NE(reply.output.find("\nSMTP_DEFAULT_DOMAIN='mail.example'\n"), std::string::npos);
    EXPECT_EQ(reply.output.find('\r'), std::string::npos);
}

TEST(AskTool, NoServiceAndBadArgumentsAreClearErrors) {
    vtest::ReservedPort reserved; // nobody listens there
    unsigned short port = reserved.port();
    auto reply = RunCommand(Ask(port, "get_server_type"));
    EXPECT_EQ(reply.exitStatus, 1);
    EXPECT_NE(reply.output.find("is Pellion running?"), std::string::npos);
    EXPECT_EQ(RunCommand(std::string(VANTRY_ASK_TOOL)).exitStatus, 2);
    EXPECT_EQ(RunCommand(std::string(VANTRY_ASK_TOOL) + " --port 70000 x").exitStatus, 2);
    EXPECT_EQ(RunCommand(std::string(VANTRY_ASK_TOOL) + " --bogus x").exitStatus, 2);
}

} // namespace
