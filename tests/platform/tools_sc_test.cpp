// The service control tool vantry-sc, run as a program against a sample
// service, as an administrator (or systemd) would use it.
#include "platform/win32.h"
#include "platform/posix/service_status_reader.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct ToolResult {
    int exitStatus = -1;
    std::string output; // standard output and error together
};

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

ToolResult RunTool(const std::vector<std::string>& args) {
    std::string cmd = Quote(VANTRY_SC_TOOL);
    for (const std::string& a : args)
        cmd += " " + Quote(a);
    cmd += " 2>&1";
    ToolResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr)
        r.output += buf;
    int status = pclose(p);
    r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Polls `query` until the state line appears.
bool WaitForToolState(const std::string& name, const std::string& stateLine) {
    return vtest::WaitUntil([&] { return Contains(RunTool({"query", name}).output, stateLine); });
}

const char* kRunning = "STATE              : 4   RUNNING";
const char* kStopped = "STATE              : 1   STOPPED";

} // namespace

TEST(ScTool, CreateStartQueryStopHistoryDeleteCycle) {
    vtest::TempRoot root;
    ToolResult r = RunTool({"create", "Tool Svc", "binPath=", VANTRY_SAMPLE_SERVICE,
                            "DisplayName=", "Tool Service", "start=", "auto"});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "[SC] CreateService SUCCESS\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Tool Svc", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD start = 0, size = sizeof(start), type = 0;
    EXPECT_EQ(
        RegQueryValueExA(key, "Start", nullptr, &type, reinterpret_cast<LPBYTE>(&start), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(start, static_cast<DWORD>(SERVICE_AUTO_START));
    RegCloseKey(key);

    r = RunTool({"query", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(Contains(r.output, "SERVICE_NAME: Tool Svc\n")) << r.output;
    EXPECT_TRUE(Contains(r.output, kStopped)) << r.output;

    r = RunTool({"start", "Tool Svc"});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "TYPE               : 10  WIN32_OWN_PROCESS")) << r.output;
    ASSERT_TRUE(WaitForToolState("Tool Svc", kRunning));
    r = RunTool({"query", "tool svc"});
    EXPECT_TRUE(Contains(r.output, "(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)")) << r.output;
    EXPECT_TRUE(Contains(r.output, "WIN32_EXIT_CODE    : 0  (0x0)")) << r.output;

    r = RunTool({"start", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "[SC] StartService FAILED 1056:")) << r.output;
    EXPECT_TRUE(Contains(r.output, "An instance of the service is already running.")) << r.output;

    r = RunTool({"stop", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "STATE              : 3   STOP_PENDING")) << r.output;
    EXPECT_TRUE(Contains(r.output, kStopped)) << r.output; // it waited for the stop
    EXPECT_EQ(vplat::ReadServiceStatusHistory("Tool Svc").back().dwCurrentState,
              static_cast<DWORD>(SERVICE_STOPPED));

    r = RunTool({"history", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(Contains(r.output, "2 START_PENDING  0x1 ")) << r.output;
    EXPECT_TRUE(Contains(r.output, "2 START_PENDING  0x3 ")) << r.output;
    EXPECT_TRUE(Contains(r.output, "3 STOP_PENDING   0x7 ")) << r.output;
    EXPECT_TRUE(Contains(r.output, "1 STOPPED")) << r.output;

    r = RunTool({"stop", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "FAILED 1062:")) << r.output;

    r = RunTool({"delete", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "[SC] DeleteService SUCCESS\n");
    r = RunTool({"query", "Tool Svc"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "[SC] OpenService FAILED 1060:\n\nThe specified service does "
                                   "not exist as an installed service.\n"))
        << r.output;
}

// A service process that dies without reporting its stop: the manager's word
// (stopped, ERROR_PROCESS_ABORTED) ends its history, once, whether the
// history or a query looks first.
TEST(ScTool, CrashOfTheServiceProcessEndsItsHistoryWithTheManagersStop) {
    vtest::TempRoot root;
    ASSERT_EQ(RunTool({"create", "Crashing", "binPath=", VANTRY_SAMPLE_SERVICE}).exitStatus, 0);
    ASSERT_EQ(RunTool({"start", "Crashing"}).exitStatus, 0);
    ASSERT_TRUE(WaitForToolState("Crashing", kRunning));
    long pid = 0;
    {
        std::ifstream notes(root.path() + "/sample_service.txt");
        std::string line;
        while (std::getline(notes, line))
            if (line.compare(0, 4, "pid=") == 0)
                pid = std::stol(line.substr(4));
    }
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    for (int i = 0; i < 100 && kill(static_cast<pid_t>(pid), 0) == 0; ++i)
        usleep(20000);

    ToolResult r = RunTool({"history", "Crashing"});
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < r.output.size()) {
        size_t end = r.output.find('\n', start);
        lines.push_back(r.output.substr(start, end - start));
        start = end == std::string::npos ? r.output.size() : end + 1;
    }
    ASSERT_GE(lines.size(), 3u) << r.output;
    const std::string& last = lines.back();
    EXPECT_TRUE(Contains(last, "1 STOPPED")) << r.output;
    EXPECT_TRUE(Contains(last, " 1067 ")) << r.output;
    EXPECT_TRUE(Contains(last, std::to_string(pid))) << r.output;
    EXPECT_TRUE(Contains(lines[lines.size() - 2], "4 RUNNING")) << r.output;

    // The query says the same, and nothing more is added.
    r = RunTool({"query", "Crashing"});
    EXPECT_TRUE(Contains(r.output, kStopped)) << r.output;
    EXPECT_TRUE(Contains(r.output, "WIN32_EXIT_CODE    : 1067")) << r.output;
    std::vector<SERVICE_STATUS> history = vplat::ReadServiceStatusHistory("Crashing");
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(history.back().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(history[history.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// The same when a query is the first to look.
TEST(ScTool, CrashSeenFirstByAQueryIsInTheHistoryToo) {
    vtest::TempRoot root;
    ASSERT_EQ(RunTool({"create", "Crashing", "binPath=", VANTRY_SAMPLE_SERVICE}).exitStatus, 0);
    ASSERT_EQ(RunTool({"start", "Crashing"}).exitStatus, 0);
    ASSERT_TRUE(WaitForToolState("Crashing", kRunning));
    long pid = 0;
    {
        std::ifstream notes(root.path() + "/sample_service.txt");
        std::string line;
        while (std::getline(notes, line))
            if (line.compare(0, 4, "pid=") == 0)
                pid = std::stol(line.substr(4));
    }
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(WaitForToolState("Crashing", kStopped));
    RunTool({"query", "Crashing"});
    std::vector<SERVICE_STATUS> history = vplat::ReadServiceStatusHistory("Crashing");
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(history.back().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(history[history.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(ScTool, RunStaysInTheForegroundAndTurnsSigtermIntoAStop) {
    vtest::TempRoot root;
    ASSERT_EQ(RunTool({"create", "Supervised", "binPath=", VANTRY_SAMPLE_SERVICE}).exitStatus, 0);
    std::string logPath = root.path() + "/run.out";
    pid_t tool = fork();
    ASSERT_GE(tool, 0);
    if (tool == 0) {
        FILE* out = freopen(logPath.c_str(), "w", stdout);
        FILE* err = freopen(logPath.c_str(), "a", stderr);
        (void)out;
        (void)err;
        execl(VANTRY_SC_TOOL, VANTRY_SC_TOOL, "run", "Supervised", static_cast<char*>(nullptr));
        _exit(127);
    }
    bool running = WaitForToolState("Supervised", kRunning);
    // Still our child: `run` has not returned while the service runs.
    int status = 0;
    EXPECT_EQ(waitpid(tool, &status, WNOHANG), 0);
    ASSERT_EQ(kill(tool, SIGTERM), 0);
    pid_t waited = -1;
    for (int i = 0; i < 1500 && waited != tool; ++i) {
        waited = waitpid(tool, &status, WNOHANG);
        if (waited == 0)
            usleep(10000);
    }
    if (waited != tool) {
        kill(tool, SIGKILL);
        waitpid(tool, &status, 0);
        FAIL() << "vantry-sc run did not end after SIGTERM";
    }
    ASSERT_TRUE(running);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0); // the service process's own exit status

    // The signal became a stop control: the handler ran and the service
    // stopped by its own report.
    std::vector<SERVICE_STATUS> history = vplat::ReadServiceStatusHistory("Supervised");
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[history.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    std::ifstream notes(root.path() + "/sample_service.txt");
    std::string all((std::istreambuf_iterator<char>(notes)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(all, "control=1\n")) << all;
    EXPECT_TRUE(Contains(all, "dispatcher_returned=1\n")) << all;
    EXPECT_TRUE(Contains(RunTool({"query", "Supervised"}).output, kStopped));
}

TEST(ScTool, BadArgumentsGiveUsageAndANonZeroExit) {
    vtest::TempRoot root;
    ToolResult r = RunTool({});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_TRUE(Contains(r.output, "Usage:")) << r.output;
    EXPECT_EQ(RunTool({"frobnicate", "X"}).exitStatus, 2);
    EXPECT_EQ(RunTool({"query"}).exitStatus, 2);
    EXPECT_EQ(RunTool({"query", "A", "B"}).exitStatus, 2);
    r = RunTool({"create", "NoPath"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_TRUE(Contains(r.output, "binPath=")) << r.output;
    EXPECT_EQ(RunTool({"create", "X", "binPath=", "/bin/true", "start=", "sometimes"}).exitStatus,
              2);
    EXPECT_EQ(RunTool({"create", "X", "binPath="}).exitStatus, 2);
    EXPECT_EQ(RunTool({"create", "X", "colour=", "blue", "binPath=", "/bin/true"}).exitStatus, 2);
    // None of them created anything.
    r = RunTool({"query", "X"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "FAILED 1060:")) << r.output;
    r = RunTool({"run", "X"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.output, "FAILED 1060:")) << r.output;
}
