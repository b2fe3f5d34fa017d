// Listing, reading, measuring and pointing the mail folders, called as the
// dispatcher calls the handlers, with folders made on disk.
#include "StoreTest.h"
#include "../config/ConnectionPair.h"
#include "platform/WindowsPath.h"
#include "store/MailFolders.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using vtest::Call;
using vtest::MailRoot;

const char* const kFolderNames[] = {"Quarantine", "Log",      "Log",     "Blocked",
                                    "Filter",     "Deferred", "Deferred"};

std::string Improper(const std::string& keyword) {
    return "CODE 3 MESSAGE " + keyword + " Command was used Improperly\r\n";
}

// Every kind of name a folder may hold.
void FillWithEveryKindOfName(const std::string& folder) {
    for (const char* name :
         {"123", "0042", "abc", "A1B", "123.txt", "9.eml", ".hidden", "mail.log", "mail7.log",
          "MAIL8.LOG", "mail9.log.old", "maillog", "virus.log", "virus2.log", "avirus.log", "7x"})
        vtest::WriteFile(folder + name, "x");
    mkdir((folder + "456").c_str(), 0755);
    mkdir((folder + "sub").c_str(), 0755);
    mkdir((folder + "77.d").c_str(), 0755);
}

TEST(SendFileList, EachCategoryListsWhatItsPatternAndFirstCharacterRuleAdmit) {
    MailRoot root;
    for (const char* folder : {"Quarantine", "Log", "Blocked", "Filter", "Deferred"})
        FillWithEveryKindOfName(root.Folder(folder));
    // Digit-first names without an extension, sub-folders among them, in the
    // folder's order (letter case aside).
    const std::string digits = "CODE 1\r\n0042\r\n123\r\n456\r\n7x\r\nCODE 0\r\n";
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_qfile_list\r", MAIL_QUARANTINE), digits);
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_blockedmsg_list", MAIL_BLOCKED), digits);
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_filteredmsg_list", MAIL_FILTERED), digits);
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_deferredmsg_list", MAIL_DEFERRED), digits);
    // The logs: any first character.
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_maillog_list", MAIL_MAIL_LOG),
              "CODE 1\r\nmail.log\r\nmail7.log\r\nMAIL8.LOG\r\nCODE 0\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_viruslog_list", MAIL_VIRUS_LOG),
              "CODE 1\r\nvirus.log\r\nvirus2.log\r\nCODE 0\r\n");
    EXPECT_TRUE(vtest::EventTexts().empty());
}

TEST(SendFileList, EachCategoryReadsItsOwnFolderSetting) {
    MailRoot root;
    const int categories[] = {MAIL_QUARANTINE, MAIL_BLOCKED, MAIL_FILTERED, MAIL_DEFERRED};
    for (int category : categories) {
        std::string folder = root.Folder(kFolderNames[category]);
        vtest::WriteFile(folder + std::to_string(1000 + category), "x");
    }
    for (int category : categories)
        EXPECT_EQ(Call(&ClientConnection::SendFileList, "list", category),
                  "CODE 1\r\n" + std::to_string(1000 + category) + "\r\nCODE 0\r\n")
            << category;
}

TEST(SendFileList, EmptyLogFolderIsCode3NamingTheCategoryAndThePattern) {
    MailRoot root;
    const std::string pattern = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Log\\mail*.log";
    const std::string message = "Can't read Mail Log file " + pattern;
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_maillog_list", MAIL_MAIL_LOG),
              "CODE 3 MESSAGE " + message + "\r\n");
    EXPECT_EQ(vtest::EventTexts(EVENTLOG_ERROR_TYPE), std::vector<std::string>{message});
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_viruslog_list", MAIL_VIRUS_LOG),
              "CODE 3 MESSAGE Can't read Virus Log file "
              "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Log\\virus*.log\r\n");
}

