// Windows Sockets 1.1 as the configuration service uses it: results and
// WSAGetLastError codes as on Windows, loopback connections from chosen
// addresses, and reverse names from the root's hosts file.
#include "support/TempRoot.h"
#include "support/Wine.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>
#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <sys/utsname.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data_)); }
    void TearDown() override {
        for (SOCKET s : open_)
            closesocket(s);
        WSACleanup();
    }

    SOCKET Track(SOCKET s) {
        if (s != INVALID_SOCKET)
            open_.push_back(s);
        return s;
    }

    static SOCKADDR_IN Address(const char* ip, unsigned short port) {
        SOCKADDR_IN a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = inet_addr(ip);
        return a;
    }

    // A listening socket on ip with a port of the system's choosing.
    SOCKET Listen(const char* ip, unsigned short* port) {
        SOCKET s = Track(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_NE(INVALID_SOCKET, s);
        SOCKADDR_IN a = Address(ip, 0);
        EXPECT_EQ(0, bind(s, (SOCKADDR*)&a, sizeof(a)));
        EXPECT_EQ(0, listen(s, 5));
        SOCKADDR_IN bound;
        int length = sizeof(bound);
        EXPECT_EQ(0, getsockname(s, (SOCKADDR*)&bound, &length));
        *port = ntohs(bound.sin_port);
        return s;
    }

    // A client bound to `from` and connected to 127.0.0.1:port.
    SOCKET ConnectFrom(const char* from, unsigned short port) {
        SOCKET c = Track(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_NE(INVALID_SOCKET, c);
        SOCKADDR_IN local = Address(from, 0);
        EXPECT_EQ(0, bind(c, (SOCKADDR*)&local, sizeof(local))) << WSAGetLastError();
        SOCKADDR_IN server = Address("127.0.0.1", port);
        EXPECT_EQ(0, connect(c, (SOCKADDR*)&server, sizeof(server))) << WSAGetLastError();
        return c;
    }

    // A connected pair: *client and *server.
    void Pair(SOCKET* client, SOCKET* server) {
        unsigned short port = 0;
        SOCKET l = Listen("127.0.0.1", &port);
        *client = ConnectFrom("127.0.0.1", port);
        *server = Track(accept(l, nullptr, nullptr));
        ASSERT_NE(INVALID_SOCKET, *server);
    }

#ifndef _WIN32
    void WriteHosts(const std::string& text) {
        std::filesystem::path dir =
            std::filesystem::path(root_.path()) / "drive_c/windows/system32/drivers/etc";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "hosts") << text;
    }
#endif

    vtest::TempRoot root_;
    WSADATA data_;
    std::vector<SOCKET> open_;
};

TEST(WinsockStartup, VersionOneOneAndCallsBeforeStartupFail) {
    vtest::TempRoot root;
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(nullptr, gethostbyname("localhost"));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());

    WSADATA data;
    EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    EXPECT_EQ(0x0101, data.wVersion);
    EXPECT_EQ(0x0202, data.wHighVersion); // the highest the system's Winsock could give
    EXPECT_NE('\0', data.szDescription[0]);
    EXPECT_LT(strlen(data.szDescription), sizeof(data.szDescription));
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(INVALID_SOCKET, s);
    EXPECT_EQ(0, closesocket(s));
    EXPECT_EQ(0, WSACleanup());
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0));
}

