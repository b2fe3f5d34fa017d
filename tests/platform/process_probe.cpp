// A small program for the process and mutex tests. It records what only it can
// see into the registry key "Software\VantryTests\Probe\<its process id>":
// "argc", "arg0".."argN" (its arguments as its C runtime split them),
// "program" (its own path), "env" (the variable VT_PROBE_ENV, when set) and,
// on POSIX, how it was detached ("session_leader", "stdin_null",
// "stdout_null", "extra_fds": descriptors above 2 at its start). Then it does what its options say:
//   --hold=NAME,MS   take the named mutex, note "holding"=1, keep it MS ms,
//                    then release it (note "released"=1)
//   --abandon        with --hold: end without releasing the mutex
//   --sleep=MS       stay alive MS ms before ending
//   --exit=N         end with exit code N (default: the number of arguments)
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

HKEY gKey = nullptr;

void SetText(const char* name, const char* text) {
    RegSetValueExA(gKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(strlen(text) + 1));
}

void SetNumber(const char* name, DWORD value) {
    RegSetValueExA(gKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

#ifndef _WIN32
bool IsDevNull(int fd) {
    struct stat st;
    struct stat null;
    return fstat(fd, &st) == 0 && stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev &&
           S_ISCHR(st.st_mode);
}

DWORD ExtraDescriptors() {
    DWORD count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd > 2 && fd != own)
            ++count;
    }
    closedir(dir);
    return count;
}
#endif

} // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    // Counted before the registry opens its own files.
    DWORD extraFds = ExtraDescriptors();
#endif
    char path[300];
    snprintf(path, sizeof(path), "Software\\VantryTests\\Probe\\%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    // An earlier process with the same id (Windows reuses ids soon) may have
    // left its notes: they are not this process's.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &gKey, nullptr) != ERROR_SUCCESS)
        return 99;
    SetNumber("argc", static_cast<DWORD>(argc));
    for (int i = 0; i < argc; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "arg%d", i);
        SetText(name, argv[i]);
    }
    char program[1024] = {0};
    GetModuleFileNameA(nullptr, program, sizeof(program) - 1);
    SetText("program", program);
    if (const char* env = getenv("VT_PROBE_ENV"))
        SetText("env", env);
#ifndef _WIN32
    SetNumber("session_leader", getsid(0) == getpid());
    SetNumber("stdin_null", IsDevNull(0));
    SetNumber("stdout_null", IsDevNull(1) && IsDevNull(2));
    SetNumber("extra_fds", extraFds);
#endif

    const char* hold = nullptr;
    bool abandon = false;
    DWORD sleepMs = 0;
    int exitCode = argc - 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--hold=", 7) == 0)
            hold = argv[i] + 7;
        else if (strcmp(argv[i], "--abandon") == 0)
            abandon = true;
        else if (strncmp(argv[i], "--sleep=", 8) == 0)
            sleepMs = static_cast<DWORD>(atol(argv[i] + 8));
        else if (strncmp(argv[i], "--exit=", 7) == 0)
            exitCode = atoi(argv[i] + 7);
    }
    if (hold != nullptr) {
        std::string holdArg(hold);
        size_t comma = holdArg.rfind(',');
        std::string name = holdArg.substr(0, comma);
        DWORD ms =
            comma == std::string::npos ? 0 : static_cast<DWORD>(atol(holdArg.c_str() + comma + 1));
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) == WAIT_FAILED)
            return 98;
        SetNumber("holding", 1);
        Sleep(ms);
        if (!abandon) {
            // Noted before the release, so that the waiter the release wakes
            // finds it (on Windows the waiter runs at once).
            SetNumber("released", 1);
            ReleaseMutex(mutex);
        }
        RegCloseKey(gKey);
        return exitCode;
    }
    if (sleepMs > 0)
        Sleep(sleepMs);
    RegCloseKey(gKey);
    return exitCode;
}
