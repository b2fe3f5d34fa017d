// The registry behaviour of Windows that the system relies on, stated through
// the Win32 calls: what Pellion's settings, the scanner settings save and the
// service database expect of RegCreateKeyEx and its siblings.
#include "platform/win32.h"
#include "support/TempRoot.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

HKEY Create(HKEY root, const char* path, DWORD* disposition = nullptr) {
    HKEY h = nullptr;
    LONG status = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &h, disposition);
    EXPECT_EQ(ERROR_SUCCESS, status) << path;
    return h;
}

LONG SetString(HKEY h, const char* name, const std::string& text) {
    return RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG SetDword(HKEY h, const char* name, DWORD value) {
    return RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

// The value's type and bytes, or the status of the failed query.
LONG Read(HKEY h, const char* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    LONG status = RegQueryValueExA(h, name, nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return status;
    data->assign(size, 0xEE);
    return RegQueryValueExA(h, name, nullptr, type, data->data(), &size);
}

std::vector<std::string> Subkeys(HKEY h) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof(name);
        LONG status = RegEnumKeyExA(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_NO_MORE_ITEMS, status);
            break;
        }
        EXPECT_EQ(strlen(name), cch);
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> ValueNames(HKEY h) {
    std::vector<std::string> names;
    char name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof(name);
        LONG status = RegEnumValueA(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_NO_MORE_ITEMS, status);
            break;
        }
        names.push_back(name);
    }
    return names;
}

TEST(RegistryKeys, CreateMakesMissingParentsAndReportsDisposition) {
    vtest::TempRoot root;
    DWORD disposition = 0;
    HKEY deep =
        Create(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    RegCloseKey(deep);

    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel", 0, KEY_READ, &parent));
    RegCloseKey(parent);

    disposition = 0;
    RegCloseKey(
        Create(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    disposition = 0;
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Corvane", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    // One new name at the end of an existing path is new.
    disposition = 0;
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Corvane\\AutoUpd", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
}

TEST(RegistryKeys, NamesCompareWithoutCaseAndKeepTheCaseTheyWereMadeWith) {
    vtest::TempRoot root;
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\Pellion"));

    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\vantry smtp\\PELLION", 0,
                                           KEY_ALL_ACCESS, &h));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "Config_Port", 4005));
    RegCloseKey(h);

    DWORD disposition = 0;
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "software\\VANTRY SMTP", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);

    HKEY software = Create(HKEY_LOCAL_MACHINE, "Software");
    EXPECT_EQ(std::vector<std::string>{"Vantry SMTP"}, Subkeys(software));
    RegCloseKey(software);

    // A value written again under another case keeps its first name.
    HKEY pellion = Create(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\Pellion");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(pellion, "CONFIG_PORT", 4006));
    EXPECT_EQ(std::vector<std::string>{"Config_Port"}, ValueNames(pellion));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(pellion, "config_port", &type, &data));
    DWORD port = 0;
    ASSERT_EQ(4u, data.size());
    memcpy(&port, data.data(), 4);
    EXPECT_EQ(4006u, port);
    RegCloseKey(pellion);
}

TEST(RegistryKeys, SubkeysAreListedInNameOrderAndEnumerationEnds) {
    vtest::TempRoot root;
    HKEY parent = Create(HKEY_CURRENT_USER, "Rules");
    for (const char* name : {"Filter_Rule_2", "filter_rule_10", "Filter_Rule_1"})
        RegCloseKey(Create(parent, name));
    EXPECT_EQ((std::vector<std::string>{"Filter_Rule_1", "filter_rule_10", "Filter_Rule_2"}),
              Subkeys(parent));

    char small[4];
    DWORD cch = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExA(parent, 0, small, &cch, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(parent);
}

// A handle does what its access allows: a key opened to read refuses writes,
// one opened to write refuses reads.
TEST(RegistryKeys, AHandleGrantsTheAccessItWasOpenedWith) {
    vtest::TempRoot root;
    HKEY full = Create(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\Pellion");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(full, "Config_Port", 9999));
    RegCloseKey(Create(full, "Child"));
    RegCloseKey(full);

    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\Pellion", 0,
                                           KEY_READ, &reader));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(reader, "Config_Port", 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(reader, "Config_Port"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(reader, "Config_Port", &type, &data));
    ASSERT_EQ(4u, data.size());
    EXPECT_EQ(9999u, *reinterpret_cast<DWORD*>(data.data()));
    EXPECT_EQ(std::vector<std::string>{"Child"}, Subkeys(reader));
    EXPECT_EQ(std::vector<std::string>{"Config_Port"}, ValueNames(reader));
    RegCloseKey(reader);

    HKEY writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\Pellion", 0,
                                           KEY_WRITE, &writer));
    EXPECT_EQ(ERROR_SUCCESS, SetDword(writer, "Config_Port", 4005));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Read(writer, "Config_Port", &type, &data));
    char name[32];
    DWORD cch = sizeof(name);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegEnumKeyExA(writer, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(writer, "Config_Port"));
    RegCloseKey(writer);
}

