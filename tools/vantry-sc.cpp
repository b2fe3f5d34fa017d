// vantry-sc: the service control tool, in the manner of Windows `sc`.
//
//   vantry-sc create NAME binPath= PATH [DisplayName= TEXT] [start= demand|auto|disabled]
//                    [error= normal|ignore|severe|critical] [obj= ACCOUNT]
//   vantry-sc start NAME [ARGUMENTS...]
//   vantry-sc stop NAME       sends stop, then waits until the service has stopped
//   vantry-sc query NAME
//   vantry-sc delete NAME
//   vantry-sc history NAME    every status the service reported, oldest first
//   vantry-sc run NAME        starts the service and stays in the foreground
//
// `run` is for a supervisor such as systemd (a Type=simple unit; KillMode=mixed,
// so that systemd's SIGTERM reaches only this tool): SIGTERM and SIGINT become
// a stop control, and the tool ends with the service process's exit status.
//
// Exit status: 0 on success, 1 when an operation failed (the Windows error
// code and its text are printed), 2 on bad arguments.
#include "platform/win32.h"

#include "platform/bounded.h"

#ifndef _WIN32
#include "platform/posix/service_launch.h"
#include "platform/posix/service_status_reader.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

const int kExitFailed = 1;
const int kExitUsage = 2;

int Usage() {
    fprintf(stderr,
            "Usage:\n"
            "  vantry-sc create NAME binPath= PATH [DisplayName= TEXT]"
            " [start= demand|auto|disabled] [error= normal|ignore|severe|critical] [obj= ACCOUNT]\n"
            "  vantry-sc start NAME [ARGUMENTS...]\n"
            "  vantry-sc stop NAME\n"
            "  vantry-sc query NAME\n"
            "  vantry-sc delete NAME\n"
            "  vantry-sc history NAME\n"
            "  vantry-sc run NAME\n");
    return kExitUsage;
}

// "[SC] <what> FAILED <code>:" and the system's text for the code.
int Failed(const char* what, DWORD code) {
    char text[512];
    text[0] = '\0';
    LPSTR message = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                               reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (len > 0 && message != nullptr) {
        BoundedCopy(text, sizeof(text), message);
        size_t n = strlen(text);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
            text[--n] = '\0';
    }
    if (message != nullptr)
        LocalFree(message);
    fprintf(stderr, "[SC] %s FAILED %lu:\n\n%s\n", what, static_cast<unsigned long>(code),
            text[0] ? text : "(no text for this code)");
    // The service database lives in the platform root: when that cannot be
    // written, say where and why rather than leave a bare code.
    char why[512];
    if (CheckPlatformRootV(TRUE, why, sizeof(why)) != ERROR_SUCCESS)
        fprintf(stderr, "%s\n", why);
    return kExitFailed;
}

const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return "PAUSE_PENDING";
    case SERVICE_PAUSED:
        return "PAUSED";
    default:
        return "UNKNOWN";
    }
}

const char* TypeName(DWORD type) {
    switch (type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) {
    case SERVICE_KERNEL_DRIVER:
        return "KERNEL_DRIVER";
    case SERVICE_FILE_SYSTEM_DRIVER:
        return "FILE_SYSTEM_DRIVER";
    case SERVICE_WIN32_OWN_PROCESS:
        return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS:
        return "WIN32_SHARE_PROCESS";
    default:
        return "UNKNOWN";
    }
}

