// End to end: the real pellion, run as a service in its own platform root,
// starts the real quennel from the install folder; what quennel received is
// read from its record (quennel.log beside it), what pellion did from the
// event log and from its standard output (the service's log file).
#include "PellionHarness.h"
#include "platform/posix/internal.h"
#include "update/AutoUpdateScheduler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kDefaultInstall = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";

void SetAutoUpd(const char* name, DWORD value) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, AUTOUPD_KEY, 1);
    key.Write(name, value);
}

void SetAutoUpd(const char* name, const char* text) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, AUTOUPD_KEY, 1);
    key.Write(name, text);
}

// A schedule whose scheduled runs cannot come during a test: two hours ahead.
void ScheduleLater(DWORD schedType, DWORD atStartup) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    SetAutoUpd("Configured", 1u);
    SetAutoUpd("Hours", static_cast<DWORD>((now.wHour + 2) % 24 == 0 ? 24 : (now.wHour + 2) % 24));
    SetAutoUpd("Days", 1u);
    SetAutoUpd("UnitType", "Days");
    SetAutoUpd("SchedType", schedType);
    SetAutoUpd("AtSystemStartup", atStartup);
}

void SetInstallPath(const char* path) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1);
    key.Write("Install_Path", path);
}

bool InstallQuennel(const std::string& folder) {
    return vtest::RunCommand(std::string("'") + QUENNEL_EXE + "' install-into-place '" + folder +
                             "'")
               .exitStatus == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// One line of quennel's record, split at its tabs.
std::vector<std::vector<std::string>> Record(const std::string& folder) {
    std::vector<std::vector<std::string>> lines;
    std::string text = ReadFile(vplat::MapWindowsPath((folder + "quennel.log").c_str()));
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        lines.push_back(fields);
    }
    return lines;
}

// The runs in the record: each run's arguments.
std::vector<std::vector<std::string>> Runs(const std::string& folder) {
    std::vector<std::vector<std::string>> runs;
    for (const auto& fields : Record(folder))
        if (fields.size() >= 4 && fields[2] == "run")
            runs.push_back(std::vector<std::string>(fields.begin() + 4, fields.end()));
    return runs;
}

// The time of the first record line of that kind ("run", "hold", "release").
std::string TimeOf(const std::string& folder, const std::string& kind) {
    for (const auto& fields : Record(folder))
        if (fields.size() >= 3 && fields[2] == kind)
            return fields[0];
    return std::string();
}

bool WaitForRecord(const std::string& folder, const std::string& kind) {
    return vtest::WaitUntil([&] { return !TimeOf(folder, kind).empty(); });
}

bool WaitForEvent(vtest::Pellion& pellion, const char* text, WORD type) {
    return vtest::WaitUntil([&] { return pellion.HasEvent(text, type); });
}

std::string ServiceOutput(const vtest::Pellion& pellion) {
    return ReadFile(pellion.root() + "/services/vantry smtp pellion.log");
}

// Installed and running; generous, for a loaded machine.
bool InstallAndStart(vtest::Pellion& pellion) {
    return pellion.Install() && pellion.Start() && pellion.WaitFor(SERVICE_RUNNING);
}

const char* const kTriggered = "AutoUpdate Scheduler event triggered";
const char* const kFailed = "AutoUpdate Scheduler event triggered, but failed to run";

TEST(AutoUpdate, StartupRunStartsQuennelOnceWithTheOneArgumentAutoupdate) {
    vtest::Pellion pellion;
    ASSERT_TRUE(InstallQuennel(kDefaultInstall));
    ScheduleLater(0, 1);
    SetAutoUpd("Hours", 12u); // midnight, and SchedType 0: no scheduled run anyway
    ASSERT_TRUE(InstallAndStart(pellion));
    ASSERT_TRUE(WaitForRecord(kDefaultInstall, "run"));
    ASSERT_TRUE(WaitForEvent(pellion, kTriggered, EVENTLOG_INFORMATION_TYPE));
    Sleep(1500); // time enough for a second run, were there one
    EXPECT_EQ(Runs(kDefaultInstall), std::vector<std::vector<std::string>>{{"autoupdate"}});
    EXPECT_FALSE(pellion.HasEvent(kFailed, EVENTLOG_ERROR_TYPE));
    ASSERT_TRUE(pellion.Stop());
    // Configure's trace line: start hour, interval, unit letter.
    EXPECT_NE(ServiceOutput(pellion).find("0 1 D\r\n"), std::string::npos)
        << ServiceOutput(pellion);
    int triggered = 0;
    for (const auto& text : pellion.EventTexts())
        triggered += text == kTriggered;
    EXPECT_EQ(triggered, 1);
}

