// The message check: does one message match one rule? The cheap tests
// (subject, names) run before any content is read, and the first success ends
// the check. The rule is only read, so several threads may check one rule at
// once.
#include "filter/Kessla.h"

#include "filter/FindPhrase.h"
#include "filter/StreamTransport.h"
#include "platform/bounded.h"

#include <climits>
#include <cstddef>
#include <cstring>

namespace {

// One window of a part's content; a part is never read whole.
const size_t kWindowSize = 1024;
const size_t kFieldSize = 64;

bool IsTextType(int type) {
    return type == 103 || type == 104 || type == 105;
}

// A terminated copy of one of the rule's 64-byte texts. The fields are public
// and a derived rule may fill them directly, so the check never trusts them to
// hold their terminator.
void CopyPhrase(char (&out)[kFieldSize], const char* field) {
    size_t n = strnlen(field, kFieldSize - 1);
    memcpy(out, field, n);
    out[n] = '\0';
}

// Distances are between the starts of the first matches and must stay under
// Proximity, compared as signed numbers: 0 means any distance, and a negative
// Proximity is never met.
bool WithinProximity(long long first, long long second, int proximity) {
    if (proximity == 0)
        return true;
    long long distance = first > second ? first - second : second - first;
    return distance < static_cast<long long>(proximity);
}

// The pair test of the subject and of each body text: whole words, the stored
// phrases as they are (an asterisk is an ordinary character here).
bool PairTest(const char* text, const char* primary, const char* secondary, int andFlag,
              int proximity) {
    const char* first = FindPhrase(text, primary, 0);
    if (first == nullptr)
        return false;
    if (andFlag == 0)
        return true;
    const char* second = FindPhrase(text, secondary, 0);
    if (second == nullptr)
        return false;
    return WithinProximity(first - text, second - text, proximity);
}

} // namespace

unsigned long CRule::FindStringInFile(char* phrase, CMessageStream* stream, int mode) {
    if (phrase == nullptr || stream == nullptr)
        return 0;
    size_t length = strnlen(phrase, kWindowSize + 1);
    stream->Seek(0);
    if (stream->AtEnd())
        return 0;
    // An empty phrase never matches, and one as long as a window can never be
    // judged inside one (its end needs the byte after it): reading the
    // content would find nothing. A rule's phrases hold at most 63.
    if (length == 0 || length >= kWindowSize)
        return 0;

    // Each window after the first is read with the one byte before it, so
    // that a whole-word match at the window's start is judged by the byte
    // that really precedes it. A match that runs into the end of a window
    // whose content goes on is judged in the next window, which starts no
    // later than that match; otherwise "invoices" cut after "invoice" at a
    // window's end would pass for the whole word.
    char window[kWindowSize + 2];
    unsigned long start = 0;
    for (;;) {
        const size_t context = start > 0 ? 1 : 0;
        const unsigned long readFrom = start - context;
        if (readFrom > static_cast<unsigned long>(LONG_MAX))
            return 0;
        stream->Seek(static_cast<long>(readFrom));
        // Fill the window. A stream that keeps its contract fills it with one
        // read or reports its end; one that returns short reads without
        // reporting the end is read again, so that each window holds as much
        // as it can and the search still moves on.
        const size_t want = kWindowSize + context;
        size_t n = 0;
        bool dry = false;
        while (n < want) {
            int got = stream->Read(window + n, 1, static_cast<int>(want - n));
            if (got <= 0) {
                dry = true;
                break;
            }
            size_t added = static_cast<size_t>(got);
            if (added > want - n)
                added = want - n;
            n += added;
            if (n < want && stream->AtEnd())
                break;
        }
        window[n] = '\0';
        const bool ended = dry || stream->AtEnd();
        if (n <= context)
            return 0;

        size_t undecided = 0;
        const char* match =
            FindPhraseInWindow(window, context, n, phrase, mode, !ended, &undecided);
        if (match != nullptr)
            return readFrom + static_cast<unsigned long>(match - window) + 1;
        if (ended)
            return 0;

        // Consecutive windows overlap by the phrase's length, so that a phrase
        // that straddles two windows is found in the second; the next window
        // also starts no later than an undecided match. It always moves on by
        // at least one byte.
        unsigned long next = readFrom + static_cast<unsigned long>(n > length ? n - length : 0);
        if (undecided < n && readFrom + undecided < next)
            next = readFrom + static_cast<unsigned long>(undecided);
        start = next > start ? next : start + 1;
    }
}

