// The scanner's control pipe: the real pellion forwarding control words and
// reset_statistics to the real drennic, with Drennic running and stopped; and
// the statistics exchange against the real drennic and against test servers
// that misbehave.
#include "PellionHarness.h"

#include "service/ClientConnection.h"
#include "service/LogEvent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vtest::Pellion;

namespace {

std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

std::string Message15() {
    return "Error sending configuration request to " + Pellion::LocalHostName();
}

TEST(ControlPipe, AControlWordInLowerCaseWithAnArgumentReachesDrennicUnchanged) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    EXPECT_EQ(vtest::Ask(pellion.port(), "reject_incoming_mail Now please\r\n"), "CODE 0\r\n");
    EXPECT_EQ(vtest::Ask(pellion.port(), "REJECT_INCOMING_MAIL\n"), "CODE 0\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(2);
    ASSERT_EQ(record.size(), 2u);
    // Its case, its argument, the carriage return the client sent, one zero.
    EXPECT_EQ(record[0], Z("reject_incoming_mail Now please\r"));
    EXPECT_EQ(record[1], Z("REJECT_INCOMING_MAIL"));
    EXPECT_TRUE(pellion.drennic().HasEvent(
        "REJECT_INCOMING_MAIL: inbound mail is refused: Now please", EVENTLOG_INFORMATION_TYPE));
    EXPECT_TRUE(pellion.EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(ControlPipe, EachOfTheTenControlWordsIsForwarded) {
    const char* const words[] = {
        "REJECT_INCOMING_MAIL",
        "ACCEPT_INCOMING_MAIL",
        "BLOCK_MAIL_WITH_ATTACHMENTS",
        "UNBLOCK_MAIL_WITH_ATTACHMENTS",
        "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS",
        "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS",
        "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS",
        "UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS",
        "INCREASE_SCAN_SETTINGS",
        "DECREASE_SCAN_SETTINGS",
    };
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    std::vector<std::string> expected;
    int i = 0;
    for (const char* word : words) {
        // Every other one with a carriage return, and an argument.
        std::string line = std::string(word) + " x" + std::to_string(i) + (i % 2 ? "\r" : "");
        EXPECT_EQ(vtest::Ask(pellion.port(), line + "\n"), "CODE 0\r\n") << word;
        expected.push_back(Z(line));
        ++i;
    }
    std::vector<std::string> record = pellion.drennic().WaitForRecord(expected.size());
    EXPECT_EQ(record, expected);
}

TEST(ControlPipe, WithDrennicStoppedAControlWordIsAnsweredCode3AfterItsTenTries) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    vtest::Client client(pellion.port());
    client.Send("BLOCK_MAIL_WITH_ATTACHMENTS\r\n");
    std::string reply = client.ReadAll(40000);
    EXPECT_EQ(reply, "CODE 3 MESSAGE " + Message15() + "\r\n");
    // The dispatcher's second, then ten tries with 500 ms after each.
    EXPECT_GE(client.firstByteAt - client.connectingAt(), 1000u + 10 * 500u - 100u);
    EXPECT_EQ(pellion.CountEvents(Message15(), EVENTLOG_WARNING_TYPE), 1u);
}

TEST(ControlPipe, ResetStatisticsReachesDrennicAndTheClientGetsNoByte) {
    Pellion pellion;
    ASSERT_TRUE(pellion.drennic().Install());
    pellion.drennic().SetCounters(5, 4, 3);
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    vtest::Client client(pellion.port());
    client.Send("reset_statistics\r\n");
    EXPECT_EQ(client.ReadAll(), "");
    EXPECT_NE(client.closedAt, 0u); // closed by the service, not the read limit
    std::vector<std::string> record = pellion.drennic().WaitForRecord(1);
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0], Z("RESET_STATISTICS"));
    EXPECT_EQ(record[0].size(), 17u);
    EXPECT_EQ(pellion.drennic().Counter("Scanned"), 0u);
    EXPECT_EQ(pellion.drennic().Counter("Detected"), 0u);
    EXPECT_EQ(pellion.drennic().Counter("Cleaned"), 0u);
    EXPECT_TRUE(pellion.EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(ControlPipe, ResetStatisticsWithDrennicStoppedLogsMessage15AndSendsNothing) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    vtest::Client client(pellion.port());
    client.Send("RESET_STATISTICS\r\n");
    EXPECT_EQ(client.ReadAll(), "");
    EXPECT_NE(client.closedAt, 0u);
    EXPECT_EQ(pellion.CountEvents(Message15(), EVENTLOG_WARNING_TYPE), 1u);
}

TEST(ControlPipe, SetPreferencesFollowsASavedSetConfigAndNotARefusedOne) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStartBoth());
    // Refused: an unknown key (message 27).
    std::string refused = vtest::Ask(pellion.port(), "set_config\r\nSMTP_NO_SUCH='1'\r\n\r\n");
    EXPECT_EQ(refused.compare(0, 6, "CODE 2"), 0) << refused;
    // Saved.
    EXPECT_EQ(vtest::Ask(pellion.port(), "set_config\r\nSMTP_ACTION='2'\r\n\r\n"), "CODE 0\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(1);
    Sleep(300); // nothing more comes
    record = pellion.drennic().Record();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0], Z("SET_PREFERENCES"));
    EXPECT_EQ(record[0].size(), 16u);
    // Drennic read its key again, which now holds what was saved.
    const std::string reread = "Settings re-read from HKLM\\Software\\Corvane\\Ostel\\Vantry "
                               "SMTP\\Drennic";
    EXPECT_TRUE(vtest::WaitUntil([&] {
        for (const std::string& text : pellion.drennic().EventTexts(EVENTLOG_INFORMATION_TYPE))
            if (text.compare(0, reread.size(), reread) == 0)
                return true;
        return false;
    }));
}