TEST(AutoUpdate, QuennelTold_HoldsTheScheduleMutexAfterItsRun) {
    vtest::Pellion pellion;
    ASSERT_TRUE(InstallQuennel(kDefaultInstall));
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY "\\Quennel", 1);
        key.Write("Hold_Schedule_Seconds", 1u);
    }
    ScheduleLater(0, 1);
    ASSERT_TRUE(InstallAndStart(pellion));
    ASSERT_TRUE(WaitForRecord(kDefaultInstall, "release"));
    std::vector<std::string> kinds;
    for (const auto& fields : Record(kDefaultInstall))
        kinds.push_back(fields.size() >= 3 ? fields[2] : "");
    EXPECT_EQ(kinds, (std::vector<std::string>{"run", "hold", "release"}));
    EXPECT_EQ(Runs(kDefaultInstall), std::vector<std::vector<std::string>>{{"autoupdate"}});
    ASSERT_TRUE(pellion.Stop());
}

TEST(Quennel, RecordsEachRunsArgumentsAsReceived) {
    vtest::TempRoot root;
    const std::string folder = "C:\\Quennel Test\\";
    ASSERT_TRUE(InstallQuennel(folder));
    char line[] = "\"C:\\Quennel Test\\quennel.exe\" autoupdate \"two words\" back\\slash "
                  "\"tab\there\" \"\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                               nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, vtest::kSafetyMs), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::vector<std::vector<std::string>> lines = Record(folder);
    ASSERT_EQ(lines.size(), 1u);
    // time, process id, "run", the count, each argument (escaped).
    EXPECT_EQ(lines[0].size(), 9u);
    EXPECT_EQ(lines[0][0].size(), strlen("2027-01-01 09:00:00.000")) << lines[0][0];
    EXPECT_EQ(lines[0][1], std::to_string(pi.dwProcessId));
    EXPECT_EQ(std::vector<std::string>(lines[0].begin() + 2, lines[0].end()),
              (std::vector<std::string>{"run", "5", "autoupdate", "two words", "back\\\\slash",
                                        "tab\\there", ""}));
}

TEST(AutoUpdate, NotConfiguredMeansNoStartupRun) {
    vtest::Pellion pellion;
    ASSERT_TRUE(InstallQuennel(kDefaultInstall));
    ScheduleLater(1, 1);
    SetAutoUpd("Configured", 0u);
    ASSERT_TRUE(InstallAndStart(pellion));
    Sleep(1500);
    ASSERT_TRUE(pellion.Stop());
    EXPECT_TRUE(Runs(kDefaultInstall).empty());
    EXPECT_FALSE(pellion.HasEvent(kTriggered, EVENTLOG_INFORMATION_TYPE));
    EXPECT_NE(ServiceOutput(pellion).find("9 7 D\r\n"), std::string::npos)
        << ServiceOutput(pellion);
}

