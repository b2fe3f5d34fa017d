// Windows Sockets 1.1, the subset the system uses, over BSD sockets.
//
// Winsock and the BSD socket API share many names (socket, bind, send,
// select, sockaddr_in, fd_set, SOL_SOCKET, ...) but not their types or values:
// a SOCKET is an unsigned handle, fd_set is an array of sockets with a count,
// SOL_SOCKET is 0xffff, errors come back through WSAGetLastError. So that a
// Windows program and the C library can live in one process, and even in one
// translation unit:
//
//  - this header first includes the system socket headers itself, so that they
//    are read with their POSIX meaning and any later #include of them is a
//    no-op (their include guards are set);
//  - every Winsock type and function is declared under a vplat_ name
//    (vplat_sockaddr_in, vplat_fd_set, vplat_socket, vplat_bind, ...), never
//    under a libc name, so nothing clashes at compile or link time;
//  - then, unless VANTRY_POSIX_SOCKET_NAMES is defined, the Winsock names are
//    macros for the vplat_ declarations, and the constants whose Windows
//    values differ from Linux are redefined with the Windows values.
//
// After this header, a translation unit speaks Winsock: `socket`, `fd_set`,
// `sockaddr_in`, `SOL_SOCKET` are the Windows ones. The C library's own socket
// calls cannot be named there any more; code that needs them (the platform
// layer's own Unix-domain sockets) is compiled with VANTRY_POSIX_SOCKET_NAMES,
// which the vplatform library defines for all its sources.
//
// Kept from the system because they are the same as on Windows: struct
// sockaddr (u_short family, 14 data bytes), struct timeval (tv_sec, tv_usec),
// htons/ntohs/htonl/ntohl, inet_addr, INADDR_ANY/INADDR_LOOPBACK/INADDR_NONE,
// AF_INET, SOCK_STREAM, IPPROTO_TCP, TCP_NODELAY, MSG_OOB/MSG_PEEK, h_addr.
// u_long is the C library's (64 bits on LP64, 32 on Windows).
//
// One consequence of the macros: `bind` is a macro, so std::bind cannot be
// named after this header if <functional> was included before it (a lambda
// does the same job).
#ifndef VANTRY_PLATFORM_POSIX_WINSOCK_H
#define VANTRY_PLATFORM_POSIX_WINSOCK_H

#include "platform/posix/types.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#define WSAAPI

// A socket handle. On POSIX it holds the file descriptor.
typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// The layout of 32-bit Windows.
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

