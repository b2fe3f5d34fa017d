// The registry tool as an administrator runs it: the built vantry-reg program
// against the test's own platform root, checked through the Win32 calls.
#include "platform/win32.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#ifdef VANTRY_REG_TOOL

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs vantry-reg with args, each passed as one word.
ToolRun Reg(const vtest::TempRoot& root, const std::vector<std::string>& args) {
    std::string cmd = std::string("'") + VANTRY_REG_TOOL + "'";
    for (const std::string& a : args) {
        std::string quoted = "'";
        for (char c : a)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += " " + quoted + "'";
    }
    std::string out = root.path() + "/reg.out";
    std::string err = root.path() + "/reg.err";
    cmd += " >'" + out + "' 2>'" + err + "'";
    ToolRun run;
    int status = std::system(cmd.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = Slurp(out);
    run.err = Slurp(err);
    return run;
}

struct Stored {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Stored& o) const { return type == o.type && data == o.data; }
};

// Every key (with the case it was made with) and value below path, so that
// two registries can be compared whole.
void Snapshot(HKEY root, const std::string& path, std::map<std::string, Stored>* values,
              std::vector<std::string>* keys) {
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h)) << path;
    keys->push_back(path);
    std::vector<char> name(16384);
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        LONG status = RegEnumValueA(h, i, name.data(), &cch, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(ERROR_SUCCESS, status);
        Stored s{type, std::vector<BYTE>(size)};
        cch = static_cast<DWORD>(name.size());
        ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(h, i, name.data(), &cch, nullptr, &s.type,
                                               size ? s.data.data() : nullptr, &size));
        (*values)[path + "|" + std::string(name.data(), cch)] = s;
    }
    std::vector<std::string> subkeys;
    char sub[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof(sub);
        if (RegEnumKeyExA(h, i, sub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.push_back(sub);
    }
    RegCloseKey(h);
    for (const std::string& s : subkeys)
        Snapshot(root, path + "\\" + s, values, keys);
}

LONG QueryValue(const char* path, const char* name, DWORD* type, std::vector<BYTE>* data) {
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD size = 0;
    status = RegQueryValueExA(h, name, nullptr, type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data->resize(size);
        status = RegQueryValueExA(h, name, nullptr, type, data->data(), &size);
    }
    RegCloseKey(h);
    return status;
}

void Set(HKEY h, const char* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())))
        << name;
}

TEST(RegTool, AddQueryAndDeleteAValue) {
    vtest::TempRoot root;
    ToolRun add = Reg(root, {"add", "HKLM\\Software\\Vantry SMTP\\Pellion", "/v", "Config_Port",
                             "/t", "REG_DWORD", "/d", "4005"});
    ASSERT_EQ(0, add.exitCode) << add.err;
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS,
              QueryValue("Software\\Vantry SMTP\\Pellion", "Config_Port", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ((std::vector<BYTE>{0xA5, 0x0F, 0, 0}), data);

    ToolRun text = Reg(root, {"add", "HKEY_LOCAL_MACHINE\\Software\\Vantry SMTP\\Pellion", "/v",
                              "Allowed_Clients", "/d", "mailhost backup"});
    ASSERT_EQ(0, text.exitCode) << text.err;
    ASSERT_EQ(ERROR_SUCCESS,
              QueryValue("Software\\Vantry SMTP\\Pellion", "Allowed_Clients", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::string("mailhost backup", 16), std::string(data.begin(), data.end()));

    ToolRun query = Reg(root, {"query", "hklm\\software\\vantry smtp\\pellion"});
    ASSERT_EQ(0, query.exitCode) << query.err;
    EXPECT_NE(std::string::npos,
              query.out.find("HKEY_LOCAL_MACHINE\\software\\vantry smtp\\pellion\n"));
    EXPECT_NE(std::string::npos, query.out.find("    Config_Port    REG_DWORD    0xfa5\n"));
    EXPECT_NE(std::string::npos,
              query.out.find("    Allowed_Clients    REG_SZ    mailhost backup\n"));

    ToolRun one = Reg(root, {"query", "HKLM\\Software\\Vantry SMTP\\Pellion", "/v", "CONFIG_PORT"});
    ASSERT_EQ(0, one.exitCode) << one.err;
    EXPECT_NE(std::string::npos, one.out.find("Config_Port    REG_DWORD    0xfa5"));
    EXPECT_EQ(std::string::npos, one.out.find("Allowed_Clients"));

    ToolRun parent = Reg(root, {"query", "HKLM\\Software"});
    EXPECT_NE(std::string::npos, parent.out.find("HKEY_LOCAL_MACHINE\\Software\\Vantry SMTP\n"));

    ToolRun del =
        Reg(root, {"delete", "HKLM\\Software\\Vantry SMTP\\Pellion", "/v", "Config_Port"});
    ASSERT_EQ(0, del.exitCode) << del.err;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              QueryValue("Software\\Vantry SMTP\\Pellion", "Config_Port", &type, &data));
    EXPECT_NE(
        0,
        Reg(root, {"query", "HKLM\\Software\\Vantry SMTP\\Pellion", "/v", "Config_Port"}).exitCode);

    // Deleting a key takes its subkeys with it.
    ToolRun tree = Reg(root, {"delete", "HKLM\\Software\\Vantry SMTP"});
    ASSERT_EQ(0, tree.exitCode) << tree.err;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue("Software\\Vantry SMTP", nullptr, &type, &data));
}

