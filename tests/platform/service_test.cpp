// The service control manager through the Win32 API, with a real service
// program (sample_service) started by it.
#include "platform/win32.h"
#include "platform/posix/service_status_reader.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

// A manager handle and one service handle, closed at the end.
class Scm {
public:
    Scm() { manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }
    ~Scm() {
        for (SC_HANDLE h : opened)
            CloseServiceHandle(h);
        if (manager != nullptr)
            CloseServiceHandle(manager);
    }
    SC_HANDLE Create(const char* name, const std::string& imagePath) {
        SC_HANDLE h =
            CreateServiceA(manager, name, "Sample Display Name", SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           imagePath.c_str(), nullptr, nullptr, "", nullptr, nullptr);
        if (h != nullptr)
            opened.push_back(h);
        return h;
    }
    SC_HANDLE Open(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
        SC_HANDLE h = OpenServiceA(manager, name, access);
        if (h != nullptr)
            opened.push_back(h);
        return h;
    }
    SC_HANDLE manager;
    std::vector<SC_HANDLE> opened;
};

SERVICE_STATUS Query(SC_HANDLE h) {
    SERVICE_STATUS s{};
    EXPECT_TRUE(QueryServiceStatus(h, &s));
    return s;
}

// Polls until the service is in the state.
bool WaitForState(SC_HANDLE h, DWORD state) {
    return vtest::WaitUntil([&] {
        SERVICE_STATUS s{};
        return QueryServiceStatus(h, &s) && s.dwCurrentState == state;
    });
}

