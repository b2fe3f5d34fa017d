// The event log as the service uses it (register, report, deregister) and as
// tests and administrators read it back, across processes.
#include "platform/win32.h"
#ifndef _WIN32
#include "platform/posix/eventlog_reader.h"
#endif
#include "support/TempRoot.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

[[maybe_unused]] bool Report(const char* source, WORD type, DWORD id,
                             std::vector<const char*> strings) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (h == nullptr)
        return false;
    BOOL ok = ReportEventA(h, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                           strings.empty() ? nullptr : strings.data(), nullptr);
    DeregisterEventSource(h);
    return ok == TRUE;
}

#ifndef _WIN32
// Reading the log back goes through the POSIX layer's reader: Wine keeps no
// records (its ReadEventLog finds none), so on Windows the events of the
// service are checked by the Windows stage from Wine's event-log channel.
TEST(EventLog, ReportedEventIsReadBackWithEveryField) {
    vtest::TempRoot root;
    HANDLE h = RegisterEventSourceA(nullptr, "Pellion");
    ASSERT_NE(nullptr, h);
    const char* strings[] = {"Error Opening Registry Software\\Corvane"};
    const unsigned char raw[] = {1, 0, 2};
    long long before = static_cast<long long>(time(nullptr));
    ASSERT_TRUE(ReportEventA(h, EVENTLOG_ERROR_TYPE, 3, 0xC0000004, nullptr, 1, sizeof(raw),
                             strings, const_cast<unsigned char*>(raw)));
    long long after = static_cast<long long>(time(nullptr));
    EXPECT_TRUE(DeregisterEventSource(h));

    std::vector<vplat::EventRecord> log = vplat::ReadEventLog(nullptr, 0);
    ASSERT_EQ(1u, log.size());
    const vplat::EventRecord& r = log[0];
    EXPECT_EQ("Pellion", r.source);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, r.type);
    EXPECT_EQ(3, r.category);
    EXPECT_EQ(0xC0000004u, r.eventId);
    EXPECT_EQ(std::vector<std::string>{"Error Opening Registry Software\\Corvane"}, r.strings);
    EXPECT_EQ(std::vector<unsigned char>(raw, raw + sizeof(raw)), r.data);
    EXPECT_GE(r.time, before);
    EXPECT_LE(r.time, after);
}

// The log keeps its newest records and overwrites the oldest beyond its
// limit, so that a flood of events cannot fill the disk. The limit stands in
// the log file; a small one here shows both sides of it.
TEST(EventLog, TheOldestRecordsAreOverwrittenBeyondTheLimit) {
    vtest::TempRoot root;
    ASSERT_TRUE(Report("Pellion", EVENTLOG_INFORMATION_TYPE, 1, {"first"}));
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root.path() + "/eventlog.db").c_str(), &db));
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "SELECT max_records FROM events_limit", -1, &st, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
    EXPECT_EQ(100000, sqlite3_column_int(st, 0)); // about 20 MB of this system's events
    sqlite3_finalize(st);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE events_limit SET max_records = 3", nullptr,
                                      nullptr, nullptr));
    sqlite3_close(db);

    auto Texts = [] {
        std::vector<std::string> all;
        for (const vplat::EventRecord& r : vplat::ReadEventLog(nullptr, 0))
            all.push_back(r.strings.at(0));
        return all;
    };
    ASSERT_TRUE(Report("Pellion", EVENTLOG_WARNING_TYPE, 2, {"second"}));
    ASSERT_TRUE(Report("Drennic", EVENTLOG_ERROR_TYPE, 3, {"third"}));
    EXPECT_EQ((std::vector<std::string>{"first", "second", "third"}), Texts()); // as many as fit
    ASSERT_TRUE(Report("Pellion", EVENTLOG_WARNING_TYPE, 4, {"fourth"}));
    EXPECT_EQ((std::vector<std::string>{"second", "third", "fourth"}), Texts()); // one over
    ASSERT_TRUE(Report("Pellion", EVENTLOG_WARNING_TYPE, 5, {"fifth"}));
    std::vector<vplat::EventRecord> log = vplat::ReadEventLog(nullptr, 0);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("third", log[0].strings.at(0));
    EXPECT_EQ("fifth", log[2].strings.at(0));
    EXPECT_EQ(log[0].record + 2, log[2].record); // numbers go on rising
}

