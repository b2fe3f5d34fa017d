// The phrase matcher. The body check runs it over every body of every message
// the gateway receives, so it is built for speed: candidate starts are found
// sixteen bytes at a time, and only a position whose first character matches
// the phrase's first and whose next two characters can continue the match
// (the phrase's second and third characters, or characters passed over) is
// compared in full. The full comparison is the plain one, so every result is
// the one the position-by-position walk gives.
#include "filter/FindPhrase.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Upper-case forms by the runtime's default locale: ASCII letters only. The
// tables are constants, built by the compiler: the library keeps no state.
struct CaseTables {
    unsigned char upper[256] = {};
    unsigned char lower[256] = {};
    bool word[256] = {};
    constexpr CaseTables() {
        for (int c = 0; c < 256; ++c) {
            upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            word[c] = (upper[c] >= 'A' && upper[c] <= 'Z') || (c >= '0' && c <= '9');
        }
    }
};

constexpr CaseTables kTables;

inline const CaseTables& Tables() {
    return kTables;
}

inline bool IsPassedOver(unsigned char c) {
    return c == '\n' || c == '\r' || c == '=';
}

enum Verdict { kNoMatch, kMatch, kUndecided };

// The full test of one candidate start p whose first character is known to
// match. text[p] is not the terminator. openAt is the index of the window's
// end when the content goes on beyond it (else SIZE_MAX): a candidate whose
// walk reaches it cannot be judged in this window.
inline Verdict MatchAt(const unsigned char* text, size_t p, const unsigned char* phrase, size_t len,
                       int mode, size_t openAt, const CaseTables& t) {
    if (mode == 0 && p > 0 && t.word[text[p - 1]])
        return kNoMatch;
    size_t i = p + 1;
    size_t j = 1;
    while (j < len) {
        // The terminator is none of the passed-over characters and never
        // equals a phrase character, so neither loop runs past it.
        while (IsPassedOver(text[i]))
            ++i;
        if (t.upper[phrase[j]] != t.upper[text[i]])
            return i == openAt ? kUndecided : kNoMatch;
        ++i;
        ++j;
    }
    if (i == openAt)
        return kUndecided;
    return t.word[text[i]] ? kNoMatch : kMatch;
}