// The search of "*." yields the folder's "." and ".." entries, as it does on
// Windows, so an empty stored-mail folder is an empty list; only a folder
// that is missing finds nothing at all.
TEST(SendFileList, EmptyStoredMailFolderIsAnEmptyListAndAMissingOneIsCode3) {
    MailRoot root;
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_qfile_list", MAIL_QUARANTINE),
              "CODE 1\r\nCODE 0\r\n");
    vtest::WriteFile(root.Folder("Quarantine") + "abc", "letters only");
    vtest::WriteFile(root.Folder("Quarantine") + "1.txt", "with an extension");
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_qfile_list", MAIL_QUARANTINE),
              "CODE 1\r\nCODE 0\r\n");
    EXPECT_TRUE(vtest::EventTexts().empty());
    rmdir(root.Folder("Deferred").c_str());
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_deferredmsg_list", MAIL_DEFERRED),
              "CODE 3 MESSAGE Can't read Deferred Message file "
              "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Deferred\\*.\r\n");
}

TEST(SendFileContents, CarriageReturnLineFeedArrivesAsLineFeedThenTheEndLine) {
    MailRoot root;
    vtest::WriteFile(root.Folder("Log") + "mail1.log", "first\r\nsecond\r\nthird\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_maillog mail1.log\r", MAIL_MAIL_LOG),
              "CODE 1\r\nfirst\nsecond\nthird\n\r\n");
    // Each line end: a lone carriage return stays, a lone line feed stays.
    vtest::WriteFile(root.Folder("Log") + "virus1.log", "cr\rlf\ncrlf\r\nend");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_viruslog virus1.log", MAIL_VIRUS_LOG),
              "CODE 1\r\ncr\rlf\ncrlf\nend\r\n");
}

TEST(SendFileContents, LongLinesArriveWholeAndAZeroByteCutsOnlyItsPiece) {
    MailRoot root;
    std::string line(1000, 'x');
    for (size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char>('a' + i % 26);
    vtest::WriteFile(root.Folder("Quarantine") + "1", line + "\r\nshort\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile 1", MAIL_QUARANTINE),
              "CODE 1\r\n" + line + "\nshort\n\r\n");
    // Pieces are 198 characters: a zero byte at 10 drops the rest of the first
    // piece (to 198), the second piece comes whole; one in the last piece
    // drops that piece's rest, up to and with its line feed.
    std::string zeros = line.substr(0, 300);
    zeros[10] = '\0';
    std::string content = zeros + "\n" + std::string("next\0gone\n", 10) + "last\n";
    vtest::WriteFile(root.Folder("Quarantine") + "2", content);
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile 2", MAIL_QUARANTINE),
              "CODE 1\r\n" + line.substr(0, 10) + line.substr(198, 102) + "\nnext" + "last\n" +
                  "\r\n");
}

TEST(SendFileContents, ByteOneAEndsTheContent) {
    MailRoot root;
    vtest::WriteFile(root.Folder("Deferred") + "5",
                     std::string("kept\r\nto here") + '\x1A' + "never sent\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_deferredmsg 5", MAIL_DEFERRED),
              "CODE 1\r\nkept\nto here\r\n");
    vtest::WriteFile(root.Folder("Deferred") + "deferred.log", "");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_deferredmsglog deferred.log",
                   MAIL_DEFERRED_LOG),
              "CODE 1\r\n\r\n");
}

TEST(SendFileContents, EachCategoryReadsFromItsFolder) {
    MailRoot root;
    const char* words[] = {"get_qfile",         "get_maillog",     "get_viruslog",
                           "get_blockedmsg",    "get_filteredmsg", "get_deferredmsg",
                           "get_deferredmsglog"};
    for (int category = 0; category < MAIL_CATEGORY_COUNT; ++category)
        vtest::WriteFile(root.Folder(kFolderNames[category]) + "f" + std::to_string(category),
                         std::string(kFolderNames[category]) + "\r\n");
    for (int category = 0; category < MAIL_CATEGORY_COUNT; ++category)
        EXPECT_EQ(Call(&ClientConnection::SendFileContents,
                       std::string(words[category]) + " f" + std::to_string(category), category),
                  "CODE 1\r\n" + std::string(kFolderNames[category]) + "\n\r\n")
            << words[category];
}

