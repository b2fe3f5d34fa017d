// The phrase matcher. The body check runs it over every body of every message
// the gateway receives, so it is built for speed: candidate starts are found
// sixteen bytes at a time, and only a position whose first character matches
// the phrase's first and whose next character can continue the match (the
// phrase's second character, or one of the characters passed over) is
// compared in full. The full comparison is the plain one, so every result is
// the one the position-by-position walk gives.
#include "filter/FindPhrase.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Upper-case forms by the runtime's default locale: ASCII letters only.
struct CaseTables {
    unsigned char upper[256];
    unsigned char lower[256];
    bool word[256];
    CaseTables() {
        for (int c = 0; c < 256; ++c) {
            upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            word[c] = (upper[c] >= 'A' && upper[c] <= 'Z') || (c >= '0' && c <= '9');
        }
    }
};

const CaseTables& Tables() {
    static const CaseTables tables;
    return tables;
}

inline bool IsPassedOver(unsigned char c) {
    return c == '\n' || c == '\r' || c == '=';
}

// The full test of one candidate start p whose first character is known to
// match. text[p] is not the terminator.
inline bool MatchesAt(const unsigned char* text, size_t p, const unsigned char* phrase, size_t len,
                      int mode, const CaseTables& t) {
    if (mode == 0 && p > 0 && t.word[text[p - 1]])
        return false;
    size_t i = p + 1;
    size_t j = 1;
    while (j < len) {
        // The terminator is none of the passed-over characters and never
        // equals a phrase character, so neither loop runs past it.
        while (IsPassedOver(text[i]))
            ++i;
        if (t.upper[phrase[j]] != t.upper[text[i]])
            return false;
        ++i;
        ++j;
    }
    return !t.word[text[i]];
}

} // namespace

bool IsWordChar(char c) {
    return Tables().word[static_cast<unsigned char>(c)];
}

const char* FindPhrase(const char* textIn, const char* phraseIn, int mode) {
    if (textIn == nullptr || phraseIn == nullptr)
        return nullptr;
    const CaseTables& t = Tables();
    const unsigned char* text = reinterpret_cast<const unsigned char*>(textIn);
    const unsigned char* phrase = reinterpret_cast<const unsigned char*>(phraseIn);
    size_t len = strlen(phraseIn);
    if (len == 0)
        return nullptr;
    size_t n = strlen(textIn);
    if (len > n)
        return nullptr;

    const unsigned char first = t.upper[phrase[0]];
    const unsigned char firstLower = t.lower[first];
    // With a phrase of one character there is nothing to test at p + 1.
    const bool testSecond = len > 1;
    const unsigned char second = testSecond ? t.upper[phrase[1]] : 0;
    const unsigned char secondLower = t.lower[second];

    size_t p = 0;
#if defined(__SSE2__)
    {
        const __m128i vFirst = _mm_set1_epi8(static_cast<char>(first));
        const __m128i vFirstLower = _mm_set1_epi8(static_cast<char>(firstLower));
        const __m128i vSecond = _mm_set1_epi8(static_cast<char>(second));
        const __m128i vSecondLower = _mm_set1_epi8(static_cast<char>(secondLower));
        const __m128i vLf = _mm_set1_epi8('\n');
        const __m128i vCr = _mm_set1_epi8('\r');
        const __m128i vEq = _mm_set1_epi8('=');
        // The load at p + 1 reads up to text[p + 16], which is at most the
        // terminator at text[n].
        for (; p + 16 <= n; p += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p));
            __m128i m = _mm_or_si128(_mm_cmpeq_epi8(a, vFirst), _mm_cmpeq_epi8(a, vFirstLower));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
            if (mask == 0)
                continue;
            if (testSecond) {
                __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + 1));
                __m128i s = _mm_or_si128(_mm_cmpeq_epi8(b, vSecond), _mm_cmpeq_epi8(b, vSecondLower));
                s = _mm_or_si128(s, _mm_cmpeq_epi8(b, vLf));
                s = _mm_or_si128(s, _mm_cmpeq_epi8(b, vCr));
                s = _mm_or_si128(s, _mm_cmpeq_epi8(b, vEq));
                mask &= static_cast<unsigned>(_mm_movemask_epi8(s));
            }
            while (mask != 0) {
                unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
                if (MatchesAt(text, p + bit, phrase, len, mode, t))
                    return textIn + p + bit;
                mask &= mask - 1;
            }
        }
    }
#endif
    for (; p < n; ++p) {
        unsigned char c = text[p];
        if (c != first && c != firstLower)
            continue;
        if (testSecond) {
            unsigned char d = text[p + 1];
            if (d != second && d != secondLower && !IsPassedOver(d))
                continue;
        }
        if (MatchesAt(text, p, phrase, len, mode, t))
            return textIn + p;
    }
    return nullptr;
}