TEST_F(WinsockTest, BindToPortInUseGivesAddrInUseAsLastError) {
    unsigned short port = 0;
    SOCKET first = Track(socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    ASSERT_EQ(0, setsockopt(first, SOL_SOCKET, SO_REUSEADDR, (const char*)&one, sizeof(one)));
    SOCKADDR_IN any = Address("0.0.0.0", 0);
    ASSERT_EQ(0, bind(first, (SOCKADDR*)&any, sizeof(any)));
    ASSERT_EQ(0, listen(first, 5));
    SOCKADDR_IN bound;
    int length = sizeof(bound);
    ASSERT_EQ(0, getsockname(first, (SOCKADDR*)&bound, &length));
    port = ntohs(bound.sin_port);

    // The second service sets the same options as the first, and must still
    // find the port taken.
    SOCKET second = Track(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(0, setsockopt(second, SOL_SOCKET, SO_REUSEADDR, (const char*)&one, sizeof(one)));
    SOCKADDR_IN same = Address("0.0.0.0", port);
    SetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, bind(second, (SOCKADDR*)&same, sizeof(same)));
    int code = WSAGetLastError();
    EXPECT_EQ(static_cast<DWORD>(code), GetLastError());
    // Wine answers WSAEACCES when the second socket asks for SO_REUSEADDR on a
    // port another socket listens on (what Windows Server 2003 and later answer
    // when the first socket did not set it).
    if (vtest::UnderWine()) {
        EXPECT_TRUE(code == WSAEADDRINUSE || code == WSAEACCES) << code;
    } else {
        EXPECT_EQ(WSAEADDRINUSE, code);
    }
}

TEST_F(WinsockTest, ConnectionErrorsAreWsaCodes) {
    unsigned short port = 0;
    SOCKET l = Listen("127.0.0.1", &port);
    closesocket(l);
    open_.clear();
    SOCKET c = Track(socket(AF_INET, SOCK_STREAM, 0));
    SOCKADDR_IN server = Address("127.0.0.1", port);
    EXPECT_EQ(SOCKET_ERROR, connect(c, (SOCKADDR*)&server, sizeof(server)));
    EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());

    if (vtest::UnderWine())
        return; // Wine answers WSAEADDRNOTAVAIL for the short address below
    // An address shorter than SOCKADDR_IN is refused before the system sees it.
    EXPECT_EQ(SOCKET_ERROR, connect(c, (SOCKADDR*)&server, 8));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    char byte = 0;
    EXPECT_EQ(SOCKET_ERROR, recv(c, &byte, 1, 0));
    EXPECT_EQ(WSAENOTCONN, WSAGetLastError());
}

