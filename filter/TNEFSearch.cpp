// The TNEF part of the attachment check: the names inside a TNEF stream are
// searched one by one as the reader finds them, so nothing of the stream is
// kept and the parse stops at the first name that holds the phrase.
#include "filter/Kessla.h"

#include "filter/FindPhrase.h"
#include "filter/StreamTransport.h"
#include "filter/TNEFReader.h"

#include <cstdint>

namespace {

struct TNEFSearch {
    const char* phrase;
    bool found;
};

bool SearchName(const char* name, void* context) {
    TNEFSearch* search = static_cast<TNEFSearch*>(context);
    search->found = FindPhrase(name, search->phrase, 1) != nullptr;
    return search->found;
}

} // namespace

int CRule::IsTNEF(char* header) {
    if (header == nullptr)
        return 0;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(header);
    uint32_t signature = static_cast<uint32_t>(h[0]) | (static_cast<uint32_t>(h[1]) << 8) |
                         (static_cast<uint32_t>(h[2]) << 16) | (static_cast<uint32_t>(h[3]) << 24);
    return signature == kTNEFSignature && (h[6] == 1 || h[6] == 2) ? 1 : 0;
}

unsigned long CRule::FindStringInTNEF(char* phrase, CStreamTransport* file) {
    if (phrase == nullptr || phrase[0] == '\0' || file == nullptr)
        return 0;
    char header[7];
    if (!file->Seek(0))
        return 0;
    long got = 0;
    while (got < static_cast<long>(sizeof(header))) {
        long n = file->Read(header + got, sizeof(header) - static_cast<unsigned long>(got));
        if (n <= 0)
            break;
        got += n;
    }
    if (got < static_cast<long>(sizeof(header)) || IsTNEF(header) == 0)
        return 0;
    TNEFSearch search = {phrase, false};
    CTNEFReader reader(file, SearchName, &search);
    reader.Parse();
    return search.found ? 1 : 0;
}