TEST(RegTool, AddEncodesEachType) {
    vtest::TempRoot root;
    const char* key = "HKCU\\Types";
    ASSERT_EQ(0, Reg(root, {"add", key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a.com\\0b.org"})
                     .exitCode);
    ASSERT_EQ(0, Reg(root, {"add", key, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).exitCode);
    ASSERT_EQ(0, Reg(root, {"add", key, "/v", "Hex", "/t", "REG_DWORD", "/d", "0x10"}).exitCode);
    ASSERT_EQ(0, Reg(root, {"add", key, "/ve", "/d", "default"}).exitCode);
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Types", 0, KEY_READ, &h));
    BYTE buf[64];
    DWORD type = 0;
    DWORD size = sizeof(buf);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "Multi", nullptr, &type, buf, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(std::string("a.com\0b.org\0\0", 13), std::string(reinterpret_cast<char*>(buf), size));
    size = sizeof(buf);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "Bin", nullptr, &type, buf, &size));
    EXPECT_EQ(std::string("\x00\xff\x10", 3), std::string(reinterpret_cast<char*>(buf), size));
    size = sizeof(buf);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "Hex", nullptr, &type, buf, &size));
    EXPECT_EQ(std::string("\x10\0\0\0", 4), std::string(reinterpret_cast<char*>(buf), size));
    size = sizeof(buf);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "", nullptr, &type, buf, &size));
    EXPECT_STREQ("default", reinterpret_cast<char*>(buf));
    RegCloseKey(h);

    ToolRun query = Reg(root, {"query", key});
    EXPECT_NE(std::string::npos, query.out.find("    Multi    REG_MULTI_SZ    a.com\\0b.org\n"));
    EXPECT_NE(std::string::npos, query.out.find("    Bin    REG_BINARY    00FF10\n"));
    EXPECT_NE(std::string::npos, query.out.find("    (Default)    REG_SZ    default\n"));
}

