// The service's own settings: loaded once at start-up from the service key and
// the scanner key, held for the life of the process.
#ifndef VANTRY_SERVICE_SETTINGS_H
#define VANTRY_SERVICE_SETTINGS_H

#include <cstddef>

#define PRODUCT_KEY "Software\\Corvane\\Ostel\\Vantry SMTP"
#define SERVICE_KEY PRODUCT_KEY "\\Pellion"
#define SCANNER_KEY PRODUCT_KEY "\\Drennic"

// Each field is known by its registry value name. Texts longer than a field
// are cut at its capacity.
struct ServiceSettings {
    char Allowed_Clients[500];
    char Server_Type[200];
    unsigned short Config_Port;
    char Install_Path[200];
    char Quarantine_Path[200];
    char Log_Path[200];
    char BLOCKED_MAIL_PATH[200];
    char FILTER_MAIL_PATH[200];
    char Deferred_Mail_Path[200];
    char Supported_Attachments[1024];
};

extern ServiceSettings g_Settings;

// Sets every setting to its default.
void SetDefaultSettings();

// Takes an Allowed_Clients value read from the registry into setting (size
// bytes). A value longer than the setting holds is cut there; the first time
// a given overlong value is seen it is reported with a warning (message 30),
// so that an administrator learns why the names at its end are not admitted
// without a warning for every connection.
void TakeAllowedClients(const char* value, char* setting, size_t size);

// Loads g_Settings: every default first, then whatever the service key and the
// scanner key hold. A key that cannot be opened is logged and keeps the defaults.
void ReadServiceSettings();

#endif
