// The mail folders and logs, and the version replies, against the real
// service: folders made on disk under the install path of its platform root,
// requests over loopback, exact bytes back, events in the log.
#include "PellionHarness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using vtest::Ask;
using vtest::Pellion;

const char kInstall[] = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";

// The running service with its five default mail folders made on disk.
class MailPellion : public Pellion {
public:
    MailPellion() {
        for (const char* folder : {"Quarantine", "Log", "Blocked", "Filter", "Deferred"})
            vtest::RunCommand("mkdir -p '" + Folder(folder) + "'");
    }
    std::string Folder(const std::string& name) const {
        return root() + "/drive_c/Program Files/Corvane/Ostel/Vantry SMTP/" + name + "/";
    }
    void File(const std::string& path, const std::string& bytes) const {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    std::string Read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void SetProductValue(const char* name, DWORD value) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, PRODUCT_KEY, 1);
        key.Write(name, value);
    }
};

void FillWithEveryKindOfName(const MailPellion& p, const std::string& folder) {
    for (const char* name :
         {"123", "0042", "abc", "A1B", "123.txt", "9.eml", ".hidden", "mail.log", "mail7.log",
          "MAIL8.LOG", "mail9.log.old", "maillog", "virus.log", "virus2.log", "avirus.log"})
        p.File(p.Folder(folder) + name, "x");
    mkdir((p.Folder(folder) + "456").c_str(), 0755);
    mkdir((p.Folder(folder) + "sub").c_str(), 0755);
    mkdir((p.Folder(folder) + ".trash").c_str(), 0755);
}

TEST(MailStore, ListsShowWhatEachCategoryAdmitsAndAnEmptyLogFolderIsCode3) {
    MailPellion pellion;
    for (const char* folder : {"Quarantine", "Blocked", "Filter", "Deferred"})
        FillWithEveryKindOfName(pellion, folder);
    ASSERT_TRUE(pellion.InstallAndStart());
    // The log folder is empty: nothing matches mail*.log.
    const std::string pattern = std::string(kInstall) + "Log\\mail*.log";
    EXPECT_EQ(Ask(pellion.port(), "get_maillog_list\r\n"),
              "CODE 3 MESSAGE Can't read Mail Log file " + pattern + "\r\n");
    EXPECT_TRUE(pellion.HasEvent("Can't read Mail Log file " + pattern, EVENTLOG_ERROR_TYPE));
    FillWithEveryKindOfName(pellion, "Log");
    const std::string digits = "CODE 1\r\n0042\r\n123\r\n456\r\nCODE 0\r\n";
    EXPECT_EQ(Ask(pellion.port(), "get_qfile_list\r\n"), digits);
    EXPECT_EQ(Ask(pellion.port(), "get_blockedmsg_list\r\n"), digits);
    EXPECT_EQ(Ask(pellion.port(), "get_filteredmsg_list\r\n"), digits);
    EXPECT_EQ(Ask(pellion.port(), "GET_DEFERREDMSG_LIST\r\n"), digits);
    EXPECT_EQ(Ask(pellion.port(), "get_maillog_list\r\n"),
              "CODE 1\r\nmail.log\r\nmail7.log\r\nMAIL8.LOG\r\nCODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_viruslog_list\r\n"),
              "CODE 1\r\nvirus.log\r\nvirus2.log\r\nCODE 0\r\n");
}

// On Windows the search of "*." in a folder yields its "." and ".." entries,
// so an empty quarantine is an empty list; a missing one finds nothing.
TEST(MailStore, EmptyQuarantineIsAnEmptyListAndAMissingOneIsCode3) {
    MailPellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_qfile_list\r\n"), "CODE 1\r\nCODE 0\r\n");
    rmdir(pellion.Folder("Quarantine").c_str());
    const std::string pattern = std::string(kInstall) + "Quarantine\\*.";
    EXPECT_EQ(Ask(pellion.port(), "get_qfile_list\r\n"),
              "CODE 3 MESSAGE Can't read Quarantine file " + pattern + "\r\n");
    EXPECT_TRUE(pellion.HasEvent("Can't read Quarantine file " + pattern, EVENTLOG_ERROR_TYPE));
}

