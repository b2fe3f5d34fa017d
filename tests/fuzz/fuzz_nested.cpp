// Fuzzes the nested-message walk: the input is the content of a nested part
// of a test message, searched by the attachment check through the paging-file
// mapping, the line walk and the scanner's name decoder.
#include "filter/Kessla.h"
#include "tests/filter/TestMessage.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kPhrases[] = {"virus", "*exe", "name*", "="};
    std::string content(reinterpret_cast<const char*>(data), size);
    vtest::TestMessage message;
    vtest::TestPart& part = message.AddPart("forwarded.eml", 104, content);
    part.nested = 1;
    // The first byte picks how the stream hands out its bytes.
    if (size > 0 && (data[0] & 1)) {
        part.behaviour.maxChunk = 1 + data[0] % 13;
        part.behaviour.atEndAfterShortRead = false;
    }
    CRule rule;
    char empty[1] = {0};
    char phrase[64];
    snprintf(phrase, sizeof(phrase), "%s", kPhrases[size % 4]);
    rule.SetRule(phrase, empty, 0, 0, 4, 1, 1);
    rule.CheckMessage(&message, false);
    if (!message.AllStreamsReturned() || !message.errorCodes.empty())
        abort();
    return 0;
}
