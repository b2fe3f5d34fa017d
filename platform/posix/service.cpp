// The manager side of the service control manager: the service database in the
// registry (HKLM\SYSTEM\CurrentControlSet\Services, as Windows keeps it) and the
// calls that start, control, query and delete services. There is no central
// daemon: every caller works on the registry and the service's files and
// socket in the platform root directly.
#include "platform/posix/service_internal.h"

#include "platform/bounded.h"
#include "platform/posix/internal.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

struct SC_HANDLE__ {
    bool manager;
    std::string name; // the service's name; empty for a manager handle
    DWORD access;
};

namespace {

constexpr size_t kMaxServiceName = 256;

std::mutex gHandlesLock;
// Made on first use, so that loading a library with this file does no work.
std::set<SC_HANDLE>& Handles() {
    static std::set<SC_HANDLE>* handles = new std::set<SC_HANDLE>;
    return *handles;
}

SC_HANDLE NewHandle(bool manager, const std::string& name, DWORD access) {
    SC_HANDLE h = new SC_HANDLE__{manager, name, access};
    std::lock_guard<std::mutex> guard(gHandlesLock);
    Handles().insert(h);
    return h;
}

// The handle when it is a live handle of the wanted kind; else null with the
// last error set.
SC_HANDLE Checked(SC_HANDLE h, bool manager) {
    std::lock_guard<std::mutex> guard(gHandlesLock);
    if (h == nullptr || Handles().count(h) == 0 || h->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return h;
}

DWORD MapServiceAccess(DWORD access) {
    DWORD mapped = access & 0x0000FFFFu;
    mapped |= access & (DELETE | 0x000F0000u);
    if (access & GENERIC_ALL)
        mapped |= SERVICE_ALL_ACCESS;
    if (access & GENERIC_READ)
        mapped |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        mapped |= SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        mapped |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                  SERVICE_USER_DEFINED_CONTROL;
    return mapped;
}

DWORD MapManagerAccess(DWORD access) {
    DWORD mapped = access & 0x000FFFFFu;
    if (access & GENERIC_ALL)
        mapped |= SC_MANAGER_ALL_ACCESS;
    if (access & GENERIC_READ)
        mapped |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE)
        mapped |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE)
        mapped |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    return mapped | SC_MANAGER_CONNECT;
}

