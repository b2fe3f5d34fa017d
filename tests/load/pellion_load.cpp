// Pellion under load, as an attacker on the same machine would try it: 50
// strangers reconnect in a loop (each refused) and 50 silent sockets from the
// administrators' own address hold connections open, while an administrator
// sends get_server_type every 5 seconds. Loopback only, bounded in count and
// time. Prints the figures; fails when an administrator's request took longer
// than 3 seconds (its 1 second pause included) or the service's memory or
// descriptors did not come back down afterwards.
//
//   pellion_load [--seconds N] PELLION [BASELINE_PELLION]
//
// With a second program (an older pellion) the same load runs against it in
// the same run, for comparison; its figures are printed, not judged.
#include "platform/posix/service_status_reader.h"
#include "platform/win32.h"
#include "regkey/RegKey.h"
#include "service/Settings.h"
#include "support/ReservedPort.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int kStrangers = 50;
const int kSilent = 50;
const DWORD kAdminEvery = 5000;
const DWORD kAdminLimit = 3000;
const char kServiceName[] = "Vantry SMTP Pellion";

SOCKET ConnectFrom(const char* from, unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    SOCKADDR_IN local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    SOCKADDR_IN remote = {};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = inet_addr("127.0.0.1");
    remote.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Reads until the peer closes or limit ms pass; firstByte gets the tick of the
// first byte (0 when none came).
std::string ReadAll(SOCKET s, DWORD limit, DWORD* firstByte, const std::atomic<bool>* quit) {
    std::string all;
    DWORD start = GetTickCount();
    *firstByte = 0;
    while (GetTickCount() - start < limit && (quit == nullptr || !*quit)) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {0, 100000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0)
            continue;
        char buf[1024];
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        if (all.empty())
            *firstByte = GetTickCount();
        all.append(buf, static_cast<size_t>(n));
    }
    return all;
}

bool StartService(const std::string& exe) {
    std::string cmd = "'" + exe + "' install > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return false;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    BOOL ok = service != nullptr && StartServiceA(service, 0, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok != 0;
}

DWORD QueryState() {
    SERVICE_STATUS status = {};
    status.dwCurrentState = SERVICE_STOPPED;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    if (service != nullptr)
        QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState;
}

// Until the service reports the state; a stopped service ends a wait for
// any other state at once (it failed).
bool WaitForState(DWORD state) {
    return vtest::WaitUntil([&] {
        DWORD now = QueryState();
        return now == state || now == SERVICE_STOPPED;
    }) && QueryState() == state;
}

void SendStop() {
    SERVICE_STATUS status;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr)
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

long ServicePid() {
    std::vector<vplat::ServiceStatusRecord> records = vplat::ReadServiceStatusRecords(kServiceName);
    return records.empty() ? 0 : static_cast<long>(records.back().pid);
}