TEST(RegTool, AddKeepsAnExistingValueWithoutForce) {
    vtest::TempRoot root;
    ASSERT_EQ(0, Reg(root, {"add", "HKLM\\Software\\X", "/v", "V", "/d", "first"}).exitCode);
    ToolRun again = Reg(root, {"add", "HKLM\\Software\\X", "/v", "v", "/d", "second"});
    EXPECT_NE(0, again.exitCode);
    EXPECT_NE(std::string::npos, again.err.find("/f"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\X", "V", &type, &data));
    EXPECT_STREQ("first", reinterpret_cast<char*>(data.data()));
    ASSERT_EQ(0, Reg(root, {"add", "HKLM\\Software\\X", "/v", "v", "/d", "second", "/f"}).exitCode);
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\X", "V", &type, &data));
    EXPECT_STREQ("second", reinterpret_cast<char*>(data.data()));
}

TEST(RegTool, ExportThenImportIntoAFreshRootGivesIdenticalValues) {
    std::map<std::string, Stored> before;
    std::vector<std::string> keysBefore;
    std::string file;
    vtest::TempRoot exportRoot;
    {
        HKEY drennic = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Vantry SMTP\\Drennic", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &drennic, nullptr));
        Set(drennic, "SMTP_DNS_IP", REG_SZ, std::string("10.0.0.1", 9));
        Set(drennic, "Quarantine_Path", REG_SZ, std::string("C:\\Vantry\\\"Q\" dir\\", 19));
        Set(drennic, "Quoted \"name\" \\ here", REG_SZ, std::string("x", 2));
        Set(drennic, "", REG_SZ, std::string("default", 8));
        Set(drennic, "SMTP_ALERT_TEXT", REG_SZ, std::string("line one\r\nline two", 19));
        Set(drennic, "NoTerminator", REG_SZ, "abc");
        Set(drennic, "TwoTerminators", REG_SZ, std::string("ab\0\0", 4));
        Set(drennic, "EmptySz", REG_SZ, "");
        Set(drennic, "Latin1", REG_SZ, std::string("caf\xe9", 5));
        Set(drennic, "SMTP_SEND_PORT", REG_DWORD, std::string("\x19\0\0\0", 4));
        Set(drennic, "ShortDword", REG_DWORD, std::string("\x01\x02", 2));
        Set(drennic, "BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x19", 4));
        Set(drennic, "Expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x", 15));
        Set(drennic, "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
        Set(drennic, "Quad", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
        Set(drennic, "Odd", 0x12345, std::string("\0\x01\xff", 3));
        Set(drennic, "EmptyBinary", REG_BINARY, "");
        std::string binary;
        for (int i = 0; i < 1000; ++i)
            binary.push_back(static_cast<char>(i * 7));
        Set(drennic, "Spam_IP_List", REG_BINARY, binary);
        std::string blockList(76798, 'b');
        blockList += '\0';
        Set(drennic, "SMTP_BLOCK_LIST", REG_SZ, blockList);
        HKEY rule = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(drennic, "Filter_Rule_0", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &rule, nullptr));
        Set(rule, "Rule", REG_SZ, std::string("virus]\0", 7));
        RegCloseKey(rule);
        HKEY empty = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(drennic, "Empty [Key]", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &empty, nullptr));
        RegCloseKey(empty);
        RegCloseKey(drennic);

        Snapshot(HKEY_LOCAL_MACHINE, "Software\\Corvane", &before, &keysBefore);
        ASSERT_EQ(20u, before.size());
        file = exportRoot.path() + "/settings.reg";
        ToolRun exp = Reg(exportRoot, {"export", "HKLM\\Software\\Corvane", file});
        ASSERT_EQ(0, exp.exitCode) << exp.err;
        std::string text = Slurp(file);
        EXPECT_EQ(0u, text.find("REGEDIT4\r\n"));
        EXPECT_NE(std::string::npos,
                  text.find("[HKEY_LOCAL_MACHINE\\Software\\Corvane\\Vantry SMTP\\Drennic]\r\n"));
        EXPECT_NE(std::string::npos,
                  text.find("\"Quarantine_Path\"=\"C:\\\\Vantry\\\\\\\"Q\\\" dir\\\\\"\r\n"));
        EXPECT_NE(std::string::npos, text.find("\"SMTP_SEND_PORT\"=dword:00000019\r\n"));
        EXPECT_NE(std::string::npos, text.find("@=\"default\"\r\n"));
        EXPECT_NE(std::string::npos, text.find("\"Odd\"=hex(12345):00,01,ff\r\n"));
        EXPECT_NE(std::string::npos, text.find("\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"));
        // Long data wraps with a backslash; no line is longer than 80.
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, 17, "\"SMTP_BLOCK_LIST\"") != 0 && line.find('[') != 0) {
                EXPECT_LE(line.size(), 81u) << line;
            }
        }
    }

    vtest::TempRoot importRoot;
    ToolRun imp = Reg(importRoot, {"import", file});
    ASSERT_EQ(0, imp.exitCode) << imp.err;
    std::map<std::string, Stored> after;
    std::vector<std::string> keysAfter;
    Snapshot(HKEY_LOCAL_MACHINE, "Software\\Corvane", &after, &keysAfter);
    EXPECT_EQ(keysBefore, keysAfter);
    ASSERT_EQ(before.size(), after.size());
    for (const auto& entry : before) {
        auto found = after.find(entry.first);
        ASSERT_NE(after.end(), found) << entry.first;
        EXPECT_EQ(entry.second.type, found->second.type) << entry.first;
        EXPECT_TRUE(entry.second.data == found->second.data) << entry.first;
    }
}

TEST(RegTool, ImportReadsAHandWrittenRegeditFile) {
    vtest::TempRoot root;
    std::string file = root.path() + "/hand.reg";
    std::ofstream(file, std::ios::binary) << "REGEDIT4\r\n"
                                             "\r\n"
                                             "; settings for the test gateway\r\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\Hand]\r\n"
                                             "\"Path\"=\"C:\\\\Mail\\\\\"\r\n"
                                             "@=\"top\"\r\n"
                                             "\"Port\"=dword:0000270f\r\n"
                                             "\"Domains\"=hex(7):61,00,62,00,\\\r\n"
                                             "  00\r\n"
                                             "\"Gone\"=-\r\n"
                                             "\n"
                                             "[HKLM\\Software\\Hand\\Sub]\n"
                                             "\"Bin\" = hex: 01, 02 ,03\n";
    // "Gone" exists beforehand: the file removes it.
    ASSERT_EQ(0, Reg(root, {"add", "HKLM\\Software\\Hand", "/v", "Gone", "/d", "x"}).exitCode);
    ToolRun imp = Reg(root, {"import", file});
    ASSERT_EQ(0, imp.exitCode) << imp.err;

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\Hand", "Path", &type, &data));
    EXPECT_EQ(std::string("C:\\Mail\\", 9), std::string(data.begin(), data.end()));
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\Hand", "", &type, &data));
    EXPECT_STREQ("top", reinterpret_cast<char*>(data.data()));
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\Hand", "Port", &type, &data));
    EXPECT_EQ((std::vector<BYTE>{0x0f, 0x27, 0, 0}), data);
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\Hand", "Domains", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ((std::vector<BYTE>{'a', 0, 'b', 0, 0}), data);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue("Software\\Hand", "Gone", &type, &data));
    ASSERT_EQ(ERROR_SUCCESS, QueryValue("Software\\Hand\\Sub", "Bin", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), data);
}

