// Letter case of ASCII text, as the protocol compares it: only 'a'..'z' and
// 'A'..'Z' are folded, whatever the locale, so that every comparison of
// command words and host names agrees on both targets.
#ifndef VANTRY_SERVICE_ASCIICASE_H
#define VANTRY_SERVICE_ASCIICASE_H

#include <cstddef>

inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when the first length characters of a and b are equal, letter case
// aside. Both must hold at least length characters.
inline bool AsciiEqualNoCase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

#endif
