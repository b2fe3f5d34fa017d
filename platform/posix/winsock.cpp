// Windows Sockets 1.1 over BSD sockets: Windows structures and option numbers
// are translated at the boundary, errno becomes a WSA code in the thread's
// last error, and name lookups consult the root's hosts file before the
// machine's resolver (or the root's own name server, when it has one).
#ifndef VANTRY_POSIX_SOCKET_NAMES
#define VANTRY_POSIX_SOCKET_NAMES // this file calls the C library's sockets
#endif

#include "platform/posix/internal.h"
#include "platform/bounded.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Windows' numbers for levels, options and flags (winsock.h declares them
// under their names for the system's code; here the C library's names rule).
namespace ws {
constexpr int kSolSocket = 0xffff;
constexpr int kIpProtoTcp = 6;
constexpr int kTcpNoDelay = 0x0001;
constexpr int kSoDebug = 0x0001;
constexpr int kSoAcceptConn = 0x0002;
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoDontRoute = 0x0010;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSoLinger = 0x0080;
constexpr int kSoOobInline = 0x0100;
constexpr int kSoDontLinger = ~0x0080;
constexpr int kSoSndBuf = 0x1001;
constexpr int kSoRcvBuf = 0x1002;
constexpr int kSoSndLowat = 0x1003;
constexpr int kSoRcvLowat = 0x1004;
constexpr int kSoSndTimeo = 0x1005;
constexpr int kSoRcvTimeo = 0x1006;
constexpr int kSoError = 0x1007;
constexpr int kSoType = 0x1008;
constexpr int kMsgOob = 0x1;
constexpr int kMsgPeek = 0x2;
constexpr int kMsgDontRoute = 0x4;
constexpr int kMsgWaitAll = 0x8;
constexpr uint32_t kFionbio = 0x8004667EU;
constexpr uint32_t kFionread = 0x4004667FU;
constexpr WORD kVersion = 0x0101; // Winsock 1.1
// The highest version the library could give, reported whatever was asked:
// a Windows system's Winsock answers 2.2.
constexpr WORD kHighVersion = 0x0202;
} // namespace ws

constexpr int kMaxAliases = 8;
constexpr int kMaxAddresses = 35; // as Windows' host entries
constexpr size_t kMaxHostName = 255;

std::atomic<int> gStartups{0};

int WsaFromErrno(int err) {
    switch (err) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    // Writing to a connection the peer has closed: Windows reports a reset.
    case EPIPE:
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    default:
        return WSASYSCALLFAILURE;
    }
}

int Fail(int wsaCode) {
    SetLastError(static_cast<DWORD>(wsaCode));
    return SOCKET_ERROR;
}

// The WSA code for errno, leaving errno as it was.
int FailErrno() {
    int saved = errno;
    Fail(WsaFromErrno(saved));
    errno = saved;
    return SOCKET_ERROR;
}

bool Started() {
    return gStartups.load() > 0;
}

// The descriptor behind a SOCKET; false for values no descriptor can have.
bool Descriptor(SOCKET s, int* fd) {
    if (s > static_cast<SOCKET>(INT_MAX))
        return false;
    *fd = static_cast<int>(s);
    return true;
}

// A Windows address (SOCKADDR_IN for AF_INET) as the C library's. Other
// families are passed on as given.
bool AddressIn(const struct sockaddr* name, int namelen, sockaddr_storage* out, socklen_t* outLen,
               int* error) {
    if (name == nullptr || namelen < static_cast<int>(sizeof(struct sockaddr))) {
        *error = WSAEFAULT;
        return false;
    }
    memset(out, 0, sizeof(*out));
    if (name->sa_family == AF_INET) {
        vplat_sockaddr_in win;
        memcpy(&win, name, sizeof(win));
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = win.sin_port;
        in->sin_addr.s_addr = win.sin_addr.S_un.S_addr;
        *outLen = sizeof(sockaddr_in);
        return true;
    }
    size_t n =
        static_cast<size_t>(namelen) < sizeof(*out) ? static_cast<size_t>(namelen) : sizeof(*out);
    memcpy(out, name, n);
    *outLen = static_cast<socklen_t>(n);
    return true;
}

