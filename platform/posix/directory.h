// Directory searches and the file operations on names of the Win32 API.
//
// FindFirstFileA matches a pattern the way Windows does: letter case is
// ignored, and the last part of the pattern is read with the DOS wildcard
// rules of the Win32 layer ("*." matches names without an extension, "*.*" and
// "*" match every name, "?" one character). A search of a folder yields the
// "." and ".." entries wherever the pattern matches them ("*", "*.*", "*."),
// first, as an NTFS folder gives them; the other names follow in NTFS order
// (letter case aside, by character code). Directories report size 0. Short
// (8.3) names are neither made nor matched.
//
// Paths may be Windows paths ("C:\x" maps into the platform root) or POSIX
// paths, as everywhere on this side.
#ifndef VANTRY_PLATFORM_POSIX_DIRECTORY_H
#define VANTRY_PLATFORM_POSIX_DIRECTORY_H

#include "platform/posix/types.h"

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif

#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_DIRECTORY 267L

#define MOVEFILE_REPLACE_EXISTING 0x00000001

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// The first entry that matches, or INVALID_HANDLE_VALUE with the last error:
// ERROR_FILE_NOT_FOUND when the folder holds no match, ERROR_PATH_NOT_FOUND
// when the folder is missing (or is a file).
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
// The next match; FALSE with ERROR_NO_MORE_FILES after the last one.
BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName);
// Deletes a file; a folder is refused with ERROR_ACCESS_DENIED, as on Windows.
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
// Moves a file or folder; an existing target is refused with
// ERROR_ALREADY_EXISTS unless MOVEFILE_REPLACE_EXISTING is given (MoveFileExA).
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
// FILE_ATTRIBUTE_* of a file or folder, or INVALID_FILE_ATTRIBUTES.
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);

namespace vplat {

// The Win32 name match of FindFirstFileA: true when name matches the pattern
// (the last part of a search path, without any folder).
bool MatchFileName(const char* pattern, const char* name);

} // namespace vplat

#endif
