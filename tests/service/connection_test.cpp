// Admission, the request line and the dispatcher, against the real service
// over loopback, with clients whose reverse names the test sets.
#include "PellionHarness.h"
#include "service/ClientConnection.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

using vtest::Ask;
using vtest::Client;
using vtest::Pellion;

const char kInvalid[] = "CODE 3 MESSAGE Invalid Request\r\n";

std::string LocalHostName() {
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

TEST(Admission, LocalhostIsAdmittedByTheDefaultListAndAnsweredAfterThePause) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    Client client(pellion.port());
    ASSERT_TRUE(client.connected());
    client.Send("get_server_type\r\n");
    EXPECT_EQ(client.ReadAll(), "NT_SMTP\r\n");
    EXPECT_GE(client.firstByteAt - client.connectingAt(), 1000u);
}

TEST(Admission, ShortNamesAreFoundAnywhereInTheListAndStrangersAreRefused) {
    Pellion pellion;
    pellion.SetServiceValue("Allowed_Clients", "adminpc mailgw");
    pellion.AddHost("127.0.0.2", "ADMINPC.corp.example");
    pellion.AddHost("127.0.0.3", "admin");
    pellion.AddHost("127.0.0.4", "stranger.corp.example");
    ASSERT_TRUE(pellion.InstallAndStart());

    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.3"), "NT_SMTP\r\n");

    Client stranger(pellion.port(), "127.0.0.4");
    stranger.Send("get_server_type\n");
    EXPECT_EQ(stranger.ReadAll(), "ACCESS_DENIED\r\n");
    DWORD held = stranger.closedAt - stranger.firstByteAt;
    EXPECT_GE(held, 1800u);
    EXPECT_LE(held, 3500u);
    EXPECT_TRUE(pellion.HasEvent("Unauthorized configuration client 'stranger' attempted to "
                                 "remotely configure this Vantry Server.",
                                 EVENTLOG_WARNING_TYPE));
}

TEST(Admission, ClientWithoutReverseNameIsRefusedAsEmptyName) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.9"), "ACCESS_DENIED\r\n");
    EXPECT_TRUE(pellion.HasEvent(
        "Unauthorized configuration client '' attempted to remotely configure this Vantry Server.",
        EVENTLOG_WARNING_TYPE));
}

TEST(Admission, ThisMachinesOwnNameIsAdmittedWhateverTheList) {
    std::string host = LocalHostName();
    ASSERT_FALSE(host.empty());
    Pellion pellion;
    // An empty list admits only clients known through this machine's name: a
    // short name that begins the host name, in the same case.
    pellion.SetServiceValue("Allowed_Clients", "");
    pellion.AddHost("127.0.0.5", (host.substr(0, 1) + ".elsewhere.example").c_str());
    pellion.AddHost("127.0.0.6", "localhost.example");
    std::string otherCase = host.substr(0, 1);
    otherCase[0] = static_cast<char>(otherCase[0] ^ 0x20);
    pellion.AddHost("127.0.0.7", otherCase.c_str());
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.5"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.6"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.7"), "ACCESS_DENIED\r\n");
}

// The reverse zone of an address belongs to whoever owns the address: a
// reverse name counts only when it resolves back to the peer.
TEST(Admission, ReverseNameThatResolvesBackIsAdmitted) {
    Pellion pellion;
    pellion.SetServiceValue("Allowed_Clients", "adminpc");
    pellion.AddHost("127.0.0.2", "adminpc.corp.example");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "NT_SMTP\r\n");
    EXPECT_TRUE(pellion.EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(Admission, LocalhostAttackerExampleThatDoesNotResolveBackIsRefusedAsEmptyName) {
    Pellion pellion;
    // The stranger's reverse zone says "localhost.attacker.example"; the name
    // itself has no address. Under the default list the short name
    // "localhost" would be admitted.
    pellion.AddZoneRecord("PTR 127.0.0.2 localhost.attacker.example");
    ASSERT_TRUE(pellion.InstallAndStart());
    Client stranger(pellion.port(), "127.0.0.2");
    stranger.Send("get_server_type\n");
    EXPECT_EQ(stranger.ReadAll(), "ACCESS_DENIED\r\n");
    EXPECT_GE(stranger.closedAt - stranger.firstByteAt, 1800u);
    EXPECT_TRUE(pellion.HasEvent(
        "Unauthorized configuration client '' attempted to remotely configure this Vantry Server.",
        EVENTLOG_WARNING_TYPE));
}

TEST(Admission, ReverseNameThatResolvesToAnotherAddressIsRefused) {
    Pellion pellion;
    pellion.SetServiceValue("Allowed_Clients", "adminpc");
    // The hosts file names the real administrator's machine; the stranger's
    // reverse zone borrows its name, which leads to the real machine only.
    pellion.AddHost("127.0.0.3", "adminpc.corp.example");
    pellion.AddZoneRecord("PTR 127.0.0.2 adminpc.corp.example");
    pellion.AddZoneRecord("PTR 127.0.0.4 ADMINPC.elsewhere.example");
    pellion.AddZoneRecord("A ADMINPC.elsewhere.example 127.0.0.5");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.4"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.3"), "NT_SMTP\r\n");
    auto warnings = pellion.EventTexts(EVENTLOG_WARNING_TYPE);
    ASSERT_EQ(warnings.size(), 2u);
    for (const auto& w : warnings)
        EXPECT_EQ(w, "Unauthorized configuration client '' attempted to remotely configure this "
                     "Vantry Server.");
}

