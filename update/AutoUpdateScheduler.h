// The auto-update scheduler: a thread of the service that starts the update
// front end Quennel ("<install folder>\quennel.exe" autoupdate) on the
// schedule kept in the AutoUpd key, and once at start-up when asked to.
//
// What the scheduler does at a given local time is DecideSchedule, a function
// of its ScheduleState and that time alone; the thread around it only asks the
// clock, takes the schedule mutex and sleeps. All its sleeps and waits end
// early when the service's StopEvent is signalled, so that a stop is never
// held up by a sleeping scheduler.
#ifndef VANTRY_UPDATE_AUTOUPDATESCHEDULER_H
#define VANTRY_UPDATE_AUTOUPDATESCHEDULER_H

#include "service/WorkerThread.h"

#include <cstddef>

#define AUTOUPD_KEY "Software\\Corvane\\Ostel\\Vantry SMTP\\AutoUpd"

// The machine-wide mutex under which the scheduler (and the updater, while it
// works) does its schedule work.
#define SCHEDULE_MUTEX_NAME "/MUTEX/SCHEDULE/NOREADWRITE"

// How long a lock of the schedule waits for the mutex; afterwards the
// scheduler goes on without it.
const DWORD SCHEDULE_LOCK_WAIT_MS = 30000;
// The pause between two looks at the clock.
const DWORD SCHEDULE_POLL_MS = 30000;
// The pause after the loop acted at minute 0 (31 s and 30 s): past that minute.
const DWORD SCHEDULE_AFTER_ACT_MS = 61000;
// The random delay before a scheduled run is 0 to this many minutes less one.
const int SCHEDULE_RANDOM_MINUTES = 50;
// The command line is built in a buffer of this size; an install folder too
// long for it is not started (message 24), never cut.
const size_t UPDATE_COMMAND_LINE_SIZE = 260;

// The schedule as read from the registry. Values that were not read keep
// these: what a stored 0 gives after normalisation (09:00, every 7 days).
struct AutoUpdateSchedule {
    int startHour = 9;
    DWORD interval = 7;
    char unitType = 'D';
    int atStartup = 0;
    int randomize = 0;
    int enabled = 0;
};

// Reads the schedule from the AutoUpd key (created when missing). A key that
// cannot be opened is logged (message 9) and gives everything off. Numbers are
// read as 32-bit values whatever their registry type, as every setting is.
void ReadAutoUpdateSettings(AutoUpdateSchedule& schedule);

// What the loop keeps between two looks at the clock.
struct ScheduleState {
    int startHour = 9;   // hour of day of the first run
    DWORD interval = 7;  // hours or days between runs
    char unitType = 'D'; // 'H' hours, anything else days
    int nextHour = 9;    // hour at which the loop next acts
    DWORD dayCount = 0;  // day mode: times the loop has acted
    DWORD nextDay = 0;   // day mode: dayCount of the next run
    int enabled = 0;     // scheduled runs on
    // The local date and hour the loop last acted at: one due time is acted
    // upon once, even when the clock shows its minute 0 again (set back, or
    // the end of summer time).
    bool acted = false;
    WORD actedYear = 0, actedMonth = 0, actedDay = 0, actedHour = 0;
};

enum ScheduleDecision {
    SCHEDULE_NOT_NOW, // not minute 0 of the next hour: look again in 30 s
    SCHEDULE_ACTED,   // the loop acted, no run (day mode between runs, or runs off)
    SCHEDULE_RUN      // the loop acted and the update runs now
};

// The schedule's starting state.
void StartSchedule(ScheduleState& state, const AutoUpdateSchedule& schedule);

// One look at the clock: at minute 0 of nextHour the loop acts. Hour mode: the
// run is due and nextHour moves on by the interval, on the clock of the day
// (modulo 24, so that any interval keeps running). Day mode: the run is due at
// every interval-th time the loop acts (the first one included).
ScheduleDecision DecideSchedule(ScheduleState& state, const SYSTEMTIME& now);

// Minutes of random delay before a run: none without randomize, and none at
// all when the start-up run is on; else randomValue modulo 50.
DWORD LaunchDelayMinutes(int randomize, int atStartup, int randomValue);

// "\"<installPath>\quennel.exe\" autoupdate" into line (size bytes): the
// program path quoted, so that a folder with spaces names this program and no
// other. False (line empty) when it does not fit or the folder holds a
// quotation mark.
bool BuildUpdateCommandLine(const char* installPath, char* line, size_t size);

class AutoUpdateScheduler : public WorkerThread {
public:
    // stopEvent is the service's StopEvent: the loop ends when it is signalled.
    AutoUpdateScheduler(const char* installPath, HANDLE stopEvent);
    ~AutoUpdateScheduler() override;

    // Takes the schedule under the schedule mutex, then writes the trace line
    // "<start hour> <interval> <unit letter>\r\n" to standard output.
    void Configure(const AutoUpdateSchedule& schedule);
    // The start-up run when asked, then one look at the clock every 30 s
    // until StopEvent.
    void Run() override;
    // One run of the front end: the random delay (ended by StopEvent, and then
    // no run), message 23, the start; message 24 when it cannot be started.
    void LaunchUpdate();
    // Opens the schedule mutex and waits for it up to 30 s (less when
    // StopEvent comes first); the handle is returned whether owned or not.
    HANDLE LockSchedule();
    // Releases (when owned) and closes what LockSchedule returned.
    void UnlockSchedule(HANDLE mutex);

    // Signalled when the object is destroyed. Once the thread is started it
    // owns the object and frees it as soon as StopEvent ends its loop, so the
    // service takes this handle before the start and waits on it (and closes
    // it) after the stop, never touching the object again.
    HANDLE FinishedEvent() const { return m_hFinished; }

    ScheduleState m_state;
    int atStartup;
    int randomize;
    char installPath[260];

private:
    // Waits ms milliseconds; false when StopEvent ended the wait.
    bool Pause(DWORD ms);
    bool Stopping();

    HANDLE m_hStop;
    // Signalled by the destructor, so that the service knows the thread is done
    // with everything it shares.
    HANDLE m_hFinished;
};

#endif
