// Runs the real pellion program, and the real drennic beside it, as services
// in a fresh platform root, and talks to them as an administrator's client
// (and as an administrator at the machine) would.
#ifndef VANTRY_TESTS_SERVICE_PELLIONHARNESS_H
#define VANTRY_TESTS_SERVICE_PELLIONHARNESS_H

#include "regkey/RegKey.h"
#include "platform/posix/eventlog_reader.h"
#include "platform/posix/service_status_reader.h"
#include "platform/win32.h"
#include "service/Settings.h"
#include "support/ReservedPort.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"
#include "peers/drennic/Drennic.h"
#include "peers/drennic/DrennicRecord.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace vtest {

struct CommandResult {
    std::string output;
    int exitStatus = -1;
};

inline CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        result.output.append(buf, n);
    int status = pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// One service program of the system under the platform's service manager, in
// the platform root of the test: installed with its own "install" command,
// started and stopped through the service manager. It does not own the root;
// the object that does (Pellion below) outlives it.
class ServiceProgram {
public:
    ServiceProgram(const char* serviceName, const char* program, const char* eventSource)
        : name_(serviceName), program_(program), source_(eventSource) {}
    // The owner of the root stops the program (StopIfRunning) while the
    // root is still there; this object never outlives it knowingly.
    virtual ~ServiceProgram() = default;
    ServiceProgram(const ServiceProgram&) = delete;
    ServiceProgram& operator=(const ServiceProgram&) = delete;

    const std::string& serviceName() const { return name_; }

    CommandResult Command(const std::string& args) {
        return RunCommand(std::string("'") + program_ + "' " + args);
    }

    bool Install() { return Command("install").exitStatus == 0; }

    bool Start() {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, name_.c_str(), SERVICE_ALL_ACCESS);
        BOOL ok = service != nullptr && StartServiceA(service, 0, nullptr);
        lastError_ = GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return ok != 0;
    }

    // True when the service is in the root's service manager.
    bool Installed() {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, name_.c_str(), SERVICE_QUERY_STATUS);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return service != nullptr;
    }

    // Installs (unless a test did already: a second install fails) and
    // starts, then waits until the service reports running (or has stopped:
    // it failed to start).
    bool InstallAndStart() {
        return (Installed() || Install()) && Start() && WaitFor(SERVICE_RUNNING);
    }

    SERVICE_STATUS Control(DWORD control, BOOL* ok = nullptr) {
        SERVICE_STATUS status = {};
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, name_.c_str(), SERVICE_ALL_ACCESS);
        BOOL done = service != nullptr && ControlService(service, control, &status);
        if (ok != nullptr)
            *ok = done;
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status;
    }

    SERVICE_STATUS Query() {
        SERVICE_STATUS status = {};
        status.dwCurrentState = SERVICE_STOPPED;
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceA(manager, name_.c_str(), SERVICE_QUERY_STATUS);
        if (service != nullptr)
            QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status;
    }

    // Waits until the service reports the state. A service that has stopped
    // stays stopped until it is started again: waiting for any other state
    // then ends at once, false. Call it after a start has been accepted.
    bool WaitFor(DWORD state, DWORD safetyMs = kSafetyMs) {
        DWORD start = GetTickCount();
        for (;;) {
            DWORD now = Query().dwCurrentState;
            if (now == state)
                return true;
            if (now == SERVICE_STOPPED || GetTickCount() - start >= safetyMs)
                return false;
            Sleep(50);
        }
    }

    // Sends a stop and waits until the service has stopped.
    bool Stop() {
        Control(SERVICE_CONTROL_STOP);
        return WaitFor(SERVICE_STOPPED);
    }
    void StopIfRunning() {
        if (Query().dwCurrentState != SERVICE_STOPPED)
            Stop();
    }

    std::vector<vplat::EventRecord> Events(WORD type = 0) {
        return vplat::ReadEventLog(source_.c_str(), type);
    }
    // The insertion strings of the program's events, oldest first.
    std::vector<std::string> EventTexts(WORD type = 0) {
        std::vector<std::string> texts;
        for (const auto& e : Events(type))
            texts.push_back(e.strings.empty() ? std::string() : e.strings[0]);
        return texts;
    }
    bool HasEvent(const std::string& text, WORD type) {
        for (const auto& t : EventTexts(type))
            if (t == text)
                return true;
        return false;
    }
    // How many events of the type carry exactly this text.
    size_t CountEvents(const std::string& text, WORD type) {
        size_t n = 0;
        for (const auto& t : EventTexts(type))
            n += t == text ? 1 : 0;
        return n;
    }

    std::vector<SERVICE_STATUS> History() { return vplat::ReadServiceStatusHistory(name_.c_str()); }

    DWORD lastError() const { return lastError_; }

