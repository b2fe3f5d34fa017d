// Files and named pipes of the Win32 file calls over POSIX (see file.h).
//
// A pipe instance is a listening Unix-domain socket
// <root>/pipes/<hash>/<pid>-<n>.sock, served by a thread of the creating
// process. A client knocks: it connects and sends one byte, 'O' to open or 'P'
// to ask whether the instance listens; the thread answers 'Y' (the connection
// is now the instance's client), 'L' (it listens), or 'B' (busy). Deciding in
// the serving process, under the instance's lock, is what makes "busy" exact:
// a second client can never slip onto an instance that already has one.
#include "platform/posix/internal.h"
#include "platform/bounded.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The knock: requests and answers, one byte each.
const char kOpen = 'O';
const char kProbe = 'P';
const char kAccepted = 'Y';
const char kListening = 'L';
const char kBusy = 'B';

// How long a knock waits for the serving thread's answer, and how long that
// thread waits for the request byte of a connection (a stranger that connects
// and sends nothing must not hold the instance).
const int kKnockAnswerMs = 5000;
const int kKnockRequestMs = 1000;

// WaitNamedPipeA with NMPWAIT_USE_DEFAULT_WAIT, and its polling step.
const DWORD kDefaultPipeWaitMs = 50;
const DWORD kPipeWaitStepMs = 10;

class FileObject : public vplat::KernelObject {
public:
    explicit FileObject(int fd) : fd_(fd) {}
    ~FileObject() override {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

// The client end of a pipe.
class PipeClient : public vplat::KernelObject {
public:
    explicit PipeClient(int fd) : fd_(fd) {}
    ~PipeClient() override {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

void SetSocketTimeouts(int fd, int ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool BeginsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++prefix, ++text)
        if (*text == '\0' || Lower(*text) != Lower(*prefix))
            return false;
    return true;
}

const char kPipePrefix[] = "\\\\.\\pipe\\";

// The folder of a pipe's instances; pipe names compare without regard to case.
std::string PipeFolder(const char* pipeName) {
    std::string name(pipeName + sizeof(kPipePrefix) - 1);
    unsigned long long h = 1469598103934665603ull;
    for (char c : name) {
        h ^= static_cast<unsigned char>(Lower(c));
        h *= 1099511628211ull;
    }
    char folder[40];
    BoundedFormat(folder, sizeof(folder), "pipes/%016llx", h);
    std::string path = vplat::RootPath() + "/" + folder;
    vplat::MakeDirectories(path);
    return path;
}

// A Unix-domain address of folder/base; a path longer than sun_path is reached
// through /proc/self/fd/<folder descriptor>.
class UnixAddress {
public:
    ~UnixAddress() {
        if (dirFd_ >= 0)
            close(dirFd_);
    }
    bool Make(const std::string& folder, const std::string& base) {
        memset(&sun_, 0, sizeof(sun_));
        sun_.sun_family = AF_UNIX;
        std::string path = folder + "/" + base;
        if (path.size() >= sizeof(sun_.sun_path)) {
            dirFd_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dirFd_ < 0)
                return false;
            char shortPath[sizeof(sun_.sun_path)];
            if (!BoundedFormat(shortPath, sizeof(shortPath), "/proc/self/fd/%d/%s", dirFd_,
                               base.c_str()))
                return false;
            path = shortPath;
        }
        BoundedCopy(sun_.sun_path, sizeof(sun_.sun_path), path.c_str());
        length_ = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
        return true;
    }
    const struct sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&sun_); }
    socklen_t Length() const { return length_; }

private:
    struct sockaddr_un sun_;
    socklen_t length_ = 0;
    int dirFd_ = -1;
};

