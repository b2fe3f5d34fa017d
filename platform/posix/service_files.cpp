// The service manager's state in the platform root: status record, history,
// lock and socket of each service, and the query every caller shares.
#include "platform/posix/service_internal.h"
#include "platform/posix/service_status_reader.h"

#include "platform/bounded.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vplat {

namespace {

// A status record is one line padded to this size, rewritten in place: the
// file keeps the block it was given at the first write, so that a record can
// still be replaced when the disk is full.
constexpr size_t kRecordSize = 128;
// Space kept allocated past the end of a history, so that the reports of a
// service go on being appended while the disk is full; topped up whenever
// less than kHistoryLow of it is left.
constexpr off_t kHistoryReserve = 64 * 1024;
constexpr off_t kHistoryLow = 16 * 1024;

unsigned long long NameHash(const std::string& stem) {
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : stem) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

void SetSocketTimeouts(int fd, int ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Whole-buffer send and receive over a stream socket; false on error or end.
bool SendAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// 1: complete, 0: the peer closed, -1: error or time-out (errno tells).
int RecvAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return 0;
        if (n < 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}

void DeleteKeyTree(HKEY parent, const char* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (int guard = 0; guard < 100000; ++guard) {
        char child[512];
        DWORD len = sizeof(child);
        if (RegEnumKeyExA(key, 0, child, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DeleteKeyTree(key, child);
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, subKey);
}

// Keeps space allocated past the end of the history (not counted in its
// size), into which the next lines go without asking the file system for any.
void ReserveHistory(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    const off_t allocated = static_cast<off_t>(st.st_blocks) * 512;
    if (allocated - st.st_size >= kHistoryLow)
        return;
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, kHistoryReserve) != 0) {
    }
#endif
}

} // namespace

std::string ServiceFileStem(const char* serviceName) {
    std::string stem(serviceName ? serviceName : "");
    for (char& c : stem) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    }
    return stem;
}

std::string ServiceFile(const char* serviceName, const char* suffix) {
    return RootFile("services/" + ServiceFileStem(serviceName) + "." + suffix);
}

std::string ServiceSocketFile(const char* serviceName) {
    char name[40];
    BoundedFormat(name, sizeof(name), "%016llx.sock", NameHash(ServiceFileStem(serviceName)));
    return RootFile(std::string("services/") + name);
}

bool ServiceSocketAddress::Make(const char* serviceName) {
    Close();
    struct sockaddr_un* sun = reinterpret_cast<struct sockaddr_un*>(storage_);
    static_assert(sizeof(storage_) >= sizeof(struct sockaddr_un), "address storage too small");
    memset(storage_, 0, sizeof(storage_));
    sun->sun_family = AF_UNIX;
    std::string path = ServiceSocketFile(serviceName);
    if (path.size() >= sizeof(sun->sun_path)) {
        // A deep root: reach the folder through a descriptor, whose path under
        // /proc is short whatever the folder's own path.
        size_t slash = path.rfind('/');
        std::string dir = path.substr(0, slash);
        std::string base = path.substr(slash + 1);
#ifdef O_PATH
        dirFd_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
        dirFd_ = -1;
#endif
        if (dirFd_ < 0)
            return false;
        char shortPath[sizeof(sun->sun_path)];
        if (!BoundedFormat(shortPath, sizeof(shortPath), "/proc/self/fd/%d/%s", dirFd_,
                           base.c_str())) {
            Close();
            return false;
        }
        path = shortPath;
    }
    BoundedCopy(sun->sun_path, sizeof(sun->sun_path), path.c_str());
    length_ = static_cast<unsigned>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

void ServiceSocketAddress::Close() {
    if (dirFd_ >= 0)
        close(dirFd_);
    dirFd_ = -1;
}

bool ReadServiceRecord(const char* serviceName, ServiceRecord* record) {
    *record = ServiceRecord();
    FILE* f = fopen(ServiceFile(serviceName, "status").c_str(), "r");
    if (f == nullptr)
        return false;
    char nonce[64] = {0};
    long pid = 0;
    unsigned long v[8] = {0};
    int n = fscanf(f, "%ld %63s %lu %lu %lu %lu %lu %lu %lu %lu", &pid, nonce, &v[0], &v[1], &v[2],
                   &v[3], &v[4], &v[5], &v[6], &v[7]);
    fclose(f);
    if (n != 10)
        return false;
    record->pid = pid;
    BoundedCopy(record->nonce, sizeof(record->nonce), strcmp(nonce, "-") == 0 ? "" : nonce);
    record->reported = static_cast<DWORD>(v[0]);
    record->status.dwServiceType = static_cast<DWORD>(v[1]);
    record->status.dwCurrentState = static_cast<DWORD>(v[2]);
    record->status.dwControlsAccepted = static_cast<DWORD>(v[3]);
    record->status.dwWin32ExitCode = static_cast<DWORD>(v[4]);
    record->status.dwServiceSpecificExitCode = static_cast<DWORD>(v[5]);
    record->status.dwCheckPoint = static_cast<DWORD>(v[6]);
    record->status.dwWaitHint = static_cast<DWORD>(v[7]);
    return true;
}

bool WriteServiceRecord(const char* serviceName, const ServiceRecord& record) {
    std::string path = ServiceFile(serviceName, "status");
    char line[kRecordSize + 1];
    const SERVICE_STATUS& s = record.status;
    BoundedFormat(
        line, sizeof(line), "%ld %s %lu %lu %lu %lu %lu %lu %lu %lu\n", record.pid,
        record.nonce[0] ? record.nonce : "-", static_cast<unsigned long>(record.reported),
        static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwCurrentState),
        static_cast<unsigned long>(s.dwControlsAccepted),
        static_cast<unsigned long>(s.dwWin32ExitCode),
        static_cast<unsigned long>(s.dwServiceSpecificExitCode),
        static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint));
    // Padded to the fixed size and written over the old record in one call,
    // under the record lock (readers hold it too). Replacing the file
    // (a new file, then rename) would need a new block for every report, and
    // the disk being full would freeze the record at a state long past.
    size_t len = strlen(line);
    memset(line + len - 1, ' ', kRecordSize - len);
    line[kRecordSize - 1] = '\n';
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = pwrite(fd, line, kRecordSize, 0) == static_cast<ssize_t>(kRecordSize);
    int err = errno;
    // A longer file (an earlier layout) loses its tail; shrinking needs no space.
    if (ok && ftruncate(fd, static_cast<off_t>(kRecordSize)) != 0) {
    }
    close(fd);
    errno = err;
    return ok;
}

