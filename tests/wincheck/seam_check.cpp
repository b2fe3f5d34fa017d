// Compiled, never run: every Win32 and Winsock name the system calls through
// the seam, used the way the system uses it. Built against the real Windows
// headers (the cross compiler) it proves each name exists there with this
// shape; built natively it proves the POSIX side declares the same. The
// constants are checked against their Windows numbers on both.
#include "platform/win32.h"
#include "platform/bounded.h"

#include <cstdarg>

// Windows values the system and its tests rely on.
static_assert(ERROR_SUCCESS == 0, "");
static_assert(ERROR_FILE_NOT_FOUND == 2, "");
static_assert(ERROR_ACCESS_DENIED == 5, "");
static_assert(ERROR_MORE_DATA == 234, "");
static_assert(ERROR_NO_MORE_ITEMS == 259, "");
static_assert(ERROR_PIPE_BUSY == 231, "");
static_assert(ERROR_BROKEN_PIPE == 109 && ERROR_NO_DATA == 232 && ERROR_PIPE_NOT_CONNECTED == 233,
              "");
static_assert(ERROR_PIPE_CONNECTED == 535 && ERROR_PIPE_LISTENING == 536 &&
                  ERROR_SEM_TIMEOUT == 121,
              "");
static_assert(PIPE_ACCESS_DUPLEX == 3 && PIPE_TYPE_BYTE == 0 && PIPE_READMODE_BYTE == 0 &&
                  PIPE_WAIT == 0 && PIPE_UNLIMITED_INSTANCES == 255,
              "");
static_assert(OPEN_EXISTING == 3 && OPEN_ALWAYS == 4 && CREATE_ALWAYS == 2 && FILE_APPEND_DATA == 4,
              "");
static_assert(FILE_FLAG_FIRST_PIPE_INSTANCE == 0x00080000, "");
static_assert(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT == 1063, "");
static_assert(ERROR_SERVICE_DOES_NOT_EXIST == 1060, "");
static_assert(ERROR_SERVICE_ALREADY_RUNNING == 1056, "");
static_assert(ERROR_SERVICE_NOT_ACTIVE == 1062, "");
static_assert(WAIT_OBJECT_0 == 0 && WAIT_TIMEOUT == 0x102 && INFINITE == 0xFFFFFFFF, "");
static_assert(REG_SZ == 1 && REG_BINARY == 3 && REG_DWORD == 4 && REG_MULTI_SZ == 7, "");
static_assert(KEY_READ == 0x20019 && KEY_ALL_ACCESS == 0xF003F, "");
static_assert(EVENTLOG_ERROR_TYPE == 1 && EVENTLOG_WARNING_TYPE == 2 &&
                  EVENTLOG_INFORMATION_TYPE == 4,
              "");
static_assert(SERVICE_STOPPED == 1 && SERVICE_START_PENDING == 2 && SERVICE_STOP_PENDING == 3 &&
                  SERVICE_RUNNING == 4,
              "");
static_assert(SERVICE_CONTROL_STOP == 1 && SERVICE_CONTROL_INTERROGATE == 4 &&
                  SERVICE_CONTROL_SHUTDOWN == 5,
              "");
static_assert(SERVICE_ACCEPT_STOP == 1 && SERVICE_ACCEPT_SHUTDOWN == 4, "");
static_assert(FORMAT_MESSAGE_FROM_SYSTEM == 0x1000 && FORMAT_MESSAGE_ALLOCATE_BUFFER == 0x100, "");
static_assert(PAGE_READWRITE == 4 && FILE_MAP_ALL_ACCESS == 0xF001F, "");
static_assert(WAIT_ABANDONED == 0x80 && WAIT_ABANDONED_0 == 0x80 && STILL_ACTIVE == 259, "");
static_assert(NORMAL_PRIORITY_CLASS == 0x20 && STARTF_USESHOWWINDOW == 1 && SW_SHOW == 5, "");
static_assert(ERROR_ALREADY_EXISTS == 183 && ERROR_NOT_OWNER == 288 && ERROR_PATH_NOT_FOUND == 3,
              "");

static_assert(AF_INET == 2 && SOCK_STREAM == 1, "");
static_assert(SOL_SOCKET == 0xffff, "");
static_assert(SO_REUSEADDR == 4 && SO_KEEPALIVE == 8 && SO_LINGER == 0x80, "");
static_assert(SO_DONTLINGER == (unsigned int)(~0x80), "");
static_assert(SOCKET_ERROR == -1 && INVALID_SOCKET == (SOCKET)(~0), "");
static_assert(INADDR_ANY == 0 && INADDR_LOOPBACK == 0x7f000001, "");
static_assert(FD_SETSIZE == 64, "");
static_assert(WSAEINTR == 10004 && WSAEBADF == 10009 && WSAEACCES == 10013 && WSAEFAULT == 10014,
              "");
