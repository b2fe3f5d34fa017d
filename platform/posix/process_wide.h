// CreateProcessW: the UTF-16 twin of CreateProcessA (process.h). Texts are
// passed on as UTF-8, the file names of this platform; everything else is as
// CreateProcessA does it.
#ifndef VANTRY_PLATFORM_POSIX_PROCESS_WIDE_H
#define VANTRY_PLATFORM_POSIX_PROCESS_WIDE_H

#include "platform/posix/process.h"
#include "platform/posix/types.h"

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

// An environment block given with CREATE_UNICODE_ENVIRONMENT is not provided
// (ERROR_INVALID_PARAMETER); an ANSI block passes through.
BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);

#endif