ServiceRecordLock::ServiceRecordLock(const char* serviceName) {
    fd_ = open(ServiceFile(serviceName, "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

ServiceRecordLock::~ServiceRecordLock() {
    if (fd_ >= 0)
        close(fd_); // releases the lock
}

void AppendServiceHistory(const char* serviceName, const SERVICE_STATUS& s, long pid) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    time_t secs = tv.tv_sec;
    gmtime_r(&secs, &tmv);
    char line[256];
    BoundedFormat(
        line, sizeof(line), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %ld %lu %lu %lu %lu %lu %lu %lu\n",
        tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
        static_cast<int>(tv.tv_usec / 1000), pid != 0 ? pid : static_cast<long>(getpid()),
        static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwCurrentState),
        static_cast<unsigned long>(s.dwControlsAccepted),
        static_cast<unsigned long>(s.dwWin32ExitCode),
        static_cast<unsigned long>(s.dwServiceSpecificExitCode),
        static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint));
    // One write of one short line with O_APPEND: lines of several writers
    // never interleave.
    int fd = open(ServiceFile(serviceName, "history").c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    size_t len = strlen(line);
    if (write(fd, line, len) == static_cast<ssize_t>(len))
        ReserveHistory(fd);
    close(fd);
}

std::vector<ServiceStatusRecord> ReadServiceStatusRecords(const char* serviceName) {
    std::vector<ServiceStatusRecord> out;
    if (serviceName == nullptr)
        return out;
    FILE* f = fopen(ServiceFile(serviceName, "history").c_str(), "r");
    if (f == nullptr)
        return out;
    char line[512];
    while (fgets(line, sizeof(line), f) != nullptr) {
        ServiceStatusRecord r;
        memset(&r, 0, sizeof(r));
        char when[64] = {0};
        long pid = 0;
        unsigned long v[7] = {0};
        if (sscanf(line, "%63s %ld %lu %lu %lu %lu %lu %lu %lu", when, &pid, &v[0], &v[1], &v[2],
                   &v[3], &v[4], &v[5], &v[6]) != 9)
            continue;
        BoundedCopy(r.time, sizeof(r.time), when);
        r.pid = static_cast<DWORD>(pid);
        r.status.dwServiceType = static_cast<DWORD>(v[0]);
        r.status.dwCurrentState = static_cast<DWORD>(v[1]);
        r.status.dwControlsAccepted = static_cast<DWORD>(v[2]);
        r.status.dwWin32ExitCode = static_cast<DWORD>(v[3]);
        r.status.dwServiceSpecificExitCode = static_cast<DWORD>(v[4]);
        r.status.dwCheckPoint = static_cast<DWORD>(v[5]);
        r.status.dwWaitHint = static_cast<DWORD>(v[6]);
        out.push_back(r);
    }
    fclose(f);
    return out;
}

std::vector<SERVICE_STATUS> ReadServiceStatusHistory(const char* serviceName) {
    std::vector<SERVICE_STATUS> out;
    for (const ServiceStatusRecord& r : ReadServiceStatusRecords(serviceName))
        out.push_back(r.status);
    return out;
}

DWORD ExchangeWithService(const char* serviceName, const ServiceRequest& request, int timeoutMs,
                          ServiceReply* reply) {
    ServiceSocketAddress addr;
    if (!addr.Make(serviceName))
        return ERROR_SERVICE_NOT_ACTIVE;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ErrorFromErrno(errno);
    // The send time-out also bounds connect, which waits while the
    // dispatcher's backlog is full.
    SetSocketTimeouts(fd, timeoutMs);
    int rc;
    do {
        rc = connect(fd, static_cast<const struct sockaddr*>(addr.Address()),
                     static_cast<socklen_t>(addr.Length()));
    } while (rc != 0 && errno == EINTR);
    addr.Close();
    if (rc != 0) {
        int err = errno;
        close(fd);
        return err == EAGAIN || err == EINPROGRESS ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                   : ERROR_SERVICE_NOT_ACTIVE;
    }
    if (!SendAll(fd, &request, sizeof(request))) {
        close(fd);
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    ServiceReply r;
    int got = RecvAll(fd, &r, sizeof(r));
    int err = errno;
    close(fd);
    if (got < 0 && (err == EAGAIN || err == EWOULDBLOCK))
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    if (got <= 0 || r.magic != kServiceWireMagic)
        return ERROR_SERVICE_NOT_ACTIVE;
    *reply = r;
    return ERROR_SUCCESS;
}

bool ProcessAlive(long pid) {
    if (pid <= 0)
        return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    // A zombie still answers kill(); whether anyone reaps it is not ours to
    // know (a container's first process may not), so ask its state.
    char path[64];
    BoundedFormat(path, sizeof(path), "/proc/%ld/stat", pid);
    FILE* f = fopen(path, "r");
    if (f == nullptr)
        return true; // no /proc: trust kill()
    char buf[512];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = '\0';
    // "pid (comm) S ...": the state follows the last ')'.
    const char* close = strrchr(buf, ')');
    if (close == nullptr || close[1] == '\0' || close[2] == '\0')
        return true;
    char state = close[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

LONG OpenServiceKey(const char* serviceName, REGSAM access, HKEY* key) {
    std::string path = std::string(kServicesKey) + "\\" + serviceName;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key);
}

bool ReadServiceDword(HKEY key, const char* value, DWORD* out) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data))
        return false;
    *out = data;
    return true;
}

