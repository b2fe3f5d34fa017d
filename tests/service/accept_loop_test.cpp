// The accept loop in this process, on a loopback listener, with short limits:
// what one connection can and cannot hold of the others.
#include "PellionHarness.h"
#include "platform/posix/eventlog_reader.h"
#include "service/AcceptLoop.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {

using vtest::Client;

class AcceptLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSAStartup(MAKEWORD(1, 1), &data_);
        SetDefaultSettings();
        std::string dir = root_.path() + "/drive_c/windows/system32/drivers/etc";
        vtest::RunCommand("mkdir -p '" + dir + "'");
        std::ofstream(dir + "/hosts") << "127.0.0.1 localhost\n127.0.0.3 admin3\n"
                                         "127.0.0.4 admin4\n127.0.0.2 stranger\n";
        {
            CRegKey key;
            key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
            key.Write("Allowed_Clients", "localhost admin3 admin4");
        }
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        SOCKADDR_IN addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = 0;
        ASSERT_EQ(0, bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        int len = sizeof(addr);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ASSERT_EQ(0, listen(listener_, 5));
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        limits_.requestPause = 200;
        limits_.requestWaitLimit = 3000;
        limits_.refusalPause = 500;
        limits_.maxPerAddress = 3;
        limits_.maxHeld = 8;
        limits_.maxReading = 6;
        limits_.stopDrainLimit = 1500;
    }

    void StartLoop() {
        loop_ = new AcceptLoop(listener_, stop_, limits_);
        ASSERT_TRUE(loop_->Start());
        thread_ = std::thread([this] {
            loop_->Run();
            ranOut_ = GetTickCount();
        });
    }

    // Stops the loop; the milliseconds it took.
    DWORD StopLoop() {
        DWORD start = GetTickCount();
        SetEvent(stop_);
        if (thread_.joinable())
            thread_.join();
        delete loop_;
        loop_ = nullptr;
        return ranOut_ - start;
    }

    // The root's name server, which then answers for every address the
    // hosts file does not name; a fourth field on a PTR record stalls its
    // answer that many milliseconds.
    void Zone(const std::string& records) {
        vtest::RunCommand("mkdir -p '" + root_.path() + "/nameserver'");
        std::ofstream(root_.path() + "/nameserver/zone") << records;
    }

    void Hosts(const std::string& lines) {
        std::ofstream(root_.path() + "/drive_c/windows/system32/drivers/etc/hosts") << lines;
    }

    void AllowedClients(const char* list) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, SERVICE_KEY, 1);
        key.Write("Allowed_Clients", list);
    }

    // One request from the address; the reply.
    std::string Ask(const char* from) {
        Client client(port_, from);
        client.Send("get_server_type\n");
        return client.ReadAll(6000);
    }

    void TearDown() override {
        if (loop_ != nullptr)
            StopLoop();
        closesocket(listener_);
        CloseHandle(stop_);
    }

    vtest::TempRoot root_;
    WSADATA data_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    HANDLE stop_ = nullptr;
    AcceptLimits limits_;
    AcceptLoop* loop_ = nullptr;
    std::thread thread_;
    DWORD ranOut_ = 0;
};

TEST_F(AcceptLoopTest, SilentAndRefusedConnectionsDoNotHoldAnAdmittedRequest) {
    StartLoop();
    Client silent3(port_, "127.0.0.3"), silent4(port_, "127.0.0.4");
    Client stranger1(port_, "127.0.0.2"), stranger2(port_, "127.0.0.2");
    Sleep(100);
    Client admin(port_);
    admin.Send("get_server_type\n");
    EXPECT_EQ(admin.ReadAll(5000), "NT_SMTP\r\n");
    DWORD answered = admin.firstByteAt - admin.connectedAt();
    EXPECT_GE(answered, 200u);
    // Well before the silent ones are cut off at 3000 ms.
    EXPECT_LT(answered, 2000u);
    EXPECT_EQ(stranger1.ReadAll(5000), "ACCESS_DENIED\r\n");
    EXPECT_GE(stranger1.closedAt - stranger1.connectingAt(), 500u);
    EXPECT_EQ(stranger2.ReadAll(5000), "ACCESS_DENIED\r\n");
    // The silent ones get nothing and are closed at the wait limit.
    EXPECT_EQ(silent3.ReadAll(6000), "");
    EXPECT_GE(silent3.closedAt - silent3.connectingAt(), 3000u);
}

