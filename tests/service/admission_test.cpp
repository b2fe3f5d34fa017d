// The admission decision as a pure function, one row per edge; the forward
// half of the name check on host entries built here.
#include "service/Admission.h"
#include "platform/posix/eventlog_reader.h"
#include "service/Settings.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct Row {
    const char* shortName;
    const char* list;
    const char* localHost;
    bool admitted;
};

TEST(IsClientAdmitted, TableOfEdges) {
    const Row rows[] = {
        // Found in the list, letter case aside, anywhere, also inside a name.
        {"adminpc", "adminpc mailgw", "server1", true},
        {"ADMINPC", "adminpc mailgw", "server1", true},
        {"mailgw", "adminpc mailgw", "server1", true},
        {"admin", "adminpc mailgw", "server1", true},
        {"pc", "adminpc", "server1", true},
        {"localhost", "localhost", "server1", true},
        // The whole list is the name; one character more is not in it.
        {"adminpc", "adminpc", "server1", true},
        {"adminpcs", "adminpc", "server1", false},
        {"stranger", "adminpc mailgw", "server1", false},
        // Separators are whatever the administrator wrote.
        {"b", "a,b;c", "server1", true},
        // No name is never admitted, whatever the list or the host name.
        {"", "adminpc", "server1", false},
        {"", "", "", false},
        // The beginning of this machine's name, in the same case.
        {"serv", "", "server1", true},
        {"server1", "", "server1", true},
        {"Serv", "", "server1", false},
        {"server12", "", "server1", false},
        {"erver", "", "server1", false},
        // An empty list admits only through the host name.
        {"adminpc", "", "server1", false},
        // Case folding is ASCII only: other bytes compare as they are.
        {"\xe9t\xe9", "\xc9T\xc9", "server1", false},
        {"\xe9t\xe9", "x\xe9T\xe9", "server1", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(IsClientAdmitted(row.shortName, row.list, row.localHost), row.admitted)
            << "'" << row.shortName << "' in '" << row.list << "' on " << row.localHost;
}

TEST(HostHasAddress, OnlyAnAddressOfTheEntryConfirms) {
    unsigned char a[4] = {127, 0, 0, 2}, b[4] = {127, 0, 0, 3};
    unsigned char c[4] = {127, 0, 0, 9};
    char* list[] = {reinterpret_cast<char*>(a), reinterpret_cast<char*>(b), nullptr};
    char name[] = "adminpc";
    struct hostent entry;
    entry.h_name = name;
    entry.h_aliases = nullptr;
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = list;
    EXPECT_TRUE(HostHasAddress(&entry, a));
    EXPECT_TRUE(HostHasAddress(&entry, b));
    EXPECT_FALSE(HostHasAddress(&entry, c));
    EXPECT_FALSE(HostHasAddress(nullptr, a));
    char* none[] = {nullptr};
    entry.h_addr_list = none;
    EXPECT_FALSE(HostHasAddress(&entry, a));
    entry.h_addr_list = list;
    entry.h_length = 16;
    EXPECT_FALSE(HostHasAddress(&entry, a));
}

TEST(IsNumericName, DigitsAndDotsOnly) {
    EXPECT_TRUE(IsNumericName("127.0.0.3"));
    EXPECT_TRUE(IsNumericName("1"));
    EXPECT_TRUE(IsNumericName("1.2"));
    EXPECT_FALSE(IsNumericName("1a.example"));
    EXPECT_FALSE(IsNumericName("mail1"));
    EXPECT_FALSE(IsNumericName("127.0.0.3x"));
}

// A registry that cannot be read at all: nobody is admitted, and the cause is
// logged when it begins, once, not for every connection; a registry that can
// be read again admits again.
TEST(DecideAdmission, AnUnreadableRegistryIsLoggedOnceWhileItLasts) {
    vtest::TempRoot root;
    const std::string file = root.path() + "/registry.db";
    const std::string text = "Error Opening Registry " SERVICE_KEY;
    auto logged = [&] {
        size_t n = 0;
        for (const auto& e : vplat::ReadEventLog("Pellion", EVENTLOG_ERROR_TYPE))
            n += !e.strings.empty() && e.strings[0] == text ? 1 : 0;
        return n;
    };
    auto spoil = [&] {
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fputs("not a registry at all, but long enough to be looked at as one ....", f);
        fclose(f);
    };
    spoil();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ADMISSION_UNKNOWN, DecideAdmission("localhost", "server1")) << i;
    EXPECT_EQ(1u, logged());
    ASSERT_EQ(0, remove(file.c_str()));
    EXPECT_EQ(ADMISSION_GRANTED, DecideAdmission("localhost", "server1"));
    EXPECT_EQ(ADMISSION_REFUSED, DecideAdmission("stranger", "server1"));
    EXPECT_EQ(1u, logged());
}

} // namespace
