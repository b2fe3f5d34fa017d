// Drennic, the scanning service, as this system meets it: the Windows service
// "Vantry SMTP Drennic" that serves the control pipe "\\.\pipe\DrennicConfig",
// keeps a record of every command it receives (bytes exact), counts what it
// scanned, and re-reads its settings when told to.
//
// The pipe takes one command per connection: 8-bit text ended by a zero byte.
// Commands are found by their first word, letter case aside, in a table
// (kCommandTable in Drennic.cpp): a new command is one row and one handler.
#ifndef VANTRY_PEERS_DRENNIC_DRENNIC_H
#define VANTRY_PEERS_DRENNIC_DRENNIC_H

#include "platform/win32.h"

#define DRENNIC_SERVICE_NAME "Vantry SMTP Drennic"
#define DRENNIC_DISPLAY_NAME "Corvane Vantry SMTP Drennic"
#define DRENNIC_PIPE_NAME "\\\\.\\pipe\\DrennicConfig"
#define DRENNIC_EVENT_SOURCE "Drennic"
#define DRENNIC_SETTINGS_KEY "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic"
// The counters survive a restart in the service's own Parameters key.
#define DRENNIC_PARAMETERS_KEY                                                                     \
    "SYSTEM\\CurrentControlSet\\Services\\Vantry SMTP Drennic\\Parameters"
// Drennic's own folder under the install folder, and its command record there.
#define DRENNIC_FOLDER "Drennic"
// Where a stored message that SEND_ releases goes, under the install folder.
#define DRENNIC_OUTBOUND_FOLDER "Outbound"
#define DRENNIC_RECORD_FILE "commands.rec"

// One command is at most this many bytes, its zero byte included: the longest
// request line a client can give Pellion (512,000 bytes with its line end)
// and the zero byte fit. A longer one is recorded as far as this and dropped.
const DWORD DRENNIC_MAX_COMMAND = 512001;
// A client has this long, in all, to write its command; then the connection
// is dropped (what came is recorded), so that no client holds the pipe.
const DWORD DRENNIC_COMMAND_WAIT_MS = 10000;
// How often the reader looks for bytes, the stop, and the time limit.
const DWORD DRENNIC_POLL_MS = 5;

// Every event Drennic logs carries this ID and one text; the type is the
// severity.
const DWORD DRENNIC_EVENT_ID = 0x40000064;