TEST(RegistryKeys, MissingKeyIsFileNotFound) {
    vtest::TempRoot root;
    HKEY h = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nowhere", 0, KEY_READ, &h));
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Somewhere"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Somewhere\\Deeper", 0, KEY_READ, &h));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Nowhere"));
}

TEST(RegistryKeys, KeyWithSubkeysCannotBeDeleted) {
    vtest::TempRoot root;
    HKEY rule = Create(HKEY_LOCAL_MACHINE, "Software\\Drennic\\Filter_Rule_0");
    ASSERT_EQ(ERROR_SUCCESS, SetString(rule, "Rule", "virus"));
    RegCloseKey(rule);

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Drennic"));
    HKEY still = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Drennic\\Filter_Rule_0",
                                           0, KEY_READ, &still));
    RegCloseKey(still);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\drennic\\filter_rule_0"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Drennic"));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Drennic", 0, KEY_READ, &gone));
    // Its values went with it: a new key of the same name starts empty.
    HKEY again = Create(HKEY_LOCAL_MACHINE, "Software\\Drennic\\Filter_Rule_0");
    EXPECT_TRUE(ValueNames(again).empty());
    RegCloseKey(again);
}

TEST(RegistryKeys, HandleOfDeletedKeyReportsKeyDeleted) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Doomed");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "A", 1));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Doomed"));

    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(ERROR_KEY_DELETED, SetDword(h, "A", 2));
    EXPECT_EQ(ERROR_KEY_DELETED, Read(h, "A", &type, &data));
    // Made again under the same path, it is another key: the old handle
    // still refers to the deleted one.
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Doomed"));
    EXPECT_EQ(ERROR_KEY_DELETED, SetDword(h, "A", 3));
    HKEY child = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegCreateKeyExA(h, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));
}

TEST(RegistryKeys, HandlesRelativeToOpenKeysAndRoots) {
    vtest::TempRoot root;
    HKEY product = Create(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP");

    // An empty subkey opens the same key again.
    HKEY same = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(product, "", 0, KEY_ALL_ACCESS, &same));
    ASSERT_EQ(ERROR_SUCCESS, SetString(same, "Version", "5.1"));
    HKEY alsoSame = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(product, nullptr, 0, KEY_ALL_ACCESS, &alsoSame));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(alsoSame, "Version", &type, &data));
    EXPECT_EQ(std::string("5.1", 4), std::string(data.begin(), data.end()));

    // A key relative to an open key is the same as the full path from the root.
    RegCloseKey(Create(product, "AutoUpd"));
    HKEY autoUpd = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vantry SMTP\\AutoUpd", 0,
                                           KEY_READ, &autoUpd));

    // The roots are distinct trees.
    HKEY user = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vantry SMTP", 0, KEY_READ, &user));

    for (HKEY k : {product, same, alsoSame, autoUpd})
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(k));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(product));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
}

