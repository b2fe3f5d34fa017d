// Slow readers on a connected socket pair with short limits: the sends of a
// reply wait for the client only so long in all, the rest is kept byte for
// byte and finished in the background, within its bounds.
#include "platform/win32.h"
#include "service/ClientConnection.h"
#include "service/ReplyBacklog.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

class SlowReaderTest : public ::testing::Test {
protected:
    void SetUp() override { WSAStartup(MAKEWORD(1, 1), &data_); }

    // A connected pair: server (for the service) and client, whose receive
    // buffer is small so that it holds little of what it does not read.
    void Pair(SOCKET* server, SOCKET* client) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
        SOCKADDR_IN addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        int len = sizeof(addr);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        ASSERT_EQ(0, listen(listener, 1));
        *client = socket(AF_INET, SOCK_STREAM, 0);
        int small = 2048;
        setsockopt(*client, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                   sizeof(small));
        ASSERT_EQ(0, connect(*client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        *server = accept(listener, nullptr, nullptr);
        closesocket(listener);
        ASSERT_NE(*server, INVALID_SOCKET);
        // As bounded as the service's connections (ClientConnection).
        int sendBuffer = 16384;
        setsockopt(*server, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                   sizeof(sendBuffer));
    }

    // Everything the client gets until the other side closes.
    static std::string ReadToEnd(SOCKET client) {
        std::string all;
        char buf[8192];
        for (int n; (n = recv(client, buf, sizeof(buf), 0)) > 0;)
            all.append(buf, static_cast<size_t>(n));
        return all;
    }

    // Runs the backlog until it is empty or limit ms pass.
    static void Drive(ReplyBacklog& backlog, DWORD limit) {
        DWORD start = GetTickCount();
        while (backlog.Count() > 0 && GetTickCount() - start < limit) {
            fd_set writable;
            FD_ZERO(&writable);
            backlog.Watch(&writable);
            timeval tv = {0, 50000};
            if (select(0, nullptr, &writable, nullptr, &tv) > 0)
                backlog.Send(&writable, GetTickCount());
            backlog.Expire(GetTickCount());
        }
    }

    static std::string Pattern(size_t size) {
        std::string s(size, '\0');
        for (size_t i = 0; i < size; ++i)
            s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
        return s;
    }

    WSADATA data_;
};

// Each row: what the reply may keep, and whether the whole reply is then
// taken (kept or cut off with the connection closed).
TEST_F(SlowReaderTest, ASendWaitsForAClientThatDoesNotReadOnlyTheReplyLimitInAll) {
    const std::string reply = Pattern(1 << 20);
    struct Case {
        size_t pendingLimit;
        bool kept;
    } cases[] = {{2u << 20, true}, {reply.size(), true}, {64 * 1024, false}};
    for (const Case& c : cases) {
        SOCKET server, client;
        Pair(&server, &client);
        ClientConnection connection(server);
        connection.KeepSlowReplies(300, c.pendingLimit);
        int status = -5;
        const DWORD start = GetTickCount();
        // In pieces, as the handlers write.
        int sent = 0;
        for (size_t at = 0; at < reply.size() && status != SOCKET_STATUS_TIMEOUT; at += 4096)
            sent += connection.SendAll(reply.data() + at, 4096, WAIT_NO_LIMIT, status);
        const DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 290u) << c.pendingLimit; // it did wait for the client
        EXPECT_LT(took, 10000u) << c.pendingLimit;
        SOCKET taken = INVALID_SOCKET;
        std::string rest;
        if (c.kept) {
            EXPECT_EQ(status, SOCKET_STATUS_DONE);
            EXPECT_EQ(sent, static_cast<int>(reply.size()));
            ASSERT_TRUE(connection.TakePendingReply(taken, rest)) << c.pendingLimit;
            EXPECT_EQ(connection.m_socket, INVALID_SOCKET);
            EXPECT_GT(rest.size(), reply.size() / 2);
            EXPECT_EQ(rest, reply.substr(reply.size() - rest.size()));
            // The background finishes it: the client gets every byte.
            ReplyBacklog backlog;
            const size_t kept = rest.size();
            backlog.Add(taken, rest, "peer", GetTickCount());
            EXPECT_EQ(backlog.Bytes(), kept);
            std::string got;
            std::thread reader([&] { got = ReadToEnd(client); });
            Drive(backlog, 20000);
            reader.join();
            EXPECT_EQ(backlog.Count(), 0u);
            EXPECT_EQ(backlog.Bytes(), 0u);
            EXPECT_TRUE(got == reply) << got.size() << " of " << reply.size();
        } else {
            // Cut off: closed, nothing to hand over, the client sees a
            // prefix of the reply and the end.
            EXPECT_EQ(status, SOCKET_STATUS_TIMEOUT);
            EXPECT_LT(sent, static_cast<int>(reply.size()));
            EXPECT_EQ(connection.m_socket, INVALID_SOCKET);
            EXPECT_FALSE(connection.TakePendingReply(taken, rest));
            std::string got = ReadToEnd(client);
            EXPECT_LT(got.size(), reply.size());
            EXPECT_EQ(got, reply.substr(0, got.size()));
        }
        closesocket(client);
    }
}

