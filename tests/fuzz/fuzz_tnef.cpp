// Fuzzes the TNEF search: the input is written to a file and handed to the
// attachment check as a TNEF part, so that the whole path (file class, reader,
// name search) runs on it. The reader is also driven directly, so that names
// after the first match are reached too.
#include "filter/Kessla.h"
#include "filter/StreamTransport.h"
#include "filter/TNEFReader.h"
#include "tests/filter/TestMessage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string& InputPath() {
    static std::string path = [] {
        char pattern[] = "/tmp/vantry-fuzz-tnef-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0)
            close(fd);
        return std::string(pattern);
    }();
    return path;
}

bool CountName(const char* name, void* context) {
    size_t* total = static_cast<size_t*>(context);
    *total += strlen(name);
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = InputPath();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    CStreamTransport file;
    if (file.Open(path.c_str())) {
        size_t total = 0;
        CTNEFReader reader(&file, CountName, &total);
        reader.Parse();
        file.Close();
    }

    static const char* const kPhrases[] = {"report", "*exe", "virus*", "a"};
    CRule rule;
    char empty[1] = {0};
    char phrase[64];
    snprintf(phrase, sizeof(phrase), "%s", kPhrases[size % 4]);
    rule.SetRule(phrase, empty, 0, 0, 4, 1, 1);
    vtest::TestMessage message;
    message.AddPart(path, 7).tnef = 1;
    rule.CheckMessage(&message, true);
    if (!message.AllStreamsReturned())
        abort();
    return 0;
}
