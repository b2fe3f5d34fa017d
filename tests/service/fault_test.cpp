// Faults during set_config, against the real service: the registry locked by
// another process, the service killed in the middle of a save, a full disk.
// Whatever happens, the scanner's configuration afterwards is the old one or
// the new one, never a mixture, and the service goes on serving.
#include "PellionHarness.h"
#include "platform/posix/service_internal.h"
#include "platform/posix/service_status_reader.h"
#include "support/TestThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sqlite3.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vtest::Ask;
using vtest::Client;
using vtest::Pellion;

// Two configurations that differ in every setting they name; the block list
// is long, so that a save writes well over a page.
struct Configuration {
    const char* name;
    const char* readPort;
    const char* sendPort;
    const char* domain;
    const char* admin;
    char blockWord;
};

const Configuration kOld = {"old", "2525", "2526", "old.example", "admin@old.example", 'o'};
const Configuration kNew = {"new", "3525", "3526", "new.example", "admin@new.example", 'n'};

std::string BlockList(char word, size_t length) {
    std::string list;
    while (list.size() + 16 < length)
        list += std::string(1, word) + "blocked" + std::to_string(list.size()) + ".example ";
    return list;
}

std::string SetConfigLines(const Configuration& c, size_t blockListLength) {
    return std::string("SMTP_READ_PORT='") + c.readPort + "'\r\n" + "SMTP_SEND_PORT='" +
           c.sendPort + "'\r\n" + "SMTP_DEFAULT_DOMAIN='" + c.domain + "'\r\n" +
           "SMTP_VANTRY_ADMIN='" + c.admin + "'\r\n" + "SMTP_BLOCK_LIST='" +
           BlockList(c.blockWord, blockListLength) + "'\r\n";
}

std::string SetConfig(const Configuration& c, size_t blockListLength = 20000) {
    return "set_config\r\n" + SetConfigLines(c, blockListLength) + "\r\n";
}

std::string ReplyValue(const std::string& reply, const std::string& key) {
    std::string head = "\n" + key + "='";
    size_t at = reply.find(head);
    if (at == std::string::npos)
        return "(missing)";
    at += head.size();
    size_t end = reply.find("'\n", at);
    return reply.substr(at, end - at);
}

// Which configuration get_config shows: "old", "new", "defaults", or a list of
// what disagrees.
std::string Which(const std::string& reply, size_t blockListLength = 20000) {
    auto matches = [&](const Configuration& c) {
        return ReplyValue(reply, "SMTP_READ_PORT") == c.readPort &&
               ReplyValue(reply, "SMTP_SEND_PORT") == c.sendPort &&
               ReplyValue(reply, "SMTP_DEFAULT_DOMAIN") == c.domain &&
               ReplyValue(reply, "SMTP_VANTRY_ADMIN") == c.admin &&
               ReplyValue(reply, "SMTP_BLOCK_LIST") == BlockList(c.blockWord, blockListLength);
    };
    if (matches(kOld))
        return kOld.name;
    if (matches(kNew))
        return kNew.name;
    if (ReplyValue(reply, "SMTP_READ_PORT") == "25" &&
        ReplyValue(reply, "SMTP_DEFAULT_DOMAIN").empty() &&
        ReplyValue(reply, "SMTP_BLOCK_LIST").empty())
        return "defaults";
    return "mixed: port " + ReplyValue(reply, "SMTP_READ_PORT") + ", domain " +
           ReplyValue(reply, "SMTP_DEFAULT_DOMAIN") + ", block list of " +
           std::to_string(ReplyValue(reply, "SMTP_BLOCK_LIST").size()) + " characters";
}

long ServicePid() {
    auto records = vplat::ReadServiceStatusRecords("Vantry SMTP Pellion");
    return records.empty() ? 0 : static_cast<long>(records.back().pid);
}

