// vantry-ask: sends one request to Pellion and prints its reply.
//
//   vantry-ask [--host NAME] [--port N] [--timeout SECONDS] [--stdin] [--raw] REQUEST...
//
// Pellion takes one request per connection: the words of REQUEST joined by
// spaces, ended by CR LF. With --stdin, what the standard input holds follows
// the request line (for requests that carry data, such as set_config's
// lines). Without --port, the port is Pellion's Config_Port in this machine's
// registry (9999 when it is not set). The reply is printed until Pellion
// closes the connection, each CR LF as a plain line feed so that scripts can
// compare it; --raw prints the bytes as they came. Exit status: 0 when a reply
// came, 3 when the client was refused (ACCESS_DENIED), 1 on any other failure,
// 2 on bad arguments.
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage(const char* why) {
    fprintf(stderr,
            "vantry-ask: %s\n"
            "usage: vantry-ask [--host NAME] [--port N] [--timeout SECONDS] [--stdin] [--raw] "
            "REQUEST...\n"
            "  e.g. vantry-ask get_server_type\n",
            why);
    return 2;
}

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < low || n > high)
        return false;
    *out = n;
    return true;
}

int Fail(const char* what) {
    fprintf(stderr, "vantry-ask: %s (error %d)\n", what, WSAGetLastError());
    return 1;
}

bool SendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        int sent = send(s, data, chunk, 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Waits until s can be read, at most seconds; false on time-out.
bool WaitReadable(SOCKET s, long seconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit = {seconds, 0};
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &limit) > 0;
}

// Pellion's Config_Port from the registry, or 9999.
long ConfiguredPort() {
    HKEY key = nullptr;
    DWORD port = 9999;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (RegQueryValueExA(key, "Config_Port", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                             &size) == ERROR_SUCCESS &&
            size == sizeof(value))
            port = value & 0xFFFF; // the service keeps the low 16 bits too
        RegCloseKey(key);
    }
    return static_cast<long>(port);
}

// The reply with every CR LF as a line feed.
std::string PlainLines(const std::string& reply) {
    std::string out;
    out.reserve(reply.size());
    for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n')
            continue;
        out += reply[i];
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "localhost";
    long port = -1;
    bool raw = false;
    long timeout = 30;
    bool withStdin = false;
    std::string request;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(a, "--host") == 0 && hasValue) {
            host = argv[++i];
        } else if (strcmp(a, "--port") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], 1, 65535, &port))
                return Usage("the port is a number from 1 to 65535");
        } else if (strcmp(a, "--timeout") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], 1, 3600, &timeout))
                return Usage("the time-out is a number of seconds from 1 to 3600");
        } else if (strcmp(a, "--stdin") == 0) {
            withStdin = true;
        } else if (strcmp(a, "--raw") == 0) {
            raw = true;
        } else if (strncmp(a, "--", 2) == 0 && request.empty()) {
            return Usage((std::string("unknown option or missing value: ") + a).c_str());
        } else {
            if (!request.empty())
                request += ' ';
            request += a;
        }
    }
    if (request.empty())
        return Usage("no request given");
    if (request.find_first_of("\r\n") != std::string::npos)
        return Usage("a request is one line");

    if (port < 0)
        port = ConfiguredPort();

    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return Fail("cannot start Winsock");
    SOCKADDR_IN address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = inet_addr(host.c_str());
    if (address.sin_addr.s_addr == INADDR_NONE) {
        HOSTENT* entry = gethostbyname(host.c_str());
        if (entry == nullptr || entry->h_addr_list[0] == nullptr) {
            fprintf(stderr, "vantry-ask: unknown host '%s'\n", host.c_str());
            return 1;
        }
        memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof(address.sin_addr));
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return Fail("cannot make a socket");
    if (connect(s, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)) != 0) {
        fprintf(stderr,
                "vantry-ask: cannot connect to %s port %ld (error %d); is Pellion running?\n",
                host.c_str(), port, WSAGetLastError());
        closesocket(s);
        return 1;
    }
    request += "\r\n";
    bool sent = SendAll(s, request.data(), request.size());
    if (sent && withStdin) {
        char buffer[65536];
        size_t n;
        while (sent && (n = fread(buffer, 1, sizeof(buffer), stdin)) > 0)
            sent = SendAll(s, buffer, n);
    }
    if (!sent) {
        closesocket(s);
        return Fail("cannot send the request");
    }
    shutdown(s, 1); // no more to send: Pellion answers a request without a line end too

    std::string reply;
    char buffer[4096];
    for (;;) {
        if (!WaitReadable(s, timeout)) {
            if (!raw)
                reply = PlainLines(reply);
            fwrite(reply.data(), 1, reply.size(), stdout);
            fprintf(stderr, "vantry-ask: no reply within %ld seconds\n", timeout);
            closesocket(s);
            return 1;
        }
        int got = recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(got));
    }
    closesocket(s);
    const bool refused = reply == "ACCESS_DENIED\r\n";
    if (!raw)
        reply = PlainLines(reply);
    fwrite(reply.data(), 1, reply.size(), stdout);
    fflush(stdout);
    if (refused) {
        fprintf(stderr,
                "vantry-ask: Pellion refused this client; add its name to Allowed_Clients\n");
        return 3;
    }
    return 0;
}
