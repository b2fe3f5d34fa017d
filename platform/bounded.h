// The one way the system copies or formats into a fixed buffer: never past its
// end, always terminated. A text that does not fit is cut at the buffer's end.
#ifndef VANTRY_PLATFORM_BOUNDED_H
#define VANTRY_PLATFORM_BOUNDED_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Copies src into dst of size bytes. Returns true when the whole text fit.
inline bool BoundedCopy(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0)
        return false;
    if (src == nullptr)
        src = "";
    size_t len = strlen(src);
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return n == len;
}

// Appends src to the text already in dst. Returns true when the whole text fit.
inline bool BoundedAppend(char* dst, size_t size, const char* src) {
    if (dst == nullptr || size == 0)
        return false;
    size_t used = strnlen(dst, size);
    if (used >= size) {
        dst[size - 1] = '\0';
        return false;
    }
    return BoundedCopy(dst + used, size - used, src);
}

// printf into dst of size bytes. Returns true when the whole text fit.
inline bool BoundedFormatV(char* dst, size_t size, const char* format, va_list args) {
    if (dst == nullptr || size == 0)
        return false;
    int n = vsnprintf(dst, size, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < size;
}

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
inline bool
BoundedFormat(char* dst, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool fit = BoundedFormatV(dst, size, format, args);
    va_end(args);
    return fit;
}

// The same for UTF-16 texts (WCHAR on either target); size counts units.
template <typename Unit> inline bool BoundedCopyWide(Unit* dst, size_t size, const Unit* src) {
    if (dst == nullptr || size == 0)
        return false;
    size_t len = 0;
    if (src != nullptr)
        while (src[len] != 0)
            ++len;
    size_t n = len < size - 1 ? len : size - 1;
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i];
    dst[n] = 0;
    return n == len;
}

template <typename Unit> inline bool BoundedAppendWide(Unit* dst, size_t size, const Unit* src) {
    if (dst == nullptr || size == 0)
        return false;
    size_t used = 0;
    while (used < size && dst[used] != 0)
        ++used;
    if (used >= size) {
        dst[size - 1] = 0;
        return false;
    }
    return BoundedCopyWide(dst + used, size - used, src);
}

#endif