TEST(RegistryKeys, MalformedPathsAndHandlesAreRefused) {
    vtest::TempRoot root;
    HKEY h = nullptr;
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, nullptr, 0,
                                                  KEY_ALL_ACCESS, nullptr, &h, nullptr));
    // Wine accepts an empty name between two backslashes and a 256-character
    // name; the POSIX layer refuses both (a key name is 1 to 255 characters).
    if (!vtest::UnderWine()) {
        EXPECT_EQ(ERROR_BAD_PATHNAME,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\X", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &h, nullptr));
        std::string longName(256, 'k');
        EXPECT_EQ(ERROR_INVALID_PARAMETER,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &h, nullptr));
    }
#ifndef _WIN32
    // (On Windows the test's HKEY_LOCAL_MACHINE is an ordinary key that
    // TempRoot stands in for the machine's, and may be deleted.)
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
#endif
    int notAKey = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegOpenKeyExA(reinterpret_cast<HKEY>(&notAKey), "X", 0, KEY_READ, &h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
}

TEST(RegistryKeys, WideNamesMeetTheNarrowNames) {
    vtest::TempRoot root;
    HKEY wide = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, WIDE("Software\\Vantry SMTP\\Gr\u00f6\u00dfe"), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &wide, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    // The text of a wide write is stored as the UTF-16 bytes it was given.
    const char16_t text[] = u"C:\\Quennel";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(wide, WIDE("Install_Path"), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(text), sizeof(text)));
    RegCloseKey(wide);

    // A narrow name is text of the ANSI code page on Windows (1252); the POSIX
    // layer takes narrow names as UTF-8. A value's text is converted between
    // the two calls on both.
#ifdef _WIN32
    const char* narrowName = "software\\vantry smtp\\Gr\xF6\xDF"
                             "e";
#else
    const char* narrowName = "software\\vantry smtp\\Gr\xC3\xB6\xC3\x9F"
                             "e";
#endif
    HKEY narrow = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, narrowName, 0, KEY_ALL_ACCESS, &narrow));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(narrow, "INSTALL_PATH", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::string("C:\\Quennel", sizeof("C:\\Quennel")),
              std::string(data.begin(), data.end()));
    WCHAR back[32] = {0};
    DWORD backSize = sizeof(back);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(narrow, WIDE("INSTALL_PATH"), nullptr, &type,
                                              reinterpret_cast<BYTE*>(back), &backSize));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    ASSERT_EQ(sizeof(text), backSize);
    EXPECT_EQ(0, memcmp(text, back, sizeof(text)));

    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(narrow, WIDE("install_path"), nullptr, &type, nullptr, &size));
    EXPECT_EQ(sizeof(text), size);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(narrow, WIDE("Install_Path")));
    RegCloseKey(narrow);
    EXPECT_EQ(ERROR_SUCCESS,
              RegDeleteKeyW(HKEY_LOCAL_MACHINE, WIDE("Software\\Vantry SMTP\\GR\u00f6\u00dfE")));
}

// The value's type and bytes through the wide call, or the failed status.
LONG ReadWide(HKEY h, const WCHAR* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    LONG status = RegQueryValueExW(h, name, nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return status;
    data->assign(size, 0xEE);
    status = RegQueryValueExW(h, name, nullptr, type, data->data(), &size);
    data->resize(size);
    return status;
}

LONG SetWide(HKEY h, const WCHAR* name, DWORD type, const std::u16string& text) {
    return RegSetValueExW(h, name, 0, type, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * 2));
}

std::vector<BYTE> BytesOf(const std::u16string& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(p, p + text.size() * 2);
}

