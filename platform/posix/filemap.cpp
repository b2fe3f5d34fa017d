// Paging-file mappings and the C runtime's low-level file calls on POSIX.
//
// A mapping is a memfd of the mapping's size: like a Windows section it is
// an object of its own, each MapViewOfFile is a separate view of the same
// memory, and a view outlives the mapping handle until it is unmapped.
//
// Small writable sections are made, viewed whole, unviewed and closed in
// quick succession (the rule engine copies each nested message into one, for
// every rule), and unmapping costs every processor running the process a
// flush of its address translations. So a small section keeps one whole view
// for its life, handed out to each whole writable view asked of it, and when
// its handle is closed and that view given back it is zeroed and kept, view
// and all, for the next section of its size class: at most kKeptSections of
// them, each at most kKeptSectionLimit bytes.
#include "platform/posix/internal.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kAllocationGranularity = 64 * 1024;
constexpr size_t kKeptSectionLimit = 1024 * 1024;
constexpr size_t kKeptSections = 4;

// The memory of a small writable section and its one whole view, shared by
// the mapping object and the view handed out; guarded by ViewLock.
struct Section {
    int fd = -1;
    size_t capacity = 0; // the size class: a power of two from 64 KiB
    char* view = nullptr;
    size_t used = 0;     // the bytes of the current section, up to a page's end
    bool open = false;   // a mapping object holds it
    bool viewOut = false;
    int otherViews = 0;  // views of its own (part of it, or read-only) still mapped
};

std::mutex& ViewLock() {
    static std::mutex lock;
    return lock;
}

// Every live view, so that UnmapViewOfFile knows its length, and the section
// it shows, if any (whole: the section's kept view).
struct View {
    size_t length = 0;
    Section* section = nullptr;
    bool whole = false;
};

std::map<const void*, View>& Views() {
    static std::map<const void*, View> views;
    return views;
}

// Never destroyed: the sections kept stay reachable to the end of the
// process, whose exit lets them go.
std::vector<Section*>& KeptSections() {
    static std::vector<Section*>* kept = new std::vector<Section*>;
    return *kept;
}

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// The section class of a size, 0 when sections of that size are not kept.
size_t SectionClass(uint64_t size) {
    if (size > kKeptSectionLimit)
        return 0;
    size_t capacity = kAllocationGranularity;
    while (capacity < size)
        capacity *= 2;
    return capacity;
}

// A section of the class: a kept one (all zero), else a new one; null when
// none can be made. Called under ViewLock.
Section* TakeSection(size_t capacity, uint64_t size) {
    Section* section = nullptr;
    std::vector<Section*>& kept = KeptSections();
    // The one kept last first: its pages are the likeliest to be at hand.
    for (size_t i = kept.size(); i-- > 0;) {
        if (kept[i]->capacity == capacity) {
            section = kept[i];
            kept.erase(kept.begin() + static_cast<long>(i));
            break;
        }
    }
    if (section == nullptr) {
        int fd = memfd_create("vantry-mapping", MFD_CLOEXEC);
        if (fd < 0)
            return nullptr;
        void* view = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(capacity)) == 0)
            view = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        section = new (std::nothrow) Section;
        if (section == nullptr) {
            munmap(view, capacity);
            close(fd);
            return nullptr;
        }
        section->fd = fd;
        section->capacity = capacity;
        section->view = static_cast<char*>(view);
    }
    const size_t page = PageSize();
    section->used = static_cast<size_t>((size + page - 1) / page * page);
    if (section->used > capacity)
        section->used = capacity;
    section->open = true;
    section->viewOut = false;
    section->otherViews = 0;
    return section;
}

// Called under ViewLock: once neither the mapping object nor any view holds
// the section, it is zeroed and kept, or let go.
void ReleaseSection(Section* section) {
    if (section->open || section->viewOut || section->otherViews > 0)
        return;
    std::vector<Section*>& kept = KeptSections();
    if (kept.size() < kKeptSections) {
        memset(section->view, 0, section->used);
        kept.push_back(section);
        return;
    }
    munmap(section->view, section->capacity);
    close(section->fd);
    delete section;
}

class FileMapping : public vplat::KernelObject {
public:
    FileMapping(int fd, uint64_t size, DWORD protect, Section* section)
        : fd_(fd), size_(size), protect_(protect), section_(section) {}
    ~FileMapping() override {
        if (section_ == nullptr) {
            close(fd_);
            return;
        }
        std::lock_guard<std::mutex> guard(ViewLock());
        section_->open = false;
        ReleaseSection(section_);
    }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    int fd() const { return fd_; }
    uint64_t size() const { return size_; }
    DWORD protect() const { return protect_; }
    Section* section() const { return section_; }

private:
    int fd_;
    uint64_t size_;
    DWORD protect_;
    Section* section_;
};