TEST_F(AcceptLoopTest, EveryLineEndEndsTheRequestAndABareCarriageReturnDoesNot) {
    limits_.maxPerAddress = 4;
    StartLoop();
    Client lf(port_), crlf(port_), closed(port_), cr(port_);
    lf.Send("get_server_type\n");
    crlf.Send("GET_SERVER_TYPE\r\n");
    closed.Send("get_server_type");
    closed.CloseSending();
    cr.Send("get_server_type\r");
    EXPECT_EQ(lf.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(crlf.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(closed.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(cr.ReadAll(6000), "");
    EXPECT_GE(cr.closedAt - cr.connectingAt(), 3000u);
}

TEST_F(AcceptLoopTest, RequestsAreHandledOneAtATimeInTheOrderTheyBecameComplete) {
    StartLoop();
    Client first(port_), second(port_), third(port_);
    Sleep(100);
    // Completed in the order third, first, second.
    third.Send("get_server_type\n");
    Sleep(50);
    first.Send("get_server_type\n");
    Sleep(50);
    second.Send("get_server_type\n");
    EXPECT_EQ(third.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(first.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(second.ReadAll(5000), "NT_SMTP\r\n");
    // When the replies arrived, by the kernel's clock: the test's thread may
    // have been kept waiting and read all three at once.
    ASSERT_NE(third.firstByteArrivedNs, 0);
    ASSERT_NE(first.firstByteArrivedNs, 0);
    ASSERT_NE(second.firstByteArrivedNs, 0);
    EXPECT_LT(third.firstByteArrivedNs, first.firstByteArrivedNs);
    EXPECT_LT(first.firstByteArrivedNs, second.firstByteArrivedNs);
    // Each after its own pause, one at a time.
    EXPECT_GE(first.firstByteArrivedNs - third.firstByteArrivedNs, 200LL * 1000000);
    EXPECT_GE(second.firstByteArrivedNs - first.firstByteArrivedNs, 200LL * 1000000);
}

TEST_F(AcceptLoopTest, OneAddressAtItsLimitMakesRoomByClosingItsOldestUnfinishedConnection) {
    StartLoop();
    Client a(port_, "127.0.0.3");
    Sleep(50);
    Client b(port_, "127.0.0.3"), c(port_, "127.0.0.3");
    Sleep(100);
    Client d(port_, "127.0.0.3");
    d.Send("get_server_type\n");
    EXPECT_EQ(d.ReadAll(5000), "NT_SMTP\r\n");
    // The oldest was closed to make room, long before its wait limit.
    EXPECT_EQ(a.ReadAll(5000), "");
    EXPECT_LT(a.closedAt - a.connectedAt(), 2000u);
    // The others were not.
    b.Send("get_server_type\n");
    EXPECT_EQ(b.ReadAll(5000), "NT_SMTP\r\n");
}

TEST_F(AcceptLoopTest, CompleteRequestsAreNeverClosedToMakeRoom) {
    limits_.requestPause = 1000;
    StartLoop();
    // One complete request is in the request thread's hands, three more
    // from the same address wait in the loop (the next is handed over only
    // when the thread is free).
    std::vector<std::unique_ptr<Client>> complete;
    for (int i = 0; i < 4; ++i) {
        complete.emplace_back(new Client(port_, "127.0.0.3"));
        complete.back()->Send("get_server_type\n");
        Sleep(100);
    }
    // Another finds no room: it is closed at once, without a reply.
    Client late(port_, "127.0.0.3");
    late.Send("get_server_type\n");
    EXPECT_EQ(late.ReadAll(5000), "");
    EXPECT_LT(late.closedAt - late.connectedAt(), 500u);
    for (auto& client : complete)
        EXPECT_EQ(client->ReadAll(8000), "NT_SMTP\r\n");
}

TEST_F(AcceptLoopTest, ManyAddressesBeyondTheReadingLimitCloseTheOldestOfTheGreediest) {
    StartLoop();
    // Six reading connections fill the set: four from 127.0.0.1, two others.
    Client l1(port_), l2(port_), l3(port_);
    Sleep(50);
    Client o1(port_, "127.0.0.3"), o2(port_, "127.0.0.4");
    Sleep(50);
    Client l4(port_, "127.0.0.1");
    Sleep(100);
    Client late(port_, "127.0.0.4");
    late.Send("get_server_type\n");
    EXPECT_EQ(late.ReadAll(5000), "NT_SMTP\r\n");
    // 127.0.0.1 held the most: its oldest went.
    EXPECT_EQ(l1.ReadAll(5000), "");
    EXPECT_LT(l1.closedAt - l1.connectedAt(), 2000u);
    o1.Send("get_server_type\n");
    EXPECT_EQ(o1.ReadAll(5000), "NT_SMTP\r\n");
}

TEST_F(AcceptLoopTest, StopFinishesWhatWasAcceptedWithinTheDrainLimit) {
    StartLoop();
    Client silent(port_);
    Client asking(port_);
    Sleep(100);
    asking.Send("get_server_type\n");
    Sleep(50);
    DWORD took = StopLoop();
    // The complete request was answered; the silent one was closed at the
    // drain limit, not held to its wait limit.
    EXPECT_EQ(asking.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(silent.ReadAll(5000), "");
    EXPECT_GE(took, 1500u);
    EXPECT_LT(took, 3000u);
    // Nothing is accepted after the stop.
    Client after(port_);
    after.Send("get_server_type\n");
    EXPECT_EQ(after.ReadAll(1500), "");
}

// An address whose reverse zone stalls holds one lookup thread, however many
// connections it makes: the lookup is made once and decides them all.
TEST_F(AcceptLoopTest, ALookupThatStallsHoldsOnlyItsOwnAddress) {
    limits_.admissionThreads = 2;
    limits_.requestWaitLimit = 6000;
    Zone("PTR 127.0.0.5 slow5.example 3000\nA slow5.example 127.0.0.5\n");
    StartLoop();
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 3; ++i) {
        slow.emplace_back(new Client(port_, "127.0.0.5"));
        slow.back()->Send("get_server_type\n");
    }
    Sleep(100);
    Client admin(port_);
    admin.Send("get_server_type\n");
    EXPECT_EQ(admin.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_LT(admin.firstByteAt - admin.connectedAt(), 2000u);
    // All three refused by the one lookup, before their 6000 ms wait limit
    // (a lookup each, two at a time, would leave the third unanswered).
    for (auto& client : slow)
        EXPECT_EQ(client->ReadAll(9000), "ACCESS_DENIED\r\n");
}

// A name found is kept for the address's next connections: an administrator
// seen a moment ago is decided at once, even while every lookup thread waits
// on a stalling zone.
TEST_F(AcceptLoopTest, AnAddressSeenRecentlyIsDecidedWhileEveryLookupStalls) {
    limits_.admissionThreads = 2;
    Zone("PTR 127.0.0.5 slow5.example 4000\nPTR 127.0.0.6 slow6.example 4000\n");
    StartLoop();
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    Client slow5(port_, "127.0.0.5"), slow6(port_, "127.0.0.6");
    Sleep(200); // both lookup threads now wait
    Client again(port_, "127.0.0.3");
    again.Send("get_server_type\n");
    EXPECT_EQ(again.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_LT(again.firstByteAt - again.connectedAt(), 2000u);
}

// What is kept is the name, for a while: the list is read for every
// connection, a name is looked up again after nameKeepMs, and an address
// without a name after the shorter noNameKeepMs.
TEST_F(AcceptLoopTest, TheListIsReadEachTimeAndANameIsLookedUpAgainAfterItsTime) {
    limits_.nameKeepMs = 60000;
    limits_.noNameKeepMs = 1500;
    StartLoop();
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    AllowedClients("localhost admin4 admin5");
    EXPECT_EQ(Ask("127.0.0.3"), "ACCESS_DENIED\r\n"); // the list changed: at once
    AllowedClients("localhost admin3 admin4 admin5");
    EXPECT_EQ(Ask("127.0.0.5"), "ACCESS_DENIED\r\n"); // no name yet

    // The names change: 127.0.0.3 is now "renamed3", 127.0.0.5 "admin5".
    Hosts("127.0.0.1 localhost\n127.0.0.3 renamed3\n127.0.0.5 admin5\n");
    DWORD changed = GetTickCount();
    EXPECT_EQ(Ask("127.0.0.5"), "ACCESS_DENIED\r\n"); // no name, still kept
    Sleep(1600 - std::min<DWORD>(1600, GetTickCount() - changed));
    EXPECT_EQ(Ask("127.0.0.5"), "NT_SMTP\r\n"); // looked up again
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n"); // its name is kept longer
}

// The names kept are bounded: beyond namesKept the oldest goes, and its
// address is looked up again.
TEST_F(AcceptLoopTest, TheOldestNameKeptMakesRoomForANewOne) {
    limits_.namesKept = 2;
    StartLoop();
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask("127.0.0.4"), "NT_SMTP\r\n");
    Hosts("127.0.0.1 localhost\n127.0.0.3 renamed3\n127.0.0.4 renamed4\n");
    EXPECT_EQ(Ask("127.0.0.4"), "NT_SMTP\r\n"); // two names fit: still kept
    EXPECT_EQ(Ask("127.0.0.1"), "NT_SMTP\r\n"); // the third pushes 127.0.0.3 out
    EXPECT_EQ(Ask("127.0.0.3"), "ACCESS_DENIED\r\n");
}

// Without a readable list nobody is admitted: each client is refused at
// once, with the refusal's reply and pause, and with no warning naming it as
// a stranger. When the list can be read again, the administrator is back.
TEST_F(AcceptLoopTest, AnUnreadableListRefusesEveryoneWithTheRefusal) {
    const std::string file = root_.path() + "/registry.db";
    { std::ofstream(file + ".bad") << std::string(4096, 'x'); }
    ASSERT_EQ(0, rename((file + ".bad").c_str(), file.c_str()));
    // Its log too, which holds the pages not yet written back into it.
    remove((file + "-wal").c_str());
    remove((file + "-shm").c_str());
    StartLoop();
    for (const char* from : {"127.0.0.1", "127.0.0.3", "127.0.0.2"}) {
        Client client(port_, from);
        client.Send("get_server_type\n");
        EXPECT_EQ(client.ReadAll(6000), "ACCESS_DENIED\r\n") << from;
        EXPECT_GE(client.closedAt - client.connectingAt(), 500u) << from;
    }
    for (const auto& e : vplat::ReadEventLog("Pellion", EVENTLOG_WARNING_TYPE))
        ADD_FAILURE() << "warning logged: " << (e.strings.empty() ? "" : e.strings[0]);
    ASSERT_EQ(0, remove(file.c_str()));
    AllowedClients("localhost admin3");
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
}

TEST_F(AcceptLoopTest, IdleStopIsQuick) {
    StartLoop();
    Sleep(100);
    EXPECT_LT(StopLoop(), 1000u);
}

} // namespace

namespace {

// A client that closed its side before its line feed is answered without the
// pause; one that closed before sending a byte asked nothing and is closed
// without a reply; a complete request is not displaced by either.
TEST_F(AcceptLoopTest, ClientsThatCloseBeforeTheirLineFeedAreAnsweredAtOnceOrDropped) {
    limits_.requestPause = 2500;
    limits_.maxPerAddress = 4;
    StartLoop();
    Client complete(port_), partial(port_), empty(port_);
    Sleep(100);
    complete.Send("get_server_type\n");
    Sleep(100);
    partial.Send("get_server_type");
    partial.CloseSending();
    empty.CloseSending();
    DWORD closed = GetTickCount();
    // Read side by side: a reply's time is when it came.
    std::string partialReply, completeReply;
    std::thread partialReader([&] { partialReply = partial.ReadAll(8000); });
    std::thread completeReader([&] { completeReply = complete.ReadAll(8000); });
    EXPECT_EQ(empty.ReadAll(5000), "");
    EXPECT_LT(empty.closedAt - closed, 2000u);
    partialReader.join();
    completeReader.join();
    EXPECT_EQ(partialReply, "NT_SMTP\r\n");
    EXPECT_EQ(completeReply, "NT_SMTP\r\n");
    // The complete one after its pause; the partial one did not wait a
    // pause of its own behind it.
    EXPECT_GE(complete.firstByteAt - complete.connectingAt(), 2500u);
    EXPECT_LT(partial.firstByteAt - complete.firstByteAt, 2500u);
}

// An address with a backlog holds another address for one request at most.
TEST_F(AcceptLoopTest, RequestsTakeTurnsAcrossSourceAddresses) {
    limits_.maxPerAddress = 4;
    limits_.requestPause = 500;
    StartLoop();
    // Both names known, so that both are decided at once.
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask("127.0.0.4"), "NT_SMTP\r\n");
    std::vector<std::unique_ptr<Client>> busy;
    for (int i = 0; i < 4; ++i) {
        busy.emplace_back(new Client(port_, "127.0.0.3"));
        busy.back()->Send("get_server_type\n");
    }
    // The first is answered; the next turn is decided when the request
    // thread is free, which may be before or after the other address's
    // line is in.
    EXPECT_EQ(busy[0]->ReadAll(8000), "NT_SMTP\r\n");
    Client other(port_, "127.0.0.4");
    other.Send("get_server_type\n");
    // Read side by side: a reply's time is when it came.
    std::vector<std::string> replies(4);
    std::vector<std::thread> readers;
    for (int i = 1; i < 4; ++i)
        readers.emplace_back([&, i] { replies[i] = busy[i]->ReadAll(8000); });
    replies[0] = other.ReadAll(8000);
    for (std::thread& reader : readers)
        reader.join();
    for (const std::string& reply : replies)
        EXPECT_EQ(reply, "NT_SMTP\r\n");
    // The other address waited for one request of the backlog at most
    // (the one handed over before its line was in, if any), and the
    // backlog kept its own order.
    EXPECT_LT(other.firstByteAt, busy[2]->firstByteAt);
    EXPECT_LT(busy[1]->firstByteAt, busy[2]->firstByteAt);
    EXPECT_LT(busy[2]->firstByteAt, busy[3]->firstByteAt);
}

// The pause runs from each client's admission: clients of several addresses
// that came together wait one pause between them, not one each, and none is
// answered sooner than its pause.
TEST_F(AcceptLoopTest, PausesOfClientsWaitingTheirTurnOverlap) {
    const DWORD pause = 3000;
    limits_.requestPause = static_cast<int>(pause);
    StartLoop();
    const char* const from[] = {"127.0.0.1", "127.0.0.3", "127.0.0.4"};
    for (int round = 0; round < 2; ++round) { // the first makes the names known
        std::vector<std::unique_ptr<Client>> clients;
        for (const char* address : from) {
            clients.emplace_back(new Client(port_, address));
            clients.back()->Send("get_server_type\n");
        }
        std::vector<std::string> replies(3);
        std::vector<std::thread> readers;
        for (int i = 0; i < 3; ++i)
            readers.emplace_back([&, i] { replies[i] = clients[i]->ReadAll(20000); });
        for (std::thread& reader : readers)
            reader.join();
        DWORD last = 0;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(replies[i], "NT_SMTP\r\n") << from[i];
            const DWORD took = clients[i]->firstByteAt - clients[0]->connectedAt();
            EXPECT_GE(clients[i]->firstByteAt - clients[i]->connectingAt(), pause) << from[i];
            last = std::max(last, took);
        }
        // One after another, the last would come three pauses after the first
        // connected.
        EXPECT_LT(last, 2 * pause) << "round " << round;
    }
}

// A name that admitted its address is refreshed before it expires while the
// address keeps connecting, and an expired one is looked up ahead of
// strangers, whose lookups all stall.
TEST_F(AcceptLoopTest, AKnownAdministratorNeverWaitsBehindStrangersLookups) {
    limits_.admissionThreads = 1;
    limits_.nameKeepMs = 2000;
    limits_.nameRefreshMs = 500;
    Zone("PTR 127.0.0.5 slow5.example 5000\nPTR 127.0.0.6 slow6.example 5000\n"
         "PTR 127.0.0.7 slow7.example 5000\n");
    StartLoop();
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    EXPECT_EQ(Ask("127.0.0.4"), "NT_SMTP\r\n");
    DWORD known = GetTickCount();
    Client slow5(port_, "127.0.0.5"), slow6(port_, "127.0.0.6"), slow7(port_, "127.0.0.7");
    Sleep(700 - std::min<DWORD>(700, GetTickCount() - known));
    // 127.0.0.3 asks after half its name's time: refreshed in the
    // background; after the name's first time it is still decided at once.
    EXPECT_EQ(Ask("127.0.0.3"), "NT_SMTP\r\n");
    Sleep(2300 - std::min<DWORD>(2300, GetTickCount() - known));
    Client again(port_, "127.0.0.3");
    again.Send("get_server_type\n");
    // 127.0.0.4's name expired: looked up again, first.
    Client expired(port_, "127.0.0.4");
    expired.Send("get_server_type\n");
    EXPECT_EQ(again.ReadAll(5000), "NT_SMTP\r\n");
    EXPECT_EQ(expired.ReadAll(5000), "NT_SMTP\r\n");
    // The strangers' stalled lookups would have held them 5000 ms.
    EXPECT_LT(again.firstByteAt - again.connectedAt(), 2500u);
    EXPECT_LT(expired.firstByteAt - expired.connectedAt(), 2500u);
}

} // namespace

namespace {

// Lines that end while their address's lookup is under way are queued, once
// it decides, in the order the lines ended, not the order of the connections.
TEST_F(AcceptLoopTest, RequestsCompletedDuringTheLookupKeepTheOrderTheirLinesEnded) {
    Zone("PTR 127.0.0.8 late8.example 800\nA late8.example 127.0.0.8\n");
    AllowedClients("localhost late8");
    StartLoop();
    Client first(port_, "127.0.0.8"), second(port_, "127.0.0.8"), third(port_, "127.0.0.8");
    third.Send("get_server_type\n");
    Sleep(50);
    first.Send("get_server_type\n");
    Sleep(50);
    second.Send("get_server_type\n");
    std::string replies[3];
    std::thread a([&] { replies[0] = first.ReadAll(8000); });
    std::thread b([&] { replies[1] = second.ReadAll(8000); });
    replies[2] = third.ReadAll(8000);
    a.join();
    b.join();
    for (const std::string& reply : replies)
        EXPECT_EQ(reply, "NT_SMTP\r\n");
    EXPECT_LT(third.firstByteAt, first.firstByteAt);
    EXPECT_LT(first.firstByteAt, second.firstByteAt);
}

} // namespace