TEST(SetConfigFaults, RegistryLockedByAnotherProcessFailsTheSaveWholeAndTheNextRequestIsServed) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    ASSERT_EQ(Ask(pellion.port(), SetConfig(kOld)), "CODE 0\r\n");

    // The new configuration is sent up to its end line; the handler has
    // read the settings when the registry is taken.
    Client client(pellion.port());
    client.Send("set_config\r\n" + SetConfigLines(kNew, 20000));
    Sleep(2500);

    // Another process takes the registry's write lock and holds it for
    // longer than the service waits for it.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t locker = fork();
    ASSERT_GE(locker, 0);
    if (locker == 0) {
        sqlite3* db = nullptr;
        int ok = sqlite3_open((pellion.root() + "/registry.db").c_str(), &db) == SQLITE_OK &&
                 sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
                 sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        char c = ok ? '1' : '0';
        if (write(ready[1], &c, 1) != 1)
            _exit(2);
        if (ok)
            sleep(14);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1') << "the registry could not be locked";
    DWORD lockedAt = GetTickCount();

    client.Send("\r\n");
    std::string reply = client.ReadAll(40000);
    EXPECT_EQ(reply, "CODE 3 MESSAGE Error saving config to registry " SCANNER_KEY "\r\n");
    // It failed after waiting for the lock, while the lock was still held.
    EXPECT_LT(client.firstByteAt - lockedAt, 14000u);
    int status = 0;
    waitpid(locker, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
    close(ready[1]);

    // Nothing of the new configuration was saved; the service goes on.
    EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n")), "old");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n"), "NT_SMTP\r\n");
    EXPECT_TRUE(
        pellion.HasEvent("Error saving config to registry " SCANNER_KEY, EVENTLOG_ERROR_TYPE));
    // And the next save goes through.
    EXPECT_EQ(Ask(pellion.port(), SetConfig(kNew)), "CODE 0\r\n");
    EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n")), "new");
}