// What the machine could ever commit: memory and swap together. Windows
// charges a paging-file section in full when it is created, so a size beyond
// this fails there and then, not later at the first touch of a page.
uint64_t CommitLimit() {
    struct sysinfo info;
    if (sysinfo(&info) != 0)
        return UINT64_MAX;
    uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    return (static_cast<uint64_t>(info.totalram) + info.totalswap) * unit;
}

} // namespace

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
    if (hFile != INVALID_HANDLE_VALUE || lpName != nullptr) {
        // Only unnamed paging-file mappings exist on this side.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // Windows takes the execute protections too; the mapping is the same
    // memory, readable or writable as their plain twins.
    DWORD protect = flProtect & 0xFF;
    if (protect == PAGE_EXECUTE_READ)
        protect = PAGE_READONLY;
    else if (protect == PAGE_EXECUTE_READWRITE)
        protect = PAGE_READWRITE;
    else if (protect == PAGE_EXECUTE_WRITECOPY)
        protect = PAGE_WRITECOPY;
    if (protect != PAGE_READONLY && protect != PAGE_READWRITE && protect != PAGE_WRITECOPY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    if (size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // (A section that may be kept is smaller than any machine's memory: the
    // limit, a system call, is asked only for larger ones.)
    if ((size > kKeptSectionLimit && size > CommitLimit()) ||
        size > static_cast<uint64_t>(INT64_MAX) || size > SIZE_MAX) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t capacity = protect == PAGE_READWRITE ? SectionClass(size) : 0;
    if (capacity != 0) {
        Section* section;
        {
            std::lock_guard<std::mutex> guard(ViewLock());
            section = TakeSection(capacity, size);
        }
        if (section != nullptr) {
            FileMapping* mapping =
                new (std::nothrow) FileMapping(section->fd, size, protect, section);
            if (mapping == nullptr) {
                std::lock_guard<std::mutex> guard(ViewLock());
                section->open = false;
                ReleaseSection(section);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            SetLastError(ERROR_SUCCESS);
            return static_cast<vplat::KernelObject*>(mapping);
        }
    }
    int fd = memfd_create("vantry-mapping", MFD_CLOEXEC);
    if (fd < 0) {
        vplat::ErrorFromErrno(errno);
        return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    FileMapping* mapping = new (std::nothrow) FileMapping(fd, size, protect, nullptr);
    if (mapping == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<vplat::KernelObject*>(mapping);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                            DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap) {
    FileMapping* mapping = nullptr;
    if (hFileMappingObject != nullptr && hFileMappingObject != INVALID_HANDLE_VALUE)
        mapping = dynamic_cast<FileMapping*>(static_cast<vplat::KernelObject*>(hFileMappingObject));
    if (mapping == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    bool copy = dwDesiredAccess == FILE_MAP_COPY;
    bool write = !copy && (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    bool read = copy || write || (dwDesiredAccess & FILE_MAP_READ) != 0;
    if (!read || (write && mapping->protect() != PAGE_READWRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % kAllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    // A view that would reach beyond the mapping is refused, as on Windows.
    if (offset >= mapping->size() || dwNumberOfBytesToMap > mapping->size() - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : mapping->size() - offset;
    if (write && offset == 0 && length == mapping->size() && mapping->section() != nullptr) {
        std::lock_guard<std::mutex> guard(ViewLock());
        Section* section = mapping->section();
        if (!section->viewOut) {
            section->viewOut = true;
            View& entry = Views()[section->view];
            entry.length = static_cast<size_t>(length);
            entry.section = section;
            entry.whole = true;
            SetLastError(ERROR_SUCCESS);
            return section->view;
        }
    }
    int prot = PROT_READ | (write || copy ? PROT_WRITE : 0);
    void* view = mmap(nullptr, static_cast<size_t>(length), prot, copy ? MAP_PRIVATE : MAP_SHARED,
                      mapping->fd(), static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(ViewLock());
        View& entry = Views()[view];
        entry.length = static_cast<size_t>(length);
        entry.section = mapping->section();
        entry.whole = false;
        if (entry.section != nullptr)
            ++entry.section->otherViews;
    }
    SetLastError(ERROR_SUCCESS);
    return view;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
    std::lock_guard<std::mutex> guard(ViewLock());
    auto it = Views().find(lpBaseAddress);
    if (it == Views().end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    const View view = it->second;
    Views().erase(it);
    // Unmapped under the lock, so that its section is not handed on while
    // this view still shows it.
    if (!view.whole)
        munmap(const_cast<void*>(lpBaseAddress), view.length);
    if (view.section != nullptr) {
        if (view.whole)
            view.section->viewOut = false;
        else
            --view.section->otherViews;
        ReleaseSection(view.section);
    }
    return TRUE;
}

namespace {

// The runtime's per-descriptor mode: text (with its end-of-file flag, set by a
// 0x1A byte) or binary. Descriptors not opened by _open read as binary.
struct DescriptorMode {
    bool text = false;
    bool ended = false;
};

std::mutex& ModeLock() {
    static std::mutex lock;
    return lock;
}

std::map<int, DescriptorMode>& Modes() {
    static std::map<int, DescriptorMode> modes;
    return modes;
}

const char kCtrlZ = 0x1A;

// Text-mode translation of the raw bytes at buffer (n of them), in place: a
// carriage return followed by a line feed becomes the line feed, a 0x1A byte
// ends the file. A carriage return at the end of the bytes is decided by the
// byte after it, which is read and, if it is not a line feed, given back.
int TranslateText(int fd, char* buffer, int n, DescriptorMode& mode) {
    int out = 0;
    for (int in = 0; in < n; ++in) {
        char c = buffer[in];
        if (c == kCtrlZ) {
            mode.ended = true;
            break;
        }
        if (c == '\r') {
            if (in + 1 < n) {
                if (buffer[in + 1] == '\n') {
                    ++in;
                    c = '\n';
                }
            } else {
                char peek = 0;
                ssize_t got;
                do {
                    got = read(fd, &peek, 1);
                } while (got < 0 && errno == EINTR);
                if (got == 1) {
                    if (peek == '\n')
                        c = '\n';
                    else if (lseek(fd, -1, SEEK_CUR) < 0)
                        mode.ended = peek == kCtrlZ; // cannot give it back; keep 0x1A's meaning
                }
            }
        }
        buffer[out++] = c;
    }
    return out;
}

} // namespace

int _open(const char* filename, int oflag, ...) {
    if (filename == nullptr || (oflag & ~(_O_RDONLY | _O_BINARY | _O_TEXT)) != 0 ||
        (oflag & (_O_BINARY | _O_TEXT)) == (_O_BINARY | _O_TEXT)) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::string path = vplat::MapWindowsPath(filename);
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        vplat::ErrorFromErrno(errno);
        return -1;
    }
    // The Microsoft runtime does not open folders.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EACCES;
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    // Text is the runtime's default mode.
    DescriptorMode mode;
    mode.text = (oflag & _O_BINARY) == 0;
    std::lock_guard<std::mutex> guard(ModeLock());
    Modes()[fd] = mode;
    return fd;
}

int _read(int fd, void* buffer, unsigned int count) {
    if (buffer == nullptr || count > static_cast<unsigned int>(INT_MAX)) {
        errno = EINVAL;
        return -1;
    }
    DescriptorMode mode;
    {
        std::lock_guard<std::mutex> guard(ModeLock());
        auto it = Modes().find(fd);
        if (it != Modes().end())
            mode = it->second;
    }
    if (mode.ended)
        return 0;
    ssize_t n;
    do {
        n = read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        vplat::ErrorFromErrno(errno);
        return -1;
    }
    if (!mode.text || n == 0)
        return static_cast<int>(n);
    int out = TranslateText(fd, static_cast<char*>(buffer), static_cast<int>(n), mode);
    if (mode.ended) {
        std::lock_guard<std::mutex> guard(ModeLock());
        auto it = Modes().find(fd);
        if (it != Modes().end())
            it->second.ended = true;
    }
    return out;
}

long _lseek(int fd, long offset, int origin) {
    {
        // A seek clears the end that a 0x1A byte set, as in the runtime.
        std::lock_guard<std::mutex> guard(ModeLock());
        auto it = Modes().find(fd);
        if (it != Modes().end())
            it->second.ended = false;
    }
    off_t at = lseek(fd, static_cast<off_t>(offset), origin);
    if (at < 0) {
        vplat::ErrorFromErrno(errno);
        return -1L;
    }
    return static_cast<long>(at);
}

long _tell(int fd) {
    return _lseek(fd, 0, SEEK_CUR);
}

long _filelength(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        vplat::ErrorFromErrno(errno);
        return -1L;
    }
    return static_cast<long>(st.st_size);
}

int _close(int fd) {
    {
        std::lock_guard<std::mutex> guard(ModeLock());
        Modes().erase(fd);
    }
    if (close(fd) != 0) {
        vplat::ErrorFromErrno(errno);
        return -1;
    }
    return 0;
}
