// Starting programs, named mutexes and the local time, as the auto-update
// scheduler and the reaction plug-in use them, stated through the Win32 calls.
// The started program is process_probe, which records its arguments in the
// registry under its process id.
#include "platform/win32.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::string ProbePath() {
    char self[1024] = {0};
    GetModuleFileNameA(nullptr, self, sizeof(self) - 1);
    std::string path(self);
    size_t slash = path.find_last_of("/\\");
    path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
#ifdef _WIN32
    return path + "process_probe.exe";
#else
    return path + "process_probe";
#endif
}

// A folder of this test on drive C: (inside the platform root on POSIX; on
// Windows drive C: is the machine's, shared by the tests of one run).
std::string TestFolder() {
    static unsigned serial = 0;
    char name[64];
    do {
        snprintf(name, sizeof(name), "C:\\vt-process-%lu-%u",
                 static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
    } while (!CreateDirectoryA(name, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    return name;
}

struct Started {
    BOOL ok = FALSE;
    DWORD error = 0;
    PROCESS_INFORMATION pi = {};
};

Started Start(const std::string& commandLine, const char* application = nullptr,
              LPVOID environment = nullptr) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOW;
    Started s;
    s.ok = CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          environment, nullptr, &si, &s.pi);
    s.error = GetLastError();
    return s;
}

// Waits for the process, closes its handles, returns its exit code.
DWORD Finish(Started& s) {
    EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 12345;
    EXPECT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
    CloseHandle(s.pi.hThread);
    CloseHandle(s.pi.hProcess);
    return code;
}

// The probes' notes of earlier tests go: on Windows the registry is the
// machine's, and a new probe may have the id of an old one.
void ClearProbeNotes() {
    HKEY probes = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\VantryTests\\Probe", 0, KEY_ALL_ACCESS,
                      &probes) != ERROR_SUCCESS)
        return;
    char name[64];
    DWORD cch = sizeof(name);
    while (RegEnumKeyExA(probes, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS &&
           RegDeleteKeyA(probes, name) == ERROR_SUCCESS)
        cch = sizeof(name);
    RegCloseKey(probes);
}

std::string ProbeKey(DWORD pid) {
    char path[128];
    snprintf(path, sizeof(path), "Software\\VantryTests\\Probe\\%lu",
             static_cast<unsigned long>(pid));
    return path;
}

bool ReadText(DWORD pid, const char* name, std::string* text) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProbeKey(pid).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    char buf[2048] = {0};
    DWORD size = sizeof(buf) - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    *text = buf;
    return true;
}

DWORD ReadNumber(DWORD pid, const char* name, DWORD missing = 0xFFFFFFFF) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProbeKey(pid).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return missing;
    DWORD value = missing;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        value = missing;
    RegCloseKey(key);
    return value;
}

// The arguments after argv[0] as the probe received them.
std::vector<std::string> ProbeArgs(DWORD pid) {
    std::vector<std::string> args;
    DWORD argc = ReadNumber(pid, "argc", 0);
    for (DWORD i = 1; i < argc; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "arg%lu", static_cast<unsigned long>(i));
        std::string text;
        EXPECT_TRUE(ReadText(pid, name, &text)) << name;
        args.push_back(text);
    }
    return args;
}

