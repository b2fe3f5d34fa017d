// Windows paths mapped into the platform root as Windows resolves them: no
// path leaves the root's drives and shares but through a mapping an
// administrator made in dosdevices.
#include "platform/WindowsPath.h"
#include "platform/posix/internal.h"
#include "platform/win32.h"
#include "support/TempRoot.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A host folder outside the platform root.
class HostFolder {
public:
    HostFolder() {
        char name[] = "/tmp/vantry-host-XXXXXX";
        const char* made = mkdtemp(name);
        path_ = made != nullptr ? made : "";
    }
    ~HostFolder() {
        if (!path_.empty() && std::system(("rm -rf '" + path_ + "'").c_str()) != 0) {
        }
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(WindowsPath, ResolvesAsWindowsDoes) {
    struct Case {
        const char* path;
        const char* folded; // "" when the path names no file of a drive
    } cases[] = {
        {"C:\\Program Files\\X", "c:\\program files\\x"},
        {"C:\\..\\..\\tmp", "c:\\tmp"},
        {"C:\\a\\..\\..\\..\\b\\.\\c\\", "c:\\b\\c"},
        {"c:/a\\b//c/", "c:\\a\\b\\c"},
        {"C:\\a\\...\\b. \\c..", "c:\\a\\b\\c"},
        {"C:\\a\\.. \\b", "c:\\a\\b"},
        {"D:foo\\..\\..\\bar", "d:\\bar"},
        {"C:", "c:\\"},
        {"/etc/hostname", "c:\\etc\\hostname"},
        {"\\..\\etc", "c:\\etc"},
        {"a\\..\\..\\b", "c:\\b"},
        {"\\\\Server\\Share\\..\\..\\x", "\\\\server\\share\\x"},
        {"//server/share/a/../b", "\\\\server\\share\\b"},
        {"\\\\server", ""},
        {"\\\\..\\share\\x", ""},
        {"\\\\server\\..\\x", ""},
        {"\\\\.\\pipe\\x", ""},
        {"\\\\?\\C:\\x", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FoldedWindowsPath(ParseWindowsPath(c.path)), c.folded) << c.path;
    EXPECT_TRUE(ParseWindowsPath("\\x").rooted);
    EXPECT_TRUE(ParseWindowsPath("C:x").driveRelative);
    EXPECT_TRUE(ParseWindowsPath("x").relative);
    EXPECT_FALSE(ParseWindowsPath("C:\\x").rooted || ParseWindowsPath("C:\\x").driveRelative);
}

TEST(WindowsPath, WithinComparesWholeParts) {
    EXPECT_TRUE(FoldedPathWithin("c:\\a\\b", "c:\\a"));
    EXPECT_TRUE(FoldedPathWithin("c:\\a", "c:\\a"));
    EXPECT_TRUE(FoldedPathWithin("c:\\a", "c:\\"));
    EXPECT_FALSE(FoldedPathWithin("c:\\ab", "c:\\a"));
    EXPECT_FALSE(FoldedPathWithin("c:\\", "c:\\a"));
    EXPECT_FALSE(FoldedPathWithin("d:\\a", "c:\\a"));
    EXPECT_FALSE(FoldedPathWithin("c:\\a", ""));
}

// A root without any mapping of the administrator's.
class Mapping : public ::testing::Test {
protected:
    void SetUp() override { root_.MapHost(false); }

    std::string In(const std::string& relative) const { return root_.path() + "/" + relative; }
    std::string Map(const std::string& path) const { return vplat::MapWindowsPath(path.c_str()); }

    vtest::TempRoot root_;
};

TEST_F(Mapping, EveryPathStaysInTheRootsDrives) {
    struct Case {
        std::string path;
        std::string mapped; // relative to the root; "-" for no path at all
    } cases[] = {
        {"C:\\Program Files\\X\\1", "drive_c/Program Files/X/1"},
        {"C:\\..\\..\\..\\..\\tmp\\x\\", "drive_c/tmp/x/"},
        {"C:\\a\\.\\b\\..\\c", "drive_c/a/c"},
        {"c:/a\\b//c", "drive_c/a/b/c"},
        {"C:\\a\\...\\b. ", "drive_c/a/b"},
        {"D:foo\\..\\..\\bar", "drive_d/bar"},
        {"C:", "drive_c/"},
        {"/etc/hostname", "drive_c/etc/hostname"},
        {"/etc/", "drive_c/etc/"},
        {"\\..\\etc\\passwd", "drive_c/etc/passwd"},
        {"..\\..\\etc\\passwd", "drive_c/etc/passwd"},
        {"\\\\server\\share\\x", "-"},
        {"\\\\.\\pipe\\x", "-"},
        {"", "-"},
        // A host path inside a drive's folder is that drive's path.
        {root_.path() + "/drive_c/a/./b/../c", "drive_c/a/c"},
        {root_.path() + "/drive_c/../../../etc/passwd", "drive_c/etc/passwd"},
        {root_.path() + "/registry.db", "drive_c" + root_.path() + "/registry.db"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Map(c.path), c.mapped == "-" ? std::string() : In(c.mapped)) << c.path;
}

TEST_F(Mapping, AnAdministratorMapsDrivesAndSharesInDosdevices) {
    HostFolder elsewhere;
    const std::string host = elsewhere.path();
    ASSERT_EQ(symlink(host.c_str(), In("dosdevices/z:").c_str()), 0);
    ASSERT_EQ(mkdir(In("dosdevices/unc").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(In("dosdevices/unc/server").c_str(), 0755), 0);
    ASSERT_EQ(symlink(host.c_str(), In("dosdevices/unc/server/share").c_str()), 0);
    EXPECT_EQ(vplat::DriveFolder('Z'), host);
    EXPECT_EQ(vplat::DriveFolder('c'), In("drive_c"));
    EXPECT_EQ(Map("Z:\\a\\..\\..\\..\\b"), host + "/b");
    EXPECT_EQ(Map(host + "/q/../r"), host + "/r");
    EXPECT_EQ(Map("\\\\SERVER\\Share\\..\\..\\x"), host + "/x");
    EXPECT_EQ(Map("\\\\server\\other\\x"), "");
    // The host's files outside the mapping stay out of reach.
    EXPECT_EQ(Map("/etc/hostname"), In("drive_c/etc/hostname"));
    // What the mapping reaches, the file calls reach.
    FILE* file = fopen((host + "/b").c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("mapped", file);
    fclose(file);
    HANDLE opened = CreateFileA("Z:\\x\\..\\b", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(opened, INVALID_HANDLE_VALUE);
    char text[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(opened, text, sizeof(text) - 1, &read, nullptr));
    EXPECT_STREQ(text, "mapped");
    CloseHandle(opened);
}

// The drive table is kept between calls while dosdevices stays as it was;
// a mapping made, replaced or removed is seen by the next call, and another
// root has its own drives.
TEST_F(Mapping, AChangedDriveIsSeenAtOnceWhenTheTableWasKept) {
    HostFolder first, second;
    const std::string link = In("dosdevices/y:");
    ASSERT_EQ(symlink(first.path().c_str(), link.c_str()), 0);
    // A table is kept only once dosdevices has been still for a while (file
    // times advance in coarse steps); wait until its times are that old.
    const std::string devices = In("dosdevices");
    for (int i = 0; i < 200; ++i) {
        struct stat st;
        struct timespec now;
        ASSERT_EQ(stat(devices.c_str(), &st), 0);
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec - st.st_ctim.tv_sec >= 3)
            break;
        Sleep(50);
    }
    struct Step {
        const char* what;
        std::string target; // "" removes the link
        std::string mapped;
    } steps[] = {
        {"kept", first.path(), first.path() + "/f"},
        {"kept, asked again", first.path(), first.path() + "/f"},
        {"replaced", second.path(), second.path() + "/f"},
        {"removed", "", In("drive_y/f")},
        {"made again", first.path(), first.path() + "/f"},
    };
    std::string current = first.path();
    for (const Step& step : steps) {
        if (step.target != current) {
            const std::string made = link + ".new";
            unlink(made.c_str());
            if (step.target.empty())
                ASSERT_EQ(unlink(link.c_str()), 0);
            else
                ASSERT_EQ(symlink(step.target.c_str(), made.c_str()) == 0 &&
                              rename(made.c_str(), link.c_str()) == 0,
                          true);
            current = step.target;
        }
        EXPECT_EQ(Map("Y:\\f"), step.mapped) << step.what;
        EXPECT_EQ(vplat::DriveFolder('y'), step.mapped.substr(0, step.mapped.size() - 2))
            << step.what;
    }
    // Two roots without dosdevices read alike; each keeps its own folders.
    ASSERT_EQ(unlink(link.c_str()), 0);
    root_.MapHost(false);
    ASSERT_EQ(rmdir(devices.c_str()), 0);
    EXPECT_EQ(Map("C:\\f"), In("drive_c/f"));
    {
        vtest::TempRoot other;
        other.MapHost(false);
        ASSERT_EQ(rmdir((other.path() + "/dosdevices").c_str()), 0);
        EXPECT_EQ(Map("C:\\f"), other.path() + "/drive_c/f");
    }
    EXPECT_EQ(Map("C:\\f"), In("drive_c/f"));
}

TEST_F(Mapping, FileCallsDoNotReachTheHostOutsideTheRoot) {
    // A file beside the root, and calls that would reach it if host paths or
    // ".." passed through.
    HostFolder beside;
    const std::string secret = beside.path() + "/secret";
    FILE* file = fopen(secret.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    std::string climb = "C:";
    for (size_t i = 0; i < 16; ++i)
        climb += "\\..";
    climb += beside.path();
    for (char& c : climb)
        if (c == '/')
            c = '\\';
    for (const std::string& path : {secret, climb}) {
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
        EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << path;
        EXPECT_FALSE(DeleteFileA(path.c_str())) << path;
        WIN32_FIND_DATAA data;
        EXPECT_EQ(FindFirstFileA((path + "*").c_str(), &data), INVALID_HANDLE_VALUE) << path;
    }
    struct stat st;
    EXPECT_EQ(stat(secret.c_str(), &st), 0);
}

} // namespace
