// The phrase matcher. The body check runs it over every body of every message
// the gateway receives, so it is built for speed.
//
// Every occurrence of a phrase holds each of the phrase's characters, whatever
// line feeds, carriage returns and equals signs lie between them. So the walk
// looks only for the phrase's rarest character (by a table of how often each
// byte occurs in mail text), in both letter cases, with the widest vector
// instructions the processor has, and tests each place found against the
// characters beside it (the phrase's neighbours of the anchor, or characters
// passed over). Only a place that passes is compared in full, backwards from
// the anchor to the candidate start and forwards to the end. The full
// comparison is the plain one, so every result is the one the
// position-by-position walk gives, to the offset.
#include "filter/FindPhrase.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// SSE2 is the floor on x86: every 64-bit processor has it, and the 32-bit
// Windows build is compiled for it (CMakeLists.txt), as every
// processor a supported Windows runs on has it too.
#if defined(__SSE2__)
#include <emmintrin.h>
#define KESSLA_HAVE_SSE2 1
#endif

// AVX2 is chosen at run time, so the library still runs on a processor
// without it. On x86 with GCC or clang, whose target attribute compiles one
// function for AVX2. On 32-bit Windows the caller's stack may be aligned to
// only 4 bytes; the build realigns it there (CMakeLists.txt), so that the
// 32-byte spills of the AVX2 walk are aligned.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__) && \
    (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define KESSLA_HAVE_AVX2 1
#define KESSLA_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace {

// Upper-case forms by the runtime's default locale: ASCII letters only. The
// tables are constants, built by the compiler: the library keeps no state.
struct CaseTables {
    unsigned char upper[256] = {};
    unsigned char lower[256] = {};
    bool word[256] = {};
    bool passedOver[256] = {};
    constexpr CaseTables() {
        for (int c = 0; c < 256; ++c) {
            upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            word[c] = (upper[c] >= 'A' && upper[c] <= 'Z') || (c >= '0' && c <= '9');
            passedOver[c] = c == '\n' || c == '\r' || c == '=';
        }
    }
};

constexpr CaseTables kTables;

// How often each byte occurs in mail text, in occurrences per 100,000 bytes
// of English prose and headers, with both letter cases counted together
// (the anchor is searched for in both). Only the order matters: it picks the
// character whose search stops the fewest times. Bytes not listed are rare
// in mail (control characters, 8-bit text) and cost 5.
struct AnchorCosts {
    unsigned short cost[256] = {};
    constexpr void Set(int c, unsigned short value) { cost[c] = value; }
    constexpr AnchorCosts() {
        for (int c = 0; c < 256; ++c)
            cost[c] = 5;
        // a to z, lower case; upper case adds about a tenth, more for the
        // pronoun I and the letters that begin sentences and names.
        constexpr unsigned short letters[26] = {
            6300, 1200, 2400, 3100, 9800, 1700, 1500, 4200, 5600, 120,  600, 3200, 2000,
            5500, 6000, 1600, 90,   4800, 5100, 7000, 2200, 800,  1500, 150, 1400, 70};
        constexpr unsigned short capitals[26] = {700, 250, 350, 200, 150, 200, 150, 350, 900,
                                                 80,  60,  200, 350, 200, 200, 250, 10,  150,
                                                 450, 800, 40,  50,  350, 10,  100, 5};
        for (int i = 0; i < 26; ++i) {
            unsigned short both = static_cast<unsigned short>(letters[i] + capitals[i]);
            cost['a' + i] = both;
            cost['A' + i] = both;
        }
        Set(' ', 16000);
        Set('\r', 2800);
        Set('\n', 2800);
        Set('.', 1000);
        Set(',', 900);
        Set('=', 300);
        Set('-', 300);
        Set('\'', 200);
        Set('"', 150);
        Set(':', 150);
        Set('/', 150);
        Set('\t', 100);
        Set('0', 500);
        Set('1', 450);
        Set('2', 400);
        for (int d = '3'; d <= '9'; ++d)
            cost[d] = 250;
        Set('(', 60);
        Set(')', 60);
        Set('?', 60);
        Set('<', 60);
        Set('>', 60);
        Set('!', 50);
        Set(';', 50);
        Set('@', 40);
        Set('_', 40);
        Set('*', 20);
        Set('+', 20);
        Set('&', 20);
        Set('%', 20);
        Set('#', 10);
        Set('$', 10);
        for (int c = 0x80; c < 0x100; ++c)
            cost[c] = 10;
    }
};

constexpr AnchorCosts kAnchorCosts;

inline bool IsPassedOver(unsigned char c) {
    return kTables.passedOver[c];
}

enum Verdict { kNoMatch, kMatch, kUndecided };

constexpr size_t kNone = static_cast<size_t>(-1);

// The full test of one candidate start p whose first character is known to
// match, exactly as the position-by-position walk makes it. text[p] is not the
// terminator. openAt is the index of the window's end when the content goes
// on beyond it (else kNone): a candidate whose walk reaches it cannot be
// judged in this window.
inline Verdict MatchAt(const unsigned char* text, size_t p, const unsigned char* phrase, size_t len,
                       int mode, size_t openAt) {
    const CaseTables& t = kTables;
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

// One search: the text, the stretch [from, limit) to walk (text[limit] is a
// terminator), the phrase and its anchor.
struct Search {
    const unsigned char* text;
    size_t from;
    size_t limit;
    size_t openAt;
    const unsigned char* phrase;
    size_t len;
    int mode;

    // The anchor: the phrase's rarest character, at index anchor, and its
    // neighbours in the phrase, in both cases.
    size_t anchor;
    unsigned char anchorUpper, anchorLower;
    bool hasBefore, hasAfter;
    unsigned char beforeUpper, beforeLower;
    unsigned char afterUpper, afterLower;

    // For the vector filters, the anchor and up to two phrase characters on
    // each side of it, each as a byte to compare with after OR-ing the fold
    // (0x20 for a letter, whose two cases differ only in that bit; 0 for any
    // other character, compared as it is).
    struct Key {
        bool used;
        unsigned char fold;
        unsigned char value;
    };
    Key keyAnchor, keyBefore1, keyBefore2, keyAfter1, keyAfter2;
    // An anchor rare enough that most blocks of text hold none: for it, a
    // block without one is passed over before its neighbours are looked at.
    bool rareAnchor;

    Key KeyAt(size_t j) const {
        const CaseTables& t = kTables;
        unsigned char u = t.upper[phrase[j]];
        bool letter = u != t.lower[u];
        return Key{true, static_cast<unsigned char>(letter ? 0x20 : 0), letter ? t.lower[u] : u};
    }

    // Whether the anchored walk applies: no phrase character is one that the
    // walk passes over. (One past the first can never match, and a first one
    // may start in a run of them: both are left to the plain walk.)
    bool Plan() {
        const CaseTables& t = kTables;
        anchor = 0;
        for (size_t j = 0; j < len; ++j) {
            if (IsPassedOver(phrase[j]))
                return false;
            if (kAnchorCosts.cost[phrase[j]] < kAnchorCosts.cost[phrase[anchor]])
                anchor = j;
        }
        anchorUpper = t.upper[phrase[anchor]];
        anchorLower = t.lower[anchorUpper];
        hasBefore = anchor > 0;
        hasAfter = anchor + 1 < len;
        beforeUpper = hasBefore ? t.upper[phrase[anchor - 1]] : 0;
        beforeLower = t.lower[beforeUpper];
        afterUpper = hasAfter ? t.upper[phrase[anchor + 1]] : 0;
        afterLower = t.lower[afterUpper];
        const Key unused = {false, 0, 0};
        keyAnchor = KeyAt(anchor);
        keyBefore1 = anchor >= 1 ? KeyAt(anchor - 1) : unused;
        keyBefore2 = anchor >= 2 ? KeyAt(anchor - 2) : unused;
        keyAfter1 = anchor + 1 < len ? KeyAt(anchor + 1) : unused;
        keyAfter2 = anchor + 2 < len ? KeyAt(anchor + 2) : unused;
        rareAnchor = kAnchorCosts.cost[phrase[anchor]] < 1000;
        return true;
    }

    // The candidate start whose anchor character is at q, when it is a match
    // (kNone otherwise). Backwards from the anchor to the start, forwards to
    // the end: together the comparison of MatchAt. A candidate that runs into
    // an open end is no match here; the end of the window judges it.
    size_t MatchFromAnchor(size_t q) const {
        const CaseTables& t = kTables;
        size_t i = q;
        for (size_t j = anchor; j > 0; --j) {
            do {
                if (i == from)
                    return kNone;
                --i;
            } while (IsPassedOver(text[i]));
            if (t.upper[text[i]] != t.upper[phrase[j - 1]])
                return kNone;
        }
        const size_t p = i;
        if (mode == 0 && p > 0 && t.word[text[p - 1]])
            return kNone;
        i = q + 1;
        for (size_t j = anchor + 1; j < len; ++j) {
            while (IsPassedOver(text[i]))
                ++i;
            if (t.upper[text[i]] != t.upper[phrase[j]])
                return kNone;
            ++i;
        }
        if (i == openAt || t.word[text[i]])
            return kNone;
        return p;
    }

    // The test the vector filters make, one position at a time.
    bool Passes(size_t q) const {
        unsigned char c = text[q];
        if (c != anchorUpper && c != anchorLower)
            return false;
        if (hasBefore) {
            unsigned char b = text[q - 1];
            if (b != beforeUpper && b != beforeLower && !IsPassedOver(b))
                return false;
        }
        if (hasAfter) {
            unsigned char a = text[q + 1];
            if (a != afterUpper && a != afterLower && !IsPassedOver(a))
                return false;
        }
        return true;
    }

    // The first match whose anchor lies in [q, limit), one position at a time.
    size_t ScanTail(size_t q) const {
        for (; q < limit; ++q) {
            if (!Passes(q))
                continue;
            size_t p = MatchFromAnchor(q);
            if (p != kNone)
                return p;
        }
        return kNone;
    }

    // Plain C++: four bytes at a time, for the targets without vector
    // instructions. A word whose bytes hold no anchor character (a letter's
    // two cases differ only in bit 0x20) is passed over whole.
    size_t ScanPlain(size_t q) const {
        const bool letter = anchorUpper != anchorLower;
        const uint32_t fold = letter ? 0x20202020u : 0;
        const uint32_t want = 0x01010101u * (letter ? anchorLower : anchorUpper);
        for (; q + 4 <= limit; q += 4) {
            uint32_t w;
            memcpy(&w, text + q, sizeof(w));
            uint32_t x = (w | fold) ^ want;
            if (((x - 0x01010101u) & ~x & 0x80808080u) == 0)
                continue;
            size_t p = ScanTail4(q);
            if (p != kNone)
                return p;
        }
        return ScanTail(q);
    }

    size_t ScanTail4(size_t q) const {
        for (size_t k = q; k < q + 4; ++k) {
            if (!Passes(k))
                continue;
            size_t p = MatchFromAnchor(k);
            if (p != kNone)
                return p;
        }
        return kNone;
    }

    // Tests the positions of a vector's mask, lowest first.
    size_t TestMask(size_t q, uint32_t mask) const {
        while (mask != 0) {
            size_t p = MatchFromAnchor(q + static_cast<size_t>(__builtin_ctz(mask)));
            if (p != kNone)
                return p;
            mask &= mask - 1;
        }
        return kNone;
    }

#if defined(KESSLA_HAVE_SSE2)
    // Sixteen positions at a time. A position passes when it holds the
    // anchor in either case and each of the two characters on either side of
    // it is the phrase's character there or could be passed over on the way
    // to it: at q + 1 the phrase's next character or a passed-over one; at
    // q + 2 the one after that, a passed-over one, or anything when q + 1 was
    // passed over (and likewise before the anchor). "Passed over" is widened
    // here to every byte up to the carriage return and the equals sign, which
    // only lets a few more places through to the full comparison. The tests
    // are combined without branches: the anchor alone passes too often in
    // text for a branch on it to be predictable. The loads from q - 2 (when
    // the anchor has that many characters before it in the phrase, so that q
    // is that far past from) to q + 17 (the loop leaves the last positions to
    // ScanTail) stay inside the text and its terminator.
    size_t ScanSse2(size_t q) const {
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i eq = _mm_set1_epi8('=');
        auto load = [&](size_t at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        };
        auto is = [](__m128i x, const Key& k) {
            return _mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(static_cast<char>(k.fold))),
                                  _mm_set1_epi8(static_cast<char>(k.value)));
        };
        auto passed = [&](__m128i x) {
            return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(x, cr), x), _mm_cmpeq_epi8(x, eq));
        };
        for (; q + 17 <= limit; q += 16) {
            __m128i m = is(load(q), keyAnchor);
            if (keyAfter1.used) {
                __m128i x1 = load(q + 1);
                __m128i p1 = passed(x1);
                m = _mm_and_si128(m, _mm_or_si128(is(x1, keyAfter1), p1));
                if (keyAfter2.used) {
                    __m128i x2 = load(q + 2);
                    __m128i ok = _mm_or_si128(_mm_or_si128(is(x2, keyAfter2), passed(x2)), p1);
                    m = _mm_and_si128(m, ok);
                }
            }
            if (keyBefore1.used) {
                __m128i y1 = load(q - 1);
                __m128i p1 = passed(y1);
                m = _mm_and_si128(m, _mm_or_si128(is(y1, keyBefore1), p1));
                if (keyBefore2.used) {
                    __m128i y2 = load(q - 2);
                    __m128i ok = _mm_or_si128(_mm_or_si128(is(y2, keyBefore2), passed(y2)), p1);
                    m = _mm_and_si128(m, ok);
                }
            }
            uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(m));
            if (mask == 0)
                continue;
            size_t p = TestMask(q, mask);
            if (p != kNone)
                return p;
        }
        return ScanTail(q);
    }