// What the sample service wrote about itself, key -> values in order.
std::multimap<std::string, std::string> Notes(const vtest::TempRoot& root) {
    std::multimap<std::string, std::string> notes;
    std::ifstream in(root.path() + "/sample_service.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            notes.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return notes;
}

std::vector<std::string> NoteValues(const vtest::TempRoot& root, const std::string& key) {
    std::vector<std::string> values;
    auto notes = Notes(root);
    auto range = notes.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        values.push_back(it->second);
    return values;
}

bool WaitForNote(const vtest::TempRoot& root, const std::string& key) {
    return vtest::WaitUntil([&] { return !NoteValues(root, key).empty(); });
}

bool KeyExists(const char* name) {
    HKEY key = nullptr;
    std::string path = std::string(kServicesKey) + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool WaitForKeyGone(const char* name) {
    return vtest::WaitUntil([&] { return !KeyExists(name); });
}

std::string Sample(const std::string& args = "") {
    return args.empty() ? std::string(VANTRY_SAMPLE_SERVICE)
                        : std::string(VANTRY_SAMPLE_SERVICE) + " " + args;
}

std::vector<std::pair<DWORD, DWORD>> StatesAndCheckPoints(const char* name) {
    std::vector<std::pair<DWORD, DWORD>> out;
    for (const SERVICE_STATUS& s : vplat::ReadServiceStatusHistory(name))
        out.emplace_back(s.dwCurrentState, s.dwCheckPoint);
    return out;
}

size_t SocketFiles(const vtest::TempRoot& root) {
    std::string cmd = "ls '" + root.path() + "/services' 2>/dev/null | grep -c '\\.sock$'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return 99;
    unsigned long n = 99;
    if (fscanf(p, "%lu", &n) != 1)
        n = 99;
    pclose(p);
    return n;
}

} // namespace

TEST(ServiceDatabase, CreateWritesTheKeyAsWindowsKeepsItAndRefusesADuplicate) {
    vtest::TempRoot root;
    Scm scm;
    ASSERT_NE(scm.manager, nullptr);
    ASSERT_NE(scm.Create("Vantry Sample", Sample()), nullptr);

    HKEY key = nullptr;
    std::string path = std::string(kServicesKey) + "VANTRY SAMPLE"; // names ignore case
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    auto dword = [&](const char* value) {
        DWORD type = 0, data = 0xFFFFFFFF, size = sizeof(data);
        EXPECT_EQ(
            RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size),
            ERROR_SUCCESS)
            << value;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << value;
        return data;
    };
    auto text = [&](const char* value, DWORD expectedType) {
        char buf[1024] = {0};
        DWORD type = 0, size = sizeof(buf);
        EXPECT_EQ(
            RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size),
            ERROR_SUCCESS)
            << value;
        EXPECT_EQ(type, expectedType) << value;
        return std::string(buf);
    };
    EXPECT_EQ(dword("Type"), static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(dword("Start"), static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(dword("ErrorControl"), static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(text("ImagePath", REG_EXPAND_SZ), Sample());
    EXPECT_EQ(text("DisplayName", REG_SZ), "Sample Display Name");
    EXPECT_EQ(text("ObjectName", REG_SZ), "LocalSystem");
    RegCloseKey(key);

    EXPECT_EQ(scm.Create("vantry SAMPLE", Sample()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(scm.Create("Bad\\Name", Sample()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(ServiceDatabase, ANeverStartedServiceIsStoppedAndRefusesControls) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE h = scm.Create("Idle", Sample());
    ASSERT_NE(h, nullptr);
    SERVICE_STATUS s = Query(h);
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));

    SERVICE_STATUS c{};
    c.dwCurrentState = 0xdead;
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &c));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(c.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_SHUTDOWN, &c));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ServiceDatabase, OpenOfAMissingServiceAndDeleteOfAStoppedOne) {
    vtest::TempRoot root;
    Scm scm;
    EXPECT_EQ(scm.Open("Missing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    ASSERT_NE(scm.Create("Short Lived", Sample()), nullptr);
    SC_HANDLE h = scm.Open("short lived");
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(DeleteService(h));
    EXPECT_FALSE(KeyExists("Short Lived"));
    EXPECT_EQ(scm.Open("Short Lived"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(DeleteService(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    // The name is free again.
    EXPECT_NE(scm.Create("Short Lived", Sample()), nullptr);
}

TEST(ServiceDatabase, HandlesAreCheckedForKindAndAccess) {
    vtest::TempRoot root;
    Scm scm;
    ASSERT_NE(scm.Create("Guarded", Sample()), nullptr);
    SC_HANDLE readOnly = scm.Open("Guarded", SERVICE_QUERY_STATUS);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(StartServiceA(readOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteService(readOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SERVICE_STATUS s{};
    EXPECT_FALSE(QueryServiceStatus(scm.manager, &s)); // a manager handle is no service
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(KeyExists("Guarded"));
    EXPECT_EQ(OpenSCManagerA("\\\\SOMEWHERE-ELSE", nullptr, SC_MANAGER_CONNECT), nullptr);
}

TEST(ServiceLifecycle, StartQueryInterrogateStopAndDeleteThroughTheApi) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE h = scm.Create("Sample Svc", Sample());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
    // StartService returns once the service has reported.
    std::vector<SERVICE_STATUS> first = vplat::ReadServiceStatusHistory("Sample Svc");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(first[0].dwCheckPoint, 1u);

    EXPECT_FALSE(StartServiceA(h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));
    SERVICE_STATUS s = Query(h);
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_TRUE(NoteValues(root, "control").empty()) << "a query must not call the handler";

    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s));
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(NoteValues(root, "control"), std::vector<std::string>{"4"});

    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s));
    // The answer is the status as the handler left it.
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(s.dwCheckPoint, 7u);
    EXPECT_EQ(s.dwWaitHint, 5000u);
    ASSERT_TRUE(WaitForState(h, SERVICE_STOPPED));
    ASSERT_TRUE(WaitForNote(root, "dispatcher_returned"));
    usleep(100000); // the process ends: its last report still stands, field by field
    s = Query(h);
    SERVICE_STATUS last = vplat::ReadServiceStatusHistory("Sample Svc").back();
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(memcmp(&s, &last, sizeof(s)), 0);

    // Controls reach the handler on the thread that called the dispatcher;
    // ServiceMain runs on another.
    std::vector<std::string> dispatcher = NoteValues(root, "dispatcher_thread");
    std::vector<std::string> handler = NoteValues(root, "handler_thread");
    ASSERT_EQ(dispatcher.size(), 1u);
    ASSERT_EQ(handler.size(), 2u);
    EXPECT_EQ(handler[0], dispatcher[0]);
    EXPECT_EQ(handler[1], dispatcher[0]);
    EXPECT_NE(NoteValues(root, "main_thread").at(0), dispatcher[0]);
    EXPECT_EQ(NoteValues(root, "token_in_main"), std::vector<std::string>{"0"});
    EXPECT_EQ(NoteValues(root, "service_name"), std::vector<std::string>{"Sample Svc"});
    EXPECT_EQ(NoteValues(root, "register_other_error"), std::vector<std::string>{"1060"});

    std::vector<std::pair<DWORD, DWORD>> expected = {
        {SERVICE_START_PENDING, 1}, {SERVICE_START_PENDING, 2}, {SERVICE_START_PENDING, 3},
        {SERVICE_RUNNING, 0},       {SERVICE_RUNNING, 0},       {SERVICE_STOP_PENDING, 7},
        {SERVICE_STOPPED, 0}};
    EXPECT_EQ(StatesAndCheckPoints("sample svc"), expected);

    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(DeleteService(h));
    EXPECT_FALSE(KeyExists("Sample Svc"));
    EXPECT_EQ(SocketFiles(root), 0u);
}

TEST(ServiceLifecycle, StartReturnsAtTheFirstReportAndStopWaitsForTheStart) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE h = scm.Create("Slow", Sample("--slow-start"));
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
    SERVICE_STATUS s = Query(h);
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_EQ(s.dwWaitHint, 1000u);

    SERVICE_STATUS c{};
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &c));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(c.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_TRUE(NoteValues(root, "control").empty());

    std::ofstream(root.path() + "/proceed") << "go";
    ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_PAUSE, &c)); // it does not accept pause
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(c.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &c));
    EXPECT_TRUE(WaitForState(h, SERVICE_STOPPED));
}

