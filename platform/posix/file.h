// Files and named pipes through the Win32 file calls: CreateFileA, ReadFile,
// WriteFile, FlushFileBuffers, CloseHandle, and the named pipe calls of both
// ends (the folder calls: directory.h and process.h).
//
// Files: a Windows path ("C:\x" maps into the platform root) or a POSIX path;
// synchronous handles only (FILE_FLAG_OVERLAPPED fails with
// ERROR_NOT_SUPPORTED). ReadFile at the end of a file succeeds with 0 bytes.
//
// Named pipes: "\\.\pipe\NAME" (the prefix and the name compare without
// regard to case), byte mode, blocking (PIPE_TYPE_BYTE, PIPE_READMODE_BYTE,
// PIPE_WAIT); message mode, PIPE_NOWAIT and overlapped handles fail with
// ERROR_NOT_SUPPORTED. Every pipe instance is a Unix-domain socket in
// <root>/pipes/<hash of the name>/, served by a thread of the process that
// created the instance, so that an instance is "available" exactly when
// Windows would say so:
//
//  - a new instance listens at once (CreateNamedPipeA); a client that opens it
//    before the server calls ConnectNamedPipe is connected, and
//    ConnectNamedPipe then fails with ERROR_PIPE_CONNECTED, or with
//    ERROR_NO_DATA when that client has closed its end already (what it wrote
//    can still be read);
//  - an instance with a client, or disconnected (DisconnectNamedPipe) and not
//    yet listening again (ConnectNamedPipe), takes no client: an open finds
//    the pipe busy (ERROR_PIPE_BUSY, 231) when no instance of the name
//    listens, and absent (ERROR_FILE_NOT_FOUND, 2) when the name has no
//    instance at all (the last server handle closed, or its process died);
//  - ReadFile returns what has arrived, at least one byte, blocking until
//    then; the other end closed: FALSE with ERROR_BROKEN_PIPE. WriteFile
//    writes everything; the other end closed: FALSE with ERROR_NO_DATA.
//    FlushFileBuffers returns once the other end has read everything written.
//
// One difference remains: bytes written by a server and not yet read when it
// disconnects or closes are still delivered here (Windows discards them), so a
// server that wants its reply read calls FlushFileBuffers first, as on Windows.
#ifndef VANTRY_PLATFORM_POSIX_FILE_H
#define VANTRY_PLATFORM_POSIX_FILE_H

#include "platform/posix/types.h"

#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#endif

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000u

#define PIPE_ACCESS_INBOUND 0x00000001
#define PIPE_ACCESS_OUTBOUND 0x00000002
#define PIPE_ACCESS_DUPLEX 0x00000003

#define PIPE_TYPE_BYTE 0x00000000
#define PIPE_TYPE_MESSAGE 0x00000004
#define PIPE_READMODE_BYTE 0x00000000
#define PIPE_READMODE_MESSAGE 0x00000002
#define PIPE_WAIT 0x00000000
#define PIPE_NOWAIT 0x00000001
#define PIPE_UNLIMITED_INSTANCES 255

#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000
#define NMPWAIT_NOWAIT 0x00000001
#define NMPWAIT_WAIT_FOREVER 0xffffffffu

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// lpOverlapped must be null (synchronous handles only).
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);

HANDLE WINAPI CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode,
                               DWORD nMaxInstances, DWORD nOutBufferSize, DWORD nInBufferSize,
                               DWORD nDefaultTimeOut, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
// Waits until a client has opened the instance; lpOverlapped must be null.
BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped);
BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe);
// Waits until an instance of the pipe listens: TRUE; ERROR_SEM_TIMEOUT when the
// time passed first; ERROR_FILE_NOT_FOUND when the pipe does not exist.
BOOL WINAPI WaitNamedPipeA(LPCSTR lpNamedPipeName, DWORD nTimeOut);
// Without waiting: the bytes that a ReadFile would get now (*lpTotalBytesAvail),
// and a copy of up to nBufferSize of them. The other end closed and nothing
// left: FALSE with ERROR_BROKEN_PIPE.
BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize,
                          LPDWORD lpBytesRead, LPDWORD lpTotalBytesAvail,
                          LPDWORD lpBytesLeftThisMessage);

#endif
