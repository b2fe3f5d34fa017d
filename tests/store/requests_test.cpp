// delete_, send_ and get_statistics, called as the dispatcher calls them:
// with no scanner serving the pipe, and with a test server in its place.
#include "StoreTest.h"
#include "store/MailFolders.h"

#include <gtest/gtest.h>

namespace {

using vtest::Call;
using vtest::FakeScanner;
using vtest::MailRoot;

const std::string kInstall = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

std::string Improper(const std::string& keyword) {
    return "CODE 3 MESSAGE " + keyword + " Command was used Improperly\r\n";
}

struct Request {
    int (ClientConnection::*handler)(char*, int);
    int category;
    const char* word;
    const char* command; // the pipe command's start, up to the folder
};

const Request kRequests[] = {
    {&ClientConnection::RequestFileDelete, MAIL_QUARANTINE, "delete_qfile",
     "DELETE_QFILE Quarantine\\"},
    {&ClientConnection::RequestFileDelete, MAIL_MAIL_LOG, "delete_maillog", "DELETE_MFILE Log\\"},
    {&ClientConnection::RequestFileDelete, MAIL_VIRUS_LOG, "delete_viruslog", "DELETE_VFILE Log\\"},
    {&ClientConnection::RequestFileDelete, MAIL_BLOCKED, "delete_blockedmsg",
     "DELETE_BLOCKEDMSG Blocked\\"},
    {&ClientConnection::RequestFileDelete, MAIL_FILTERED, "delete_filteredmsg",
     "DELETE_FILTEREDMSG Filter\\"},
    {&ClientConnection::RequestFileDelete, MAIL_DEFERRED, "delete_deferredmsg",
     "DELETE_DEFERREDMSG Deferred\\"},
    {&ClientConnection::RequestFileSend, MAIL_QUARANTINE, "send_qfile", "SEND_QFILE Quarantine\\"},
    {&ClientConnection::RequestFileSend, MAIL_BLOCKED, "send_blockedmsg",
     "SEND_BLOCKEDMSG Blocked\\"},
    {&ClientConnection::RequestFileSend, MAIL_FILTERED, "send_filteredmsg",
     "SEND_FILTEREDMSG Filter\\"},
    {&ClientConnection::RequestFileSend, MAIL_DEFERRED, "send_deferredmsg",
     "SEND_DEFERREDMSG Deferred\\"},
};

// The kind word, a space, the folder and the name, after DELETE_ or SEND_.
std::string PipeCommand(const Request& r, const std::string& name) {
    std::string c = r.command;
    size_t space = c.find(' ');
    return c.substr(0, space + 1) + kInstall + c.substr(space + 1) + name + std::string(1, '\0');
}

TEST(RequestFile, EachRequestWritesItsCommandWithTheFolderAndTheName) {
    MailRoot root;
    for (const Request& r : kRequests) {
        FakeScanner scanner("");
        ASSERT_TRUE(scanner.serving());
        EXPECT_EQ(Call(r.handler, std::string(r.word) + " 1234\r", r.category), "CODE 0\r\n")
            << r.word;
        EXPECT_EQ(scanner.Join(), PipeCommand(r, "1234")) << r.word;
    }
    EXPECT_TRUE(vtest::EventTexts().empty());
}

TEST(RequestFile, WithNoScannerTheRequestLineComesBackBeforeCode0) {
    MailRoot root;
    for (const Request& r : kRequests) {
        const std::string line = std::string(r.word) + " 77 x";
        EXPECT_EQ(Call(r.handler, line + "\r\n", r.category),
                  "CODE 3 MESSAGE " + line + "\r\nCODE 0\r\n")
            << r.word;
    }
    const std::vector<std::string> warnings = vtest::EventTexts(EVENTLOG_WARNING_TYPE);
    ASSERT_EQ(warnings.size(), sizeof(kRequests) / sizeof(kRequests[0]));
    EXPECT_EQ(warnings[0], "Error sending request to " + HostName());
}

// A refused name never reaches the pipe: with no scanner there, a request that
// tried would be answered with its own line and "CODE 0".
TEST(RequestFile, NamesThatLeaveTheirFolderAreRefusedBeforeThePipe) {
    MailRoot root;
    const std::string names[] = {"..\\secret",
                                 "a/../../b",
                                 "C:\\x",
                                 "\\\\server\\share\\x",
                                 "..",
                                 ".",
                                 "...",
                                 ".. ",
                                 " ",
                                 "a:b",
                                 std::string("1\0..\\x", 7),
                                 std::string(190, '1')};
    for (const Request& r : kRequests)
        for (const std::string& name : names)
            EXPECT_EQ(Call(r.handler, std::string(r.word) + " " + name, r.category),
                      Improper(r.word))
                << r.word << " " << name;
    for (const Request& r : kRequests)
        EXPECT_EQ(Call(r.handler, r.word, r.category), Improper(r.word)) << r.word;
    EXPECT_TRUE(vtest::EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(RequestFile, TheLongestNameThatFitsTheCommandIsTaken) {
    MailRoot root;
    const Request& r = kRequests[0];
    // "DELETE_QFILE " and the folder leave this much of the 199 characters.
    const size_t room = 199 - PipeCommand(r, "").size() + 1;
    {
        FakeScanner scanner("");
        EXPECT_EQ(Call(r.handler, std::string(r.word) + " " + std::string(room, '5'), r.category),
                  "CODE 0\r\n");
        EXPECT_EQ(scanner.Join(), PipeCommand(r, std::string(room, '5')));
    }
    EXPECT_EQ(Call(r.handler, std::string(r.word) + " " + std::string(room + 1, '5'), r.category),
              Improper(r.word));
}

TEST(SendStatistics, WithNoScannerTheFallbackLinesAndMessage15) {
    MailRoot root;
    EXPECT_EQ(Call(&ClientConnection::SendStatistics, "get_statistics\r", -1),
              "SMTP_NUMBER_SCAN='Unknown'\nSMTP_NUMBER_DETECTED='Unknown'\n"
              "SMTP_NUMBER_CLEANED='Unknown'\r\n");
    EXPECT_EQ(vtest::EventTexts(EVENTLOG_WARNING_TYPE),
              std::vector<std::string>{"Error sending configuration request to " + HostName()});
}

TEST(SendStatistics, ItemsGoOneALineAndOnlyASpaceAfterAQuoteIsCut) {
    MailRoot root;
    struct Case {
        std::string answer;
        std::string reply;
    } cases[] = {
        {"SMTP_NUMBER_SCAN='12' SMTP_NUMBER_DETECTED='3' SMTP_NUMBER_CLEANED='2'\r\n",
         "SMTP_NUMBER_SCAN='12'\nSMTP_NUMBER_DETECTED='3'\nSMTP_NUMBER_CLEANED='2'\r\n"},
        // A space inside a value, and one at the very start, stay.
        {" A='x y' B='z'\n", " A='x y'\nB='z'\r\n"},
        // Ended by a zero byte without a line end; what follows is not sent.
        {std::string("A='1' B='2'\0C='3'\r\n", 18), "A='1'\nB='2'\r\n"},
        {"A='1'\rB='2'", "A='1'\r\n"},
        {"A='1'  B='2'", "A='1'\n B='2'\r\n"},
    };
    for (const Case& c : cases) {
        FakeScanner scanner(c.answer);
        ASSERT_TRUE(scanner.serving());
        EXPECT_EQ(Call(&ClientConnection::SendStatistics, "get_statistics", -1), c.reply);
        EXPECT_EQ(scanner.Join(), std::string("GET_STATISTICS\r\n", 16) + std::string(1, '\0'));
    }
    EXPECT_TRUE(vtest::EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(SendStatistics, AReplyThatFillsTheBufferIsCutThere) {
    MailRoot root;
    FakeScanner scanner(std::string(20000, 'v'));
    const std::string reply = Call(&ClientConnection::SendStatistics, "get_statistics", -1);
    scanner.Join();
    EXPECT_EQ(reply, std::string(STATISTICS_REPLY_SIZE - 1, 'v') + "\r\n");
}

} // namespace