TEST(SendFileContents, MissingArgumentIsImproperUseNamingTheKeyword) {
    MailRoot root;
    for (const char* line :
         {"get_qfile", "get_qfile\r", "get_qfile ", "get_qfile \r\n", "GET_QFILE"}) {
        EXPECT_EQ(Call(&ClientConnection::SendFileContents, line, MAIL_QUARANTINE),
                  Improper("get_qfile"))
            << line;
    }
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_deferredmsglog", MAIL_DEFERRED_LOG),
              Improper("get_deferredmsglog"));
    EXPECT_EQ(vtest::EventTexts(EVENTLOG_ERROR_TYPE).front(),
              "get_qfile Command was used Improperly");
}

TEST(SendFileContents, MissingFileIsCode3WithTheFullPath) {
    MailRoot root;
    // Two spaces: the argument begins with the second, and the path holds it.
    const std::string path = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\ 77";
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile  77", MAIL_QUARANTINE),
              "CODE 3 MESSAGE Can't read Quarantine file " + path + "\r\n");
    vtest::WriteFile(root.Folder("Quarantine") + " 77", "spaced\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile  77", MAIL_QUARANTINE),
              "CODE 1\r\nspaced\n\r\n");
}

// Names that would leave the folder are refused before anything is opened.
TEST(SendFileContents, NamesThatLeaveTheirFolderAreRefusedAndNothingIsRead) {
    MailRoot root;
    // Targets that each refused name would reach if it were appended.
    vtest::WriteFile(root.Folder("") + "secret", "SECRET\r\n");
    vtest::WriteFile(root.root() + "/drive_c/x", "SECRET\r\n");
    const char* words[] = {"get_qfile",         "get_maillog",     "get_viruslog",
                           "get_blockedmsg",    "get_filteredmsg", "get_deferredmsg",
                           "get_deferredmsglog"};
    const std::string names[] = {"..\\secret",
                                 "a/../../b",
                                 "C:\\x",
                                 "\\\\server\\share\\x",
                                 "../secret",
                                 "..",
                                 ".",
                                 "...",
                                 ".. ",
                                 " ",
                                 "a:b",
                                 std::string("1\0..\\secret", 12),
                                 std::string(200, '1')};
    for (int category = 0; category < MAIL_CATEGORY_COUNT; ++category)
        for (const std::string& name : names) {
            std::string reply = Call(&ClientConnection::SendFileContents,
                                     std::string(words[category]) + " " + name, category);
            EXPECT_EQ(reply, Improper(words[category])) << words[category] << " " << name;
            EXPECT_EQ(reply.find("SECRET"), std::string::npos);
        }
    // A name that fits the path exactly is still taken.
    const std::string folder = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\";
    const std::string longest(199 - folder.size(), '2');
    vtest::WriteFile(root.Folder("Quarantine") + longest, "long\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile " + longest, MAIL_QUARANTINE),
              "CODE 1\r\nlong\n\r\n");
    EXPECT_EQ(
        Call(&ClientConnection::SendFileContents, "get_qfile " + longest + "2", MAIL_QUARANTINE),
        Improper("get_qfile"));
}

