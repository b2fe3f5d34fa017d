// Anonymous file mappings and the runtime's low-level file calls.
//
// Mappings: only the paging-file kind (CreateFileMappingA on
// INVALID_HANDLE_VALUE, unnamed) is provided; the system copies a nested
// message into one. Its memory is committed as on Windows: a size the machine
// could never back fails at creation with ERROR_NOT_ENOUGH_MEMORY.
//
// The low-level file calls are those of the Microsoft C runtime (<io.h>,
// <fcntl.h>), with its names, flags and return conventions: -1 and errno on
// failure, a "long" offset.
#ifndef VANTRY_PLATFORM_POSIX_FILEMAP_H
#define VANTRY_PLATFORM_POSIX_FILEMAP_H

#include "platform/posix/types.h"

#include <cstdio> // SEEK_SET, SEEK_CUR, SEEK_END

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80

#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_EXTEND_SIZE 0x0010
#define SECTION_ALL_ACCESS 0x000F001F

#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE SECTION_MAP_WRITE
#define FILE_MAP_READ SECTION_MAP_READ
#define FILE_MAP_ALL_ACCESS SECTION_ALL_ACCESS

// A view's offset must be a multiple of the allocation granularity (64 KiB).
#define ERROR_MAPPED_ALIGNMENT 1132L

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                 DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                 LPCSTR lpName);
LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap);
BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);

#define _O_RDONLY 0x0000
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

// The path may be a Windows path ("C:\x" maps into the platform root) or a
// POSIX path. Only reading is provided: any other flag than _O_RDONLY,
// _O_TEXT and _O_BINARY fails with EINVAL.
//
// Text mode, the runtime's default (neither _O_TEXT nor _O_BINARY given), is
// the runtime's: _read delivers a carriage return-line feed pair as the line
// feed alone (a lone carriage return stays), and a 0x1A byte ends the file:
// it and everything after it are never delivered, and every later _read
// returns 0.
int _open(const char* filename, int oflag, ...);
int _read(int fd, void* buffer, unsigned int count);
long _lseek(int fd, long offset, int origin);
long _tell(int fd);
long _filelength(int fd);
int _close(int fd);

#endif
