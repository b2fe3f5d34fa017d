// The service side of the service manager: the control dispatcher, handler
// registration and status reports of the service process.
//
// The dispatcher serves the service's socket on the thread that called it, so
// that a control reaches the handler on that thread, as on Windows; ServiceMain
// runs on a thread of its own. A query is answered from the last reported
// status without disturbing the service.
#include "platform/posix/service_internal.h"

#include "platform/bounded.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The one service this process dispatches (an own-process service).
struct DispatchState {
    std::mutex lock;
    bool active = false;
    std::string serviceName; // as the manager started it
    std::string tableName;   // as the dispatch table names it
    std::string nonce;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS status{};
    DWORD reported = 0;
    bool stopReported = false;
    bool mainReturned = false;
    int wakeWrite = -1;
};

DispatchState gState;

SERVICE_STATUS_HANDLE StatusHandle() {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&gState);
}

void Wake() {
    if (gState.wakeWrite >= 0) {
        char c = 1;
        ssize_t w = write(gState.wakeWrite, &c, 1);
        (void)w;
    }
}

struct MainArgs {
    LPSERVICE_MAIN_FUNCTIONA proc;
    std::vector<std::string> args;
    std::vector<char*> argv;
};

void* ServiceMainThread(void* p) {
    MainArgs* m = static_cast<MainArgs*>(p);
    m->proc(static_cast<DWORD>(m->args.size()), m->argv.data());
    std::lock_guard<std::mutex> guard(gState.lock);
    gState.mainReturned = true;
    Wake();
    return nullptr;
}

// Writes the status record of this process; the caller holds gState.lock.
void RecordStatusLocked() {
    vplat::ServiceRecordLock fileLock(gState.serviceName.c_str());
    vplat::ServiceRecord record;
    record.pid = static_cast<long>(getpid());
    BoundedCopy(record.nonce, sizeof(record.nonce), gState.nonce.c_str());
    record.reported = gState.reported;
    record.status = gState.status;
    vplat::WriteServiceRecord(gState.serviceName.c_str(), record);
}

bool AcceptsControl(const SERVICE_STATUS& s, DWORD control, DWORD* error) {
    if (control == SERVICE_CONTROL_INTERROGATE)
        return true;
    if (s.dwCurrentState == SERVICE_START_PENDING || s.dwCurrentState == SERVICE_STOP_PENDING) {
        *error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return false;
    }
    DWORD needed = 0;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    default:
        if (control >= 128 && control <= 255)
            return true; // user-defined controls go to the handler
        *error = ERROR_INVALID_SERVICE_CONTROL;
        return false;
    }
    if ((s.dwControlsAccepted & needed) == 0) {
        *error = ERROR_INVALID_SERVICE_CONTROL;
        return false;
    }
    return true;
}