#endif

#if defined(KESSLA_HAVE_AVX2)
    // The same test, thirty-two positions at a time.
    struct Avx2Keys {
        __m256i cr, eq, aF, aV, n1F, n1V, n2F, n2V, b1F, b1V, b2F, b2V;
    };

    KESSLA_TARGET_AVX2 static __m256i Load32(const unsigned char* at) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
    KESSLA_TARGET_AVX2 static __m256i Passed32(__m256i x, const Avx2Keys& k) {
        return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(x, k.cr), x),
                               _mm256_cmpeq_epi8(x, k.eq));
    }
    KESSLA_TARGET_AVX2 static __m256i Is32(__m256i x, __m256i fold, __m256i value) {
        return _mm256_cmpeq_epi8(_mm256_or_si256(x, fold), value);
    }

    // The positions of text[b, b + 32) that pass, as bits. Reads text[b - 2]
    // (only as far back as the phrase has characters before the anchor) to
    // text[b + 33].
    KESSLA_TARGET_AVX2 uint32_t Block32(size_t b, const Avx2Keys& k) const {
        __m256i m = Is32(Load32(text + b), k.aF, k.aV);
        if (rareAnchor && _mm256_testz_si256(m, m))
            return 0;
        if (keyAfter1.used) {
            __m256i x1 = Load32(text + b + 1);
            __m256i p1 = Passed32(x1, k);
            m = _mm256_and_si256(m, _mm256_or_si256(Is32(x1, k.n1F, k.n1V), p1));
            if (keyAfter2.used) {
                __m256i x2 = Load32(text + b + 2);
                __m256i ok = _mm256_or_si256(Is32(x2, k.n2F, k.n2V), Passed32(x2, k));
                m = _mm256_and_si256(m, _mm256_or_si256(ok, p1));
            }
        }
        if (keyBefore1.used) {
            __m256i y1 = Load32(text + b - 1);
            __m256i p1 = Passed32(y1, k);
            m = _mm256_and_si256(m, _mm256_or_si256(Is32(y1, k.b1F, k.b1V), p1));
            if (keyBefore2.used) {
                __m256i y2 = Load32(text + b - 2);
                __m256i ok = _mm256_or_si256(Is32(y2, k.b2F, k.b2V), Passed32(y2, k));
                m = _mm256_and_si256(m, _mm256_or_si256(ok, p1));
            }
        }
        return static_cast<uint32_t>(_mm256_movemask_epi8(m));
    }

    KESSLA_TARGET_AVX2 size_t ScanAvx2(size_t q) const {
        auto set = [](unsigned char c) { return static_cast<char>(c); };
        const Avx2Keys k = {_mm256_set1_epi8('\r'),
                            _mm256_set1_epi8('='),
                            _mm256_set1_epi8(set(keyAnchor.fold)),
                            _mm256_set1_epi8(set(keyAnchor.value)),
                            _mm256_set1_epi8(set(keyAfter1.fold)),
                            _mm256_set1_epi8(set(keyAfter1.value)),
                            _mm256_set1_epi8(set(keyAfter2.fold)),
                            _mm256_set1_epi8(set(keyAfter2.value)),
                            _mm256_set1_epi8(set(keyBefore1.fold)),
                            _mm256_set1_epi8(set(keyBefore1.value)),
                            _mm256_set1_epi8(set(keyBefore2.fold)),
                            _mm256_set1_epi8(set(keyBefore2.value))};
        const size_t first = q;
        for (; q + 33 <= limit; q += 32) {
            uint32_t mask = Block32(q, k);
            if (mask == 0)
                continue;
            size_t p = TestMask(q, mask);
            if (p != kNone)
                return p;
        }
        // The rest but the last position in one more block that ends there,
        // with the positions already tested masked off.
        if (q + 1 < limit && limit >= first + 33) {
            size_t last = limit - 33;
            uint64_t mask = Block32(last, k);
            mask = (mask >> (q - last)) << (q - last);
            size_t p = TestMask(last, static_cast<uint32_t>(mask));
            if (p != kNone)
                return p;
            q = limit - 1;
        }
        return ScanTail(q);
    }
