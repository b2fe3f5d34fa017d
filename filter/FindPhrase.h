// The phrase matcher behind every search of the rule engine. Internal to the
// library: not exported.
#ifndef VANTRY_FILTER_FINDPHRASE_H
#define VANTRY_FILTER_FINDPHRASE_H

#include <cstddef>

// True when c, turned to upper case (ASCII letters only), is one of "A" to
// "Z" or "0" to "9".
bool IsWordChar(char c);

// Finds phrase in the NUL-terminated text and returns the address of the
// first match, or null. Case-insensitive (ASCII letters only). Between the
// second and the last matched character, line feeds, carriage returns and
// equals signs in the text are passed over, so a phrase cut by a
// quoted-printable soft line break is still found. A match must end on a word
// boundary (the terminator counts as one); in mode 0 it must also start on
// one, in mode 1 it may start inside a word. An empty phrase never matches.
const char* FindPhrase(const char* text, const char* phrase, int mode);

// The same matcher over one window of a part's content: window holds length
// bytes and a terminator; the walk starts at from, and window[from - 1], when
// there is one, is the byte before the window, which a mode 0 match at the
// window's start must not continue. When endIsOpen is set the content goes on
// beyond the window, so a candidate that runs into the window's end cannot be
// judged here: the walk stops at the first such candidate, returns null and
// sets *undecided to its index (SIZE_MAX when there is none); the next window
// must start no later than there.
const char* FindPhraseInWindow(const char* window, size_t from, size_t length, const char* phrase,
                               int mode, bool endIsOpen, size_t* undecided);

// The instruction sets the matcher can search with, widest last. The widest
// the processor has is found on the first search (not when the library is
// loaded); every level gives the same results.
enum EMatcherLevel { MatcherPlain = 1, MatcherSse2 = 2, MatcherAvx2 = 3 };

// The widest level this build and processor offer.
int MatcherBestLevel();

// Lets the matcher use no level above the given one from now on (for tests,
// which compare every level with the plain walk); returns the level in use.
int LimitMatcherLevel(int level);

#endif
