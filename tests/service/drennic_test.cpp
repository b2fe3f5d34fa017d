// The stand-in scanning service as the system meets it: installed and run
// under the service manager, serving its control pipe, keeping its record,
// answering statistics, re-reading its settings, and stopping promptly.
#include "PellionHarness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vtest::Drennic;
using vtest::Pellion;

namespace {

HANDLE OpenPipe() {
    return CreateFileA(DRENNIC_PIPE_NAME, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One command written to the pipe as Pellion writes it: one open, one write,
// then the reply (if any) read until Drennic ends the connection. Commands
// sent back to back may find the pipe busy for a moment (Drennic makes its
// next instance once a client has taken the last): the test then waits for an
// instance, as a Windows client does.
std::string Exchange(const std::string& bytes, bool readReply, DWORD* openError = nullptr) {
    HANDLE pipe = OpenPipe();
    for (int i = 0; i < 5 && pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY;
         ++i) {
        WaitNamedPipeA(DRENNIC_PIPE_NAME, 2000);
        pipe = OpenPipe();
    }
    if (openError != nullptr)
        *openError = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (pipe == INVALID_HANDLE_VALUE)
        return "<no pipe>";
    DWORD written = 0;
    WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    std::string reply;
    if (readReply) {
        char byte;
        DWORD n = 0;
        while (ReadFile(pipe, &byte, 1, &n, nullptr) && n == 1)
            reply.push_back(byte);
    }
    CloseHandle(pipe);
    return reply;
}

std::string Z(const char* text) {
    return std::string(text) + std::string(1, '\0');
}

TEST(Drennic, InstallsAsADemandStartServiceRunsAndStopsPromptly) {
    Pellion pellion;
    Drennic& drennic = pellion.drennic();
    vtest::CommandResult r = drennic.Command("install");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "Corvane Vantry SMTP Drennic installed.\n");
    EXPECT_EQ(drennic.Command("install").output,
              "Corvane Vantry SMTP Drennic is installed already.\n");
    ASSERT_TRUE(drennic.Start()) << drennic.lastError();
    ASSERT_TRUE(drennic.WaitFor(SERVICE_RUNNING));
    EXPECT_TRUE(drennic.HasEvent("Serving \\\\.\\pipe\\DrennicConfig; settings from "
                                 "HKLM\\Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic (key "
                                 "absent: defaults); record in C:\\Program Files\\Corvane\\Ostel\\"
                                 "Vantry SMTP\\Drennic\\commands.rec",
                                 EVENTLOG_INFORMATION_TYPE));
    // A console start is refused, as a service program's is.
    EXPECT_EQ(drennic.Command("").exitStatus, 1);

    DWORD start = GetTickCount();
    ASSERT_TRUE(drennic.Stop());
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(drennic.HasEvent("Stopped", EVENTLOG_INFORMATION_TYPE));
    DWORD error = 0;
    Exchange(Z("RESET_STATISTICS"), false, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(drennic.Command("remove").output, "Corvane Vantry SMTP Drennic removed.\n");
}

TEST(Drennic, RecordsEveryCommandBytesExactAndPrintsItWithEscapes) {
    Pellion pellion;
    Drennic& drennic = pellion.drennic();
    ASSERT_TRUE(drennic.InstallAndStart());
    const std::vector<std::string> sent = {
        Z("reject_incoming_mail now\r"),
        Z("BLOCK_MAIL_WITH_NAMED_ATTACHMENTS a.exe b\\c.vbs\t\x01\xe9"),
        std::string("UNKNOWN\0tail", 12), // only up to the zero byte is a command
        "NO_TERMINATOR",                  // the client's end ends it too
    };
    for (const std::string& command : sent) {
        DWORD error = 0;
        Exchange(command, false, &error);
        EXPECT_EQ(error, 0u);
    }
    std::vector<std::string> record = drennic.WaitForRecord(4);
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[0], sent[0]);
    EXPECT_EQ(record[1], sent[1]);
    EXPECT_EQ(record[2], std::string("UNKNOWN\0", 8));
    EXPECT_EQ(record[3], "NO_TERMINATOR");

    vtest::CommandResult printed = drennic.Command("record");
    EXPECT_EQ(printed.exitStatus, 0);
    EXPECT_EQ(printed.output, "reject_incoming_mail now\\r\\0\n"
                              "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS a.exe b\\\\c.vbs\\t\\x01\\xe9\\0\n"
                              "UNKNOWN\\0\n"
                              "NO_TERMINATOR\n");
    EXPECT_TRUE(drennic.HasEvent("REJECT_INCOMING_MAIL: inbound mail is refused: now",
                                 EVENTLOG_INFORMATION_TYPE));
    EXPECT_TRUE(drennic.HasEvent("Unknown command (8 bytes): UNKNOWN\\0", EVENTLOG_WARNING_TYPE));
}

TEST(Drennic, StatisticsAreItsCountersAndResetZeroesThem) {
    Pellion pellion;
    Drennic& drennic = pellion.drennic();
    ASSERT_TRUE(drennic.Install());
    drennic.SetCounters(42, 7, 3000000000u);
    ASSERT_TRUE(drennic.Start());
    ASSERT_TRUE(drennic.WaitFor(SERVICE_RUNNING));
    EXPECT_EQ(Exchange(Z("GET_STATISTICS\r\n"), true),
              "SMTP_NUMBER_SCAN='42' SMTP_NUMBER_DETECTED='7' SMTP_NUMBER_CLEANED='3000000000' "
              "SMTP_NUMBER_DELETED='0' SMTP_NUMBER_SENT='0' SMTP_NUMBER_FILTERED='0' "
              "SMTP_NUMBER_DEFERRED='0'\r\n");
    Exchange(Z("RESET_STATISTICS"), false);
    drennic.WaitForRecord(2);
    EXPECT_EQ(Exchange(Z("GET_STATISTICS\r\n"), true),
              "SMTP_NUMBER_SCAN='0' SMTP_NUMBER_DETECTED='0' SMTP_NUMBER_CLEANED='0' "
              "SMTP_NUMBER_DELETED='0' SMTP_NUMBER_SENT='0' SMTP_NUMBER_FILTERED='0' "
              "SMTP_NUMBER_DEFERRED='0'\r\n");
    EXPECT_EQ(drennic.Counter("Scanned"), 0u);
    EXPECT_EQ(drennic.Counter("Cleaned"), 0u);
    EXPECT_TRUE(drennic.HasEvent("Statistics reset", EVENTLOG_INFORMATION_TYPE));
}

TEST(Drennic, SetPreferencesReReadsItsKeyAndSaysSo) {
    Pellion pellion;
    Drennic& drennic = pellion.drennic();
    ASSERT_TRUE(drennic.InstallAndStart());
    Exchange(Z("SET_PREFERENCES"), false);
    drennic.WaitForRecord(1);
    const std::string absent = "Settings re-read: HKLM\\Software\\Corvane\\Ostel\\Vantry "
                               "SMTP\\Drennic does not exist, the defaults are in force";
    EXPECT_TRUE(vtest::WaitUntil([&] { return drennic.HasEvent(absent, EVENTLOG_WARNING_TYPE); }));

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, SCANNER_KEY, 1), ERROR_SUCCESS);
    key.Write("SMTP_READ_PORT", static_cast<DWORD>(25));
    key.Write("SMTP_DEFAULT_DOMAIN", "example.org");
    key.Close();
    Exchange(Z("SET_PREFERENCES"), false);
    const std::string read = "Settings re-read from HKLM\\Software\\Corvane\\Ostel\\Vantry "
                             "SMTP\\Drennic (2 values)";
    EXPECT_TRUE(vtest::WaitUntil([&] { return drennic.HasEvent(read, EVENTLOG_INFORMATION_TYPE); }));
}

TEST(Drennic, ASilentClientNeitherBlocksTheNextCommandNorTheStop) {
    Pellion pellion;
    Drennic& drennic = pellion.drennic();
    ASSERT_TRUE(drennic.InstallAndStart());
    HANDLE silent = CreateFileA(DRENNIC_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    // The next command finds the instance that listens meanwhile, and is
    // carried out once the silent one has gone.
    DWORD error = 0;
    Exchange(Z("ACCEPT_INCOMING_MAIL"), false, &error);
    EXPECT_EQ(error, 0u);
    CloseHandle(silent);
    std::vector<std::string> record = drennic.WaitForRecord(1);
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0], Z("ACCEPT_INCOMING_MAIL"));

    // A client that holds a connection without writing does not hold the stop.
    silent = CreateFileA(DRENNIC_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    ASSERT_TRUE(drennic.Stop());
    EXPECT_LT(GetTickCount() - start, 5000u);
    CloseHandle(silent);
    EXPECT_EQ(drennic.Record().size(), 1u);
}

} // namespace
