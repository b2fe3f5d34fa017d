// Directory searches, name operations and the runtime's text-mode reading, as
// the mail folders use them. Stated through the Win32 API and the C runtime's
// low-level calls only, so that the same checks run against Windows itself.
#include "platform/win32.h"
#include "support/TempRoot.h"
#include "support/Wine.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A folder of its own for one test, in the machine's temporary folder, named
// by its native path (a POSIX path here, a drive path on Windows). Here the
// host's files are reached through a platform root that maps them (drive Z:).
class TempFolder {
#ifndef _WIN32
    vtest::TempRoot root_;
#endif

public:
    TempFolder() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("vantry-dir-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(GetTickCount()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder with its separator, as the mail folder settings are kept.
    std::string Prefix() const { return path_.string() + Separator(); }
    std::string Path(const std::string& name) const { return (path_ / name).string(); }

    void File(const std::string& name, const std::string& bytes = "") const {
        std::ofstream out(path_ / name, std::ios::binary);
        out << bytes;
    }
    void Folder(const std::string& name) const { fs::create_directories(path_ / name); }

    static std::string Separator() {
#ifdef _WIN32
        return "\\";
#else
        return "/";
#endif
    }

private:
    fs::path path_;
};

struct Found {
    std::string name;
    DWORD attributes;
    uint64_t size;
};

// Everything one search yields, in its order; error is the last error after
// FindFirstFileA failed, or after the search ran out.
std::vector<Found> Search(const std::string& pattern, DWORD* error = nullptr) {
    std::vector<Found> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        if (error != nullptr)
            *error = GetLastError();
        return found;
    }
    do {
        found.push_back({data.cFileName, data.dwFileAttributes,
                         (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (FindNextFileA(search, &data));
    if (error != nullptr)
        *error = GetLastError();
    EXPECT_TRUE(FindClose(search));
    return found;
}

// The names one search yields: "." and ".." where they come (first), the
// other names sorted, since their order is the file system's.
std::vector<std::string> Names(const std::string& pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    for (const Found& f : Search(pattern, error))
        names.push_back(f.name);
    size_t dots = 0;
    while (dots < names.size() && (names[dots] == "." || names[dots] == ".."))
        ++dots;
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(dots), names.end());
    return names;
}

using List = std::vector<std::string>;

// A folder holding every kind of name the mail folders meet.
void FillMailFolder(const TempFolder& dir) {
    for (const char* name :
         {"123", "0042", "abc", "A1B", "123.txt", "1.2.3", "mail.log", "mail1.log", "MAIL2.LOG",
          "mail3.log.bak", "xmail.log", "maillog", "virus.log", ".hidden", "7x"})
        dir.File(name, "x");
    dir.Folder("456");
    dir.Folder("sub.d");
}

TEST(FindFile, StarDotYieldsTheDotEntriesAndNamesWithoutExtension) {
    if (vtest::UnderWine())
        GTEST_SKIP() << "Wine's FindFirstFile takes \"*.\" as \"*\"; Windows lists the names "
                        "without an extension";
    TempFolder dir;
    FillMailFolder(dir);
    EXPECT_EQ(Names(dir.Prefix() + "*."),
              (List{".", "..", "0042", "123", "456", "7x", "A1B", "abc", "maillog"}));
}

TEST(FindFile, MailLogPatternTakesAnyStartAndNoOtherExtensionLetterCaseAside) {
    TempFolder dir;
    FillMailFolder(dir);
    EXPECT_EQ(Names(dir.Prefix() + "mail*.log"), (List{"MAIL2.LOG", "mail.log", "mail1.log"}));
    EXPECT_EQ(Names(dir.Prefix() + "MAIL*.LOG"), (List{"MAIL2.LOG", "mail.log", "mail1.log"}));
    EXPECT_EQ(Names(dir.Prefix() + "virus*.log"), (List{"virus.log"}));
}

TEST(FindFile, StarDotStarAndStarYieldEverythingWithTheDotEntriesFirst) {
    TempFolder dir;
    FillMailFolder(dir);
    const List all{".",         "..",      ".hidden",   "0042",      "1.2.3",
                   "123",       "123.txt", "456",       "7x",        "A1B",
                   "MAIL2.LOG", "abc",     "mail.log",  "mail1.log", "mail3.log.bak",
                   "maillog",   "sub.d",   "virus.log", "xmail.log"};
    EXPECT_EQ(Names(dir.Prefix() + "*.*"), all);
    EXPECT_EQ(Names(dir.Prefix() + "*"), all);
}

TEST(FindFile, QuestionMarkAndLiteralNames) {
    TempFolder dir;
    FillMailFolder(dir);
    EXPECT_EQ(Names(dir.Prefix() + "12?"), (List{"123"}));
    EXPECT_EQ(Names(dir.Prefix() + "*.txt"), (List{"123.txt"}));
    EXPECT_EQ(Names(dir.Prefix() + "ABC"), (List{"abc"}));
    EXPECT_EQ(Names(dir.Prefix() + "1.2.*"), (List{"1.2.3"}));
}

TEST(FindFile, EmptyFolderAnswersTheDotEntriesWhereThePatternTakesThem) {
    TempFolder dir;
    EXPECT_EQ(Names(dir.Prefix() + "*."), (List{".", ".."}));
    EXPECT_EQ(Names(dir.Prefix() + "*.*"), (List{".", ".."}));
    DWORD error = 0;
    EXPECT_TRUE(Names(dir.Prefix() + "mail*.log", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    error = 0;
    EXPECT_TRUE(Names(dir.Prefix() + "*.log", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(FindFile, MissingFolderIsPathNotFoundAndTheEndIsNoMoreFiles) {
    TempFolder dir;
    DWORD error = 0;
    EXPECT_TRUE(Names(dir.Path("missing") + TempFolder::Separator() + "*.*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    dir.File("1");
    error = 0;
    EXPECT_EQ(Names(dir.Prefix() + "1", &error), (List{"1"}));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_FILES));
}

TEST(FindFile, SizesAndFolderAttributesAsFindDataGivesThem) {
    TempFolder dir;
    dir.File("5", "12345");
    dir.File("0");
    dir.Folder("9");
    // A sparse file beyond 4 GiB fills both halves of the size.
    const uint64_t big = (5ull << 30) + 3;
    dir.File("4");
    fs::resize_file(dir.Path("4"), big);
    std::vector<Found> found = Search(dir.Prefix() + "*.*");
    ASSERT_EQ(found.size(), 6u);
    for (const Found& f : found) {
        const bool folder = (f.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (f.name == "." || f.name == ".." || f.name == "9") {
            EXPECT_TRUE(folder) << f.name;
            EXPECT_EQ(f.size, 0u) << f.name;
        } else {
            EXPECT_FALSE(folder) << f.name;
            EXPECT_EQ(f.size, f.name == "5" ? 5u : f.name == "4" ? big : 0u) << f.name;
        }
    }
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((dir.Prefix() + "4").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 3u + (1u << 30));
    FindClose(search);
}

#ifndef _WIN32
// Windows' own drives need no mapping; here a drive letter leads into the
// platform root.
TEST(FindFile, DriveLetterPathsLeadIntoThePlatformRoot) {
    TempFolder root;
    const char* previous = getenv("VANTRY_PLATFORM_ROOT");
    std::string keep = previous ? previous : "";
    setenv("VANTRY_PLATFORM_ROOT", root.Path("").c_str(), 1);
    root.Folder("drive_c/Program Files/Q");
    root.File("drive_c/Program Files/Q/1234", "x");
    root.File("drive_c/Program Files/Q/1234.tmp", "x");
    EXPECT_EQ(Names("C:\\Program Files\\Q\\*."), (List{".", "..", "1234"}));
    EXPECT_EQ(Names("c:/Program Files/Q/*."), (List{".", "..", "1234"}));
    EXPECT_EQ(Names("C:\\Program Files\\Q\\1234"), (List{"1234"}));
    if (previous)
        setenv("VANTRY_PLATFORM_ROOT", keep.c_str(), 1);
    else
        unsetenv("VANTRY_PLATFORM_ROOT");
}

TEST(FindFile, PatternRulesAsAPureFunction) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.", "123", true},
        {"*.", "123.txt", false},
        {"*.", ".", true},
        {"*.", "..", true},
        {"*.", ".hidden", false},
        {"*.", "a.b.c", false},
        {"*.*", "abc", true},
        {"*.*", ".", true},
        {"*", "", true},
        {"mail*.log", "mail.log", true},
        {"mail*.log", "Mail77.Log", true},
        {"mail*.log", "mail.x.log", true},
        {"mail*.log", "mail.log.x", false},
        {"mail*.log", "maillog", false},
        {"mail*.log", ".", false},
        {"mail*.log", "..", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"a?", "a", true},
        {"a?.b", "a.b", true},
        {"*.txt", "a.txt", true},
        {"*.txt", "a.txt.txt", true},
        {"*.txt", "txt", false},
        {"abc", "ABC", true},
        {"abc", "abcd", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vplat::MatchFileName(c.pattern, c.name), c.match)
            << c.pattern << " against " << c.name;
}
#endif

TEST(FileNames, DeleteMoveAndRemoveAnswerAsWindowsDoes) {
    TempFolder dir;
    dir.File("1", "one");
    dir.File("2", "two");
    dir.Folder("out");
    EXPECT_TRUE(DeleteFileA(dir.Path("1").c_str()));
    EXPECT_FALSE(fs::exists(dir.Path("1")));
    EXPECT_FALSE(DeleteFileA(dir.Path("1").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA((dir.Path("nowhere") + TempFolder::Separator() + "1").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(dir.Path("out").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const std::string moved = dir.Path("out") + TempFolder::Separator() + "2";
    EXPECT_TRUE(MoveFileA(dir.Path("2").c_str(), moved.c_str()));
    EXPECT_FALSE(fs::exists(dir.Path("2")));
    EXPECT_EQ(fs::file_size(moved), 3u);
    dir.File("2", "new");
    EXPECT_FALSE(MoveFileA(dir.Path("2").c_str(), moved.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(fs::file_size(dir.Path("2")), 3u);
    EXPECT_TRUE(MoveFileExA(dir.Path("2").c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(fs::exists(dir.Path("2")));

    EXPECT_FALSE(RemoveDirectoryA(dir.Path("out").c_str())); // not empty
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    dir.Folder("a");
    EXPECT_TRUE(RemoveDirectoryA(dir.Path("a").c_str()));
    EXPECT_FALSE(fs::exists(dir.Path("a")));
    dir.Folder("a");
    EXPECT_EQ(GetFileAttributesA(dir.Path("a").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA(dir.Path("zz").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Reads a whole file through _read with reads of the given size.
std::string ReadAll(const std::string& path, int mode, unsigned chunk) {
    int fd = _open(path.c_str(), _O_RDONLY | mode);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return "";
    std::string text;
    std::vector<char> buffer(chunk);
    int n;
    while ((n = _read(fd, buffer.data(), chunk)) > 0)
        text.append(buffer.data(), static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(_read(fd, buffer.data(), chunk), 0); // the end stays the end
    _close(fd);
    return text;
}

TEST(TextMode, CarriageReturnLineFeedArrivesAsLineFeedAndLoneCarriageReturnsStay) {
    TempFolder dir;
    const std::string raw = "one\r\ntwo\r\nthree\r\nlf only\ncr only\rcrcr\r\r\nend\r";
    dir.File("t", raw);
    const std::string text = "one\ntwo\nthree\nlf only\ncr only\rcrcr\r\nend\r";
    // Every read size, so that a pair split between two reads is met too.
    for (unsigned chunk = 1; chunk <= raw.size() + 1; ++chunk)
        EXPECT_EQ(ReadAll(dir.Path("t"), _O_TEXT, chunk), text) << "reads of " << chunk;
    EXPECT_EQ(ReadAll(dir.Path("t"), _O_BINARY, 7), raw);
}

TEST(TextMode, ByteOneAEndsTheFileInTextModeOnly) {
    TempFolder dir;
    const std::string raw = std::string("ab\r\ncd") + '\x1A' + "after\r\n";
    dir.File("z", raw);
    for (unsigned chunk : {1u, 3u, 5u, 64u})
        EXPECT_EQ(ReadAll(dir.Path("z"), _O_TEXT, chunk), "ab\ncd") << "reads of " << chunk;
    EXPECT_EQ(ReadAll(dir.Path("z"), _O_BINARY, 64), raw);
    dir.File("z0", std::string(1, '\x1A') + "x");
    EXPECT_EQ(ReadAll(dir.Path("z0"), _O_TEXT, 64), "");
    // A zero byte is content like any other.
    dir.File("n", std::string("a\0b\r\n", 5));
    EXPECT_EQ(ReadAll(dir.Path("n"), _O_TEXT, 64), std::string("a\0b\n", 4));
}

TEST(TextMode, MissingFileAndFolderCannotBeOpened) {
    TempFolder dir;
    EXPECT_EQ(_open(dir.Path("none").c_str(), _O_RDONLY | _O_TEXT), -1);
    EXPECT_EQ(_open(dir.Path("").c_str(), _O_RDONLY | _O_TEXT), -1);
}

} // namespace
