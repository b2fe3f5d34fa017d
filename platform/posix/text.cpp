// Message texts, string resources, local memory and the names of this program
// and this machine.
#include "platform/posix/internal.h"
#include "platform/bounded.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

// The texts Windows gives for the codes this platform returns, with the line
// break Windows ends them with.
struct SystemText {
    DWORD code;
    const char* text;
};

const SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {230, "The pipe state is invalid."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {317,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {998, "Invalid access to memory location."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1020, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {1051, "A stop control has been sent to a service that other running services are dependent "
           "on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1057, "The account name is invalid or does not exist, or the password is invalid for the "
           "account name specified."},
    {1058, "The service cannot be started, either because it is disabled or because it has no "
           "enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1064, "An exception occurred in the service when handling the control request."},
    {1065, "The database specified does not exist."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1077, "No attempts to start the service have been made since the last boot."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1115, "A system shutdown is in progress."},
    {1460, "This operation returned because the timeout period expired."},
    {1722, "The RPC server is unavailable."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access "
            "permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer "
            "argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally "
            "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10057, "A request to send or receive data was disallowed because the socket is not "
            "connected and (when sending on a datagram socket using a sendto call) no address "
            "was supplied."},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {11001, "No such host is known."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
};

const char* FindSystemText(DWORD code) {
    for (const SystemText& t : kSystemTexts)
        if (t.code == code)
            return t.text;
    return nullptr;
}

// Expands %1..%99 inserts (as text), %% and %n, or keeps them when inserts are
// ignored; Windows ends system texts with "\r\n".
std::string ExpandInserts(const char* format, bool ignoreInserts, bool argumentArray,
                          va_list* args) {
    std::string out;
    std::vector<const char*> inserts; // read from args lazily, in order
    auto insertText = [&](int n) -> const char* {
        if (args == nullptr || n < 1)
            return "";
        if (argumentArray) {
            const DWORD_PTR* array = reinterpret_cast<const DWORD_PTR*>(args);
            return reinterpret_cast<const char*>(array[n - 1]);
        }
        while (static_cast<int>(inserts.size()) < n)
            inserts.push_back(va_arg(*args, const char*));
        return inserts[n - 1];
    };
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%' || ignoreInserts) {
            out += *p;
            continue;
        }
        char next = p[1];
        if (next == '%') {
            out += '%';
            ++p;
        } else if (next == 'n') {
            out += "\r\n";
            ++p;
        } else if (next >= '1' && next <= '9') {
            int n = next - '0';
            ++p;
            if (p[1] >= '0' && p[1] <= '9') {
                n = n * 10 + (p[1] - '0');
                ++p;
            }
            const char* text = insertText(n);
            out += text ? text : "";
        } else {
            out += '%';
        }
    }
    return out;
}

std::mutex gTablesLock;
std::map<UINT, std::string>& StringTable() {
    static std::map<UINT, std::string> table;
    return table;
}

} // namespace

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments) {
    const bool ignoreInserts = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool argumentArray = (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
    std::string text;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (lpSource == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = ExpandInserts(static_cast<const char*>(lpSource), ignoreInserts, argumentArray,
                             Arguments);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* found = FindSystemText(dwMessageId);
        if (found == nullptr) {
            SetLastError(317); // ERROR_MR_MID_NOT_FOUND
            return 0;
        }
        text = ExpandInserts(found, ignoreInserts, argumentArray, Arguments) + "\r\n";
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* block = static_cast<char*>(LocalAlloc(LPTR, size));
        if (block == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(block, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = block;
    } else {
        if (text.size() + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(lpBuffer, text.c_str(), text.size() + 1);
    }
    return static_cast<DWORD>(text.size());
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (p == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}

void vplat::RegisterStringTable(const StringResource* entries, size_t count) {
    std::lock_guard<std::mutex> lock(gTablesLock);
    for (size_t i = 0; i < count; ++i)
        StringTable()[entries[i].id] = entries[i].text ? entries[i].text : "";
}

int WINAPI LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> lock(gTablesLock);
    auto it = StringTable().find(uID);
    if (it == StringTable().end()) {
        lpBuffer[0] = '\0';
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    BoundedCopy(lpBuffer, static_cast<size_t>(cchBufferMax), it->second.c_str());
    return static_cast<int>(strlen(lpBuffer));
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    // Only the program itself is asked for; any non-null value names it.
    static char self;
    if (lpModuleName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return &self;
}

DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR lpFilename, DWORD nSize) {
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n < 0) {
        vplat::ErrorFromErrno(errno);
        return 0;
    }
    path[n] = '\0';
    if (static_cast<DWORD>(n) >= nSize) {
        // As Windows does: the path is cut, terminated, and the size returned.
        BoundedCopy(lpFilename, nSize, path);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path, static_cast<size_t>(n) + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(n);
}

// The NetBIOS-style computer name Windows reports: upper case, 15 characters.
static std::string ComputerName() {
    struct utsname u;
    std::string name = uname(&u) == 0 ? u.nodename : "localhost";
    size_t dot = name.find('.');
    if (dot != std::string::npos)
        name.resize(dot);
    if (name.size() > MAX_COMPUTERNAME_LENGTH)
        name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name;
}

BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (nSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name = ComputerName();
    if (lpBuffer == nullptr || *nSize < name.size() + 1) {
        *nSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
    if (nSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name = ComputerName();
    if (lpBuffer == nullptr || *nSize < name.size() + 1) {
        *nSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    for (size_t i = 0; i <= name.size(); ++i)
        lpBuffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(name.c_str()[i]));
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}