TEST(ServiceLifecycle, DeleteWhileRunningMarksTheServiceUntilItStops) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE h = scm.Create("Doomed", Sample());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));

    ASSERT_TRUE(DeleteService(h));
    EXPECT_TRUE(KeyExists("Doomed"));
    EXPECT_EQ(scm.Open("Doomed"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(DeleteService(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(scm.Create("Doomed", Sample()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s)); // the open handle still controls it
    EXPECT_TRUE(WaitForKeyGone("Doomed"));
    EXPECT_FALSE(StartServiceA(h, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

TEST(ServiceLifecycle, AKilledServiceProcessIsSeenStoppedAndCanStartAgain) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE h = scm.Create("Fragile", Sample());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));
    std::vector<std::string> pids = NoteValues(root, "pid");
    ASSERT_EQ(pids.size(), 1u);
    ASSERT_EQ(kill(static_cast<pid_t>(std::stol(pids[0])), SIGKILL), 0);

    ASSERT_TRUE(WaitForState(h, SERVICE_STOPPED));
    SERVICE_STATUS s = Query(h);
    EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(s.dwControlsAccepted, 0u);
    EXPECT_EQ(SocketFiles(root), 0u) << "the stale socket is removed";
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s));
    ASSERT_TRUE(WaitForState(h, SERVICE_STOPPED));
    EXPECT_EQ(Query(h).dwWin32ExitCode, 0u);
}

TEST(ServiceLifecycle, AStartFailsInsteadOfHangingWhenTheProgramCannotServe) {
    vtest::TempRoot root;
    Scm scm;
    SC_HANDLE quitter = scm.Create("Quitter", Sample("--exit-now"));
    ASSERT_NE(quitter, nullptr);
    EXPECT_FALSE(StartServiceA(quitter, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    SERVICE_STATUS s = Query(quitter);
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(s.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));

    // ServiceMain gives up without a single report: the dispatcher returns.
    SC_HANDLE silent = scm.Create("Silent", Sample("--no-report"));
    ASSERT_NE(silent, nullptr);
    EXPECT_FALSE(StartServiceA(silent, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_TRUE(WaitForNote(root, "dispatcher_returned"));
    EXPECT_EQ(Query(silent).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    SC_HANDLE missing = scm.Create("Missing Image", root.path() + "/no/such/program");
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(ServiceLifecycle, AWindowsImagePathIsMappedAndSplitAndStartArgumentsReachServiceMain) {
    vtest::TempRoot root;
    std::string dir = root.path() + "/drive_c/Program Files/Sample Dir";
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && cp '" VANTRY_SAMPLE_SERVICE "' '" + dir +
                      "/sample_service'")
                         .c_str()),
              0);
    Scm scm;
    SC_HANDLE quoted = scm.Create(
        "Quoted", "\"C:\\Program Files\\Sample Dir\\sample_service.exe\" one \"two words\" a\\\"b");
    ASSERT_NE(quoted, nullptr);
    LPCSTR args[] = {"alpha", "beta gamma"};
    ASSERT_TRUE(StartServiceA(quoted, 2, args)) << GetLastError();
    ASSERT_TRUE(WaitForState(quoted, SERVICE_RUNNING));
    EXPECT_EQ(NoteValues(root, "program_arg"),
              (std::vector<std::string>{"one", "two words", "a\"b"}));
    EXPECT_EQ(NoteValues(root, "service_arg"), (std::vector<std::string>{"alpha", "beta gamma"}));
    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(quoted, SERVICE_CONTROL_STOP, &s));
    ASSERT_TRUE(WaitForState(quoted, SERVICE_STOPPED));

    // Unquoted with spaces: the shortest prefix that names a file.
    unlink((root.path() + "/sample_service.txt").c_str());
    SC_HANDLE plain =
        scm.Create("Plain", "C:\\Program Files\\Sample Dir\\sample_service.exe --plain");
    ASSERT_NE(plain, nullptr);
    ASSERT_TRUE(StartServiceA(plain, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(plain, SERVICE_RUNNING));
    EXPECT_EQ(NoteValues(root, "program_arg"), std::vector<std::string>{"--plain"});
    ASSERT_TRUE(ControlService(plain, SERVICE_CONTROL_STOP, &s));
    EXPECT_TRUE(WaitForState(plain, SERVICE_STOPPED));
}

TEST(ServiceLifecycle, ARootWithALongPathStillGetsItsSocket) {
    std::string base = "/tmp/vantry-long-root-";
    base += std::to_string(getpid());
    std::string deep = base + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    const char* oldTmp = getenv("TMPDIR");
    std::string saved = oldTmp ? oldTmp : "";
    setenv("TMPDIR", deep.c_str(), 1);
    {
        vtest::TempRoot root;
        ASSERT_GT(root.path().size(), 120u);
        Scm scm;
        SC_HANDLE h = scm.Create("Deep", Sample());
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
        ASSERT_TRUE(WaitForState(h, SERVICE_RUNNING));
        SERVICE_STATUS s{};
        ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s));
        EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s));
        EXPECT_TRUE(WaitForState(h, SERVICE_STOPPED));
        EXPECT_EQ(Query(h).dwWin32ExitCode, 0u);
    }
    if (oldTmp)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}