bool WaitForNumber(DWORD pid, const char* name, DWORD value) {
    return vtest::WaitUntil([&] { return ReadNumber(pid, name) == value; });
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

TEST(CreateProcess, ArgumentsAreSplitAsTheProgramsRuntimeSplitsThem) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    // Each row: the text after the program, and the arguments it must give.
    struct Row {
        const char* tail;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {" autoupdate", {"autoupdate"}},
        {"", {}},
        {"  a \t b  ", {"a", "b"}},
        {" \"b c\" d", {"b c", "d"}},
        {" a\"b c\"d", {"ab cd"}},
        {" d\\\"e", {"d\"e"}},           // 1 backslash + quote: a literal quote
        {" \"f\\\\\" g", {"f\\", "g"}},  // 2 backslashes + quote: one backslash, quote ends
        {" g\\\\\\\\h", {"g\\\\\\\\h"}}, // backslashes not before a quote stay as they are
        {" \"\"", {""}},                 // an empty quoted argument
        {" \"a\"\"b\"", {"a\"b"}},       // "" inside quotes: a literal quote
        {" C:\\Program Files\\x", {"C:\\Program", "Files\\x"}},
    };
    for (const Row& row : rows) {
        Started s = Start(Quoted(ProbePath()) + row.tail);
        ASSERT_TRUE(s.ok) << row.tail << " error " << s.error;
        DWORD code = Finish(s);
        EXPECT_EQ(code, row.args.size()) << row.tail;
        EXPECT_EQ(ProbeArgs(s.pi.dwProcessId), row.args) << "[" << row.tail << "]";
    }
}

TEST(CreateProcess, UnquotedPathWithSpacesRunsAProgramPlantedAtItsFirstWord) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    std::string folder = TestFolder();
    std::string tools = folder + "\\My Tools";
    ASSERT_TRUE(CreateDirectoryA(tools.c_str(), nullptr));
    std::string real = tools + "\\probe.exe";
    std::string planted = folder + "\\My.exe";
    ASSERT_TRUE(CopyFileA(ProbePath().c_str(), real.c_str(), FALSE));

    // Nothing planted yet: the unquoted line finds the program at its full path,
    // but the program's runtime still splits its own path at the space.
    Started clean = Start(real + " autoupdate");
    ASSERT_TRUE(clean.ok) << clean.error;
    Finish(clean);
    std::vector<std::string> split = {"Tools\\probe.exe", "autoupdate"};
    if (!vtest::UnderWine()) { // Wine quotes the program it found in the line it passes on
        EXPECT_EQ(ProbeArgs(clean.pi.dwProcessId), split);
    }

    ASSERT_TRUE(CopyFileA(ProbePath().c_str(), planted.c_str(), FALSE));
    Started unquoted = Start(real + " autoupdate");
    ASSERT_TRUE(unquoted.ok) << unquoted.error;
    Finish(unquoted);
    std::string program;
    ASSERT_TRUE(ReadText(unquoted.pi.dwProcessId, "program", &program));
    EXPECT_NE(program.find("My.exe"), std::string::npos) << program;
    EXPECT_EQ(program.find("probe.exe"), std::string::npos) << program;

    // Quoted, the program is exactly the quoted path, and it gets one argument.
    Started quoted = Start(Quoted(real) + " autoupdate");
    ASSERT_TRUE(quoted.ok) << quoted.error;
    EXPECT_EQ(Finish(quoted), 1u);
    ASSERT_TRUE(ReadText(quoted.pi.dwProcessId, "program", &program));
    EXPECT_NE(program.find("probe.exe"), std::string::npos) << program;
    EXPECT_EQ(ProbeArgs(quoted.pi.dwProcessId), std::vector<std::string>{"autoupdate"});
}

TEST(CreateProcess, DoubledBackslashInTheProgramPathStillNamesTheProgram) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    std::string folder = TestFolder() + "\\Install Dir\\";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(ProbePath().c_str(), (folder + "quennel.exe").c_str(), FALSE));
    // An install folder that ends in a backslash, joined with "\quennel.exe".
    Started s = Start(Quoted(folder + "\\quennel.exe") + " autoupdate");
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(Finish(s), 1u);
    EXPECT_EQ(ProbeArgs(s.pi.dwProcessId), std::vector<std::string>{"autoupdate"});
}

TEST(CreateProcess, MissingProgramFailsWithFileNotFound) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    std::string folder = TestFolder();
    Started s = Start(Quoted(folder + "\\absent.exe") + " autoupdate");
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Started nowhere = Start(Quoted(folder + "\\no such folder\\absent.exe") + " x");
    EXPECT_FALSE(nowhere.ok);
    EXPECT_TRUE(nowhere.error == ERROR_PATH_NOT_FOUND || nowhere.error == ERROR_FILE_NOT_FOUND)
        << nowhere.error;
}

