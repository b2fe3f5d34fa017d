// The one test of a file name that a client (or a pipe command) hands over to
// be read, sent or deleted inside a mail folder.
#ifndef VANTRY_STORE_FILENAME_H
#define VANTRY_STORE_FILENAME_H

#include <cstddef>

// True when name (length bytes, zero bytes included) names a file inside
// whatever folder it is appended to, and nothing else: at least one byte, at
// most maxLength; no zero byte; no "\", "/" or ":" (no folder, drive, share
// or stream part); and not made of dots and spaces alone, since Windows
// drops the trailing dots and spaces of a name, so that ".", "..", "..." and
// ".. " all come to mean the folder itself or its parent.
inline bool IsBareFileName(const char* name, size_t length, size_t maxLength) {
    if (name == nullptr || length == 0 || length > maxLength)
        return false;
    bool onlyDotsAndSpaces = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        if (c == '\0' || c == '\\' || c == '/' || c == ':')
            return false;
        if (c != '.' && c != ' ')
            onlyDotsAndSpaces = false;
    }
    return !onlyDotsAndSpaces;
}

#endif