void PrintStatus(const char* name, const SERVICE_STATUS& s) {
    printf("\nSERVICE_NAME: %s\n", name);
    printf("        TYPE               : %-2lx  %s\n", static_cast<unsigned long>(s.dwServiceType),
           TypeName(s.dwServiceType));
    printf("        STATE              : %-2lu  %s\n", static_cast<unsigned long>(s.dwCurrentState),
           StateName(s.dwCurrentState));
    printf("                                (%s, %s, %s)\n",
           s.dwControlsAccepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
           s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? "PAUSABLE" : "NOT_PAUSABLE",
           s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN ? "ACCEPTS_SHUTDOWN"
                                                          : "IGNORES_SHUTDOWN");
    printf("        WIN32_EXIT_CODE    : %lu  (0x%lx)\n",
           static_cast<unsigned long>(s.dwWin32ExitCode),
           static_cast<unsigned long>(s.dwWin32ExitCode));
    printf("        SERVICE_EXIT_CODE  : %lu  (0x%lx)\n",
           static_cast<unsigned long>(s.dwServiceSpecificExitCode),
           static_cast<unsigned long>(s.dwServiceSpecificExitCode));
    printf("        CHECKPOINT         : 0x%lx\n", static_cast<unsigned long>(s.dwCheckPoint));
    printf("        WAIT_HINT          : 0x%lx\n", static_cast<unsigned long>(s.dwWaitHint));
    fflush(stdout);
}

// The manager and one service, closed on the way out.
class ServiceSession {
public:
    ~ServiceSession() {
        if (service_ != nullptr)
            CloseServiceHandle(service_);
        if (manager_ != nullptr)
            CloseServiceHandle(manager_);
    }
    // Opens both; on failure prints the error and returns false.
    bool Open(const char* name, DWORD access) {
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager_ == nullptr) {
            Failed("OpenSCManager", GetLastError());
            return false;
        }
        service_ = OpenServiceA(manager_, name, access);
        if (service_ == nullptr) {
            Failed("OpenService", GetLastError());
            return false;
        }
        return true;
    }
    SC_HANDLE Service() const { return service_; }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

// An sc option: "key= value" (two words, as sc wants) or "key=value".
bool TakeOption(int argc, char** argv, int* i, const char* key, const char** value) {
    size_t keyLen = strlen(key);
    const char* arg = argv[*i];
    if (strncasecmp(arg, key, keyLen) != 0)
        return false;
    if (arg[keyLen] != '\0') {
        *value = arg + keyLen;
        return true;
    }
    if (*i + 1 >= argc)
        return false;
    *value = argv[++*i];
    return true;
}

