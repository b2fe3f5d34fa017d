// The accept loop's rules as pure functions: the turns of the request queue,
// the steps of reading a line, and which names are kept and looked up when.
#include "service/KnownNames.h"
#include "service/LineReader.h"
#include "service/RequestQueue.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An address 127.0.0.n.
struct Address {
    explicit Address(int n) : bytes{127, 0, 0, static_cast<unsigned char>(n)} {}
    unsigned char bytes[4];
};

// Each row: the operations ("3:11" pushes id 11 from 127.0.0.3, "pop" pops,
// "-11" removes id 11) and the ids popped, in order.
TEST(RequestQueue, TurnsGoAcrossAddressesOneRequestEachAndANewcomerWaitsForOneOfEach) {
    struct Case {
        const char* name;
        std::vector<std::string> ops;
        std::vector<unsigned long> popped;
    } cases[] = {
        {"empty", {"pop"}, {}},
        {"one address keeps its order", {"1:1", "1:2", "1:3", "pop", "pop", "pop"}, {1, 2, 3}},
        {"two addresses alternate",
         {"1:1", "1:2", "1:3", "2:4", "2:5", "pop", "pop", "pop", "pop", "pop"},
         {1, 4, 2, 5, 3}},
        // An address that arrives while another is being worked off goes
        // next, not behind the other's next request.
        {"newcomer after a turn goes next",
         {"1:1", "1:2", "1:3", "pop", "2:9", "pop", "pop", "pop"},
         {1, 9, 2, 3}},
        {"three addresses take turns",
         {"1:1", "1:2", "2:3", "2:4", "3:5", "3:6", "pop", "pop", "pop", "pop", "pop", "pop"},
         {1, 3, 5, 2, 4, 6}},
        // An address that emptied and comes back waits behind those waiting
        // already and not yet served.
        {"returning address joins the back",
         {"1:1", "pop", "2:2", "1:3", "pop", "pop"},
         {1, 2, 3}},
        {"removed request is skipped", {"1:1", "1:2", "2:3", "-1", "pop", "pop", "pop"}, {2, 3}},
        {"removing the last of an address forgets it", {"1:1", "-1", "2:2", "pop", "pop"}, {2}},
    };
    for (const Case& c : cases) {
        RequestQueue queue;
        std::vector<unsigned long> popped;
        size_t expectedSize = 0;
        for (const std::string& op : c.ops) {
            if (op == "pop") {
                unsigned long id = 0;
                bool had = !queue.Empty();
                EXPECT_EQ(queue.Pop(id), had) << c.name;
                if (had) {
                    popped.push_back(id);
                    --expectedSize;
                }
            } else if (op[0] == '-') {
                EXPECT_TRUE(queue.Remove(std::stoul(op.substr(1)))) << c.name;
                --expectedSize;
            } else {
                size_t colon = op.find(':');
                queue.Push(Address(std::stoi(op.substr(0, colon))).bytes,
                           std::stoul(op.substr(colon + 1)));
                ++expectedSize;
            }
            EXPECT_EQ(queue.Size(), expectedSize) << c.name << " after " << op;
            EXPECT_EQ(queue.Empty(), expectedSize == 0) << c.name << " after " << op;
        }
        EXPECT_EQ(popped, c.popped) << c.name;
        EXPECT_FALSE(queue.Remove(12345)) << c.name;
    }
}

TEST(LineReader, EachStepTakesUpToTheLineFeedAndTellsHowTheLineEnded) {
    struct Case {
        const char* name;
        std::string peeked;
        size_t stored, capacity;
        size_t take, keep;
        LineEnd end;
    } cases[] = {
        {"bytes without a line feed", "get_server", 0, 100, 10, 10, LINE_MORE},
        {"line feed ends it, not taken into the line", "get\nnext", 0, 100, 4, 3, LINE_COMPLETE},
        {"carriage return stays", "get\r\n", 0, 100, 5, 4, LINE_COMPLETE},
        {"line feed first", "\nrest", 7, 100, 1, 0, LINE_COMPLETE},
        {"last byte that fits leaves the line open", "ab", 97, 100, 2, 2, LINE_MORE},
        {"reaching the capacity cuts", "abc", 97, 100, 3, 3, LINE_CUT},
        {"closed after bytes", "", 5, 100, 0, 0, LINE_CLOSED_PARTIAL},
        {"closed before any byte", "", 0, 100, 0, 0, LINE_CLOSED_EMPTY},
    };
    for (const Case& c : cases) {
        LineStep step = NextLineStep(c.peeked.data(), c.peeked.size(), c.stored, c.capacity);
        EXPECT_EQ(step.take, c.take) << c.name;
        EXPECT_EQ(step.keep, c.keep) << c.name;
        EXPECT_EQ(step.end, c.end) << c.name;
    }
    EXPECT_EQ(LinePeekSize(0, 100, 8192), 100u);
    EXPECT_EQ(LinePeekSize(99, 100, 8192), 1u);
    EXPECT_EQ(LinePeekSize(100, 100, 8192), 0u);
    EXPECT_EQ(LinePeekSize(0, 100000, 8192), 8192u);
}