int CRule::CheckMessage(CMessage* message, bool textPartsOnly) {
    if (message == nullptr)
        return 0;

    char primary[kFieldSize];
    char secondary[kFieldSize];
    CopyPhrase(primary, PrimaryPhrase);
    CopyPhrase(secondary, SecondaryPhrase);

    // The working phrase for attachment names: one leading and one trailing
    // asterisk say where in the name the phrase must stand.
    char working[kFieldSize];
    bool leadingMark = false;
    bool trailingMark = false;
    const char* from = primary;
    if (*from == '*') {
        ++from;
        leadingMark = true;
    }
    BoundedCopy(working, sizeof(working), from);
    size_t workingLength = strlen(working);
    if (workingLength > 0 && working[workingLength - 1] == '*') {
        working[--workingLength] = '\0';
        trailingMark = true;
    }

    if (CheckSubject) {
        char* subject = message->GetHeaderText(1);
        if (subject != nullptr && PairTest(subject, primary, secondary, And, Proximity))
            return 1;
    }

    if (CheckAttach) {
        int count = message->GetPartCount();
        for (int i = 0; i < count; ++i) {
            if (message->GetPartState(i) == 9)
                continue;
            char* name = message->GetPartName(i);

            if (message->IsPartTNEF(i)) {
                if (name != nullptr) {
                    CStreamTransport file;
                    if (file.Open(name)) {
                        unsigned long found = FindStringInTNEF(working, &file);
                        file.Close();
                        if (found != 0)
                            return 1;
                    }
                }
                continue;
            }

            if (name != nullptr) {
                // Only the first match in the name is examined.
                const char* match = FindPhrase(name, working, 1);
                if (match != nullptr) {
                    size_t at = static_cast<size_t>(match - name);
                    if (!leadingMark && !trailingMark)
                        return 1;
                    if (leadingMark && at + workingLength == strlen(name))
                        return 1;
                    if (trailingMark && at == 0)
                        return 1;
                }
            }

            if (message->HasNestedMime(i) && IsNamePhraseInNestedMime(working, message, i))
                return 1;

            if (!textPartsOnly && !IsTextType(message->GetPartType(i))) {
                CMessageStream* stream = message->OpenPartStream(i);
                if (stream != nullptr) {
                    unsigned long found = FindStringInFile(working, stream, 1);
                    message->ClosePartStream(stream);
                    if (found != 0)
                        return 1;
                }
            }
        }
    }

    if (!CheckBody)
        return 0;

    int texts = message->GetBodyTextCount();
    for (int i = 0; i < texts; ++i) {
        char* text = message->GetBodyText(i);
        if (text != nullptr && PairTest(text, primary, secondary, And, Proximity))
            return 1;
    }

    int count = message->GetPartCount();
    for (int i = 0; i < count; ++i) {
        if (message->GetPartState(i) == 9)
            continue;
        if (textPartsOnly && !IsTextType(message->GetPartType(i)))
            continue;
        CMessageStream* stream = message->OpenPartStream(i);
        if (stream == nullptr)
            continue;
        bool matched = false;
        unsigned long first = FindStringInFile(primary, stream, 0);
        if (first != 0) {
            if (And == 0) {
                matched = true;
            } else {
                unsigned long second = FindStringInFile(secondary, stream, 0);
                if (second != 0)
                    matched = WithinProximity(static_cast<long long>(first),
                                              static_cast<long long>(second), Proximity);
            }
        }
        message->ClosePartStream(stream);
        if (matched)
            return 1;
    }
    return 0;
}
