// CreateProcessA and the copying calls an installer uses (see process.h).
#include "platform/posix/command_line.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// What a started process and its two handles share; the reaper thread fills
// it in when the process ends, whether or not a handle is still open.
struct ProcessState {
    pid_t pid = 0;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
};

class ProcessHandle : public vplat::Waitable {
public:
    explicit ProcessHandle(std::shared_ptr<ProcessState> state) : state_(std::move(state)) {}
    bool IsSignalled() const override { return state_->done; }
    const std::shared_ptr<ProcessState>& State() const { return state_; }

private:
    std::shared_ptr<ProcessState> state_;
};

// Every started process is reaped by a thread of its own, so that none is
// left a zombie when the caller never waits (Pellion does not).
void Reap(std::shared_ptr<ProcessState> state) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(state->pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    DWORD code = 0;
    if (got == state->pid) {
        if (WIFEXITED(status))
            code = static_cast<DWORD>(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            code = 128u + static_cast<DWORD>(WTERMSIG(status));
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    state->exitCode = code;
    state->done = true;
    vplat::NotifyWaiters();
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

DWORD SpawnError(int err) {
    switch (err) {
    case ENOENT:
        SetLastError(ERROR_FILE_NOT_FOUND);
        return ERROR_FILE_NOT_FOUND;
    case ENOEXEC:
    case ELOOP:
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return ERROR_BAD_EXE_FORMAT;
    default:
        return vplat::ErrorFromErrno(err);
    }
}

// A drive's root folder always exists on Windows; here it is made on first use.
std::string MapAndMakeDrive(const char* windowsPath) {
    if (windowsPath[0] != '\0' && windowsPath[1] == ':') {
        std::string drive = vplat::MapWindowsPath(std::string(windowsPath, 2).c_str());
        vplat::MakeDirectories(drive);
    }
    return vplat::MapWindowsPath(windowsPath);
}

} // namespace

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    if ((lpApplicationName == nullptr && lpCommandLine == nullptr) || lpStartupInfo == nullptr ||
        lpProcessInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string line = lpCommandLine != nullptr ? lpCommandLine : lpApplicationName;
    bool found = false;
    std::string program;
    if (lpApplicationName != nullptr) {
        program = vplat::ResolveProgram(lpApplicationName, &found);
    } else {
        size_t end = 0;
        program = vplat::FindProgramInLine(line, &found, &end);
    }
    if (program.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!found) {
        SetLastError(IsDirectory(ParentOf(program)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string folder;
    if (lpCurrentDirectory != nullptr) {
        folder = vplat::MapWindowsPath(lpCurrentDirectory);
        if (!IsDirectory(folder)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
    }

    // The program sees the arguments its C runtime would make of the line.
    std::vector<std::string> args = vplat::SplitCommandLine(line);
    if (args.empty())
        args.push_back(program);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::vector<std::string> env;
    if (lpEnvironment != nullptr) {
        for (const char* e = static_cast<const char*>(lpEnvironment); *e != '\0';
             e += strlen(e) + 1)
            env.push_back(e);
    } else {
        for (char** e = environ; e != nullptr && *e != nullptr; ++e)
            env.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    // Its own session, no standard streams of the caller, no descriptors of
    // the caller, default signal handling.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        SpawnError(rc);
        return FALSE;
    }

    auto state = std::make_shared<ProcessState>();
    state->pid = pid;
    std::thread(Reap, state).detach();
    lpProcessInformation->hProcess = static_cast<vplat::KernelObject*>(new ProcessHandle(state));
    lpProcessInformation->hThread = static_cast<vplat::KernelObject*>(new ProcessHandle(state));
    lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(pid); // its first thread
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    ProcessHandle* p =
        hProcess != nullptr && hProcess != INVALID_HANDLE_VALUE
            ? dynamic_cast<ProcessHandle*>(static_cast<vplat::KernelObject*>(hProcess))
            : nullptr;
    if (p == nullptr || lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(vplat::WaitLock());
    *lpExitCode = p->State()->exitCode;
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    if (lpPathName == nullptr || *lpPathName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string path = MapAndMakeDrive(lpPathName);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (mkdir(path.c_str(), 0755) == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    int err = errno;
    if (err == ENOENT)
        SetLastError(ERROR_PATH_NOT_FOUND);
    else
        vplat::ErrorFromErrno(err);
    return FALSE;
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from = MapAndMakeDrive(lpExistingFileName);
    std::string to = MapAndMakeDrive(lpNewFileName);
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        vplat::ErrorFromErrno(errno);
        return FALSE;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(in);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A temporary beside the target, renamed over it once complete, so that a
    // program being replaced is never seen half written.
    std::string temp = to + ".copy-" + std::to_string(getpid());
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        int err = errno;
        close(in);
        if (err == ENOENT)
            SetLastError(ERROR_PATH_NOT_FOUND);
        else
            vplat::ErrorFromErrno(err);
        return FALSE;
    }
    bool ok = true;
    char buf[65536];
    for (;;) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    int err = ok ? 0 : errno;
    ok = ok && fsync(out) == 0;
    if (close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    close(in);
    if (ok && bFailIfExists) {
        // link() refuses an existing target, atomically.
        if (link(temp.c_str(), to.c_str()) != 0) {
            err = errno;
            unlink(temp.c_str());
            if (err == EEXIST)
                SetLastError(ERROR_FILE_EXISTS);
            else
                vplat::ErrorFromErrno(err);
            return FALSE;
        }
        unlink(temp.c_str());
    } else if (ok && rename(temp.c_str(), to.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        vplat::ErrorFromErrno(err != 0 ? err : EIO);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
