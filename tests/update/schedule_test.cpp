// The scheduler's decision at each look at the clock, walked over days of
// simulated local time exactly as the loop walks it: 30 s after a look that
// found nothing to do, 61 s after the loop acted.
#include "update/AutoUpdateScheduler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Local time as plain calendar arithmetic (no zone): the loop only reads it.
SYSTEMTIME At(int year, int month, int day, int hour, int minute, int second = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    time_t v = timegm(&t);
    struct tm n;
    gmtime_r(&v, &n);
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(n.tm_year + 1900);
    st.wMonth = static_cast<WORD>(n.tm_mon + 1);
    st.wDay = static_cast<WORD>(n.tm_mday);
    st.wDayOfWeek = static_cast<WORD>(n.tm_wday);
    st.wHour = static_cast<WORD>(n.tm_hour);
    st.wMinute = static_cast<WORD>(n.tm_min);
    st.wSecond = static_cast<WORD>(n.tm_sec);
    return st;
}

SYSTEMTIME Plus(const SYSTEMTIME& st, long seconds) {
    return At(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
              static_cast<int>(st.wSecond + seconds));
}

std::string Text(const SYSTEMTIME& st) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute);
    return buf;
}

AutoUpdateSchedule Schedule(int startHour, DWORD interval, char unit, int enabled = 1) {
    AutoUpdateSchedule s;
    s.startHour = startHour;
    s.interval = interval;
    s.unitType = unit;
    s.enabled = enabled;
    return s;
}

// The times at which the loop starts a run, from start for the given hours.
std::vector<std::string> Runs(const AutoUpdateSchedule& schedule, const SYSTEMTIME& start,
                              long hours) {
    ScheduleState state;
    StartSchedule(state, schedule);
    std::vector<std::string> runs;
    SYSTEMTIME now = start;
    const long end = hours * 3600;
    for (long elapsed = 0; elapsed < end;) {
        ScheduleDecision d = DecideSchedule(state, now);
        if (d == SCHEDULE_RUN)
            runs.push_back(Text(now));
        long pause = d == SCHEDULE_NOT_NOW ? SCHEDULE_POLL_MS / 1000 : SCHEDULE_AFTER_ACT_MS / 1000;
        now = Plus(now, pause);
        elapsed += pause;
    }
    return runs;
}

