// Fuzzes the request line through the real path of a client connection: the
// accept loop on a loopback listener, admission (reverse lookup, forward
// confirmation, the list from the registry), the line read, the dispatcher
// and the handlers. The pause before a request is 0 here, so that an input
// takes milliseconds; everything else is the service's own code.
//
// The first byte of an input picks the client's address: even from
// 127.0.0.1 (admitted as localhost), odd from 127.0.0.2 (a stranger, refused).
// The rest is sent as it is, then the client stops sending and reads until the
// service closes. Whatever the bytes, the service must answer or close within
// its limits and stay whole (the sanitizers watch the rest).
#include "platform/win32.h"
#include "regkey/RegKey.h"
#include "service/AcceptLoop.h"
#include "service/Settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

unsigned short g_port = 0;

DWORD WINAPI LoopThread(LPVOID param) {
    static_cast<AcceptLoop*>(param)->Run();
    return 0;
}

bool Write(const std::string& path, const char* text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    fputs(text, f);
    fclose(f);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/vantry-fuzz-request-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        abort();
    setenv("VANTRY_PLATFORM_ROOT", dir, 1);
    std::string root = dir;
    std::string etc = root + "/drive_c/windows/system32/drivers/etc";
    if (system(("mkdir -p '" + etc + "' '" + root + "/nameserver'").c_str()) != 0)
        abort();
    // The root's name server keeps the machine's resolver out.
    if (!Write(etc + "/hosts", "127.0.0.1 localhost\n127.0.0.2 stranger.example\n") ||
        !Write(root + "/nameserver/zone", "# no records\n"))
        abort();
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    SetDefaultSettings();
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write("Allowed_Clients", "localhost");
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 5) != 0)
        abort();
    int len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    g_port = ntohs(addr.sin_port);

    AcceptLimits limits;
    limits.requestPause = 0;
    limits.requestWaitLimit = 2000;
    limits.refusalPause = 0;
    // Lives for the whole run, as the service's loop does.
    static AcceptLoop* loop =
        new AcceptLoop(listener, CreateEventA(nullptr, TRUE, FALSE, nullptr), limits);
    static HANDLE thread = nullptr;
    if (!loop->Start() ||
        (thread = CreateThread(nullptr, 0, LoopThread, loop, 0, nullptr)) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr((data[0] & 1) ? "127.0.0.2" : "127.0.0.1");
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    SOCKADDR_IN remote = {};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = inet_addr("127.0.0.1");
    remote.sin_port = htons(g_port);
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)
        abort();
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    int left = static_cast<int>(size - 1);
    while (left > 0) {
        int n = send(s, bytes, left, 0);
        if (n <= 0)
            break; // the service may close before it has read everything
        bytes += n;
        left -= n;
    }
    shutdown(s, 1);
    // The service answers or closes within its wait limit; a connection that
    // it holds past that is a fault.
    DWORD start = GetTickCount();
    for (;;) {
        if (GetTickCount() - start > 8000)
            abort();
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {0, 200000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0)
            continue;
        char buf[4096];
        if (recv(s, buf, sizeof(buf), 0) <= 0)
            break;
    }
    closesocket(s);
    return 0;
}
