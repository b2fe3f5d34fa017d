// Directory searches and name operations over POSIX (see directory.h).
#include "platform/posix/internal.h"
#include "platform/bounded.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The DOS wildcards into which the Win32 layer turns a search pattern before
// the file system sees it.
const char kDosStar = '<'; // "*" before a ".": any run that does not take the name's last dot
const char kDosQm = '>';   // "?": one character, or none at a dot or the end
const char kDosDot = '"';  // "." before "?", "*" or the end: a dot, or none at the end

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The pattern as the file system receives it.
std::string ToDosPattern(const char* pattern) {
    std::string dos(pattern);
    for (size_t i = 0; i < dos.size(); ++i) {
        char next = i + 1 < dos.size() ? pattern[i + 1] : '\0';
        if (pattern[i] == '?')
            dos[i] = kDosQm;
        else if (pattern[i] == '*' && next == '.')
            dos[i] = kDosStar;
        else if (pattern[i] == '.' && (next == '?' || next == '*' || next == '\0'))
            dos[i] = kDosDot;
    }
    return dos;
}

const size_t kMaxName = 511;

bool HasWildcards(const std::string& pattern) {
    return pattern.find_first_of("*?") != std::string::npos;
}

// The match over an already converted pattern. after[j] says whether the rest
// of the pattern (from the element after the current one) matches the name
// from position j; the pattern is walked from its end.
bool MatchDos(const std::string& pattern, const char* name) {
    const size_t n = strlen(name);
    size_t lastDot = n; // none
    for (size_t j = 0; j < n; ++j)
        if (name[j] == '.')
            lastDot = j;
    // A folder entry's name is at most NAME_MAX (255) bytes.
    char rows[2][kMaxName + 1];
    if (n > kMaxName)
        return false;
    char* after = rows[0];
    char* here = rows[1];
    memset(after, 0, n + 1);
    after[n] = 1; // the empty pattern matches the end of the name
    for (size_t p = pattern.size(); p-- > 0;) {
        const char c = pattern[p];
        for (size_t j = n + 1; j-- > 0;) {
            const bool end = j == n;
            bool m;
            switch (c) {
            case '*':
                m = after[j] || (!end && here[j + 1]);
                break;
            case kDosStar:
                m = after[j] || (!end && j != lastDot && here[j + 1]);
                break;
            case '?':
                m = !end && after[j + 1];
                break;
            case kDosQm:
                m = (end || name[j] == '.') ? after[j] : after[j + 1];
                break;
            case kDosDot:
                m = end ? after[j] : (name[j] == '.' && after[j + 1]);
                break;
            default:
                m = !end && Upper(name[j]) == Upper(c) && after[j + 1];
                break;
            }
            here[j] = m ? 1 : 0;
        }
        std::swap(after, here);
    }
    return after[0] != 0;
}