std::vector<BYTE> BytesOf(const std::string& text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

// Windows keeps a text value as UTF-16: a narrow call hands it over in the
// ANSI code page (1252) and a wide call as UTF-16, whichever call wrote it.
// The scanner's install path, written by the narrow calls, is what the
// plug-in's update reaction reads through the wide ones.
TEST(RegistryValues, TextWrittenThroughOneWidthReadsThroughTheOther) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Widths");
    DWORD type = 0;
    std::vector<BYTE> data;

    // Narrow in, wide out: each byte of 1252 becomes its character.
    const std::string narrow("C:\\Programme\\Vantry \xE9\x80",
                             sizeof("C:\\Programme\\Vantry \xE9\x80"));
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "Install_Path", narrow.c_str()));
    ASSERT_EQ(ERROR_SUCCESS, ReadWide(h, WIDE("Install_Path"), &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    const std::u16string wide(u"C:\\Programme\\Vantry \u00e9\u20ac", narrow.size());
    EXPECT_EQ(BytesOf(wide), data);
    // A buffer one character short: the size in full, and nothing more.
    BYTE small[64];
    DWORD size = static_cast<DWORD>(wide.size() * 2 - 2);
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExW(h, WIDE("Install_Path"), nullptr, &type, small, &size));
    EXPECT_EQ(wide.size() * 2, size);
    // The narrow call still has the bytes it wrote.
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Install_Path", &type, &data));
    EXPECT_EQ(BytesOf(narrow), data);

    // Wide in, narrow out, for each text type; a character 1252 lacks
    // becomes '?'.
    const DWORD textTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ};
    for (DWORD textType : textTypes) {
        SCOPED_TRACE(textType);
        const std::u16string text(u"D:\\Gr\u00fc\u00dfe\u4e2d\0zwei\0", 15);
        ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Folder"), textType, text));
        ASSERT_EQ(ERROR_SUCCESS, Read(h, "Folder", &type, &data));
        EXPECT_EQ(textType, type);
        EXPECT_EQ(BytesOf(std::string("D:\\Gr\xFC\xDF"
                                      "e?\0zwei\0",
                                      15)),
                  data);
        size = static_cast<DWORD>(data.size() - 1);
        EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(h, "Folder", nullptr, &type, small, &size));
        EXPECT_EQ(15u, size);
        ASSERT_EQ(ERROR_SUCCESS, ReadWide(h, WIDE("Folder"), &type, &data));
        EXPECT_EQ(BytesOf(text), data);
    }
    // An empty text stays empty either way.
    ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Empty"), REG_SZ, std::u16string()));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Empty", &type, &data));
    EXPECT_TRUE(data.empty());

    // Other types are bytes, never converted.
    const std::u16string raw(u"\u00e9\u4e2d", 2);
    ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Blob"), REG_BINARY, raw));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Blob", &type, &data));
    EXPECT_EQ(BytesOf(raw), data);
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "Count", 0x00E900E9));
    ASSERT_EQ(ERROR_SUCCESS, ReadWide(h, WIDE("Count"), &type, &data));
    EXPECT_EQ(BytesOf(std::string("\xE9\x00\xE9\x00", 4)), data);

    // The last write decides: wide, then narrow, then wide again.
    ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Mode"), REG_SZ, std::u16string(u"\u00e9", 2)));
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "Mode", "\xFC"));
    ASSERT_EQ(ERROR_SUCCESS, ReadWide(h, WIDE("Mode"), &type, &data));
    EXPECT_EQ(BytesOf(std::u16string(u"\u00fc", 2)), data);
    ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Mode"), REG_SZ, std::u16string(u"\u20ac", 2)));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Mode", &type, &data));
    EXPECT_EQ(BytesOf(std::string("\x80", 2)), data);

    // Enumeration is a narrow call too (Wine lists in another order).
    DWORD folderSize = 0;
    for (DWORD i = 0;; ++i) {
        char name[32];
        DWORD nameSize = sizeof(name);
        BYTE value[64];
        DWORD valueSize = sizeof(value);
        if (RegEnumValueA(h, i, name, &nameSize, nullptr, &type, value, &valueSize) !=
            ERROR_SUCCESS)
            break;
        if (strcmp(name, "Folder") == 0)
            folderSize = valueSize;
    }
    EXPECT_EQ(15u, folderSize);
    RegCloseKey(h);
}