int Create(int argc, char** argv) {
    const char* name = argv[2];
    const char* binPath = nullptr;
    const char* displayName = nullptr;
    const char* account = nullptr;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    for (int i = 3; i < argc; ++i) {
        const char* value = nullptr;
        if (TakeOption(argc, argv, &i, "binPath=", &value)) {
            binPath = value;
        } else if (TakeOption(argc, argv, &i, "DisplayName=", &value)) {
            displayName = value;
        } else if (TakeOption(argc, argv, &i, "obj=", &value)) {
            account = value;
        } else if (TakeOption(argc, argv, &i, "start=", &value)) {
            if (strcasecmp(value, "demand") == 0)
                start = SERVICE_DEMAND_START;
            else if (strcasecmp(value, "auto") == 0)
                start = SERVICE_AUTO_START;
            else if (strcasecmp(value, "disabled") == 0)
                start = SERVICE_DISABLED;
            else
                return Usage();
        } else if (TakeOption(argc, argv, &i, "error=", &value)) {
            if (strcasecmp(value, "normal") == 0)
                errorControl = SERVICE_ERROR_NORMAL;
            else if (strcasecmp(value, "ignore") == 0)
                errorControl = SERVICE_ERROR_IGNORE;
            else if (strcasecmp(value, "severe") == 0)
                errorControl = SERVICE_ERROR_SEVERE;
            else if (strcasecmp(value, "critical") == 0)
                errorControl = SERVICE_ERROR_CRITICAL;
            else
                return Usage();
        } else {
            fprintf(stderr, "vantry-sc: unknown option '%s'\n", argv[i]);
            return Usage();
        }
    }
    if (binPath == nullptr || *binPath == '\0') {
        fprintf(stderr, "vantry-sc: create needs binPath= PATH\n");
        return Usage();
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return Failed("OpenSCManager", GetLastError());
    SC_HANDLE service =
        CreateServiceA(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       start, errorControl, binPath, nullptr, nullptr, "", account, nullptr);
    DWORD err = GetLastError();
    CloseServiceHandle(manager);
    if (service == nullptr)
        return Failed("CreateService", err);
    CloseServiceHandle(service);
    printf("[SC] CreateService SUCCESS\n");
    return 0;
}

int Start(int argc, char** argv) {
    ServiceSession session;
    if (!session.Open(argv[2], SERVICE_START | SERVICE_QUERY_STATUS))
        return kExitFailed;
    DWORD count = static_cast<DWORD>(argc - 3);
    const char** args = const_cast<const char**>(argv + 3);
    if (!StartServiceA(session.Service(), count, count > 0 ? args : nullptr))
        return Failed("StartService", GetLastError());
    SERVICE_STATUS s;
    if (QueryServiceStatus(session.Service(), &s))
        PrintStatus(argv[2], s);
    return 0;
}

int Stop(const char* name) {
    ServiceSession session;
    if (!session.Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS))
        return kExitFailed;
    SERVICE_STATUS s;
    if (!ControlService(session.Service(), SERVICE_CONTROL_STOP, &s))
        return Failed("ControlService", GetLastError());
    PrintStatus(name, s);
    // Wait while it makes progress: a state or check point that stays the
    // same for longer than its wait hint (at least 10 s) plus a margin is a
    // service that does not stop.
    DWORD lastState = s.dwCurrentState;
    DWORD lastCheckPoint = s.dwCheckPoint;
    DWORD sinceChangeMs = 0;
    while (s.dwCurrentState != SERVICE_STOPPED) {
        Sleep(250);
        sinceChangeMs += 250;
        if (!QueryServiceStatus(session.Service(), &s))
            return Failed("QueryServiceStatus", GetLastError());
        if (s.dwCurrentState != lastState || s.dwCheckPoint != lastCheckPoint) {
            printf("        STATE              : %-2lu  %s\n",
                   static_cast<unsigned long>(s.dwCurrentState), StateName(s.dwCurrentState));
            fflush(stdout);
            lastState = s.dwCurrentState;
            lastCheckPoint = s.dwCheckPoint;
            sinceChangeMs = 0;
        }
        DWORD limit = (s.dwWaitHint > 10000 ? s.dwWaitHint : 10000) + 5000;
        if (s.dwCurrentState != SERVICE_STOPPED && sinceChangeMs > limit)
            return Failed("Stop (the service did not stop)", ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    PrintStatus(name, s);
    return 0;
}

int Query(const char* name) {
    ServiceSession session;
    if (!session.Open(name, SERVICE_QUERY_STATUS))
        return kExitFailed;
    SERVICE_STATUS s;
    if (!QueryServiceStatus(session.Service(), &s))
        return Failed("QueryServiceStatus", GetLastError());
    PrintStatus(name, s);
    return 0;
}

int Delete(const char* name) {
    ServiceSession session;
    if (!session.Open(name, DELETE))
        return kExitFailed;
    if (!DeleteService(session.Service()))
        return Failed("DeleteService", GetLastError());
    printf("[SC] DeleteService SUCCESS\n");
    return 0;
}

#ifndef _WIN32

int History(const char* name) {
    {
        // A query first: a service process that died since it was last
        // looked at gets its final entry (stopped, with the manager's exit
        // code) now, and the history shows it.
        ServiceSession session;
        SERVICE_STATUS status;
        if (session.Open(name, SERVICE_QUERY_STATUS))
            QueryServiceStatus(session.Service(), &status);
        else
            return kExitFailed;
    }
    std::vector<vplat::ServiceStatusRecord> records = vplat::ReadServiceStatusRecords(name);
    printf("%-24s %-8s %-16s %-10s %-10s %-8s %-15s %s\n", "TIME", "PID", "STATE", "CHECKPOINT",
           "WAIT_HINT", "CONTROLS", "WIN32_EXIT_CODE", "SERVICE_EXIT_CODE");
    for (const vplat::ServiceStatusRecord& r : records) {
        char state[24];
        BoundedFormat(state, sizeof(state), "%lu %s",
                      static_cast<unsigned long>(r.status.dwCurrentState),
                      StateName(r.status.dwCurrentState));
        printf("%-24s %-8lu %-16s 0x%-8lx 0x%-8lx 0x%-6lx %-15lu %lu\n", r.time,
               static_cast<unsigned long>(r.pid), state,
               static_cast<unsigned long>(r.status.dwCheckPoint),
               static_cast<unsigned long>(r.status.dwWaitHint),
               static_cast<unsigned long>(r.status.dwControlsAccepted),
               static_cast<unsigned long>(r.status.dwWin32ExitCode),
               static_cast<unsigned long>(r.status.dwServiceSpecificExitCode));
    }
    return 0;
}

int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int sig) {
    int saved = errno;
    unsigned char c = static_cast<unsigned char>(sig);
    ssize_t w = write(gSignalPipe[1], &c, 1);
    (void)w;
    errno = saved;
}

// The exit status of the tool for the service process's wait status.
int ForwardedExit(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return kExitFailed;
}

int Run(const char* name) {
    ServiceSession session;
    if (!session.Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_START))
        return kExitFailed;
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return Failed("run", ERROR_GEN_FAILURE);
    // Installed before the start, so that a stop asked for during the start
    // is kept and sent once the service can take it.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vplat::LaunchResult launch;
    DWORD rc = vplat::LaunchService(name, 0, nullptr, true, &launch);
    if (rc != ERROR_SUCCESS) {
        Failed("StartService", rc);
        return launch.exited && ForwardedExit(launch.waitStatus) != 0
                   ? ForwardedExit(launch.waitStatus)
                   : kExitFailed;
    }
    fprintf(stderr, "[SC] run: %s started, process %ld\n", name, static_cast<long>(launch.pid));
    int waitStatus = launch.waitStatus;
    bool exited = launch.exited;
    bool stopWanted = false;
    bool stopSent = false;
    while (!exited) {
        struct pollfd pfd;
        pfd.fd = gSignalPipe[0];
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (poll(&pfd, 1, 200) > 0) {
            unsigned char sig = 0;
            while (read(gSignalPipe[0], &sig, 1) == 1) {
                stopWanted = true;
                stopSent = false; // a repeated signal sends the stop again
                fprintf(stderr, "[SC] run: signal %d, stopping %s\n", sig, name);
            }
        }
        if (stopWanted && !stopSent) {
            SERVICE_STATUS s;
            if (ControlService(session.Service(), SERVICE_CONTROL_STOP, &s)) {
                stopSent = true;
            } else {
                DWORD err = GetLastError();
                // Still starting (or already stopping): ask again shortly.
                if (err != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                    stopSent = true;
                if (err != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && err != ERROR_SERVICE_NOT_ACTIVE)
                    Failed("ControlService", err);
            }
        }
        pid_t w = waitpid(launch.pid, &waitStatus, WNOHANG);
        if (w == launch.pid || (w < 0 && errno == ECHILD))
            exited = true;
    }
    SERVICE_STATUS s;
    if (QueryServiceStatus(session.Service(), &s))
        PrintStatus(name, s);
    return ForwardedExit(waitStatus);
}

#else

int History(const char*) {
    fprintf(stderr, "vantry-sc: history is kept by the POSIX service manager only\n");
    return kExitFailed;
}

int Run(const char*) {
    fprintf(stderr, "vantry-sc: run is for the POSIX service manager only\n");
    return kExitFailed;
}

#endif

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return Usage();
    const char* command = argv[1];
    const char* name = argv[2];
    if (*name == '\0')
        return Usage();
    if (strcasecmp(command, "create") == 0)
        return Create(argc, argv);
    if (strcasecmp(command, "start") == 0)
        return Start(argc, argv);
    if (argc != 3)
        return Usage();
    if (strcasecmp(command, "stop") == 0)
        return Stop(name);
    if (strcasecmp(command, "query") == 0)
        return Query(name);
    if (strcasecmp(command, "delete") == 0)
        return Delete(name);
    if (strcasecmp(command, "history") == 0)
        return History(name);
    if (strcasecmp(command, "run") == 0)
        return Run(name);
    fprintf(stderr, "vantry-sc: unknown command '%s'\n", command);
    return Usage();
}
