#include "peers/drennic/DrennicRecord.h"
#include "platform/bounded.h"

#include <cstring>
#include <new>

bool AppendRecordEntry(const char* path, const char* command, DWORD length) {
    char header[16];
    BoundedFormat(header, sizeof(header), "%lu:", static_cast<unsigned long>(length));
    const size_t headerLength = strlen(header);
    std::vector<char> entry(headerLength + length + 1);
    memcpy(entry.data(), header, headerLength);
    if (length > 0)
        memcpy(entry.data() + headerLength, command, length);
    entry[headerLength + length] = '\n';
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok && written == entry.size();
}

bool ReadRecordEntries(const char* path, std::vector<std::string>* entries) {
    entries->clear();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string all;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &n, nullptr) && n > 0)
        all.append(buffer, n);
    CloseHandle(file);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t colon = all.find(':', pos);
        if (colon == std::string::npos || colon == pos || colon - pos > 10)
            break;
        unsigned long length = 0;
        for (size_t i = pos; i < colon; ++i) {
            if (all[i] < '0' || all[i] > '9')
                return true;
            length = length * 10 + static_cast<unsigned long>(all[i] - '0');
        }
        if (all.size() - colon - 1 < length + 1)
            break; // still being written
        entries->push_back(all.substr(colon + 1, length));
        pos = colon + 1 + length + 1;
    }
    return true;
}

void FormatRecordEntry(const char* command, DWORD length, char* out, size_t size) {
    if (out == nullptr || size == 0)
        return;
    size_t used = 0;
    out[0] = '\0';
    for (DWORD i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(command[i]);
        char piece[8];
        switch (c) {
        case '\0':
            BoundedCopy(piece, sizeof(piece), "\\0");
            break;
        case '\r':
            BoundedCopy(piece, sizeof(piece), "\\r");
            break;
        case '\n':
            BoundedCopy(piece, sizeof(piece), "\\n");
            break;
        case '\t':
            BoundedCopy(piece, sizeof(piece), "\\t");
            break;
        case '\\':
            BoundedCopy(piece, sizeof(piece), "\\\\");
            break;
        default:
            if (c < 0x20 || c > 0x7e)
                BoundedFormat(piece, sizeof(piece), "\\x%02x", c);
            else {
                piece[0] = static_cast<char>(c);
                piece[1] = '\0';
            }
        }
        size_t n = strlen(piece);
        if (used + n >= size)
            return;
        memcpy(out + used, piece, n + 1);
        used += n;
    }
}