TEST(RegistryValues, QuerySizesFollowTheWindowsRules) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Values");
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "Allowed_Clients", "mailhost,backup"));

    // No buffer: the size and type, and success.
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(h, "Allowed_Clients", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(16u, size);

    // A buffer too small: ERROR_MORE_DATA with the size needed, and nothing
    // written past the buffer.
    BYTE buffer[8 + 4];
    memset(buffer, 0xAB, sizeof(buffer));
    size = 8;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExA(h, "Allowed_Clients", nullptr, &type, buffer, &size));
    EXPECT_EQ(16u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    for (size_t i = 8; i < sizeof(buffer); ++i)
        EXPECT_EQ(0xAB, buffer[i]);

    // A DWORD read of a longer value fails the same way (as CRegKey relies on).
    DWORD number = 7;
    size = sizeof(number);
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(h, "Allowed_Clients", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&number), &size));
    EXPECT_EQ(16u, size);

    // An exact fit succeeds and gives the size stored.
    BYTE exact[16];
    size = sizeof(exact);
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(h, "Allowed_Clients", nullptr, nullptr, exact, &size));
    EXPECT_EQ(16u, size);
    EXPECT_STREQ("mailhost,backup", reinterpret_cast<char*>(exact));

    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(h, "Allowed_Clients", nullptr, nullptr, exact, nullptr));
    RegCloseKey(h);
}

TEST(RegistryValues, MissingValueIsFileNotFound) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Values");
    DWORD number = 42;
    DWORD size = sizeof(number);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(h, "Config_Port", nullptr, nullptr,
                                                     reinterpret_cast<BYTE*>(&number), &size));
    EXPECT_EQ(42u, number);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(h, "Config_Port"));

    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "Config_Port", 4005));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(h, "CONFIG_port"));
    size = sizeof(number);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(h, "Config_Port", nullptr, nullptr,
                                                     reinterpret_cast<BYTE*>(&number), &size));
    RegCloseKey(h);
}

TEST(RegistryValues, DataIsKeptByteForByteWithItsType) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Drennic");

    // The longest text the settings read: 76,798 characters and the zero.
    std::string blockList(76798, 'x');
    for (size_t i = 0; i < blockList.size(); i += 97)
        blockList[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "SMTP_BLOCK_LIST", blockList));

    const BYTE odd[] = {0x00, 0xFF, 0x00, 0x7F, 0x80, 0x0A, 0x0D, 0x00};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(h, "Odd", 0, 0x12345, odd, sizeof(odd)));
    const unsigned long long big = 0x0123456789ABCDEFull;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(h, "Big", 0, REG_QWORD,
                                            reinterpret_cast<const BYTE*>(&big), sizeof(big)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(h, "Empty", 0, REG_BINARY, nullptr, 0));
    // A REG_SZ without its terminator stays without it. (Windows adds one
    // when the byte after the counted data is a zero, reading past the count;
    // so the data here goes on after the count.)
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(h, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcd"), 3));

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "smtp_block_list", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    ASSERT_EQ(76799u, data.size());
    EXPECT_EQ(0, memcmp(blockList.c_str(), data.data(), 76799));

    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Odd", &type, &data));
    EXPECT_EQ(0x12345u, type);
    EXPECT_EQ(std::vector<BYTE>(odd, odd + sizeof(odd)), data);

    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Big", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
    ASSERT_EQ(8u, data.size());
    EXPECT_EQ(0, memcmp(&big, data.data(), 8));

    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Empty", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_TRUE(data.empty());

    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Bare", &type, &data));
    EXPECT_EQ((std::vector<BYTE>{'a', 'b', 'c'}), data);

    // Rewriting changes type and size together.
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "Odd", 9));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Odd", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(4u, data.size());

    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(h, "Broken", 0, REG_BINARY, nullptr, 4));
    RegCloseKey(h);
}

TEST(RegistryValues, DefaultValueIsTheNullOrEmptyName) {
    vtest::TempRoot root;
    HKEY h = Create(HKEY_CLASSES_ROOT, ".eml");
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, nullptr, "message/rfc822"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "", &type, &data));
    EXPECT_STREQ("message/rfc822", reinterpret_cast<char*>(data.data()));
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "", "text/plain"));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, nullptr, &type, &data));
    EXPECT_STREQ("text/plain", reinterpret_cast<char*>(data.data()));
    EXPECT_EQ(std::vector<std::string>{""}, ValueNames(h));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(h, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Read(h, "", &type, &data));
    RegCloseKey(h);
}