// NTFS keeps a folder's names in the order of their upper-case forms.
bool NtfsBefore(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(Upper(a[i]));
        unsigned char y = static_cast<unsigned char>(Upper(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

// 100-nanosecond steps since 1601-01-01, as FILETIME counts.
FILETIME ToFileTime(const struct timespec& t) {
    const uint64_t kEpochDifference = 11644473600ULL; // seconds from 1601 to 1970
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + kEpochDifference) * 10000000ULL +
                     static_cast<uint64_t>(t.tv_nsec) / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

// One search: the matching names read when it started, handed out in order.
class FindSearch : public vplat::KernelObject {
public:
    FindSearch(int folder, std::vector<std::string> names)
        : folder_(folder), names_(std::move(names)) {}
    ~FindSearch() override { close(folder_); }

    // Fills data with the next name that still exists; false at the end.
    bool Next(WIN32_FIND_DATAA* data) {
        while (next_ < names_.size()) {
            const std::string& name = names_[next_++];
            struct stat st;
            if (fstatat(folder_, name.c_str(), &st, 0) != 0)
                continue; // removed since the search began
            Fill(name, st, data);
            return true;
        }
        return false;
    }

private:
    static void Fill(const std::string& name, const struct stat& st, WIN32_FIND_DATAA* data) {
        memset(data, 0, sizeof(*data));
        const bool folder = S_ISDIR(st.st_mode);
        data->dwFileAttributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if ((st.st_mode & S_IWUSR) == 0)
            data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        data->ftCreationTime = ToFileTime(st.st_ctim);
        data->ftLastAccessTime = ToFileTime(st.st_atim);
        data->ftLastWriteTime = ToFileTime(st.st_mtim);
        const uint64_t size = folder ? 0 : static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
        BoundedCopy(data->cFileName, sizeof(data->cFileName), name.c_str());
    }

    int folder_;
    std::vector<std::string> names_;
    size_t next_ = 0;
};

// Maps a path and reports the Win32 error of a failed call on it.
BOOL FailFromErrno(int err, bool pathPart) {
    if (pathPart && (err == ENOENT || err == ENOTDIR))
        SetLastError(ERROR_PATH_NOT_FOUND);
    else
        vplat::ErrorFromErrno(err);
    return FALSE;
}

// True when the folder that holds path exists (so that a missing file can be
// told from a missing folder, as Windows does).
bool ParentExists(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return true;
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

BOOL FailOnName(int err, const std::string& path) {
    if (err == ENOENT && !ParentExists(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return FailFromErrno(err, err == ENOTDIR);
}

} // namespace

namespace vplat {

bool MatchFileName(const char* pattern, const char* name) {
    if (pattern == nullptr || name == nullptr)
        return false;
    if (strcmp(pattern, "*.*") == 0 || strcmp(pattern, "*") == 0)
        return true;
    return MatchDos(ToDosPattern(pattern), name);
}

} // namespace vplat

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr || *lpFileName == '\0') {
        SetLastError(lpFileName != nullptr && *lpFileName == '\0' ? ERROR_PATH_NOT_FOUND
                                                                  : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // The folder is everything up to the last separator; the pattern the rest.
    const char* sep = nullptr;
    for (const char* p = lpFileName; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/' || (p == lpFileName + 1 && *p == ':'))
            sep = p;
    std::string pattern = sep ? std::string(sep + 1) : std::string(lpFileName);
    std::string folderName = sep ? std::string(lpFileName, sep + 1) : std::string(".");
    if (pattern.empty()) {
        // "C:\dir\" names no file to search for.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string folderPath = vplat::MapWindowsPath(folderName.c_str());
    // A drive's root has no "." and ".." entries on Windows.
    const bool driveRoot =
        folderName.size() <= 3 && folderName.size() >= 2 && folderName[1] == ':' &&
        (folderName.size() == 2 || folderName[2] == '\\' || folderName[2] == '/');
    if (driveRoot)
        vplat::MakeDirectories(folderPath);

    int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        FailFromErrno(errno, true);
        return INVALID_HANDLE_VALUE;
    }
    int listing = dup(folder);
    DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (dir == nullptr) {
        int err = errno;
        if (listing >= 0)
            close(listing);
        close(folder);
        FailFromErrno(err, true);
        return INVALID_HANDLE_VALUE;
    }

    const bool wild = HasWildcards(pattern);
    const bool all = pattern == "*" || pattern == "*.*";
    const std::string dos = ToDosPattern(pattern.c_str());
    std::vector<std::string> dots, names;
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        const bool dot = strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
        if (dot && driveRoot)
            continue;
        bool match;
        if (all)
            match = true;
        else if (wild)
            match = MatchDos(dos, name);
        else
            match = strcasecmp(pattern.c_str(), name) == 0;
        if (!match)
            continue;
        (dot ? dots : names).push_back(name);
    }
    closedir(dir);
    std::sort(dots.begin(), dots.end()); // "." before ".."
    std::sort(names.begin(), names.end(), NtfsBefore);
    dots.insert(dots.end(), names.begin(), names.end());

    FindSearch* search = new FindSearch(folder, std::move(dots));
    if (!search->Next(lpFindFileData)) {
        delete search;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(search);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    FindSearch* search =
        hFindFile != nullptr && hFindFile != INVALID_HANDLE_VALUE
            ? dynamic_cast<FindSearch*>(static_cast<vplat::KernelObject*>(hFindFile))
            : nullptr;
    if (search == nullptr || lpFindFileData == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!search->Next(lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    FindSearch* search =
        hFindFile != nullptr && hFindFile != INVALID_HANDLE_VALUE
            ? dynamic_cast<FindSearch*>(static_cast<vplat::KernelObject*>(hFindFile))
            : nullptr;
    if (search == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete search;
    return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
    if (lpPathName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string path = vplat::MapWindowsPath(lpPathName);
    if (rmdir(path.c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) {
            SetLastError(ERROR_DIR_NOT_EMPTY);
            return FALSE;
        }
        if (errno == ENOTDIR) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
        return FailOnName(errno, path);
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string path = vplat::MapWindowsPath(lpFileName);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return FailOnName(errno, path);
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0)
        return FailOnName(errno, path);
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from = vplat::MapWindowsPath(lpExistingFileName);
    std::string to = vplat::MapWindowsPath(lpNewFileName);
    struct stat st;
    if (lstat(from.c_str(), &st) != 0)
        return FailOnName(errno, from);
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
        // Refuse an existing target without replacing it, even for a moment.
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return TRUE;
        if (errno == EEXIST) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (errno != EINVAL && errno != ENOSYS)
            return FailOnName(errno, to);
        if (lstat(to.c_str(), &st) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        if (errno == EXDEV) {
            SetLastError(ERROR_NOT_SAME_DEVICE);
            return FALSE;
        }
        return FailOnName(errno, to);
    }
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, 0);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string path = vplat::MapWindowsPath(lpFileName);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        FailOnName(errno, path);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}