private:
    std::string name_;
    std::string program_;
    std::string source_;
    DWORD lastError_ = 0;
};

// The real drennic, the stand-in scanning service, in the root of its Pellion.
class Drennic : public ServiceProgram {
public:
    Drennic() : ServiceProgram(DRENNIC_SERVICE_NAME, DRENNIC_EXE, DRENNIC_EVENT_SOURCE) {}

    // Where it keeps its record, as it finds it (the Drennic key's
    // Install_Path, or the default).
    std::string RecordPath() {
        DrennicSettings settings;
        ReadDrennicSettings(&settings);
        char path[MAX_PATH * 2];
        DrennicRecordPath(settings, path, sizeof(path));
        return path;
    }
    // Every command it received, bytes exact, oldest first.
    std::vector<std::string> Record() {
        std::vector<std::string> entries;
        ReadRecordEntries(RecordPath().c_str(), &entries);
        return entries;
    }
    // Waits until the record holds count entries; the record. Drennic
    // records a command once it has handled it, so its effect is in place.
    std::vector<std::string> WaitForRecord(size_t count) {
        std::vector<std::string> entries;
        WaitUntil([&] {
            entries = Record();
            return entries.size() >= count;
        });
        return entries;
    }
    // The counters it reports, as it keeps them between runs.
    void SetCounters(DWORD scanned, DWORD detected, DWORD cleaned) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, DRENNIC_PARAMETERS_KEY, 1);
        key.Write("Scanned", scanned);
        key.Write("Detected", detected);
        key.Write("Cleaned", cleaned);
    }
    DWORD Counter(const char* name) {
        DWORD value = 0xFFFFFFFF;
        CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, DRENNIC_PARAMETERS_KEY, 0) == ERROR_SUCCESS)
            key.Read(name, value);
        return value;
    }
};

// The real pellion in a fresh platform root of its own, with a free port, and
// the real drennic beside it (installed and started only when a test asks:
// pellion.drennic().InstallAndStart()).
class Pellion : public ServiceProgram {
public:
    Pellion()
        : ServiceProgram("Vantry SMTP Pellion", PELLION_EXE, "Pellion"), port_(reserved_.port()) {
        SetServiceValue("Config_Port", static_cast<DWORD>(port_));
    }
    ~Pellion() {
        // Leave no service running behind a test; the root is still there.
        StopIfRunning();
        drennic_->StopIfRunning();
    }

    const std::string& root() const { return root_->path(); }
    unsigned short port() const { return port_; }
    void set_port(unsigned short port) { port_ = port; }
    Drennic& drennic() { return *drennic_; }

    // Both services, Drennic first, as the run command starts them.
    bool InstallAndStartBoth() { return drennic_->InstallAndStart() && InstallAndStart(); }

    void SetServiceValue(const char* name, DWORD value) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write(name, value);
    }
    void SetServiceValue(const char* name, const char* text) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write(name, text);
    }

    // Gives loopback addresses the reverse names a test needs.
    void AddHost(const char* address, const char* name) {
        std::string dir = root() + "/drive_c/windows/system32/drivers/etc";
        RunCommand("mkdir -p '" + dir + "'");
        std::ofstream hosts(dir + "/hosts", std::ios::app);
        hosts << address << " " << name << "\n";
    }

    // A record of the root's name server, which then answers in place of the
    // machine's resolver: "PTR 127.0.0.2 name" (reverse), "A name 127.0.0.2".
    void AddZoneRecord(const std::string& record) {
        RunCommand("mkdir -p '" + root() + "/nameserver'");
        std::ofstream zone(root() + "/nameserver/zone", std::ios::app);
        zone << record << "\n";
    }

    // This machine's host name, as Pellion puts it into its messages.
    static std::string LocalHostName() {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        char name[200] = {0};
        gethostname(name, sizeof(name) - 1);
        return name;
    }