TEST(RegistryValues, EnumerationGivesValuesInTheOrderTheyWereMade) {
    if (vtest::UnderWine()) {
        GTEST_SKIP() << "Wine lists the values of a key in name order, Windows in the order made";
    }
    vtest::TempRoot root;
    HKEY h = Create(HKEY_LOCAL_MACHINE, "Software\\Order");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "SMTP_SEND_PORT", 25));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "SMTP_READ_PORT", 25));
    ASSERT_EQ(ERROR_SUCCESS, SetString(h, "SMTP_MAIL_EXCLUDE_SENDER", ""));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, "smtp_send_port", 2525)); // rewrite keeps its place
    EXPECT_EQ(
        (std::vector<std::string>{"SMTP_SEND_PORT", "SMTP_READ_PORT", "SMTP_MAIL_EXCLUDE_SENDER"}),
        ValueNames(h));

    char name[32];
    DWORD cch = sizeof(name);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(h, 0, name, &cch, nullptr, &type,
                                           reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(14u, cch);
    EXPECT_EQ(2525u, value);
    BYTE tiny[2];
    size = sizeof(tiny);
    cch = sizeof(name);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(h, 1, name, &cch, nullptr, &type, tiny, &size));
    EXPECT_EQ(4u, size);
    char shortName[5];
    cch = sizeof(shortName);
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumValueA(h, 0, shortName, &cch, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(h);
}

#ifndef _WIN32
// Processes forked with the registry open are the POSIX layer's own concern
// (its database connection across fork); Windows has no fork.
// Each child writes its own values into one key through its own connection;
// the parent has the registry open across the fork, as a service that starts
// helpers would.
// A registry file made before values kept the width of their text holds only
// narrow writes; it is taken up as it is, and those texts read through the
// wide calls converted.
TEST(RegistryFile, AFileOfTheEarlierLayoutIsUpgradedAndItsTextsAreNarrow) {
    vtest::TempRoot root;
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root.path() + "/registry.db").c_str(), &db));
    const char* earlier =
        "CREATE TABLE reg_keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name TEXT NOT NULL, fold TEXT NOT NULL, created INTEGER NOT NULL DEFAULT 0,"
        " UNIQUE(parent, fold));"
        "CREATE TABLE reg_values(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
        " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
        "INSERT INTO reg_keys(id, parent, name, fold) VALUES (1, 0, 'HKEY_CLASSES_ROOT',"
        " 'hkey_classes_root'), (2, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
        " (3, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'), (4, 0, 'HKEY_USERS', 'hkey_users'),"
        " (5, 3, 'Drennic', 'drennic');"
        "INSERT INTO reg_values(key, name, fold, type, data) VALUES"
        " (5, 'Install_Path', 'install_path', 1, X'433A5CE900');";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, earlier, nullptr, nullptr, nullptr));
    sqlite3_close(db);

    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, WIDE("Drennic"), 0, KEY_ALL_ACCESS, &h));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, ReadWide(h, WIDE("Install_Path"), &type, &data));
    EXPECT_EQ(BytesOf(std::u16string(u"C:\\\u00e9", 5)), data);
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Install_Path", &type, &data));
    EXPECT_EQ(BytesOf(std::string("C:\\\xE9", 5)), data);
    // New writes of either width go on working in the upgraded file.
    ASSERT_EQ(ERROR_SUCCESS, SetWide(h, WIDE("Install_Path"), REG_SZ, std::u16string(u"D:\\", 4)));
    ASSERT_EQ(ERROR_SUCCESS, Read(h, "Install_Path", &type, &data));
    EXPECT_EQ(BytesOf(std::string("D:\\", 4)), data);
    RegCloseKey(h);
}

