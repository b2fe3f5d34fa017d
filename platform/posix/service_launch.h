// Starting a service process as StartService does; also used by the service
// tool's foreground mode, which keeps the process as its child.
#ifndef VANTRY_PLATFORM_POSIX_SERVICE_LAUNCH_H
#define VANTRY_PLATFORM_POSIX_SERVICE_LAUNCH_H

#include "platform/win32.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace vplat {

// Outcome of LaunchService for the caller that keeps the process as its child.
struct LaunchResult {
    pid_t pid = 0;
    bool exited = false; // the child ended (and was reaped) during the start
    int waitStatus = 0;  // its wait status then
};

// Does what StartService does: checks the service, spawns its image with the
// token, waits for the first status report (or the process's end, or the
// timeout). Detached: own session, output to <name>.log, not our child.
// Foreground: own session too (a terminal's signals reach only the caller),
// output inherited, a child of the caller. Returns ERROR_SUCCESS or a code.
DWORD LaunchService(const char* serviceName, DWORD argc, const char* const* argv, bool foreground,
                    LaunchResult* result);

// Splits an image path by the Windows command-line rules; the program is
// mapped into the root (a drive letter) and may be an unquoted path with
// spaces, found as Windows finds it (the shortest prefix that names a file).
bool SplitImagePath(const std::string& imagePath, std::vector<std::string>* args);

} // namespace vplat

#endif
