// The whole content of a registry key and its subkeys as one text, so that a
// test can assert that nothing under it changed.
#ifndef VANTRY_TESTS_SUPPORT_REGISTRYSNAPSHOT_H
#define VANTRY_TESTS_SUPPORT_REGISTRYSNAPSHOT_H

#include "platform/win32.h"

#include <string>
#include <vector>

namespace vtest {

inline void SnapshotKey(HKEY key, const std::string& path, std::string* out) {
    *out += "[" + path + "]\n";
    std::vector<BYTE> data(200000);
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameSize = sizeof(name);
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        if (size <= 64) {
            for (DWORD b = 0; b < size; ++b) {
                hex += kHex[data[b] >> 4];
                hex += kHex[data[b] & 15];
            }
        } else {
            // Long data as its size and a hash, to keep failure reports short.
            unsigned long long hash = 1469598103934665603ULL;
            for (DWORD b = 0; b < size; ++b)
                hash = (hash ^ data[b]) * 1099511628211ULL;
            hex = std::to_string(size) + " bytes, hash " + std::to_string(hash);
        }
        *out += std::string(name) + ":" + std::to_string(type) + ":" + hex + "\n";
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameSize = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            SnapshotKey(sub, path + "\\" + name, out);
            RegCloseKey(sub);
        }
    }
}

// "(absent)" when the key does not exist.
inline std::string RegistrySnapshot(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "(absent)";
    std::string out;
    SnapshotKey(key, path, &out);
    RegCloseKey(key);
    return out;
}

} // namespace vtest

#endif