// The milliseconds in the middle of a sorted list of durations.
DWORD Median(std::vector<DWORD> times) {
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

// Another process holds the registry's write lock for 25 s, well past the
// 10 s a write waits for it. Admission and reads take no write lock: every
// administrator is admitted and answered while it lasts (get_config too,
// from the configuration as it was); a set_config fails whole, during the
// lock, and leaves nothing behind.
TEST(SetConfigFaults, RegistryWriteLockHeldElsewhereKeepsAdministratorsServed) {
    const DWORD kHoldMs = 25000;
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    ASSERT_EQ(Ask(pellion.port(), SetConfig(kOld)), "CODE 0\r\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t locker = fork();
    ASSERT_GE(locker, 0);
    if (locker == 0) {
        sqlite3* db = nullptr;
        int ok = sqlite3_open((pellion.root() + "/registry.db").c_str(), &db) == SQLITE_OK &&
                 sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
                 sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        char c = ok ? '1' : '0';
        if (write(ready[1], &c, 1) == 1 && ok)
            usleep(kHoldMs * 1000);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1') << "the registry could not be locked";
    const DWORD lockedAt = GetTickCount();

    std::string saveReply;
    DWORD savedAt = 0;
    vtest::TestThread saver([&] {
        Client client(pellion.port());
        client.Send(SetConfig(kNew));
        saveReply = client.ReadAll(40000);
        savedAt = client.firstByteAt;
    });
    int asked = 0, answered = 0, status = 0;
    std::vector<DWORD> times;
    std::string seen = "(not asked)";
    while (waitpid(locker, &status, WNOHANG) == 0) {
        const bool config = asked == 0;
        Client client(pellion.port());
        client.Send(config ? "get_config\r\n" : "get_server_type\n");
        std::string reply = client.ReadAll(40000);
        ++asked;
        if (config)
            seen = Which(reply);
        if (config ? seen == "old" : reply == "NT_SMTP\r\n") {
            ++answered;
            times.push_back(client.firstByteAt - client.connectedAt());
        }
    }
    saver.join();
    printf("registry locked %lu ms: answered %d of %d, worst %lu ms, median %lu ms; set_config "
           "answered %lu ms into the lock\n",
           static_cast<unsigned long>(GetTickCount() - lockedAt), answered, asked,
           static_cast<unsigned long>(
               times.empty() ? 0 : *std::max_element(times.begin(), times.end())),
           static_cast<unsigned long>(Median(times)),
           static_cast<unsigned long>(savedAt - lockedAt));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(seen, "old");
    EXPECT_EQ(answered, asked);
    EXPECT_GE(asked, 5);
    EXPECT_EQ(saveReply, "CODE 3 MESSAGE Error saving config to registry " SCANNER_KEY "\r\n");
    EXPECT_LT(savedAt - lockedAt, kHoldMs);
    EXPECT_EQ(pellion.CountEvents("Error Opening Registry " SERVICE_KEY, EVENTLOG_ERROR_TYPE), 0u);
    // Nothing of the failed save is there; the next one goes through.
    EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n")), "old");
    EXPECT_EQ(Ask(pellion.port(), SetConfig(kNew)), "CODE 0\r\n");
    EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n")), "new");
}

TEST(SetConfigFaults, ServiceKilledDuringSavesKeepsTheOldOrTheNewConfiguration) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    // How long a save takes from the request to its answer, here and now.
    DWORD answerTime = 0;
    {
        Client client(pellion.port());
        client.Send(SetConfig(kNew, 70000));
        ASSERT_EQ(client.ReadAll(), "CODE 0\r\n");
        answerTime = client.firstByteAt - client.connectedAt();
    }
    ASSERT_EQ(Ask(pellion.port(), SetConfig(kOld, 70000)), "CODE 0\r\n");
    ASSERT_GT(answerTime, 1000u);
    std::string current = "old";
    int keptOld = 0, tookNew = 0;
    // The kills land at different moments of the last stretch before the
    // answer, where the lines are applied and the save is written.
    const DWORD before[] = {60, 40, 30, 20, 15, 10, 6, 3, 1, 0};
    for (DWORD early : before) {
        const DWORD delay = answerTime - early;
        const Configuration& target = current == "old" ? kNew : kOld;
        long pid = ServicePid();
        ASSERT_GT(pid, 0);
        {
            Client client(pellion.port());
            client.Send(SetConfig(target, 70000));
            while (GetTickCount() - client.connectedAt() < delay)
                Sleep(1);
            ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
            for (int i = 0; i < 200 && kill(static_cast<pid_t>(pid), 0) == 0; ++i)
                Sleep(10);
        }
        ASSERT_TRUE(pellion.WaitFor(SERVICE_STOPPED));
        ASSERT_TRUE(pellion.Start() && pellion.WaitFor(SERVICE_RUNNING));
        std::string now = Which(Ask(pellion.port(), "get_config\r\n"), 70000);
        ASSERT_TRUE(now == current || now == target.name)
            << "after a kill " << delay << " ms into the request: " << now;
        if (now == current)
            ++keptOld;
        else
            ++tookNew;
        current = now;
    }
    printf("kills during set_config (answered after %lu ms): %d kept the old configuration, %d "
           "had the new one\n",
           static_cast<unsigned long>(answerTime), keptOld, tookNew);
    // The crash is in the service's history, as the manager saw it.
    std::vector<SERVICE_STATUS> history = pellion.History();
    int crashes = 0;
    for (const SERVICE_STATUS& s : history)
        if (s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode == ERROR_PROCESS_ABORTED)
            ++crashes;
    EXPECT_EQ(crashes, 10);
}

// A small file system of its own for the platform root, filled to the last
// byte before the save. Needs the right to mount (root in a container).
class FullDisk {
public:
    FullDisk() {
        char dir[] = "/tmp/vantry-full-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        dir_ = dir;
        mounted_ = mount("tmpfs", dir, "tmpfs", 0, "size=24m") == 0;
        const char* tmp = getenv("TMPDIR");
        hadTmp_ = tmp != nullptr;
        oldTmp_ = tmp != nullptr ? tmp : "";
        if (mounted_)
            setenv("TMPDIR", dir, 1); // the test's platform root is made here
    }
    ~FullDisk() {
        if (hadTmp_)
            setenv("TMPDIR", oldTmp_.c_str(), 1);
        else
            unsetenv("TMPDIR");
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    bool mounted() const { return mounted_; }

    // Writes a filler file until the file system is full.
    bool Fill() {
        int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        std::string chunk(4096, 'f');
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        bool full = errno == ENOSPC;
        while (write(fd, chunk.data(), 1) > 0) {
        }
        close(fd);
        return full;
    }
    void Free() { unlink((dir_ + "/filler").c_str()); }

private:
    std::string dir_;
    std::string oldTmp_;
    bool hadTmp_ = false;
    bool mounted_ = false;
};

TEST(SetConfigFaults, FullDiskFailsTheSaveWholeAndTheServiceGoesOn) {
    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no right to mount a small file system here";
    {
        Pellion pellion;
        ASSERT_TRUE(pellion.InstallAndStart());
        ASSERT_EQ(Ask(pellion.port(), SetConfig(kOld, 2000)), "CODE 0\r\n");
        ASSERT_EQ(Which(Ask(pellion.port(), "get_config\r\n"), 2000), "old");

        ASSERT_TRUE(disk.Fill());
        // A save far larger than any before it: the registry must grow.
        std::string reply = Ask(pellion.port(), SetConfig(kNew, 70000));
        EXPECT_EQ(reply, "CODE 3 MESSAGE Error saving config to registry " SCANNER_KEY "\r\n");
        EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n"), 2000), "old");
        EXPECT_EQ(Ask(pellion.port(), "get_server_type\n"), "NT_SMTP\r\n");

        disk.Free();
        EXPECT_EQ(Ask(pellion.port(), SetConfig(kNew, 70000)), "CODE 0\r\n");
        EXPECT_EQ(Which(Ask(pellion.port(), "get_config\r\n"), 70000), "new");
        EXPECT_TRUE(pellion.Stop());
    }
}

// The service manager on a full disk: what it says of a service stays true
// when its files cannot grow. A running service is never reported stopped, a
// stop reaches it, its clean stop stays clean (not "aborted") however often
// it is asked after the process has gone, and the history holds each report
// once. Twice: started before the disk filled, and started on the full disk.
TEST(ServiceManagerFaults, FullDiskKeepsStartStopQueryAndHistoryTrue) {
    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no right to mount a small file system here (root in a container)";
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    ASSERT_TRUE(pellion.drennic().Install()); // installed, never started: no record yet
    ASSERT_TRUE(disk.Fill());
    // A service whose first record cannot be written is not started at all:
    // the manager could not follow it.
    EXPECT_FALSE(pellion.drennic().Start());
    EXPECT_EQ(pellion.drennic().lastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(pellion.drennic().Query().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            ASSERT_TRUE(pellion.Start()) << "start on the full disk: " << pellion.lastError();
            ASSERT_TRUE(pellion.WaitFor(SERVICE_RUNNING, 10000));
        }
        const long pid = ServicePid();
        ASSERT_TRUE(vplat::ProcessAlive(pid)) << round;
        EXPECT_EQ(Ask(pellion.port(), "get_server_type\n"), "NT_SMTP\r\n") << round;
        EXPECT_EQ(pellion.Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << round;
        const size_t before = pellion.History().size();
        BOOL reached = FALSE;
        pellion.Control(SERVICE_CONTROL_STOP, &reached);
        EXPECT_TRUE(reached) << "the stop did not reach the service, round " << round;
        ASSERT_TRUE(pellion.WaitFor(SERVICE_STOPPED, 40000)) << round;
        for (DWORD start = GetTickCount(); vplat::ProcessAlive(pid);) {
            ASSERT_LT(GetTickCount() - start, 20000u) << "the process did not end";
            Sleep(10);
        }
        for (int ask = 0; ask < 3; ++ask) {
            SERVICE_STATUS now = pellion.Query();
            EXPECT_EQ(now.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << round;
            EXPECT_EQ(now.dwWin32ExitCode, 0u) << round << " ask " << ask;
        }
        std::vector<SERVICE_STATUS> history = pellion.History();
        ASSERT_GT(history.size(), before) << round;
        int stops = 0;
        for (size_t i = before; i < history.size(); ++i)
            if (history[i].dwCurrentState == SERVICE_STOPPED) {
                ++stops;
                EXPECT_EQ(history[i].dwWin32ExitCode, 0u) << round;
            }
        EXPECT_EQ(stops, 1) << round;
        EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << round;
    }
    disk.Free();
}

} // namespace
