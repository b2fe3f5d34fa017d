#include "service/Settings.h"
#include "regkey/RegKey.h"
#include "platform/bounded.h"
#include "service/LogEvent.h"

#include <atomic>
#include <cstring>
#include <vector>

ServiceSettings g_Settings;

void SetDefaultSettings() {
    ServiceSettings& s = g_Settings;
    BoundedCopy(s.Allowed_Clients, sizeof(s.Allowed_Clients), "localhost");
    BoundedCopy(s.Server_Type, sizeof(s.Server_Type), "NT_SMTP");
    s.Config_Port = 9999;
    BoundedCopy(s.Install_Path, sizeof(s.Install_Path),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\");
    BoundedCopy(s.Quarantine_Path, sizeof(s.Quarantine_Path),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\");
    BoundedCopy(s.Log_Path, sizeof(s.Log_Path),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Log\\");
    BoundedCopy(s.BLOCKED_MAIL_PATH, sizeof(s.BLOCKED_MAIL_PATH),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Blocked\\");
    BoundedCopy(s.FILTER_MAIL_PATH, sizeof(s.FILTER_MAIL_PATH),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Filter\\");
    BoundedCopy(s.Deferred_Mail_Path, sizeof(s.Deferred_Mail_Path),
                "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Deferred\\");
    BoundedCopy(s.Supported_Attachments, sizeof(s.Supported_Attachments),
                "application application/octet-stream text text/html text/enriched text/plain");
}

namespace {

// The last overlong Allowed_Clients value reported, by a hash of its text; 0
// when none was. Admission reads the list on several threads at once.
std::atomic<unsigned long> g_reportedOverlong(0);

unsigned long TextHash(const char* text) {
    unsigned long hash = 2166136261u;
    for (; *text != '\0'; ++text)
        hash = (hash ^ static_cast<unsigned char>(*text)) * 16777619u;
    return hash == 0 ? 1 : hash;
}

// Reads a string value through a working buffer; a missing value leaves the
// setting as it is, an existing one replaces it (cut at the setting's size).
void ReadText(CRegKey& key, const char* name, char* setting, size_t size, std::vector<char>& work) {
    work[0] = '\0';
    if (key.Read(name, work.data()) == ERROR_SUCCESS)
        BoundedCopy(setting, size, work.data());
}

} // namespace

void TakeAllowedClients(const char* value, char* setting, size_t size) {
    if (BoundedCopy(setting, size, value))
        return;
    const unsigned long hash = TextHash(value);
    if (g_reportedOverlong.exchange(hash) != hash)
        LogMessage(IDS_ALLOWED_CLIENTS_CUT, EVENTLOG_WARNING_TYPE, static_cast<int>(strlen(value)));
}

void ReadServiceSettings() {
    SetDefaultSettings();
    std::vector<char> work(REGKEY_TEXT_BUFFER);
    ServiceSettings& s = g_Settings;

    CRegKey service;
    if (service.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1) != ERROR_SUCCESS) {
        LogMessage(IDS_OPEN_REGISTRY_FAILED, EVENTLOG_ERROR_TYPE, SERVICE_KEY);
        return;
    }
    work[0] = '\0';
    if (service.Read("Allowed_Clients", work.data()) == ERROR_SUCCESS)
        TakeAllowedClients(work.data(), s.Allowed_Clients, sizeof(s.Allowed_Clients));
    ReadText(service, "Server_Type", s.Server_Type, sizeof(s.Server_Type), work);
    DWORD port = 0;
    if (service.Read("Config_Port", port) == ERROR_SUCCESS)
        s.Config_Port = static_cast<unsigned short>(port & 0xFFFF);
    service.Close();

    CRegKey scanner;
    if (scanner.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1) != ERROR_SUCCESS) {
        LogMessage(IDS_OPEN_REGISTRY_FAILED, EVENTLOG_ERROR_TYPE, SCANNER_KEY);
        return;
    }
    ReadText(scanner, "Install_Path", s.Install_Path, sizeof(s.Install_Path), work);
    ReadText(scanner, "Quarantine_Path", s.Quarantine_Path, sizeof(s.Quarantine_Path), work);
    ReadText(scanner, "Log_Path", s.Log_Path, sizeof(s.Log_Path), work);
    ReadText(scanner, "BLOCKED_MAIL_PATH", s.BLOCKED_MAIL_PATH, sizeof(s.BLOCKED_MAIL_PATH), work);
    ReadText(scanner, "FILTER_MAIL_PATH", s.FILTER_MAIL_PATH, sizeof(s.FILTER_MAIL_PATH), work);
    ReadText(scanner, "Deferred_Mail_Path", s.Deferred_Mail_Path, sizeof(s.Deferred_Mail_Path),
             work);
    ReadText(scanner, "Supported_Attachments", s.Supported_Attachments,
             sizeof(s.Supported_Attachments), work);
    scanner.Close();
}
