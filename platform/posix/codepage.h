// Text conversion between UTF-16 and the 8-bit code pages the system uses:
// the ANSI page (1252), the OEM page (437) and UTF-8. The results are those of
// Windows called with WC_NO_BEST_FIT_CHARS: a character that the page lacks
// becomes the default character ('?' unless given) and is reported through
// lpUsedDefaultChar, never replaced by a look-alike.
#ifndef VANTRY_PLATFORM_POSIX_CODEPAGE_H
#define VANTRY_PLATFORM_POSIX_CODEPAGE_H

#include "platform/posix/types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

#define WC_NO_BEST_FIT_CHARS 0x00000400
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008

// Code pages understood: CP_ACP (1252 here), CP_OEMCP (437 here), 437, 1252
// and CP_UTF8; another page fails with ERROR_INVALID_PARAMETER.
// cchWideChar -1 converts up to and including the terminator. cbMultiByte 0
// returns the size needed; a buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER (as on Windows, what fitted may have been
// written). For CP_UTF8 the two default-character arguments must be null.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);
// The reverse; a byte sequence that is not valid UTF-8 becomes U+FFFD, or
// fails with ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);

#endif
