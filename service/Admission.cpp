#include "service/Admission.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"
#include "service/AsciiCase.h"
#include "service/LogEvent.h"
#include "service/Settings.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace {

// Whether the last read of the list failed: a registry that cannot be read is
// logged when the failure begins, not again for every connection while it
// lasts.
std::atomic<bool> gListUnreadable(false);

} // namespace

bool IsClientAdmitted(const char* shortName, const char* allowedClients,
                      const char* localHostName) {
    const size_t len = strlen(shortName);
    if (len == 0)
        return false;
    // The short name anywhere inside the list, letter case aside; the list
    // has no syntax of its own.
    const size_t n = strlen(allowedClients);
    for (size_t pos = 0; pos + len <= n; ++pos)
        if (AsciiEqualNoCase(allowedClients + pos, shortName, len))
            return true;
    // This machine itself, by the start of its host name, in the same case.
    return strncmp(localHostName, shortName, len) == 0;
}

bool HostHasAddress(const struct hostent* host, const unsigned char address[4]) {
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr)
        return false;
    for (char** a = host->h_addr_list; *a != nullptr; ++a)
        if (memcmp(*a, address, 4) == 0)
            return true;
    return false;
}

bool IsNumericName(const char* name) {
    for (; *name != '\0'; ++name)
        if (*name != '.' && (*name < '0' || *name > '9'))
            return false;
    return true;
}

void FindPeerShortName(const unsigned char address[4], char* shortName, size_t size) {
    shortName[0] = '\0';
    // 0.0.0.0 is never a peer: it stands for an address that could not be read.
    static const unsigned char kNone[4] = {0, 0, 0, 0};
    if (memcmp(address, kNone, 4) == 0)
        return;
    struct hostent* reverse = gethostbyaddr(reinterpret_cast<const char*>(address), 4, AF_INET);
    if (reverse == nullptr || reverse->h_name == nullptr)
        return;
    // The entry lives in the thread's storage, which the forward lookup
    // reuses: keep the name first.
    std::vector<char> name(size);
    if (!BoundedCopy(name.data(), size, reverse->h_name) || name[0] == '\0' ||
        IsNumericName(name.data()))
        return;
    if (!HostHasAddress(gethostbyname(name.data()), address))
        return;
    char* dot = strchr(name.data(), '.');
    if (dot != nullptr)
        *dot = '\0';
    BoundedCopy(shortName, size, name.data());
}

bool ReadAllowedClients(char* list, size_t size) {
    BoundedCopy(list, size, "localhost");
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1) != ERROR_SUCCESS) {
        if (!gListUnreadable.exchange(true))
            LogMessage(IDS_OPEN_REGISTRY_FAILED, EVENTLOG_ERROR_TYPE, SERVICE_KEY);
        return false;
    }
    gListUnreadable = false;
    std::vector<char> work(REGKEY_TEXT_BUFFER);
    if (key.Read("Allowed_Clients", work.data()) == ERROR_SUCCESS)
        TakeAllowedClients(work.data(), list, size);
    key.Close();
    return true;
}

AdmissionResult DecideAdmission(const char* shortName, const char* localHostName) {
    char list[sizeof(g_Settings.Allowed_Clients)];
    if (!ReadAllowedClients(list, sizeof(list)))
        return ADMISSION_UNKNOWN;
    return IsClientAdmitted(shortName, list, localHostName) ? ADMISSION_GRANTED : ADMISSION_REFUSED;
}

AdmissionResult AdmitPeer(const unsigned char address[4], const char* localHostName,
                          char* shortName, size_t size) {
    FindPeerShortName(address, shortName, size);
    return DecideAdmission(shortName, localHostName);
}