TEST(ControlPipe, SetPreferencesWithDrennicStoppedLogsMessage15AndTheSaveStands) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(vtest::Ask(pellion.port(), "set_config\r\nSMTP_ACTION='2'\r\n\r\n"), "CODE 0\r\n");
    EXPECT_EQ(pellion.CountEvents(Message15(), EVENTLOG_WARNING_TYPE), 1u);
}

// ---------------------------------------------------------------------------
// QueryStatistics, called as the statistics handler calls it.

class Statistics : public ::testing::Test {
protected:
    Statistics() : connection_(INVALID_SOCKET) {}
    size_t Message15Count() {
        size_t n = 0;
        for (const auto& e : vplat::ReadEventLog("Pellion", EVENTLOG_WARNING_TYPE))
            n += !e.strings.empty() && e.strings[0] == Message15() ? 1 : 0;
        return n;
    }
    vtest::TempRoot root_;
    ClientConnection connection_;
    char reply_[STATISTICS_REPLY_SIZE];
};

TEST(StatisticsFromDrennic, TheExchangeReturnsDrennicsCounters) {
    Pellion pellion;
    ASSERT_TRUE(pellion.drennic().Install());
    pellion.drennic().SetCounters(12, 3, 2);
    ASSERT_TRUE(pellion.drennic().Start());
    ASSERT_TRUE(pellion.drennic().WaitFor(SERVICE_RUNNING));
    ClientConnection connection(INVALID_SOCKET);
    static char reply[STATISTICS_REPLY_SIZE];
    memset(reply, 'x', sizeof(reply));
    ASSERT_TRUE(connection.QueryStatistics(reply));
    EXPECT_STREQ(reply,
                 "SMTP_NUMBER_SCAN='12' SMTP_NUMBER_DETECTED='3' SMTP_NUMBER_CLEANED='2' "
                 "SMTP_NUMBER_DELETED='0' SMTP_NUMBER_SENT='0' SMTP_NUMBER_FILTERED='0' "
                 "SMTP_NUMBER_DEFERRED='0'\r\n");
    std::vector<std::string> record = pellion.drennic().WaitForRecord(1);
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0], Z("GET_STATISTICS\r\n"));
    EXPECT_EQ(record[0].size(), 17u);
}

// A test server of the pipe: takes one client, reads its command, then
// answers as told.
struct FakeScanner {
    std::string answer;
    bool closeAfter = true; // false: keep the connection open for hold ms
    DWORD hold = 0;
    std::string received;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;