TEST(BareFileName, OnlyANameInsideTheFolder) {
    struct Case {
        std::string name;
        bool bare;
    } cases[] = {
        {"123", true},
        {"mail.log", true},
        {" 12", true},
        {"a b", true},
        {".hidden", true},
        {"1..2", true},
        {"", false},
        {".", false},
        {"..", false},
        {"...", false},
        {". .", false},
        {"  ", false},
        {"a\\b", false},
        {"a/b", false},
        {"C:x", false},
        {"x:", false},
        {"\\\\s\\x", false},
        {std::string("a\0b", 3), false},
        {std::string(20, '9'), true},
        {std::string(21, '9'), false},
        // Names next to the device names are files.
        {"COM0", true},
        {"COM10", true},
        {"LPT0", true},
        {"CONX", true},
        {"CON1", true},
        {"xNUL", true},
        {"AU", true},
        {"conx.txt", true},
        {"com1x", true},
        {"nul_", true},
        {".nul", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsBareFileName(c.name.data(), c.name.size(), 20), c.bare) << c.name;
}

TEST(BareFileName, EveryDeviceNameInEveryFormIsRefused) {
    std::vector<std::string> devices = {"CON", "PRN", "AUX", "NUL"};
    for (char digit = '1'; digit <= '9'; ++digit) {
        devices.push_back(std::string("COM") + digit);
        devices.push_back(std::string("LPT") + digit);
    }
    for (const std::string& device : devices) {
        std::string lower = device, mixed = device;
        for (size_t i = 0; i < device.size(); ++i) {
            lower[i] = AsciiLower(device[i]);
            if (i % 2 == 1)
                mixed[i] = lower[i];
        }
        for (const std::string& name :
             {device, lower, mixed, device + ".txt", lower + ".tar.gz", device + ".",
              device + " ", device + ". .", mixed + " .log", device + "  .x"}) {
            EXPECT_FALSE(IsBareFileName(name.data(), name.size(), 20)) << name;
            EXPECT_TRUE(IsWindowsDeviceName(name.data(), name.size())) << name;
        }
    }
}

TEST(SendFileContents, DeviceNamesAreRefusedAlsoWhenTheFolderGluesThem) {
    MailRoot root;
    for (const char* name : {"CON", "nul.txt", "com1", "LPT9 ."})
        EXPECT_EQ(Call(&ClientConnection::SendFileContents, std::string("get_qfile ") + name,
                       MAIL_QUARANTINE),
                  Improper("get_qfile"))
            << name;
    // A folder setting without its closing backslash glues its last part to
    // every name: "co" and "m1" are COM1, "co" and "m10" a file.
    strcpy(g_Settings.Quarantine_Path,
           "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Quarantine\\co");
    vtest::WriteFile(root.Folder("Quarantine") + "com10", "file\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile m1", MAIL_QUARANTINE),
              Improper("get_qfile"));
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile m10", MAIL_QUARANTINE),
              "CODE 1\r\nfile\n\r\n");
}

TEST(SendFolderSize, MessagesAreWholeGroupsOfFilesAndBytesAreSummed) {
    MailRoot root;
    for (int i = 0; i < 7; ++i)
        vtest::WriteFile(root.Folder("Deferred") + std::to_string(i), std::string(10 + i, 'd'));
    for (int i = 0; i < 5; ++i)
        vtest::WriteFile(root.Folder("Quarantine") + std::to_string(i), "qq");
    // Dot names are not counted; sub-folders count as entries of size 0.
    vtest::WriteFile(root.Folder("Quarantine") + ".tmp", "ignored");
    mkdir((root.Folder("Blocked") + "sub").c_str(), 0755);
    vtest::WriteFile(root.Folder("Blocked") + "1.eml", "123");
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_deferredmsg", MAIL_DEFERRED),
              "91 2\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_qfile", MAIL_QUARANTINE),
              "10 2\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_blockedmsg", MAIL_BLOCKED),
              "3 1\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_filteredmsg", MAIL_FILTERED),
              "0 0\r\n");
    rmdir(root.Folder("Filter").c_str());
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_filteredmsg", MAIL_FILTERED),
              "0 0\r\n");
    EXPECT_TRUE(vtest::EventTexts().empty());
}

TEST(SendFolderSize, TotalsBeyondTwoAndFourGiBArePrintedWhole) {
    MailRoot root;
    const std::string folder = root.Folder("Quarantine");
    vtest::WriteFile(folder + "1", "");
    vtest::WriteFile(folder + "2", "");
    ASSERT_EQ(truncate((folder + "1").c_str(), 0x7FFFFFFFLL), 0);
    ASSERT_EQ(truncate((folder + "2").c_str(), 1), 0);
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_qfile", MAIL_QUARANTINE),
              "2147483648 1\r\n");
    ASSERT_EQ(truncate((folder + "2").c_str(), 3LL << 30), 0);
    EXPECT_EQ(Call(&ClientConnection::SendFolderSize, "getsize_qfile", MAIL_QUARANTINE),
              "5368709119 1\r\n");
}

TEST(CountFolderFiles, LongFolderGivesNothingRatherThanAnotherFolder) {
    MailRoot root;
    uint64_t total = 1;
    DWORD count = 1;
    CountFolderFiles((std::string(MAX_PATH, 'x') + "\\").c_str(), total, count);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(count, 0u);
}