// The walk over text[from, limit), text[limit] being a terminator. Returns
// the first match, or null; when a candidate cannot be judged (it runs into an
// open end) the walk stops there and *undecided receives its index, since no
// later match may be reported before it is settled.
const char* Search(const char* textIn, size_t from, size_t limit, const char* phraseIn, int mode,
                   bool openEnd, size_t* undecided) {
    const CaseTables& t = Tables();
    const unsigned char* text = reinterpret_cast<const unsigned char*>(textIn);
    const unsigned char* phrase = reinterpret_cast<const unsigned char*>(phraseIn);
    const size_t len = strlen(phraseIn);
    const size_t openAt = openEnd ? limit : static_cast<size_t>(-1);
    if (len == 0)
        return nullptr;
    if (!openEnd && len > limit - from)
        return nullptr;

    const unsigned char first = t.upper[phrase[0]];
    const unsigned char firstLower = t.lower[first];
    // With a phrase of one character there is nothing to test at p + 1.
    const bool testSecond = len > 1;
    const unsigned char second = testSecond ? t.upper[phrase[1]] : 0;
    const unsigned char secondLower = t.lower[second];

    size_t p = from;
#if defined(__SSE2__)
    {
        const bool testThird = len > 2;
        const unsigned char third = testThird ? t.upper[phrase[2]] : 0;
        const unsigned char thirdLower = t.lower[third];
        const __m128i vFirst = _mm_set1_epi8(static_cast<char>(first));
        const __m128i vFirstLower = _mm_set1_epi8(static_cast<char>(firstLower));
        const __m128i vSecond = _mm_set1_epi8(static_cast<char>(second));
        const __m128i vSecondLower = _mm_set1_epi8(static_cast<char>(secondLower));
        const __m128i vLf = _mm_set1_epi8('\n');
        const __m128i vCr = _mm_set1_epi8('\r');
        const __m128i vEq = _mm_set1_epi8('=');
        const __m128i vThird = _mm_set1_epi8(static_cast<char>(third));
        const __m128i vThirdLower = _mm_set1_epi8(static_cast<char>(thirdLower));
        // Every character tested here at p + 1 and p + 2 lies before limit,
        // so these tests never meet the terminator; the last positions are
        // left to the plain loop below. The third character must match the
        // phrase's third unless a passed-over character moved it.
        // The three tests are combined without branches: the first alone
        // passes too often in text for a branch on it to be predictable.
        const __m128i vAll = _mm_set1_epi8(static_cast<char>(0xff));
        const __m128i wantSecond = testSecond ? _mm_setzero_si128() : vAll;
        const __m128i wantThird = testThird ? _mm_setzero_si128() : vAll;
        for (; p + 18 <= limit; p += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + 1));
            __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + 2));
            __m128i m = _mm_or_si128(_mm_cmpeq_epi8(a, vFirst), _mm_cmpeq_epi8(a, vFirstLower));
            __m128i skipB = _mm_or_si128(_mm_cmpeq_epi8(b, vLf), _mm_cmpeq_epi8(b, vCr));
            skipB = _mm_or_si128(skipB, _mm_cmpeq_epi8(b, vEq));
            __m128i s = _mm_or_si128(_mm_cmpeq_epi8(b, vSecond), _mm_cmpeq_epi8(b, vSecondLower));
            s = _mm_or_si128(_mm_or_si128(s, skipB), wantSecond);
            __m128i r = _mm_or_si128(_mm_cmpeq_epi8(c, vThird), _mm_cmpeq_epi8(c, vThirdLower));
            r = _mm_or_si128(r, _mm_cmpeq_epi8(c, vLf));
            r = _mm_or_si128(r, _mm_cmpeq_epi8(c, vCr));
            r = _mm_or_si128(r, _mm_cmpeq_epi8(c, vEq));
            r = _mm_or_si128(_mm_or_si128(r, skipB), wantThird);
            m = _mm_and_si128(m, _mm_and_si128(s, r));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
            if (mask == 0)
                continue;
            while (mask != 0) {
                size_t at = p + static_cast<size_t>(__builtin_ctz(mask));
                Verdict v = MatchAt(text, at, phrase, len, mode, openAt, t);
                if (v == kMatch)
                    return textIn + at;
                if (v == kUndecided) {
                    *undecided = at;
                    return nullptr;
                }
                mask &= mask - 1;
            }
        }
    }
#endif
    for (; p < limit; ++p) {
        unsigned char c = text[p];
        if (c != first && c != firstLower)
            continue;
        if (testSecond && p + 1 < limit) {
            unsigned char d = text[p + 1];
            if (d != second && d != secondLower && !IsPassedOver(d))
                continue;
        }
        Verdict v = MatchAt(text, p, phrase, len, mode, openAt, t);
        if (v == kMatch)
            return textIn + p;
        if (v == kUndecided) {
            *undecided = p;
            return nullptr;
        }
    }
    return nullptr;
}

} // namespace

bool IsWordChar(char c) {
    return Tables().word[static_cast<unsigned char>(c)];
}

const char* FindPhrase(const char* text, const char* phrase, int mode) {
    if (text == nullptr || phrase == nullptr)
        return nullptr;
    size_t undecided = 0;
    return Search(text, 0, strlen(text), phrase, mode, false, &undecided);
}

const char* FindPhraseInWindow(const char* window, size_t from, size_t length, const char* phrase,
                               int mode, bool endIsOpen, size_t* undecided) {
    *undecided = static_cast<size_t>(-1);
    if (window == nullptr || phrase == nullptr || from > length)
        return nullptr;
    // A zero byte ends the searchable text; the window's end is open only
    // when the searchable text reaches it.
    size_t limit = from + strlen(window + from);
    return Search(window, from, limit, phrase, mode, endIsOpen && limit == length, undecided);
}