static_assert(WSAEINVAL == 10022 && WSAEMFILE == 10024 && WSAEWOULDBLOCK == 10035, "");
static_assert(WSAEINPROGRESS == 10036 && WSAENOTSOCK == 10038 && WSAENOPROTOOPT == 10042, "");
static_assert(WSAEADDRINUSE == 10048 && WSAEADDRNOTAVAIL == 10049 && WSAENETDOWN == 10050, "");
static_assert(WSAECONNABORTED == 10053 && WSAECONNRESET == 10054 && WSAENOTCONN == 10057, "");
static_assert(WSAETIMEDOUT == 10060 && WSAECONNREFUSED == 10061, "");
static_assert(WSANOTINITIALISED == 10093 && WSAVERNOTSUPPORTED == 10092, "");
static_assert(WSAHOST_NOT_FOUND == 11001 && WSANO_DATA == 11004, "");
static_assert(sizeof(SOCKADDR_IN) == 16, "");
static_assert(sizeof(IN_ADDR) == 4, "");
static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WCHAR) == 2,
              "");

namespace seam {

DWORD WINAPI ThreadMain(LPVOID parameter) {
    return parameter != nullptr ? 1 : 0;
}
void WINAPI Handler(DWORD control) {
    (void)control;
}
void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    (void)argc;
    (void)argv;
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerA("Pellion", Handler);
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_RUNNING;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWaitHint = 3000;
    SetServiceStatus(h, &status);
}

int Registry() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition);
    rc |= RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane", 0, KEY_READ, &key);
    char text[500];
    DWORD type = 0;
    DWORD size = sizeof(text);
    rc |= RegQueryValueExA(key, "Allowed_Clients", nullptr, &type, (LPBYTE)text, &size);
    DWORD port = 0;
    rc |= RegSetValueExA(key, "Config_Port", 0, REG_DWORD, (const BYTE*)&port, sizeof(port));
    char name[256];
    DWORD nameSize = sizeof(name);
    FILETIME written;
    rc |= RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, &written);
    nameSize = sizeof(name);
    rc |= RegEnumValueA(key, 0, name, &nameSize, nullptr, &type, nullptr, nullptr);
    rc |= RegDeleteValueA(key, "Config_Port");
    rc |= RegDeleteKeyA(key, "Sub");
    rc |= RegCloseKey(key);

    HKEY wide = nullptr;
    rc |= RegCreateKeyExW(HKEY_LOCAL_MACHINE, WIDE("Software\\Corvane"), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &wide, &disposition);
    rc |= RegOpenKeyExW(HKEY_LOCAL_MACHINE, WIDE("Software\\Corvane"), 0, KEY_READ, &wide);
    WCHAR wtext[64];
    size = sizeof(wtext);
    rc |= RegQueryValueExW(wide, WIDE("Name"), nullptr, &type, (LPBYTE)wtext, &size);
    rc |= RegSetValueExW(wide, WIDE("Name"), 0, REG_SZ, (const BYTE*)wtext, size);
    rc |= RegDeleteValueW(wide, WIDE("Name"));
    rc |= RegDeleteKeyW(wide, WIDE("Sub"));
    rc |= RegCloseKey(wide);
    return static_cast<int>(rc);
}

BOOL EventLog() {
    HANDLE source = RegisterEventSourceA(nullptr, "Pellion");
    const char* strings[1] = {"Bind failed with errno 10048"};
    BOOL ok = ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 7, nullptr, 1, 0, strings, nullptr);
    return ok && DeregisterEventSource(source);
}

BOOL ServiceManager() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        CreateServiceA(scm, "Pellion", "Pellion", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\pellion.exe", nullptr,
                       nullptr, nullptr, nullptr, nullptr);
    service = OpenServiceA(scm, "Pellion", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    BOOL ok = StartServiceA(service, 0, nullptr);
    ok &= ControlService(service, SERVICE_CONTROL_STOP, &status);
    ok &= QueryServiceStatus(service, &status);
    ok &= DeleteService(service);
    ok &= CloseServiceHandle(service);
    ok &= CloseServiceHandle(scm);
    char name[] = "Pellion";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    ok &= StartServiceCtrlDispatcherA(table);
    return ok;
}

