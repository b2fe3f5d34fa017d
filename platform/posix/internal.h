// What the POSIX implementation files share among themselves: the platform
// root, path mapping, and the kernel-object model behind HANDLE.
#ifndef VANTRY_PLATFORM_POSIX_INTERNAL_H
#define VANTRY_PLATFORM_POSIX_INTERNAL_H

#include "platform/win32.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace vplat {

// The environment variable that names the platform root (think of a Wine
// prefix). Without it: /var/lib/vantry for root, else ~/.vantry.
constexpr const char* kRootVariable = "VANTRY_PLATFORM_ROOT";

// The platform root, created on first use. Read from the environment on every
// call, so that a test may point a process at a fresh root.
std::string RootPath();

// A file or folder inside the root ("registry.db", "services/Name.sock"); the
// folders on the way are created.
std::string RootFile(const std::string& relative);

// Creates a folder and its parents (mkdir -p). True when it exists afterwards.
bool MakeDirectories(const std::string& path);

// A Windows path as a POSIX path: "C:\x\y" -> <root>/drive_c/x/y; backslashes
// become slashes; POSIX absolute paths pass through unchanged.
std::string MapWindowsPath(const char* path);

// Sets the last error from errno with the nearest Win32 code.
DWORD ErrorFromErrno(int err);

// Every HANDLE of the POSIX side points at one of these; CloseHandle deletes it.
class KernelObject {
public:
    virtual ~KernelObject() = default;
};

// Objects that WaitForSingleObject/WaitForMultipleObjects can wait on. All
// waitable state is guarded by one process-wide lock, so that a wait on
// several objects sees them consistently; whoever changes a state calls
// NotifyWaiters() with the lock held.
class Waitable : public KernelObject {
public:
    virtual bool IsSignalled() const = 0;   // lock held
    virtual void Consume() {}                // lock held; auto-reset objects reset here
    // Right after Consume: true when the wait took an abandoned mutex.
    virtual bool WasAbandoned() const { return false; }
    // A wait on all objects that does not end now gives back what IsSignalled
    // took hold of (a mutex's lock file); lock held.
    virtual void Unreserve() {}
    // True for objects that another process changes (a named mutex): no
    // NotifyWaiters() tells of that, so a wait looks again every kPollMs.
    virtual bool ChangesElsewhere() const { return false; }
};

constexpr int kPollMs = 10;

std::mutex& WaitLock();
void NotifyWaiters();
// Blocks until some waitable changed (or the deadline passed); lock held.
void WaitForChange(std::unique_lock<std::mutex>& lock,
                   const std::chrono::steady_clock::time_point* deadline);

} // namespace vplat

#endif
