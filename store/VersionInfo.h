// The version values of the product key, kept for the whole process and read
// again before every version reply.
#ifndef VANTRY_STORE_VERSIONINFO_H
#define VANTRY_STORE_VERSIONINFO_H

#include "platform/win32.h"

// Each version text is kept up to 199 characters; a longer registry value is
// cut there. Four such texts and the labels fit the 1,024-byte get_version
// text whole.
const int VERSION_TEXT_SIZE = 200;
const int VERSION_REPLY_SIZE = 1024;

// Each field is known by its registry value name.
struct VersionInfo {
    char szDrennicVer[VERSION_TEXT_SIZE];
    char szEngineVer[VERSION_TEXT_SIZE];
    char szVirDefVer[VERSION_TEXT_SIZE];
    char szVirDefDate[VERSION_TEXT_SIZE];
    DWORD dwExtraVirDefNVirs;
    DWORD dwExtraVirDefNVars;
};

extern VersionInfo g_VersionInfo;

// Sets every value to its default ("unknown", 0), then reads what the product
// key holds. A key that cannot be opened is logged (message 9) and the
// defaults stand; a missing value keeps its default, silently.
void ReadVersionInfo();

// The get_version text: six NAME='value' items separated by line feeds, none
// after the last; the two numbers as signed 32-bit decimals.
void FormatVersionText(const VersionInfo& info, char* text, size_t size);

#endif