// The C library's address into the caller's Windows buffer, with Windows'
// rule that a buffer too small for the address is an error.
int AddressOut(const sockaddr_storage& from, socklen_t fromLen, struct sockaddr* name,
               int* namelen) {
    if (from.ss_family == AF_INET) {
        if (*namelen < static_cast<int>(sizeof(vplat_sockaddr_in)))
            return WSAEFAULT;
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&from);
        vplat_sockaddr_in win;
        memset(&win, 0, sizeof(win));
        win.sin_family = AF_INET;
        win.sin_port = in->sin_port;
        win.sin_addr.S_un.S_addr = in->sin_addr.s_addr;
        memcpy(name, &win, sizeof(win));
        *namelen = sizeof(win);
        return 0;
    }
    size_t n = fromLen;
    if (static_cast<size_t>(*namelen) < n)
        n = static_cast<size_t>(*namelen);
    memcpy(name, &from, n);
    *namelen = static_cast<int>(n);
    return 0;
}

// Windows' send/recv flags as the C library's; false when a flag is unknown.
bool MessageFlags(int flags, bool receiving, int* out) {
    int result = 0;
    if (flags & ws::kMsgOob)
        result |= MSG_OOB;
    if (flags & ws::kMsgPeek)
        result |= MSG_PEEK;
    if (flags & ws::kMsgDontRoute)
        result |= MSG_DONTROUTE;
    int known = ws::kMsgOob | ws::kMsgPeek | ws::kMsgDontRoute;
    if (receiving) {
        if (flags & ws::kMsgWaitAll)
            result |= MSG_WAITALL;
        known |= ws::kMsgWaitAll;
    }
    if (flags & ~known)
        return false;
    *out = result;
    return true;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// poll() until the descriptor has one of events, within a deadline (-1: none).
int PollOne(int fd, short events, int64_t deadline) {
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - NowMs();
            wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        }
        pollfd p = {fd, events, 0};
        int rc = poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc;
    }
}

// ---- Host entries ----------------------------------------------------------

struct HostRecord {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<uint32_t> addresses; // network byte order
};

// One host entry per thread, as Windows keeps it.
struct HostEntryStorage {
    vplat_hostent entry;
    char name[kMaxHostName + 1];
    char* aliases[kMaxAliases + 1];
    char aliasText[kMaxAliases][kMaxHostName + 1];
    char* addresses[kMaxAddresses + 1];
    unsigned char addressBytes[kMaxAddresses][4];
};

thread_local HostEntryStorage tHost;
thread_local char tAddressText[16];

vplat_hostent* FillHostEntry(const HostRecord& record) {
    HostEntryStorage& h = tHost;
    memset(&h, 0, sizeof(h));
    BoundedCopy(h.name, sizeof(h.name), record.name.c_str());
    int aliases = 0;
    for (const std::string& alias : record.aliases) {
        if (aliases == kMaxAliases)
            break;
        BoundedCopy(h.aliasText[aliases], sizeof(h.aliasText[aliases]), alias.c_str());
        h.aliases[aliases] = h.aliasText[aliases];
        ++aliases;
    }
    h.aliases[aliases] = nullptr;
    int addresses = 0;
    for (uint32_t address : record.addresses) {
        if (addresses == kMaxAddresses)
            break;
        memcpy(h.addressBytes[addresses], &address, 4);
        h.addresses[addresses] = reinterpret_cast<char*>(h.addressBytes[addresses]);
        ++addresses;
    }
    h.addresses[addresses] = nullptr;
    h.entry.h_name = h.name;
    h.entry.h_aliases = h.aliases;
    h.entry.h_addrtype = AF_INET;
    h.entry.h_length = 4;
    h.entry.h_addr_list = h.addresses;
    return &h.entry;
}

