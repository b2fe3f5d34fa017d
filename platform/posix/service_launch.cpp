// Starting a service process: the image path as Windows reads it, the spawn
// with the token, and the wait for the service's first status report.
#include "platform/posix/service_internal.h"

#include "platform/bounded.h"
#include "platform/posix/internal.h"
#include "platform/posix/command_line.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vplat {

namespace {

std::string MakeNonce() {
    unsigned char bytes[8] = {0};
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && read(fd, bytes, sizeof(bytes)) == static_cast<ssize_t>(sizeof(bytes));
    if (fd >= 0)
        close(fd);
    if (!ok) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        unsigned long long v = static_cast<unsigned long long>(ts.tv_nsec) ^
                               (static_cast<unsigned long long>(getpid()) << 32) ^
                               static_cast<unsigned long long>(ts.tv_sec);
        memcpy(bytes, &v, sizeof(bytes));
    }
    char hex[17];
    for (int i = 0; i < 8; ++i)
        BoundedFormat(hex + 2 * i, sizeof(hex) - 2 * i, "%02x", bytes[i]);
    return hex;
}

bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Everything the child needs, prepared before fork: after it, only calls
// that are safe between fork and exec.
struct SpawnPlan {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::vector<char*> argv;
    std::vector<char*> envp;
    int stdinFd = -1;
    int outFd = -1; // -1: keep the caller's output
};

void CloseFrom(int first, int keep) {
#ifdef SYS_close_range
    if (keep >= first) {
        bool ok = keep == first || syscall(SYS_close_range, first, keep - 1, 0) == 0;
        if (ok && syscall(SYS_close_range, keep + 1, ~0u, 0) == 0)
            return;
    } else if (syscall(SYS_close_range, first, ~0u, 0) == 0) {
        return;
    }
#endif
    for (int fd = first; fd < 65536; ++fd)
        if (fd != keep)
            close(fd);
}

// In the child: its own session, the standard streams, default signals, no
// descriptors of the caller, then the image. An exec failure goes back
// through errFd.
[[noreturn]] void ExecChild(const SpawnPlan& plan, int errFd) {
    setsid();
    if (plan.stdinFd >= 0)
        dup2(plan.stdinFd, 0);
    if (plan.outFd >= 0) {
        dup2(plan.outFd, 1);
        dup2(plan.outFd, 2);
    }
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < 32; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, nullptr);
    CloseFrom(3, errFd);
    execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    int err = errno;
    ssize_t w = write(errFd, &err, sizeof(err));
    (void)w;
    _exit(127);
}

ssize_t ReadFull(int fd, void* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, static_cast<char*>(buf) + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Spawns the plan. Detached: through an intermediate process, so that the
// service is nobody's child. Returns 0 with *pid, or an errno value.
int Spawn(const SpawnPlan& plan, bool foreground, pid_t* pid) {
    int errPipe[2];
    int pidPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        return errno;
    if (pipe2(pidPipe, O_CLOEXEC) != 0) {
        int err = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        return err;
    }
    pid_t first = fork();
    if (first < 0) {
        int err = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        close(pidPipe[0]);
        close(pidPipe[1]);
        return err;
    }
    if (first == 0) {
        if (foreground)
            ExecChild(plan, errPipe[1]);
        pid_t second = fork();
        if (second == 0)
            ExecChild(plan, errPipe[1]);
        ssize_t w = write(pidPipe[1], &second, sizeof(second));
        (void)w;
        _exit(second < 0 ? 1 : 0);
    }
    close(errPipe[1]);
    close(pidPipe[1]);
    pid_t child = first;
    int result = 0;
    if (!foreground) {
        int st = 0;
        while (waitpid(first, &st, 0) < 0 && errno == EINTR) {
        }
        if (ReadFull(pidPipe[0], &child, sizeof(child)) != sizeof(child) || child <= 0)
            result = EAGAIN;
    }
    close(pidPipe[0]);
    int execErr = 0;
    if (result == 0 && ReadFull(errPipe[0], &execErr, sizeof(execErr)) == sizeof(execErr)) {
        result = execErr != 0 ? execErr : ENOEXEC;
        if (foreground) {
            int st = 0;
            while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
            }
        }
    }
    close(errPipe[0]);
    *pid = child;
    return result;
}

bool ReadImagePath(HKEY key, std::string* imagePath) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, "ImagePath", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 65536)
        return false;
    std::vector<char> buf(size + 1, '\0');
    if (RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()),
                         &size) != ERROR_SUCCESS)
        return false;
    buf[size < buf.size() ? size : buf.size() - 1] = '\0';
    *imagePath = buf.data();
    return true;
}

void RecordStartFailure(const char* serviceName, const std::string& nonce, DWORD error) {
    ServiceRecordLock lock(serviceName);
    ServiceRecord record;
    if (ReadServiceRecord(serviceName, &record) && nonce != record.nonce)
        return; // a later start owns the record
    record.pid = 0;
    record.status.dwCurrentState = SERVICE_STOPPED;
    record.status.dwControlsAccepted = 0;
    record.status.dwWin32ExitCode = error;
    record.status.dwCheckPoint = 0;
    record.status.dwWaitHint = 0;
    WriteServiceRecord(serviceName, record);
}

} // namespace

bool SplitImagePath(const std::string& imagePath, std::vector<std::string>* args) {
    args->clear();
    bool found = false;
    size_t end = 0;
    std::string program = FindProgramInLine(imagePath, &found, &end);
    if (program.empty())
        return false;
    args->push_back(program);
    SplitArguments(imagePath, end, args);
    return true;
}

