// The service's own settings as ReadSettings loads them.
#include "regkey/RegKey.h"
#include "pellion/MailProxyServiceClass.h"
#include "service/Settings.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Names the values of a key, to see that nothing was written.
int ValueCount(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return -1;
    int count = 0;
    char name[256];
    DWORD size = sizeof(name);
    while (RegEnumValueA(key, static_cast<DWORD>(count), name, &size, nullptr, nullptr, nullptr,
                         nullptr) == ERROR_SUCCESS) {
        ++count;
        size = sizeof(name);
    }
    RegCloseKey(key);
    return count;
}

TEST(ReadSettings, MissingKeysAreCreatedEmptyAndEveryDefaultHolds) {
    vtest::TempRoot root;
    g_Settings.Config_Port = 1;
    MailProxyServiceClass service;
    service.ReadSettings();
    EXPECT_EQ(ValueCount(SERVICE_KEY), 0);
    EXPECT_EQ(ValueCount(SCANNER_KEY), 0);
    const ServiceSettings& s = g_Settings;
    EXPECT_STREQ(s.Allowed_Clients, "localhost");
    EXPECT_STREQ(s.Server_Type, "NT_SMTP");
    EXPECT_EQ(s.Config_Port, 9999);
    EXPECT_STREQ(s.Install_Path, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\");
    EXPECT_STREQ(s.Quarantine_Path, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\");
    EXPECT_STREQ(s.Log_Path, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Log\\");
    EXPECT_STREQ(s.BLOCKED_MAIL_PATH, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Blocked\\");
    EXPECT_STREQ(s.FILTER_MAIL_PATH, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Filter\\");
    EXPECT_STREQ(s.Deferred_Mail_Path,
                 "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Deferred\\");
    EXPECT_STREQ(s.Supported_Attachments,
                 "application application/octet-stream text text/html text/enriched text/plain");
}

TEST(ReadSettings, StoredValuesReplaceDefaultsAndPortKeepsLow16Bits) {
    vtest::TempRoot root;
    {
        CRegKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1), ERROR_SUCCESS);
        key.Write("Config_Port", static_cast<DWORD>(70000));
        key.Write("Server_Type", "");
        key.Write("Allowed_Clients", std::string(600, 'a').c_str());
        CRegKey scanner;
        ASSERT_EQ(scanner.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
        scanner.Write("Log_Path", "D:\\Logs\\");
    }
    MailProxyServiceClass service;
    service.ReadSettings();
    EXPECT_EQ(g_Settings.Config_Port, 4464);
    EXPECT_STREQ(g_Settings.Server_Type, "");
    // An overlong list is cut at the setting's capacity.
    EXPECT_EQ(std::string(g_Settings.Allowed_Clients), std::string(499, 'a'));
    EXPECT_STREQ(g_Settings.Log_Path, "D:\\Logs\\");
    EXPECT_STREQ(g_Settings.Install_Path, "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\");
}

TEST(ReadSettings, EveryReadStartsFromTheDefaults) {
    vtest::TempRoot root;
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write("Server_Type", "GATEWAY");
    }
    MailProxyServiceClass service;
    service.ReadSettings();
    EXPECT_STREQ(g_Settings.Server_Type, "GATEWAY");
    {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.DeleteValue("Server_Type");
    }
    service.ReadSettings();
    EXPECT_STREQ(g_Settings.Server_Type, "NT_SMTP");
}

} // namespace
