#include "update/AutoUpdateScheduler.h"
#include "regkey/RegKey.h"
#include "platform/bounded.h"
#include "service/LogEvent.h"

#include <vector>

AutoUpdateScheduler::AutoUpdateScheduler(const char* path, HANDLE stopEvent)
    : startHour(0), interval(0), unitType('D'), nextHour(0), dayCount(0), nextDay(0), atStartup(0),
      randomize(0), enabled(0), m_hStop(stopEvent),
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
    startHour = schedule.startHour;
    nextHour = schedule.startHour;
    interval = schedule.interval;
    unitType = schedule.unitType;
    dayCount = 0;
    nextDay = 0;
    atStartup = schedule.atStartup;
    randomize = schedule.randomize;
    enabled = schedule.enabled;
}

void AutoUpdateScheduler::Run() {
    // The clock is polled every 30 seconds for the life of the service; the
    // launch of the update front end on schedule joins this loop.
    while (WaitForSingleObject(m_hStop, 30000) == WAIT_TIMEOUT) {
    }
}

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
        schedule.interval = static_cast<int>(days == 0 ? 7 : days);
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
