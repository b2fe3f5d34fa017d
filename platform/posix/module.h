// Loading a shared library at run time: LoadLibraryA over dlopen. The file
// name is mapped as every path is (a drive letter into the platform root).
#ifndef VANTRY_PLATFORM_POSIX_MODULE_H
#define VANTRY_PLATFORM_POSIX_MODULE_H

#include "platform/posix/types.h"

#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L

typedef INT_PTR(WINAPI* FARPROC)();

// Null with ERROR_MOD_NOT_FOUND when the library cannot be loaded.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// Null with ERROR_PROC_NOT_FOUND when the library exports no such name.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

#endif
