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
    vtest::RunCommand("mkdir -p '" + pellion.Folder("Held") + "' '" + pellion.root() +
                      "/drive_c/tmp/x'");
    pellion.File(pellion.Folder("Held") + "555", "held\r\n");
    pellion.File(pellion.root() + "/drive_c/tmp/x/555", "outside\r\n");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "setpath_qfile " + std::string(kInstall) + "Held\\\r\n"),
              "CODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_qfile 555\r\n"), "CODE 1\r\nheld\n\r\n");
    // Only the scanner's own folders: the host's, or one above the install
    // folder, is refused and the quarantine stays where it was.
    for (const std::string& folder :
         {std::string("/etc/"), std::string("C:\\..\\..\\..\\..\\tmp\\x\\"),
          std::string(kInstall) + "..\\..\\..\\..\\tmp\\x\\"})
        EXPECT_EQ(Ask(pellion.port(), "setpath_qfile " + folder + "\r\n"),
                  "CODE 3 MESSAGE setpath_qfile Command was used Improperly\r\n")
            << folder;
    EXPECT_EQ(Ask(pellion.port(), "get_qfile 555\r\n"), "CODE 1\r\nheld\n\r\n");
    // Not saved: the scanner key keeps no new value.
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
    std::vector<char> text(REGKEY_TEXT_BUFFER);
    EXPECT_NE(key.Read("Quarantine_Path", text.data()), ERROR_SUCCESS);
}

// ---------------------------------------------------------------------------
// delete_, send_ and get_statistics with the real drennic running and stopped.

std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

bool WaitGone(const std::string& path) {
    return vtest::WaitUntil([&] {
        struct stat st;
        return stat(path.c_str(), &st) != 0;
    });
}