void SetTimeouts(int fd, int ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// One exchange on an accepted connection. A client that sends nothing is
// dropped after its time-out, so that it cannot hold the dispatcher.
void ServeConnection(int fd) {
    SetTimeouts(fd, 2000);
    vplat::ServiceRequest request;
    size_t got = 0;
    while (got < sizeof(request)) {
        ssize_t n = recv(fd, reinterpret_cast<char*>(&request) + got, sizeof(request) - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        got += static_cast<size_t>(n);
    }
    if (request.magic != vplat::kServiceWireMagic)
        return;
    vplat::ServiceReply reply;
    memset(&reply, 0, sizeof(reply));
    reply.magic = vplat::kServiceWireMagic;
    if (request.op == vplat::kOpControl) {
        LPHANDLER_FUNCTION handler = nullptr;
        {
            std::lock_guard<std::mutex> guard(gState.lock);
            DWORD error = ERROR_SUCCESS;
            if (gState.stopReported)
                error = ERROR_SERVICE_NOT_ACTIVE;
            else if (gState.handler == nullptr || gState.reported == 0)
                error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
            else if (AcceptsControl(gState.status, request.control, &error))
                handler = gState.handler;
            reply.error = error;
        }
        if (handler != nullptr)
            handler(request.control);
    } else if (request.op != vplat::kOpQuery) {
        reply.error = ERROR_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(gState.lock);
        reply.reported = gState.reported;
        reply.status = gState.status;
    }
    const char* p = reinterpret_cast<const char*>(&reply);
    size_t left = sizeof(reply);
    while (left > 0) {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Splits "name:nonce"; the nonce is the part after the last colon.
bool ParseToken(const char* token, std::string* name, std::string* nonce) {
    const char* colon = strrchr(token, ':');
    if (colon == nullptr || colon == token || colon[1] == '\0')
        return false;
    name->assign(token, static_cast<size_t>(colon - token));
    nonce->assign(colon + 1);
    return true;
}

void ResetState() {
    std::lock_guard<std::mutex> guard(gState.lock);
    gState.active = false;
    gState.handler = nullptr;
    gState.serviceName.clear();
    gState.tableName.clear();
    gState.nonce.clear();
    gState.reported = 0;
    gState.stopReported = false;
    gState.mainReturned = false;
    gState.wakeWrite = -1;
}

} // namespace

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    // The connection to the manager comes first, as on Windows: a program
    // started from a console fails with 1063 whatever its table holds; only a
    // connected dispatcher looks at the table.
    const char* token = getenv(vplat::kServiceTokenVariable);
    std::string name;
    std::string nonce;
    if (token == nullptr || !ParseToken(token, &name, &nonce)) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    std::vector<std::string> args;
    args.push_back(name);
    if (const char* packed = getenv(vplat::kServiceArgsVariable)) {
        std::string all(packed);
        size_t pos = 0;
        while (true) {
            size_t sep = all.find(vplat::kServiceArgSeparator, pos);
            args.push_back(
                all.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
            if (sep == std::string::npos)
                break;
            pos = sep + 1;
        }
    }
    // The token is this process's alone: programs the service starts must
    // not pass for it.
    unsetenv(vplat::kServiceTokenVariable);
    unsetenv(vplat::kServiceArgsVariable);

    vplat::ServiceRecord record;
    {
        vplat::ServiceRecordLock fileLock(name.c_str());
        if (!vplat::ReadServiceRecord(name.c_str(), &record) || nonce != record.nonce) {
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
    }
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
        lpServiceStartTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // An own-process service: the entry of its name, else the first entry.
    const SERVICE_TABLE_ENTRYA* entry = &lpServiceStartTable[0];
    for (const SERVICE_TABLE_ENTRYA* e = lpServiceStartTable; e->lpServiceName != nullptr; ++e) {
        if (e->lpServiceProc != nullptr && strcasecmp(e->lpServiceName, name.c_str()) == 0) {
            entry = e;
            break;
        }
    }

    {
        std::lock_guard<std::mutex> guard(gState.lock);
        if (gState.active) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
    }

    std::string socketPath = vplat::ServiceSocketFile(name.c_str());
    vplat::ServiceSocketAddress addr;
    int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool listening = false;
    struct stat bound;
    memset(&bound, 0, sizeof(bound));
    if (listenFd >= 0 && addr.Make(name.c_str())) {
        unlink(socketPath.c_str());
        listening = bind(listenFd, static_cast<const struct sockaddr*>(addr.Address()),
                         static_cast<socklen_t>(addr.Length())) == 0 &&
                    listen(listenFd, 16) == 0 && stat(socketPath.c_str(), &bound) == 0;
    }
    addr.Close();
    int wake[2] = {-1, -1};
    if (!listening || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (listenFd >= 0)
            close(listenFd);
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }

    {
        std::lock_guard<std::mutex> guard(gState.lock);
        gState.active = true;
        gState.serviceName = name;
        gState.tableName = entry->lpServiceName;
        gState.nonce = nonce;
        gState.handler = nullptr;
        gState.reported = 0;
        gState.stopReported = false;
        gState.mainReturned = false;
        gState.wakeWrite = wake[1];
        memset(&gState.status, 0, sizeof(gState.status));
        gState.status.dwServiceType = record.status.dwServiceType != 0
                                          ? record.status.dwServiceType
                                          : static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS);
        gState.status.dwCurrentState = SERVICE_START_PENDING;
    }

    MainArgs mainArgs;
    mainArgs.proc = entry->lpServiceProc;
    mainArgs.args = args;
    for (std::string& a : mainArgs.args)
        mainArgs.argv.push_back(&a[0]);
    mainArgs.argv.push_back(nullptr);
    pthread_t mainThread;
    if (pthread_create(&mainThread, nullptr, ServiceMainThread, &mainArgs) != 0) {
        close(listenFd);
        close(wake[0]);
        close(wake[1]);
        unlink(socketPath.c_str());
        ResetState();
        SetLastError(ERROR_SERVICE_NO_THREAD);
        return FALSE;
    }

    while (true) {
        {
            std::lock_guard<std::mutex> guard(gState.lock);
            if (gState.mainReturned)
                break;
        }
        struct pollfd fds[2];
        fds[0].fd = listenFd;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = wake[0];
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        int n = poll(fds, 2, 1000);
        if (n <= 0)
            continue;
        if (fds[1].revents != 0) {
            char buf[64];
            while (read(wake[0], buf, sizeof(buf)) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0) {
                ServeConnection(conn);
                close(conn);
            }
        }
    }
    pthread_join(mainThread, nullptr);

    close(listenFd);
    // Remove the socket file unless a new instance has put its own there.
    struct stat now;
    if (stat(socketPath.c_str(), &now) == 0 && now.st_ino == bound.st_ino &&
        now.st_dev == bound.st_dev)
        unlink(socketPath.c_str());
    {
        std::lock_guard<std::mutex> guard(gState.lock);
        if (!gState.stopReported) {
            // ServiceMain gave up without a last word: the service is over
            // all the same, and not by its own report.
            gState.status.dwCurrentState = SERVICE_STOPPED;
            gState.status.dwControlsAccepted = 0;
            gState.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
            gState.status.dwCheckPoint = 0;
            gState.status.dwWaitHint = 0;
            RecordStatusLocked();
            vplat::AppendServiceHistory(gState.serviceName.c_str(), gState.status);
        }
        gState.wakeWrite = -1;
    }
    close(wake[0]);
    close(wake[1]);
    vplat::CompletePendingDelete(name.c_str());
    ResetState();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc) {
    if (lpServiceName == nullptr || lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gState.lock);
    if (!gState.active) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    if (strcasecmp(lpServiceName, gState.serviceName.c_str()) != 0 &&
        strcasecmp(lpServiceName, gState.tableName.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    gState.handler = lpHandlerProc;
    return StatusHandle();
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    if (lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(gState.lock);
    if (hServiceStatus != StatusHandle() || !gState.active || gState.handler == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    gState.status = *lpServiceStatus;
    ++gState.reported;
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED)
        gState.stopReported = true;
    RecordStatusLocked();
    vplat::AppendServiceHistory(gState.serviceName.c_str(), gState.status);
    Wake();
    return TRUE;
}
