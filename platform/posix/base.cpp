// Process, thread and synchronisation calls of the Win32 API over POSIX, and
// the platform root shared by every implementation file.
#include "platform/posix/internal.h"
#include "platform/bounded.h"
#include "platform/WindowsPath.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

thread_local DWORD tLastError = 0;

using Clock = std::chrono::steady_clock;

} // namespace

DWORD WINAPI GetLastError(void) {
    return tLastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    tLastError = dwErrCode;
}

namespace vplat {

std::string RootPath() {
    std::string root;
    const char* env = std::getenv(kRootVariable);
    if (env != nullptr && *env != '\0') {
        root = env;
    } else if (geteuid() == 0) {
        root = "/var/lib/vantry";
    } else {
        const char* home = std::getenv("HOME");
        root = std::string(home && *home ? home : "/tmp") + "/.vantry";
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

bool MakeDirectories(const std::string& path) {
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string RootFile(const std::string& relative) {
    std::string full = RootPath() + "/" + relative;
    size_t slash = full.rfind('/');
    if (slash != std::string::npos && slash > 0)
        MakeDirectories(full.substr(0, slash));
    return full;
}

namespace {

// "/a/./b//../c" as "/a/c", by the text alone; ".." stops at "/".
std::string NormalizeHostPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

// True when host path (normalized) is folder or inside it.
bool HostPathWithin(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0)
        return false;
    return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

// The host folder of a dosdevices entry (a symbolic link to the folder, or a
// folder in place); empty when there is none.
std::string MappedFolder(const std::string& devices, const std::string& name) {
    const std::string link = devices + "/" + name;
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n > 0) {
        target[n] = '\0';
        return NormalizeHostPath(target[0] == '/' ? std::string(target) : devices + "/" + target);
    }
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return NormalizeHostPath(link);
    return std::string();
}

// The drives of a root: each letter's host folder, and the dosdevices folder
// for shares.
class Drives {
public:
    Drives(const std::string& root, bool mapped)
        : root_(root), devices_(root_ + "/" + kDeviceFolder) {
        for (int i = 0; i < 26; ++i) {
            const char letter = static_cast<char>('a' + i);
            if (mapped)
                folders_[i] = MappedFolder(devices_, std::string(1, letter) + ":");
            if (folders_[i].empty())
                folders_[i] = root_ + "/drive_" + letter;
        }
    }

    const std::string& Folder(char letter) const { return folders_[AsciiLower(letter) - 'a']; }

    // The host path of a resolved Windows path: its root's folder, then its
    // parts; empty for a share without a mapping.
    std::string HostPathOf(const WindowsPath& path) const {
        std::string out;
        if (path.kind == WindowsPath::DRIVE) {
            out = Folder(path.drive);
        } else if (path.kind == WindowsPath::UNC) {
            std::string share = std::string("unc/") + path.server + "/" + path.share;
            for (char& c : share)
                c = AsciiLower(c);
            out = MappedFolder(devices_, share);
        }
        if (out.empty())
            return out;
        if (out == "/")
            out.clear();
        for (const std::string& part : path.parts)
            out += "/" + part;
        if (path.parts.empty() || path.endsWithSeparator)
            out += "/";
        return out;
    }

    // The Windows form ("c:\\below") of a host path (normalized) that lies in
    // a drive's folder, the first such drive by letter; empty when none holds it.
    std::string WindowsFormOf(const std::string& hostPath) const {
        for (int i = 0; i < 26; ++i) {
            const std::string& folder = folders_[i];
            if (HostPathWithin(hostPath, folder))
                return std::string(1, static_cast<char>('a' + i)) + ":\\" +
                       hostPath.substr(folder == "/" ? 0 : folder.size());
        }
        return std::string();
    }

    const std::string& Root() const { return root_; }

private:
    std::string root_;
    std::string devices_;
    std::string folders_[26];
};

// What a drive table was read from: the root and the dosdevices folder as it
// stood. Any change of an entry (a link made, removed or replaced) changes the
// folder's modification and change times.
struct DrivesStamp {
    bool mapped = false;
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};

    bool operator==(const DrivesStamp& o) const {
        return mapped == o.mapped && device == o.device && inode == o.inode &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

// A file's times advance in coarse steps, so a folder changed again within
// the step of the change a table was read after would keep its stamp. A table
// is kept only when its folder had been still for this long when it was read.
constexpr long long kStillNanoseconds = 2000000000LL;

long long Nanoseconds(const struct timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The drives of the root now. Reading them costs a call per letter; a path is
// mapped at every file operation, so the last table is kept while the root
// and its dosdevices folder stay as they were.
std::shared_ptr<const Drives> CurrentDrives() {
    static std::mutex lock;
    static std::shared_ptr<const Drives> kept;
    static DrivesStamp keptStamp;

    const std::string root = NormalizeHostPath(RootPath());
    const std::string devices = root + "/" + kDeviceFolder;
    DrivesStamp stamp;
    struct stat st;
    if (stat(devices.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        stamp.mapped = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.modified = st.st_mtim;
        stamp.changed = st.st_ctim;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (kept && kept->Root() == root && keptStamp == stamp)
            return kept;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    auto drives = std::make_shared<const Drives>(root, stamp.mapped);
    const long long latest = std::max(Nanoseconds(stamp.modified), Nanoseconds(stamp.changed));
    if (!stamp.mapped || Nanoseconds(now) - latest >= kStillNanoseconds) {
        std::lock_guard<std::mutex> guard(lock);
        kept = drives;
        keptStamp = stamp;
    }
    return drives;
}

} // namespace

std::string DriveFolder(char letter) {
    letter = AsciiLower(letter);
    if (letter < 'a' || letter > 'z')
        return std::string();
    return CurrentDrives()->Folder(letter);
}

std::string MapWindowsPath(const char* path) {
    if (path == nullptr)
        return std::string();
    WindowsPath resolved = ParseWindowsPath(path);
    if (resolved.kind == WindowsPath::INVALID)
        return std::string();
    const std::shared_ptr<const Drives> current = CurrentDrives();
    const Drives& drives = *current;
    std::string windows;
    if (resolved.rooted && path[0] == '/') {
        // A host path: taken as it is where it lies in a drive (the root's own
        // drive folders, or a folder the administrator mapped); anywhere else
        // it is what Windows makes of it, a path on the current drive.
        windows = drives.WindowsFormOf(NormalizeHostPath(path));
        if (!windows.empty() && path[strlen(path) - 1] == '/')
            windows += "\\";
    } else if (resolved.relative) {
        // On the current folder, when that lies in a drive; else on the root
        // of the current drive.
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) {
            windows = drives.WindowsFormOf(NormalizeHostPath(cwd));
            if (!windows.empty())
                windows += std::string("\\") + path;
        }
    }
    if (!windows.empty())
        resolved = ParseWindowsPath(windows.c_str());
    return drives.HostPathOf(resolved);
}

} // namespace vplat

DWORD WINAPI CheckPlatformRootV(BOOL create, LPSTR text, DWORD size) {
    const std::string root = vplat::RootPath();
    int err = 0;
    const char* what = "cannot be written";
    bool withReason = true; // the system's words add nothing to "does not exist"
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
        err = errno;
        if (err == ENOENT && !create) {
            what = "does not exist";
            withReason = false;
        } else if (err == ENOENT) {
            what = "cannot be created";
            if (vplat::MakeDirectories(root)) {
                what = "cannot be written";
                err = 0;
            } else {
                err = errno != 0 ? errno : EIO;
            }
        } else {
            what = "cannot be reached";
        }
    } else if (!S_ISDIR(st.st_mode)) {
        what = "is not a folder";
        withReason = false;
        err = ENOTDIR;
    }
    if (err == 0 && create && access(root.c_str(), W_OK | X_OK) != 0)
        err = errno;
    if (err == 0 && !create && access(root.c_str(), R_OK | X_OK) != 0) {
        what = "cannot be read";
        err = errno;
    }
    if (text != nullptr && size > 0) {
        if (err == 0)
            text[0] = '\0';
        else if (!withReason)
            BoundedFormat(text, size, "the platform root %s %s", root.c_str(), what);
        else
            BoundedFormat(text, size, "the platform root %s %s: %s", root.c_str(), what,
                          std::strerror(err));
    }
    return err == 0 ? ERROR_SUCCESS : vplat::ErrorFromErrno(err);
}

namespace vplat {

DWORD ErrorFromErrno(int err) {
    DWORD code;
    switch (err) {
    case 0:
        code = ERROR_SUCCESS;
        break;
    case ENOENT:
        code = ERROR_FILE_NOT_FOUND;
        break;
    case ENOTDIR:
        code = ERROR_PATH_NOT_FOUND;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        code = ERROR_ACCESS_DENIED;
        break;
    case EBADF:
        code = ERROR_INVALID_HANDLE;
        break;
    case ENOMEM:
        code = ERROR_NOT_ENOUGH_MEMORY;
        break;
    case EEXIST:
        code = ERROR_ALREADY_EXISTS;
        break;
    case EINVAL:
        code = ERROR_INVALID_PARAMETER;
        break;
    case EMFILE:
    case ENFILE:
        code = ERROR_TOO_MANY_OPEN_FILES;
        break;
    case ENOSPC:
        code = ERROR_DISK_FULL;
        break;
    case EPIPE:
        code = ERROR_BROKEN_PIPE;
        break;
    case ENAMETOOLONG:
        code = ERROR_FILENAME_EXCED_RANGE;
        break;
    case ENOTEMPTY:
        code = ERROR_DIR_NOT_EMPTY;
        break;
    case EBUSY:
        code = ERROR_BUSY;
        break;
    case ETIMEDOUT:
        code = ERROR_TIMEOUT;
        break;
    default:
        code = ERROR_GEN_FAILURE;
        break;
    }
    SetLastError(code);
    return code;
}

namespace {
std::mutex gWaitLock;

// Made on first use: a condition variable has no constant constructor, and a
// global one would run code whenever a library linking this layer is loaded.
std::condition_variable& WaitChanged() {
    static std::condition_variable changed;
    return changed;
}
} // namespace

std::mutex& WaitLock() { return gWaitLock; }
void NotifyWaiters() { WaitChanged().notify_all(); }

void WaitForChange(std::unique_lock<std::mutex>& lock,
                   const std::chrono::steady_clock::time_point* deadline) {
    if (deadline == nullptr)
        WaitChanged().wait(lock);
    else
        WaitChanged().wait_until(lock, *deadline);
}

} // namespace vplat

// ---------------------------------------------------------------------------
// Events and threads

namespace {

class Event : public vplat::Waitable {
public:
    Event(bool manual, bool initial) : manual_(manual), signalled_(initial) {}
    bool IsSignalled() const override { return signalled_; }
    void Consume() override {
        if (!manual_)
            signalled_ = false;
    }
    void Set(bool on) { signalled_ = on; }

private:
    bool manual_;
    bool signalled_;
};

// What a running thread and its handle share; the handle may be closed while
// the thread still runs, and the thread may end while the handle is open.
struct ThreadState {
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID parameter = nullptr;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
};

class Thread : public vplat::Waitable {
public:
    explicit Thread(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
    bool IsSignalled() const override { return state_->done; }
    const std::shared_ptr<ThreadState>& State() const { return state_; }

private:
    std::shared_ptr<ThreadState> state_;
};

DWORD CurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

void* ThreadMain(void* arg) {
    std::unique_ptr<std::shared_ptr<ThreadState>> holder(
        static_cast<std::shared_ptr<ThreadState>*>(arg));
    std::shared_ptr<ThreadState> state = *holder;
    {
        std::lock_guard<std::mutex> lock(vplat::WaitLock());
        state->threadId = CurrentThreadId();
    }
    DWORD code = state->routine(state->parameter);
    {
        std::lock_guard<std::mutex> lock(vplat::WaitLock());
        state->exitCode = code;
        state->done = true;
        vplat::NotifyWaiters();
    }
    return nullptr;
}

vplat::Waitable* AsWaitable(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    return dynamic_cast<vplat::Waitable*>(static_cast<vplat::KernelObject*>(h));
}

} // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    if (lpName != nullptr) {
        // Named events cross processes on Windows; nothing here needs them.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(new Event(bManualReset != 0, bInitialState != 0));
}

static BOOL SetEventState(HANDLE hEvent, bool on) {
    Event* ev = hEvent ? dynamic_cast<Event*>(static_cast<vplat::KernelObject*>(hEvent)) : nullptr;
    if (ev == nullptr || hEvent == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    ev->Set(on);
    if (on)
        vplat::NotifyWaiters();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, true);
}
BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, false);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<vplat::Waitable*> objects(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        objects[i] = AsWaitable(lpHandles[i]);
        if (objects[i] == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    const bool forever = dwMilliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    std::unique_lock<std::mutex> lock(vplat::WaitLock());
    bool poll = false;
    for (vplat::Waitable* w : objects)
        poll = poll || w->ChangesElsewhere();
    for (;;) {
        if (bWaitAll) {
            bool all = true;
            for (vplat::Waitable* w : objects)
                all = all && w->IsSignalled();
            if (all) {
                DWORD result = WAIT_OBJECT_0;
                for (DWORD i = 0; i < nCount; ++i) {
                    objects[i]->Consume();
                    if (result == WAIT_OBJECT_0 && objects[i]->WasAbandoned())
                        result = WAIT_ABANDONED + i;
                }
                return result;
            }
            for (vplat::Waitable* w : objects)
                w->Unreserve();
        } else {
            for (DWORD i = 0; i < nCount; ++i) {
                if (objects[i]->IsSignalled()) {
                    objects[i]->Consume();
                    return (objects[i]->WasAbandoned() ? WAIT_ABANDONED : WAIT_OBJECT_0) + i;
                }
            }
        }
        Clock::time_point now = Clock::now();
        if (!forever && now >= deadline)
            return WAIT_TIMEOUT;
        if (poll) {
            // A named mutex held by another process: look again shortly.
            Clock::time_point next = now + std::chrono::milliseconds(vplat::kPollMs);
            if (!forever && deadline < next)
                next = deadline;
            vplat::WaitForChange(lock, &next);
        } else {
            vplat::WaitForChange(lock, forever ? nullptr : &deadline);
        }
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, TRUE, dwMilliseconds);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    state->routine = lpStartAddress;
    state->parameter = lpParameter;
    auto* arg = new std::shared_ptr<ThreadState>(state);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0)
        pthread_attr_setstacksize(&attr, dwStackSize < static_cast<SIZE_T>(PTHREAD_STACK_MIN)
                                             ? static_cast<SIZE_T>(PTHREAD_STACK_MIN)
                                             : dwStackSize);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, ThreadMain, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        vplat::ErrorFromErrno(rc);
        return nullptr;
    }
    if (lpThreadId != nullptr) {
        // The new thread records its id as it starts; wait for that moment.
        std::unique_lock<std::mutex> lock(vplat::WaitLock());
        while (state->threadId == 0 && !state->done) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
        *lpThreadId = state->threadId;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(new Thread(state));
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    Thread* t =
        hThread ? dynamic_cast<Thread*>(static_cast<vplat::KernelObject*>(hThread)) : nullptr;
    if (t == nullptr || hThread == INVALID_HANDLE_VALUE || lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    *lpExitCode = t->State()->exitCode;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // INVALID_HANDLE_VALUE is also the current process's pseudo handle:
    // Windows closes it without complaint, and nothing happens.
    if (hObject == INVALID_HANDLE_VALUE)
        return TRUE;
    if (hObject == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<vplat::KernelObject*>(hObject);
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
DWORD WINAPI GetCurrentThreadId(void) {
    return CurrentThreadId();
}

DWORD WINAPI GetTickCount(void) {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

static void FillSystemTime(LPSYSTEMTIME st, bool local) {
    if (st == nullptr)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    if (local)
        localtime_r(&ts.tv_sec, &tmv);
    else
        gmtime_r(&ts.tv_sec, &tmv);
    st->wYear = static_cast<WORD>(tmv.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tmv.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tmv.tm_wday);
    st->wDay = static_cast<WORD>(tmv.tm_mday);
    st->wHour = static_cast<WORD>(tmv.tm_hour);
    st->wMinute = static_cast<WORD>(tmv.tm_min);
    st->wSecond = static_cast<WORD>(tmv.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    FillSystemTime(lpSystemTime, true);
}
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    FillSystemTime(lpSystemTime, false);
}