TEST(ServiceDispatcher, AProgramStartedWithoutTheManagerFailsWith1063) {
    vtest::TempRoot root;
    auto runSample = [&](int* status) {
        FILE* p = popen(VANTRY_SAMPLE_SERVICE " 2>&1", "r");
        std::string out;
        if (p == nullptr)
            return out;
        char buf[256];
        while (fgets(buf, sizeof(buf), p) != nullptr)
            out += buf;
        *status = pclose(p);
        return out;
    };
    int status = -1;
    std::string out = runSample(&status);
    EXPECT_EQ(out, "StartServiceCtrlDispatcher failed 1063\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);

    // A token the manager did not hand out does not connect either.
    Scm scm;
    ASSERT_NE(scm.Create("Forged", Sample()), nullptr);
    setenv("VANTRY_SERVICE_TOKEN", "Forged:0123456789abcdef", 1);
    out = runSample(&status);
    unsetenv("VANTRY_SERVICE_TOKEN");
    EXPECT_EQ(out, "StartServiceCtrlDispatcher failed 1063\n");

    EXPECT_EQ(RegisterServiceCtrlHandlerA("Forged", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    SERVICE_STATUS s{};
    s.dwCurrentState = SERVICE_RUNNING;
    EXPECT_FALSE(SetServiceStatus(nullptr, &s));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
