// Drennic's scanning: messages (RFC 5322 files) dropped into the pickup folder
// <Install_Path>Pickup\ are parsed with GMime and checked against the rules
// in force with Kessla, then filed:
// - a message that an active rule matches and whose action blocks goes to the
//   filtered folder (FILTER_MAIL_PATH) as two files: <name>, the message as it
//   came, and <name>.inf, a note of what was decided and why;
// - a message that nothing blocks goes to <Install_Path>Outbound\<name>;
// - a message that cannot be scanned (larger than Read_Max_Mail_Size, not
//   parsable, nested too deep) goes to the deferred folder
//   (Deferred_Mail_Path) as three files: <name>, <name>.inf and <name>.log,
//   the last saying why.
// <name> is made of digits and has no extension, as the folders' readers
// expect. Each decision is one line in the mail log <Log_Path>mailYYYYMMDD.log
// and moves the statistics counters. A message is never lost: if it cannot be
// filed where it belongs it is deferred, and if even that fails it stays in
// the pickup folder (and an error is logged) until it changes.
//
// A file is taken once it has kept its size and time for one look at the
// folder (a file being copied in is left alone); names that begin with "."
// are never taken, so a writer can also drop a file under such a name and
// rename it.
//
// Temporary files (the TNEF parts Kessla reads by name) live in
// <Install_Path>Drennic\Temp\, one name per message and part; they are
// removed when the message is done, and the folder is emptied at each start,
// so that nothing a crash left behind survives it.
//
// Scanning is part of the Linux build; GMime is not built for the Windows
// target here, so drennic.exe serves its pipe without scanning.
#ifndef VANTRY_PEERS_DRENNIC_SCANNER_H
#define VANTRY_PEERS_DRENNIC_SCANNER_H

#include "filter/Kessla.h"
#include "peers/drennic/Drennic.h"
#include "peers/drennic/RuleSet.h"

#include <map>
#include <string>

#define DRENNIC_PICKUP_FOLDER "Pickup"
#define DRENNIC_TEMP_FOLDER "Temp" // under Drennic's own folder

// How often the pickup folder is looked at.
const DWORD DRENNIC_PICKUP_POLL_MS = 100;
// The scanning thread's stack: GMime descends one level per container.
const SIZE_T DRENNIC_SCAN_STACK = 16u << 20;

// What the rules decided for one message.
struct DrennicVerdict {
    int matched = -1;  // index in the rule set of the first rule that matched, or -1
    bool block = false; // that rule blocks (the first blocking match wins)
    int checked = 0;    // active rules checked
};

// Checks the active rules in order: the first matching rule whose action
// blocks decides; otherwise the first matching rule is noted and the message
// passes.
DrennicVerdict CheckRules(const DrennicRuleSet& rules, CMessage* message, bool textPartsOnly);

class DrennicScanner {
public:
    explicit DrennicScanner(DrennicService* service);
    ~DrennicScanner();
    DrennicScanner(const DrennicScanner&) = delete;
    DrennicScanner& operator=(const DrennicScanner&) = delete;

    // Reads the settings and rules, makes the pickup and temporary folders,
    // empties the latter, and starts the scanning thread. False (logged) when
    // the thread cannot be started.
    bool Start();
    void Stop();
    // Asks the scanning thread to read the settings and rules again before
    // its next message (SET_PREFERENCES).
    void Reload();

private:
    static DWORD WINAPI Thread(LPVOID self);
    void Run();
    void LoadSettings();
    void Poll();
    void ProcessFile(const std::string& name, unsigned long long size);
    // Files the message at pickupPath into folder as <name>[.inf[.log]];
    // the chosen name in stored. False when no name could be had or the move
    // failed.
    bool File(const std::string& pickupPath, const std::string& folder, const std::string& note,
              const std::string* log, std::string* stored);
    bool Defer(const std::string& pickupPath, const std::string& pickupName,
               const std::string& why, const std::string& note);
    void MailLog(const char* decision, const std::string& stored, const std::string& pickupName,
                 const std::string& detail);
    std::string NewName();

    DrennicService* m_service;
    DrennicSettings m_settings;
    DrennicRuleSet m_rules;
    std::string m_pickup;   // <Install_Path>Pickup\ .
    std::string m_temp;     // <Install_Path>Drennic\Temp\ .
    std::string m_outbound; // <Install_Path>Outbound\ .
    // The files seen at the last look (size and time), and those that could
    // not be filed at all, left until they change.
    struct Stamp {
        unsigned long long size;
        unsigned long long time;
        bool operator==(const Stamp& o) const { return size == o.size && time == o.time; }
    };
    std::map<std::string, Stamp> m_seen;
    std::map<std::string, Stamp> m_stuck;
    unsigned long m_serial;
    unsigned long m_sequence;
    HANDLE m_thread;
    HANDLE m_stop;   // manual reset
    HANDLE m_reload; // auto reset
};

#endif
