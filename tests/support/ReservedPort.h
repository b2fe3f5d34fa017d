// A TCP port for a test's service (POSIX only), kept while the object lives.
#ifndef VANTRY_TESTS_SUPPORT_RESERVEDPORT_H
#define VANTRY_TESTS_SUPPORT_RESERVEDPORT_H

#include "platform/win32.h"

#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtest {

// A TCP port kept for one test while this object lives: the service can bind
// it the way it binds (all addresses, SO_REUSEADDR, then listen), and no
// other test of any run on this machine is handed it meanwhile (an exclusive
// lock on /tmp/vantry-test-ports/<port>). It lies outside the range the
// system gives outgoing connections, so that no client connection of another
// test takes it as its own end between this check and the service's bind.
class ReservedPort {
public:
    ReservedPort() {
        unsigned lo = 0, hi = 0;
        std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
        if (!(range >> lo >> hi) || lo < 1024 || hi < lo || hi > 65535)
            lo = 32768, hi = 60999;
        // The larger of the spans below and above the outgoing range.
        unsigned first = 10000, last = lo - 1;
        if (lo <= first || (65535 - hi) > last - first)
            first = hi + 1, last = 65535;
        if (first > last)
            first = 1024, last = 65535; // no room outside it: any port
        std::string dir = "/tmp/vantry-test-ports";
        mkdir(dir.c_str(), 01777);
        chmod(dir.c_str(), 01777); // shared by every user's runs
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        unsigned span = last - first + 1;
        unsigned start =
            static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr));
        for (unsigned i = 0; i < span && port_ == 0; ++i) {
            unsigned short candidate = static_cast<unsigned short>(first + (start + i) % span);
            std::string lock = dir + "/" + std::to_string(candidate);
            int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0)
                continue;
            fchmod(fd, 0666); // for the next user's runs too
            if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !Bindable(candidate)) {
                close(fd);
                continue;
            }
            fd_ = fd;
            port_ = candidate;
        }
    }
    ~ReservedPort() {
        if (fd_ >= 0)
            close(fd_);
    }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    unsigned short port() const { return port_; }

    // Whether the port can be bound as the service binds its listener.
    static bool Bindable(unsigned short port) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET)
            return false;
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
        SOCKADDR_IN addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(port);
        bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                  listen(s, 5) == 0;
        closesocket(s);
        return ok;
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

} // namespace vtest

#endif
