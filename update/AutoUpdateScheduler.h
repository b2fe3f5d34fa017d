// The auto-update scheduler: a thread of the service that starts the update
// front end on the schedule kept in the AutoUpd key.
#ifndef VANTRY_UPDATE_AUTOUPDATESCHEDULER_H
#define VANTRY_UPDATE_AUTOUPDATESCHEDULER_H

#include "service/WorkerThread.h"

#define AUTOUPD_KEY "Software\\Corvane\\Ostel\\Vantry SMTP\\AutoUpd"

// The schedule as read from the registry.
struct AutoUpdateSchedule {
    int startHour = 0;
    int interval = 0;
    char unitType = 'D';
    int atStartup = 0;
    int randomize = 0;
    int enabled = 0;
};

// Reads the schedule from the AutoUpd key (created when missing).
void ReadAutoUpdateSettings(AutoUpdateSchedule& schedule);

class AutoUpdateScheduler : public WorkerThread {
public:
    // stopEvent is the service's StopEvent: the loop ends when it is signalled.
    AutoUpdateScheduler(const char* installPath, HANDLE stopEvent);
    ~AutoUpdateScheduler() override;

    void Configure(const AutoUpdateSchedule& schedule);
    void Run() override;

    // Signalled when the object is destroyed. Once the thread is started it
    // owns the object and frees it as soon as StopEvent ends its loop, so the
    // service takes this handle before the start and waits on it (and closes
    // it) after the stop, never touching the object again.
    HANDLE FinishedEvent() const { return m_hFinished; }

    int startHour;
    int interval;
    char unitType;
    int nextHour;
    int dayCount;
    int nextDay;
    int atStartup;
    int randomize;
    int enabled;
    char installPath[260];

private:
    HANDLE m_hStop;
    // Signalled by the destructor, so that the service knows the thread is done
    // with everything it shares.
    HANDLE m_hFinished;
};

#endif
