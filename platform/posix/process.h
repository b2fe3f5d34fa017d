// Starting programs (CreateProcessA) and the named mutex that serialises work
// between processes (CreateMutexA, ReleaseMutex).
//
// CreateProcessA reads the command line the Windows way (command_line.h): the
// program a quoted first token names, or for an unquoted line the shortest
// prefix at white space that names a file; the program gets the arguments its
// C runtime would make of the whole line. Paths map into the platform root.
// The new process runs in a session of its own with its standard streams on
// /dev/null and none of the caller's descriptors (nothing is inherited, as
// with bInheritHandles FALSE); it is not waited for unless the caller waits on
// its handle. The process and thread handles are signalled when it ends;
// GetExitCodeProcess gives STILL_ACTIVE until then, afterwards its exit status
// (128 + the signal's number when a signal ended it).
//
// A named mutex is shared by every process of the platform root that opens the
// same name (names compare exactly, as on Windows): a lock file in the root. A
// mutex whose owning thread ends, or whose owning process dies, without
// releasing it is abandoned: the next waiter gets it with WAIT_ABANDONED.
// Ownership is per thread and counted (an owner may wait again and must
// release as often). Waits on a mutex held by another process look again
// every few milliseconds.
#ifndef VANTRY_PLATFORM_POSIX_PROCESS_H
#define VANTRY_PLATFORM_POSIX_PROCESS_H

#include "platform/posix/types.h"

#define WAIT_ABANDONED_0 0x00000080u

#define DEBUG_PROCESS 0x00000001
#define DEBUG_ONLY_THIS_PROCESS 0x00000002
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define IDLE_PRIORITY_CLASS 0x00000040
#define HIGH_PRIORITY_CLASS 0x00000080
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define CREATE_NO_WINDOW 0x08000000

#define STARTF_USESHOWWINDOW 0x00000001
#define STARTF_USESTDHANDLES 0x00000100

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define ERROR_NOT_OWNER 288L
#define ERROR_BAD_EXE_FORMAT 193L

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
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
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// lpEnvironment: null for the caller's environment, else an ANSI block
// "NAME=value\0...\0\0". lpCurrentDirectory: null for the caller's folder.
// STARTF_USESTDHANDLES is not provided (ERROR_NOT_SUPPORTED); the show-window
// fields have no meaning here and are accepted. Failures: ERROR_FILE_NOT_FOUND
// (no such program), ERROR_PATH_NOT_FOUND (its folder is missing),
// ERROR_ACCESS_DENIED (not executable), ERROR_BAD_EXE_FORMAT, ERROR_DIRECTORY
// (bad current folder), ERROR_INVALID_PARAMETER.
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

// A null name makes a mutex of this process only. For a name that is already
// open (in this process or another), GetLastError() is ERROR_ALREADY_EXISTS
// and bInitialOwner is ignored.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName);
// Fails with ERROR_NOT_OWNER when the calling thread does not own the mutex.
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Folders and file copies, as an installer needs them (paths map into the
// root). CreateDirectoryA fails with ERROR_ALREADY_EXISTS for an existing
// folder and ERROR_PATH_NOT_FOUND when the parent is missing. CopyFileA keeps
// the permission bits (an executable stays executable) and with
// bFailIfExists fails with ERROR_FILE_EXISTS.
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);

#endif