TEST(AutoUpdate, MissingQuennelIsLoggedAsFailedToRun) {
    vtest::Pellion pellion;
    ScheduleLater(0, 1);
    ASSERT_TRUE(InstallAndStart(pellion));
    ASSERT_TRUE(WaitForEvent(pellion, kFailed, EVENTLOG_ERROR_TYPE));
    EXPECT_TRUE(pellion.HasEvent(kTriggered, EVENTLOG_INFORMATION_TYPE));
    // The service runs on.
    EXPECT_EQ(pellion.Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(pellion.Stop());
}

TEST(AutoUpdate, InstallPathWithSpacesRunsQuennelAndNotAProgramAtItsFirstWord) {
    vtest::Pellion pellion;
    const std::string folder = "C:\\Program Files\\Vantry Gateway\\";
    SetInstallPath(folder.c_str());
    ASSERT_TRUE(InstallQuennel(folder));
    // Programs planted where an unquoted path would be tried first:
    // "C:\Program" (".exe" appended) and "C:\Program Files\Vantry".
    ASSERT_TRUE(InstallQuennel("C:\\"));
    ASSERT_TRUE(CopyFileA((std::string("C:\\quennel.exe")).c_str(), "C:\\Program.exe", FALSE));
    ASSERT_TRUE(CopyFileA("C:\\quennel.exe", "C:\\Program Files\\Vantry.exe", FALSE));
    ScheduleLater(0, 1);
    SetAutoUpd("Randomize", 1u); // and no delay with the start-up run
    DWORD started = GetTickCount();
    ASSERT_TRUE(InstallAndStart(pellion));
    ASSERT_TRUE(WaitForRecord(folder, "run"));
    EXPECT_LT(GetTickCount() - started, 20000u);
    Sleep(500);
    EXPECT_EQ(Runs(folder), std::vector<std::vector<std::string>>{{"autoupdate"}});
    // The planted copies record beside themselves: nothing there.
    EXPECT_TRUE(Runs("C:\\").empty());
    EXPECT_TRUE(Runs("C:\\Program Files\\").empty());
    ASSERT_TRUE(pellion.Stop());
}

TEST(AutoUpdate, ServiceStopsWithinTwoSecondsWhileTheSchedulerSleeps) {
    vtest::Pellion pellion;
    ASSERT_TRUE(InstallQuennel(kDefaultInstall));
    ScheduleLater(1, 0);
    ASSERT_TRUE(InstallAndStart(pellion));
    Sleep(1000); // the scheduler has looked at the clock and sleeps its 30 s
    DWORD before = GetTickCount();
    ASSERT_TRUE(pellion.Stop());
    EXPECT_LT(GetTickCount() - before, 2000u);
    EXPECT_TRUE(Runs(kDefaultInstall).empty());
}

// SLOW (about 47 s): the schedule mutex's 30-second wait is fixed.
TEST(AutoUpdate, ScheduleMutexHeldElsewhereDelaysThirtySecondsAndNoMore_Slow) {
    vtest::Pellion pellion;
    ASSERT_TRUE(InstallQuennel(kDefaultInstall));
    const std::string holderFolder = "C:\\Holder\\";
    ASSERT_TRUE(InstallQuennel(holderFolder));
    char line[] = "\"C:\\Holder\\quennel.exe\" hold-schedule 45";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                               nullptr, nullptr, &si, &pi));
    ASSERT_TRUE(WaitForRecord(holderFolder, "hold"));
    DWORD held = GetTickCount();
    ScheduleLater(0, 1);
    ASSERT_TRUE(pellion.Install());
    ASSERT_TRUE(pellion.Start());
    // Configure waits 30 s for the mutex, then goes on without it, while the
    // other process still holds it.
    ASSERT_TRUE(pellion.WaitFor(SERVICE_RUNNING));
    DWORD running = GetTickCount() - held;
    EXPECT_GE(running, 29000u);
    EXPECT_LT(running, 44000u);
    EXPECT_TRUE(TimeOf(holderFolder, "release").empty()); // still held then
    // The start-up run waits for the mutex again and gets it at the release.
    ASSERT_TRUE(WaitForRecord(kDefaultInstall, "run"));
    std::string released = TimeOf(holderFolder, "release");
    ASSERT_FALSE(released.empty());
    EXPECT_GE(TimeOf(kDefaultInstall, "run"), released);
    EXPECT_EQ(Runs(kDefaultInstall), std::vector<std::vector<std::string>>{{"autoupdate"}});
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, vtest::kSafetyMs), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    ASSERT_TRUE(pellion.Stop());
}

} // namespace