TEST_F(WinsockTest, AcceptAndGetpeernameGiveTheClientsBoundAddress) {
    unsigned short port = 0;
    SOCKET l = Listen("127.0.0.1", &port);
    SOCKET c = ConnectFrom("127.0.0.3", port);
    ASSERT_NE(INVALID_SOCKET, c);

    SOCKADDR_IN from;
    int length = sizeof(from);
    SOCKET a = Track(accept(l, (SOCKADDR*)&from, &length));
    ASSERT_NE(INVALID_SOCKET, a);
    EXPECT_EQ(16, length);
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_STREQ("127.0.0.3", inet_ntoa(from.sin_addr));

    SOCKADDR_IN peer;
    length = sizeof(peer);
    ASSERT_EQ(0, getpeername(a, (SOCKADDR*)&peer, &length));
    EXPECT_EQ(inet_addr("127.0.0.3"), peer.sin_addr.s_addr);
    EXPECT_EQ(127, peer.sin_addr.S_un.S_un_b.s_b1);
    EXPECT_EQ(3, peer.sin_addr.S_un.S_un_b.s_b4);

    // A buffer too small for the address is an error, not a cut address.
    length = 8;
    EXPECT_EQ(SOCKET_ERROR, getpeername(a, (SOCKADDR*)&peer, &length));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

#ifndef _WIN32
// Names come from the platform root's hosts file, which each test writes;
// Windows reads the machine's own hosts file (and Wine the host's resolver),
// which a test may not rewrite.
DWORD WINAPI LookUpSecond(LPVOID param) {
    HOSTENT* h = gethostbyname("second");
    *static_cast<std::string*>(param) = h != nullptr ? h->h_name : "";
    return 0;
}

TEST_F(WinsockTest, ReverseNamesComeFromTheRootsHostsFile) {
    WriteHosts("# administrators' machines\n"
               "::1            ip6-only\n"
               "127.0.0.2      ADMINPC.corp.example   adminpc   # the console\n"
               "\t127.0.0.4\tmailgw\r\n"
               "127.0.0.2      second-line-name\n");

    IN_ADDR admin = Address("127.0.0.2", 0).sin_addr;
    HOSTENT* h = gethostbyaddr((const char*)&admin, 4, AF_INET);
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("ADMINPC.corp.example", h->h_name);
    ASSERT_NE(nullptr, h->h_aliases[0]);
    EXPECT_STREQ("adminpc", h->h_aliases[0]);
    EXPECT_EQ(nullptr, h->h_aliases[1]);
    EXPECT_EQ(AF_INET, h->h_addrtype);
    EXPECT_EQ(4, h->h_length);
    EXPECT_EQ(0, memcmp(h->h_addr, "\x7f\x00\x00\x02", 4));

    ULONG mailgw = inet_addr("127.0.0.4");
    h = gethostbyaddr((const char*)&mailgw, 4, AF_INET);
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("mailgw", h->h_name);

    ULONG missing = inet_addr("127.0.0.57");
    EXPECT_EQ(nullptr, gethostbyaddr((const char*)&missing, 4, AF_INET));
    EXPECT_TRUE(WSAGetLastError() == WSAHOST_NOT_FOUND || WSAGetLastError() == WSANO_DATA)
        << WSAGetLastError();

    EXPECT_EQ(nullptr, gethostbyaddr((const char*)&mailgw, 3, AF_INET));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(WinsockTest, ForwardNamesComeFromTheHostsFileWithoutRegardToCase) {
    WriteHosts("127.0.0.2 ADMINPC.corp.example adminpc\n127.0.0.5 adminpc\n");
    HOSTENT* h = gethostbyname("ADMINPC");
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("ADMINPC.corp.example", h->h_name);
    ASSERT_NE(nullptr, h->h_addr_list[0]);
    ASSERT_NE(nullptr, h->h_addr_list[1]);
    EXPECT_EQ(nullptr, h->h_addr_list[2]);
    EXPECT_EQ(0, memcmp(h->h_addr_list[0], "\x7f\x00\x00\x02", 4));
    EXPECT_EQ(0, memcmp(h->h_addr_list[1], "\x7f\x00\x00\x05", 4));

    h = gethostbyname("127.0.0.9");
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("127.0.0.9", h->h_name);
    EXPECT_EQ(0, memcmp(h->h_addr, "\x7f\x00\x00\x09", 4));

    EXPECT_EQ(nullptr, gethostbyname("no-such-host.invalid"));
    EXPECT_NE(0, WSAGetLastError());
}

// How the service learns a client's name: the client connects from an
// address the hosts file names.
TEST_F(WinsockTest, AcceptedPeerResolvesThroughTheHostsFile) {
    WriteHosts("127.0.0.2 ADMINPC.corp.example\n");
    unsigned short port = 0;
    SOCKET l = Listen("0.0.0.0", &port);
    ConnectFrom("127.0.0.2", port);
    SOCKET a = Track(accept(l, nullptr, nullptr));
    ASSERT_NE(INVALID_SOCKET, a);
    SOCKADDR_IN peer;
    int length = sizeof(peer);
    ASSERT_EQ(0, getpeername(a, (SOCKADDR*)&peer, &length));
    HOSTENT* h = gethostbyaddr((const char*)&peer.sin_addr, 4, AF_INET);
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("ADMINPC.corp.example", h->h_name);
}

#ifndef _WIN32
// The root's name server stands for the resolver: a reverse zone may name an
// address with a name that does not lead back to it.
TEST_F(WinsockTest, RootNameServerAnswersInPlaceOfTheResolver) {
    std::filesystem::create_directories(std::filesystem::path(root_.path()) / "nameserver");
    std::ofstream(std::filesystem::path(root_.path()) / "nameserver/zone")
        << "# reverse\nPTR 127.0.0.2 localhost.attacker.example\n"
           "PTR 127.0.0.3 elsewhere.example\r\n"
           "A elsewhere.example 127.0.0.9\nA ELSEWHERE.example 127.0.0.10\n";
    HOSTENT* h = gethostbyaddr("\x7f\x00\x00\x02", 4, AF_INET);
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("localhost.attacker.example", h->h_name);
    // No forward record, and the machine's resolver is not asked.
    EXPECT_EQ(nullptr, gethostbyname("localhost.attacker.example"));
    EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError());
    h = gethostbyname("Elsewhere.Example");
    ASSERT_NE(nullptr, h);
    ASSERT_NE(nullptr, h->h_addr_list[0]);
    ASSERT_NE(nullptr, h->h_addr_list[1]);
    EXPECT_EQ(nullptr, h->h_addr_list[2]);
    EXPECT_EQ(0, memcmp(h->h_addr_list[0], "\x7f\x00\x00\x09", 4));
    EXPECT_EQ(0, memcmp(h->h_addr_list[1], "\x7f\x00\x00\x0a", 4));
    // An address without a record has no name.
    EXPECT_EQ(nullptr, gethostbyaddr("\x7f\x00\x00\x04", 4, AF_INET));
    // The hosts file still comes first.
    WriteHosts("127.0.0.2 adminpc\n");
    h = gethostbyaddr("\x7f\x00\x00\x02", 4, AF_INET);
    ASSERT_NE(nullptr, h);
    EXPECT_STREQ("adminpc", h->h_name);
}
#endif

TEST_F(WinsockTest, HostEntryBelongsToTheCallingThread) {
    WriteHosts("127.0.0.2 first\n127.0.0.3 second\n");
    HOSTENT* mine = gethostbyname("first");
    ASSERT_NE(nullptr, mine);
    std::string other;
    HANDLE t = CreateThread(nullptr, 0, LookUpSecond, &other, 0, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    CloseHandle(t);
    EXPECT_EQ("second", other);
    EXPECT_STREQ("first", mine->h_name);
}

#endif

TEST_F(WinsockTest, OwnHostNameAndItsLookup) {
    char name[256];
    ASSERT_EQ(0, gethostname(name, sizeof(name)));
#ifndef _WIN32
    struct utsname u;
    ASSERT_EQ(0, uname(&u));
    EXPECT_STREQ(u.nodename, name);
#endif
    // The service resolves its own name before it listens.
    HOSTENT* h = gethostbyname(name);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(AF_INET, h->h_addrtype);
    EXPECT_NE(nullptr, h->h_addr);

    char tiny[2] = {'x', 'x'};
    if (strlen(name) >= sizeof(tiny)) {
        EXPECT_EQ(SOCKET_ERROR, gethostname(tiny, sizeof(tiny)));
        EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    }
}

TEST_F(WinsockTest, SelectWaitsForTheTimeLimitOnASilentSocket) {
    SOCKET client, server;
    Pair(&client, &server);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(server, &read);
    timeval limit = {0, 100 * 1000};
    auto start = Clock::now();
    EXPECT_EQ(0, select(0, &read, nullptr, nullptr, &limit));
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 95);
    EXPECT_EQ(0u, read.fd_count);
    EXPECT_FALSE(FD_ISSET(server, &read));

    // Ready sockets stay in their sets; nfds is ignored as on Windows.
    ASSERT_EQ(3, send(client, "abc", 3, 0));
    fd_set write;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_SET(server, &read);
    FD_SET(server, &write);
    EXPECT_EQ(2, select(0, &read, &write, nullptr, &limit));
    EXPECT_TRUE(FD_ISSET(server, &read));
    EXPECT_TRUE(FD_ISSET(server, &write));
}

DWORD WINAPI SendLate(LPVOID param) {
    Sleep(50);
    send(*static_cast<SOCKET*>(param), "x", 1, 0);
    return 0;
}

TEST_F(WinsockTest, SelectWithoutLimitWaitsForData) {
    SOCKET client, server;
    Pair(&client, &server);
    HANDLE late = CreateThread(nullptr, 0, SendLate, &client, 0, nullptr);
    ASSERT_NE(nullptr, late);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(server, &read);
    EXPECT_EQ(1, select(0, &read, nullptr, nullptr, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(late, 10000));
    CloseHandle(late);
    char c = 0;
    EXPECT_EQ(1, recv(server, &c, 1, 0));
    EXPECT_EQ('x', c);

    // Nothing to wait on is an error on Windows, not a sleep.
    fd_set empty;
    FD_ZERO(&empty);
    timeval limit = {0, 1000};
    EXPECT_EQ(SOCKET_ERROR, select(0, &empty, nullptr, nullptr, &limit));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
}

TEST_F(WinsockTest, PendingConnectionMakesListenerReadable) {
    unsigned short port = 0;
    SOCKET l = Listen("127.0.0.1", &port);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(l, &read);
    timeval limit = {0, 20 * 1000};
    EXPECT_EQ(0, select(0, &read, nullptr, nullptr, &limit));
    ConnectFrom("127.0.0.1", port);
    FD_ZERO(&read);
    FD_SET(l, &read);
    limit = {2, 0};
    EXPECT_EQ(1, select(0, &read, nullptr, nullptr, &limit));
}

TEST_F(WinsockTest, RecvAfterPeerClosedReturnsZero) {
    SOCKET client, server;
    Pair(&client, &server);
    ASSERT_EQ(5, send(client, "hello", 5, 0));
    ASSERT_EQ(0, shutdown(client, 1)); // no more sends
    char buffer[16];
    EXPECT_EQ(5, recv(server, buffer, sizeof(buffer), 0));
    EXPECT_EQ(0, recv(server, buffer, sizeof(buffer), 0));

    fd_set read;
    FD_ZERO(&read);
    FD_SET(server, &read);
    timeval limit = {1, 0};
    EXPECT_EQ(1, select(0, &read, nullptr, nullptr, &limit)) << "a closed peer is readable";
}

TEST_F(WinsockTest, SendToClosedPeerFailsWithoutKillingTheProcess) {
    // The default action of SIGPIPE ends the process: the test survives only
    // if send never raises it.
#ifndef _WIN32
    auto previous = signal(SIGPIPE, SIG_DFL);
#endif
    SOCKET client, server;
    Pair(&client, &server);
    ASSERT_EQ(0, closesocket(server));
    open_.erase(std::find(open_.begin(), open_.end(), server));
    int result = 0;
    for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
        result = send(client, "data", 4, 0);
        if (result != SOCKET_ERROR) {
            EXPECT_EQ(4, result);
        }
        Sleep(5);
    }
    EXPECT_EQ(SOCKET_ERROR, result);
    int code = WSAGetLastError();
    EXPECT_TRUE(code == WSAECONNRESET || code == WSAECONNABORTED) << code;
#ifndef _WIN32
    signal(SIGPIPE, previous);
#endif
}

TEST_F(WinsockTest, ServiceSocketOptionsAreAcceptedAndReadBack) {
    SOCKET s = Track(socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    EXPECT_EQ(0, setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char*)&one, sizeof(one)));
    EXPECT_EQ(0, setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, (const char*)&one, sizeof(one)));
    EXPECT_EQ(0, setsockopt(s, SOL_SOCKET, SO_DONTLINGER, (const char*)&one, sizeof(one)));

    int value = 0;
    int length = sizeof(value);
    EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_REUSEADDR, (char*)&value, &length));
    EXPECT_EQ(1, value);
    EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, (char*)&value, &length));
    EXPECT_EQ(1, value);
    LINGER l;
    length = sizeof(l);
    ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_LINGER, (char*)&l, &length));
    EXPECT_EQ(0, l.l_onoff);

    // SO_DONTLINGER off turns lingering on with the time SO_LINGER set (Wine
    // sets the time to 0; the service only ever turns SO_DONTLINGER on).
    l.l_onoff = 1;
    l.l_linger = 7;
    ASSERT_EQ(0, setsockopt(s, SOL_SOCKET, SO_LINGER, (const char*)&l, sizeof(l)));
    ASSERT_EQ(0, setsockopt(s, SOL_SOCKET, SO_DONTLINGER, (const char*)&one, sizeof(one)));
    int zero = 0;
    ASSERT_EQ(0, setsockopt(s, SOL_SOCKET, SO_DONTLINGER, (const char*)&zero, sizeof(zero)));
    length = sizeof(l);
    ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_LINGER, (char*)&l, &length));
    EXPECT_EQ(1, l.l_onoff);
    if (!vtest::UnderWine()) {
        EXPECT_EQ(7, l.l_linger);
    }

    EXPECT_EQ(SOCKET_ERROR, setsockopt(s, SOL_SOCKET, 0x4321, (const char*)&one, sizeof(one)));
    EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, setsockopt(s, 1234, SO_KEEPALIVE, (const char*)&one, sizeof(one)));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, setsockopt(s, SOL_SOCKET, SO_LINGER, (const char*)&one, 2));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(WinsockTest, NonBlockingReceiveWouldBlockAndPendingBytesAreCounted) {
    SOCKET client, server;
    Pair(&client, &server);
    u_long on = 1;
    ASSERT_EQ(0, ioctlsocket(server, FIONBIO, &on));
    char buffer[8];
    EXPECT_EQ(SOCKET_ERROR, recv(server, buffer, sizeof(buffer), 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());

    ASSERT_EQ(6, send(client, "abcdef", 6, 0));
    fd_set read;
    FD_ZERO(&read);
    FD_SET(server, &read);
    timeval limit = {2, 0};
    ASSERT_EQ(1, select(0, &read, nullptr, nullptr, &limit));
    u_long pending = 0;
    ASSERT_EQ(0, ioctlsocket(server, FIONREAD, &pending));
    EXPECT_EQ(6u, pending);
    EXPECT_EQ(SOCKET_ERROR, ioctlsocket(server, 0x1234, &pending));
    if (vtest::UnderWine()) { // Wine: WSAEOPNOTSUPP for a command it does not know
        EXPECT_TRUE(WSAGetLastError() == WSAEINVAL || WSAGetLastError() == WSAEOPNOTSUPP);
    } else {
        EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    }
}

TEST_F(WinsockTest, ClosesocketClosesOnlySockets) {
#ifndef _WIN32
    // A descriptor that is no socket is a POSIX notion: the layer must not
    // close a pipe handed to closesocket.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    EXPECT_EQ(SOCKET_ERROR, closesocket((SOCKET)fds[0]));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(1, write(fds[1], "z", 1)) << "the pipe must still be open";
    close(fds[0]);
    close(fds[1]);
#endif
    EXPECT_EQ(SOCKET_ERROR, closesocket(INVALID_SOCKET));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

// The sets of Winsock 1.1 (winsock.h): FD_SET appends without looking, FD_CLR
// takes out the first entry.
TEST(WinsockFdSet, HoldsWhatWasSetInOrderAndNeverPastItsSize) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(7, &set);
    FD_SET(7, &set);
    EXPECT_EQ(2u, set.fd_count);
    FD_CLR(7, &set);
    EXPECT_EQ(1u, set.fd_count);
    EXPECT_TRUE(FD_ISSET(7, &set));
    for (SOCKET s = 100; s < 100 + FD_SETSIZE + 10; ++s)
        FD_SET(s, &set);
    EXPECT_EQ((unsigned)FD_SETSIZE, set.fd_count);
    EXPECT_EQ(64, FD_SETSIZE);
    EXPECT_FALSE(FD_ISSET(100 + FD_SETSIZE, &set));
    FD_CLR(7, &set);
    EXPECT_EQ((unsigned)FD_SETSIZE - 1, set.fd_count);
    EXPECT_FALSE(FD_ISSET(7, &set));
    EXPECT_TRUE(FD_ISSET(100, &set));
    EXPECT_EQ(100u, set.fd_array[0]);
}

} // namespace