TEST(MailStoreWithDrennic, DrennicMakesItsFoldersAndReallyDeletesAndSends) {
    MailPellion pellion;
    rmdir(pellion.Folder("Blocked").c_str());
    pellion.File(pellion.Folder("Quarantine") + "101", "spam one\r\n");
    pellion.File(pellion.Folder("Quarantine") + "102", "spam two\r\n");
    pellion.File(pellion.Folder("Log") + "mail1.log", "log\r\n");
    pellion.File(pellion.Folder("Deferred") + "300", "deferred\r\n");
    ASSERT_TRUE(pellion.drennic().Install());
    pellion.drennic().SetCounters(40, 3, 1);
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    // Drennic made its folders at start, Outbound among them.
    struct stat st;
    EXPECT_EQ(stat(pellion.Folder("Blocked").c_str(), &st), 0);
    EXPECT_EQ(stat(pellion.Folder("Outbound").c_str(), &st), 0);

    EXPECT_EQ(Ask(pellion.port(), "delete_qfile 101\r\n"), "CODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "delete_maillog mail1.log\r\n"), "CODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "send_qfile 102\r\n"), "CODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "send_deferredmsg 300\r\n"), "CODE 0\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(4);
    EXPECT_EQ(record, (std::vector<std::string>{
                          Z("DELETE_QFILE " + std::string(kInstall) + "Quarantine\\101"),
                          Z("DELETE_MFILE " + std::string(kInstall) + "Log\\mail1.log"),
                          Z("SEND_QFILE " + std::string(kInstall) + "Quarantine\\102"),
                          Z("SEND_DEFERREDMSG " + std::string(kInstall) + "Deferred\\300")}));
    EXPECT_TRUE(WaitGone(pellion.Folder("Quarantine") + "101"));
    EXPECT_TRUE(WaitGone(pellion.Folder("Log") + "mail1.log"));
    EXPECT_TRUE(WaitGone(pellion.Folder("Quarantine") + "102"));
    EXPECT_TRUE(WaitGone(pellion.Folder("Deferred") + "300"));
    EXPECT_EQ(pellion.Read(pellion.Folder("Outbound") + "102"), "spam two\r\n");
    EXPECT_EQ(pellion.Read(pellion.Folder("Outbound") + "300"), "deferred\r\n");
    // What is gone is no longer listed.
    EXPECT_EQ(Ask(pellion.port(), "get_qfile_list\r\n"), "CODE 1\r\nCODE 0\r\n");
    // Drennic's live counters, one item a line.
    EXPECT_EQ(Ask(pellion.port(), "get_statistics\r\n"),
              "SMTP_NUMBER_SCAN='40'\nSMTP_NUMBER_DETECTED='3'\nSMTP_NUMBER_CLEANED='1'\n"
              "SMTP_NUMBER_DELETED='2'\nSMTP_NUMBER_SENT='2'\nSMTP_NUMBER_FILTERED='0'\n"
              "SMTP_NUMBER_DEFERRED='0'\r\n");
    EXPECT_TRUE(pellion.EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(MailStoreWithDrennic, WithDrennicStoppedTheRequestLineComesBackAndNothingChanges) {
    MailPellion pellion;
    pellion.File(pellion.Folder("Log") + "virus1.log", "kept\r\n");
    pellion.File(pellion.Folder("Quarantine") + "5", "kept\r\n");
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    ASSERT_TRUE(pellion.drennic().Stop());
    EXPECT_EQ(Ask(pellion.port(), "delete_viruslog virus1.log\r\n"),
              "CODE 3 MESSAGE delete_viruslog virus1.log\r\nCODE 0\r\n");
    EXPECT_EQ(Ask(pellion.port(), "send_qfile 5\r\n"), "CODE 3 MESSAGE send_qfile 5\r\nCODE 0\r\n");
    const std::string message21 = "Error sending request to " + Pellion::LocalHostName();
    EXPECT_EQ(pellion.CountEvents(message21, EVENTLOG_WARNING_TYPE), 2u);
    EXPECT_EQ(pellion.Read(pellion.Folder("Log") + "virus1.log"), "kept\r\n");
    EXPECT_EQ(pellion.Read(pellion.Folder("Quarantine") + "5"), "kept\r\n");
    // The statistics fall back to their fixed line, with message 15.
    EXPECT_EQ(Ask(pellion.port(), "get_statistics\r\n"),
              "SMTP_NUMBER_SCAN='Unknown'\nSMTP_NUMBER_DETECTED='Unknown'\n"
              "SMTP_NUMBER_CLEANED='Unknown'\r\n");
    EXPECT_TRUE(
        pellion.HasEvent("Error sending configuration request to " + Pellion::LocalHostName(),
                         EVENTLOG_WARNING_TYPE));
}

// Every command that takes a name refuses one that leaves its folder; each
// traversal form is tried against several commands. The files such names
// reach stay as they were, unread, and Drennic receives no command.
TEST(MailStoreWithDrennic, NamesThatLeaveTheirFolderAreRefusedByEveryCommand) {
    MailPellion pellion;
    const std::string secret = "SECRET\r\n";
    pellion.File(pellion.Folder("") + "secret", secret); // ..\secret from a mail folder
    pellion.File(pellion.Folder("") + "b", secret);      // a/../../b
    pellion.File(pellion.root() + "/drive_c/x", secret); // C:\x
    const char* const commands[] = {"get_qfile",          "get_maillog",       "get_viruslog",
                                    "get_blockedmsg",     "get_filteredmsg",   "get_deferredmsg",
                                    "get_deferredmsglog", "delete_qfile",      "delete_maillog",
                                    "delete_viruslog",    "delete_blockedmsg", "delete_filteredmsg",
                                    "delete_deferredmsg", "send_qfile",        "send_blockedmsg",
                                    "send_filteredmsg",   "send_deferredmsg"};
    const std::string names[] = {"..\\secret", "a/../../b", "C:\\x", "\\\\server\\share\\x",
                                 std::string("1\0..\\secret", 12)};
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    size_t i = 0;
    for (const char* command : commands) {
        const std::string& name = names[i++ % 5];
        EXPECT_EQ(Ask(pellion.port(), std::string(command) + " " + name + "\r\n"),
                  "CODE 3 MESSAGE " + std::string(command) + " Command was used Improperly\r\n")
            << command << " " << name;
    }
    EXPECT_EQ(pellion.Read(pellion.Folder("") + "secret"), secret);
    EXPECT_EQ(pellion.Read(pellion.Folder("") + "b"), secret);
    EXPECT_EQ(pellion.Read(pellion.root() + "/drive_c/x"), secret);
    EXPECT_TRUE(pellion.drennic().Record().empty());
    EXPECT_EQ(pellion.CountEvents("delete_qfile Command was used Improperly", EVENTLOG_ERROR_TYPE),
              1u);
}

// Drennic checks the name on its side too, for whatever reaches its pipe.
TEST(MailStoreWithDrennic, DrennicRefusesItemsThatLeaveTheirFolder) {
    MailPellion pellion;
    const std::string secret = "SECRET\r\n";
    pellion.File(pellion.Folder("") + "secret", secret);
    pellion.File(pellion.Folder("Quarantine") + "9", "stored\r\n");
    pellion.File(pellion.Folder("Quarantine") + "NUL", "device\r\n");
    pellion.File(pellion.Folder("Quarantine") + "com1.txt", "device\r\n");
    ASSERT_TRUE(pellion.drennic().InstallAndStart());
    const std::string q = std::string(kInstall) + "Quarantine\\";
    const std::string items[] = {"DELETE_QFILE " + q + "..\\secret",
                                 "DELETE_QFILE " + q + "..",
                                 "DELETE_QFILE " + q + "x\\..\\..\\secret",
                                 "SEND_QFILE " + q + ".. \\secret",
                                 "SEND_MFILE " + std::string(kInstall) + "secret",
                                 "DELETE_NOKIND " + std::string(kInstall) + "secret",
                                 "DELETE_QFILE secret",
                                 "DELETE_QFILE " + q + "NUL",
                                 "DELETE_QFILE " + q + "com1.txt"};
    for (const std::string& item : items) {
        // Between two clients the next instance may not listen yet: busy.
        HANDLE pipe = INVALID_HANDLE_VALUE;
        vtest::WaitUntil([&] {
            pipe = CreateFileA("\\\\.\\pipe\\DrennicConfig", GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
            return pipe != INVALID_HANDLE_VALUE;
        });
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(pipe, item.c_str(), static_cast<DWORD>(item.size() + 1), &written, nullptr));
        CloseHandle(pipe);
    }
    EXPECT_EQ(pellion.drennic().WaitForRecord(9).size(), 9u);
    vtest::WaitUntil([&] { return pellion.drennic().EventTexts(EVENTLOG_WARNING_TYPE).size() >= 9; });
    EXPECT_EQ(pellion.drennic().EventTexts(EVENTLOG_WARNING_TYPE).size(), 9u);
    // A device name is refused, not deleted (a file of that name is a file
    // only here; on Windows the name opens the device).
    EXPECT_EQ(pellion.Read(pellion.Folder("Quarantine") + "NUL"), "device\r\n");
    EXPECT_EQ(pellion.Read(pellion.Folder("Quarantine") + "com1.txt"), "device\r\n");
    EXPECT_EQ(pellion.Read(pellion.Folder("") + "secret"), secret);
    EXPECT_EQ(pellion.Read(pellion.Folder("Quarantine") + "9"), "stored\r\n");
    // Nothing counted: the counters were never even written.
    EXPECT_EQ(pellion.drennic().Counter("Deleted"), 0xFFFFFFFFu);
    EXPECT_EQ(pellion.drennic().Counter("Sent"), 0xFFFFFFFFu);
}

} // namespace