#endif

    // The first candidate, before the window's open end, that the walk would
    // stop at: a match, or one that runs into the end. Only a candidate among
    // the last len characters that are not passed over can run into the end,
    // so only those are walked, position by position.
    size_t FirstAtOpenEnd(Verdict* verdict) const {
        size_t start = limit;
        size_t kept = 0;
        while (start > from && kept < len) {
            --start;
            if (!IsPassedOver(text[start]))
                ++kept;
        }
        const unsigned char first = kTables.upper[phrase[0]];
        for (size_t p = start; p < limit; ++p) {
            if (kTables.upper[text[p]] != first)
                continue;
            Verdict v = MatchAt(text, p, phrase, len, mode, openAt);
            if (v != kNoMatch) {
                *verdict = v;
                return p;
            }
        }
        return kNone;
    }

    // The position-by-position walk, for phrases the anchored one does not
    // cover.
    size_t Walk(Verdict* verdict) const {
        const unsigned char first = kTables.upper[phrase[0]];
        for (size_t p = from; p < limit; ++p) {
            if (kTables.upper[text[p]] != first)
                continue;
            Verdict v = MatchAt(text, p, phrase, len, mode, openAt);
            if (v != kNoMatch) {
                *verdict = v;
                return p;
            }
        }
        return kNone;
    }
};