long RssKb(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int OpenDescriptors(long pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

// What each descriptor of the service refers to, for the report when the
// count after the load is not the count before it.
std::string DescribeDescriptors(long pid) {
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    std::string out;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((folder + "/" + e->d_name).c_str(), target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        out += std::string("    ") + e->d_name + " -> " + target + "\n";
    }
    closedir(dir);
    return out;
}

struct Figures {
    std::vector<DWORD> adminTimes; // ms from connect to the first reply byte; 0 = no reply
    int adminWrong = 0;
    long strangerConnections = 0;
    long strangerRefusals = 0;
    long silentConnections = 0;
    long silentConnectWait = 0; // the longest connect of a silent socket, ms
    long rssBefore = 0, rssPeak = 0, rssAfter = 0;
    int fdsBefore = 0, fdsPeak = 0, fdsAfter = 0;
    DWORD stopMs = 0;
    bool started = false;
};

Figures RunLoad(const std::string& exe, int seconds) {
    Figures f;
    vtest::TempRoot root;
    vtest::ReservedPort reserved;
    unsigned short port = reserved.port();
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write("Config_Port", static_cast<DWORD>(port));
    }
    // Names: the administrator's address in the hosts file; the strangers'
    // reverse names from the root's name server, which keeps the machine's
    // resolver out of the run.
    std::string etc = root.path() + "/drive_c/windows/system32/drivers/etc";
    std::system(("mkdir -p '" + etc + "' '" + root.path() + "/nameserver'").c_str());
    std::ofstream(etc + "/hosts") << "127.0.0.1 localhost\n";
    {
        std::ofstream zone(root.path() + "/nameserver/zone");
        for (int i = 0; i < kStrangers; ++i)
            zone << "PTR 127.0.1." << (i + 2) << " stranger" << i << ".attacker.example\n";
    }
    if (!StartService(exe) || !WaitForState(SERVICE_RUNNING)) {
        fprintf(stderr, "pellion_load: %s did not start\n", exe.c_str());
        return f;
    }
    f.started = true;
    long pid = ServicePid();

    // One request first, so that what is measured before is a warm service.
    {
        SOCKET s = ConnectFrom("127.0.0.1", port);
        send(s, "get_server_type\n", 16, 0);
        DWORD first;
        ReadAll(s, 15000, &first, nullptr);
        closesocket(s);
    }
    f.rssBefore = RssKb(pid);
    f.fdsBefore = OpenDescriptors(pid);
    std::string heldBefore = DescribeDescriptors(pid);

    std::atomic<bool> quit(false);
    std::atomic<long> strangerConnections(0), strangerRefusals(0), silentConnections(0);
    std::atomic<long> silentConnectWait(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kStrangers; ++i) {
        threads.emplace_back([&, i] {
            std::string from = "127.0.1." + std::to_string(i + 2);
            while (!quit) {
                SOCKET s = ConnectFrom(from.c_str(), port);
                if (s == INVALID_SOCKET) {
                    Sleep(50);
                    continue;
                }
                ++strangerConnections;
                send(s, "get_config\n", 11, 0);
                DWORD first;
                if (ReadAll(s, 30000, &first, &quit) == "ACCESS_DENIED\r\n")
                    ++strangerRefusals;
                closesocket(s);
            }
        });
    }
    for (int i = 0; i < kSilent; ++i) {
        threads.emplace_back([&] {
            while (!quit) {
                DWORD asked = GetTickCount();
                SOCKET s = ConnectFrom("127.0.0.1", port);
                DWORD took = GetTickCount() - asked;
                long longest = silentConnectWait;
                while (static_cast<long>(took) > longest &&
                       !silentConnectWait.compare_exchange_weak(longest, static_cast<long>(took))) {
                }
                if (s == INVALID_SOCKET) {
                    Sleep(50);
                    continue;
                }
                ++silentConnections;
                DWORD first;
                ReadAll(s, 120000, &first, &quit); // until the service hangs up
                closesocket(s);
                Sleep(100);
            }
        });
    }
    std::atomic<long> rssPeak(f.rssBefore);
    std::atomic<int> fdsPeak(f.fdsBefore);
    std::thread sampler([&] {
        while (!quit) {
            rssPeak = std::max(rssPeak.load(), RssKb(pid));
            fdsPeak = std::max(fdsPeak.load(), OpenDescriptors(pid));
            Sleep(500);
        }
    });

    // The administrator: every 5 seconds for the length of the run.
    Sleep(1000); // the load is on
    DWORD begin = GetTickCount();
    for (DWORD next = begin; GetTickCount() - begin < static_cast<DWORD>(seconds) * 1000;
         next += kAdminEvery) {
        while (static_cast<int>(next - GetTickCount()) > 0)
            Sleep(10);
        DWORD start = GetTickCount();
        SOCKET s = ConnectFrom("127.0.0.1", port);
        if (s == INVALID_SOCKET) {
            f.adminTimes.push_back(0);
            continue;
        }
        send(s, "get_server_type\n", 16, 0);
        DWORD first;
        std::string reply = ReadAll(s, 20000, &first, nullptr);
        closesocket(s);
        if (reply != "NT_SMTP\r\n")
            ++f.adminWrong;
        f.adminTimes.push_back(first == 0 ? 0 : first - start);
        printf("  administrator request %2zu: %s in %lu ms\n", f.adminTimes.size(),
               reply == "NT_SMTP\r\n" ? "answered" : "NOT answered",
               static_cast<unsigned long>(first == 0 ? GetTickCount() - start : first - start));
        fflush(stdout);
        if (GetTickCount() > next + kAdminEvery)
            next = GetTickCount() - kAdminEvery; // a slow answer delays the next one
    }
    quit = true;
    for (std::thread& t : threads)
        t.join();
    sampler.join();
    f.strangerConnections = strangerConnections;
    f.strangerRefusals = strangerRefusals;
    f.silentConnections = silentConnections;
    f.silentConnectWait = silentConnectWait;
    f.rssPeak = rssPeak;
    f.fdsPeak = fdsPeak;

    // Whatever the service still holds ends within its limits (10 s for a
    // line, 2 s for a refusal); an old service may still work off its backlog.
    Sleep(12000);
    f.rssAfter = RssKb(pid);
    f.fdsAfter = OpenDescriptors(pid);
    // A descriptor still held may be one in passing (a store's file opened
    // for one call); a leaked one stays. Give it up to 20 s more, and name
    // what is held if the count does not come back.
    std::string heldAfter = DescribeDescriptors(pid);
    for (int waited = 0; f.fdsAfter > f.fdsBefore && waited < 20000; waited += 500) {
        Sleep(500);
        f.fdsAfter = OpenDescriptors(pid);
    }
    if (heldAfter != heldBefore || getenv("LOAD_SHOW_FDS"))
        printf("  descriptors before the load:\n%s  12 s after it:\n%s  and finally %d\n",
               heldBefore.c_str(), heldAfter.c_str(), f.fdsAfter);

    DWORD stopStart = GetTickCount();
    SendStop();
    WaitForState(SERVICE_STOPPED);
    f.stopMs = GetTickCount() - stopStart;
    return f;
}

void Print(const char* label, const Figures& f) {
    printf("== %s\n", label);
    if (!f.started) {
        printf("  did not start\n");
        return;
    }
    std::vector<DWORD> times = f.adminTimes;
    int answered = 0, inTime = 0;
    DWORD worst = 0;
    for (DWORD t : times) {
        if (t != 0)
            ++answered;
        if (t != 0 && t <= kAdminLimit)
            ++inTime;
        worst = std::max(worst, t);
    }
    std::sort(times.begin(), times.end());
    printf("  administrator requests: %zu sent, %d answered, %d within %lu ms, wrong replies %d, "
           "worst %lu ms, median %lu ms\n",
           f.adminTimes.size(), answered, inTime, static_cast<unsigned long>(kAdminLimit),
           f.adminWrong, static_cast<unsigned long>(worst),
           static_cast<unsigned long>(times.empty() ? 0 : times[times.size() / 2]));
    printf("  strangers: %ld connections, %ld refused with ACCESS_DENIED\n", f.strangerConnections,
           f.strangerRefusals);
    printf("  silent sockets: %ld connections, the longest connect %ld ms\n", f.silentConnections,
           f.silentConnectWait);
    printf("  service memory (VmRSS): before %ld kB, peak %ld kB, after %ld kB\n", f.rssBefore,
           f.rssPeak, f.rssAfter);
    printf("  service descriptors: before %d, peak %d, after %d\n", f.fdsBefore, f.fdsPeak,
           f.fdsAfter);
    printf("  stop took %lu ms\n", static_cast<unsigned long>(f.stopMs));
    fflush(stdout);
}

bool Judge(const Figures& f) {
    bool ok = f.started && !f.adminTimes.empty() && f.adminWrong == 0;
    for (DWORD t : f.adminTimes)
        ok = ok && t != 0 && t <= kAdminLimit;
    // Flat afterwards: every descriptor given back, memory within 4 MB of
    // where it was (the allocator keeps some of what the load used).
    ok = ok && f.fdsAfter <= f.fdsBefore && f.rssAfter <= f.rssBefore + 4096;
    ok = ok && f.stopMs <= 31000;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(5, std::min(600, std::atoi(argv[++i])));
        else
            programs.push_back(argv[i]);
    }
    if (programs.empty() || programs.size() > 2) {
        fprintf(stderr, "usage: pellion_load [--seconds N] PELLION [BASELINE_PELLION]\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    printf("load: %d strangers reconnecting, %d silent sockets, an administrator every %lu ms, "
           "%d s\n",
           kStrangers, kSilent, static_cast<unsigned long>(kAdminEvery), seconds);
    fflush(stdout);
    Figures current = RunLoad(programs[0], seconds);
    Print(programs[0].c_str(), current);
    if (programs.size() == 2) {
        Figures baseline = RunLoad(programs[1], seconds);
        Print((programs[1] + " (comparison)").c_str(), baseline);
    }
    bool ok = Judge(current);
    printf("== %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