TEST(ScheduleDecision, TheScheduleCasesOfTheAutoUpdKey) {
    struct Row {
        const char* what;
        AutoUpdateSchedule schedule;
        SYSTEMTIME start;
        long hours;
        std::vector<std::string> runs;
    };
    const Row rows[] = {
        // Hours 12 is midnight (normalised to 0 when read): every day at 00:00,
        // across the end of a year.
        {"Hours 12, Days 1, day mode",
         Schedule(0, 1, 'D'),
         At(2026, 12, 30, 10, 0),
         4 * 24,
         {"2026-12-31 00:00", "2027-01-01 00:00", "2027-01-02 00:00", "2027-01-03 00:00"}},
        {"Hours 24 is noon",
         Schedule(12, 1, 'D'),
         At(2027, 3, 1, 0, 0),
         2 * 24,
         {"2027-03-01 12:00", "2027-03-02 12:00"}},
        {"Hours 0 is 09:00",
         Schedule(9, 1, 'D'),
         At(2027, 3, 1, 0, 0),
         2 * 24,
         {"2027-03-01 09:00", "2027-03-02 09:00"}},
        {"UnitType H, Hours 22, Days 3",
         Schedule(22, 3, 'H'),
         At(2027, 6, 30, 21, 0),
         12,
         {"2027-06-30 22:00", "2027-07-01 01:00", "2027-07-01 04:00", "2027-07-01 07:00"}},
        // Days 0 reads as 7: every 7th day, across the end of February.
        {"Days 0, day mode",
         Schedule(9, 7, 'D'),
         At(2027, 2, 25, 8, 0),
         15 * 24,
         {"2027-02-25 09:00", "2027-03-04 09:00", "2027-03-11 09:00"}},
        {"Days 2, unit letter d",
         Schedule(5, 2, 'd'),
         At(2027, 1, 30, 12, 0),
         6 * 24,
         {"2027-01-31 05:00", "2027-02-02 05:00", "2027-02-04 05:00"}},
        {"scheduled runs off", Schedule(9, 1, 'D', 0), At(2027, 1, 1, 0, 0), 3 * 24, {}},
        {"hour mode, runs off", Schedule(9, 1, 'H', 0), At(2027, 1, 1, 0, 0), 24, {}},
        // The start seen at 09:00:20 is the first sighting: a run at once.
        {"start at 09:00:20, day mode",
         Schedule(9, 2, 'D'),
         At(2027, 4, 1, 9, 0, 20),
         5 * 24,
         {"2027-04-01 09:00", "2027-04-03 09:00", "2027-04-05 09:00"}},
        {"start at 09:01, day mode: the next day",
         Schedule(9, 1, 'D'),
         At(2027, 4, 1, 9, 1, 0),
         24,
         {"2027-04-02 09:00"}},
        // Every 30 hours: the hour of the day moves on by 6 and never leaves the clock.
        {"UnitType H, interval 30",
         Schedule(9, 30, 'H'),
         At(2027, 5, 1, 8, 0),
         26,
         {"2027-05-01 09:00", "2027-05-01 15:00", "2027-05-01 21:00", "2027-05-02 03:00",
          "2027-05-02 09:00"}},
        {"UnitType H, interval 24: once a day",
         Schedule(7, 24, 'H'),
         At(2027, 12, 30, 0, 0),
         3 * 24,
         {"2027-12-30 07:00", "2027-12-31 07:00", "2028-01-01 07:00"}},
        {"UnitType H, interval 1: every hour",
         Schedule(23, 1, 'H'),
         At(2027, 12, 31, 22, 30),
         3,
         {"2027-12-31 23:00", "2028-01-01 00:00", "2028-01-01 01:00"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Runs(row.schedule, row.start, row.hours), row.runs) << row.what;
}

TEST(ScheduleDecision, HourModeWithLongIntervalsKeepsRunning) {
    // 30 hours from 09:00 came to 09:00, 15:00, 21:00 and then never again when
    // the next hour was reduced by 24 only once; every interval now keeps going.
    for (DWORD interval : {25u, 30u, 47u, 48u, 49u, 100u, 1000u, 0xFFFFFFFFu}) {
        std::vector<std::string> runs =
            Runs(Schedule(9, interval, 'H'), At(2027, 5, 1, 8, 0), 10 * 24);
        EXPECT_GE(runs.size(), 10u) << interval;
    }
}

TEST(ScheduleDecision, IntervalsUpToADayMoveTheHourAsOneSubtractionOf24) {
    // The reference: add the interval, subtract 24 once when above 23.
    for (DWORD interval = 1; interval <= 24; ++interval) {
        for (int start = 0; start < 24; ++start) {
            ScheduleState state;
            StartSchedule(state, Schedule(start, interval, 'H'));
            int reference = start;
            SYSTEMTIME day = At(2027, 1, 1, 0, 0);
            for (int step = 0; step < 30; ++step) {
                SYSTEMTIME now = At(day.wYear, day.wMonth, day.wDay + step, reference, 0);
                ASSERT_EQ(DecideSchedule(state, now), SCHEDULE_RUN) << interval << " " << start;
                reference += static_cast<int>(interval);
                if (reference > 23)
                    reference -= 24;
                ASSERT_EQ(state.nextHour, reference) << interval << " " << start;
            }
        }
    }
}

TEST(ScheduleDecision, DayModeKeepsTheStartHourAndCountsSightings) {
    ScheduleState state;
    StartSchedule(state, Schedule(6, 3, 'D'));
    const ScheduleDecision expected[] = {SCHEDULE_RUN, SCHEDULE_ACTED, SCHEDULE_ACTED,
                                         SCHEDULE_RUN, SCHEDULE_ACTED, SCHEDULE_ACTED,
                                         SCHEDULE_RUN};
    for (int day = 0; day < 7; ++day) {
        EXPECT_EQ(DecideSchedule(state, At(2027, 1, 1 + day, 6, 0)), expected[day]) << day;
        EXPECT_EQ(state.nextHour, 6);
        EXPECT_EQ(state.dayCount, static_cast<DWORD>(day + 1));
    }
}

TEST(ScheduleDecision, OneDueTimeIsActedUponOnce) {
    // Looks within minute 0, a clock set back into it, across a day, a month
    // and a year: each due time runs once.
    struct Look {
        SYSTEMTIME at;
        ScheduleDecision expected;
    };
    const Look looks[] = {
        {At(2027, 12, 31, 9, 0, 0), SCHEDULE_RUN},
        {At(2027, 12, 31, 9, 0, 30), SCHEDULE_NOT_NOW},
        {At(2027, 12, 31, 9, 0, 59), SCHEDULE_NOT_NOW},
        {At(2027, 12, 31, 9, 0, 5), SCHEDULE_NOT_NOW}, // the clock set back
        {At(2027, 12, 31, 9, 1, 0), SCHEDULE_NOT_NOW},
        {At(2028, 1, 1, 9, 0, 10), SCHEDULE_RUN}, // a new year, a new day
        {At(2028, 1, 1, 9, 0, 40), SCHEDULE_NOT_NOW},
        {At(2028, 1, 31, 9, 0, 0), SCHEDULE_RUN},
        {At(2028, 2, 1, 9, 0, 0), SCHEDULE_RUN}, // a new month
        {At(2028, 2, 1, 9, 0, 31), SCHEDULE_NOT_NOW},
    };
    ScheduleState state;
    StartSchedule(state, Schedule(9, 24, 'H'));
    for (const Look& look : looks)
        EXPECT_EQ(DecideSchedule(state, look.at), look.expected)
            << Text(look.at) << ":" << look.at.wSecond;
    ScheduleState day;
    StartSchedule(day, Schedule(9, 1, 'D'));
    EXPECT_EQ(DecideSchedule(day, At(2027, 12, 31, 9, 0, 0)), SCHEDULE_RUN);
    EXPECT_EQ(DecideSchedule(day, At(2027, 12, 31, 9, 0, 45)), SCHEDULE_NOT_NOW);
    EXPECT_EQ(day.dayCount, 1u); // the second look did not count as a day
    EXPECT_EQ(DecideSchedule(day, At(2028, 1, 1, 9, 0, 0)), SCHEDULE_RUN);
}

TEST(ScheduleDecision, AStartHourNoClockShowsNeverActs) {
    ScheduleState state;
    StartSchedule(state, Schedule(25, 1, 'H'));
    for (int hour = 0; hour < 24; ++hour)
        EXPECT_EQ(DecideSchedule(state, At(2027, 1, 1, hour, 0)), SCHEDULE_NOT_NOW) << hour;
}

TEST(LaunchDelay, RandomOnlyWithoutTheStartupRun) {
    for (int value : {0, 1, 49, 50, 99, 32767, 2147483647}) {
        EXPECT_EQ(LaunchDelayMinutes(0, 0, value), 0u) << value;
        EXPECT_EQ(LaunchDelayMinutes(0, 1, value), 0u) << value;
        EXPECT_EQ(LaunchDelayMinutes(1, 1, value), 0u) << value; // no delay with the start-up run
        EXPECT_EQ(LaunchDelayMinutes(1, 0, value), static_cast<DWORD>(value % 50)) << value;
    }
    EXPECT_EQ(LaunchDelayMinutes(1, 0, 49), 49u);
    EXPECT_EQ(LaunchDelayMinutes(1, 0, 50), 0u);
}

TEST(UpdateCommandLine, TheProgramPathIsQuotedAndAutoupdateIsTheOneArgument) {
    char line[UPDATE_COMMAND_LINE_SIZE];
    EXPECT_TRUE(BuildUpdateCommandLine("C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\", line,
                                       sizeof(line)));
    EXPECT_STREQ(line,
                 "\"C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\\\quennel.exe\" autoupdate");
    EXPECT_TRUE(BuildUpdateCommandLine("C:\\Gateway", line, sizeof(line)));
    EXPECT_STREQ(line, "\"C:\\Gateway\\quennel.exe\" autoupdate");
    EXPECT_FALSE(BuildUpdateCommandLine("C:\\Odd\"Folder", line, sizeof(line)));
    EXPECT_STREQ(line, "");
}

TEST(UpdateCommandLine, AFolderTooLongIsRefusedNotCut) {
    // "\"" + folder + "\\quennel.exe\" autoupdate" and its terminator: 26 more.
    char line[UPDATE_COMMAND_LINE_SIZE];
    std::string fits(UPDATE_COMMAND_LINE_SIZE - 26, 'a');
    EXPECT_TRUE(BuildUpdateCommandLine(fits.c_str(), line, sizeof(line)));
    EXPECT_EQ(strlen(line), UPDATE_COMMAND_LINE_SIZE - 1);
    std::string tooLong(UPDATE_COMMAND_LINE_SIZE - 25, 'a');
    EXPECT_FALSE(BuildUpdateCommandLine(tooLong.c_str(), line, sizeof(line)));
    EXPECT_STREQ(line, "");
}

} // namespace