DWORD LaunchService(const char* serviceName, DWORD argc, const char* const* argv, bool foreground,
                    LaunchResult* result) {
    LaunchResult local;
    if (result == nullptr)
        result = &local;
    *result = LaunchResult();

    HKEY key = nullptr;
    if (OpenServiceKey(serviceName, KEY_READ, &key) != ERROR_SUCCESS)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD flag = 0;
    DWORD start = SERVICE_DEMAND_START;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    std::string imagePath;
    bool marked = ReadServiceDword(key, kDeleteFlagValue, &flag) && flag != 0;
    ReadServiceDword(key, "Start", &start);
    ReadServiceDword(key, "Type", &type);
    bool haveImage = ReadImagePath(key, &imagePath);
    RegCloseKey(key);
    if (marked)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (start == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    if (!haveImage)
        return ERROR_PATH_NOT_FOUND;

    SERVICE_STATUS current;
    QueryServiceCurrent(serviceName, &current, nullptr);
    if (current.dwCurrentState != SERVICE_STOPPED)
        return ERROR_SERVICE_ALREADY_RUNNING;

    SpawnPlan plan;
    if (!SplitImagePath(imagePath, &plan.args))
        return ERROR_PATH_NOT_FOUND;
    if (access(plan.args[0].c_str(), X_OK) != 0)
        return ErrorFromErrno(errno);

    std::string serviceArgs;
    for (DWORD i = 0; i < argc; ++i) {
        if (argv == nullptr || argv[i] == nullptr ||
            strchr(argv[i], kServiceArgSeparator) != nullptr)
            return ERROR_INVALID_PARAMETER;
        if (i > 0)
            serviceArgs.push_back(kServiceArgSeparator);
        serviceArgs += argv[i];
    }
    std::string nonce = MakeNonce();
    std::string tokenPrefix = std::string(kServiceTokenVariable) + "=";
    std::string argsPrefix = std::string(kServiceArgsVariable) + "=";
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (StartsWith(*e, tokenPrefix.c_str()) || StartsWith(*e, argsPrefix.c_str()))
            continue;
        plan.env.push_back(*e);
    }
    plan.env.push_back(tokenPrefix + serviceName + ":" + nonce);
    if (argc > 0)
        plan.env.push_back(argsPrefix + serviceArgs);
    for (std::string& a : plan.args)
        plan.argv.push_back(&a[0]);
    plan.argv.push_back(nullptr);
    for (std::string& e : plan.env)
        plan.envp.push_back(&e[0]);
    plan.envp.push_back(nullptr);

    plan.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!foreground)
        plan.outFd = open(ServiceFile(serviceName, "log").c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    pid_t pid = 0;
    int spawnErr = 0;
    {
        ServiceRecordLock lock(serviceName);
        ServiceRecord record;
        if (ReadServiceRecord(serviceName, &record) && ProcessAlive(record.pid) &&
            record.status.dwCurrentState != SERVICE_STOPPED) {
            if (plan.stdinFd >= 0)
                close(plan.stdinFd);
            if (plan.outFd >= 0)
                close(plan.outFd);
            return ERROR_SERVICE_ALREADY_RUNNING; // another caller started it meanwhile
        }
        record = ServiceRecord();
        BoundedCopy(record.nonce, sizeof(record.nonce), nonce.c_str());
        record.status.dwServiceType = type;
        record.status.dwCurrentState = SERVICE_START_PENDING;
        // No process the manager could not follow: without its record (a
        // full disk before the first one was ever written) the service would
        // run unseen, its stop unable to reach it.
        if (!WriteServiceRecord(serviceName, record)) {
            DWORD code = ErrorFromErrno(errno);
            if (plan.stdinFd >= 0)
                close(plan.stdinFd);
            if (plan.outFd >= 0)
                close(plan.outFd);
            return code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT;
        }
        spawnErr = Spawn(plan, foreground, &pid);
        if (spawnErr == 0 && ReadServiceRecord(serviceName, &record) && nonce == record.nonce &&
            record.pid == 0) {
            record.pid = pid;
            WriteServiceRecord(serviceName, record);
        }
    }
    if (plan.stdinFd >= 0)
        close(plan.stdinFd);
    if (plan.outFd >= 0)
        close(plan.outFd);
    if (spawnErr != 0) {
        DWORD code = ErrorFromErrno(spawnErr);
        RecordStartFailure(serviceName, nonce, code);
        return code;
    }
    result->pid = pid;

    // Until the dispatcher answers and the service has reported once.
    struct timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    unsigned pauseMs = 5;
    while (true) {
        ServiceRequest request{kServiceWireMagic, kOpQuery, 0};
        ServiceReply reply;
        if (ExchangeWithService(serviceName, request, 2000, &reply) == ERROR_SUCCESS &&
            reply.reported > 0)
            return ERROR_SUCCESS;
        bool gone;
        if (foreground) {
            int st = 0;
            pid_t w = waitpid(pid, &st, WNOHANG);
            gone = w == pid;
            if (gone) {
                result->exited = true;
                result->waitStatus = st;
            }
        } else {
            gone = !ProcessAlive(pid);
        }
        if (gone) {
            ServiceRecord record;
            {
                ServiceRecordLock lock(serviceName);
                if (!ReadServiceRecord(serviceName, &record))
                    record = ServiceRecord();
            }
            // It may have reported and stopped between two looks.
            bool reportedOnce = nonce == record.nonce && record.reported > 0;
            SERVICE_STATUS after;
            QueryServiceCurrent(serviceName, &after, nullptr);
            return reportedOnce ? ERROR_SUCCESS : ERROR_PROCESS_ABORTED;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs =
            (now.tv_sec - begin.tv_sec) * 1000 + (now.tv_nsec - begin.tv_nsec) / 1000000;
        if (elapsedMs >= kStartTimeoutMs)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        usleep(pauseMs * 1000);
        if (pauseMs < 50)
            pauseMs *= 2;
    }
}

} // namespace vplat