// The event log of the source "Drennic".
void DrennicLog(WORD type, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The settings Drennic reads from its key. A value that is absent keeps its
// default; a missing key leaves every default.
struct DrennicSettings {
    char Install_Path[MAX_PATH];
    char Quarantine_Path[MAX_PATH];
    char Log_Path[MAX_PATH];
    char BLOCKED_MAIL_PATH[MAX_PATH];
    char FILTER_MAIL_PATH[MAX_PATH];
    char Deferred_Mail_Path[MAX_PATH];
    // What scanning reads: the largest message scanned (bytes; a larger one
    // is deferred), the content filter's switch, and its mode flag, which
    // Drennic takes as "search the text parts only" (CheckMessage's
    // textPartsOnly).
    DWORD Read_Max_Mail_Size;
    DWORD SMTP_CONTENT_FILTER_ON;
    DWORD SMTP_CONTENT_FILTER_FLAG;
    DWORD valueCount; // how many values the key held
    bool keyFound;
};

// Defaults, then the key (opened for reading only: Drennic never creates it).
void ReadDrennicSettings(DrennicSettings* settings);

// The command record's file: <Install_Path>Drennic\commands.rec. False when
// it does not fit the buffer.
bool DrennicRecordPath(const DrennicSettings& settings, char* path, size_t size);

// What the scanner counts, as GET_STATISTICS reports it: besides the three
// items Pellion's fallback names, the stored files it deleted and the stored
// messages it sent on (SMTP_NUMBER_DELETED, SMTP_NUMBER_SENT), and the
// messages it filed as filtered and as deferred (SMTP_NUMBER_FILTERED,
// SMTP_NUMBER_DEFERRED). A message scanned counts once in scanned; one that a
// blocking rule matched counts in detected and filtered too.
struct DrennicCounters {
    DWORD scanned;
    DWORD detected;
    DWORD cleaned;
    DWORD deleted;
    DWORD sent;
    DWORD filtered;
    DWORD deferred;
};

class DrennicScanner;

// The path of a DELETE_ or SEND_ item ("QFILE <folder><name>"), taken apart:
// the kind word, the folder (with its separator) and the name. False when the
// item has no known kind word, when its last part is not a bare file name, or
// when its folder climbs (a "." or ".." part): such a command touches nothing.
// sendable: SEND_ takes only stored messages, not logs.
bool ParseStoredItem(const char* item, DWORD length, bool sendable, char* path, size_t pathSize,
                     const char** name);

// The inbound and attachment controls, as the ten control commands set them.
struct DrennicControls {
    bool rejectInbound;
    bool blockAttachments;
    bool blockNamed;
    bool blockTyped;
    int scanLevel; // raised and lowered by one step per command
    char named[1024];
    char typed[1024];
};

class DrennicService {
public:
    DrennicService();

    // Reads the settings and counters, opens the record and the pipe, and
    // starts serving it on a thread of its own. False (logged) when the pipe
    // cannot be served, for instance because another process serves it.
    bool Start();
    // Ends the pipe thread promptly, whatever it is doing.
    void Stop();

    // One command, as the pipe thread runs it: handled, then recorded.
    // The pipe is the client's connection, for a reply.
    void HandleCommand(HANDLE pipe, const char* command, DWORD length);

    // Handlers of the command table.
    void GetStatistics(HANDLE pipe, const char* command, DWORD length);
    void ResetStatistics(HANDLE pipe, const char* command, DWORD length);
    void SetPreferences(HANDLE pipe, const char* command, DWORD length);
    void Control(HANDLE pipe, const char* command, DWORD length);
    // DELETE_<kind> <folder><name>: deletes that file, and with a stored
    // message its notes <name>.inf and <name>.log.
    void DeleteStored(HANDLE pipe, const char* command, DWORD length);
    // SEND_<kind> <folder><name>: sends the stored message on, that is, moves
    // it into <Install_Path>Outbound\, and deletes its notes.
    void SendStored(HANDLE pipe, const char* command, DWORD length);

    const DrennicCounters& counters() const { return m_counters; }
    // Adds to the counters and keeps them (the scanning thread's share).
    void AddCounts(DWORD scanned, DWORD detected, DWORD filtered, DWORD deferred);

private:
    static DWORD WINAPI PipeThread(LPVOID self);
    void ServePipe();
    HANDLE NewInstance(bool first);
    // Reads one command from a connected instance: up to its zero byte, the
    // client's end, DRENNIC_MAX_COMMAND bytes or the time limit.
    DWORD ReadCommand(HANDLE pipe, char* buffer, DWORD size);
    void AppendRecord(const char* command, DWORD length);
    // Creates the install folder's mail folders, Outbound and Drennic's own.
    void MakeMailFolders();
    void LoadCounters();
    void SaveCounters();

    DrennicSettings m_settings;
    DrennicCounters m_counters;
    DrennicControls m_controls;
    char m_recordPath[MAX_PATH * 2];
    char* m_command; // the command buffer of the pipe thread
    HANDLE m_thread;
    HANDLE m_ready; // set by the pipe thread once it serves (or failed)
    HANDLE m_stop;  // manual-reset: set by Stop, tested by the pipe thread
    bool m_serving;
    // Guards the counters, which the pipe thread and the scanning thread
    // both change.
    HANDLE m_counterLock;
    DrennicScanner* m_scanner; // null where scanning is not built
};

#endif
