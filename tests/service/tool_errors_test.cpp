// What the administrator's programs say when they cannot do what was asked:
// install and remove that fail print the failure and end non-zero, and a
// platform root that cannot be used is named with the system's reason by
// every tool.
#include "PellionHarness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using vtest::Pellion;
using vtest::RunCommand;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs a program of the system with another platform root.
vtest::CommandResult RunIn(const std::string& root, const std::string& program,
                           const std::string& args) {
    return RunCommand("VANTRY_PLATFORM_ROOT='" + root + "' '" + program + "' " + args);
}

TEST(InstallAndRemove, EveryFailureIsPrintedAndEndsNonZero) {
    struct Case {
        const char* program;
        const char* steps;     // commands run first, their results not checked
        const char* command;
        int status;
        const char* output;    // exact
    };
    const Case cases[] = {
        {PELLION_EXE, "install", "install", 1,
         "CreateService failed - The specified service already exists. (0x431)\n"},
        {PELLION_EXE, "", "remove", 1,
         "OpenService failed - The specified service does not exist as an installed service. "
         "(0x424)\n"},
        {PELLION_EXE, "install", "remove", 0, "Corvane Vantry SMTP Pellion removed.\n"},
        {PELLION_EXE, "", "install", 0, "Corvane Vantry SMTP Pellion installed.\n"},
        {DRENNIC_EXE, "install", "install", 1, "Corvane Vantry SMTP Drennic is installed already.\n"},
        {DRENNIC_EXE, "", "remove", 1, "OpenService failed (error 1060)\n"},
        {DRENNIC_EXE, "install", "remove", 0, "Corvane Vantry SMTP Drennic removed.\n"},
        {DRENNIC_EXE, "", "install", 0, "Corvane Vantry SMTP Drennic installed.\n"},
    };
    for (const Case& c : cases) {
        Pellion pellion; // a fresh root
        if (*c.steps)
            RunCommand(std::string("'") + c.program + "' " + c.steps);
        vtest::CommandResult r = RunCommand(std::string("'") + c.program + "' " + c.command);
        EXPECT_EQ(r.exitStatus, c.status) << c.program << " " << c.steps << "; " << c.command;
        EXPECT_EQ(r.output, c.output) << c.program << " " << c.steps << "; " << c.command;
    }
}

TEST(UnusableRoot, EveryToolNamesThePathAndTheReason) {
    Pellion pellion; // its root is the scratch folder here
    const std::string file = pellion.root() + "/not-a-folder";
    ASSERT_EQ(RunCommand("touch '" + file + "'").exitStatus, 0);
    struct Root {
        std::string path;
        const char* why;
    };
    const Root roots[] = {
        {file + "/root", " cannot be reached: Not a directory"},
        {file, " is not a folder"},
    };
    const char* key = "\"HKLM\\Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion\"";
    struct Tool {
        const char* program;
        std::string args;
        int status;
    };
    const Tool tools[] = {
        {PELLION_EXE, "install", 1},
        {PELLION_EXE, "remove", 1},
        {DRENNIC_EXE, "install", 1},
        {DRENNIC_EXE, "remove", 1},
        {VANTRY_REG_TOOL, std::string("add ") + key + " /v Config_Port /t REG_DWORD /d 1 /f", 1},
        {VANTRY_REG_TOOL, std::string("query ") + key, 1},
        {VANTRY_SC_TOOL, "query \"Vantry SMTP Pellion\"", 1},
        {VANTRY_SC_TOOL, "start \"Vantry SMTP Drennic\"", 1},
        {VANTRY_EVENTS_TOOL, "--source Pellion", 1},
        {VANTRY_ASK_TOOL, "get_server_type", 1},
    };
    for (const Root& root : roots) {
        for (const Tool& tool : tools) {
            vtest::CommandResult r = RunIn(root.path, tool.program, tool.args);
            EXPECT_EQ(r.exitStatus, tool.status) << tool.program << " " << tool.args;
            EXPECT_TRUE(Contains(r.output, "the platform root " + root.path + root.why))
                << tool.program << " " << tool.args << ":\n"
                << r.output;
        }
    }
}

TEST(UnusableRoot, AReaderNeverMakesTheRootItIsPointedAt) {
    Pellion pellion;
    const std::string missing = pellion.root() + "/missing/root";
    struct Reader {
        const char* program;
        const char* args;
        int status;
        const char* says;
    };
    // With --port the client needs no root at all; without it, a missing
    // root is said to be missing rather than the default port tried.
    vtest::ReservedPort reserved; // nobody listens there
    const std::string port = std::to_string(reserved.port());
    const Reader readers[] = {
        {VANTRY_ASK_TOOL, "get_server_type", 1, " does not exist"},
        {VANTRY_ASK_TOOL, "--stdin set_config </dev/null", 1, " does not exist"},
        {VANTRY_EVENTS_TOOL, "", 1, " does not exist"},
    };
    for (const Reader& reader : readers) {
        vtest::CommandResult r = RunIn(missing, reader.program, reader.args);
        EXPECT_EQ(r.exitStatus, reader.status) << reader.program << " " << reader.args;
        EXPECT_TRUE(Contains(r.output, "the platform root " + missing + reader.says)) << r.output;
        EXPECT_FALSE(Exists(pellion.root() + "/missing")) << reader.program << " " << reader.args;
    }
    vtest::CommandResult r = RunIn(missing, VANTRY_ASK_TOOL, "--port " + port + " get_server_type");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "is Pellion running?")) << r.output;
    EXPECT_FALSE(Exists(pellion.root() + "/missing"));
}

TEST(UnusableRoot, AClientThatCannotConnectSaysWhereItsPortCameFrom) {
    Pellion pellion; // not started; its root holds a free Config_Port
    const std::string port = std::to_string(pellion.port());
    vtest::ReservedPort reserved; // nobody listens there
    const std::string other = std::to_string(reserved.port());
    struct Case {
        std::string args;
        std::string says;
    };
    const Case cases[] = {
        {"get_server_type", "port " + port + " (Config_Port)"},
        {"--port " + other + " get_server_type", "port " + other + " (given)"},
    };
    for (const Case& c : cases) {
        vtest::CommandResult r = RunCommand(std::string("'") + VANTRY_ASK_TOOL + "' " + c.args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_TRUE(Contains(r.output, c.says)) << r.output;
    }
}

} // namespace
