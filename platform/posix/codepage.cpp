// UTF-16 to and from the ANSI (1252) and OEM (437) code pages and UTF-8. The
// two single-byte pages are tables made once from iconv's own tables; UTF-8 is
// coded here, so that its handling of broken input is the one Windows has.
#include "platform/posix/internal.h"

#include <cstring>
#include <iconv.h>
#include <string>

namespace {

// One single-byte code page: the UTF-16 unit of each byte.
struct SingleBytePage {
    char16_t unit[256];
    bool ok = false;

    explicit SingleBytePage(const char* name) {
        iconv_t cd = iconv_open("UTF-16LE", name);
        ok = cd != reinterpret_cast<iconv_t>(-1);
        for (int b = 0; b < 256; ++b) {
            // Bytes the page leaves undefined (five in 1252) map to the
            // unit of the same number, as Windows maps them.
            unit[b] = static_cast<char16_t>(b);
            if (!ok)
                continue;
            char in = static_cast<char>(b);
            unsigned char out[4] = {};
            char* inp = &in;
            size_t inLeft = 1;
            char* outp = reinterpret_cast<char*>(out);
            size_t outLeft = sizeof(out);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1) &&
                outLeft == 2)
                unit[b] = static_cast<char16_t>(out[0] | (out[1] << 8));
        }
        if (ok)
            iconv_close(cd);
    }

    // The byte of a unit, or -1 when the page lacks it.
    int ByteOf(char16_t u) const {
        if (u < 0x80 && unit[u] == u)
            return u;
        for (int b = 0; b < 256; ++b)
            if (unit[b] == u)
                return b;
        return -1;
    }
};

// Made on first use, never at load time.
const SingleBytePage* PageOf(UINT codePage) {
    if (codePage == CP_ACP || codePage == 1252) {
        static const SingleBytePage page("CP1252");
        return &page;
    }
    if (codePage == CP_OEMCP || codePage == 437) {
        static const SingleBytePage page("CP437");
        return &page;
    }
    return nullptr;
}

size_t WideLength(LPCWSTR s, int count) {
    if (count >= 0)
        return static_cast<size_t>(count);
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n + 1; // the terminator is converted too
}

void AppendUtf8(std::string& out, unsigned long c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Hands a finished conversion out as Windows does: the size needed when the
// caller asked for it, else the copy, or ERROR_INSUFFICIENT_BUFFER after
// writing what fitted.
template <typename Unit> int HandOut(const std::basic_string<Unit>& out, Unit* dst, int capacity) {
    if (capacity == 0)
        return static_cast<int>(out.size());
    size_t fit =
        out.size() < static_cast<size_t>(capacity) ? out.size() : static_cast<size_t>(capacity);
    for (size_t i = 0; i < fit; ++i)
        dst[i] = out[i];
    if (out.size() > static_cast<size_t>(capacity)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(out.size());
}

} // namespace

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = WideLength(lpWideCharStr, cchWideChar);
    std::string out;
    if (CodePage == CP_UTF8) {
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (dwFlags != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        for (size_t i = 0; i < length; ++i) {
            unsigned long c = lpWideCharStr[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
                lpWideCharStr[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00u);
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD; // a lone surrogate
            }
            AppendUtf8(out, c);
        }
        return HandOut(out, lpMultiByteStr, cbMultiByte);
    }
    const SingleBytePage* page = PageOf(CodePage);
    if (page == nullptr || !page->ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((dwFlags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const char fallback = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    bool usedDefault = false;
    for (size_t i = 0; i < length; ++i) {
        char16_t u = lpWideCharStr[i];
        int b = page->ByteOf(u);
        if (b < 0) {
            // A surrogate pair is one character, and becomes one default.
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
                lpWideCharStr[i + 1] <= 0xDFFF)
                ++i;
            out.push_back(fallback);
            usedDefault = true;
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return HandOut(out, lpMultiByteStr, cbMultiByte);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const size_t length =
        cbMultiByte >= 0 ? static_cast<size_t>(cbMultiByte) : strlen(lpMultiByteStr) + 1;
    std::u16string out;
    if (CodePage == CP_UTF8) {
        if ((dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        for (size_t i = 0; i < length;) {
            unsigned char b = in[i];
            int extra = b < 0x80             ? 0
                        : (b & 0xE0) == 0xC0 ? 1
                        : (b & 0xF0) == 0xE0 ? 2
                        : (b & 0xF8) == 0xF0 ? 3
                                             : -1;
            unsigned long c = extra == 0   ? b
                              : extra == 1 ? (b & 0x1Fu)
                              : extra == 2 ? (b & 0x0Fu)
                                           : (b & 0x07u);
            bool valid = extra >= 0 && i + static_cast<size_t>(extra) < length;
            for (int k = 1; valid && k <= extra; ++k) {
                if ((in[i + k] & 0xC0) != 0x80)
                    valid = false;
                else
                    c = (c << 6) | (in[i + k] & 0x3Fu);
            }
            static const unsigned long kMinimum[] = {0, 0x80, 0x800, 0x10000};
            if (valid && (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
                valid = false;
            if (!valid) {
                if (dwFlags & MB_ERR_INVALID_CHARS) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                out.push_back(0xFFFD);
                ++i;
                continue;
            }
            if (c >= 0x10000) {
                c -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
            } else {
                out.push_back(static_cast<char16_t>(c));
            }
            i += static_cast<size_t>(extra) + 1;
        }
        return HandOut(out, lpWideCharStr, cchWideChar);
    }
    const SingleBytePage* page = PageOf(CodePage);
    if (page == nullptr || !page->ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    for (size_t i = 0; i < length; ++i)
        out.push_back(page->unit[in[i]]);
    return HandOut(out, lpWideCharStr, cchWideChar);
}