TEST(MailStore, FileContentsArriveAsTextInPiecesWithNothingBetween) {
    MailPellion pellion;
    std::string longLine;
    for (int i = 0; i < 500; ++i)
        longLine += static_cast<char>('a' + i % 26);
    pellion.File(pellion.Folder("Log") + "mail1.log", "one\r\ntwo\r\nthree\r\n");
    pellion.File(pellion.Folder("Quarantine") + "77", longLine + "\r\n" + "next\r\n");
    pellion.File(pellion.Folder("Deferred") + "deferred.log",
                 std::string("before\r\n") + '\x1A' + "after\r\n");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_maillog mail1.log\r\n"), "CODE 1\r\none\ntwo\nthree\n\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_qfile 77\r\n"), "CODE 1\r\n" + longLine + "\nnext\n\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_deferredmsglog deferred.log\r\n"), "CODE 1\r\nbefore\n\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_qfile\r\n"),
              "CODE 3 MESSAGE get_qfile Command was used Improperly\r\n");
    EXPECT_TRUE(pellion.HasEvent("get_qfile Command was used Improperly", EVENTLOG_ERROR_TYPE));
}

TEST(MailStore, SizesCountWholeMessagesAndPrintTheTrueTotal) {
    MailPellion pellion;
    for (int i = 0; i < 7; ++i)
        pellion.File(pellion.Folder("Deferred") + std::to_string(100 + i), "0123456789");
    // 3 GiB in two sparse files: above what a signed 32-bit total holds.
    pellion.File(pellion.Folder("Quarantine") + "1", "");
    pellion.File(pellion.Folder("Quarantine") + "1.hdr", "");
    ASSERT_EQ(truncate((pellion.Folder("Quarantine") + "1").c_str(), 2LL << 30), 0);
    ASSERT_EQ(truncate((pellion.Folder("Quarantine") + "1.hdr").c_str(), (1LL << 30) + 5), 0);
    rmdir(pellion.Folder("Filter").c_str());
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "getsize_deferredmsg\r\n"), "70 2\r\n");
    EXPECT_EQ(Ask(pellion.port(), "getsize_filteredmsg\r\n"), "0 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "getsize_qfile\r\n"), "3221225477 1\r\n");
}

TEST(MailStore, VersionRepliesShowDefaultsAndNumbersAsSigned) {
    MailPellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_version\r\n"),
              "SMTP_DRENNIC_VERSION='unknown'\nSMTP_ENGINE_VERSION='unknown'\n"
              "SMTP_DAT_VERSION='unknown'\nSMTP_DAT_DATE='unknown'\n"
              "SMTP_EXTRADAT_NVIRUS='0'\nSMTP_EXTRADAT_NVARIANT='0'\r\n");
    // Read again before every version request: no restart needed.
    pellion.SetProductValue("dwExtraVirDefNVirs", 0x80000000u);
    EXPECT_EQ(Ask(pellion.port(), "get_version\r\n"),
              "SMTP_DRENNIC_VERSION='unknown'\nSMTP_ENGINE_VERSION='unknown'\n"
              "SMTP_DAT_VERSION='unknown'\nSMTP_DAT_DATE='unknown'\n"
              "SMTP_EXTRADAT_NVIRUS='-2147483648'\nSMTP_EXTRADAT_NVARIANT='0'\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_drennic_version\r\n"), "unknown\r\n");
}

TEST(MailStore, SetpathMovesTheQuarantineForTheRunningServiceOnly) {
    MailPellion pellion;
    vtest::RunCommand("mkdir -p '" + pellion.root() + "/drive_c/Held'");
    pellion.File(pellion.root() + "/drive_c/Held/555", "held\r\n");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "setpath_qfile C:\\Held\\\r\n"), "CODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_qfile 555\r\n"), "CODE 1\r\nheld\n\r\n");
    // Not saved: the scanner key keeps no new value.
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
    std::vector<char> text(REGKEY_TEXT_BUFFER);
    EXPECT_NE(key.Read("Quarantine_Path", text.data()), ERROR_SUCCESS);
}

} // namespace