#if defined(KESSLA_HAVE_AVX2)
bool ProcessorHasAvx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return false;
    // The system must save the vector registers' upper halves (XCR0 bits 1
    // and 2), or using them is unsafe.
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6) != 6)
        return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    return (b & bit_AVX2) != 0;
}
#endif

int BestLevel() {
#if defined(KESSLA_HAVE_AVX2)
    if (ProcessorHasAvx2())
        return MatcherAvx2;
#endif
#if defined(KESSLA_HAVE_SSE2)
    return MatcherSse2;
#else
    return MatcherPlain;
#endif
}

// The level in use, found on the first search rather than when the library
// is loaded: 0 until then. A constant-initialised atomic, so loading runs no
// code; two threads that both find it unset compute the same value.
std::atomic<int> gLevel(0);
std::atomic<int> gLevelLimit(MatcherAvx2);

int Level() {
    int level = gLevel.load(std::memory_order_relaxed);
    if (level == 0) {
        level = BestLevel();
        int limit = gLevelLimit.load(std::memory_order_relaxed);
        if (level > limit)
            level = limit;
        gLevel.store(level, std::memory_order_relaxed);
    }
    return level;
}

// The walk over text[from, limit), text[limit] being a terminator. Returns
// the first match, or null; when a candidate cannot be judged (it runs into an
// open end) before any match, the walk stops there and *undecided receives its
// index, since no later match may be reported before it is settled.
const char* Find(const char* textIn, size_t from, size_t limit, const char* phraseIn, int mode,
                 bool openEnd, size_t* undecided) {
    Search s;
    s.text = reinterpret_cast<const unsigned char*>(textIn);
    s.from = from;
    s.limit = limit;
    s.openAt = openEnd ? limit : kNone;
    s.phrase = reinterpret_cast<const unsigned char*>(phraseIn);
    s.len = strlen(phraseIn);
    s.mode = mode;
    if (s.len == 0)
        return nullptr;
    if (!openEnd && s.len > limit - from)
        return nullptr;

    Verdict verdict = kNoMatch;
    size_t at = kNone;
    if (!s.Plan()) {
        at = s.Walk(&verdict);
    } else {
        // An anchor at index anchor lies at least that far into the stretch.
        size_t q = from + s.anchor;
        size_t match = kNone;
        if (q < limit) {
            switch (Level()) {
#if defined(KESSLA_HAVE_AVX2)
            case MatcherAvx2:
                match = s.ScanAvx2(q);
                break;
#endif
#if defined(KESSLA_HAVE_SSE2)
            case MatcherSse2:
                match = s.ScanSse2(q);
                break;
#endif
            default:
                match = s.ScanPlain(q);
                break;
            }
        }
        if (match != kNone) {
            at = match;
            verdict = kMatch;
        }
        if (openEnd) {
            Verdict endVerdict = kNoMatch;
            size_t end = s.FirstAtOpenEnd(&endVerdict);
            if (end != kNone && end < at) {
                at = end;
                verdict = endVerdict;
            }
        }
    }
    if (at == kNone)
        return nullptr;
    if (verdict == kUndecided) {
        *undecided = at;
        return nullptr;
    }
    return textIn + at;
}

} // namespace

bool IsWordChar(char c) {
    return kTables.word[static_cast<unsigned char>(c)];
}

const char* FindPhrase(const char* text, const char* phrase, int mode) {
    if (text == nullptr || phrase == nullptr)
        return nullptr;
    size_t undecided = 0;
    return Find(text, 0, strlen(text), phrase, mode, false, &undecided);
}

const char* FindPhraseInWindow(const char* window, size_t from, size_t length, const char* phrase,
                               int mode, bool endIsOpen, size_t* undecided) {
    *undecided = kNone;
    if (window == nullptr || phrase == nullptr || from > length)
        return nullptr;
    // A zero byte ends the searchable text; the window's end is open only
    // when the searchable text reaches it.
    size_t limit = from + strlen(window + from);
    return Find(window, from, limit, phrase, mode, endIsOpen && limit == length, undecided);
}

int MatcherBestLevel() {
    return BestLevel();
}

int LimitMatcherLevel(int level) {
    gLevelLimit.store(level, std::memory_order_relaxed);
    gLevel.store(0, std::memory_order_relaxed);
    return Level();
}
