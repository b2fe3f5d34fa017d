#include "update/AutoUpdateScheduler.h"
#include "regkey/RegKey.h"
#include "platform/bounded.h"
#include "service/LogEvent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

// ---------------------------------------------------------------------------
// The decision

void StartSchedule(ScheduleState& state, const AutoUpdateSchedule& schedule) {
    state = ScheduleState();
    state.startHour = schedule.startHour;
    state.nextHour = schedule.startHour;
    state.interval = schedule.interval;
    state.unitType = schedule.unitType;
    state.dayCount = 0;
    state.nextDay = 0;
    state.enabled = schedule.enabled;
}

ScheduleDecision DecideSchedule(ScheduleState& state, const SYSTEMTIME& now) {
    if (static_cast<int>(now.wHour) != state.nextHour || now.wMinute != 0)
        return SCHEDULE_NOT_NOW;
    if (state.acted && state.actedYear == now.wYear && state.actedMonth == now.wMonth &&
        state.actedDay == now.wDay && state.actedHour == now.wHour)
        return SCHEDULE_NOT_NOW; // this due time has had its turn
    state.acted = true;
    state.actedYear = now.wYear;
    state.actedMonth = now.wMonth;
    state.actedDay = now.wDay;
    state.actedHour = now.wHour;

    bool due;
    if (state.unitType == 'H') {
        // Modulo 24: with an interval above a day, subtracting 24 once could
        // leave an hour no clock shows, and no run would ever come again.
        state.nextHour =
            static_cast<int>((static_cast<DWORD>(state.nextHour) + state.interval % 24) % 24);
        due = true;
    } else {
        due = state.dayCount == state.nextDay;
        if (due)
            state.nextDay += state.interval; // wraps only after 2^32 days
        ++state.dayCount;
    }
    return due && state.enabled ? SCHEDULE_RUN : SCHEDULE_ACTED;
}

DWORD LaunchDelayMinutes(int randomize, int atStartup, int randomValue) {
    if (!randomize || atStartup)
        return 0;
    int minutes = randomValue % SCHEDULE_RANDOM_MINUTES;
    return static_cast<DWORD>(minutes < 0 ? -minutes : minutes);
}

bool BuildUpdateCommandLine(const char* installPath, char* line, size_t size) {
    if (line == nullptr || size == 0)
        return false;
    line[0] = '\0';
    if (installPath == nullptr || strchr(installPath, '"') != nullptr)
        return false;
    // The parts as they always were (a folder that ends in a backslash gives
    // two in a row, which Windows reads as one), with the program quoted.
    if (!BoundedFormat(line, size, "\"%s\\quennel.exe\" autoupdate", installPath)) {
        line[0] = '\0';
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The thread

AutoUpdateScheduler::AutoUpdateScheduler(const char* path, HANDLE stopEvent)
    : atStartup(0), randomize(0), m_hStop(stopEvent),
      m_hFinished(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    BoundedCopy(installPath, sizeof(installPath), path);
}

AutoUpdateScheduler::~AutoUpdateScheduler() {
    if (m_hFinished == nullptr)
        return;
    if (m_hThread != nullptr)
        SetEvent(m_hFinished); // the service waits on it, then closes it
    else
        CloseHandle(m_hFinished); // never started: deleted by the service itself
}

void AutoUpdateScheduler::Configure(const AutoUpdateSchedule& schedule) {
    HANDLE mutex = LockSchedule();
    StartSchedule(m_state, schedule);
    atStartup = schedule.atStartup;
    randomize = schedule.randomize;
    UnlockSchedule(mutex);
    printf("%d %lu %c\r\n", m_state.startHour, static_cast<unsigned long>(m_state.interval),
           m_state.unitType);
    fflush(stdout);
}

bool AutoUpdateScheduler::Stopping() {
    return m_hStop != nullptr && WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0;
}

bool AutoUpdateScheduler::Pause(DWORD ms) {
    if (m_hStop == nullptr) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(m_hStop, ms) == WAIT_TIMEOUT;
}

HANDLE AutoUpdateScheduler::LockSchedule() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, SCHEDULE_MUTEX_NAME);
    if (mutex == nullptr)
        return nullptr;
    // The outcome is not examined: after the wait the work goes on, with the
    // mutex or without it. StopEvent comes first in the list, so that a stop
    // ends the wait without taking the mutex.
    if (m_hStop != nullptr) {
        HANDLE both[2] = {m_hStop, mutex};
        WaitForMultipleObjects(2, both, FALSE, SCHEDULE_LOCK_WAIT_MS);
    } else {
        WaitForSingleObject(mutex, SCHEDULE_LOCK_WAIT_MS);
    }
    return mutex;
}

