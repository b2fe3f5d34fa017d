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

// The platform root's path. Read from the environment on every call, so that
// a test may point a process at a fresh root. Naming it creates nothing: a
// reader (a name lookup in its hosts file, a client reading the port) leaves
// a missing root missing; whoever writes inside creates the folders on the
// way (RootFile, MakeDirectories), and CheckPlatformRootV tells why not.
std::string RootPath();

// A file or folder inside the root ("registry.db", "services/Name.sock"); the
// folders on the way are created.
std::string RootFile(const std::string& relative);

// Creates a folder and its parents (mkdir -p). True when it exists afterwards.
bool MakeDirectories(const std::string& path);

// The folder, inside the root, where an administrator maps a drive to a host
// folder of their choice ("dosdevices/z:", a symbolic link to the folder) or
// a share ("dosdevices/unc/server/share"), as a Wine prefix does.
constexpr const char* kDeviceFolder = "dosdevices";

// The host folder of drive letter (either case): the administrator's mapping
// in dosdevices when there is one, else <root>/drive_<letter>. Empty for a
// character that is not a letter.
std::string DriveFolder(char letter);

// A Windows path as a host path, resolved as Windows resolves it (see
// ParseWindowsPath in platform/WindowsPath.h), so that no path leaves the
// drives and shares of the root: "C:\x\..\..\y" -> <drive c>/y;
// "\\server\share\x" -> the share's folder in dosdevices/unc; "\x" and
// "C:x" -> <drive c>/x (the current drive and every drive's current folder
// are taken to be drive C and the drive's root); a relative path -> on the
// process's current folder when that lies in a drive, else on drive C's root.
// A host path ("/x/y") is taken as it is where it lies in a drive's folder,
// and otherwise as "\x\y" of drive C. Empty for a path that names no file of
// a drive (empty, a device path "\\.\x", a share without its mapping).
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
