// ReadAutoUpdateSettings against the registry of a fresh platform root: every
// value present, missing, of another type, and the key missing.
#include "update/AutoUpdateScheduler.h"
#include "regkey/RegKey.h"
#include "platform/posix/eventlog_reader.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Value {
    const char* name;
    enum { Number, Text, Binary, Missing } kind;
    DWORD number;
    const char* text;
};

Value N(const char* name, DWORD v) {
    return {name, Value::Number, v, nullptr};
}
Value T(const char* name, const char* text) {
    return {name, Value::Text, 0, text};
}
Value B(const char* name, const char* bytes) {
    return {name, Value::Binary, 0, bytes};
}

// The full schedule, then the given values on top (a Missing removes one).
void Write(std::initializer_list<Value> values, bool full = true) {
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, AUTOUPD_KEY, 1), ERROR_SUCCESS);
    if (full) {
        key.Write("Configured", 1u);
        key.Write("Hours", 22u);
        key.Write("Days", 3u);
        key.Write("UnitType", "Hours");
        key.Write("SchedType", 1u);
        key.Write("AtSystemStartup", 1u);
        key.Write("Randomize", 1u);
    }
    for (const Value& v : values) {
        switch (v.kind) {
        case Value::Number:
            key.Write(v.name, v.number);
            break;
        case Value::Text:
            key.Write(v.name, v.text);
            break;
        case Value::Binary:
            key.Write(v.name, reinterpret_cast<const BYTE*>(v.text),
                      static_cast<DWORD>(strlen(v.text)));
            break;
        case Value::Missing:
            key.DeleteValue(v.name);
            break;
        }
    }
}

Value Gone(const char* name) {
    return {name, Value::Missing, 0, nullptr};
}

AutoUpdateSchedule Read() {
    AutoUpdateSchedule s;
    s.startHour = -1; // overwritten by every read
    ReadAutoUpdateSettings(s);
    return s;
}

std::string Show(const AutoUpdateSchedule& s) {
    return std::to_string(s.startHour) + " " + std::to_string(s.interval) + " " +
           std::string(1, s.unitType) + " startup=" + std::to_string(s.atStartup) +
           " randomize=" + std::to_string(s.randomize) + " enabled=" + std::to_string(s.enabled);
}

TEST(ReadAutoUpdateSettings, EveryValuePresent) {
    vtest::TempRoot root;
    Write({});
    EXPECT_EQ(Show(Read()), "22 3 H startup=1 randomize=1 enabled=1");
}

TEST(ReadAutoUpdateSettings, HoursAndDaysAreNormalised) {
    vtest::TempRoot root;
    const struct {
        DWORD hours;
        int start;
    } hours[] = {{0, 9}, {1, 1}, {11, 11}, {12, 0}, {13, 13}, {23, 23}, {24, 12}, {25, 25}};
    for (const auto& h : hours) {
        Write({N("Hours", h.hours)});
        EXPECT_EQ(Read().startHour, h.start) << h.hours;
    }
    const struct {
        DWORD days;
        DWORD interval;
    } days[] = {{0, 7}, {1, 1}, {7, 7}, {30, 30}, {0xFFFFFFFF, 0xFFFFFFFF}};
    for (const auto& d : days) {
        Write({N("Days", d.days)});
        EXPECT_EQ(Read().interval, d.interval) << d.days;
    }
    Write({T("UnitType", "days")});
    EXPECT_EQ(Read().unitType, 'd');
    Write({T("UnitType", "H")});
    EXPECT_EQ(Read().unitType, 'H');
}

TEST(ReadAutoUpdateSettings, ConfiguredOffOrMissingTurnsEverythingOff) {
    vtest::TempRoot root;
    for (bool missing : {false, true}) {
        Write({missing ? Gone("Configured") : N("Configured", 0)});
        // Not even the start-up run; the rest is not read.
        EXPECT_EQ(Show(Read()), "9 7 D startup=0 randomize=0 enabled=0") << missing;
    }
}

TEST(ReadAutoUpdateSettings, EachMissingScheduleValueTurnsScheduledRunsOff) {
    vtest::TempRoot root;
    Write({Gone("Hours")});
    EXPECT_EQ(Show(Read()), "9 3 H startup=1 randomize=1 enabled=0");
    Write({Gone("Days")});
    EXPECT_EQ(Show(Read()), "22 7 H startup=1 randomize=1 enabled=0");
    Write({Gone("UnitType")});
    EXPECT_EQ(Show(Read()), "22 3 D startup=1 randomize=1 enabled=0");
    Write({Gone("SchedType")});
    EXPECT_EQ(Show(Read()), "22 3 H startup=1 randomize=1 enabled=0");
    Write({N("SchedType", 0)});
    EXPECT_EQ(Show(Read()), "22 3 H startup=1 randomize=1 enabled=0");
    Write({N("SchedType", 2)});
    EXPECT_EQ(Show(Read()), "22 3 H startup=1 randomize=1 enabled=1");
}

TEST(ReadAutoUpdateSettings, MissingFlagsAreOffAndLeaveTheScheduleOn) {
    vtest::TempRoot root;
    Write({Gone("AtSystemStartup")});
    EXPECT_EQ(Show(Read()), "22 3 H startup=0 randomize=1 enabled=1");
    Write({Gone("Randomize"), N("AtSystemStartup", 0)});
    EXPECT_EQ(Show(Read()), "22 3 H startup=0 randomize=0 enabled=1");
    Write({N("AtSystemStartup", 7), N("Randomize", 0)});
    EXPECT_EQ(Show(Read()), "22 3 H startup=1 randomize=0 enabled=1");
}

TEST(ReadAutoUpdateSettings, ValuesOfAnotherTypeAreReadAsTheirBytes) {
    vtest::TempRoot root;
    // As every setting of the service: the registry type is not checked. A
    // number is the value's first bytes; longer data than 4 bytes is unreadable
    // and counts as missing.
    Write({T("Hours", "7")}); // "7\0": 0x37
    EXPECT_EQ(Read().startHour, 0x37);
    Write({T("Days", "seven days")});
    EXPECT_EQ(Show(Read()), "22 7 H startup=1 randomize=1 enabled=0");
    Write({B("SchedType", "\x01")});
    EXPECT_EQ(Read().enabled, 1);
    Write({N("UnitType", 0x48)}); // 'H' 0 0 0
    EXPECT_EQ(Read().unitType, 'H');
    Write({N("UnitType", 0)}); // an empty text: day mode
    EXPECT_EQ(Read().unitType, '\0');
    Write({T("Configured", "0")}); // "0\0" is 0x30: not zero
    EXPECT_EQ(Read().enabled, 1);
    Write({T("Configured", "yes please")}); // unreadable: missing
    EXPECT_EQ(Show(Read()), "9 7 D startup=0 randomize=0 enabled=0");
}

TEST(ReadAutoUpdateSettings, MissingKeyIsCreatedAndEverythingIsOff) {
    vtest::TempRoot root;
    EXPECT_EQ(Show(Read()), "9 7 D startup=0 randomize=0 enabled=0");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, AUTOUPD_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[64];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS); // nothing written back
    RegCloseKey(key);
    EXPECT_TRUE(vplat::ReadEventLog("Pellion", 0).empty()); // no failure logged
}

} // namespace
