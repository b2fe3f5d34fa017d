// The phrase matcher behind every search of the rule engine. Internal to the
// library: not exported.
#ifndef VANTRY_FILTER_FINDPHRASE_H
#define VANTRY_FILTER_FINDPHRASE_H

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

#endif