// The blank-separated fields of a line of the hosts file or the zone file,
// without its comment ('#' to the end).
std::vector<std::string> LineTokens(const std::string& line) {
    std::string text = line.substr(0, line.find('#'));
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r')
            ++i;
        if (i > start)
            tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

// The hosts file of the platform root, as Windows reads its own: "address
// name [aliases...]", '#' starts a comment; lines of other families are skipped.
class HostsFile {
public:
    HostsFile() : path_(vplat::MapWindowsPath("C:\\windows\\system32\\drivers\\etc\\hosts")) {}

    // The first line for address.
    bool FindAddress(uint32_t address, HostRecord* record) const {
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            uint32_t lineAddress;
            std::vector<std::string> names;
            if (!Parse(line, &lineAddress, &names) || lineAddress != address)
                continue;
            record->name = names[0];
            record->aliases.assign(names.begin() + 1, names.end());
            record->addresses.assign(1, address);
            return true;
        }
        return false;
    }

    // Every address listed for name (compared without regard to case); the
    // names of the first such line.
    bool FindName(const char* name, HostRecord* record) const {
        std::ifstream in(path_);
        std::string line;
        bool found = false;
        while (std::getline(in, line)) {
            uint32_t lineAddress;
            std::vector<std::string> names;
            if (!Parse(line, &lineAddress, &names))
                continue;
            bool match = false;
            for (const std::string& n : names)
                if (strcasecmp(n.c_str(), name) == 0)
                    match = true;
            if (!match)
                continue;
            if (!found) {
                record->name = names[0];
                record->aliases.assign(names.begin() + 1, names.end());
                record->addresses.clear();
                found = true;
            }
            bool seen = false;
            for (uint32_t a : record->addresses)
                if (a == lineAddress)
                    seen = true;
            if (!seen)
                record->addresses.push_back(lineAddress);
        }
        return found;
    }

private:
    static bool Parse(const std::string& line, uint32_t* address, std::vector<std::string>* names) {
        std::vector<std::string> tokens = LineTokens(line);
        if (tokens.size() < 2)
            return false;
        in_addr parsed;
        if (inet_pton(AF_INET, tokens[0].c_str(), &parsed) != 1)
            return false;
        *address = parsed.s_addr;
        names->assign(tokens.begin() + 1, tokens.end());
        return true;
    }

    std::string path_;
};

// The name server of the platform root: when <root>/nameserver/zone exists,
// it answers in place of the machine's resolver, so that a test can give an
// address a reverse name that its owner chose (as the owner of a reverse zone
// can) without that name resolving back, which a hosts file line, read both
// ways, cannot say. One record a line, '#' starts a comment:
//   PTR 127.0.0.2 localhost.attacker.example    (reverse zone)
//   A   localhost.attacker.example 127.0.0.9    (forward zone)
//   PTR 127.0.0.7 slow.attacker.example 3000    (answered after 3000 ms, as a
//                                                 zone whose server stalls)
class ZoneFile {
public:
    ZoneFile() : path_(vplat::RootPath() + "/nameserver/zone") {}

    bool Exists() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    bool FindAddress(uint32_t address, HostRecord* record) const {
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> t = LineTokens(line);
            in_addr parsed;
            if ((t.size() != 3 && t.size() != 4) || strcasecmp(t[0].c_str(), "PTR") != 0 ||
                inet_pton(AF_INET, t[1].c_str(), &parsed) != 1 || parsed.s_addr != address)
                continue;
            if (t.size() == 4) {
                long delay = strtol(t[3].c_str(), nullptr, 10);
                usleep(static_cast<useconds_t>(delay < 0 ? 0 : delay > 60000 ? 60000 : delay) *
                       1000);
            }
            record->name = t[2];
            record->aliases.clear();
            record->addresses.assign(1, address);
            return true;
        }
        return false;
    }

    bool FindName(const char* name, HostRecord* record) const {
        std::ifstream in(path_);
        std::string line;
        record->addresses.clear();
        while (std::getline(in, line)) {
            std::vector<std::string> t = LineTokens(line);
            in_addr parsed;
            if (t.size() != 3 || strcasecmp(t[0].c_str(), "A") != 0 ||
                strcasecmp(t[1].c_str(), name) != 0 ||
                inet_pton(AF_INET, t[2].c_str(), &parsed) != 1)
                continue;
            record->name = t[1];
            record->aliases.clear();
            record->addresses.push_back(parsed.s_addr);
        }
        return !record->addresses.empty();
    }

private:
    std::string path_;
};

int WsaFromResolver(int rc) {
    switch (rc) {
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_MEMORY:
        return WSAENOBUFS;
    default:
        return WSANO_RECOVERY;
    }
}

bool MachineName(char* buffer, size_t size) {
    if (::gethostname(buffer, size) != 0)
        return false;
    buffer[size - 1] = '\0';
    return true;
}

// This machine's own name answers with its interfaces' addresses, as Windows
// answers its computer name without asking a name server; "localhost" is the
// loopback address.
bool LocalName(const char* name, HostRecord* record) {
    if (strcasecmp(name, "localhost") == 0) {
        record->name = "localhost";
        record->aliases.clear();
        record->addresses.assign(1, htonl(INADDR_LOOPBACK));
        return true;
    }
    char own[kMaxHostName + 1];
    if (!MachineName(own, sizeof(own)) || strcasecmp(name, own) != 0)
        return false;
    record->name = own;
    record->aliases.clear();
    record->addresses.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
                continue;
            if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0)
                continue;
            record->addresses.push_back(
                reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        }
        freeifaddrs(list);
    }
    if (record->addresses.empty())
        record->addresses.push_back(htonl(INADDR_LOOPBACK));
    return true;
}