bool SendByte(int fd, char byte) {
    for (;;) {
        ssize_t n = send(fd, &byte, 1, MSG_NOSIGNAL);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// 1: a byte came; 0: the other end closed; -1: error or time-out.
int RecvByte(int fd, char* byte) {
    for (;;) {
        ssize_t n = recv(fd, byte, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? 1 : (n == 0 ? 0 : -1);
    }
}

// ---------------------------------------------------------------------------
// The server end: one instance.

class PipeInstance : public vplat::KernelObject {
public:
    enum State { LISTENING, CONNECTED, DISCONNECTED };

    ~PipeInstance() override {
        if (serving_.joinable()) {
            char stop = 0;
            if (write(wake_[1], &stop, 1) < 0) {
            }
            serving_.join();
        }
        if (!path_.empty())
            unlink(path_.c_str());
        if (listen_ >= 0)
            close(listen_);
        for (int fd : wake_)
            if (fd >= 0)
                close(fd);
        if (client_ >= 0)
            close(client_);
    }

    // Binds folder/base and starts serving knocks. Sets the last error.
    bool Start(const std::string& folder, const std::string& base) {
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
            vplat::ErrorFromErrno(errno);
            return false;
        }
        UnixAddress address;
        if (!address.Make(folder, base)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        if (bind(listen_, address.Address(), address.Length()) != 0) {
            vplat::ErrorFromErrno(errno);
            return false;
        }
        path_ = folder + "/" + base;
        if (listen(listen_, 16) != 0) {
            vplat::ErrorFromErrno(errno);
            return false;
        }
        serving_ = std::thread([this] { Serve(); });
        return true;
    }

    // The instance's client, or -1 with the last error set.
    int ClientFd() {
        std::lock_guard<std::mutex> lock(lock_);
        if (state_ == CONNECTED && client_ >= 0)
            return client_;
        SetLastError(state_ == LISTENING ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED);
        return -1;
    }

    BOOL Connect() {
        std::unique_lock<std::mutex> lock(lock_);
        if (state_ == CONNECTED) {
            // The client came before this call; it may even have gone again,
            // leaving what it wrote to be read.
            struct pollfd p = {client_, POLLRDHUP, 0};
            bool closed = poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
            SetLastError(closed ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED);
            return FALSE;
        }
        state_ = LISTENING;
        changed_.wait(lock, [this] { return state_ == CONNECTED; });
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    BOOL Disconnect() {
        std::lock_guard<std::mutex> lock(lock_);
        if (client_ >= 0) {
            shutdown(client_, SHUT_RDWR);
            close(client_);
            client_ = -1;
        }
        state_ = DISCONNECTED;
        return TRUE;
    }

private:
    void Serve() {
        for (;;) {
            struct pollfd p[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (p[1].revents != 0)
                return;
            if ((p[0].revents & POLLIN) == 0)
                continue;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            SetSocketTimeouts(fd, kKnockRequestMs);
            char request = 0;
            if (RecvByte(fd, &request) != 1) {
                close(fd);
                continue;
            }
            std::lock_guard<std::mutex> lock(lock_);
            if (request == kOpen && state_ == LISTENING) {
                // The answer goes out before the server can see the client,
                // so that nothing the server writes comes before it.
                SetSocketTimeouts(fd, 0);
                if (SendByte(fd, kAccepted)) {
                    client_ = fd;
                    state_ = CONNECTED;
                    changed_.notify_all();
                    continue;
                }
            } else {
                SendByte(fd, request == kProbe && state_ == LISTENING ? kListening : kBusy);
            }
            close(fd);
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    State state_ = LISTENING;
    int client_ = -1;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    std::thread serving_;
};

// What a knock at every instance of a pipe found.
struct KnockResult {
    int instances = 0; // instances that exist (answered, or busy)
    int answered = 0;  // instances that gave the wanted answer
    int fd = -1;       // for kOpen: the connection of the instance that took it
};

// Knocks at the instances of the pipe in turn: kOpen stops at the first that
// takes the client; kProbe asks all. Stale sockets of dead processes are
// removed on the way.
KnockResult Knock(const std::string& folder, char request) {
    KnockResult result;
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(dir)) {
            std::string name(e->d_name);
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    for (const std::string& name : names) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        UnixAddress address;
        if (!address.Make(folder, name)) {
            close(fd);
            continue;
        }
        int rc;
        do {
            rc = connect(fd, address.Address(), address.Length());
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            int err = errno;
            close(fd);
            if (err == EAGAIN) {
                ++result.instances; // its backlog is full: it exists, and is busy
            } else if (err == ECONNREFUSED) {
                unlink((folder + "/" + name).c_str()); // its process has gone
            }
            continue;
        }
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        SetSocketTimeouts(fd, kKnockAnswerMs);
        char answer = 0;
        int got = SendByte(fd, request) ? RecvByte(fd, &answer) : -1;
        if (got == 0) {
            close(fd); // the instance was closed meanwhile
            continue;
        }
        ++result.instances;
        if (got == 1 && ((request == kOpen && answer == kAccepted) ||
                         (request == kProbe && answer == kListening))) {
            ++result.answered;
            if (request == kOpen) {
                SetSocketTimeouts(fd, 0);
                result.fd = fd;
                return result;
            }
        }
        close(fd);
    }
    return result;
}

bool IsPipeName(const char* name) {
    return name != nullptr && BeginsWithNoCase(name, kPipePrefix) &&
           name[sizeof(kPipePrefix) - 1] != '\0';
}

int HandleFd(HANDLE h, bool* isPipe = nullptr) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return -1;
    vplat::KernelObject* object = static_cast<vplat::KernelObject*>(h);
    if (isPipe != nullptr)
        *isPipe = true;
    if (auto* client = dynamic_cast<PipeClient*>(object))
        return client->fd();
    if (auto* instance = dynamic_cast<PipeInstance*>(object))
        return instance->ClientFd();
    if (isPipe != nullptr)
        *isPipe = false;
    if (auto* file = dynamic_cast<FileObject*>(object))
        return file->fd();
    return -1;
}

PipeInstance* AsInstance(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    return dynamic_cast<PipeInstance*>(static_cast<vplat::KernelObject*>(h));
}

HANDLE OpenPipe(LPCSTR name, DWORD disposition, DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & FILE_FLAG_OVERLAPPED) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    KnockResult knock = Knock(PipeFolder(name), kOpen);
    if (knock.fd < 0) {
        SetLastError(knock.instances > 0 ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(new PipeClient(knock.fd));
}

// A path of the file calls; a drive's root folder exists, as on Windows.
std::string MapPath(const char* name) {
    if (((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
        name[1] == ':') {
        std::string drive = vplat::RootPath() + "/drive_" + Lower(name[0]);
        vplat::MakeDirectories(drive);
    }
    return vplat::MapWindowsPath(name);
}

HANDLE OpenFile(LPCSTR name, DWORD access, DWORD disposition, DWORD flags) {
    if ((flags & FILE_FLAG_OVERLAPPED) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const bool read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    const bool write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
    const bool append = !write && (access & FILE_APPEND_DATA) != 0;
    int oflag = O_CLOEXEC;
    oflag |= (write || append) ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (append)
        oflag |= O_APPEND;
    switch (disposition) {
    case CREATE_NEW:
        oflag |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        oflag |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        oflag |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        oflag |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = MapPath(name);
    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), oflag, 0644);
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
        } else if (err == ENOENT) {
            size_t slash = path.rfind('/');
            std::string parent = slash == std::string::npos ? "." : path.substr(0, slash);
            struct stat pst;
            bool parentThere = slash == 0 || stat(parent.c_str(), &pst) == 0;
            SetLastError(parentThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        } else {
            vplat::ErrorFromErrno(err);
        }
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(new FileObject(fd));
}

// The other end of a pipe has gone and nothing is left to read.
bool PeerClosed(int fd) {
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    if ((p.revents & (POLLHUP | POLLRDHUP)) == 0)
        return false;
    int avail = 0;
    return ioctl(fd, FIONREAD, &avail) != 0 || avail == 0;
}

unsigned long gNextInstance = 0;
std::mutex gNextInstanceLock;

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (IsPipeName(lpFileName))
        return OpenPipe(lpFileName, dwCreationDisposition, dwFlagsAndAttributes);
    if (lpFileName[0] == '\\' && lpFileName[1] == '\\') {
        // Another machine's share or pipe: there is no network here.
        SetLastError(ERROR_BAD_NETPATH);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

namespace {

// What ReadFile and WriteFile check alike before they move a byte: the count
// done starts at 0, no overlapped use, a handle of a file or a pipe, and a
// buffer where there are bytes to move. The descriptor, or -1 with the error
// set.
int StartTransfer(HANDLE hFile, const void* buffer, DWORD count, LPDWORD done,
                  LPOVERLAPPED overlapped, bool* isPipe) {
    if (done != nullptr)
        *done = 0;
    if (overlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return -1;
    }
    *isPipe = false;
    int fd = HandleFd(hFile, isPipe);
    if (fd < 0) {
        if (!*isPipe)
            SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (buffer == nullptr && count > 0) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    return fd;
}

} // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    bool isPipe = false;
    int fd = StartTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                           lpOverlapped, &isPipe);
    if (fd < 0)
        return FALSE;
    if (nNumberOfBytesToRead == 0)
        return TRUE;
    ssize_t n;
    do {
        n = isPipe ? recv(fd, lpBuffer, nNumberOfBytesToRead, 0)
                   : read(fd, lpBuffer, nNumberOfBytesToRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (isPipe && (errno == ECONNRESET || errno == ENOTCONN))
            SetLastError(ERROR_BROKEN_PIPE);
        else
            vplat::ErrorFromErrno(errno);
        return FALSE;
    }
    if (n == 0 && isPipe) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    bool isPipe = false;
    int fd = StartTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                           lpOverlapped, &isPipe);
    if (fd < 0)
        return FALSE;
    const char* p = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        size_t left = nNumberOfBytesToWrite - done;
        ssize_t n = isPipe ? send(fd, p + done, left, MSG_NOSIGNAL) : write(fd, p + done, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (isPipe && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN))
                SetLastError(ERROR_NO_DATA);
            else
                vplat::ErrorFromErrno(n < 0 ? errno : EIO);
            if (lpNumberOfBytesWritten != nullptr)
                *lpNumberOfBytesWritten = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    bool isPipe = false;
    int fd = HandleFd(hFile, &isPipe);
    if (fd < 0) {
        if (!isPipe)
            SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!isPipe) {
        if (fsync(fd) != 0) {
            vplat::ErrorFromErrno(errno);
            return FALSE;
        }
        return TRUE;
    }
    // Until the other end has taken everything: a Unix socket's bytes count
    // against its sender until the receiver has read them (or has gone).
    for (;;) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0)
            return TRUE;
        struct pollfd p = {fd, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0)
            return TRUE;
        usleep(1000);
    }
}

HANDLE WINAPI CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode,
                               DWORD nMaxInstances, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES) {
    if (!IsPipeName(lpName)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const DWORD access = dwOpenMode & PIPE_ACCESS_DUPLEX;
    const DWORD known = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE |
                        FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OVERLAPPED;
    if (access == 0 || (dwOpenMode & ~known) != 0 || nMaxInstances == 0 ||
        nMaxInstances > PIPE_UNLIMITED_INSTANCES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Byte mode, blocking, synchronous: what is implemented.
    if ((dwOpenMode & FILE_FLAG_OVERLAPPED) != 0 ||
        (dwPipeMode & (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    std::string folder = PipeFolder(lpName);
    KnockResult existing = Knock(folder, kProbe);
    if ((dwOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 && existing.instances > 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (nMaxInstances != PIPE_UNLIMITED_INSTANCES &&
        static_cast<DWORD>(existing.instances) >= nMaxInstances) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    unsigned long sequence;
    {
        std::lock_guard<std::mutex> lock(gNextInstanceLock);
        sequence = ++gNextInstance;
    }
    char base[64];
    BoundedFormat(base, sizeof(base), "%ld-%lu.sock", static_cast<long>(getpid()), sequence);
    PipeInstance* instance = new PipeInstance();
    if (!instance->Start(folder, base)) {
        DWORD err = GetLastError();
        delete instance;
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(instance);
}

BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped) {
    PipeInstance* instance = AsInstance(hNamedPipe);
    if (instance == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return instance->Connect();
}

BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe) {
    PipeInstance* instance = AsInstance(hNamedPipe);
    if (instance == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return instance->Disconnect();
}

BOOL WINAPI WaitNamedPipeA(LPCSTR lpNamedPipeName, DWORD nTimeOut) {
    if (!IsPipeName(lpNamedPipeName)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    const DWORD limit = nTimeOut == NMPWAIT_USE_DEFAULT_WAIT ? kDefaultPipeWaitMs : nTimeOut;
    const std::string folder = PipeFolder(lpNamedPipeName);
    const DWORD start = GetTickCount();
    for (;;) {
        KnockResult probe = Knock(folder, kProbe);
        if (probe.answered > 0)
            return TRUE;
        if (probe.instances == 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        if (limit != NMPWAIT_WAIT_FOREVER && GetTickCount() - start >= limit) {
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        Sleep(kPipeWaitStepMs);
    }
}

BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize,
                          LPDWORD lpBytesRead, LPDWORD lpTotalBytesAvail,
                          LPDWORD lpBytesLeftThisMessage) {
    bool isPipe = false;
    int fd = HandleFd(hNamedPipe, &isPipe);
    if (fd < 0 || !isPipe) {
        if (!isPipe)
            SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int avail = 0;
    if (ioctl(fd, FIONREAD, &avail) != 0)
        avail = 0;
    if (avail == 0 && PeerClosed(fd)) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    DWORD copied = 0;
    if (lpBuffer != nullptr && nBufferSize > 0 && avail > 0) {
        ssize_t n = recv(fd, lpBuffer, nBufferSize, MSG_PEEK | MSG_DONTWAIT);
        copied = n > 0 ? static_cast<DWORD>(n) : 0;
    }
    if (lpBytesRead != nullptr)
        *lpBytesRead = copied;
    if (lpTotalBytesAvail != nullptr)
        *lpTotalBytesAvail = static_cast<DWORD>(avail);
    if (lpBytesLeftThisMessage != nullptr)
        *lpBytesLeftThisMessage = 0;
    return TRUE;
}