void AutoUpdateScheduler::UnlockSchedule(HANDLE mutex) {
    if (mutex == nullptr)
        return;
    ReleaseMutex(mutex); // fails harmlessly when the wait did not take it
    CloseHandle(mutex);
}

void AutoUpdateScheduler::LaunchUpdate() {
    char line[UPDATE_COMMAND_LINE_SIZE];
    bool built = BuildUpdateCommandLine(installPath, line, sizeof(line));
    if (randomize && !atStartup) {
        srand(static_cast<unsigned>(time(nullptr)));
        DWORD minutes = LaunchDelayMinutes(randomize, atStartup, rand());
        if (minutes > 0 && !Pause(minutes * 60000))
            return; // the service stops: no run
    }
    LogMessage(IDS_SCHEDULER_TRIGGERED, EVENTLOG_INFORMATION_TYPE);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    if (!built || !CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                                  nullptr, nullptr, &startup, &process)) {
        LogMessage(IDS_SCHEDULER_RUN_FAILED, EVENTLOG_ERROR_TYPE);
        return;
    }
    // Not waited for, not watched: the handles are only closed.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void AutoUpdateScheduler::Run() {
    if (atStartup) {
        HANDLE mutex = LockSchedule();
        if (!Stopping())
            LaunchUpdate();
        UnlockSchedule(mutex);
    }
    while (!Stopping()) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        HANDLE mutex = LockSchedule();
        if (Stopping()) {
            UnlockSchedule(mutex);
            break;
        }
        ScheduleDecision decision = DecideSchedule(m_state, now);
        if (decision == SCHEDULE_RUN)
            LaunchUpdate();
        UnlockSchedule(mutex);
        if (!Pause(decision == SCHEDULE_NOT_NOW ? SCHEDULE_POLL_MS : SCHEDULE_AFTER_ACT_MS))
            break;
    }
}

// ---------------------------------------------------------------------------
// The registry

void ReadAutoUpdateSettings(AutoUpdateSchedule& schedule) {
    schedule = AutoUpdateSchedule();
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, AUTOUPD_KEY, 1) != ERROR_SUCCESS) {
        LogMessage(IDS_OPEN_REGISTRY_FAILED, EVENTLOG_ERROR_TYPE, AUTOUPD_KEY);
        return;
    }
    DWORD configured = 0;
    if (key.Read("Configured", configured) != ERROR_SUCCESS || configured == 0)
        return;
    bool complete = true;
    DWORD hours = 0, days = 0, schedType = 0, flag = 0;
    if (key.Read("Hours", hours) == ERROR_SUCCESS) {
        if (hours == 0)
            hours = 9;
        if (hours == 24)
            hours = 12;
        else if (hours == 12)
            hours = 0;
        schedule.startHour = static_cast<int>(hours);
    } else {
        complete = false;
    }
    if (key.Read("Days", days) == ERROR_SUCCESS)
        schedule.interval = days == 0 ? 7 : days;
    else
        complete = false;
    std::vector<char> unit(REGKEY_TEXT_BUFFER);
    if (key.Read("UnitType", unit.data()) == ERROR_SUCCESS)
        schedule.unitType = unit[0];
    else
        complete = false;
    if (key.Read("SchedType", schedType) == ERROR_SUCCESS)
        schedule.enabled = schedType != 0;
    else
        complete = false;
    flag = 0;
    if (key.Read("AtSystemStartup", flag) == ERROR_SUCCESS)
        schedule.atStartup = flag != 0;
    flag = 0;
    if (key.Read("Randomize", flag) == ERROR_SUCCESS)
        schedule.randomize = flag != 0;
    if (!complete)
        schedule.enabled = 0;
}