bool ResolveName(const char* name, HostRecord* record, int* error) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &result);
    if (rc != 0) {
        *error = WsaFromResolver(rc);
        return false;
    }
    record->name = result->ai_canonname != nullptr ? result->ai_canonname : name;
    record->aliases.clear();
    record->addresses.clear();
    for (addrinfo* a = result; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addr == nullptr)
            continue;
        uint32_t address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (uint32_t known : record->addresses)
            if (known == address)
                seen = true;
        if (!seen)
            record->addresses.push_back(address);
    }
    freeaddrinfo(result);
    if (record->addresses.empty()) {
        *error = WSANO_DATA;
        return false;
    }
    return true;
}

bool ResolveAddress(uint32_t address, HostRecord* record, int* error) {
    sockaddr_in in;
    memset(&in, 0, sizeof(in));
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    int rc = getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof(in), host, sizeof(host), nullptr,
                         0, NI_NAMEREQD);
    if (rc != 0) {
        *error = WsaFromResolver(rc);
        return false;
    }
    record->name = host;
    record->aliases.clear();
    record->addresses.assign(1, address);
    return true;
}

// ---- Socket options --------------------------------------------------------

bool ReadBool(const char* optval, int optlen, int* value) {
    if (optlen >= static_cast<int>(sizeof(int))) {
        int v;
        memcpy(&v, optval, sizeof(v));
        *value = v != 0;
        return true;
    }
    if (optlen >= 1) { // Windows takes a one-byte BOOL too
        *value = optval[0] != 0;
        return true;
    }
    return false;
}

// A Windows socket-level BOOL or int option as the C library's; 0 when unknown.
int PosixSocketOption(int optname) {
    switch (optname) {
    case ws::kSoDebug:
        return SO_DEBUG;
    case ws::kSoAcceptConn:
        return SO_ACCEPTCONN;
    case ws::kSoReuseAddr:
        return SO_REUSEADDR;
    case ws::kSoKeepAlive:
        return SO_KEEPALIVE;
    case ws::kSoDontRoute:
        return SO_DONTROUTE;
    case ws::kSoBroadcast:
        return SO_BROADCAST;
    case ws::kSoOobInline:
        return SO_OOBINLINE;
    case ws::kSoSndBuf:
        return SO_SNDBUF;
    case ws::kSoRcvBuf:
        return SO_RCVBUF;
    case ws::kSoSndLowat:
        return SO_SNDLOWAT;
    case ws::kSoRcvLowat:
        return SO_RCVLOWAT;
    case ws::kSoType:
        return SO_TYPE;
    default:
        return 0;
    }
}

bool IsBoolOption(int optname) {
    return optname == ws::kSoDebug || optname == ws::kSoAcceptConn || optname == ws::kSoReuseAddr ||
           optname == ws::kSoKeepAlive || optname == ws::kSoDontRoute ||
           optname == ws::kSoBroadcast || optname == ws::kSoOobInline;
}

int SetTimeout(int fd, int posixOption, const char* optval, int optlen) {
    DWORD ms;
    if (optlen < static_cast<int>(sizeof(ms)))
        return Fail(WSAEFAULT);
    memcpy(&ms, optval, sizeof(ms));
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, posixOption, &tv, sizeof(tv)) != 0)
        return FailErrno();
    return 0;
}

} // namespace

// ---- Library start-up and errors -------------------------------------------

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (lpWSAData == nullptr)
        return WSAEFAULT;
    BYTE major = LOBYTE(wVersionRequested);
    BYTE minor = HIBYTE(wVersionRequested);
    memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wHighVersion = ws::kHighVersion;
    if (major < 1)
        return WSAVERNOTSUPPORTED;
    // This is a 1.1 implementation: a later request gets 1.1, and the caller
    // decides whether that is enough, as with any Winsock DLL.
    lpWSAData->wVersion = (major == 1 && minor == 0) ? MAKEWORD(1, 0) : ws::kVersion;
    BoundedCopy(lpWSAData->szDescription, sizeof(lpWSAData->szDescription),
                "Vantry Windows Sockets 1.1 over BSD sockets");
    BoundedCopy(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "Running");
    lpWSAData->iMaxSockets = 32767;
    lpWSAData->iMaxUdpDg = 65467;
    lpWSAData->lpVendorInfo = nullptr;
    gStartups.fetch_add(1);
    return 0;
}