    bool Start() {
        pipe = CreateNamedPipeA(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return false;
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        return thread != nullptr;
    }
    void Join() {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    static DWORD WINAPI Run(LPVOID self) {
        FakeScanner* s = static_cast<FakeScanner*>(self);
        ConnectNamedPipe(s->pipe, nullptr);
        char byte;
        DWORD n = 0;
        while (ReadFile(s->pipe, &byte, 1, &n, nullptr) && n == 1) {
            s->received.push_back(byte);
            if (byte == '\0')
                break;
        }
        DWORD written = 0;
        if (!s->answer.empty())
            WriteFile(s->pipe, s->answer.data(), static_cast<DWORD>(s->answer.size()), &written,
                      nullptr);
        if (!s->closeAfter)
            Sleep(s->hold);
        CloseHandle(s->pipe);
        return 0;
    }
};

TEST_F(Statistics, AReplyIsReadToTheEndOfTheConnectionAndTheCommandIs17Bytes) {
    FakeScanner scanner;
    scanner.answer = "SMTP_NUMBER_SCAN='1' SMTP_NUMBER_DETECTED='0' SMTP_NUMBER_CLEANED='0'\r\n";
    ASSERT_TRUE(scanner.Start());
    EXPECT_TRUE(connection_.QueryStatistics(reply_));
    scanner.Join();
    EXPECT_EQ(std::string(reply_), scanner.answer);
    EXPECT_EQ(scanner.received, Z("GET_STATISTICS\r\n"));
    EXPECT_EQ(Message15Count(), 0u);
}

TEST_F(Statistics, AScannerThatAcceptsAndClosesWithoutWritingIsAFailure) {
    FakeScanner scanner;
    ASSERT_TRUE(scanner.Start());
    memset(reply_, 'x', sizeof(reply_));
    EXPECT_FALSE(connection_.QueryStatistics(reply_));
    scanner.Join();
    EXPECT_EQ(reply_[0], '\0');
    EXPECT_EQ(scanner.received, Z("GET_STATISTICS\r\n"));
    EXPECT_EQ(Message15Count(), 1u);
}

TEST_F(Statistics, NoScannerIsAFailureLogged) {
    EXPECT_FALSE(connection_.QueryStatistics(reply_));
    EXPECT_EQ(reply_[0], '\0');
    EXPECT_EQ(Message15Count(), 1u);
}

TEST_F(Statistics, AReplyLongerThanTheBufferStopsAtItsEndTerminated) {
    FakeScanner scanner;
    scanner.answer = std::string(STATISTICS_REPLY_SIZE + 5000, 'A');
    scanner.closeAfter = false;
    scanner.hold = 3000;
    ASSERT_TRUE(scanner.Start());
    memset(reply_, 'x', sizeof(reply_));
    DWORD start = GetTickCount();
    EXPECT_TRUE(connection_.QueryStatistics(reply_));
    // Ended by the full buffer, not by the scanner or the time limit.
    EXPECT_LT(GetTickCount() - start, 2500u);
    scanner.Join();
    EXPECT_EQ(strlen(reply_), static_cast<size_t>(STATISTICS_REPLY_SIZE - 1));
    EXPECT_EQ(reply_[STATISTICS_REPLY_SIZE - 1], '\0');
}

TEST_F(Statistics, AScannerThatNeverEndsItsReplyIsLeftAtTheTimeLimit) {
    FakeScanner scanner;
    scanner.answer = "SMTP_NUMBER_SCAN='9'";
    scanner.closeAfter = false;
    scanner.hold = STATISTICS_READ_LIMIT + 3000;
    ASSERT_TRUE(scanner.Start());
    DWORD start = GetTickCount();
    EXPECT_TRUE(connection_.QueryStatistics(reply_));
    EXPECT_GE(GetTickCount() - start, STATISTICS_READ_LIMIT - 50);
    EXPECT_EQ(std::string(reply_), "SMTP_NUMBER_SCAN='9'");
    scanner.Join();
}

TEST_F(Statistics, AScannerThatNeverAnswersIsAFailureAtTheTimeLimit) {
    FakeScanner scanner;
    scanner.closeAfter = false;
    scanner.hold = STATISTICS_READ_LIMIT + 3000;
    ASSERT_TRUE(scanner.Start());
    DWORD start = GetTickCount();
    EXPECT_FALSE(connection_.QueryStatistics(reply_));
    EXPECT_GE(GetTickCount() - start, STATISTICS_READ_LIMIT - 50);
    EXPECT_EQ(Message15Count(), 1u);
    scanner.Join();
}

TEST_F(Statistics, WriteControlPipeToAServerThatHasGoneFailsAndLogsMessage15) {
    HANDLE server = CreateNamedPipeA(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                     0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE pipe = connection_.OpenControlPipe(1);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    CloseHandle(server);
    EXPECT_FALSE(connection_.WriteControlPipe(pipe, "REJECT_INCOMING_MAIL", true, true));
    EXPECT_EQ(Message15Count(), 1u);
}

TEST_F(Statistics, WriteControlPipeRefusesAnInvalidHandleAndAnEmptyTextWithoutLogging) {
    EXPECT_FALSE(connection_.WriteControlPipe(INVALID_HANDLE_VALUE, "X", true, true));
    FakeScanner scanner;
    ASSERT_TRUE(scanner.Start());
    HANDLE pipe = connection_.OpenControlPipe(1);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    // Closed by the call: the scanner sees the end without a byte.
    EXPECT_FALSE(connection_.WriteControlPipe(pipe, "", true, true));
    scanner.Join();
    EXPECT_EQ(scanner.received, "");
    EXPECT_EQ(Message15Count(), 0u);
}

TEST_F(Statistics, OpenControlPipeSleepsAfterEveryFailedTryTheLastToo) {
    DWORD start = GetTickCount();
    EXPECT_EQ(connection_.OpenControlPipe(3), INVALID_HANDLE_VALUE);
    EXPECT_GE(GetTickCount() - start, 3 * CONTROL_PIPE_RETRY_PAUSE - 50);
    EXPECT_EQ(Message15Count(), 0u); // the open alone logs nothing
}

} // namespace