struct vplat_in_addr {
    union {
        struct {
            unsigned char s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            unsigned short s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};

struct vplat_sockaddr_in {
    short sin_family;
    unsigned short sin_port;
    struct vplat_in_addr sin_addr;
    char sin_zero[8];
};

struct vplat_hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

struct vplat_linger {
    unsigned short l_onoff;
    unsigned short l_linger;
};

#define VPLAT_FD_SETSIZE 64

struct vplat_fd_set {
    unsigned int fd_count;
    SOCKET fd_array[VPLAT_FD_SETSIZE];
};

static_assert(sizeof(struct vplat_in_addr) == 4, "in_addr is 4 bytes");
static_assert(sizeof(struct vplat_sockaddr_in) == 16, "SOCKADDR_IN is 16 bytes");
static_assert(sizeof(struct vplat_linger) == 4, "linger is two u_shorts");

// Winsock 1.1's FD_SET (winsock.h, which the system includes on Windows)
// appends the socket without looking for it, never past FD_SETSIZE: a socket
// set twice is held twice. FD_CLR removes its first entry and closes the gap.
inline void vplat_FD_SET(SOCKET s, struct vplat_fd_set* set) {
    if (set->fd_count < VPLAT_FD_SETSIZE)
        set->fd_array[set->fd_count++] = s;
}

inline void vplat_FD_CLR(SOCKET s, struct vplat_fd_set* set) {
    unsigned int count = set->fd_count < VPLAT_FD_SETSIZE ? set->fd_count : VPLAT_FD_SETSIZE;
    for (unsigned int i = 0; i < count; ++i) {
        if (set->fd_array[i] == s) {
            for (unsigned int j = i + 1; j < count; ++j)
                set->fd_array[j - 1] = set->fd_array[j];
            set->fd_count = count - 1;
            return;
        }
    }
}

inline int vplat_FD_ISSET(SOCKET s, const struct vplat_fd_set* set) {
    unsigned int count = set->fd_count < VPLAT_FD_SETSIZE ? set->fd_count : VPLAT_FD_SETSIZE;
    for (unsigned int i = 0; i < count; ++i)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

// shutdown() takes 0 (no more receives), 1 (no more sends) or 2 (neither):
// the SD_ names are Winsock 2's, absent from <winsock.h>, so they are absent
// here too.

// Winsock error codes, with their Windows numbers. WSAGetLastError() is the
// thread's GetLastError().
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAENOTEMPTY 10066
#define WSAEPROCLIM 10067
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAEDISCON 10101
#define WSASYSCALLFAILURE 10107
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004
#define WSANO_ADDRESS WSANO_DATA

// Winsock names that are not in the C library keep their own names.
int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSAAPI WSACleanup(void);
int WSAAPI WSAGetLastError(void);
void WSAAPI WSASetLastError(int iError);
int WSAAPI closesocket(SOCKET s);
int WSAAPI ioctlsocket(SOCKET s, long cmd, u_long* argp);

// The Winsock calls whose names the C library also uses.
SOCKET WSAAPI vplat_socket(int af, int type, int protocol);
int WSAAPI vplat_bind(SOCKET s, const struct sockaddr* name, int namelen);
int WSAAPI vplat_listen(SOCKET s, int backlog);
SOCKET WSAAPI vplat_accept(SOCKET s, struct sockaddr* addr, int* addrlen);
int WSAAPI vplat_connect(SOCKET s, const struct sockaddr* name, int namelen);
int WSAAPI vplat_recv(SOCKET s, char* buf, int len, int flags);
int WSAAPI vplat_send(SOCKET s, const char* buf, int len, int flags);
int WSAAPI vplat_select(int nfds, struct vplat_fd_set* readfds, struct vplat_fd_set* writefds,
                        struct vplat_fd_set* exceptfds, const struct timeval* timeout);
int WSAAPI vplat_shutdown(SOCKET s, int how);
int WSAAPI vplat_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSAAPI vplat_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int WSAAPI vplat_getpeername(SOCKET s, struct sockaddr* name, int* namelen);
int WSAAPI vplat_getsockname(SOCKET s, struct sockaddr* name, int* namelen);
int WSAAPI vplat_gethostname(char* name, int namelen);
// The host entry lives in storage of the calling thread, valid until the
// thread's next lookup.
struct vplat_hostent* WSAAPI vplat_gethostbyname(const char* name);
struct vplat_hostent* WSAAPI vplat_gethostbyaddr(const char* addr, int len, int type);
// The text lives in storage of the calling thread.
char* WSAAPI vplat_inet_ntoa(struct vplat_in_addr in);

#ifndef VANTRY_POSIX_SOCKET_NAMES

// Types.
#define in_addr vplat_in_addr
#define sockaddr_in vplat_sockaddr_in
#define hostent vplat_hostent
#define linger vplat_linger
#define fd_set vplat_fd_set
#ifdef s_addr
#undef s_addr
#endif
#define s_addr S_un.S_addr
#ifndef h_addr
#define h_addr h_addr_list[0]
#endif

typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;
typedef struct vplat_sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;
typedef struct vplat_in_addr IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
typedef struct vplat_hostent HOSTENT, *PHOSTENT, *LPHOSTENT;
typedef struct vplat_linger LINGER, *PLINGER, *LPLINGER;
typedef struct vplat_fd_set FD_SET, *PFD_SET, *LPFD_SET;
typedef struct timeval TIMEVAL, *PTIMEVAL, *LPTIMEVAL;

// fd_set as Windows has it.
#undef FD_SETSIZE
#define FD_SETSIZE VPLAT_FD_SETSIZE
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_ZERO(set) (((struct vplat_fd_set*)(set))->fd_count = 0)
#define FD_SET(fd, set) vplat_FD_SET((SOCKET)(fd), (set))
#define FD_CLR(fd, set) vplat_FD_CLR((SOCKET)(fd), (set))
#define FD_ISSET(fd, set) vplat_FD_ISSET((SOCKET)(fd), (set))

// Socket-level options with their Windows values.
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_SNDLOWAT
#undef SO_RCVLOWAT
#undef SO_SNDTIMEO
#undef SO_RCVTIMEO
#undef SO_ERROR
#undef SO_TYPE
#undef SOMAXCONN
#define SOL_SOCKET 0xffff
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_DONTLINGER ((unsigned int)(~SO_LINGER))
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDLOWAT 0x1003
#define SO_RCVLOWAT 0x1004
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define SOMAXCONN 5

// ioctlsocket commands, as Windows computes them (_IOR/_IOW on 'f').
#undef FIONBIO
#undef FIONREAD
#define FIONBIO ((long)(LONG)0x8004667EU)
#define FIONREAD ((long)(LONG)0x4004667FU)

// Functions.
#define socket vplat_socket
#define bind vplat_bind
#define listen vplat_listen
#define accept vplat_accept
#define connect vplat_connect
#define recv vplat_recv
#define send vplat_send
#define select vplat_select
#define shutdown vplat_shutdown
#define setsockopt vplat_setsockopt
#define getsockopt vplat_getsockopt
#define getpeername vplat_getpeername
#define getsockname vplat_getsockname
#define gethostname vplat_gethostname
#define gethostbyname vplat_gethostbyname
#define gethostbyaddr vplat_gethostbyaddr
#define inet_ntoa vplat_inet_ntoa

#endif // VANTRY_POSIX_SOCKET_NAMES

#endif
