// The nested-message part of the attachment check: a part that holds MIME
// headers of its own (a forwarded mail) is copied once into an anonymous
// mapping backed by the paging file, its lines are cut in place, and every
// "name=" value found on any line, header or body, is decoded by the scanner
// and searched.
#include "filter/Kessla.h"

#include "filter/FindPhrase.h"
#include "platform/win32.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The first place where pattern occurs in text, compared without regard to
// the case of ASCII letters, with no word boundaries; null when there is none.
const char* FindTextNoCase(const char* text, const char* pattern);

namespace {

// ReportError codes of the nested-message search.
constexpr int kErrorMappingNotCreated = 200;
constexpr int kErrorViewNotMapped = 201;

// One Read of a part stream asks for at most this much, so that the count
// always fits the stream's int argument.
constexpr unsigned long kReadChunk = 1ul << 20;

inline char UpperCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The first carriage return at or after text, else its terminator. Used where
// the walk already knows that no line feed comes before the terminator.
char* FindCarriageReturnOrEnd(char* text) {
    while (*text != '\0' && *text != '\r')
        ++text;
    return text;
}

} // namespace

const char* FindTextNoCase(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr)
        return nullptr;
    for (const char* p = text;; ++p) {
        size_t i = 0;
        while (pattern[i] != '\0' && UpperCase(p[i]) == UpperCase(pattern[i]))
            ++i;
        if (pattern[i] == '\0')
            return p;
        if (*p == '\0')
            return nullptr;
    }
}

bool CRule::IsNamePhraseInNestedMime(char* phrase, CMessage* message, int part) const {
    if (phrase == nullptr || phrase[0] == '\0' || message == nullptr)
        return false;
    unsigned long size = message->GetPartSize(part, 0);
    void* mapping = nullptr;
    char* view = nullptr;
    bool found = false;
    if (size >= ULONG_MAX || size >= SIZE_MAX) {
        // One byte more than this cannot be asked for.
        message->ReportError(kErrorMappingNotCreated, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (CreateMemoryMapFile(mapping, view, size + 1, message)) {
        view[size] = '\0';
        if (ReadAttachmentIntoMemory(view, size, message, part)) {
            char* end = view + size;
            // When a line ended at a carriage return, no line feed comes
            // before the next zero byte; the lines up to it are cut at their
            // carriage returns without looking for line feeds again, so text
            // that uses carriage returns alone costs one pass, not one pass
            // per line.
            char* noLineFeedBefore = nullptr;
            for (char* p = view; p < end && !found;) {
                char* e;
                if (p <= noLineFeedBefore) {
                    e = FindCarriageReturnOrEnd(p);
                } else {
                    e = FindLineEnd(p);
                    if (*e == '\r')
                        noLineFeedBefore = e + strlen(e);
                }
                *e = '\0';
                const char* q = FindTextNoCase(p, "name=");
                if (q != nullptr && FindPhraseInName(const_cast<char*>(q) + 5, phrase, message))
                    found = true;
                p = e + 1;
            }
        }
    }
    if (view != nullptr)
        UnmapViewOfFile(view);
    if (mapping != nullptr)
        CloseHandle(mapping);
    return found;
}

bool CRule::CreateMemoryMapFile(void*& mapping, char*& view, unsigned long size,
                                CMessage* message) const {
    mapping = nullptr;
    view = nullptr;
    unsigned long long bytes = size;
    HANDLE handle =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                           static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes), nullptr);
    if (handle == nullptr) {
        if (message != nullptr)
            message->ReportError(kErrorMappingNotCreated, GetLastError());
        return false;
    }
    mapping = handle;
    void* address = MapViewOfFile(handle, FILE_MAP_WRITE, 0, 0, 0);
    if (address == nullptr) {
        if (message != nullptr)
            message->ReportError(kErrorViewNotMapped, GetLastError());
        return false;
    }
    view = static_cast<char*>(address);
    return true;
}

bool CRule::ReadAttachmentIntoMemory(char* buffer, unsigned long size, CMessage* message,
                                     int part) const {
    if (buffer == nullptr || message == nullptr)
        return false;
    CMessageStream* stream = message->OpenPartStream(part);
    if (stream == nullptr)
        return false;
    // In chunks, so that no count overflows the stream's int; a stream is not
    // believed when it claims more than it was asked for.
    unsigned long total = 0;
    while (total < size) {
        unsigned long want = size - total < kReadChunk ? size - total : kReadChunk;
        int n = stream->Read(buffer + total, 1, static_cast<int>(want));
        if (n <= 0)
            break;
        unsigned long got =
            static_cast<unsigned long>(n) < want ? static_cast<unsigned long>(n) : want;
        total += got;
        if (got < want && stream->AtEnd())
            break;
    }
    message->ClosePartStream(stream);
    return total > 0 || size == 0;
}

char* CRule::FindLineEnd(char* text) const {
    char* carriageReturn = nullptr;
    char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p == '\n')
            return p;
        if (*p == '\r' && carriageReturn == nullptr)
            carriageReturn = p;
    }
    return carriageReturn != nullptr ? carriageReturn : p;
}

bool CRule::FindPhraseInName(char* value, char* phrase, CMessage* message) const {
    if (value == nullptr || value[0] == '\0' || message == nullptr)
        return false;
    size_t length = strlen(value);
    char* decoded = static_cast<char*>(calloc(length + 1, 1));
    if (decoded == nullptr)
        return false;
    message->DecodeName(decoded, value);
    // Whatever the decoder wrote, the last string ends inside the room.
    decoded[length] = '\0';
    bool found = false;
    for (char* s = decoded; s < decoded + length && !found; s += strlen(s) + 1)
        found = FindPhrase(s, phrase, 1) != nullptr;
    free(decoded);
    return found;
}