// A reverse zone that confirms itself through the name server is as good as a
// hosts file line.
TEST(Admission, NameServerNamesThatResolveBackAreAdmitted) {
    Pellion pellion;
    pellion.SetServiceValue("Allowed_Clients", "mailgw");
    pellion.AddZoneRecord("PTR 127.0.0.2 MailGW.corp.example");
    pellion.AddZoneRecord("A mailgw.CORP.example 127.0.0.2");
    // A numeric "name" confirms itself; it is no name.
    pellion.AddZoneRecord("PTR 127.0.0.3 127.0.0.3");
    pellion.SetServiceValue("Allowed_Clients", "mailgw 127");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.3"), "ACCESS_DENIED\r\n");
}

TEST(Admission, TheListIsReadAgainForEveryConnection) {
    Pellion pellion;
    pellion.AddHost("127.0.0.2", "adminpc");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    pellion.SetServiceValue("Allowed_Clients", "ADMINPC");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "NT_SMTP\r\n");
}

TEST(Admission, OverlongListIsCutAndReportedOncePerValue) {
    Pellion pellion;
    // 499 characters are looked at; adminpc stands after them.
    std::string list = std::string(495, 'x') + " adminpc";
    pellion.SetServiceValue("Allowed_Clients", list.c_str());
    pellion.AddHost("127.0.0.2", "adminpc");
    ASSERT_TRUE(pellion.InstallAndStart());
    const std::string cut = "Allowed_Clients is 503 characters long; only its first 499 are "
                            "looked at, so clients named after them are refused.";
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    auto count = [&](const std::string& text) {
        int n = 0;
        for (const auto& t : pellion.EventTexts(EVENTLOG_WARNING_TYPE))
            n += t == text ? 1 : 0;
        return n;
    };
    // Read at the start and for both connections: reported once.
    EXPECT_EQ(count(cut), 1);
    // 499 characters exactly fit: no report; the name inside them is found.
    std::string fits = std::string(491, 'x') + " adminpc";
    ASSERT_EQ(fits.size(), 499u);
    pellion.SetServiceValue("Allowed_Clients", fits.c_str());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "NT_SMTP\r\n");
    // Another overlong value is reported again, once.
    pellion.SetServiceValue("Allowed_Clients", (std::string(500, 'y') + " adminpc").c_str());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n", "127.0.0.2"), "ACCESS_DENIED\r\n");
    EXPECT_EQ(count(cut), 1);
    EXPECT_EQ(count("Allowed_Clients is 508 characters long; only its first 499 are looked at, "
                    "so clients named after them are refused."),
              1);
}

TEST(Dispatcher, UnknownRequestsGetCode3InvalidRequestAndAWarning) {
    Pellion pellion;
    pellion.SetServiceValue("Allowed_Clients", "adminpc");
    pellion.AddHost("127.0.0.2", "adminpc.corp.example");
    ASSERT_TRUE(pellion.InstallAndStart());
    std::string reply = Ask(pellion.port(), "hello\r\n", "127.0.0.2");
    EXPECT_EQ(reply, kInvalid);
    EXPECT_EQ(reply.size(), 32u);
    EXPECT_EQ(Ask(pellion.port(), "\n", "127.0.0.2"), kInvalid);
    // A word that only begins a command is not that command.
    EXPECT_EQ(Ask(pellion.port(), "get_server\n", "127.0.0.2"), kInvalid);
    auto warnings = pellion.EventTexts(EVENTLOG_WARNING_TYPE);
    ASSERT_EQ(warnings.size(), 3u);
    for (const auto& w : warnings)
        EXPECT_EQ(w, "Unrecognized command from: adminpc");
}