TEST(RegistryProcesses, TwoProcessesWritingOneKeyLoseNothing) {
    vtest::TempRoot root;
    HKEY shared = Create(HKEY_LOCAL_MACHINE, "Software\\Shared");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(shared, "Before", 1));
    const int kPerChild = 400;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) {
            HKEY h = nullptr;
            int failures = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS)
                _exit(100);
            for (int i = 0; i < kPerChild; ++i) {
                std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
                DWORD v = static_cast<DWORD>(c * 100000 + i);
                if (RegSetValueExA(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                                   4) != ERROR_SUCCESS)
                    ++failures;
            }
            RegCloseKey(h);
            _exit(failures > 0 ? 1 : 0);
        }
        children[c] = pid;
    }
    // The parent writes meanwhile too.
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ERROR_SUCCESS, SetDword(shared, ("parent_" + std::to_string(i)).c_str(), i));
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    EXPECT_EQ(1u + 100u + 2u * kPerChild, ValueNames(shared).size());
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < kPerChild; ++i) {
            std::string name = "P" + std::to_string(c) + "_" + std::to_string(i);
            DWORD v = 0;
            DWORD size = sizeof(v);
            ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(shared, name.c_str(), nullptr, nullptr,
                                                      reinterpret_cast<BYTE*>(&v), &size))
                << name;
            EXPECT_EQ(static_cast<DWORD>(c * 100000 + i), v);
        }
    }
    RegCloseKey(shared);
}

// Two processes that meet a fresh root at the same moment both make the
// database; neither may fail.
TEST(RegistryProcesses, ProcessesStartingOnAFreshRootTogetherBothSucceed) {
    vtest::TempRoot root;
    pid_t children[4];
    for (int c = 0; c < 4; ++c) {
        pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) {
            HKEY h = nullptr;
            std::string path = "Software\\Start\\C" + std::to_string(c);
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &h, nullptr) != ERROR_SUCCESS)
                _exit(1);
            DWORD v = static_cast<DWORD>(c);
            LONG status =
                RegSetValueExA(h, "N", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
            RegCloseKey(h);
            _exit(status == ERROR_SUCCESS ? 0 : 2);
        }
        children[c] = pid;
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY start = Create(HKEY_LOCAL_MACHINE, "Software\\Start");
    EXPECT_EQ((std::vector<std::string>{"C0", "C1", "C2", "C3"}), Subkeys(start));
    RegCloseKey(start);
}

// A write of this process that waits for another process's write lock.
struct BlockedWrite {
    HKEY key;
    LONG status;
    DWORD took;
};

DWORD WINAPI WriteWhileLocked(LPVOID param) {
    BlockedWrite* w = static_cast<BlockedWrite*>(param);
    DWORD start = GetTickCount();
    w->status = SetDword(w->key, "Late", 1);
    w->took = GetTickCount() - start;
    return 0;
}