int WSAAPI WSACleanup(void) {
    int current = gStartups.load();
    while (current > 0) {
        if (gStartups.compare_exchange_weak(current, current - 1))
            return 0;
    }
    return Fail(WSANOTINITIALISED);
}

int WSAAPI WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}

void WSAAPI WSASetLastError(int iError) {
    SetLastError(static_cast<DWORD>(iError));
}

// ---- Sockets ---------------------------------------------------------------

SOCKET WSAAPI vplat_socket(int af, int type, int protocol) {
    // Internet sockets are Winsock's and need the library started; other
    // families are the platform's own business.
    if (af == AF_INET && !Started()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    // Not inherited by programs this process starts: a child holding the
    // listening socket would keep the port busy after the service has gone.
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int WSAAPI vplat_bind(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    sockaddr_storage address;
    socklen_t length;
    int error;
    if (!AddressIn(name, namelen, &address, &length, &error))
        return Fail(error);
    // Linux's SO_REUSEADDR never lets a second socket bind a port another
    // socket is listening on (Windows' would): a port in use stays an error.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return FailErrno();
    return 0;
}

int WSAAPI vplat_listen(SOCKET s, int backlog) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (::listen(fd, backlog < 0 ? 0 : backlog) != 0)
        return FailErrno();
    return 0;
}

SOCKET WSAAPI vplat_accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
    int fd;
    if (!Descriptor(s, &fd)) {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    if (addr != nullptr &&
        (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(struct sockaddr)))) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    sockaddr_storage peer;
    socklen_t length = sizeof(peer);
    int client;
    do {
        client = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    if (addr != nullptr) {
        int error = AddressOut(peer, length, addr, addrlen);
        if (error != 0) {
            ::close(client);
            Fail(error);
            return INVALID_SOCKET;
        }
    }
    return static_cast<SOCKET>(client);
}

int WSAAPI vplat_connect(SOCKET s, const struct sockaddr* name, int namelen) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    sockaddr_storage address;
    socklen_t length;
    int error;
    if (!AddressIn(name, namelen, &address, &length, &error))
        return Fail(error);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
        return 0;
    if (errno == EINPROGRESS) {
        // A non-blocking socket: Windows says "would block".
        return Fail(WSAEWOULDBLOCK);
    }
    if (errno != EINTR)
        return FailErrno();
    // Interrupted by a signal: the connection goes on; Windows would just
    // have waited, so wait for its outcome.
    if (PollOne(fd, POLLOUT, -1) < 0)
        return FailErrno();
    int pending = 0;
    socklen_t pendingLength = sizeof(pending);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pendingLength) != 0)
        return FailErrno();
    if (pending != 0)
        return Fail(WsaFromErrno(pending));
    return 0;
}

int WSAAPI vplat_recv(SOCKET s, char* buf, int len, int flags) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0))
        return Fail(WSAEFAULT);
    int posixFlags;
    if (!MessageFlags(flags, true, &posixFlags))
        return Fail(WSAEOPNOTSUPP);
    ssize_t n;
    do {
        n = ::recv(fd, buf, static_cast<size_t>(len), posixFlags);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return FailErrno();
    return static_cast<int>(n);
}

int WSAAPI vplat_send(SOCKET s, const char* buf, int len, int flags) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0))
        return Fail(WSAEFAULT);
    int posixFlags;
    if (!MessageFlags(flags, false, &posixFlags))
        return Fail(WSAEOPNOTSUPP);
    // A peer that has gone reports an error here, never a SIGPIPE.
    posixFlags |= MSG_NOSIGNAL;
    int status = fcntl(fd, F_GETFL);
    bool blocking = status >= 0 && (status & O_NONBLOCK) == 0;
    // A blocking Windows send returns when all of the data is taken; a
    // signal may cut the C library's short, so carry on with the rest.
    int sent = 0;
    while (sent < len || len == 0) {
        ssize_t n = ::send(fd, buf + sent, static_cast<size_t>(len - sent), posixFlags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (sent > 0)
                return sent;
            return FailErrno();
        }
        sent += static_cast<int>(n);
        if (!blocking || len == 0)
            break;
    }
    return sent;
}