TEST(SetCategoryFolder, ReplacesTheQuarantineFolderAsGivenForLaterRequests) {
    MailRoot root;
    const std::string install = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";
    const std::string elsewhere = root.Folder("Elsewhere");
    mkdir(elsewhere.c_str(), 0755);
    vtest::WriteFile(elsewhere + "31", "moved\r\n");
    vtest::WriteFile(root.Folder("") + "Elsewhere31", "glued\r\n");
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder, "setpath_qfile " + install + "Elsewhere\\\r",
                   MAIL_QUARANTINE),
              "CODE 0\r\n");
    EXPECT_EQ(g_Settings.Quarantine_Path, install + "Elsewhere\\");
    EXPECT_EQ(Call(&ClientConnection::SendFileList, "get_qfile_list", MAIL_QUARANTINE),
              "CODE 1\r\n31\r\nCODE 0\r\n");
    // Without a closing backslash a name is glued to the last folder name.
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder, "setpath_qfile " + install + "Elsewhere",
                   MAIL_QUARANTINE),
              "CODE 0\r\n");
    EXPECT_EQ(Call(&ClientConnection::SendFileContents, "get_qfile 31", MAIL_QUARANTINE),
              "CODE 1\r\nglued\n\r\n");
    // The other folders stay.
    EXPECT_STREQ(g_Settings.Deferred_Mail_Path,
                 "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\Deferred\\");
}

TEST(SetCategoryFolder, MissingTooLongOrCutFoldersAreRefusedAndTheFolderStays) {
    MailRoot root;
    const std::string before = g_Settings.Quarantine_Path;
    const std::string install = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder, "setpath_qfile", MAIL_QUARANTINE),
              Improper("setpath_qfile"));
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder,
                   "setpath_qfile " + install + std::string(200 - install.size(), 'x'),
                   MAIL_QUARANTINE),
              Improper("setpath_qfile"));
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder,
                   std::string("setpath_qfile C:\\a\0\\b", 21), MAIL_QUARANTINE),
              Improper("setpath_qfile"));
    EXPECT_EQ(g_Settings.Quarantine_Path, before);
    const std::string longest = install + std::string(199 - install.size(), 'x');
    EXPECT_EQ(Call(&ClientConnection::SetCategoryFolder, "setpath_qfile " + longest,
                   MAIL_QUARANTINE),
              "CODE 0\r\n");
    EXPECT_EQ(std::string(g_Settings.Quarantine_Path), longest);
}