private:
    ReservedPort reserved_; // kept until the services are stopped
    unsigned short port_;
    // Made before the services are touched, removed after they are stopped.
    std::unique_ptr<TempRoot> root_{new TempRoot()};
    std::unique_ptr<Drennic> drennic_{new Drennic()};
};

// A client connection from a chosen loopback address.
class Client {
public:
    explicit Client(unsigned short port, const char* from = "127.0.0.1") {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        AskForStamps();
        SOCKADDR_IN local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(from);
        bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        SOCKADDR_IN remote = {};
        remote.sin_family = AF_INET;
        remote.sin_addr.s_addr = inet_addr("127.0.0.1");
        remote.sin_port = htons(port);
        connectingAt_ = GetTickCount();
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0;
        connectedAt_ = GetTickCount();
    }
    ~Client() { closesocket(socket_); }

    bool connected() const { return connected_; }
    DWORD connectedAt() const { return connectedAt_; }
    // Taken before the connection was asked for, so never after the service
    // accepted it: the start of every "at least so long" measure.
    DWORD connectingAt() const { return connectingAt_; }

    void Send(const std::string& text) {
        send(socket_, text.data(), static_cast<int>(text.size()), 0);
    }
    void CloseSending() { shutdown(socket_, 1); } // no more sends

    // Everything until the service closes the connection (or the limit
    // passes); firstByteAt and closedAt tell when this thread saw it, and
    // firstByteArrivedNs when the kernel received it.
    std::string ReadAll(DWORD limit = 30000) {
        std::string all;
        DWORD start = GetTickCount();
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(socket_, &set);
            timeval tv = {0, 100000};
            if (select(0, &set, nullptr, nullptr, &tv) > 0) {
                char buf[4096];
                long long arrived = 0;
                long n = ReceiveStamped(buf, sizeof(buf), &arrived);
                if (n <= 0) {
                    closedAt = GetTickCount();
                    return all;
                }
                if (all.empty()) {
                    firstByteAt = GetTickCount();
                    firstByteArrivedNs = arrived;
                }
                all.append(buf, static_cast<size_t>(n));
            }
            if (GetTickCount() - start > limit)
                return all;
        }
    }

    DWORD firstByteAt = 0;
    DWORD closedAt = 0;
    // The kernel's receive time of the first byte (real-time clock, ns; 0
    // when the kernel gave none). Unlike firstByteAt, it does not depend on
    // when the test's thread got to run, so replies that arrived a pause
    // apart show that pause on a loaded machine too.
    long long firstByteArrivedNs = 0;

private:
    // Linux's own socket-level values: the seam's SOL_SOCKET is Windows'.
    static constexpr int kLinuxSolSocket = 1;
    static constexpr int kLinuxTimestampNs = 35; // SO_TIMESTAMPNS, also the cmsg type

    // The kernel stamps what it receives from now on (a segment that came
    // before carries no time).
    void AskForStamps() {
        int on = 1;
#pragma push_macro("setsockopt")
#undef setsockopt
        ::setsockopt(static_cast<int>(socket_), kLinuxSolSocket, kLinuxTimestampNs, &on, sizeof(on));
#pragma pop_macro("setsockopt")
    }

    // One read on the descriptor under the socket, with the kernel's receive
    // time of what it returns.
    long ReceiveStamped(char* buf, size_t size, long long* arrivedNs) {
        const int fd = static_cast<int>(socket_);
        iovec part = {buf, size};
        alignas(cmsghdr) char control[128];
        msghdr message = {};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t n = ::recvmsg(fd, &message, 0);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); n > 0 && c != nullptr;
             c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == kLinuxSolSocket && c->cmsg_type == kLinuxTimestampNs) {
                timespec at;
                memcpy(&at, CMSG_DATA(c), sizeof(at));
                *arrivedNs = static_cast<long long>(at.tv_sec) * 1000000000LL + at.tv_nsec;
            }
        }
        return static_cast<long>(n);
    }

    SOCKET socket_;
    bool connected_ = false;
    DWORD connectedAt_ = 0;
    DWORD connectingAt_ = 0;
};

// The request, answered: connect, send, read until the service closes.
inline std::string Ask(unsigned short port, const std::string& request,
                       const char* from = "127.0.0.1") {
    Client client(port, from);
    client.Send(request);
    return client.ReadAll();
}

} // namespace vtest

#endif