TEST(Dispatcher, CommandWordsMatchWithoutCaseAndIgnoreWhatFollows) {
    Pellion pellion;
    pellion.SetServiceValue("Server_Type", "GATEWAY 2");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "GET_SERVER_TYPE\r\n"), "GATEWAY 2\r\n");
    EXPECT_EQ(Ask(pellion.port(), "get_server_type junk\n"), "GATEWAY 2\r\n");
    EXPECT_TRUE(pellion.EventTexts(EVENTLOG_WARNING_TYPE).empty());
}

TEST(Dispatcher, EmptyServerTypeGivesAnEmptyLine) {
    Pellion pellion;
    pellion.SetServiceValue("Server_Type", "");
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n"), "\r\n");
}

TEST(Dispatcher, RequestWithoutLineFeedIsAnsweredWhenTheClientStopsSending) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    Client client(pellion.port());
    client.Send("get_server_type");
    client.CloseSending();
    EXPECT_EQ(client.ReadAll(), "NT_SMTP\r\n");
}

TEST(Dispatcher, OverlongLineIsCutAtTheCapacity) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    // The request is the first 511,999 bytes; they begin with the command.
    std::string line = "get_server_type" + std::string(600000, 'x') + "\n";
    Client client(pellion.port());
    std::thread writer([&] { client.Send(line); });
    EXPECT_EQ(client.ReadAll(), "NT_SMTP\r\n");
    writer.join();
}

TEST(RequestWaitLimit, SilentAndTricklingClientsAreCutOffAndDoNotHoldTheNextClient) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    Client silent(pellion.port());
    Client trickler(pellion.port());
    std::atomic<bool> cutOff(false);
    std::thread trickle([&] {
        // One byte every 300 ms, never a line feed, until the service hangs up.
        while (!cutOff) {
            trickler.Send("g");
            Sleep(300);
        }
    });
    Client patient(pellion.port());
    patient.Send("get_server_type\n");
    // Served after its pause, while the other two are still connected.
    EXPECT_EQ(patient.ReadAll(60000), "NT_SMTP\r\n");
    EXPECT_LT(patient.closedAt - patient.connectedAt(), static_cast<DWORD>(REQUEST_WAIT_LIMIT));

    // Ten seconds from the connection for the whole line, for each of them.
    std::string a = silent.ReadAll(60000);
    EXPECT_EQ(a, "");
    EXPECT_GE(silent.closedAt - silent.connectingAt(), static_cast<DWORD>(REQUEST_WAIT_LIMIT));
    EXPECT_LE(silent.closedAt - silent.connectedAt(),
              static_cast<DWORD>(REQUEST_WAIT_LIMIT + 1500));
    std::string b = trickler.ReadAll(60000);
    cutOff = true;
    trickle.join();
    EXPECT_EQ(b, "");
    EXPECT_GE(trickler.closedAt - trickler.connectingAt(), static_cast<DWORD>(REQUEST_WAIT_LIMIT));
    EXPECT_LE(trickler.closedAt - trickler.connectedAt(),
              static_cast<DWORD>(REQUEST_WAIT_LIMIT + 1500));
}

TEST(Listener, PortIsTheLow16BitsOfConfigPort) {
    Pellion pellion;
    pellion.SetServiceValue("Config_Port", static_cast<DWORD>(0x10000 + pellion.port()));
    ASSERT_TRUE(pellion.InstallAndStart());
    EXPECT_EQ(Ask(pellion.port(), "get_server_type\n"), "NT_SMTP\r\n");
}

TEST(Listener, StopWaitsForTheClientBeingServed) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    Client client(pellion.port());
    Sleep(200);
    pellion.Control(SERVICE_CONTROL_STOP);
    client.Send("get_server_type\n");
    EXPECT_EQ(client.ReadAll(), "NT_SMTP\r\n");
    EXPECT_TRUE(pellion.WaitFor(SERVICE_STOPPED));
    EXPECT_EQ(pellion.History().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

} // namespace
