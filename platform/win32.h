// The one door to the operating system. The system is a Windows program: it
// calls the Win32 API and Winsock 1.1 by their Windows names. On Windows this
// header is <windows.h> and <winsock.h>; on POSIX the same names, with their
// Windows values and results, come from platform/posix.
#ifndef VANTRY_PLATFORM_WIN32_H
#define VANTRY_PLATFORM_WIN32_H

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
// Wide (UTF-16) literals are written through this one macro on both targets.
#define WIDE(s) L##s
#else
#include "platform/posix/types.h"
#include "platform/posix/base.h"
#include "platform/posix/registry.h"
#include "platform/posix/eventlog.h"
#include "platform/posix/service.h"
#include "platform/posix/winsock.h"
#include "platform/posix/filemap.h"
#include "platform/posix/directory.h"
#include "platform/posix/process.h"
#endif

#endif