int WSAAPI vplat_select(int nfds, struct vplat_fd_set* readfds, struct vplat_fd_set* writefds,
                        struct vplat_fd_set* exceptfds, const struct timeval* timeout) {
    (void)nfds; // ignored, as by Windows
    vplat_fd_set* sets[3] = {readfds, writefds, exceptfds};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    std::vector<pollfd> polls;
    size_t total = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr)
            continue;
        if (sets[k]->fd_count > VPLAT_FD_SETSIZE)
            return Fail(WSAEINVAL);
        for (unsigned int i = 0; i < sets[k]->fd_count; ++i) {
            int fd;
            if (!Descriptor(sets[k]->fd_array[i], &fd))
                return Fail(WSAENOTSOCK);
            bool merged = false;
            for (pollfd& p : polls) {
                if (p.fd == fd) {
                    p.events = static_cast<short>(p.events | wanted[k]);
                    merged = true;
                }
            }
            if (!merged)
                polls.push_back(pollfd{fd, wanted[k], 0});
            ++total;
        }
    }
    // Windows refuses a select on nothing (it is not a sleep).
    if (total == 0)
        return Fail(WSAEINVAL);
    int64_t deadline = -1;
    if (timeout != nullptr) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0)
            return Fail(WSAEINVAL);
        int64_t seconds =
            timeout->tv_sec > INT32_MAX ? INT32_MAX : static_cast<int64_t>(timeout->tv_sec);
        int64_t ms = seconds * 1000 + (static_cast<int64_t>(timeout->tv_usec) + 999) / 1000;
        deadline = NowMs() + ms;
    }
    int rc;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - NowMs();
            wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        }
        rc = poll(polls.data(), polls.size(), wait);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0 && deadline >= 0 && NowMs() < deadline)
            continue; // a wait longer than poll() can take in one go
        break;
    }
    if (rc < 0)
        return FailErrno();
    for (const pollfd& p : polls)
        if (p.revents & POLLNVAL)
            return Fail(WSAENOTSOCK);
    // Readable covers a pending connection and a closed or reset peer (the
    // next recv tells which); writable covers a failed connection too, so
    // that the caller's send reports the failure.
    const short ready[3] = {POLLIN | POLLHUP | POLLERR | POLLRDHUP, POLLOUT | POLLHUP | POLLERR,
                            POLLPRI | POLLERR};
    int count = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr)
            continue;
        unsigned int kept = 0;
        for (unsigned int i = 0; i < sets[k]->fd_count; ++i) {
            int fd = static_cast<int>(sets[k]->fd_array[i]);
            for (const pollfd& p : polls) {
                if (p.fd == fd && (p.revents & ready[k]) != 0) {
                    sets[k]->fd_array[kept++] = sets[k]->fd_array[i];
                    break;
                }
            }
        }
        sets[k]->fd_count = kept;
        count += static_cast<int>(kept);
    }
    return count;
}

int WSAAPI vplat_shutdown(SOCKET s, int how) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    int posixHow;
    switch (how) {
    case 0:
        posixHow = SHUT_RD;
        break;
    case 1:
        posixHow = SHUT_WR;
        break;
    case 2:
        posixHow = SHUT_RDWR;
        break;
    default:
        return Fail(WSAEINVAL);
    }
    if (::shutdown(fd, posixHow) != 0)
        return FailErrno();
    return 0;
}

int WSAAPI vplat_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (optval == nullptr)
        return Fail(WSAEFAULT);
    if (level == ws::kIpProtoTcp) {
        if (optname != ws::kTcpNoDelay)
            return Fail(WSAENOPROTOOPT);
        int on;
        if (!ReadBool(optval, optlen, &on))
            return Fail(WSAEFAULT);
        if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
            return FailErrno();
        return 0;
    }
    if (level != ws::kSolSocket)
        return Fail(WSAEINVAL);
    switch (optname) {
    case ws::kSoLinger:
    case ws::kSoDontLinger: {
        linger current;
        socklen_t currentLength = sizeof(current);
        if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &current, &currentLength) != 0)
            return FailErrno();
        linger wanted = current;
        if (optname == ws::kSoLinger) {
            if (optlen < static_cast<int>(sizeof(vplat_linger)))
                return Fail(WSAEFAULT);
            vplat_linger win;
            memcpy(&win, optval, sizeof(win));
            wanted.l_onoff = win.l_onoff != 0;
            wanted.l_linger = win.l_linger;
        } else {
            // SO_DONTLINGER on: linger off. Off: linger on with the time
            // that SO_LINGER last set.
            int dont;
            if (!ReadBool(optval, optlen, &dont))
                return Fail(WSAEFAULT);
            wanted.l_onoff = dont ? 0 : 1;
        }
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &wanted, sizeof(wanted)) != 0)
            return FailErrno();
        return 0;
    }
    case ws::kSoSndTimeo:
        return SetTimeout(fd, SO_SNDTIMEO, optval, optlen);
    case ws::kSoRcvTimeo:
        return SetTimeout(fd, SO_RCVTIMEO, optval, optlen);
    case ws::kSoAcceptConn:
    case ws::kSoError:
    case ws::kSoType:
        return Fail(WSAENOPROTOOPT); // read-only
    default:
        break;
    }
    int posixOption = PosixSocketOption(optname);
    if (posixOption == 0)
        return Fail(WSAENOPROTOOPT);
    int value;
    if (IsBoolOption(optname)) {
        if (!ReadBool(optval, optlen, &value))
            return Fail(WSAEFAULT);
    } else {
        if (optlen < static_cast<int>(sizeof(int)))
            return Fail(WSAEFAULT);
        memcpy(&value, optval, sizeof(value));
    }
    if (::setsockopt(fd, SOL_SOCKET, posixOption, &value, sizeof(value)) != 0)
        return FailErrno();
    return 0;
}