DWORD Base(HINSTANCE instance, ...) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(stop);
    ResetEvent(stop);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, stop, 0, &id);
    HANDLE both[2] = {stop, thread};
    DWORD r = WaitForSingleObject(stop, 0);
    r |= WaitForMultipleObjects(2, both, FALSE, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    CloseHandle(stop);
    Sleep(1000);

    SYSTEMTIME now;
    GetLocalTime(&now);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "/MUTEX/SCHEDULE/NOREADWRITE");
    r |= WaitForSingleObject(mutex, 30000);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    char line[260] = "\"C:\\Program Files\\x\\quennel.exe\" autoupdate";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &si, &pi)) {
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CreateDirectoryA("C:\\Gateway", nullptr);
    CopyFileA("a.exe", "C:\\Gateway\\a.exe", FALSE);

    char text[256];
    LoadStringA(instance, 16, text, sizeof(text));
    va_list args;
    va_start(args, instance);
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "%1", 0, 0, text, sizeof(text), &args);
    va_end(args);
    LPSTR allocated = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   (LPSTR)&allocated, 0, nullptr);
    LocalFree(allocated);
    SetLastError(ERROR_SUCCESS);
    GetModuleFileNameA(nullptr, text, sizeof(text));
    DWORD size = sizeof(text);
    GetComputerNameA(text, &size);

    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    LPVOID view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    UnmapViewOfFile(view);
    CloseHandle(mapping);

    BoundedCopy(text, sizeof(text), "a");
    BoundedAppend(text, sizeof(text), "b");
    BoundedFormat(text, sizeof(text), "%s %lu", "c", (unsigned long)r);
    return r + code + id;
}

int Sockets() {
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(1, 1), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    rc |= setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char*)&one, sizeof(one));
    rc |= setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, (const char*)&one, sizeof(one));
    rc |= setsockopt(s, SOL_SOCKET, SO_DONTLINGER, (const char*)&one, sizeof(one));
    int length = sizeof(one);
    rc |= getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&one, &length);

    char host[200];
    rc |= gethostname(host, sizeof(host));
    HOSTENT* entry = gethostbyname(host);
    SOCKADDR_IN address;
    memset(&address, 0, sizeof(address));
    address.sin_family = entry->h_addrtype;
    address.sin_port = htons(2525);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    rc |= bind(s, (SOCKADDR*)&address, sizeof(address));
    rc |= listen(s, 5);

    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval limit = {0, 500 * 1000};
    rc |= select(0, &ready, nullptr, nullptr, &limit);
    if (FD_ISSET(s, &ready))
        FD_CLR(s, &ready);
    SOCKET client = accept(s, nullptr, nullptr);

    struct sockaddr_in peer;
    int peerLength = sizeof(peer);
    rc |= getpeername(client, (struct sockaddr*)&peer, &peerLength);
    rc |= getsockname(client, (LPSOCKADDR)&peer, &peerLength);
    struct hostent* name = gethostbyaddr((const char*)&peer.sin_addr, 4, AF_INET);
    const char* dotted = inet_ntoa(peer.sin_addr);
    unsigned long numeric = inet_addr(dotted);
    rc |= name != nullptr ? name->h_length : 0;
    rc |= static_cast<int>(ntohl(numeric) & 1) + ntohs(peer.sin_port);
    rc |= static_cast<int>(peer.sin_addr.S_un.S_un_b.s_b1);

    char buffer[16];
    rc |= recv(client, buffer, sizeof(buffer), 0);
    rc |= send(client, "ACCESS_DENIED\r\n", 15, 0);
    u_long nonblocking = 1;
    rc |= ioctlsocket(client, FIONBIO, &nonblocking);
    rc |= shutdown(client, 1); // no more sends (SD_SEND is Winsock 2)
    rc |= connect(client, (const SOCKADDR*)&address, sizeof(address));
    LINGER linger;
    linger.l_onoff = 1;
    linger.l_linger = 0;
    rc |= setsockopt(client, SOL_SOCKET, SO_LINGER, (const char*)&linger, sizeof(linger));
    rc |= closesocket(client);
    rc |= closesocket(s);
    WSASetLastError(0);
    rc |= WSAGetLastError();
    rc |= WSACleanup();
    return rc;
}

int Pipes() {
    HANDLE server = CreateNamedPipeA("\\\\.\\pipe\\DrennicConfig", PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    BOOL ok = ConnectNamedPipe(server, nullptr);
    HANDLE client =
        CreateFileA("\\\\.\\pipe\\DrennicConfig", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[17] = "RESET_STATISTICS";
    DWORD done = 0;
    ok |= WriteFile(client, buffer, sizeof(buffer), &done, nullptr);
    ok |= ReadFile(server, buffer, sizeof(buffer), &done, nullptr);
    DWORD avail = 0;
    ok |= PeekNamedPipe(server, nullptr, 0, nullptr, &avail, nullptr);
    ok |= FlushFileBuffers(server);
    ok |= DisconnectNamedPipe(server);
    ok |= WaitNamedPipeA("\\\\.\\pipe\\DrennicConfig", NMPWAIT_USE_DEFAULT_WAIT);
    ok |= CloseHandle(client);
    ok |= CloseHandle(server);
    ok |= CreateDirectoryA("C:\\Vantry", nullptr);
    HANDLE file = CreateFileA("C:\\Vantry\\x", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ok |= CloseHandle(file);
    ok |= DeleteFileA("C:\\Vantry\\x");
    return ok ? 1 : 0;
}

} // namespace seam