// Another process holds the registry's write lock. Reads of this process, and
// the create of a key that is there, go on at once, also while a thread of
// this process waits for the lock in a write; only that write waits, and
// fails when the lock outlasts its wait.
TEST(RegistryProcesses, ReadsAndOpeningAnExistingKeyDoNotWaitForAnotherProcesssWriter) {
    vtest::TempRoot root;
    HKEY child = Create(HKEY_LOCAL_MACHINE, "Software\\Locked\\Child");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(child, "Value", 7));
    int ready[2], release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    pid_t locker = fork();
    ASSERT_NE(-1, locker);
    if (locker == 0) {
        sqlite3* db = nullptr;
        bool ok = sqlite3_open((root.path() + "/registry.db").c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        char c = ok ? '1' : '0';
        if (write(ready[1], &c, 1) == 1 && ok)
            (void)!read(release[0], &c, 1); // held until the test lets go (or ends)
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    ASSERT_EQ('1', c);

    BlockedWrite blocked = {child, ERROR_SUCCESS, 0};
    HANDLE writer = CreateThread(nullptr, 0, WriteWhileLocked, &blocked, 0, nullptr);
    ASSERT_NE(nullptr, writer);
    struct Read {
        const char* what;
        bool (*run)();
    };
    const Read reads[] = {
        {"create of a key that is there",
         [] {
             HKEY h = nullptr;
             DWORD disposition = 0;
             bool ok =
                 RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Child", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &h, &disposition) == ERROR_SUCCESS &&
                 disposition == REG_OPENED_EXISTING_KEY;
             return RegCloseKey(h) == ERROR_SUCCESS && ok;
         }},
        {"open and query",
         [] {
             HKEY h = nullptr;
             DWORD v = 0, size = sizeof(v);
             bool ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Child", 0, KEY_READ,
                                     &h) == ERROR_SUCCESS &&
                       RegQueryValueExA(h, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                                        &size) == ERROR_SUCCESS &&
                       v == 7;
             RegCloseKey(h);
             return ok;
         }},
        {"enumeration",
         [] {
             HKEY h = nullptr;
             char name[64];
             DWORD cch = sizeof(name);
             bool ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked", 0, KEY_READ, &h) ==
                           ERROR_SUCCESS &&
                       RegEnumKeyExA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
                           ERROR_SUCCESS &&
                       std::string(name) == "Child";
             RegCloseKey(h);
             return ok;
         }},
        {"snapshot",
         [] {
             HKEY h = nullptr;
             DWORD v = 0, size = sizeof(v);
             bool ok = RegBeginSnapshotV() == ERROR_SUCCESS &&
                       RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Child", 0, KEY_READ,
                                     &h) == ERROR_SUCCESS &&
                       RegQueryValueExA(h, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                                        &size) == ERROR_SUCCESS &&
                       v == 7;
             RegCloseKey(h);
             return RegCommitTransactionV() == ERROR_SUCCESS && ok;
         }},
    };
    // Round after round for as long as the writer waits.
    DWORD worst[4] = {0, 0, 0, 0};
    int rounds = 0;
    while (WaitForSingleObject(writer, 0) == WAIT_TIMEOUT) {
        for (size_t i = 0; i < 4; ++i) {
            DWORD start = GetTickCount();
            EXPECT_TRUE(reads[i].run()) << reads[i].what;
            DWORD took = GetTickCount() - start;
            worst[i] = took > worst[i] ? took : worst[i];
        }
        ++rounds;
    }
    CloseHandle(writer);
    EXPECT_NE(ERROR_SUCCESS, blocked.status);
    EXPECT_GE(blocked.took, 9000u); // it did wait for the lock
    EXPECT_GT(rounds, 1);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_LT(worst[i], 2000u) << reads[i].what;

    // Let go: writes go through again, and the failed one left nothing.
    ASSERT_EQ(1, write(release[1], "x", 1));
    int status = 0;
    ASSERT_EQ(locker, waitpid(locker, &status, 0));
    EXPECT_EQ(ERROR_SUCCESS, SetDword(child, "After", 2));
    EXPECT_EQ((std::vector<std::string>{"Value", "After"}), ValueNames(child));
    RegCloseKey(child);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}

#endif

// Threads of one process share the process's connection; each call is whole.
struct WriterThread {
    HKEY shared;
    int index;
    int failures;
};

DWORD WINAPI WriteValues(LPVOID param) {
    WriterThread* w = static_cast<WriterThread*>(param);
    for (int i = 0; i < 150; ++i) {
        std::string name = "t" + std::to_string(w->index) + "_" + std::to_string(i);
        if (SetString(w->shared, name.c_str(), name) != ERROR_SUCCESS)
            ++w->failures;
        // Keys opened and closed meanwhile, as per-request settings loads do.
        HKEY own = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Threads", 0, KEY_READ, &own) !=
                ERROR_SUCCESS ||
            RegCloseKey(own) != ERROR_SUCCESS)
            ++w->failures;
    }
    return 0;
}

TEST(RegistryProcesses, ThreadsOfOneProcessWritingAtOnceLoseNothing) {
    vtest::TempRoot root;
    HKEY shared = Create(HKEY_LOCAL_MACHINE, "Software\\Threads");
    WriterThread writers[4];
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t) {
        writers[t] = WriterThread{shared, t, 0};
        threads[t] = CreateThread(nullptr, 0, WriteValues, &writers[t], 0, nullptr);
        ASSERT_NE(nullptr, threads[t]);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, threads, TRUE, 60000));
    for (int t = 0; t < 4; ++t) {
        CloseHandle(threads[t]);
        EXPECT_EQ(0, writers[t].failures) << t;
    }
    EXPECT_EQ(600u, ValueNames(shared).size());
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Read(shared, "T3_149", &type, &data));
    EXPECT_STREQ("t3_149", reinterpret_cast<char*>(data.data()));
    RegCloseKey(shared);
}

} // namespace
