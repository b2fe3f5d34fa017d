// A fresh platform root for one test: made in a temporary folder, named in the
// environment for this process and the programs it starts, removed afterwards.
#ifndef VANTRY_TESTS_SUPPORT_TEMPROOT_H
#define VANTRY_TESTS_SUPPORT_TEMPROOT_H

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace vtest {

class TempRoot {
public:
    TempRoot() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantry-root-XXXXXX";
        char buf[512];
        pattern.copy(buf, sizeof(buf) - 1);
        buf[pattern.size() < sizeof(buf) - 1 ? pattern.size() : sizeof(buf) - 1] = '\0';
        const char* made = mkdtemp(buf);
        path_ = made ? made : "";
        previous_ = std::getenv("VANTRY_PLATFORM_ROOT") ? std::getenv("VANTRY_PLATFORM_ROOT") : "";
        hadPrevious_ = std::getenv("VANTRY_PLATFORM_ROOT") != nullptr;
        setenv("VANTRY_PLATFORM_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        if (hadPrevious_)
            setenv("VANTRY_PLATFORM_ROOT", previous_.c_str(), 1);
        else
            unsetenv("VANTRY_PLATFORM_ROOT");
        if (!path_.empty() && std::getenv("VANTRY_KEEP_ROOT") == nullptr) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

} // namespace vtest

#endif
