// Mutexes (CreateMutexA, ReleaseMutex), named ones shared between processes
// through lock files in the root (see process.h).
//
// One MutexState per name and process holds the in-process owner (thread id
// and count) and, for a named mutex, the descriptor of its lock file
// "mutexes/<name>": the process that owns the mutex holds an exclusive flock
// on it, and writes its process id into it while it owns it. A release clears
// the file before unlocking; an owner that dies leaves its id behind, which is
// how the next owner, in any process, knows that it took an abandoned mutex.
// A second file "<name>.open" carries a shared flock of every process that has
// the name open, so that CreateMutexA can tell a new name from an existing one.
#include "platform/posix/internal.h"
#include "platform/bounded.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

struct MutexState {
    std::string name; // empty: this process only
    int lockFd = -1;  // the lock file; flock held while fileLocked
    int openFd = -1;  // presence file; shared flock while open here
    bool fileLocked = false;
    DWORD owner = 0;        // thread id of the owner, 0 when free here
    unsigned count = 0;     // times the owner has taken it
    bool abandoned = false; // an owner thread of this process ended holding it
    bool lastTakeAbandoned = false;

    ~MutexState() {
        if (lockFd >= 0)
            close(lockFd); // drops a flock still held
        if (openFd >= 0)
            close(openFd);
    }
};

// The mutexes a thread owns, so that its end abandons them.
struct OwnedByThread {
    std::vector<std::shared_ptr<MutexState>> states;
    ~OwnedByThread();
};

thread_local OwnedByThread tOwned;

std::map<std::string, std::weak_ptr<MutexState>>& NamedStates() {
    static std::map<std::string, std::weak_ptr<MutexState>> states;
    return states;
}

// Lock held. Takes the lock file without waiting; true when this process
// holds it afterwards.
bool TryLockFile(MutexState& s) {
    if (s.name.empty() || s.fileLocked)
        return true;
    if (flock(s.lockFd, LOCK_EX | LOCK_NB) != 0)
        return false;
    s.fileLocked = true;
    return true;
}

void UnlockFile(MutexState& s) {
    if (s.name.empty() || !s.fileLocked)
        return;
    flock(s.lockFd, LOCK_UN);
    s.fileLocked = false;
}

// Lock held; the lock file is held. Makes the calling thread the owner.
void Take(MutexState& s, const std::shared_ptr<MutexState>& shared) {
    DWORD me = GetCurrentThreadId();
    if (s.owner == me) {
        ++s.count;
        s.lastTakeAbandoned = false;
        return;
    }
    bool stale = false;
    if (!s.name.empty()) {
        char record[32];
        ssize_t n = pread(s.lockFd, record, sizeof(record), 0);
        stale = n > 0;
        char mine[32];
        BoundedFormat(mine, sizeof(mine), "%ld\n", static_cast<long>(getpid()));
        if (ftruncate(s.lockFd, 0) != 0 || pwrite(s.lockFd, mine, strlen(mine), 0) < 0) {
            // The record only tells of abandonment; the lock itself holds.
        }
    }
    s.lastTakeAbandoned = stale || s.abandoned;
    s.abandoned = false;
    s.owner = me;
    s.count = 1;
    tOwned.states.push_back(shared);
}

OwnedByThread::~OwnedByThread() {
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    DWORD me = GetCurrentThreadId();
    bool changed = false;
    for (auto& s : states) {
        if (s->owner != me)
            continue;
        // Abandoned: the record stays in the lock file for other processes.
        s->owner = 0;
        s->count = 0;
        s->abandoned = true;
        UnlockFile(*s);
        changed = true;
    }
    states.clear();
    if (changed)
        vplat::NotifyWaiters();
}

class MutexHandle : public vplat::Waitable {
public:
    explicit MutexHandle(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

    bool IsSignalled() const override {
        MutexState& s = *state_;
        if (s.owner != 0)
            return s.owner == GetCurrentThreadId();
        return TryLockFile(s);
    }
    void Consume() override { Take(*state_, state_); }
    bool WasAbandoned() const override { return state_->lastTakeAbandoned; }
    void Unreserve() override {
        if (state_->owner == 0)
            UnlockFile(*state_);
    }
    bool ChangesElsewhere() const override { return !state_->name.empty(); }

    const std::shared_ptr<MutexState>& State() const { return state_; }

private:
    std::shared_ptr<MutexState> state_;
};

std::string FileNameOf(const char* name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p) {
        unsigned char c = *p;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

// Opens the files of a named mutex; *existed tells whether another process
// has it open. Lock held.
bool OpenNamed(MutexState& s, bool* existed) {
    std::string base = vplat::RootFile("mutexes/" + FileNameOf(s.name.c_str()));
    s.lockFd = open(base.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    s.openFd = open((base + ".open").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (s.lockFd < 0 || s.openFd < 0)
        return false;
    *existed = flock(s.openFd, LOCK_EX | LOCK_NB) != 0;
    // Held shared from here on: others see the name as open.
    while (flock(s.openFd, LOCK_SH) != 0 && errno == EINTR) {
    }
    return true;
}

} // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    if (lpName != nullptr && strlen(lpName) >= 260) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    std::shared_ptr<MutexState> state;
    bool existed = false;
    if (lpName != nullptr && *lpName != '\0') {
        auto& named = NamedStates();
        auto it = named.find(lpName);
        if (it != named.end())
            state = it->second.lock();
        if (state) {
            existed = true;
        } else {
            state = std::make_shared<MutexState>();
            state->name = lpName;
            if (!OpenNamed(*state, &existed)) {
                vplat::ErrorFromErrno(errno);
                return nullptr;
            }
            named[lpName] = state;
        }
    } else {
        state = std::make_shared<MutexState>();
    }
    if (bInitialOwner && !existed && state->owner == 0 && TryLockFile(*state)) {
        Take(*state, state);
        state->lastTakeAbandoned = false;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(new MutexHandle(state));
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    MutexHandle* m = hMutex != nullptr && hMutex != INVALID_HANDLE_VALUE
                         ? dynamic_cast<MutexHandle*>(static_cast<vplat::KernelObject*>(hMutex))
                         : nullptr;
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    MutexState& s = *m->State();
    if (s.owner != GetCurrentThreadId() || s.count == 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--s.count == 0) {
        s.owner = 0;
        if (!s.name.empty() && ftruncate(s.lockFd, 0) != 0) {
            // An unreadable record only makes the next owner see abandonment.
        }
        UnlockFile(s);
        auto& owned = tOwned.states;
        for (size_t i = 0; i < owned.size(); ++i) {
            if (owned[i].get() == &s) {
                owned.erase(owned.begin() + static_cast<long>(i));
                break;
            }
        }
        vplat::NotifyWaiters();
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