TEST(CreateProcess, ApplicationNameIsTheProgramAndTheLineItsArguments) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    std::string probe = ProbePath();
    Started s = Start("ignored-name first second", probe.c_str());
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(Finish(s), 2u);
    std::string arg0;
    EXPECT_TRUE(ReadText(s.pi.dwProcessId, "arg0", &arg0));
    EXPECT_EQ(arg0, "ignored-name");
    EXPECT_EQ(ProbeArgs(s.pi.dwProcessId), (std::vector<std::string>{"first", "second"}));
}

TEST(CreateProcess, HandlesAreSignalledAtTheEndAndGiveTheExitCode) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    Started s = Start(Quoted(ProbePath()) + " --sleep=400 --exit=7");
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_NE(s.pi.dwProcessId, 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE)) << "still running";
    EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(s.pi.hThread, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(Finish(s), 7u);
}

TEST(CreateProcess, EnvironmentBlockReplacesTheCallers) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    std::string block("VT_PROBE_ENV=from the block");
    block.push_back('\0');
#ifndef _WIN32
    // The child still needs to find the platform root.
    block += std::string("VANTRY_PLATFORM_ROOT=") + root.path();
    block.push_back('\0');
#endif
    block.push_back('\0');
    Started s = Start(Quoted(ProbePath()), nullptr, &block[0]);
    ASSERT_TRUE(s.ok) << s.error;
    Finish(s);
    std::string env;
    EXPECT_TRUE(ReadText(s.pi.dwProcessId, "env", &env));
    EXPECT_EQ(env, "from the block");
}

#ifndef _WIN32
TEST(CreateProcess, StartedProgramIsDetachedFromTheCallersStreamsAndDescriptors) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    HANDLE kept = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FILE* open = fopen((root.path() + "/held-open").c_str(), "w"); // a descriptor of ours
    ASSERT_NE(open, nullptr);
    Started s = Start(Quoted(ProbePath()));
    ASSERT_TRUE(s.ok) << s.error;
    Finish(s);
    fclose(open);
    CloseHandle(kept);
    DWORD pid = s.pi.dwProcessId;
    EXPECT_EQ(ReadNumber(pid, "session_leader"), 1u);
    EXPECT_EQ(ReadNumber(pid, "stdin_null"), 1u);
    EXPECT_EQ(ReadNumber(pid, "stdout_null"), 1u);
    // Nothing of ours is inherited: the file above, the registry's files.
    EXPECT_EQ(ReadNumber(pid, "extra_fds"), 0u);
}
#endif

TEST(Mutex, NamedMutexIsSharedOwnedPerThreadAndCounted) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    const char* name = "/MUTEX/TEST/COUNTED";
    HANDLE a = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE b = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    EXPECT_FALSE(ReleaseMutex(a)); // not owned
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0); // the same mutex, again
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_FALSE(ReleaseMutex(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(a);
    CloseHandle(b);
}

struct ThreadTry {
    HANDLE mutex;
    DWORD waitMs;
    DWORD result;
    BOOL released;
    DWORD releaseError;
    bool keep; // end the thread owning the mutex
};

DWORD WINAPI TryFromThread(LPVOID param) {
    ThreadTry* t = static_cast<ThreadTry*>(param);
    t->released = ReleaseMutex(t->mutex);
    t->releaseError = GetLastError();
    t->result = WaitForSingleObject(t->mutex, t->waitMs);
    if ((t->result == WAIT_OBJECT_0 || t->result == WAIT_ABANDONED) && !t->keep)
        ReleaseMutex(t->mutex);
    return 0;
}

DWORD RunThread(ThreadTry* t) {
    HANDLE h = CreateThread(nullptr, 0, TryFromThread, t, 0, nullptr);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 20000), WAIT_OBJECT_0);
    CloseHandle(h);
    return t->result;
}