bool HasAccess(SC_HANDLE h, DWORD needed) {
    if ((h->access & needed) == needed)
        return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool ValidServiceName(const char* name) {
    if (name == nullptr || *name == '\0' || strlen(name) > kMaxServiceName)
        return false;
    return strchr(name, '/') == nullptr && strchr(name, '\\') == nullptr;
}

// Whether this machine is meant: none, empty, or our own name.
bool IsLocalMachine(const char* machine) {
    if (machine == nullptr || *machine == '\0')
        return true;
    while (*machine == '\\')
        ++machine;
    char own[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(own);
    if (!GetComputerNameA(own, &size))
        return false;
    return strcasecmp(machine, own) == 0 || strcasecmp(machine, "localhost") == 0 ||
           strcmp(machine, ".") == 0;
}

// Narrows a wide string: ASCII as is, the rest as UTF-8.
std::string Narrow(LPCWSTR text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (const WCHAR* p = text; *p != 0; ++p) {
        unsigned long c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(p[1]) - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

LONG SetString(HKEY key, const char* name, DWORD type, const char* value) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(strlen(value) + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

// Whether the service's key exists and is marked for deletion.
DWORD ServiceKeyState(const char* name, bool* marked) {
    HKEY key = nullptr;
    if (vplat::OpenServiceKey(name, KEY_READ, &key) != ERROR_SUCCESS)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD flag = 0;
    *marked = vplat::ReadServiceDword(key, vplat::kDeleteFlagValue, &flag) && flag != 0;
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

bool IsStopped(const char* name) {
    SERVICE_STATUS s;
    vplat::QueryServiceCurrent(name, &s, nullptr);
    return s.dwCurrentState == SERVICE_STOPPED;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    if (!IsLocalMachine(lpMachineName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpDatabaseName != nullptr && strcasecmp(lpDatabaseName, "ServicesActive") != 0) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewHandle(true, std::string(), MapManagerAccess(dwDesiredAccess));
}

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    std::string machine = Narrow(lpMachineName);
    std::string database = Narrow(lpDatabaseName);
    return OpenSCManagerA(lpMachineName ? machine.c_str() : nullptr,
                          lpDatabaseName ? database.c_str() : nullptr, dwDesiredAccess);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    (void)lpPassword; // the account is recorded; processes run as the caller
    SC_HANDLE manager = Checked(hSCManager, true);
    if (manager == nullptr)
        return nullptr;
    if (!HasAccess(manager, SC_MANAGER_CREATE_SERVICE))
        return nullptr;
    if (!ValidServiceName(lpServiceName) ||
        (lpDisplayName != nullptr && strlen(lpDisplayName) > kMaxServiceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD kind = dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if (lpBinaryPathName == nullptr || *lpBinaryPathName == '\0' ||
        dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL ||
        (kind != SERVICE_WIN32_OWN_PROCESS && kind != SERVICE_WIN32_SHARE_PROCESS &&
         kind != SERVICE_KERNEL_DRIVER && kind != SERVICE_FILE_SYSTEM_DRIVER) ||
        lpdwTagId != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path = std::string(vplat::kServicesKey) + "\\" + lpServiceName;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    if (disposition == REG_OPENED_EXISTING_KEY) {
        DWORD flag = 0;
        bool marked = vplat::ReadServiceDword(key, vplat::kDeleteFlagValue, &flag) && flag != 0;
        RegCloseKey(key);
        SetLastError(marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    rc = SetDword(key, "Type", dwServiceType);
    if (rc == ERROR_SUCCESS)
        rc = SetDword(key, "Start", dwStartType);
    if (rc == ERROR_SUCCESS)
        rc = SetDword(key, "ErrorControl", dwErrorControl);
    if (rc == ERROR_SUCCESS)
        rc = SetString(key, "ImagePath", REG_EXPAND_SZ, lpBinaryPathName);
    if (rc == ERROR_SUCCESS)
        rc = SetString(key, "DisplayName", REG_SZ, lpDisplayName ? lpDisplayName : lpServiceName);
    if (rc == ERROR_SUCCESS)
        rc = SetString(key, "ObjectName", REG_SZ,
                       lpServiceStartName && *lpServiceStartName ? lpServiceStartName
                                                                 : "LocalSystem");
    if (rc == ERROR_SUCCESS && lpLoadOrderGroup != nullptr && *lpLoadOrderGroup != '\0')
        rc = SetString(key, "Group", REG_SZ, lpLoadOrderGroup);
    if (rc == ERROR_SUCCESS && lpDependencies != nullptr && *lpDependencies != '\0') {
        // A list of names, each ended by a null, the list by another.
        size_t len = 0;
        while (lpDependencies[len] != '\0' && len < 65536)
            len += strlen(lpDependencies + len) + 1;
        rc = RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(lpDependencies),
                            static_cast<DWORD>(len + 1));
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        HKEY services = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, vplat::kServicesKey, 0, KEY_ALL_ACCESS, &services) ==
            ERROR_SUCCESS) {
            RegDeleteKeyA(services, lpServiceName);
            RegCloseKey(services);
        }
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    // A new service starts with its own record and history, not those of a
    // deleted namesake.
    unlink(vplat::ServiceFile(lpServiceName, "status").c_str());
    unlink(vplat::ServiceFile(lpServiceName, "history").c_str());
    return NewHandle(false, lpServiceName, MapServiceAccess(dwDesiredAccess));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (Checked(hSCManager, true) == nullptr)
        return nullptr;
    if (!ValidServiceName(lpServiceName)) {
        SetLastError(lpServiceName == nullptr || *lpServiceName == '\0'
                         ? ERROR_INVALID_NAME
                         : ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    bool marked = false;
    DWORD state = ServiceKeyState(lpServiceName, &marked);
    if (state == ERROR_SUCCESS && marked && IsStopped(lpServiceName)) {
        // Stopped since it was marked, with nobody there to finish the job.
        vplat::CompletePendingDelete(lpServiceName);
        state = ServiceKeyState(lpServiceName, &marked);
    }
    if (state != ERROR_SUCCESS) {
        SetLastError(state);
        return nullptr;
    }
    if (marked) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return NewHandle(false, lpServiceName, MapServiceAccess(dwDesiredAccess));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    std::string name = Narrow(lpServiceName);
    return OpenServiceA(hSCManager, lpServiceName ? name.c_str() : nullptr, dwDesiredAccess);
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    SC_HANDLE service = Checked(hService, false);
    if (service == nullptr)
        return FALSE;
    if (!HasAccess(service, SERVICE_START))
        return FALSE;
    if (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD rc = vplat::LaunchService(service->name.c_str(), dwNumServiceArgs, lpServiceArgVectors,
                                    false, nullptr);
    if (rc == ERROR_SERVICE_DOES_NOT_EXIST)
        rc = ERROR_SERVICE_MARKED_FOR_DELETE; // it existed when this handle was opened
    if (rc != ERROR_SUCCESS)
        return Fail(rc);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors) {
    if (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::string> args;
    for (DWORD i = 0; i < dwNumServiceArgs; ++i)
        args.push_back(Narrow(lpServiceArgVectors[i]));
    std::vector<LPCSTR> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    return StartServiceA(hService, dwNumServiceArgs, argv.empty() ? nullptr : argv.data());
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    SC_HANDLE service = Checked(hService, false);
    if (service == nullptr)
        return FALSE;
    if (lpServiceStatus == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        needed = SERVICE_INTERROGATE;
        break;
    default:
        if (dwControl < 128 || dwControl > 255)
            return Fail(ERROR_INVALID_PARAMETER); // shutdown is the system's alone
        needed = SERVICE_USER_DEFINED_CONTROL;
        break;
    }
    if (!HasAccess(service, needed))
        return FALSE;
    vplat::ServiceRequest request{vplat::kServiceWireMagic, vplat::kOpControl, dwControl};
    vplat::ServiceReply reply;
    DWORD rc = vplat::ExchangeWithService(service->name.c_str(), request, vplat::kControlTimeoutMs,
                                          &reply);
    if (rc == ERROR_SERVICE_NOT_ACTIVE) {
        // Nobody answers: the service is stopped, or still starting.
        vplat::QueryServiceCurrent(service->name.c_str(), lpServiceStatus, nullptr);
        return Fail(lpServiceStatus->dwCurrentState == SERVICE_STOPPED
                        ? ERROR_SERVICE_NOT_ACTIVE
                        : ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if (rc != ERROR_SUCCESS)
        return Fail(rc);
    if (reply.error != ERROR_SUCCESS) {
        // Windows fills in the status with these answers too.
        if (reply.error == ERROR_INVALID_SERVICE_CONTROL ||
            reply.error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
            reply.error == ERROR_SERVICE_NOT_ACTIVE)
            *lpServiceStatus = reply.status;
        return Fail(reply.error);
    }
    *lpServiceStatus = reply.status;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    SC_HANDLE service = Checked(hService, false);
    if (service == nullptr)
        return FALSE;
    if (lpServiceStatus == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!HasAccess(service, SERVICE_QUERY_STATUS))
        return FALSE;
    vplat::QueryServiceCurrent(service->name.c_str(), lpServiceStatus, nullptr);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    SC_HANDLE service = Checked(hService, false);
    if (service == nullptr)
        return FALSE;
    if (!HasAccess(service, DELETE))
        return FALSE;
    const char* name = service->name.c_str();
    HKEY key = nullptr;
    if (vplat::OpenServiceKey(name, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE); // gone since this handle was opened
    DWORD flag = 0;
    if (vplat::ReadServiceDword(key, vplat::kDeleteFlagValue, &flag) && flag != 0) {
        RegCloseKey(key);
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    LONG rc = SetDword(key, vplat::kDeleteFlagValue, 1);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(rc));
    // Marked first, then looked at: a service that stops meanwhile finds the
    // mark itself; one that is stopped goes now.
    if (IsStopped(name))
        vplat::CompletePendingDelete(name);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    {
        std::lock_guard<std::mutex> guard(gHandlesLock);
        if (hSCObject == nullptr || Handles().erase(hSCObject) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    delete hSCObject;
    return TRUE;
}
