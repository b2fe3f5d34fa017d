// A fresh platform root for one test: made in a temporary folder, named in the
// environment for this process and the programs it starts, removed afterwards.
//
// On Windows (under Wine or on a real machine) the registry is the machine's
// own: a test that writes HKEY_LOCAL_MACHINE would meet the keys of other
// tests and of the system. So, unless the test asks for the machine's registry
// (the service control manager's tests, which read what the real manager
// wrote), the root also gives the test a private registry: the predefined keys
// of this process (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
// HKEY_USERS) are redirected with RegOverridePredefKey to fresh keys under
// HKEY_CURRENT_USER\Software\Vantry Tests, removed afterwards.
#ifndef VANTRY_TESTS_SUPPORT_TEMPROOT_H
#define VANTRY_TESTS_SUPPORT_TEMPROOT_H

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include "platform/win32.h"
#include <cstdio>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vtest {

class TempRoot {
public:
    enum Registry { PrivateRegistry, MachineRegistry };

    explicit TempRoot(Registry registry = PrivateRegistry) {
        (void)registry;
        const char* env = std::getenv("VANTRY_PLATFORM_ROOT");
        previous_ = env ? env : "";
        hadPrevious_ = env != nullptr;
#ifdef _WIN32
        static unsigned serial = 0;
        char tmp[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof(tmp), tmp);
        std::string base = n > 0 && n < sizeof(tmp) ? std::string(tmp, n) : std::string(".\\");
        for (unsigned attempt = 0; attempt < 1000 && path_.empty(); ++attempt) {
            char name[64];
            std::snprintf(name, sizeof(name), "vantry-root-%lu-%u",
                          static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
            if (CreateDirectoryA((base + name).c_str(), nullptr))
                path_ = base + name;
        }
        SetRoot(path_.c_str());
        if (registry == PrivateRegistry)
            OverrideRegistry();
#else
        std::string pattern =
            std::string(std::getenv("TMPDIR") && *std::getenv("TMPDIR") ? std::getenv("TMPDIR")
                                                                        : "/tmp") +
            "/vantry-root-XXXXXX";
        char buf[512];
        pattern.copy(buf, sizeof(buf) - 1);
        buf[pattern.size() < sizeof(buf) - 1 ? pattern.size() : sizeof(buf) - 1] = '\0';
        const char* made = mkdtemp(buf);
        path_ = made ? made : "";
        SetRoot(path_.c_str());
        // The host's files as drive Z:, as a fresh Wine prefix has them: the
        // tests hand the platform the programs of the build, the test data of
        // the sources and folders of their own by their host paths. A test of
        // a root without it removes the link (MapHost(false)).
        MapHost(true);
#endif
    }
    ~TempRoot() {
        SetRoot(hadPrevious_ ? previous_.c_str() : nullptr);
        bool keep = std::getenv("VANTRY_KEEP_ROOT") != nullptr;
#ifdef _WIN32
        RestoreRegistry(keep);
        if (!path_.empty() && !keep)
            RemoveFolder(path_);
#else
        if (!path_.empty() && !keep) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
#endif
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const {
        return path_;
    }

#ifndef _WIN32
    // Maps the host's root folder as drive Z: (dosdevices/z:), or takes that
    // mapping away, leaving a root that reaches nothing outside itself.
    void MapHost(bool mapped) {
        if (path_.empty())
            return;
        const std::string devices = path_ + "/dosdevices";
        if (mapped) {
            ::mkdir(devices.c_str(), 0755);
            if (::symlink("/", (devices + "/z:").c_str()) != 0) {
            }
        } else {
            ::unlink((devices + "/z:").c_str());
        }
    }
#endif

private:
#ifdef _WIN32
    static void SetRoot(const char* value) {
        std::string entry = std::string("VANTRY_PLATFORM_ROOT=") + (value ? value : "");
        _putenv(entry.c_str());
        SetEnvironmentVariableA("VANTRY_PLATFORM_ROOT", value);
    }

    void OverrideRegistry() {
        static const HKEY kRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
                                      HKEY_USERS};
        static const char* const kNames[] = {"HKLM", "HKCU", "HKCR", "HKU"};
        keyPath_ = "Software\\Vantry Tests\\" + path_.substr(path_.find_last_of("\\/") + 1);
        if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &base_, nullptr) != ERROR_SUCCESS) {
            base_ = nullptr;
            return;
        }
        for (int i = 0; i < 4; ++i) {
            HKEY stand = nullptr;
            if (RegCreateKeyExA(base_, kNames[i], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stand,
                                nullptr) != ERROR_SUCCESS)
                continue;
            RegOverridePredefKey(kRoots[i], stand);
            RegCloseKey(stand);
        }
    }

    void RestoreRegistry(bool keep) {
        if (base_ == nullptr)
            return;
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS})
            RegOverridePredefKey(root, nullptr);
        RegCloseKey(base_);
        if (!keep)
            DeleteTree(HKEY_CURRENT_USER, keyPath_);
    }

    static void DeleteTree(HKEY parent, const std::string& path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            return;
        char name[256];
        for (;;) {
            DWORD cch = sizeof(name);
            if (RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            DeleteTree(key, name);
            HKEY check = nullptr;
            if (RegOpenKeyExA(key, name, 0, KEY_READ, &check) == ERROR_SUCCESS) {
                RegCloseKey(check);
                break; // could not be removed; leave the rest rather than loop
            }
        }
        RegCloseKey(key);
        RegDeleteKeyA(parent, path.c_str());
    }

    static void RemoveFolder(const std::string& folder) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..")
                    continue;
                std::string full = folder + "\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveFolder(full);
                else
                    DeleteFileA(full.c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(folder.c_str());
    }

    std::string keyPath_;
    HKEY base_ = nullptr;
#else
    static void SetRoot(const char* value) {
        if (value)
            setenv("VANTRY_PLATFORM_ROOT", value, 1);
        else
            unsetenv("VANTRY_PLATFORM_ROOT");
    }
#endif
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

} // namespace vtest

#endif