int WSAAPI vplat_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (optval == nullptr || optlen == nullptr)
        return Fail(WSAEFAULT);
    int value = 0;
    if (level == ws::kIpProtoTcp) {
        if (optname != ws::kTcpNoDelay)
            return Fail(WSAENOPROTOOPT);
        socklen_t length = sizeof(value);
        if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0)
            return FailErrno();
        value = value != 0;
    } else if (level != ws::kSolSocket) {
        return Fail(WSAEINVAL);
    } else if (optname == ws::kSoLinger || optname == ws::kSoDontLinger) {
        linger current;
        socklen_t length = sizeof(current);
        if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &current, &length) != 0)
            return FailErrno();
        if (optname == ws::kSoLinger) {
            if (*optlen < static_cast<int>(sizeof(vplat_linger)))
                return Fail(WSAEFAULT);
            vplat_linger win;
            win.l_onoff = current.l_onoff != 0;
            win.l_linger = static_cast<unsigned short>(
                current.l_linger < 0 ? 0 : (current.l_linger > 0xffff ? 0xffff : current.l_linger));
            memcpy(optval, &win, sizeof(win));
            *optlen = sizeof(win);
            return 0;
        }
        value = current.l_onoff == 0;
    } else if (optname == ws::kSoSndTimeo || optname == ws::kSoRcvTimeo) {
        timeval tv;
        socklen_t length = sizeof(tv);
        if (::getsockopt(fd, SOL_SOCKET, optname == ws::kSoSndTimeo ? SO_SNDTIMEO : SO_RCVTIMEO,
                         &tv, &length) != 0)
            return FailErrno();
        int64_t ms = static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
        DWORD dw = ms > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<DWORD>(ms);
        if (*optlen < static_cast<int>(sizeof(dw)))
            return Fail(WSAEFAULT);
        memcpy(optval, &dw, sizeof(dw));
        *optlen = sizeof(dw);
        return 0;
    } else if (optname == ws::kSoError) {
        int pending = 0;
        socklen_t length = sizeof(pending);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
            return FailErrno();
        value = pending == 0 ? 0 : WsaFromErrno(pending);
    } else {
        int posixOption = PosixSocketOption(optname);
        if (posixOption == 0)
            return Fail(WSAENOPROTOOPT);
        socklen_t length = sizeof(value);
        if (::getsockopt(fd, SOL_SOCKET, posixOption, &value, &length) != 0)
            return FailErrno();
        if (IsBoolOption(optname))
            value = value != 0;
        else if (optname == ws::kSoType)
            value = value == SOCK_STREAM ? 1 : (value == SOCK_DGRAM ? 2 : value);
    }
    if (*optlen < static_cast<int>(sizeof(value)))
        return Fail(WSAEFAULT);
    memcpy(optval, &value, sizeof(value));
    *optlen = sizeof(value);
    return 0;
}

namespace {

using NameCall = int (*)(int, sockaddr*, socklen_t*);

int SocketName(SOCKET s, struct sockaddr* name, int* namelen, NameCall call) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (name == nullptr || namelen == nullptr)
        return Fail(WSAEFAULT);
    sockaddr_storage address;
    socklen_t length = sizeof(address);
    if (call(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return FailErrno();
    int error = AddressOut(address, length, name, namelen);
    if (error != 0)
        return Fail(error);
    return 0;
}

} // namespace

int WSAAPI vplat_getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
    return SocketName(s, name, namelen,
                      [](int fd, sockaddr* a, socklen_t* l) { return ::getpeername(fd, a, l); });
}