TEST(SetCategoryFolder, OnlyTheScannersOwnFoldersAreTaken) {
    MailRoot root;
    // A folder a setting names outside the install folder is the scanner's too.
    strcpy(g_Settings.Log_Path, "D:\\Mail Logs\\");
    const std::string install = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP";
    struct Case {
        std::string folder;
        bool taken;
    } cases[] = {
        {install + "\\", true},
        {install, false}, // glues "Vantry SMTP" to names in Ostel
        {install + "\\Quarantine\\", true},
        {install + "\\Elsewhere\\Deeper\\", true},
        {"c:/PROGRAM FILES/corvane/OSTEL/vantry smtp/x/", true},
        {install + "\\x\\..\\Held\\.\\", true},
        {install + "\\Quarantine\\q", true},
        {"d:\\MAIL LOGS\\", true},
        {"D:\\Mail Logs\\x\\..\\", true},
        // Beside, above and outside the install folder.
        {install + "2\\", false},
        {install + "\\..\\", false},
        {install + "\\..\\..\\..\\..\\Windows\\", false},
        {install + "\\..\\Vantry SMTP2\\", false},
        {"C:\\Program Files\\Corvane\\Ostel\\", false},
        {"C:\\..\\..\\..\\..\\tmp\\x\\", false},
        {"C:\\", false},
        {"/etc/", false},
        {"D:\\Mail Logs\\Sub\\", false},
        {"D:\\Mail Logs", false},
        {"D:\\", false},
        // Written so that the folder compared is not plainly the one opened.
        {"\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\", false},
        {"C:Program Files\\Corvane\\Ostel\\Vantry SMTP\\", false},
        {"Quarantine\\", false},
        {"\\\\server\\share\\", false},
        {"\\\\?\\" + install + "\\", false},
        {install + "\\Quarantine.\\", false},
        {install + "\\Quarantine \\", false},
        {install + "\\...\\", false},
        {install + "\\x:y\\", false},
        {install + "\\Q*\\", false},
        {install + "\\Q?\\", false},
        {install + "\\Q|\\", false},
        {install + "\\Q\"\\", false},
        {install + "\\Q<>\\", false},
        {install + "\\Q\t\\", false},
    };
    for (const Case& c : cases) {
        const std::string before = g_Settings.Quarantine_Path;
        std::string reply =
            Call(&ClientConnection::SetCategoryFolder, "setpath_qfile " + c.folder, MAIL_QUARANTINE);
        if (c.taken) {
            EXPECT_EQ(reply, "CODE 0\r\n") << c.folder;
            EXPECT_EQ(g_Settings.Quarantine_Path, c.folder);
        } else {
            EXPECT_EQ(reply, Improper("setpath_qfile")) << c.folder;
            EXPECT_EQ(g_Settings.Quarantine_Path, before) << c.folder;
        }
    }
}

// How a reply ended for its client: the bytes it got, and whether the end was
// a reset rather than an orderly close.
struct Ending {
    size_t bytes = 0;
    bool reset = false;
};

Ending ReadToTheEnd(SOCKET client) {
    Ending ending;
    char buf[65536];
    for (;;) {
        int n = recv(client, buf, sizeof(buf), 0);
        if (n > 0) {
            ending.bytes += static_cast<size_t>(n);
            continue;
        }
        ending.reset = n == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET;
        return ending;
    }
}

int NotReadingEvents() {
    int count = 0;
    for (const std::string& text : vtest::EventTexts(EVENTLOG_WARNING_TYPE))
        count += text == "Configuration client 'tester' stopped reading the reply; the connection "
                         "was closed";
    return count;
}

TEST(MailReplies, AFileTheClientStopsTakingIsLoggedAndReset) {
    MailRoot root;
    const std::string content(4 << 20, 'm');
    vtest::WriteFile(root.Folder("Log") + "mail1.log", content);
    vtest::ConnectionPair pair(4096);
    pair.service().m_sendProgressLimit = 300;
    char request[] = "get_maillog mail1.log";
    pair.service().m_nRequestLength = static_cast<int>(strlen(request));
    pair.service().SendFileContents(request, MAIL_MAIL_LOG);
    EXPECT_EQ(pair.service().m_socket, INVALID_SOCKET);
    EXPECT_EQ(NotReadingEvents(), 1);
    const Ending ending = ReadToTheEnd(pair.client());
    EXPECT_LT(ending.bytes, content.size());
    EXPECT_TRUE(ending.reset);
}

TEST(MailReplies, AListOrFileWhoseClientWentAwayIsLoggedOnce) {
    MailRoot root;
    for (int i = 0; i < 3; ++i)
        vtest::WriteFile(root.Folder("Quarantine") + std::to_string(100 + i), "x");
    vtest::WriteFile(root.Folder("Quarantine") + "7", std::string(1 << 20, 'q'));
    struct Case {
        int (ClientConnection::*handler)(char*, int);
        const char* request;
    } cases[] = {{&ClientConnection::SendFileList, "get_qfile_list"},
                 {&ClientConnection::SendFileContents, "get_qfile 7"}};
    int expected = 0;
    for (const Case& c : cases) {
        vtest::ConnectionPair pair;
        // The client resets its end before the reply: nothing can be written.
        pair.ResetClient();
        std::string request(c.request);
        request.resize(request.size() + 64, '\0');
        pair.service().m_nRequestLength = static_cast<int>(strlen(c.request));
        (pair.service().*c.handler)(&request[0], MAIL_QUARANTINE);
        EXPECT_EQ(pair.service().m_socket, INVALID_SOCKET) << c.request;
        EXPECT_EQ(NotReadingEvents(), ++expected) << c.request;
    }
}

} // namespace