// One address through a sequence of events; each row: the time, the event
// ("find", "found NAME", "admitted", "dropped"), and for "find" the action
// and the name given.
TEST(KnownNames, NamesAreKeptRefreshedWhileInUseAndAdministratorsLookedUpFirst) {
    NameLimits limits;
    limits.keepMs = 1000;
    limits.noNameKeepMs = 300;
    limits.refreshAfterMs = 500;
    limits.capacity = 8;
    struct Step {
        DWORD at;
        std::string event;
        NameAction action;
        const char* name;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"first connection looks up, the next waits for it",
         {{0, "find", NAME_LOOK_UP, ""}, {10, "find", NAME_WAIT, ""}}},
        {"a name found is used until it expires, not after",
         {{0, "find", NAME_LOOK_UP, ""},
          {10, "found adminpc", NAME_USE, ""},
          {1009, "find", NAME_USE, "adminpc"},
          {1010, "find", NAME_LOOK_UP, ""},
          {1020, "find", NAME_WAIT, ""}}},
        {"no name is kept for the shorter time",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found ", NAME_USE, ""},
          {299, "find", NAME_USE, ""},
          {300, "find", NAME_LOOK_UP, ""}}},
        {"a stranger's name is not refreshed ahead",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found stranger", NAME_USE, ""},
          {600, "find", NAME_USE, "stranger"}}},
        {"an administrator's name is refreshed once from half its time",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found adminpc", NAME_USE, ""},
          {0, "admitted", NAME_USE, ""},
          {499, "find", NAME_USE, "adminpc"},
          {500, "find", NAME_USE_AND_REFRESH, "adminpc"},
          {510, "find", NAME_USE, "adminpc"},
          {520, "found adminpc", NAME_USE, ""},
          {1019, "find", NAME_USE, "adminpc"},
          {1020, "find", NAME_USE_AND_REFRESH, "adminpc"}}},
        {"an administrator's expired name is looked up first",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found adminpc", NAME_USE, ""},
          {0, "admitted", NAME_USE, ""},
          {1000, "find", NAME_LOOK_UP_FIRST, ""},
          {1001, "find", NAME_WAIT, ""}}},
        {"a refresh that gives another name drops the admission",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found adminpc", NAME_USE, ""},
          {0, "admitted", NAME_USE, ""},
          {500, "find", NAME_USE_AND_REFRESH, "adminpc"},
          {510, "found other", NAME_USE, ""},
          {1100, "find", NAME_USE, "other"},
          {1510, "find", NAME_LOOK_UP, ""}}},
        {"no name is never an administrator",
         {{0, "find", NAME_LOOK_UP, ""},
          {0, "found ", NAME_USE, ""},
          {0, "admitted", NAME_USE, ""},
          {300, "find", NAME_LOOK_UP, ""}}},
        {"a dropped first lookup forgets the address",
         {{0, "find", NAME_LOOK_UP, ""}, {5, "dropped", NAME_USE, ""}, {6, "find", NAME_LOOK_UP, ""}}},
    };
    const Address a(3);
    for (const Case& c : cases) {
        KnownNames names(limits);
        for (const Step& step : c.steps) {
            if (step.event == "find") {
                char name[HOST_NAME_SIZE] = "unset";
                NameAction action = names.Find(a.bytes, step.at, name, sizeof(name));
                EXPECT_EQ(action, step.action) << c.name << " at " << step.at;
                if (action == NAME_USE || action == NAME_USE_AND_REFRESH) {
                    EXPECT_STREQ(name, step.name) << c.name << " at " << step.at;
                }
            } else if (step.event.compare(0, 6, "found ") == 0) {
                names.Found(a.bytes, step.event.c_str() + 6, step.at);
            } else if (step.event == "admitted") {
                names.Admitted(a.bytes);
            } else {
                names.Dropped(a.bytes);
            }
        }
    }
}

// Beyond the capacity the oldest name without a lookup under way goes, a
// stranger's before an administrator's.
TEST(KnownNames, TheOldestStrangerMakesRoomBeforeAnAdministrator) {
    NameLimits limits;
    limits.capacity = 2;
    KnownNames names(limits);
    char name[HOST_NAME_SIZE];
    const Address admin(1), stranger(2), third(3);
    names.Find(admin.bytes, 0, name, sizeof(name));
    names.Found(admin.bytes, "adminpc", 0);
    names.Admitted(admin.bytes);
    names.Find(stranger.bytes, 1, name, sizeof(name));
    names.Found(stranger.bytes, "stranger", 1);
    EXPECT_EQ(names.Find(third.bytes, 2, name, sizeof(name)), NAME_LOOK_UP);
    EXPECT_EQ(names.Size(), 2u);
    EXPECT_EQ(names.Find(admin.bytes, 3, name, sizeof(name)), NAME_USE);
    EXPECT_EQ(names.Find(stranger.bytes, 3, name, sizeof(name)), NAME_LOOK_UP);
}

} // namespace