void CompletePendingDelete(const char* serviceName) {
    HKEY key = nullptr;
    if (OpenServiceKey(serviceName, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD flag = 0;
    bool marked = ReadServiceDword(key, kDeleteFlagValue, &flag) && flag != 0;
    RegCloseKey(key);
    if (!marked)
        return;
    HKEY services = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, &services) !=
        ERROR_SUCCESS)
        return;
    DeleteKeyTree(services, serviceName);
    RegCloseKey(services);
}

void QueryServiceCurrent(const char* serviceName, SERVICE_STATUS* status, DWORD* reported) {
    if (reported != nullptr)
        *reported = 0;
    ServiceRequest request{kServiceWireMagic, kOpQuery, 0};
    ServiceReply reply;
    if (ExchangeWithService(serviceName, request, kQueryTimeoutMs, &reply) == ERROR_SUCCESS) {
        *status = reply.status;
        if (reported != nullptr)
            *reported = reply.reported;
        return;
    }
    bool stopped = false;
    {
        ServiceRecordLock lock(serviceName);
        ServiceRecord record;
        if (!ReadServiceRecord(serviceName, &record)) {
            memset(status, 0, sizeof(*status));
            status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            status->dwCurrentState = SERVICE_STOPPED;
            status->dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
            HKEY key = nullptr;
            if (OpenServiceKey(serviceName, KEY_READ, &key) == ERROR_SUCCESS) {
                ReadServiceDword(key, "Type", &status->dwServiceType);
                RegCloseKey(key);
            }
            return;
        }
        if (ProcessAlive(record.pid)) {
            // Starting (no socket yet), busy in a handler, or past its
            // dispatcher and about to exit: its own word stands.
            *status = record.status;
            return;
        }
        if (record.pid != 0 || record.status.dwCurrentState != SERVICE_STOPPED) {
            // A service that reported its stop keeps its own last word;
            // one that died before gets the manager's, in its history too,
            // so that a crash is seen there and not only by a query. Once:
            // the line follows the record, and a record that cannot be
            // replaced leaves it to the next query.
            const bool died = record.status.dwCurrentState != SERVICE_STOPPED;
            const long pid = record.pid;
            if (died) {
                record.status.dwCurrentState = SERVICE_STOPPED;
                record.status.dwControlsAccepted = 0;
                record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
                record.status.dwServiceSpecificExitCode = 0;
                record.status.dwCheckPoint = 0;
                record.status.dwWaitHint = 0;
            }
            record.pid = 0;
            if (WriteServiceRecord(serviceName, record) && died)
                AppendServiceHistory(serviceName, record.status, pid);
            unlink(ServiceSocketFile(serviceName).c_str());
        }
        *status = record.status;
        stopped = true;
    }
    if (stopped)
        CompletePendingDelete(serviceName);
}

} // namespace vplat