TEST(RegTool, ImportWithAMistakeChangesNothing) {
    vtest::TempRoot root;
    std::string file = root.path() + "/bad.reg";
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\First]\n\"A\"=\"ok\"\n\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Second]\n\"B\"=dword:123456789\n";
    ToolRun imp = Reg(root, {"import", file});
    EXPECT_NE(0, imp.exitCode);
    EXPECT_NE(std::string::npos, imp.err.find(":7:")) << imp.err;
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue("Software\\First", "A", &type, &data));
}

TEST(RegTool, BadArgumentsFailWithAMessage) {
    vtest::TempRoot root;
    std::string notReg = root.path() + "/not.reg";
    std::ofstream(notReg) << "Windows Registry Editor Version 5.00\n";
    std::string existing = root.path() + "/existing.reg";
    std::ofstream(existing) << "keep";
    ASSERT_EQ(0, Reg(root, {"add", "HKLM\\Software\\Here"}).exitCode);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", "HKLM\\Software"},
        {"query"},
        {"query", "HKXX\\Software"},
        {"query", "HKLM\\Software\\Missing"},
        {"query", "HKLM\\Software", "/z"},
        {"query", "HKLM\\Software", "/v"},
        {"add", "HKLM\\Software\\X", "/v", "N", "/t", "REG_DWORD", "/d", "abc"},
        {"add", "HKLM\\Software\\X", "/v", "N", "/t", "REG_DWORD", "/d", "4294967296"},
        {"add", "HKLM\\Software\\X", "/v", "N", "/t", "REG_BINARY", "/d", "abc"},
        {"add", "HKLM\\Software\\X", "/v", "N", "/t", "REG_WHATEVER"},
        {"add", "HKLM\\Software\\X", "/v", "N", "/ve"},
        {"add", "HKLM"},
        {"delete", "HKLM"},
        {"delete", "HKLM\\Software\\Missing"},
        {"delete", "HKLM\\Software\\Here", "/v", "Missing"},
        {"export", "HKLM\\Software\\Here"},
        {"export", "HKLM\\Software\\Here", existing},
        {"export", "HKLM\\Software\\Missing", root.path() + "/new.reg"},
        {"import", root.path() + "/no-such-file.reg"},
        {"import", notReg},
    };
    for (const std::vector<std::string>& args : cases) {
        std::string shown;
        for (const std::string& a : args)
            shown += a + " ";
        ToolRun run = Reg(root, args);
        EXPECT_NE(0, run.exitCode) << shown;
        EXPECT_FALSE(run.err.empty()) << shown;
    }
    EXPECT_EQ("keep", Slurp(existing));
    HKEY h = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\X", 0, KEY_READ, &h));
    ToolRun help = Reg(root, {"/?"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("vantry-reg export KEY FILE"));
}

// Several tool processes adding to one key at once, as two administrators'
// scripts might: every value arrives.
TEST(RegTool, ConcurrentToolRunsLoseNothing) {
    vtest::TempRoot root;
    std::string script;
    for (int p = 0; p < 2; ++p) {
        script += "( for i in $(seq 1 25); do '" + std::string(VANTRY_REG_TOOL) +
                  "' add 'HKLM\\Software\\Busy' /v p" + std::to_string(p) +
                  "_$i /t REG_DWORD /d $i >/dev/null || exit 1; done ) &\n"
                  "pid" +
                  std::to_string(p) + "=$!\n";
    }
    script += "wait $pid0 || exit 1\nwait $pid1 || exit 1\n";
    std::string file = root.path() + "/writers.sh";
    std::ofstream(file) << script;
    ASSERT_EQ(0, std::system(("bash '" + file + "'").c_str()));
    std::map<std::string, Stored> values;
    std::vector<std::string> keys;
    Snapshot(HKEY_LOCAL_MACHINE, "Software\\Busy", &values, &keys);
    EXPECT_EQ(50u, values.size());
    for (int p = 0; p < 2; ++p) {
        for (int i = 1; i <= 25; ++i) {
            auto found =
                values.find("Software\\Busy|p" + std::to_string(p) + "_" + std::to_string(i));
            ASSERT_NE(values.end(), found);
            EXPECT_EQ(static_cast<BYTE>(i), found->second.data[0]);
        }
    }
}

} // namespace

#endif
