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
// The platform's registry transaction (see platform/posix/registry.h). The
// Windows registry offers none to the programs of this system's era: each write
// stands alone, so callers write in their fixed order and report a failure; a
// rollback says ERROR_CALL_NOT_IMPLEMENTED, since what was written stays.
inline LONG WINAPI RegBeginTransactionV(void) {
    return ERROR_SUCCESS;
}
inline LONG WINAPI RegBeginSnapshotV(void) {
    return ERROR_SUCCESS;
}
inline LONG WINAPI RegCommitTransactionV(void) {
    return ERROR_SUCCESS;
}
inline LONG WINAPI RegRollbackTransactionV(void) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
// The POSIX platform keeps its machine state in a folder that can be missing
// or read-only (platform/posix/base.h); Windows keeps it in the system.
inline DWORD WINAPI CheckPlatformRootV(BOOL, LPSTR text, DWORD size) {
    if (text != nullptr && size > 0)
        text[0] = '\0';
    return ERROR_SUCCESS;
}
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
#include "platform/posix/file.h"
#include "platform/posix/codepage.h"
#include "platform/posix/module.h"
#include "platform/posix/process_wide.h"
#endif

#endif