// A client that reads keeps the request thread's sends as they were:
// nothing is kept for the background.
TEST_F(SlowReaderTest, AClientThatReadsGetsItsReplyDirectly) {
    const std::string reply = Pattern(1 << 20);
    SOCKET server, client;
    Pair(&server, &client);
    ClientConnection connection(server);
    connection.KeepSlowReplies(5000, 64 * 1024);
    std::string got;
    std::thread reader([&] { got = ReadToEnd(client); });
    int status = -5;
    EXPECT_EQ(connection.SendAll(reply.data(), static_cast<int>(reply.size()), WAIT_NO_LIMIT, status),
              static_cast<int>(reply.size()));
    EXPECT_EQ(status, SOCKET_STATUS_DONE);
    SOCKET taken;
    std::string rest;
    EXPECT_FALSE(connection.TakePendingReply(taken, rest));
    connection.Close();
    reader.join();
    EXPECT_TRUE(got == reply);
    closesocket(client);
}

// The backlog's bounds, each row one of them: the oldest replies are dropped
// (connection closed) to make room, a reply larger than all is dropped
// itself, and a client that takes nothing for the progress limit is cut off
// at that limit, not before.
TEST_F(SlowReaderTest, TheBacklogDropsTheOldestBeyondItsBoundsAndStalledClientsAtTheLimit) {
    struct Case {
        const char* name;
        size_t totalBytes;
        int maxReplies;
        size_t first, second;
        size_t countAfter;
        bool firstClosed, secondClosed;
    } cases[] = {
        {"both fit", 1000000, 4, 300000, 300000, 2, false, false},
        {"bytes: the second fits exactly", 600000, 4, 300000, 300000, 2, false, false},
        {"bytes: one byte over drops the oldest", 600000, 4, 300000, 300001, 1, true, false},
        {"count: the oldest makes room", 1000000, 1, 300000, 300000, 1, true, false},
        {"larger than all is dropped itself", 400000, 4, 100000, 400001, 1, false, true},
    };
    for (const Case& c : cases) {
        BacklogLimits limits;
        limits.totalBytes = c.totalBytes;
        limits.maxReplies = c.maxReplies;
        limits.progressLimit = 600;
        ReplyBacklog backlog(limits);
        SOCKET server1, client1, server2, client2;
        Pair(&server1, &client1);
        Pair(&server2, &client2);
        std::string first = Pattern(c.first), second = Pattern(c.second);
        const DWORD start = GetTickCount();
        backlog.Add(server1, first, "first", start);
        backlog.Add(server2, second, "second", start);
        EXPECT_EQ(backlog.Count(), c.countAfter) << c.name;
        EXPECT_LE(backlog.Bytes(), c.totalBytes) << c.name;
        // Whatever is dropped is closed: its client reaches the end at once.
        auto closedNow = [](SOCKET s) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv = {0, 200000};
            if (select(0, &set, nullptr, nullptr, &tv) <= 0)
                return false;
            char buf[65536];
            int n;
            while ((n = recv(s, buf, sizeof(buf), 0)) > 0) {
            }
            return n <= 0;
        };
        EXPECT_EQ(closedNow(client1), c.firstClosed) << c.name;
        EXPECT_EQ(closedNow(client2), c.secondClosed) << c.name;
        // Nobody reads (more): the rest goes at the progress limit.
        Drive(backlog, 5000);
        EXPECT_EQ(backlog.Count(), 0u) << c.name;
        EXPECT_GE(GetTickCount() - start, 600u) << c.name;
        closesocket(client1);
        closesocket(client2);
    }
}

} // namespace