int WSAAPI vplat_getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
    return SocketName(s, name, namelen,
                      [](int fd, sockaddr* a, socklen_t* l) { return ::getsockname(fd, a, l); });
}

int WSAAPI closesocket(SOCKET s) {
    int fd;
    struct stat st;
    // Only a socket is closed: a stale SOCKET value must not close a file
    // that has since taken its descriptor number.
    if (!Descriptor(s, &fd) || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return Fail(WSAENOTSOCK);
    // Linux releases the descriptor even when close is interrupted.
    if (::close(fd) != 0 && errno != EINTR)
        return FailErrno();
    return 0;
}

int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    int fd;
    if (!Descriptor(s, &fd))
        return Fail(WSAENOTSOCK);
    if (argp == nullptr)
        return Fail(WSAEFAULT);
    uint32_t command = static_cast<uint32_t>(cmd);
    if (command == ws::kFionbio) {
        int status = fcntl(fd, F_GETFL);
        if (status < 0)
            return FailErrno();
        status = *argp != 0 ? (status | O_NONBLOCK) : (status & ~O_NONBLOCK);
        if (fcntl(fd, F_SETFL, status) != 0)
            return FailErrno();
        return 0;
    }
    if (command == ws::kFionread) {
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(pending < 0 ? 0 : pending);
        return 0;
    }
    return Fail(WSAEINVAL);
}

// ---- Names -----------------------------------------------------------------

int WSAAPI vplat_gethostname(char* name, int namelen) {
    if (!Started())
        return Fail(WSANOTINITIALISED);
    if (name == nullptr || namelen <= 0)
        return Fail(WSAEFAULT);
    char own[kMaxHostName + 1];
    if (!MachineName(own, sizeof(own)))
        return FailErrno();
    // Windows does not cut the name: a buffer too small is an error.
    if (strlen(own) + 1 > static_cast<size_t>(namelen))
        return Fail(WSAEFAULT);
    BoundedCopy(name, static_cast<size_t>(namelen), own);
    return 0;
}

struct vplat_hostent* WSAAPI vplat_gethostbyname(const char* name) {
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    char own[kMaxHostName + 1];
    if (name == nullptr || name[0] == '\0') {
        // Windows: no name is this machine's name.
        if (!MachineName(own, sizeof(own))) {
            FailErrno();
            return nullptr;
        }
        name = own;
    }
    if (strlen(name) > kMaxHostName) {
        Fail(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    HostRecord record;
    in_addr numeric;
    if (inet_pton(AF_INET, name, &numeric) == 1) {
        record.name = name;
        record.addresses.assign(1, numeric.s_addr);
        return FillHostEntry(record);
    }
    if (HostsFile().FindName(name, &record) || LocalName(name, &record))
        return FillHostEntry(record);
    int error = WSAHOST_NOT_FOUND;
    ZoneFile zone;
    if (zone.Exists()) {
        if (zone.FindName(name, &record))
            return FillHostEntry(record);
    } else if (ResolveName(name, &record, &error))
        return FillHostEntry(record);
    Fail(error);
    return nullptr;
}

struct vplat_hostent* WSAAPI vplat_gethostbyaddr(const char* addr, int len, int type) {
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    if (type != AF_INET) {
        Fail(WSAEAFNOSUPPORT);
        return nullptr;
    }
    if (addr == nullptr || len != 4) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    uint32_t address;
    memcpy(&address, addr, 4);
    HostRecord record;
    if (HostsFile().FindAddress(address, &record))
        return FillHostEntry(record);
    int error = WSAHOST_NOT_FOUND;
    ZoneFile zone;
    if (zone.Exists()) {
        if (zone.FindAddress(address, &record))
            return FillHostEntry(record);
    } else if (ResolveAddress(address, &record, &error))
        return FillHostEntry(record);
    Fail(error);
    return nullptr;
}

char* WSAAPI vplat_inet_ntoa(struct vplat_in_addr in) {
    BoundedFormat(tAddressText, sizeof(tAddressText), "%u.%u.%u.%u", in.S_un.S_un_b.s_b1,
                  in.S_un.S_un_b.s_b2, in.S_un.S_un_b.s_b3, in.S_un.S_un_b.s_b4);
    return tAddressText;
}