TEST(EventLog, FiltersBySourceAndTypeOldestFirst) {
    vtest::TempRoot root;
    EXPECT_TRUE(vplat::ReadEventLog(nullptr, 0).empty());
    ASSERT_TRUE(Report("Pellion", EVENTLOG_INFORMATION_TYPE, 0xC0000004, {"started"}));
    ASSERT_TRUE(Report("Drennic", EVENTLOG_ERROR_TYPE, 7, {"scan failed"}));
    ASSERT_TRUE(Report("Pellion", EVENTLOG_WARNING_TYPE, 0xC0000004, {"ACCESS_DENIED host"}));
    ASSERT_TRUE(Report("Pellion", EVENTLOG_ERROR_TYPE, 0xC0000004, {"bad line", "", "third"}));

    std::vector<vplat::EventRecord> pellion = vplat::ReadEventLog("PELLION", 0);
    ASSERT_EQ(3u, pellion.size());
    EXPECT_EQ(std::vector<std::string>{"started"}, pellion[0].strings);
    EXPECT_EQ(std::vector<std::string>{"ACCESS_DENIED host"}, pellion[1].strings);
    EXPECT_EQ((std::vector<std::string>{"bad line", "", "third"}), pellion[2].strings);
    EXPECT_LT(pellion[0].record, pellion[1].record);
    EXPECT_LT(pellion[1].record, pellion[2].record);

    std::vector<vplat::EventRecord> errors = vplat::ReadEventLog(nullptr, EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ("Drennic", errors[0].source);
    EXPECT_EQ("Pellion", errors[1].source);
    EXPECT_EQ(1u, vplat::ReadEventLog("Pellion", EVENTLOG_WARNING_TYPE).size());
    EXPECT_TRUE(vplat::ReadEventLog("Nobody", 0).empty());
}

TEST(EventLog, EventWrittenByAnotherProcessIsRead) {
    vtest::TempRoot root;
    ASSERT_TRUE(Report("Pellion", EVENTLOG_INFORMATION_TYPE, 1, {"parent first"}));
    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
        bool ok = Report("Vantry SMTP Pellion", EVENTLOG_WARNING_TYPE, 0xC0000004,
                         {"written by the child"});
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));

    std::vector<vplat::EventRecord> log = vplat::ReadEventLog(nullptr, 0);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("Vantry SMTP Pellion", log[1].source);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, log[1].type);
    EXPECT_EQ(std::vector<std::string>{"written by the child"}, log[1].strings);
}

#endif

TEST(EventLog, BadHandlesAndArgumentsAreRefused) {
    if (vtest::UnderWine())
        GTEST_SKIP()
            << "Wine's ReportEvent is a partial stub that accepts any handle and arguments";
    vtest::TempRoot root;
    EXPECT_EQ(nullptr, RegisterEventSourceA(nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, RegisterEventSourceA("\\\\no-such-machine.invalid", "Pellion"));
    HANDLE local = RegisterEventSourceA(".", "Pellion");
    ASSERT_NE(nullptr, local);

    const char* strings[] = {"text", nullptr};
    EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, strings, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 8, nullptr, nullptr));

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_FALSE(ReportEventA(event, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(DeregisterEventSource(event));
    CloseHandle(event);

    EXPECT_TRUE(DeregisterEventSource(local));
    EXPECT_FALSE(ReportEventA(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
#ifndef _WIN32
    EXPECT_TRUE(vplat::ReadEventLog(nullptr, 0).empty());
#endif
}

#ifdef VANTRY_EVENTS_TOOL
struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolRun RunEvents(const vtest::TempRoot& root, const std::string& args) {
    ToolRun run;
    std::string out = root.path() + "/events.out";
    std::string err = root.path() + "/events.err";
    std::string cmd =
        std::string("'") + VANTRY_EVENTS_TOOL + "' " + args + " >'" + out + "' 2>'" + err + "'";
    int status = std::system(cmd.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream o(out), e(err);
    std::stringstream so, se;
    so << o.rdbuf();
    se << e.rdbuf();
    run.out = so.str();
    run.err = se.str();
    return run;
}

TEST(EventViewer, ShowsNewestFirstAndFilters) {
    vtest::TempRoot root;
    ASSERT_TRUE(Report("Pellion", EVENTLOG_INFORMATION_TYPE, 0xC0000004, {"Service started"}));
    ASSERT_TRUE(Report("Drennic", EVENTLOG_ERROR_TYPE, 0x10, {"pipe broken"}));
    ASSERT_TRUE(Report("Pellion", EVENTLOG_ERROR_TYPE, 0xC0000004, {"CODE 2", "line 3"}));

    ToolRun all = RunEvents(root, "");
    ASSERT_EQ(0, all.exitCode) << all.err;
    std::vector<std::string> lines;
    std::istringstream in(all.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(3u, lines.size()) << all.out;
    EXPECT_NE(std::string::npos, lines[0].find("Error"));
    EXPECT_NE(std::string::npos, lines[0].find("Pellion  0xC0000004  CODE 2 | line 3"));
    EXPECT_NE(std::string::npos, lines[1].find("Drennic  0x00000010  pipe broken"));
    EXPECT_NE(std::string::npos, lines[2].find("Information"));
    // The time leads the line: YYYY-MM-DD HH:MM:SS.
    EXPECT_EQ('-', lines[0][4]);
    EXPECT_EQ(':', lines[0][13]);

    ToolRun newest = RunEvents(root, "--source pellion --type error --count 1");
    ASSERT_EQ(0, newest.exitCode) << newest.err;
    EXPECT_NE(std::string::npos, newest.out.find("CODE 2"));
    EXPECT_EQ(std::string::npos, newest.out.find("Drennic"));
    EXPECT_EQ(1, std::count(newest.out.begin(), newest.out.end(), '\n'));

    ToolRun warnings = RunEvents(root, "--type warning");
    EXPECT_EQ(0, warnings.exitCode);
    EXPECT_TRUE(warnings.out.empty());
}

TEST(EventViewer, BadArgumentsFailWithAMessage) {
    vtest::TempRoot root;
    for (const char* args :
         {"--type fatal", "--count 0", "--count x", "--count", "--colour red", "--source ''"}) {
        ToolRun run = RunEvents(root, args);
        EXPECT_NE(0, run.exitCode) << args;
        EXPECT_NE(std::string::npos, run.err.find("vantry-events:")) << args;
    }
}
#endif

} // namespace