TEST(Mutex, OtherThreadWaitsUntilReleaseAndCannotReleaseIt) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    HANDLE m = CreateMutexA(nullptr, TRUE, "/MUTEX/TEST/THREADS"); // owned from the start
    ASSERT_NE(m, nullptr);
    ThreadTry t = {m, 50, 0, TRUE, 0, false};
    EXPECT_EQ(RunThread(&t), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(t.released);
    EXPECT_EQ(t.releaseError, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(RunThread(&t), WAIT_OBJECT_0);
    CloseHandle(m);
}

TEST(Mutex, OwnerThreadEndingWithoutReleaseAbandonsIt) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    for (const char* name : {"/MUTEX/TEST/ABANDONED", static_cast<const char*>(nullptr)}) {
        HANDLE m = CreateMutexA(nullptr, FALSE, name);
        ASSERT_NE(m, nullptr);
        ThreadTry t = {m, 0, 0, FALSE, 0, true};
        EXPECT_EQ(RunThread(&t), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED) << (name ? name : "unnamed");
        EXPECT_TRUE(ReleaseMutex(m));                        // taken, abandoned or not
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); // no longer abandoned
        EXPECT_TRUE(ReleaseMutex(m));
        CloseHandle(m);
    }
}

TEST(Mutex, HeldByAnotherProcessUntilItReleases) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    const char* name = "/MUTEX/TEST/PROCESSES";
    Started holder = Start(Quoted(ProbePath()) + " --hold=" + name + ",600");
    ASSERT_TRUE(holder.ok) << holder.error;
    ASSERT_TRUE(WaitForNumber(holder.pi.dwProcessId, "holding", 1));
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(m, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    // A wait on the mutex and an event ends with the event, and takes nothing.
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE both[2] = {ev, m};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 100), WAIT_OBJECT_0);
    ResetEvent(ev);
    // Woken by the release, well before the limit.
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(ReadNumber(holder.pi.dwProcessId, "released"), 1u);
    EXPECT_TRUE(ReleaseMutex(m));
    Finish(holder);
    CloseHandle(ev);
    CloseHandle(m);
}

TEST(Mutex, OwnerProcessEndingWithoutReleaseAbandonsIt) {
    vtest::TempRoot root(
        vtest::TempRoot::MachineRegistry); // the probe writes the machine's registry
    ClearProbeNotes();
    const char* name = "/MUTEX/TEST/DIED";
    Started holder = Start(Quoted(ProbePath()) + " --hold=" + name + ",300 --abandon");
    ASSERT_TRUE(holder.ok) << holder.error;
    ASSERT_TRUE(WaitForNumber(holder.pi.dwProcessId, "holding", 1));
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 20000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    // Released properly now: the next owner sees nothing abandoned.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    Finish(holder);
    CloseHandle(m);
}

TEST(LocalTime, AgreesWithTheRuntimesLocalTime) {
    SYSTEMTIME st;
    memset(&st, 0xFF, sizeof(st));
    time_t before = time(nullptr);
    GetLocalTime(&st);
    time_t after = time(nullptr);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_GE(st.wDay, 1);
    EXPECT_LE(st.wDay, 31);
    EXPECT_LE(st.wHour, 23);
    EXPECT_LE(st.wMinute, 59);
    EXPECT_LE(st.wSecond, 59);
    EXPECT_LE(st.wDayOfWeek, 6);
    EXPECT_LE(st.wMilliseconds, 999);
    // Same wall clock as the C runtime's localtime, to the second. time()
    // reads a coarse clock that may still show the last second for a few
    // milliseconds after the precise clock has moved on.
    bool matched = false;
    for (time_t t = before; t <= after + 1 && !matched; ++t) {
        struct tm* lt = localtime(&t);
        matched = lt->tm_year + 1900 == st.wYear && lt->tm_mon + 1 == st.wMonth &&
                  lt->tm_mday == st.wDay && lt->tm_hour == st.wHour && lt->tm_min == st.wMinute &&
                  lt->tm_sec == st.wSecond && lt->tm_wday == st.wDayOfWeek;
    }
    EXPECT_TRUE(matched) << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":"
                         << st.wMinute << ":" << st.wSecond;
}

} // namespace
